// boxsim: the system's front end on a simulated box, with scenario scripts,
// recorded outputs and a web front panel.
#include "core/box.h"
#include "boxsim/diff.h"
#include "boxsim/expect.h"
#include "boxsim/script.h"
#include "boxsim/session.h"
#include "boxsim/test_runner.h"
#include "boxsim/web.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>

using namespace boxsim;
using namespace boxsim::tool;

namespace {

const char kUsage[] = R"(usage: boxsim [--box NAME|FILE] [--front-end rescue|console] [--script FILE] [--out DIR]
              [--seconds N] [--serve [ADDR:]PORT] [--clock virtual|real] [--speed N]
              [--seed N] [--update-golden]
       boxsim test [-j N] [--seeds K] [--out DIR] [--update-golden] PATH...
       boxsim diff RUN_A RUN_B [--ignore-time] [--context N]

Runs the box's system on a simulated box.

  --box NAME|FILE     box profile: a name from sim/boxes/ (default: default) or a
                      path to a profile JSON file
  --front-end NAME    front end to run (default: rescue)
  --script FILE       scenario: one action per line, "AT ACTION ARGS...", where AT
                      is the time since start (0, 1.5s, 250ms); '#' starts a comment
  --out DIR           write trace.jsonl, timeline.json (the trace as a timeline for
                      Chrome's or Perfetto's trace viewer), stdout.log, stderr.log and, for each
                      snapshot and at the end ("final"), NAME-tv.png, NAME-lcd.png
                      and NAME-state.json into DIR (created when missing)
  --seconds N         end the run N seconds after start (decimals allowed)
  --serve [ADDR:]PORT serve the web front panel (loopback addresses only; port 0
                      picks a free one). Without --script and --seconds the panel
                      is served on 127.0.0.1:8080.
  --clock virtual|real
                      the box's clock. virtual (the default without --serve): the
                      box owns time, its threads run one at a time and the clock
                      jumps over waits, so a run takes a fraction of its length and
                      the same seed gives the same run, byte for byte. real (the
                      default with --serve): the host's clock, as a person at the
                      page expects
  --speed N           the real clock runs N times as fast as the host's (a whole
                      number from 1, the default, to 50): a served box whose every
                      wait is N times shorter, for tests that wait on the box's
                      own seconds rather than on its pace
  --seed N            the virtual clock's seed: which thread runs next, and how
                      often a thread gives way (default %SEED%)
  --update-golden     the script's picture expectations write the pictures shown
                      as their golden files instead of comparing
  --help              this text

The run ends with the script's quit action, after --seconds, after the script's
last action (when there is no --seconds and no panel), or on Ctrl-C.
A script's "AT expect CONDITION [within DURATION]" lines check the box
(stdout TEXT, stderr TEXT, trace FIELD=VALUE..., state PATH OP VALUE,
picture tv|osd|lcd FILE.png [tolerance PCT]); with --out the run writes
expectations.json and report.xml. "boxsim test" runs every *.box script under
the given files and folders (boxsim test --help). "boxsim diff" shows where
two runs part (boxsim diff --help).
Exit status: 0 when the run ended as asked, 1 when an output could not be
written or the front end did not end on quit, 2 for a bad command line,
profile, script or port, 3 when an expectation failed, 4 when the run was
stuck (every thread waiting for ever, or one running without reaching the box
for 5 s; the threads are named), 130 when interrupted before the asked end.

Actions:
)";

struct Options {
    std::string box = "default";
    std::string front_end = "rescue";
    std::string script;
    std::string out;
    std::optional<double> seconds;
    std::optional<std::string> serve;
    std::optional<std::string> clock;  // "virtual" or "real"
    std::optional<int> speed;          // the real clock's pace
    uint64_t seed = kDefaultSeed;
    bool update_golden = false;
    bool box_given = false, front_end_given = false;
};

[[noreturn]] void bad(const std::string &msg)
{
    say("boxsim: %s\n", msg.c_str());
    fflush(stdout);
    fflush(stderr);
    _exit(2);
}

