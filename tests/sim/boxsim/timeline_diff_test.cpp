// Where two runs part (boxsim diff) and the run as a timeline in the
// trace-event format: tables of small traces, then the program on real runs.
#include "boxsim/diff.h"
#include "boxsim/timeline.h"
#include "sim_test.h"

#ifdef BOXSIM_BINARY
#include "boxsim_process.h"
#endif

#include <filesystem>
#include <fstream>

namespace timeline_diff_test {

using boxsim::json;
using namespace std::chrono_literals;

std::vector<json> trace_of(const std::vector<std::string> &lines)
{
    std::vector<json> out;
    for (const auto &l : lines)
        out.push_back(json::parse(l));
    return out;
}

const std::vector<std::string> kBase = {
    R"({"t":0,"op":"open","path":"/dev/fb0","result":3,"thread":"main"})",
    R"({"t":5,"op":"ioctl","name":"FBIO_BLIT","path":"/dev/fb0","result":0,"thread":"task_gui"})",
    R"({"t":9,"op":"action","text":"cable plug 100","thread":"scenario"})",
    R"({"t":12,"op":"write","path":"/dev/mcu","len":4,"thread":"task_gui"})",
    R"({"t":20,"op":"poll","path":"/dev/event0","result":-1,"thread":"task_event"})",
};

struct DiffCase {
    const char *what;
    std::vector<std::string> b;  // the second run (the first is kBase)
    bool ignore_time;
    bool same;
    size_t first;                                                // where they part
    std::map<std::string, std::pair<size_t, size_t>> by_kind;    // only the counts that differ
    std::map<std::string, std::pair<size_t, size_t>> by_thread;
};

TEST(TraceDiff, FirstEventThatDiffersAndTheCountsByKindAndThread)
{
    auto with = [](std::vector<std::string> v, size_t i, std::string line) {
        if (i < v.size())
            v[i] = std::move(line);
        else
            v.push_back(std::move(line));
        return v;
    };
    std::vector<std::string> shorter(kBase.begin(), kBase.end() - 1);
    const std::vector<DiffCase> cases = {
        {"the same run", kBase, false, true, 5, {}, {}},
        {"one event later in time", with(kBase, 3, R"({"t":13,"op":"write","path":"/dev/mcu","len":4,"thread":"task_gui"})"),
         false, false, 3, {}, {}},
        {"later in time, order only compared",
         with(kBase, 3, R"({"t":13,"op":"write","path":"/dev/mcu","len":4,"thread":"task_gui"})"), true, true, 5, {}, {}},
        {"another thread did it", with(kBase, 1, R"({"t":5,"op":"ioctl","name":"FBIO_BLIT","path":"/dev/fb0","result":0,"thread":"task_screen"})"),
         true, false, 1, {}, {{"task_gui", {2, 1}}, {"task_screen", {0, 1}}}},
        {"another kind of event", with(kBase, 2, R"({"t":9,"op":"fault","call":"open","path":"/dev/lcd0","error":"EIO","thread":"scenario"})"),
         false, false, 2, {{"action cable", {1, 0}}, {"fault open", {0, 1}}}, {}},
        {"B goes on after A ends", with(kBase, 5, R"({"t":30,"op":"close","path":"/dev/fb0"})"), false, false, 5,
         {{"close", {0, 1}}}, {{"(no thread)", {0, 1}}}},
        {"B ends first", shorter, true, false, 4, {{"poll", {1, 0}}}, {{"task_event", {1, 0}}}},
    };
    const auto a = trace_of(kBase);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        boxsim::DiffOptions opt;
        opt.ignore_time = c.ignore_time;
        auto b = trace_of(c.b);
        auto d = boxsim::diff_traces(a, b, opt);
        EXPECT_EQ(d.same, c.same);
        EXPECT_EQ(d.first, c.first);
        EXPECT_EQ(d.by_kind, c.by_kind);
        EXPECT_EQ(d.by_thread, c.by_thread);

        std::string report = boxsim::diff_report({"A.jsonl", a}, {"B.jsonl", b}, d, opt);
        if (c.same) {
            EXPECT_NE(report.find("the runs are the same: 5 events"), std::string::npos) << report;
            continue;
        }
        EXPECT_NE(report.find("the runs part at event " + std::to_string(c.first + 1)), std::string::npos) << report;
        // The differing event marked on both sides, with the events before it
        // shown once as context.
        EXPECT_EQ(std::count(report.begin(), report.end(), '>'), 2) << report;
        if (c.first > 0) {
            EXPECT_NE(report.find("  both:\n"), std::string::npos) << report;
        }
        if (c.by_kind.empty()) {
            EXPECT_NE(report.find("kind: the same counts"), std::string::npos) << report;
        }
        for (const auto &[thread, n] : c.by_thread)
            EXPECT_NE(report.find(thread), std::string::npos) << report;
    }
}

