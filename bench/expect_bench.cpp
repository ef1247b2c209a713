// Scenarios that check themselves: a golden picture compared, a script of
// expectations run by the boxsim program, and the example folder run by
// boxsim test, as a user runs them.
#include "figures.h"

#include "boxsim/expect.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>

// This file's figures in a namespace of its own: the benchmarks compile as
// one unit, and their file-local names stay apart.
namespace expect_bench {
namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t)
{
    return std::chrono::duration<double>(clock_type::now() - t).count();
}

// Two TV pictures of 1280 x 720 that differ in about 2 % of their pixels,
// spread over the picture, as a running clock and a changed line make them.
void measure_golden()
{
    boxsim::Image golden, actual;
    golden.width = actual.width = 1280;
    golden.height = actual.height = 720;
    golden.argb.resize(1280u * 720u);
    for (size_t i = 0; i < golden.argb.size(); ++i)
        golden.argb[i] = 0xFF000000u | static_cast<uint32_t>((i * 2654435761u) >> 8 & 0xFFFFFFu);
    actual.argb = golden.argb;
    for (size_t i = 0; i < actual.argb.size(); i += 50)
        actual.argb[i] ^= 0x00808080u;
    double best = 1e9;
    size_t differing = 0;
    for (int rep = 0; rep < 20; ++rep) {
        auto t = clock_type::now();
        differing = boxsim::compare_pictures(actual, golden).differing;
        best = std::min(best, seconds_since(t) * 1000.0);
    }
    char detail[96];
    snprintf(detail, sizeof detail, "best of 20; %zu pixels differ", differing);
    boxbench::report_value("golden_compare_ms", best, detail);
}

#ifdef BOXSIM_BINARY
int run(const std::string &cmd) { return std::system((cmd + " > /dev/null 2>&1").c_str()); }

// 20 expectations over 60 s of box time: the tuner key on and off every
// three seconds, its lock expected each time.
void measure_script()
{
    auto dir = std::filesystem::temp_directory_path() / "boxbench-expect";
    std::filesystem::create_directories(dir);
    std::ofstream s(dir / "twenty.box");
    s << "box default\nfront-end console\n";
    for (int i = 0; i < 20; ++i)
        s << i * 3 << "s key 1\n"
          << i * 3 << "s expect state devices.tuners.0.locked == " << (i % 2 ? "false" : "true") << " within 2500ms\n";
    s << "60s expect state status.buttons_seen == 0\n";
    s.close();
    auto t = clock_type::now();
    int status = run(std::string(BOXSIM_BINARY) + " --script " + (dir / "twenty.box").string() + " --out " +
                     (dir / "out").string());
    double wall = seconds_since(t);
    boxbench::report_value("expect_script_s", wall,
                           "21 expectations, 60 s of box time; exit status " + std::to_string(WEXITSTATUS(status)));

    t = clock_type::now();
    status = run(std::string(BOXSIM_BINARY) + " test -j 2 --out " + (dir / "suite").string() + " " + BOXSIM_SOURCE_DIR +
                 "/tests/scripts");
    wall = seconds_since(t);
    boxbench::report_value("expect_suite_s", wall, "tests/scripts, 2 at a time; exit status " +
                                                       std::to_string(WEXITSTATUS(status)));
    std::filesystem::remove_all(dir);
}
#endif

const int registered = [] {
    boxbench::add_figure({"golden comparison of a 1280x720 picture", "golden_compare_ms", "", 20.0, true, "ms"});
    boxbench::add_measure("golden_compare", measure_golden);
#ifdef BOXSIM_BINARY
    boxbench::add_figure(
        {"scenario of 20 expectations over 60 s of box time, wall time", "expect_script_s", "", 3.0, true, "s"});
    boxbench::add_figure({"boxsim test over tests/scripts, wall time", "expect_suite_s", "", 60.0, true, "s"});
    boxbench::add_measure("expect_script", measure_script);
#endif
    return 0;
}();

} // namespace
} // namespace expect_bench