void print_usage()
{
    std::string text = kUsage;
    text.replace(text.find("%SEED%"), 6, std::to_string(kDefaultSeed));
    for (const auto &[name, a] : actions())
        text += "  " + (a.usage.empty() ? name : a.usage) + "\n";
    text += "\nFront ends:\n";
    for (const auto &f : front_ends())
        text += std::string("  ") + f.name + "  " + f.about + "\n";
    text += "\nBox profiles (" + Box::boxes_dir() + "):\n ";
    std::error_code ec;
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(Box::boxes_dir(), ec))
        if (e.path().extension() == ".json")
            names.push_back(e.path().stem().string());
    std::sort(names.begin(), names.end());
    for (const auto &n : names)
        text += " " + n;
    text += "\n";
    fputs(text.c_str(), stdout);
}

Options parse_options(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i], value;
        bool inline_value = false;
        if (arg.starts_with("--") && arg.find('=') != std::string::npos) {
            value = arg.substr(arg.find('=') + 1);
            arg = arg.substr(0, arg.find('='));
            inline_value = true;
        }
        if (arg == "--help" || arg == "-h") {
            print_usage();
            exit(0);
        }
        auto take = [&]() -> std::string {
            if (inline_value)
                return value;
            if (i + 1 >= argc)
                bad(arg + " needs a value (see --help)");
            return argv[++i];
        };
        if (arg == "--box") {
            o.box = take();
            o.box_given = true;
        } else if (arg == "--front-end") {
            o.front_end = take();
            o.front_end_given = true;
        } else if (arg == "--update-golden" && !inline_value) {
            o.update_golden = true;
        } else if (arg == "--script") {
            o.script = take();
        } else if (arg == "--out") {
            o.out = take();
            if (o.out.empty())
                bad("--out needs a directory");
        } else if (arg == "--seconds") {
            std::string v = take();
            char *end = nullptr;
            double s = strtod(v.c_str(), &end);
            if (v.empty() || *end || !(s > 0) || s > 86400)
                bad("--seconds takes a number of seconds above 0 and at most 86400, not '" + v + "'");
            o.seconds = s;
        } else if (arg == "--serve") {
            o.serve = take();
        } else if (arg == "--clock") {
            o.clock = take();
            if (*o.clock != "virtual" && *o.clock != "real")
                bad("--clock takes virtual or real, not '" + *o.clock + "'");
        } else if (arg == "--speed") {
            std::string v = take();
            bool digits = !v.empty() && v.size() <= 2 && v.find_first_not_of("0123456789") == std::string::npos;
            if (!digits || std::stoi(v) < 1 || std::stoi(v) > 50)
                bad("--speed takes a whole number from 1 to 50, not '" + v + "'");
            o.speed = std::stoi(v);
        } else if (arg == "--seed") {
            std::string v = take();
            char *end = nullptr;
            errno = 0;
            unsigned long long n = strtoull(v.c_str(), &end, 10);
            if (v.empty() || *end || v[0] == '-' || errno == ERANGE)
                bad("--seed takes a whole number from 0 to 18446744073709551615, not '" + v + "'");
            o.seed = n;
        } else {
            bad("unknown option '" + arg + "' (see --help)");
        }
    }
    return o;
}

// Ctrl-C and SIGTERM end the run the orderly way: outputs are written. A
// second one ends the process at once.
void watch_signals(Session &session)
{
    std::thread([&session] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        int sig = 0;
        sigwait(&set, &sig);
        say("\nboxsim: ending the run (%s); again to stop at once\n", sig == SIGINT ? "Ctrl-C" : "SIGTERM");
        session.request_end(EndReason::Signal);
        sigwait(&set, &sig);
        _exit(130);
    }).detach();
}

} // namespace