// One trace event into the timeline: what lands on which track.
struct TimelineCase {
    const char *what;
    std::string event;
    boxsim::TimelinePlace where;
    // Per object that is not a track's name: phase, process (1 threads,
    // 2 devices), name, start and length in microseconds (-1: no length).
    struct Obj {
        std::string ph;
        int pid;
        std::string name;
        int64_t ts, dur;
    };
    std::vector<Obj> objs;
};

TEST(Timeline, CallsAreSlicesOnTheirThreadAndDeviceAndTheRestInstants)
{
    const std::vector<TimelineCase> cases = {
        {"a poll that waited 1.5 s of box time",
         R"({"t":2000,"op":"poll","path":"/dev/event0","result":-1,"errno":"EIO"})",
         {4, "task_event", 2000250, 500100},
         {{"X", 1, "poll /dev/event0", 500100, 1500150}, {"X", 2, "poll /dev/event0", 500100, 1500150}}},
        {"a presented frame", R"({"t":3,"op":"ioctl","name":"FBIO_BLIT","path":"/dev/fb0","result":0,"hash":"ab"})",
         {2, "task_gui", 3001, 3000},
         {{"X", 1, "ioctl FBIO_BLIT", 3000, 1}, {"X", 2, "ioctl FBIO_BLIT", 3000, 1}, {"i", 2, "frame (TV)", 3001, -1}}},
        {"an action of the script", R"({"t":7,"op":"action","text":"cable unplug"})", {1, "scenario", 7000, 6000},
         {{"i", 1, "cable unplug", 7000, -1}}},
        {"a fault that fired", R"({"t":8,"op":"fault","call":"write","path":"/dev/lcd0","error":"EIO"})",
         {3, "task_gui", 8000, 7990},
         {{"i", 1, "fault write /dev/lcd0 EIO", 8000, -1}, {"i", 2, "fault write /dev/lcd0 EIO", 8000, -1}}},
        {"a trace line alone: milliseconds, no call start", R"({"t":9,"op":"write","path":"/dev/mcu","thread":"task_gui"})",
         boxsim::TimelineBuilder::place_of(json::parse(R"({"t":9,"thread":"task_gui"})")),
         {{"i", 1, "write /dev/mcu", 9000, -1}, {"i", 2, "write /dev/mcu", 9000, -1}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        boxsim::TimelineBuilder b;
        std::vector<json> out;
        b.add(json::parse(c.event), c.where, out);
        std::vector<json> objs;
        std::map<std::pair<int, int>, std::string> tracks;
        for (const auto &o : out) {
            if (o["ph"] == "M") {
                if (o["name"] == "thread_name")
                    tracks[{o["pid"].get<int>(), o["tid"].get<int>()}] = o["args"]["name"];
                continue;
            }
            objs.push_back(o);
        }
        ASSERT_EQ(objs.size(), c.objs.size()) << json(out).dump(1);
        for (size_t i = 0; i < objs.size(); ++i) {
            const auto &o = objs[i];
            const auto &want = c.objs[i];
            EXPECT_EQ(o["ph"], want.ph) << o.dump();
            EXPECT_EQ(o["pid"], want.pid) << o.dump();
            EXPECT_EQ(o["name"], want.name) << o.dump();
            EXPECT_EQ(o["ts"], want.ts) << o.dump();
            if (want.dur >= 0) {
                EXPECT_EQ(o["dur"], want.dur) << o.dump();
            } else {
                EXPECT_FALSE(o.contains("dur")) << o.dump();
            }
            // Every object sits on a named track: its thread's, or its device's.
            auto track = tracks.find({o["pid"].get<int>(), o["tid"].get<int>()});
            ASSERT_NE(track, tracks.end()) << o.dump();
            if (want.pid == 1) {
                EXPECT_TRUE(track->second.starts_with(c.where.thread)) << track->second;
            } else {
                EXPECT_EQ(track->second, o["args"].value("path", std::string("/dev/fb0"))) << o.dump();
            }
        }
        // A second event of the same thread and device names no track again.
        std::vector<json> again;
        b.add(json::parse(c.event), c.where, again);
        EXPECT_TRUE(std::none_of(again.begin(), again.end(), [](const json &o) { return o["ph"] == "M"; }));
    }

    // An expectation: its window on the expectations' track and a marker
    // across the timeline where it failed.
    boxsim::TimelineBuilder b;
    std::vector<json> out;
    b.add_expectation({"ip", "state status.ip == 10.1.2.3 within 3s", 7, 3000, 6000, "failed", 6000, "seen 0.0.0.0"}, out);
    auto slice = std::find_if(out.begin(), out.end(), [](const json &o) { return o["ph"] == "X"; });
    ASSERT_NE(slice, out.end());
    EXPECT_EQ((*slice)["ts"], 3000000);
    EXPECT_EQ((*slice)["dur"], 3000000);
    auto mark = std::find_if(out.begin(), out.end(), [](const json &o) { return o["ph"] == "i"; });
    ASSERT_NE(mark, out.end());
    EXPECT_EQ((*mark)["s"], "g");
    EXPECT_EQ((*mark)["name"], "failed: ip");
    EXPECT_EQ((*mark)["ts"], 6000000);
}

#ifdef BOXSIM_BINARY
struct Ran {
    std::optional<int> status;
    std::string out, err;
};
Ran run_boxsim(const std::vector<std::string> &args, const boxtest::TempDir &dir)
{
    tooltest::BoxsimProcess p(args, dir.path());
    EXPECT_TRUE(p.started());
    Ran r;
    r.status = p.wait(60s);
    r.out = p.out();
    r.err = p.err();
    return r;
}

// Real runs: the timeline a run writes opens as the format says (a JSON
// array of trace events with named tracks, the system's tasks among them,
// calls that waited as long slices, the expectation's marker); diff tells two
// seeds apart and a seed from itself, and refuses what holds no trace.
TEST(TimelineAndDiff, RunsOfTheProgram)
{
    boxtest::TempDir dir;
    std::string script = dir.file("s.box");
    std::ofstream(script) << "front-end console\n0 key 1\n2s expect held: state front_end.running == true\n"
                             "2s expect never: stdout \"no such line\"\n";
    auto run = [&](const std::string &seed, const std::string &out) {
        return run_boxsim({"--script", script, "--seconds", "4", "--seed", seed, "--out", dir.file(out)}, dir);
    };
    Ran a = run("7", "a"), b = run("7", "b"), c = run("8", "c");
    EXPECT_EQ(a.status, 3) << a.err;  // the expectation that cannot hold

    json t = json::parse(tooltest::read_file(dir.file("a/timeline.json")), nullptr, false);
    ASSERT_TRUE(t.is_array()) << "timeline.json is no JSON array";
    std::set<std::string> threads;
    bool long_call = false, failed_mark = false, device_frame = false;
    for (const auto &o : t) {
        if (o["ph"] == "M" && o["name"] == "thread_name" && o["pid"] == 1)
            threads.insert(o["args"]["name"].get<std::string>().substr(0, o["args"]["name"].get<std::string>().find(" #")));
        if (o["ph"] == "X" && o["pid"] == 1 && o["dur"].get<int64_t>() >= 10000)
            long_call = true;
        if (o["ph"] == "i" && o.value("s", "") == "g" && o["name"] == "failed: never")
            failed_mark = true;
        if (o["ph"] == "i" && o["name"] == "frame (TV)" && o["pid"] == 2)
            device_frame = true;
    }
    for (const char *task : {"task_port", "task_event", "task_screen", "task_tuner", "scenario"})
        EXPECT_TRUE(threads.count(task)) << task << " has no track";
    EXPECT_TRUE(long_call) << "no call that waited 10 ms or more";
    EXPECT_TRUE(failed_mark);
    EXPECT_TRUE(device_frame);

    Ran same = run_boxsim({"diff", dir.file("a"), dir.file("b")}, dir);
    EXPECT_EQ(same.status, 0) << same.out << same.err;
    EXPECT_NE(same.out.find("the runs are the same"), std::string::npos) << same.out;
    Ran other = run_boxsim({"diff", dir.file("a"), dir.file("c/trace.jsonl"), "--ignore-time"}, dir);
    EXPECT_EQ(other.status, 1) << other.out << other.err;
    EXPECT_NE(other.out.find("the runs part at event"), std::string::npos) << other.out;
    EXPECT_NE(other.out.find("thread"), std::string::npos) << other.out;

    std::filesystem::create_directories(dir.file("empty"));
    for (const auto &args : std::vector<std::vector<std::string>>{{"diff", dir.file("a"), dir.file("empty")},
                                                                 {"diff", dir.file("a")},
                                                                 {"diff", dir.file("a"), dir.file("nothing-here")}}) {
        Ran bad = run_boxsim(args, dir);
        EXPECT_EQ(bad.status, 2) << bad.out << bad.err;
        EXPECT_EQ(std::count(bad.err.begin(), bad.err.end(), '\n'), 1) << bad.err;
        EXPECT_EQ(bad.err.rfind("boxsim diff: ", 0), 0u) << bad.err;
    }
}
#endif

} // namespace timeline_diff_test
