// The rescue front end running on a simulated box, as the box runs it, and
// what a person would see of it: the TV, the LCD and the text display.
#pragma once

#include "app/status.h"
#include "app/testui.h"
#include "gfx/font.h"
#include "gfx/screen_text.h"
#include "image.h"
#include "kni/bkni.h"
#include "panel.h"
#include "sim_test.h"

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace rescuetest {

using boxsim::json;
using namespace std::chrono_literals;

// Threads of this process, as the kernel lists them.
inline int thread_count()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

class RescueRun {
public:
    explicit RescueRun(const std::string &profile) : box(boxtest::make_box(profile))
    {
        baseline_ = thread_count();
        main_ = std::thread([this] {
            status_ = testui_main();
            returned_ = true;
        });
    }

    RescueRun(const RescueRun &) = delete;
    RescueRun &operator=(const RescueRun &) = delete;

    // Ends the front end as a stop request does, and waits until every task
    // it started has left, so the box outlives them.
    ~RescueRun()
    {
        stop();
        if (main_.joinable())
            main_.join();
        boxtest::eventually([this] { return thread_count() <= baseline_; }, 6s);
    }

    void stop()
    {
        g_status.quit = 1;
        if (g_status.gui_event)
            BKNI_SetEvent(g_status.gui_event);
    }

    // Waits for testui_main to return; its status, or -1 when it did not.
    int wait_return(std::chrono::milliseconds timeout)
    {
        if (!boxtest::eventually([this] { return returned_.load(); }, timeout))
            return -1;
        main_.join();
        return status_;
    }

    // Waits until every task the front end started has ended.
    bool tasks_ended(std::chrono::milliseconds timeout)
    {
        return boxtest::eventually([this] { return thread_count() <= baseline_; }, timeout);
    }

    // Texts the display has shown so far.
    std::vector<std::string> shown() { return boxsim::display_history(*box); }

    // Waits until the display has shown at least n texts, waking the display
    // task for each pass as the console's tasks do, rather than waiting two
    // seconds per pass.
    bool passes(size_t n, std::chrono::milliseconds timeout = 20s)
    {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (shown().size() < n) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            size_t now = shown().size();
            if (g_status.gui_event)
                BKNI_SetEvent(g_status.gui_event);
            box->wait_for([&] { return shown().size() > now; }, 3s);
        }
        return true;
    }

    std::unique_ptr<boxsim::Box> box;

private:
    std::thread main_;
    std::atomic<bool> returned_{false};
    int status_ = -1;
    int baseline_ = 0;
};

// Draws with the font engine while the system's tasks may draw too.
template <class F> void with_font(F draw)
{
    if (g_font_mutex)
        BKNI_AcquireMutex(g_font_mutex);
    draw();
    if (g_font_mutex)
        BKNI_ReleaseMutex(g_font_mutex);
}

// The panel frame that shows "RESCUE MODE" over `second`, 16 bits deep.
inline std::vector<uint8_t> rescue_lcd(int w, int h, const char *second)
{
    std::vector<uint8_t> f(static_cast<size_t>(w) * h * 2, 0);
    with_font([&] {
        BMF_DrawText(f.data(), w, h, 16, 0, (h / 5) * 2, w, h / 5, "RESCUE MODE", BMF_ALIGN_CENTER, 0xFFFF,
                     0xFFFFFFFF);
        BMF_DrawText(f.data(), w, h, 16, 0, (h / 5) * 3, w, h / 5, second, BMF_ALIGN_CENTER, 0xFFFF, 0xFFFFFFFF);
    });
    return f;
}

// Whether the TV's rows [y, y + 40) hold exactly `text`, white on black,
// centred across the screen.
inline bool tv_line_is(const boxsim::Image &tv, int y, const char *text)
{
    if (tv.width != 1280 || tv.height != 720)
        return false;
    std::vector<uint32_t> ref(1280u * 720, 0xFF000000u);
    with_font([&] {
        BMF_DrawText(ref.data(), 1280, 720, 32, 0, y, 1280, 40, text, BMF_ALIGN_CENTER, 0xFFFFFFFF, 0xFFFFFFFF);
    });
    for (int row = y; row < y + 40; ++row)
        for (int x = 0; x < 1280; ++x)
            if ((tv.at(x, row) & 0xFFFFFF) != (ref[static_cast<size_t>(row) * 1280 + x] & 0xFFFFFF))
                return false;
    return true;
}

// Whether everything of the TV outside the two text lines is black.
inline bool tv_black_around_lines(const boxsim::Image &tv)
{
    for (int y = 0; y < tv.height; ++y) {
        if (y >= 300 && y < 380)
            continue;
        for (int x = 0; x < tv.width; ++x)
            if (tv.at(x, y) & 0xFFFFFF)
                return false;
    }
    return true;
}

} // namespace rescuetest
