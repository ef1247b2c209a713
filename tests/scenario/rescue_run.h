// The rescue front end running on a simulated box, as the box runs it, and
// what a person would see of it: the TV, the LCD and the text display.
#pragma once

#include "app/status.h"
#include "app/testui.h"
#include "gfx/font.h"
#include "gfx/screen_text.h"
#include "core/image.h"
#include "kni/bkni.h"
#include "devices/panel.h"
#include "boxsim/script.h"
#include "screen_check.h"
#include "sim_test.h"

#include <dirent.h>

#include <atomic>
#include <optional>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>

namespace rescuetest {

using boxsim::json;
using namespace std::chrono_literals;
using boxtest::tv_line_is;
using boxtest::with_font;

// Threads of this process, as the kernel lists them.
inline std::set<int> thread_ids()
{
    std::set<int> ids;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                ids.insert(atoi(e->d_name));
        closedir(d);
    }
    return ids;
}

class RescueRun {
public:
    explicit RescueRun(const char *profile) : RescueRun(load(profile)) {}
    explicit RescueRun(const json &profile) : box(boxtest::make_box_from(profile))
    {
        // A first thread makes the sanitizers start their own helper
        // threads now, so they count in the baseline.
        std::thread([] {}).join();
        baseline_ = thread_ids();
        main_ = boxsim::clock::spawn("main", [this] {
            status_ = testui_main();
            returned_ = true;
        });
        // The display's first pass: start-up is through, the font engine is
        // open and the tests may draw their own frames to compare with.
        started = box->wait_for([this] { return !shown().empty(); }, 15s);
    }

    // A profile of sim/boxes, to change before the run.
    static json load(const std::string &name)
    {
        std::string err;
        auto j = boxsim::Box::load_profile(name, err);
        EXPECT_TRUE(j) << err;
        return j ? *j : json::object();
    }

    RescueRun(const RescueRun &) = delete;
    RescueRun &operator=(const RescueRun &) = delete;

    // Ends the front end as a stop request does, and waits until every task
    // it started has left, so the box outlives them.
    ~RescueRun()
    {
        stop();
        boxsim::clock::join(main_);
        if (!tasks_ended(3s)) {
            // The port monitor may sit in a DHCP step that waits for a
            // server; a pulled cable ends the client, and with it the step.
            std::string err;
            if (auto a = boxsim::parse_action("cable unplug", err))
                a->run(*box);
            EXPECT_TRUE(tasks_ended(10s)) << "the front end's tasks did not end";
        }
        // The tasks are never joined, as on the box, so nothing tells the
        // thread checker that their last touch of the box came before its
        // end. The box is kept: the program ends without destructors.
        (void)box.release();
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
        boxsim::clock::join(main_);
        return status_;
    }

    // Waits until every task the front end started has ended.
    bool tasks_ended(std::chrono::milliseconds timeout)
    {
        return boxtest::eventually(
            [this] {
                for (int id : thread_ids())
                    if (!baseline_.count(id))
                        return false;
                return true;
            },
            timeout);
    }

    // Texts the display has shown so far.
    std::vector<std::string> shown() { return boxsim::display_history(*box); }

    // Waits until the display has shown at least n texts. A pass comes every
    // two seconds of the box's clock (sooner when the link changes); the
    // default time-out leaves room for each pass still to come.
    bool passes(size_t n, std::chrono::milliseconds timeout = {})
    {
        if (timeout.count() == 0) {
            size_t have = shown().size();
            timeout = std::chrono::milliseconds(5000 + 2500 * static_cast<int64_t>(n > have ? n - have : 0));
        }
        return box->wait_for([&] { return shown().size() >= n; }, timeout, "display passes");
    }

