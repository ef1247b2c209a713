#include "boxsim/test_runner.h"

#include "boxsim/expect.h"
#include "boxsim/script.h"
#include "boxsim/session.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <pthread.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace boxsim::tool {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const char kTestUsage[] = R"(usage: boxsim test [-j N] [--seeds K] [--out DIR] [--update-golden] [--timeout S] PATH...

Runs every scenario script (*.box) under the given files and folders, each in
a boxsim process of its own, N at a time, and prints a table of the runs.

  -j N             runs at a time (default: the number of CPUs)
  --seeds K        run each script under seeds 1 to K (default 1: no seed given)
  --out DIR        each run's outputs in DIR/SCRIPT[/seed-S], and report.xml
                   (JUnit) for the whole run in DIR (default: boxsim-test)
  --update-golden  the picture expectations write their golden files
  --timeout S      a run still going after S seconds of wall time is ended
                   and counts as failed (default 600)

Every script is checked before anything runs. A script may say which box
profile and front end it is written for with "box NAME" and "front-end NAME"
lines before its first timed line.
Exit status: 0 when every run passed, 3 when a run failed, 2 for a bad
command line or script.
)";

struct Run {
    std::string script;  // as found
    std::string label;   // as shown in the table
    int seed = 0;        // 0: none given
    std::string out;
    pid_t pid = -1;
    Clock::time_point started;
    double wall_s = 0;
    int status = -1;
    bool killed = false;
    // From the run's expectations.json.
    size_t held = 0, failed = 0;
    int64_t box_ms = -1;
    json report;
    bool passed() const { return status == 0; }
};

[[noreturn]] void usage_error(const std::string &msg)
{
    say("boxsim test: %s\n", msg.c_str());
    fflush(nullptr);
    _exit(2);
}

std::string read_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The scripts under a path: the file itself, or every *.box file below a
// folder, in name order.
std::vector<std::string> scripts_under(const std::string &path)
{
    std::error_code ec;
    if (!fs::exists(path, ec))
        usage_error("no such file or folder: " + path);
    if (!fs::is_directory(path, ec))
        return {path};
    std::vector<std::string> found;
    for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->is_regular_file() && it->path().extension() == ".box")
            found.push_back(it->path().string());
    if (ec)
        usage_error("cannot read the folder " + path + ": " + ec.message());
    std::sort(found.begin(), found.end());
    return found;
}

// A name for a script's output folder: its path below the folder it was
// found in, without the extension, '/' as '_'.
std::string out_name(const std::string &script, const std::string &root)
{
    fs::path rel = fs::path(script).lexically_relative(fs::is_directory(root) ? fs::path(root) : fs::path(root).parent_path());
    std::string name = rel.empty() || rel.string().starts_with("..") ? fs::path(script).filename().string() : rel.string();
    if (name.ends_with(".box"))
        name.resize(name.size() - 4);
    std::replace(name.begin(), name.end(), '/', '_');
    return name;
}

std::string self_exe()
{
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "boxsim";
    buf[n] = '\0';
    return buf;
}

bool start(Run &r, const std::string &exe, bool update_golden)
{
    std::error_code ec;
    fs::create_directories(r.out, ec);
    std::vector<std::string> args = {exe, "--script", r.script, "--out", r.out};
    if (r.seed)
        args.insert(args.end(), {"--seed", std::to_string(r.seed)});
    if (update_golden)
        args.push_back("--update-golden");
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string log = r.out + "/boxsim.log";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    // The child gets the signals the tool blocks for its own signal thread.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    r.started = Clock::now();
    int rc = posix_spawn(&r.pid, exe.c_str(), &fa, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        r.pid = -1;
        r.status = 127;
        return false;
    }
    return true;
}

void collect(Run &r)
{
    std::string text = read_text(r.out + "/expectations.json");
    if (text.empty())
        return;
    json j = json::parse(text, nullptr, false);
    if (!j.is_object())
        return;
    r.report = j;
    r.held = j.value("held", size_t{0});
    r.failed = j.value("failed", size_t{0});
    r.box_ms = j.value("t", int64_t{-1});
}

// The lines of a run's log that say what failed.
std::vector<std::string> failure_lines(const Run &r)
{
    std::vector<std::string> out;
    std::istringstream in(read_text(r.out + "/boxsim.log"));
    std::string line;
    std::string mark = "boxsim: " + r.script + ":";
    std::vector<std::string> all;
    while (std::getline(in, line)) {
        all.push_back(line);
        if (line.starts_with(mark))
            out.push_back(line.substr(8));
    }
    // A run that ended otherwise: the end of its log.
    if (out.empty())
        for (size_t i = all.size() > 5 ? all.size() - 5 : 0; i < all.size(); ++i)
            out.push_back(all[i]);
    return out;
}

std::string status_word(const Run &r)
{
    if (r.killed)
        return "TIMEOUT";
    if (r.status == 0)
        return "ok";
    if (r.status == 3)
        return "FAILED";
    return "ERROR " + std::to_string(r.status);
}

