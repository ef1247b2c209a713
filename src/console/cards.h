// The card-slot monitors of the test console: the smart-card readers
// "/dev/sci%d" and the common-interface slots "/dev/ci%d" (0 and 1), their
// state kept in the status record for the card area.
#pragma once

#include "app/task.h"

// Smart-card readers: card detect once a second, a reset of each inserted
// card until it answers with a valid first byte (3B or 3F).
void task_sci(BKNI_TaskHandle task, void *data);
// CI slots: module presence twice a second from the driver's poll report.
void task_ci(BKNI_TaskHandle task, void *data);

// One pass of each monitor over its open devices (without the pause).
void sci_pass(const int (&fds)[2]);
void ci_pass(const int (&fds)[2]);
