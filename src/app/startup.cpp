#include "app/startup.h"

#include "app/model.h"
#include "app/status.h"
#include "gfx/fb.h"
#include "gfx/screen_text.h"
#include "kni/bkni.h"

#include <csignal>
#include <cstring>

namespace {

// A request from outside to end the process (SIGTERM, or SIGINT at a
// console): every task and the idle loop see `quit` within one pass.
void on_stop_signal(int) { g_status.quit.store(1); }

void install_stop_signals()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

} // namespace

int frontend_start()
{
    status_clear();
    // After the clear, so that a stop request is never wiped out by it.
    install_stop_signals();
    BKNI_CreateEvent(&g_status.gui_event);
    BKNI_CreateEvent(&g_status.tuner_event);

    if (read_proc_stb_info() != 0)
        return -1;
    if (fb_init() != 0)
        return -1;
    fb_setmode(1280, 720, 32);
    fb_font_init();
    return 0;
}
