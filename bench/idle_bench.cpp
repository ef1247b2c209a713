// The console at rest: the CPU time a boxsim process running the console
// uses over 10 s with no key pressed, as a share of the wall time; what a
// user sees in top.
#include "figures.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

#ifdef BOXSIM_BINARY

// This file's figures in a namespace of its own: the benchmarks compile as
// one unit, and their file-local names stay apart.
namespace idle_bench {
namespace {

using clock_type = std::chrono::steady_clock;
constexpr auto kSettle = std::chrono::seconds(3);  // start-up and first passes
constexpr auto kWindow = std::chrono::seconds(10);

// User plus system CPU seconds of a process, from /proc/PID/stat.
double cpu_seconds(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE *f = std::fopen(path, "r");
    if (!f)
        return -1;
    char buf[1024];
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = 0;
    // Fields after the command name, which is in parentheses and may hold
    // blanks: state is field 3, utime 14, stime 15.
    const char *p = std::strrchr(buf, ')');
    if (!p)
        return -1;
    unsigned long utime = 0, stime = 0;
    if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
        return -1;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void measure_idle()
{
    const std::string seconds = std::to_string(
        std::chrono::duration_cast<std::chrono::seconds>(kSettle + kWindow).count() + 2);
    const char *argv[] = {BOXSIM_BINARY, "--front-end", "console", "--seconds", seconds.c_str(), nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int r = posix_spawn(&pid, BOXSIM_BINARY, &fa, nullptr, const_cast<char **>(argv), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (r != 0) {
        std::fprintf(stderr, "idle bench: cannot start %s\n", BOXSIM_BINARY);
        return;
    }
    std::this_thread::sleep_for(kSettle);
    const double cpu0 = cpu_seconds(pid);
    const auto t0 = clock_type::now();
    std::this_thread::sleep_for(kWindow);
    const double cpu1 = cpu_seconds(pid);
    const double wall = std::chrono::duration<double>(clock_type::now() - t0).count();
    int status = 0;
    struct rusage ru {};
    wait4(pid, &status, 0, &ru);
    if (cpu0 < 0 || cpu1 < 0)
        return;
    const double whole = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    char detail[128];
    std::snprintf(detail, sizeof detail, "%.2f s CPU in %.1f s; whole run incl. start %.2f s CPU", cpu1 - cpu0, wall,
                  whole);
    boxbench::report_value("console_idle_cpu", 100.0 * (cpu1 - cpu0) / wall, detail);
}

const int registered = [] {
    boxbench::add_figure({"console idle: boxsim CPU time / wall time, 10 s, no key", "console_idle_cpu", "", 2.0,
                          true, "%"});
    boxbench::add_measure("console_idle", measure_idle);
    return 0;
}();

} // namespace
} // namespace idle_bench
#endif // BOXSIM_BINARY
