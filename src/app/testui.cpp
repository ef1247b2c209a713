// The rescue front end: start-up and the rescue display.
#include "app/testui.h"

#include "app/model.h"
#include "app/status.h"
#include "gfx/fb.h"
#include "gfx/screen_text.h"
#include "kni/bkni.h"
#include "monitor/port.h"

void draw_rescue() {}

void task_gui(BKNI_TaskHandle, void *)
{
    while (!g_status.quit) {
        draw_rescue();
        BKNI_WaitForEvent(g_status.gui_event, 2000);
    }
}

int testui_main()
{
    status_clear();
    BKNI_CreateEvent(&g_status.gui_event);
    BKNI_CreateEvent(&g_status.tuner_event);

    if (read_proc_stb_info() != 0)
        return 0;
    if (fb_init() != 0)
        return 0;
    fb_setmode(1280, 720, 32);
    fb_font_init();

    BKNI_TaskHandle port_task = nullptr;
    BKNI_TaskHandle gui_task = nullptr;
    BKNI_CreateTask(&port_task, task_port, nullptr);
    BKNI_CreateTask(&gui_task, task_gui, nullptr);

    while (!g_status.quit)
        BKNI_Sleep(1000);
    return 0;
}
