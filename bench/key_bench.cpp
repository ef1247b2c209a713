// Key latency of the console: a press on the simulated remote until the
// button test's LCD frame and its word on the text display have reached the
// box, over 200 presses.
#include "figures.h"

#include "app/console.h"
#include "app/status.h"
#include "core/box.h"
#include "devices/input.h"
#include "platform/box_abi.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

// This file's figures in a namespace of its own: the benchmarks compile as
// one unit, and their file-local names stay apart.
namespace key_bench {
namespace {

using clock_type = std::chrono::steady_clock;
constexpr int kPresses = 200;
// A person's pace: the screen's redraw after a press is over before the next.
constexpr auto kPause = std::chrono::milliseconds(30);
constexpr auto kGiveUp = std::chrono::seconds(2);

// Seven of the eight test keys: the button test never completes, so every
// press draws its pattern and shows its word.
constexpr int kKeys[] = {box_abi::KEY_LEFT_, box_abi::KEY_RIGHT_, box_abi::KEY_UP_,  box_abi::KEY_DOWN_,
                         box_abi::KEY_MENU_, box_abi::KEY_OK_,    box_abi::KEY_EXIT_};

struct Arrivals {
    std::mutex m;
    std::condition_variable cv;
    clock_type::time_point lcd, display;
    bool lcd_seen = false, display_seen = false;
    long blits = 0;
};

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

void measure_keys()
{
    std::string err;
    auto profile = boxsim::Box::load_profile("default", err);
    if (!profile) {
        std::fprintf(stderr, "key bench: %s\n", err.c_str());
        return;
    }
    // The console's tasks are never joined: the box stays for their last
    // touches, as the process ends soon after.
    auto *box = new boxsim::Box(*profile);
    Arrivals a;
    box->trace().add_listener([&a](const boxsim::json &ev) {
        const std::string op = ev.value("op", ""), path = ev.value("path", "");
        const auto now = clock_type::now();
        std::lock_guard<std::mutex> g(a.m);
        if (op == "write" && path == "/dev/lcd0" && !a.lcd_seen) {
            a.lcd = now;
            a.lcd_seen = true;
        } else if (op == "display" && !a.display_seen) {
            a.display = now;
            a.display_seen = true;
        } else if (op == "ioctl" && ev.value("name", "") == "FBIO_BLIT") {
            ++a.blits;
        }
        a.cv.notify_all();
    });
    std::thread console([] { console_main(); });
    {
        // Started once the screen task has presented its first pass.
        std::unique_lock<std::mutex> g(a.m);
        a.cv.wait_for(g, std::chrono::seconds(15), [&] { return a.blits >= 6; });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    std::vector<double> ms;
    int lost = 0;
    for (int i = 0; i < kPresses; ++i) {
        {
            std::lock_guard<std::mutex> g(a.m);
            a.lcd_seen = a.display_seen = false;
        }
        const auto start = clock_type::now();
        boxsim::input::press(*box, boxsim::input::Role::Remote, kKeys[i % 7]);
        std::unique_lock<std::mutex> g(a.m);
        if (!a.cv.wait_for(g, kGiveUp, [&] { return a.lcd_seen && a.display_seen; })) {
            // Counted at the time given up on, so that it shows in the tail.
            ++lost;
            ms.push_back(std::chrono::duration<double, std::milli>(kGiveUp).count());
        } else {
            const auto end = std::max(a.lcd, a.display);
            ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        }
        g.unlock();
        std::this_thread::sleep_for(kPause);
    }
    g_status.quit = 1;
    console.join();
    if (ms.empty())
        return;
    char detail[96];
    std::snprintf(detail, sizeof detail, "%zu presses, %d unanswered, max %.2f ms", ms.size(), lost,
                  *std::max_element(ms.begin(), ms.end()));
    boxbench::report_value("key_latency_median", percentile(ms, 0.5), detail);
    boxbench::report_value("key_latency_p99", percentile(ms, 0.99));
}

const int registered = [] {
    boxbench::add_figure({"key latency, remote press to LCD frame + display, median", "key_latency_median", "",
                          5.0, true, "ms"});
    boxbench::add_figure({"key latency, remote press to LCD frame + display, 99th pct", "key_latency_p99", "",
                          20.0, true, "ms"});
    boxbench::add_measure("key_latency", measure_keys);
    return 0;
}();

} // namespace
} // namespace key_bench