    // Drives passes until the LCD shows `frame`; false when it did not in time.
    bool until_lcd(const std::vector<uint8_t> &frame, std::chrono::milliseconds timeout = 20s)
    {
        auto deadline = boxsim::BoxSteadyClock::now() + timeout;
        for (;;) {
            auto f = boxsim::lcd_frame(*box);
            if (f && f->bytes == frame)
                return true;
            if (boxsim::BoxSteadyClock::now() > deadline || !passes(shown().size() + 1, 5s))
                return false;
        }
    }

    std::unique_ptr<boxsim::Box> box;
    bool started = false;

private:
    std::thread main_;
    std::atomic<bool> returned_{false};
    int status_ = -1;
    std::set<int> baseline_;  // threads before the front end started
};

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

// One redraw pass as the trace shows it: the text sent to the display and
// the hash of the LCD frame written after it.
struct Pass {
    std::string window;
    std::string lcd_hash;
};

inline std::vector<Pass> passes_in_trace(boxsim::Box &box)
{
    std::vector<Pass> out;
    std::optional<std::string> window;
    for (const auto &e : box.trace().events()) {
        std::string op = e.value("op", "");
        if (op == "display") {
            window = e.value("text", "");
        } else if (op == "write" && e.value("path", "") == "/dev/lcd0" && e.contains("hash") && window) {
            out.push_back({*window, e["hash"].get<std::string>()});
            window.reset();
        }
    }
    return out;
}

inline std::string hash_of(const std::vector<uint8_t> &frame)
{
    char buf[24];
    snprintf(buf, sizeof buf, "%016llx",
             static_cast<unsigned long long>(boxsim::frame_hash(frame.data(), frame.size())));
    return buf;
}

// The four-character window of `text` at `pos`, as the display gets it.
inline std::string window_of(const std::string &text, size_t pos)
{
    return pos >= text.size() ? std::string() : text.substr(pos, 4);
}

// Checks that the display scrolled the address text on every pass whose LCD
// showed the address (`address_hash`) and the unplugged text on every other
// pass, each text going on from where it last stopped. A pass that read the
// link state between its display and its LCD step may show the other text.
// `address_windows`, when given, gets the windows of the address text in turn.
inline testing::AssertionResult scrolls_each_text_on(const std::vector<Pass> &passes,
                                                     const std::string &address_hash, const std::string &address,
                                                     std::vector<std::string> *address_windows = nullptr)
{
    const std::string unplugged = "   http___unpluged";
    size_t pos_u = 0, pos_a = 0;
    auto step = [](size_t &pos, const std::string &text) { pos = pos + 1 > text.size() ? 0 : pos + 1; };
    for (size_t i = 0; i < passes.size(); ++i) {
        const Pass &p = passes[i];
        bool on_address = p.lcd_hash == address_hash;
        const std::string &text = on_address ? address : unplugged;
        size_t &pos = on_address ? pos_a : pos_u;
        const std::string &other_text = on_address ? unplugged : address;
        size_t &other_pos = on_address ? pos_u : pos_a;
        bool took_address;
        if (p.window == window_of(text, pos)) {
            step(pos, text);
            took_address = on_address;
        } else if (p.window == window_of(other_text, other_pos)) {
            step(other_pos, other_text);
            took_address = !on_address;
        } else {
            return testing::AssertionFailure() << "pass " << i << " showed '" << p.window << "', expected '"
                                               << window_of(text, pos) << "'";
        }
        if (took_address && address_windows)
            address_windows->push_back(p.window);
    }
    return testing::AssertionSuccess();
}


// Lit pixels of a panel frame in the two 24-row text lines whose tops are
// given; -1 when any pixel outside them is lit.
inline std::pair<int, int> lit_in_lines(const boxsim::LcdFrame &frame, int first_top, int second_top)
{
    boxsim::Image img = boxsim::lcd_decode(frame);
    std::pair<int, int> lit{0, 0};
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x)
            if (img.at(x, y) & 0xFFFFFF) {
                if (y >= first_top && y < first_top + 24)
                    ++lit.first;
                else if (y >= second_top && y < second_top + 24)
                    ++lit.second;
                else
                    return {-1, -1};
            }
    return lit;
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
