// The factory test console front end: start-up of the second program and
// the screen task that keeps the console's areas on the TV.
#pragma once

#include "app/task.h"

// The process entry of the test console: the shared start-up, the TV
// cleared to transparent (live video shows through), the console's tasks,
// then idle until quit; every task is given time to leave its loop and close
// its devices before the process ends. Returns 0.
int console_main();

// Redraws every console area after each gui_event and at least once a
// second (the tuner area is the tuner monitor's).
void task_screen(BKNI_TaskHandle task, void *data);
void draw_console();