int main(int argc, char **argv)
{
    // Every thread, the system's included, leaves these signals to the
    // signal thread.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    keep_terminal();

    if (argc > 1 && strcmp(argv[1], "test") == 0)
        return run_tests(argc - 1, argv + 1);
    if (argc > 1 && strcmp(argv[1], "diff") == 0)
        return run_diff(argc - 1, argv + 1);

    Options opt = parse_options(argc, argv);

    // Everything that can be wrong with the request is found before the box
    // is made and before any output exists.
    std::string err;
    std::optional<Script> script;
    if (!opt.script.empty()) {
        script = load_script(opt.script, err);
        if (!script)
            bad(err);
        // What the script is written for, unless the command line says otherwise.
        if (!script->box.empty() && !opt.box_given)
            opt.box = script->box;
        if (!check_front_ends(*script, err))
            bad(err);
        if (!script->front_end.empty() && !opt.front_end_given)
            opt.front_end = script->front_end;
        if (!load_goldens(*script, opt.update_golden, err))
            bad(err);
    }
    const FrontEnd *fe = find_front_end(opt.front_end);
    if (!fe) {
        std::string names;
        for (const auto &f : front_ends())
            names += std::string(names.empty() ? "" : ", ") + f.name;
        bad("unknown front end '" + opt.front_end + "' (known: " + names + ")");
    }
    auto profile = Box::load_profile(opt.box, err);
    if (!profile)
        bad(script && !script->box.empty() && !opt.box_given
                ? opt.script + ":" + std::to_string(script->box_line) + ": " + err
                : err);
    if (script && !check_golden_sizes(*script, *profile, err))
        bad(err);

    if (script) {
        if (opt.out.empty() && !script->snapshots().empty())
            bad(opt.script + ": the script takes snapshots but there is no --out DIR to write them to");
        if (opt.seconds && !script->steps.empty()) {
            const ScriptStep &last = script->steps.back();
            if (last.at_ms > static_cast<int64_t>(*opt.seconds * 1000)) {
                char secs[32];
                snprintf(secs, sizeof secs, "%g", *opt.seconds);
                bad(opt.script + ":" + std::to_string(last.line) + ": comes after the end of the run (--seconds " +
                    secs + ")");
            }
        }
    }

    bool serving = opt.serve.has_value() || (!script && !opt.seconds);
    WebPanel web;
    std::string host = "127.0.0.1";
    int port = 8080;
    if (opt.serve && !parse_serve_address(*opt.serve, host, port, err))
        bad(err);
    if (serving && opt.clock == "virtual")
        bad("--clock virtual cannot serve the front panel: a person at the page needs the real clock");
    if (serving && !web.bind(host, port, err))
        bad(err);
    bool virtual_time = !serving && opt.clock != "real";
    if (virtual_time && opt.speed)
        bad("--speed is the real clock's (with --serve or --clock real); the virtual clock runs as fast as it can");
    Box::set_default_clock({virtual_time, opt.seed});
    if (opt.speed)
        clock::set_real_speed(*opt.speed);

    Session session(*profile, opt.box, *fe, opt.out);
    if (!session.open_outputs(err))
        bad(err);

    watch_signals(session);
    // A stuck run names its threads, keeps its outputs and ends with status 4.
    clock::on_stuck([&session](const std::string &report) {
        say("boxsim: %s", report.c_str());
        session.finish();
        fflush(stdout);
        fflush(stderr);
        _exit(4);
    });
    session.start();
    if (serving) {
        web.start(session);
        std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
        say_out("boxsim: front panel at http://%s:%d/\n", shown.c_str(), web.port());
    }

    // The script's expectations look at the box as it runs.
    std::unique_ptr<ExpectRun> expects;
    auto wall_start = std::chrono::steady_clock::now();
    if (script && !script->expectations.empty()) {
        ExpectRun::Sources src{[&session] { return session.state(); },
                               [&session](const std::string &name) { return session.shown_picture(name); },
                               [&session](const std::string &name) { return picture_stamp(session.box(), name); }};
        expects = std::make_unique<ExpectRun>(session.box(), *script, std::move(src), opt.update_golden);
        expects->start();
    }

    // The script runs on its own thread; `left` counts its lines not yet started.
    std::atomic<size_t> left{script ? script->steps.size() : 0};
    std::atomic<bool> script_done{false};
    if (script) {
        clock::spawn("scenario", [&session, &script, &left, &script_done, &expects, serving, &opt] {
            bool ends_itself = !serving && !opt.seconds;
            // Waits for a line's time; golden files due before it are written
            // on the way.
            auto wait_until = [&](int64_t at) {
                for (;;) {
                    int64_t due = expects ? expects->next_golden_due(at) : at;
                    if (!session.wait_until_box_time(due))
                        return false;
                    // Before the line's action: the window ends as it starts.
                    if (expects)
                        expects->write_due_goldens(due);
                    if (due >= at)
                        return true;
                }
            };
            for (const auto &step : script->steps) {
                if (!wait_until(step.at_ms))
                    break;
                left--;
                if (step.expect >= 0) {
                    expects->open(static_cast<size_t>(step.expect));
                    continue;
                }
                try {
                    run_action(session.box(), step.action, "script");
                } catch (const std::exception &e) {
                    say("boxsim: %s:%d: %s: %s\n", script->file.c_str(), step.line, step.action.text.c_str(),
                        e.what());
                    session.note_failure();
                }
            }
            // A run that ends with its script also waits for its open
            // expectations: until each has held or timed out.
            if (expects && left == 0) {
                expects->script_done([&session, ends_itself] {
                    if (ends_itself)
                        session.request_end(EndReason::ScriptDone);
                });
                if (ends_itself)
                    wait_until(expects->last_deadline());
            }
            script_done = true;
            session.box().changed();
            if (ends_itself)
                session.request_end(EndReason::ScriptDone);
        }).detach();
    } else {
        script_done = true;
    }

    std::optional<int64_t> deadline;
    if (opt.seconds)
        deadline = session.box().time_of_ms(static_cast<int64_t>(*opt.seconds * 1000));
    EndReason why = session.wait_end(deadline);
    if (why == EndReason::Seconds) {
        // Every line of the script is due by the end (checked before the
        // run); one that is late behind a slow action still runs.
        if (!session.box().wait_for([&] { return script_done.load(); }, std::chrono::seconds(60), "scenario end"))
            say("boxsim: the script has not caught up 60 s after the end of the run\n");
        session.request_end(EndReason::Seconds);
    }
    if (left > 0) {
        say("boxsim: the run ended before %zu line(s) of %s ran\n", left.load(), script->file.c_str());
        if (why == EndReason::Seconds)
            session.note_failure();
    }

    if (expects) {
        int64_t end_ms = session.box().now_ms();
        expects->finish(end_ms);
        // Each verdict on the timeline, where it fell.
        auto results = expects->results();
        for (size_t i = 0; i < results.size() && session.timeline(); ++i) {
            const Expectation &e = expects->expectations()[i];
            const auto &r = results[i];
            using O = ExpectRun::Result::Outcome;
            TimelineBuilder::Verdict v{e.name, e.condition, e.line, e.at_ms, e.deadline(),
                                       r.outcome == O::Held      ? "held"
                                       : r.outcome == O::Written ? "written"
                                                                 : "failed",
                                       r.outcome == O::Held ? r.held_t : std::min(e.deadline(), end_ms), r.why};
            session.timeline()->add_expectation(v);
        }
    }
    if (serving)
        web.close();
    session.finish();
    if (serving)
        web.drain(1000);

    int status = 0;
    if (expects) {
        double wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
        if (session.has_outputs() &&
            !expects->write_reports(session.out_dir(), script->file, session.box().now_ms(), wall_s, err)) {
            say("boxsim: %s\n", err.c_str());
            session.note_failure();
        }
        for (const auto &w : expects->written())
            say("boxsim: %s\n", w.c_str());
        for (const auto &f : expects->failure_lines())
            say("boxsim: %s\n", f.c_str());
        say("boxsim: %zu of %zu expectations held\n", expects->held(), expects->expectations().size());
        if (expects->failed())
            status = 3;
    }
    if (why == EndReason::Signal && (opt.seconds || script))
        status = 130;
    if (session.failures())
        status = 1;
    if (session.has_outputs())
        say("boxsim: run ended after %lld ms; outputs in %s\n", static_cast<long long>(session.box().now_ms()),
            session.out_dir().c_str());
    if (virtual_time)
        say("boxsim: virtual clock, seed %llu\n", static_cast<unsigned long long>(opt.seed));
    fflush(stdout);
    fflush(stderr);
    // The system's tasks are never joined: the process ends with them.
    _exit(status);
}
