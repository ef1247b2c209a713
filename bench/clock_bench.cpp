// The box's virtual clock: how much faster than real time a scenario runs on
// it, and what one hand-over of the turn between two threads costs.
#include "figures.h"

#include "core/box.h"
#include "kni/bkni.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t) { return std::chrono::duration<double>(clock_type::now() - t).count(); }

#ifdef BOXSIM_BINARY
// Runs boxsim on a script; the best wall time of three runs.
double best_run(const std::string &args, int &status)
{
    double best = 1e9;
    for (int i = 0; i < 3; ++i) {
        auto t = clock_type::now();
        status = std::system((std::string(BOXSIM_BINARY) + " " + args + " > /dev/null 2>&1").c_str());
        best = std::min(best, seconds_since(t));
    }
    return best;
}

// A minute of the console as a person at the box spends it, and the rescue
// display through the cable and the DHCP server's answer.
void measure_scenarios()
{
    auto dir = std::filesystem::temp_directory_path() / "boxbench-clock";
    std::filesystem::create_directories(dir);
    {
        std::ofstream s(dir / "console.txt");
        s << "0 dhcp lease 192.168.1.20\n500ms cable plug 1000\n2s key 1\n4s key POWER\n5s key MENU\n"
             "6s type 02:47:58:1A:2B:3C\n8s type 02:47:58:1A:2B:3C\n12s card 0 insert\n18s card 0 remove\n"
             "20s key 8\n28s key 8\n30s key 9\n36s key 9\n40s cable unplug\n44s cable plug 100\n"
             "50s key 2\n55s snapshot late\n59s quit\n";
        std::ofstream r(dir / "rescue.txt");
        r << "0 dhcp lease 192.168.1.20\n500ms cable plug 1000\n7s snapshot leased\n7.5s quit\n";
    }
    int status = 0;
    double wall = best_run("--front-end console --script " + (dir / "console.txt").string() + " --out " +
                               (dir / "out-console").string() + " --seconds 60",
                           status);
    char detail[128];
    snprintf(detail, sizeof detail, "60 s of box time in %.3f s (best of 3); exit status %d", wall,
             WEXITSTATUS(status));
    boxbench::report_value("virtual_console_speedup", 60.0 / wall, detail);
    wall = best_run("--script " + (dir / "rescue.txt").string() + " --out " + (dir / "out-rescue").string() +
                        " --seconds 8",
                    status);
    snprintf(detail, sizeof detail, "8 s of box time (best of 3); exit status %d", WEXITSTATUS(status));
    boxbench::report_value("virtual_rescue_s", wall, detail);
    std::filesystem::remove_all(dir);
}
#endif

// Two tasks hand one event back and forth on a virtual box, in a child
// process (the clock is the whole process's once a box has it).
void measure_switch()
{
    int fds[2];
    if (pipe(fds) != 0)
        return;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        boxsim::Box box(boxsim::json::object(), boxsim::BoxClock{true, boxsim::kDefaultSeed});
        static BKNI_EventHandle ping, pong;
        BKNI_CreateEvent(&ping);
        BKNI_CreateEvent(&pong);
        constexpr int kRounds = 100000;
        std::thread other = boxsim::clock::spawn("pong", [] {
            for (int i = 0; i < kRounds; ++i) {
                BKNI_WaitForEvent(ping, BKNI_INFINITE);
                BKNI_SetEvent(pong);
            }
        });
        uint64_t before = boxsim::clock::switches();
        auto t = clock_type::now();
        for (int i = 0; i < kRounds; ++i) {
            BKNI_SetEvent(ping);
            BKNI_WaitForEvent(pong, BKNI_INFINITE);
        }
        double wall = seconds_since(t);
        uint64_t n = boxsim::clock::switches() - before;
        boxsim::clock::join(other);
        char line[128];
        int len = snprintf(line, sizeof line, "%.1f %llu\n", n ? wall * 1e9 / static_cast<double>(n) : 0.0,
                           static_cast<unsigned long long>(n));
        (void)!write(fds[1], line, static_cast<size_t>(len));
        _exit(0);
    }
    close(fds[1]);
    char buf[128] = {};
    ssize_t got = read(fds[0], buf, sizeof buf - 1);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    double ns = 0;
    unsigned long long n = 0;
    if (got <= 0 || sscanf(buf, "%lf %llu", &ns, &n) != 2)
        return;
    char detail[96];
    snprintf(detail, sizeof detail, "%llu hand-overs between two tasks through events", n);
    boxbench::report_value("virtual_switch_ns", ns, detail);
}

const int registered = [] {
#ifdef BOXSIM_BINARY
    boxbench::add_figure({"virtual clock: 60 s console scenario, box time / wall time", "virtual_console_speedup", "",
                          20.0, false, "x"});
    boxbench::add_figure({"virtual clock: 8 s rescue DHCP scenario, wall time", "virtual_rescue_s", "", 0.5, true,
                          "s"});
    boxbench::add_measure("virtual_scenarios", measure_scenarios);
#endif
    boxbench::add_figure({"virtual clock: one hand-over of the turn", "virtual_switch_ns", "", 20000.0, true, "ns"});
    boxbench::add_measure("virtual_switch", measure_switch);
    return 0;
}();

} // namespace
