// The factory test console: start-up and the screen task.
#include "app/console.h"

#include "app/startup.h"
#include "app/status.h"
#include "av/live.h"
#include "av/tsfile.h"
#include "av/video1.h"
#include "console/areas.h"
#include "console/cards.h"
#include "console/keys.h"
#include "console/mac_entry.h"
#include "gfx/fb.h"
#include "kni/bkni.h"
#include "monitor/port.h"
#include "tuner/tuner_monitor.h"

#include <atomic>
#include <ctime>

namespace {

// A console task and whether its body has returned: the start-up waits for
// every body to leave its loop (and close its devices) before it returns.
struct ConsoleTask {
    BKNI_TaskFunction body;
    std::atomic<int> ended;
};

ConsoleTask g_tasks[] = {
    {task_port, {0}}, {task_event, {0}},     {task_tuner, {0}},  {task_sci, {0}},
    {task_ci, {0}},
    {task_mac, {0}},  {task_filepump, {0}}, {task_screen, {0}},
};

void run_task(BKNI_TaskHandle task, void *data)
{
    auto *t = static_cast<ConsoleTask *>(data);
    t->body(task, nullptr);
    t->ended = 1;
}

// How long the idle loop sleeps between looks at quit, and how long the end
// waits for the tasks' last passes (the card reader's pass is the longest: a
// one-second pause and two answer timers).
constexpr unsigned kIdleMs = 100;
constexpr int kEndWaitMs = 1800;

bool all_ended(const bool (&started)[sizeof g_tasks / sizeof g_tasks[0]])
{
    for (size_t i = 0; i < sizeof g_tasks / sizeof g_tasks[0]; ++i)
        if (started[i] && !g_tasks[i].ended)
            return false;
    return true;
}

} // namespace

void draw_console()
{
    draw_button_area();
    draw_rcu_area();
    draw_info_area();
    draw_port_area();
    draw_cas_area();
}

void task_screen(BKNI_TaskHandle, void *)
{
    while (!g_status.quit) {
        draw_console();
        BKNI_WaitForEvent(g_status.gui_event, 1000);
    }
}

int console_main()
{
    if (frontend_start() != 0)
        return 0;
    // Transparent: the video plane shows through wherever no area is drawn.
    fb_fill(0, 0, static_cast<int>(var.xres), static_cast<int>(var.yres), 0x00000000);
    fb_blit();

    constexpr size_t kCount = sizeof g_tasks / sizeof g_tasks[0];
    bool started[kCount] = {};
    for (size_t i = 0; i < kCount; ++i) {
        g_tasks[i].ended = 0;
        BKNI_TaskHandle handle = nullptr;
        started[i] = BKNI_CreateTask(&handle, run_task, &g_tasks[i]) == 0;
    }

    while (!g_status.quit)
        BKNI_Sleep(kIdleMs);
    // Wake the tasks that wait on an event, then give each its last pass.
    BKNI_SetEvent(g_status.gui_event);
    BKNI_SetEvent(g_status.tuner_event);
    for (int waited = 0; waited < kEndWaitMs && !all_ended(started); waited += 20)
        BKNI_Sleep(20);
    // The decoders are no task's: released here, after the tasks that use
    // them have ended.
    tsfile_stop();
    decoder_stop();
    video1_stop();
    return 0;
}
