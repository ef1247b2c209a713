// The port monitor task: USB, SATA, HDMI and Ethernet state once a second,
// the DHCP step when the link comes up, MAC programming on request.
#pragma once

#include "app/task.h"

void task_port(BKNI_TaskHandle task, void *data);
