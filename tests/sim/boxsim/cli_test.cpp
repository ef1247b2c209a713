// The boxsim program as a user runs it: command line, refusals before any
// output exists, and the files a run leaves.
#ifdef BOXSIM_BINARY

#include "boxsim_process.h"

#include <arpa/inet.h>
#include <filesystem>
#include <map>
#include <netinet/in.h>
#include <sys/socket.h>

using namespace std::chrono_literals;
using tooltest::BoxsimProcess;
using tooltest::read_file;
namespace fs = std::filesystem;

namespace {

struct Outcome {
    std::optional<int> status;
    std::string out, err;
};

Outcome run(const std::vector<std::string> &args, const boxtest::TempDir &dir, std::chrono::milliseconds timeout = 30s)
{
    BoxsimProcess p(args, dir.path());
    EXPECT_TRUE(p.started());
    Outcome o;
    o.status = p.wait(timeout);
    o.out = p.out();
    o.err = p.err();
    return o;
}

std::string write(const boxtest::TempDir &dir, const std::string &name, const std::string &text)
{
    std::string path = dir.file(name);
    std::ofstream(path) << text;
    return path;
}

// Width and height from a PNG file's header; {0, 0} if it is no PNG.
std::pair<int, int> png_size(const std::string &path)
{
    std::string d = read_file(path);
    if (d.size() < 24 || d.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 || d.compare(12, 4, "IHDR") != 0)
        return {0, 0};
    auto be32 = [&](size_t at) {
        return (static_cast<unsigned char>(d[at]) << 24) | (static_cast<unsigned char>(d[at + 1]) << 16) |
               (static_cast<unsigned char>(d[at + 2]) << 8) | static_cast<unsigned char>(d[at + 3]);
    };
    return {static_cast<int>(be32(16)), static_cast<int>(be32(20))};
}

boxsim::json read_json(const std::string &path)
{
    return boxsim::json::parse(read_file(path), nullptr, false);
}

std::vector<std::string> leftovers(const std::string &dir)
{
    std::vector<std::string> parts;
    for (const auto &e : fs::directory_iterator(dir))
        if (e.path().extension() == ".part")
            parts.push_back(e.path().filename());
    return parts;
}

// One line on standard error, starting with "boxsim: ", containing `what`.
void expect_one_message(const Outcome &o, const std::string &what)
{
    EXPECT_EQ(o.status, 2) << o.err;
    EXPECT_EQ(o.err.rfind("boxsim: ", 0), 0u) << o.err;
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
    EXPECT_NE(o.err.find(what), std::string::npos) << "wanted '" << what << "' in: " << o.err;
}

} // namespace

TEST(Cli, ABadScriptLineIsReportedWithFileAndLineBeforeAnythingIsWritten)
{
    boxtest::TempDir dir;
    std::string script = write(dir, "s.txt", "# plug and look\n0 snapshot a\n\n2s frobnicate now\n");
    std::string out = dir.file("out");
    Outcome o = run({"--script", script, "--out", out, "--seconds", "5"}, dir);
    expect_one_message(o, script + ":4: unknown action 'frobnicate'");
    EXPECT_FALSE(fs::exists(out));
}

TEST(Cli, AnUnknownOrBrokenProfileIsRefusedBeforeAnythingIsWritten)
{
    boxtest::TempDir dir;
    std::string out = dir.file("out");
    Outcome o = run({"--box", "nosuchbox", "--seconds", "1", "--out", out}, dir);
    expect_one_message(o, "unknown box profile 'nosuchbox'");
    EXPECT_FALSE(fs::exists(out));

    std::string broken = write(dir, "broken.json", "{ \"model\": ");
    o = run({"--box", broken, "--seconds", "1", "--out", out}, dir);
    expect_one_message(o, broken + " is not a JSON object");
    EXPECT_FALSE(fs::exists(out));
}

TEST(Cli, APortInUseIsRefusedAndTheOtherServerKeepsIt)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    int yes = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    // A server that, like many, also allows the port to be shared.
    setsockopt(s, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof yes);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(s, 4), 0);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    int port = ntohs(a.sin_port);

    boxtest::TempDir dir;
    std::string out = dir.file("out");
    Outcome o = run({"--serve", "127.0.0.1:" + std::to_string(port), "--out", out}, dir);
    expect_one_message(o, "cannot serve on 127.0.0.1:" + std::to_string(port) + ": port in use");
    EXPECT_FALSE(fs::exists(out));
    close(s);
}

