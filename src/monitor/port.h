// The port monitor task: USB, SATA, HDMI and Ethernet state once a second,
// the DHCP step when the link comes up, MAC programming on request.
#pragma once

#include "app/task.h"

void task_port(BKNI_TaskHandle task, void *data);

// One pass of the monitor without its closing sleep: port presence, HDMI,
// MAC text, a pending MAC programming, link state and speed, and the DHCP
// step while the link is up and no lease has been obtained.
void port_cycle();
