// The rescue front end: start-up of the process and the rescue display.
#pragma once

#include "app/task.h"

// The process entry of the rescue front end (the box's `main`).
int testui_main();

// The rescue display task and one redraw pass of it.
void task_gui(BKNI_TaskHandle task, void *data);
void draw_rescue();