TEST(Cli, BadOptionsGetOneClearMessage)
{
    boxtest::TempDir dir;
    std::string snaps = write(dir, "snaps.txt", "1s snapshot a\n");
    std::string late = write(dir, "late.txt", "0 snapshot a\n\n9s quit\n");
    struct Case {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"--seconds", "0"}, "--seconds takes a number of seconds above 0"},
        {{"--seconds", "abc"}, "not 'abc'"},
        {{"--seconds"}, "--seconds needs a value"},
        {{"--serve", "192.168.1.5:8080"}, "--serve takes a loopback address"},
        {{"--serve", "99999"}, "port from 0 to 65535"},
        {{"--front-end", "television"}, "unknown front end 'television' (known: rescue, console)"},
        {{"--frobnicate"}, "unknown option '--frobnicate'"},
        {{"--script", snaps}, "no --out DIR"},
        {{"--script", late, "--out", dir.file("o"), "--seconds=5"}, late + ":3: comes after the end of the run (--seconds 5)"},
        {{"--script", dir.file("missing.txt")}, "cannot read script"},
        {{"--clock", "wall"}, "--clock takes virtual or real, not 'wall'"},
        {{"--seed", "-3"}, "--seed takes a whole number from 0 to 18446744073709551615, not '-3'"},
        {{"--seed", "18446744073709551616"}, "not '18446744073709551616'"},
        {{"--seed", "12abc"}, "not '12abc'"},
        {{"--clock", "virtual", "--serve", "0"}, "--clock virtual cannot serve the front panel"},
        {{"--speed", "0", "--serve", "0"}, "--speed takes a whole number from 1 to 50, not '0'"},
        {{"--speed", "51", "--serve", "0"}, "not '51'"},
        {{"--speed", "2x", "--serve", "0"}, "not '2x'"},
        {{"--speed", "4", "--seconds", "1"}, "--speed is the real clock's"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        expect_one_message(run(c.args, dir), c.says);
    }
    EXPECT_FALSE(fs::exists(dir.file("o")));

    Outcome help = run({"--help"}, dir);
    EXPECT_EQ(help.status, 0);
    for (const char *word : {"--box NAME|FILE", "--serve [ADDR:]PORT", "snapshot NAME", "quit", "rescue", "default"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
}

TEST(Outputs, AShortRunWritesTraceLogsSnapshotsAndFinalState)
{
    boxtest::TempDir dir;
    std::string script = write(dir, "s.txt", "0 snapshot start\n500ms snapshot half  # half a second in\n");
    std::string out = dir.file("out");
    Outcome o = run({"--script", script, "--out", out, "--seconds", "1.5"}, dir);
    ASSERT_EQ(o.status, 0) << o.err;

    for (const char *f : {"trace.jsonl", "stdout.log", "stderr.log"})
        EXPECT_TRUE(fs::is_regular_file(out + "/" + f)) << f;
    EXPECT_EQ(leftovers(out), std::vector<std::string>{});

    for (const char *snap : {"start", "half", "final"}) {
        SCOPED_TRACE(snap);
        std::string base = out + "/" + snap;
        EXPECT_EQ(png_size(base + "-tv.png"), std::make_pair(1280, 720));
        EXPECT_EQ(png_size(base + "-lcd.png"), std::make_pair(400, 240));  // the default box's LCD
        auto st = read_json(base + "-state.json");
        ASSERT_TRUE(st.is_object());
        EXPECT_EQ(st["snapshot"], snap);
        EXPECT_EQ(st["box"]["profile"], "default");
        EXPECT_EQ(st["front_end"]["name"], "rescue");
        for (const char *field : {"eth_link", "eth_speed", "dhcp_done", "ip", "usb", "sata", "hdmi", "mac_text",
                                  "mac_entry", "model_kind", "quit", "channel_text"})
            EXPECT_TRUE(st["status"].contains(field)) << field;
        EXPECT_TRUE(st["status"]["ip"].is_string());
        EXPECT_TRUE(st.contains("devices"));
        EXPECT_TRUE(st.contains("leds") || st["devices"].contains("leds"));
        EXPECT_TRUE(st["pictures"]["tv"].contains("shown"));
    }
    // Snapshots are taken at their times on the box's clock, never early;
    // one held up by a slow action before it still runs before the end.
    auto half = read_json(out + "/half-state.json");
    auto fin = read_json(out + "/final-state.json");
    EXPECT_GE(half["t"].get<int64_t>(), 500);
    EXPECT_GE(fin["t"].get<int64_t>(), 1500);
    EXPECT_LE(half["t"].get<int64_t>(), fin["t"].get<int64_t>());
    EXPECT_EQ(fin["status"]["model_kind"], 3);  // the default box is an rcplus

    // Every trace line is a JSON object with a time and an operation; the
    // script's actions are in it in order.
    std::ifstream trace(out + "/trace.jsonl");
    std::string line;
    std::vector<std::string> acts;
    int64_t last_t = 0;
    size_t lines = 0;
    while (std::getline(trace, line)) {
        ++lines;
        auto ev = boxsim::json::parse(line, nullptr, false);
        ASSERT_TRUE(ev.is_object()) << line;
        ASSERT_TRUE(ev["t"].is_number_integer()) << line;
        ASSERT_TRUE(ev["op"].is_string()) << line;
        EXPECT_GE(ev["t"].get<int64_t>(), last_t) << line;
        last_t = ev["t"].get<int64_t>();
        if (ev["op"] == "action")
            acts.push_back(ev["text"].get<std::string>() + "@" + ev["from"].get<std::string>());
    }
    EXPECT_GT(lines, 2u);
    EXPECT_EQ(acts, (std::vector<std::string>{"snapshot start@script", "snapshot half@script"}));
}

TEST(Outputs, QuitEndsTheFrontEndAndTheRunWithoutSeconds)
{
    boxtest::TempDir dir;
    std::string script = write(dir, "s.txt", "300ms quit\n");
    std::string out = dir.file("out");
    Outcome o = run({"--script", script, "--out", out}, dir);
    ASSERT_EQ(o.status, 0) << o.err;
    auto fin = read_json(out + "/final-state.json");
    EXPECT_EQ(fin["front_end"]["running"], false);
    EXPECT_EQ(fin["front_end"]["exit_status"], 0);
    EXPECT_EQ(fin["status"]["quit"], 1);

    // The front end ended because of the quit, not before it.
    int64_t quit_t = -1, ended_t = -1;
    std::ifstream trace(out + "/trace.jsonl");
    for (std::string line; std::getline(trace, line);) {
        auto ev = boxsim::json::parse(line, nullptr, false);
        if (ev["op"] == "action" && ev["text"] == "quit")
            quit_t = ev["t"];
        if (ev["op"] == "front_end_ended")
            ended_t = ev["t"];
    }
    EXPECT_GE(quit_t, 300);
    EXPECT_GE(ended_t, quit_t);
}

TEST(Outputs, AScriptWithoutQuitOrSecondsEndsAfterItsLastAction)
{
    boxtest::TempDir dir;
    std::string script = write(dir, "s.txt", "200ms snapshot only\n");
    std::string out = dir.file("out");
    auto started = std::chrono::steady_clock::now();
    Outcome o = run({"--script", script, "--out", out}, dir);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_TRUE(fs::exists(out + "/only-state.json"));
    EXPECT_TRUE(fs::exists(out + "/final-state.json"));
    // It did not wait for anything else (the default run serves for ever).
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
}

namespace {

// Every file of a run's output folder, by name.
std::map<std::string, std::string> outputs_of(const std::string &dir)
{
    std::map<std::string, std::string> files;
    for (const auto &e : fs::directory_iterator(dir))
        if (e.is_regular_file())
            files[e.path().filename()] = read_file(e.path());
    return files;
}

// What happened in a trace, in order, without the times.
std::vector<std::string> events_of(const std::string &trace)
{
    std::vector<std::string> events;
    std::istringstream in(trace);
    std::string line;
    while (std::getline(in, line)) {
        auto ev = boxsim::json::parse(line, nullptr, false);
        if (ev.is_object()) {
            ev.erase("t");
            events.push_back(ev.dump());
        }
    }
    return events;
}

} // namespace

TEST(Clock, TheSameSeedGivesTheSameRunAndAnotherSeedAnotherInterleaving)
{
    // The console with several tasks busy at once: keys, a MAC typed twice,
    // a card in and out, file playback, the second decoder, the cable.
    boxtest::TempDir dir;
    std::string script = write(dir, "busy.txt",
                               "front-end console\n"
                               "300ms key 1\n"
                               "800ms type --ms 40 02:47:58:1A:2B:3C\n"
                               "1s    card 0 insert\n"
                               "1500ms key 8\n"
                               "2s    type --ms 40 02:47:58:1A:2B:3C\n"
                               "2500ms card 0 remove\n"
                               "3s    key 8\n"
                               "3500ms key 9\n"
                               "4s    cable unplug\n"
                               "4500ms cable plug 100\n"
                               "5s    snapshot busy\n");
    // The three runs at once, each with its own folder: a run on the
    // virtual clock spends much of its time handing the turn between its
    // threads, which another run's work fills.
    const std::pair<std::string, std::string> runs[] = {{"7", "a"}, {"7", "b"}, {"8", "c"}};
    std::vector<std::unique_ptr<BoxsimProcess>> procs;
    for (const auto &[seed, name] : runs) {
        fs::create_directories(dir.file(name + "-logs"));
        procs.push_back(std::make_unique<BoxsimProcess>(
            std::vector<std::string>{"--script", script, "--out", dir.file(name), "--seconds", "6", "--seed", seed},
            dir.file(name + "-logs")));
    }
    std::map<std::string, std::map<std::string, std::string>> outputs;
    for (size_t i = 0; i < procs.size(); ++i) {
        const auto &[seed, name] = runs[i];
        EXPECT_EQ(procs[i]->wait(30s), 0) << procs[i]->err();
        EXPECT_NE(procs[i]->err().find("virtual clock, seed " + seed), std::string::npos) << procs[i]->err();
        outputs[name] = outputs_of(dir.file(name));
    }
    auto &a = outputs["a"], &b = outputs["b"], &c = outputs["c"];

    // Byte for byte: the trace with its times, both logs, every picture and
    // every state file.
    for (const char *f : {"trace.jsonl", "stdout.log", "stderr.log", "busy-tv.png", "busy-lcd.png", "busy-state.json",
                          "final-state.json"})
        EXPECT_TRUE(a.count(f)) << f;
    EXPECT_EQ(a.size(), b.size());
    for (const auto &[name, bytes] : a) {
        ASSERT_TRUE(b.count(name)) << name;
        EXPECT_TRUE(bytes == b[name]) << name << " differs between two runs of seed 7";
    }
    auto st = read_json(dir.file("a") + "/final-state.json");
    EXPECT_EQ(st["clock"]["kind"], "virtual") << st["clock"].dump();
    EXPECT_EQ(st["clock"]["seed"], 7) << st["clock"].dump();

    // Seed 8 ran the same tasks in another order, not only at other times.
    ASSERT_TRUE(c.count("trace.jsonl"));
    EXPECT_NE(events_of(a["trace.jsonl"]), events_of(c["trace.jsonl"]));
    // Both did the work: the address reached the flash under either seed.
    EXPECT_EQ(read_json(dir.file("c") + "/final-state.json")["status"]["mac_text"], "02:47:58:1A:2B:3C");
    EXPECT_EQ(st["status"]["mac_text"], "02:47:58:1A:2B:3C");
}

TEST(Outputs, AnInterruptedRunStillWritesItsOutputs)
{
    boxtest::TempDir dir;
    std::string out = dir.file("out");
    BoxsimProcess p({"--seconds", "60", "--out", out}, dir.path());
    ASSERT_TRUE(boxtest::eventually([&] { return fs::exists(out + "/trace.jsonl.part"); }, 20s));
    p.signal(SIGINT);
    EXPECT_EQ(p.wait(30s), 130) << p.err();
    EXPECT_TRUE(fs::exists(out + "/final-state.json"));
    EXPECT_TRUE(fs::exists(out + "/trace.jsonl"));
    EXPECT_EQ(leftovers(out), std::vector<std::string>{});
}

#endif