std::string seconds(double s)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%.2f s", s);
    return buf;
}

} // namespace

int run_tests(int argc, char **argv)
{
    // Ctrl-C ends the runner and, from the terminal, its runs.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    int jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    int seeds = 1;
    double timeout_s = 600;
    std::string out = "boxsim-test";
    bool update = false;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage_error(a + " needs a value (see boxsim test --help)");
            return argv[++i];
        };
        auto count = [&](const std::string &v, int max) {
            char *end = nullptr;
            long n = strtol(v.c_str(), &end, 10);
            if (v.empty() || *end || n < 1 || n > max)
                usage_error(a + " takes a number from 1 to " + std::to_string(max) + ", not '" + v + "'");
            return static_cast<int>(n);
        };
        if (a == "--help" || a == "-h") {
            fputs(kTestUsage, stdout);
            return 0;
        } else if (a == "-j" || a == "--jobs") {
            jobs = count(value(), 256);
        } else if (a.starts_with("-j") && a.size() > 2) {
            jobs = count(a.substr(2), 256);
        } else if (a == "--seeds") {
            seeds = count(value(), 10000);
        } else if (a == "--out") {
            out = value();
            if (out.empty())
                usage_error("--out needs a folder");
        } else if (a == "--timeout") {
            timeout_s = count(value(), 86400);
        } else if (a == "--update-golden") {
            update = true;
        } else if (a.starts_with("-")) {
            usage_error("unknown option '" + a + "' (see boxsim test --help)");
        } else {
            paths.push_back(a);
        }
    }
    if (paths.empty())
        usage_error("no scripts given (see boxsim test --help)");

    // Every script is read and every line checked before anything runs.
    std::vector<std::pair<std::string, std::string>> scripts;  // file, output name
    std::map<std::string, int> names;
    bool bad = false;
    for (const auto &p : paths) {
        auto found = scripts_under(p);
        if (found.empty())
            usage_error("no *.box scripts under " + p);
        for (const auto &f : found) {
            std::string err;
            auto s = load_script(f, err);
            if (s && !check_front_ends(*s, err))
                s.reset();
            std::optional<json> profile;
            if (s) {
                profile = Box::load_profile(s->box.empty() ? "default" : s->box, err);
                if (!profile) {
                    err = f + ":" + std::to_string(s->box_line) + ": " + err;
                    s.reset();
                }
            }
            if (s && (!load_goldens(*s, update, err) || !check_golden_sizes(*s, *profile, err)))
                s.reset();
            if (!s) {
                say("boxsim test: %s\n", err.c_str());
                bad = true;
                continue;
            }
            std::string name = out_name(f, p);
            if (int n = ++names[name]; n > 1)
                name += '-' + std::to_string(n);
            scripts.emplace_back(f, name);
        }
    }
    if (bad) {
        say("boxsim test: nothing was run\n");
        return 2;
    }
    std::error_code ec;
    fs::create_directories(out, ec);
    if (ec || !fs::is_directory(out))
        usage_error("cannot create the folder " + out + (ec ? ": " + ec.message() : ""));

    std::vector<Run> runs;
    for (const auto &[file, name] : scripts)
        for (int s = 1; s <= seeds; ++s) {
            Run r;
            r.script = file;
            r.seed = seeds > 1 ? s : 0;
            r.label = file;
            r.out = out + "/" + name + (seeds > 1 ? "/seed-" + std::to_string(s) : "");
            runs.push_back(std::move(r));
        }

    size_t width = 6;
    for (const auto &r : runs)
        width = std::max(width, r.label.size());
    bool tty = isatty(STDERR_FILENO);
    std::string exe = self_exe();
    auto wall_start = Clock::now();
    std::string header;
    {
        char buf[512];
        snprintf(buf, sizeof buf, "%-*s  %6s  %5s  %6s  %10s  %10s  %s\n", static_cast<int>(width), "script", "seed",
                 "held", "failed", "box time", "wall time", "result");
        header = buf;
    }
    say_out("%s", header.c_str());

    size_t next = 0, done = 0, running = 0;
    auto progress = [&] {
        if (!tty)
            return;
        std::string going;
        for (const auto &r : runs)
            if (r.pid > 0 && r.status < 0)
                going += (going.empty() ? "" : ", ") + fs::path(r.script).filename().string();
        double el = std::chrono::duration<double>(Clock::now() - wall_start).count();
        std::string line = "[" + std::to_string(done) + "/" + std::to_string(runs.size()) + "] " + seconds(el) +
                           "  running: " + going;
        if (line.size() > 150)
            line = line.substr(0, 147) + "...";
        say("\r\033[K%s", line.c_str());
    };
    auto row = [&](const Run &r) {
        char buf[1024];
        std::string box = r.box_ms >= 0 ? seconds(static_cast<double>(r.box_ms) / 1000.0) : "-";
        std::string seed = r.seed ? std::to_string(r.seed) : "-";
        snprintf(buf, sizeof buf, "%-*s  %6s  %5zu  %6zu  %10s  %10s  %s\n", static_cast<int>(width),
                 r.label.c_str(), seed.c_str(), r.held, r.failed, box.c_str(), seconds(r.wall_s).c_str(),
                 status_word(r).c_str());
        if (tty)
            say("\r\033[K");
        say_out("%s", buf);
    };

    while (done < runs.size()) {
        while (running < static_cast<size_t>(jobs) && next < runs.size()) {
            Run &r = runs[next++];
            if (start(r, exe, update)) {
                running++;
            } else {
                r.wall_s = 0;
                done++;
                row(r);
            }
        }
        progress();
        // Waits for any run to end; looks at the time-outs now and then.
        int st = 0;
        pid_t pid = waitpid(-1, &st, WNOHANG);
        if (pid == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            auto now = Clock::now();
            for (auto &r : runs)
                if (r.pid > 0 && r.status < 0 && !r.killed &&
                    std::chrono::duration<double>(now - r.started).count() > timeout_s) {
                    r.killed = true;
                    kill(r.pid, SIGKILL);
                }
            continue;
        }
        if (pid < 0)
            break;
        for (auto &r : runs) {
            if (r.pid != pid || r.status >= 0)
                continue;
            r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            r.wall_s = std::chrono::duration<double>(Clock::now() - r.started).count();
            collect(r);
            running--;
            done++;
            row(r);
        }
    }
    if (tty)
        say("\r\033[K");
    double wall_s = std::chrono::duration<double>(Clock::now() - wall_start).count();

    // What failed, in the runs' own words.
    size_t passed = 0, held = 0, failed = 0;
    double box_s = 0;
    std::vector<JunitSuite> suites;
    for (const auto &r : runs) {
        held += r.held;
        failed += r.failed;
        if (r.box_ms > 0)
            box_s += static_cast<double>(r.box_ms) / 1000.0;
        passed += r.passed();
        if (!r.passed()) {
            say_out("\n%s%s: %s (outputs in %s)\n", r.script.c_str(),
                    r.seed ? (" seed " + std::to_string(r.seed)).c_str() : "", status_word(r).c_str(), r.out.c_str());
            for (const auto &l : failure_lines(r))
                say_out("  %s\n", l.c_str());
        }
        JunitSuite s;
        s.name = r.script + (r.seed ? " seed " + std::to_string(r.seed) : "");
        s.seconds = r.wall_s;
        std::string classname = fs::path(r.script).stem().string() + (r.seed ? ".seed" + std::to_string(r.seed) : "");
        if (r.report.contains("expectations") && r.report["expectations"].is_array()) {
            for (const auto &e : r.report["expectations"]) {
                JunitCase c;
                std::string name = e.value("name", "");
                int line = e.value("line", 0);
                c.name = name == e.value("condition", "") ? "line " + std::to_string(line) + ": " + name : name;
                c.classname = classname;
                c.failed = e.value("result", "") == "failed";
                // Box time from the line to its verdict.
                int64_t until = c.failed ? e.value("timeout", int64_t{0}) : e.value("held_t", int64_t{0});
                c.seconds = static_cast<double>(std::max<int64_t>(0, until - e.value("at", int64_t{0}))) / 1000.0;
                c.message = e.value("why", "");
                c.detail = r.script + ":" + std::to_string(line) + ": " + c.message +
                           (e.contains("diff") ? "\ndiff picture: " + e.value("diff", "") : "");
                s.cases.push_back(std::move(c));
            }
        }
        // A run that did not end as asked is a case of its own.
        if (r.status != 0 && r.status != 3) {
            JunitCase c;
            c.name = "run";
            c.classname = classname;
            c.error = true;
            c.message = "boxsim ended with " + status_word(r);
            for (const auto &l : failure_lines(r))
                c.detail += l + "\n";
            s.cases.push_back(std::move(c));
        } else if (s.cases.empty()) {
            JunitCase c;
            c.name = "run";
            c.classname = classname;
            s.cases.push_back(std::move(c));
        }
        suites.push_back(std::move(s));
    }
    std::string report = out + "/report.xml";
    if (!write_file_atomic(report, junit_xml(suites)))
        say("boxsim test: cannot write %s\n", report.c_str());
    char sum[512];
    snprintf(sum, sizeof sum,
             "\n%zu of %zu runs passed (%zu scripts x %d seed%s); %zu expectations held, %zu failed; %.1f s of box "
             "time in %.1f s wall time, %d at a time; report %s\n",
             passed, runs.size(), scripts.size(), seeds, seeds > 1 ? "s" : "", held, failed, box_s, wall_s, jobs,
             report.c_str());
    say_out("%s", sum);
    return passed == runs.size() ? 0 : 3;
}

} // namespace boxsim::tool
