// Shared set-up of the console tests: a fresh box with the framebuffer open
// at 1280 x 720 x 32 and the font engine ready (start-up steps 1 to 6), the
// system's output captured, and looks at what the box saw.
#pragma once

#include "app/status.h"
#include "app/task.h"
#include "core/stdio_capture.h"
#include "gfx/fb.h"
#include "gfx/font.h"
#include "gfx/screen_text.h"
#include "kni/bkni.h"
#include "screen_check.h"
#include "sim_test.h"

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace consoletest {

using boxsim::Box;
using boxsim::json;
using namespace std::chrono_literals;

class ConsoleTest : public ::testing::Test {
protected:
    // A box of this profile (model rcplus unless it says otherwise), the
    // record cleared with its events, and the TV ready.
    void start(json profile = json::object(), ModelKind kind = 3)
    {
        capture.reset();
        box.reset();
        if (!profile.contains("model"))
            profile["model"] = "rcplus";
        destroy_events();  // of an earlier start in the same test
        status_clear();
        BKNI_CreateEvent(&g_status.gui_event);
        BKNI_CreateEvent(&g_status.tuner_event);
        g_status.model_kind = kind;
        box = boxtest::make_box_from(profile);
        capture = std::make_unique<boxsim::StdioCapture>(*box, nullptr, nullptr, true);
        ASSERT_EQ(fb_init(), 0);
        fb_setmode(1280, 720, 32);
        if (!g_font_mutex)
            fb_font_init();
        for (int i = 0; i < available / 4; ++i)
            lfb[i] = kPaint;
        blits_at_start = 0;
        blits_at_start = blits();
    }

    // Runs a task body on a thread of its own until the test ends.
    void run(BKNI_TaskFunction body)
    {
        threads.push_back(boxsim::clock::spawn("task", [body] { body(nullptr, nullptr); }));
    }

    void TearDown() override
    {
        g_status.quit = 1;
        for (auto &t : threads)
            boxsim::clock::join(t);
        capture.reset();
        box.reset();
        destroy_events();
    }

    void destroy_events()
    {
        for (BKNI_EventHandle *e : {&g_status.gui_event, &g_status.tuner_event})
            if (*e) {
                BKNI_DestroyEvent(*e);
                *e = nullptr;
            }
    }

    // Commands the system ran with system(), in order.
    std::vector<std::string> commands() const
    {
        std::vector<std::string> out;
        for (const auto &e : box->trace().find("system"))
            out.push_back(e.value("cmd", ""));
        return out;
    }

    std::string out()
    {
        capture->drain();
        return boxtest::printed(*box);
    }

    size_t blits() const
    {
        size_t n = 0;
        for (const auto &e : box->trace().find("ioctl", "/dev/fb0"))
            n += e.value("name", "") == "FBIO_BLIT";
        return n - blits_at_start;
    }

    // Whether the framebuffer's box (x, y, w, h) is filled with `bg` and
    // holds exactly `text` centred in black, as the screen text draws it.
    static bool box_is(int x, int y, int w, int h, const char *text, uint32_t bg)
    {
        // Drawn on a whole screen: the text engine picks its font by the
        // surface's width.
        std::vector<uint32_t> ref(1280u * 720, bg);
        if (text)
            boxtest::with_font([&] {
                BMF_DrawText(ref.data(), 1280, 720, 32, x, y, w, h, text, BMF_ALIGN_CENTER, 0xFF000000, bg);
            });
        for (int row = y; row < y + h; ++row)
            for (int col = x; col < x + w; ++col)
                if (lfb[static_cast<size_t>(row) * var.xres + col] != ref[static_cast<size_t>(row) * 1280 + col])
                    return false;
        return true;
    }

    // Whether nothing was drawn in the rectangle.
    static bool untouched(int x, int y, int w, int h)
    {
        for (int row = y; row < y + h; ++row)
            for (int col = x; col < x + w; ++col)
                if (lfb[static_cast<size_t>(row) * var.xres + col] != kPaint)
                    return false;
        return true;
    }

    size_t blits_at_start = 0;
    static constexpr uint32_t kPaint = 0x12345678;
    std::unique_ptr<Box> box;
    std::unique_ptr<boxsim::StdioCapture> capture;
    std::vector<std::thread> threads;
};

} // namespace consoletest
