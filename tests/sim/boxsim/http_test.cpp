// The web front panel's HTTP API, on a loopback port of a running boxsim.
#ifdef BOXSIM_BINARY

#include "boxsim_process.h"
#include "boxsim/script.h"

#include <httplib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

using namespace std::chrono_literals;
using boxsim::json;
using tooltest::BoxsimProcess;
namespace fs = std::filesystem;

// The fixture and helpers in a namespace named after the file, not an
// anonymous one: the folder's files compile as one unit, where a test
// derived from a fixture of an anonymous namespace is refused.
namespace http_test {

// A page's event stream, read on a thread of its own until stopped; what it
// brought so far is there to look at.
class EventStream {
public:
    explicit EventStream(int port)
        : reader_([this, port] {
              httplib::Client c("127.0.0.1", port);
              c.set_read_timeout(20, 0);
              c.Get("/api/events", [this](const char *data, size_t len) {
                  std::lock_guard<std::mutex> g(m_);
                  received_.append(data, len);
                  return !stop_.load();
              });
          })
    {
    }
    // A test that stopped early: the stream's next keep-alive ends the reader.
    ~EventStream()
    {
        stop_ = true;
        if (reader_.joinable())
            reader_.join();
    }
    std::string text()
    {
        std::lock_guard<std::mutex> g(m_);
        return received_;
    }
    bool seen(const std::string &what)
    {
        return boxtest::eventually([&] { return text().find(what) != std::string::npos; }, 10s);
    }
    // The reader sees it is to stop with the next event; `wake` makes one.
    template <class Wake> void stop(Wake wake)
    {
        stop_ = true;
        wake();
        reader_.join();
    }

private:
    std::mutex m_;
    std::string received_;
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

// The served box runs at this many times the host's pace: what these tests
// wait for (front ends ending, a DHCP exchange, the console's draws) is the
// box's own seconds, and none of what they check depends on its pace.
constexpr int kSpeed = 4;

class Web : public ::testing::Test {
protected:
    void SetUp() override
    {
        out_ = dir_.file("out");
        std::vector<std::string> args{"--serve", "127.0.0.1:0", "--out", out_, "--speed", std::to_string(kSpeed)};
        args.insert(args.end(), extra_args().begin(), extra_args().end());
        proc_ = std::make_unique<BoxsimProcess>(args, dir_.path());
        auto port = proc_->served_port(20s);
        ASSERT_TRUE(port) << proc_->err();
        port_ = *port;
        client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
        client_->set_read_timeout(10, 0);
    }

    json get_json(const std::string &path, int want = 200)
    {
        auto r = client_->Get(path.c_str());
        EXPECT_TRUE(r) << path;
        if (!r)
            return nullptr;
        EXPECT_EQ(r->status, want) << path << ": " << r->body;
        return json::parse(r->body, nullptr, false);
    }

    httplib::Result act(const std::string &line) { return client_->Post("/api/action", line, "text/plain"); }
    // A restart waits for the old front end and its tasks to end (up to 35 s).
    httplib::Result restart(const std::string &name)
    {
        httplib::Client slow("127.0.0.1", port_);
        slow.set_read_timeout(40, 0);
        return slow.Post("/api/restart", name, "text/plain");
    }

    // Ends the run and reads its trace, one JSON object a line.
    std::vector<json> quit_and_read_trace()
    {
        act("quit");
        EXPECT_EQ(proc_->wait(20s), 0) << proc_->err();
        std::vector<json> lines;
        std::ifstream in(out_ + "/trace.jsonl");
        for (std::string l; std::getline(in, l);)
            lines.push_back(json::parse(l, nullptr, false));
        return lines;
    }

    virtual const std::vector<std::string> &extra_args() const
    {
        static const std::vector<std::string> none;
        return none;
    }

    boxtest::TempDir dir_;
    std::string out_;
    std::unique_ptr<BoxsimProcess> proc_;
    std::unique_ptr<httplib::Client> client_;
    int port_ = 0;
};

TEST_F(Web, ServesThePageStateActionsAndPictures)
{
    // The page is served byte for byte as its files stand, each with its type.
    const struct {
        const char *path, *file, *type;
    } files[] = {{"/", "index.html", "text/html"},
                 {"/panel.css", "panel.css", "text/css"},
                 {"/panel.js", "panel.js", "text/javascript"}};
    for (const auto &f : files) {
        auto r = client_->Get(f.path);
        ASSERT_TRUE(r) << f.path;
        EXPECT_EQ(r->status, 200) << f.path;
        EXPECT_EQ(r->get_header_value("Content-Type").rfind(f.type, 0), 0u) << f.path;
        std::ifstream in(std::string(BOXSIM_WEB_DIR) + "/" + f.file, std::ios::binary);
        std::string want((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_FALSE(want.empty()) << f.file;
        EXPECT_TRUE(r->body == want) << f.path << " differs from " << f.file;
    }
    EXPECT_EQ(client_->Get("/app.js")->status, 404);

    json list = get_json("/api/actions");
    ASSERT_TRUE(list.is_array());
    std::map<std::string, std::string> usage;
    for (const auto &a : list)
        usage[a["name"]] = a["usage"];
    EXPECT_EQ(usage["snapshot"], "snapshot NAME");
    EXPECT_EQ(usage["quit"], "quit");

    // The box's clock runs kSpeed times the host's: between two looks at
    // the state, at least kSpeed times the host's time between them passed
    // on the box, and at most kSpeed times the host's time around them.
    auto host_before = std::chrono::steady_clock::now();
    json st = get_json("/api/state");
    std::this_thread::sleep_for(200ms);
    json later = get_json("/api/state");
    auto host_ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - host_before);
    EXPECT_EQ(st["clock"], json({{"kind", "real"}, {"speed", kSpeed}}));
    int64_t box_ms = later["t"].get<int64_t>() - st["t"].get<int64_t>();
    EXPECT_GE(box_ms, kSpeed * 200 - 1);
    EXPECT_LE(box_ms, kSpeed * (host_ms.count() + 1));
    EXPECT_EQ(st["box"]["profile"], "default");
    EXPECT_EQ(st["front_end"]["name"], "rescue");
    EXPECT_TRUE(st["status"].contains("eth_link"));
    EXPECT_TRUE(st["pictures"].is_object());

    json missing = get_json("/api/picture/nosuch.png", 404);
    EXPECT_EQ(missing["error"], "no picture nosuch");
    // A picture that is shown comes as a PNG.
    for (const auto &[name, p] : st["pictures"].items()) {
        if (!p["shown"].get<bool>())
            continue;
        auto r = client_->Get(("/api/picture/" + name + ".png").c_str());
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 200) << name;
        EXPECT_EQ(r->body.compare(0, 4, "\x89PNG"), 0) << name;
    }
}

TEST_F(Web, ActionsAreCheckedLikeScriptLinesAndSnapshotsWriteFiles)
{
    auto r = act("frobnicate 3");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 400);
    EXPECT_NE(json::parse(r->body)["error"].get<std::string>().find("unknown action 'frobnicate'"), std::string::npos);

    r = act("snapshot ../../escape");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 400);
    EXPECT_FALSE(fs::exists(dir_.file("escape-state.json")));

    r = act("snapshot web-1");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(json::parse(r->body)["action"], "snapshot web-1");
    auto st = json::parse(tooltest::read_file(out_ + "/web-1-state.json"), nullptr, false);
    EXPECT_EQ(st["snapshot"], "web-1");
    EXPECT_TRUE(fs::exists(out_ + "/web-1-tv.png"));

    // By hand a name may be taken again (the files are replaced).
    r = act("snapshot web-1");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;

    // What was done can be replayed as a script: refused lines are not in
    // it, and the name taken twice is left to the user as a comment.
    auto script = client_->Get("/api/script");
    ASSERT_TRUE(script);
    EXPECT_NE(script->body.find("ms snapshot web-1\n"), std::string::npos) << script->body;
    EXPECT_NE(script->body.find("ms snapshot web-1   (name taken before)\n"), std::string::npos) << script->body;
    EXPECT_EQ(script->body.find("frobnicate"), std::string::npos);
    std::string err;
    auto replay = boxsim::parse_script(script->body, "replay.txt", err);
    ASSERT_TRUE(replay) << err;
    EXPECT_EQ(replay->snapshots(), std::vector<std::string>{"web-1"});
}

TEST_F(Web, TheEventStreamBringsStateAndWhatHappens)
{
    // A page opened late still gets the output and the actions from the
    // start, past a busy trace.
    ASSERT_TRUE(act("dhcp lease 10.9.8.7"));
    for (int i = 0; i < 320; ++i)
        ASSERT_TRUE(act(i % 2 ? "hdmi 1" : "hdmi 2"));
    EventStream events(port_);
    EXPECT_TRUE(events.seen("event: state\ndata: {"));
    EXPECT_TRUE(events.seen("\"text\":\"dhcp lease 10.9.8.7\""));
    auto r = act("snapshot streamed");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_TRUE(events.seen("\"text\":\"snapshot streamed\""));
    events.stop([&] { act("snapshot streamed-2"); });
    EXPECT_NE(events.text().find("event: log\ndata: "), std::string::npos);
}

TEST_F(Web, QuitIsAnsweredAndThenTheRunEndsWithItsOutputs)
{
    auto r = act("quit");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(proc_->wait(20s), 0) << proc_->err();
    auto fin = json::parse(tooltest::read_file(out_ + "/final-state.json"), nullptr, false);
    EXPECT_EQ(fin["front_end"]["running"], false);
    EXPECT_TRUE(fs::exists(out_ + "/trace.jsonl"));
}

class ConsoleWeb : public Web {
protected:
    const std::vector<std::string> &extra_args() const override
    {
        static const std::vector<std::string> console{"--front-end", "console"};
        return console;
    }
};

// The files of a tar archive, by path.
std::map<std::string, std::string> untar(const std::string &tar)
{
    std::map<std::string, std::string> files;
    for (size_t at = 0; at + 512 <= tar.size();) {
        std::string name(tar.c_str() + at, strnlen(tar.c_str() + at, 100));
        if (name.empty())
            break;
        size_t size = std::stoul(tar.substr(at + 124, 11), nullptr, 8);
        files[name] = tar.substr(at + 512, size);
        at += 512 + (size + 511) / 512 * 512;
    }
    return files;
}

TEST_F(ConsoleWeb, SaveAsTestRecordsWhatIsShownAndItsReplayPasses)
{
    ASSERT_EQ(act("dhcp lease 192.168.1.20")->status, 200);
    ASSERT_EQ(act("cable plug 1000")->status, 200);
    // (The restart is the browser test's: what a slow build shows of the
    // rescue front end before it depends on its pace.) The key once the
    // console has its address and has drawn its screen a few times, as a
    // person would press it.
    ASSERT_TRUE(boxtest::eventually(
        [&] {
            json st = get_json("/api/state");
            return st["status"]["ip"] == "192.168.1.20" && st["devices"]["tv"].value("blits", 0) > 3;
        },
        30s));
    ASSERT_EQ(act("key 1")->status, 200);
    // Saved once the key's work is done (the decoder playing too): a state
    // on the way there depends on the host's pace here, and the replay, on
    // the virtual clock, passes through it sooner.
    ASSERT_TRUE(boxtest::eventually(
        [&] {
            json st = get_json("/api/state");
            return st["devices"]["tuners"][0]["locked"] == true && st["status"]["ip"] == "192.168.1.20" &&
                   st["devices"]["av"]["video0"]["state"] == "playing";
        },
        20s));

    auto r = client_->Get("/api/test.tar");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200);
    auto files = untar(r->body);
    ASSERT_EQ(files.count("boxsim-test/boxsim-test.box"), 1u) << r->body.substr(0, 100);
    std::string script = files["boxsim-test/boxsim-test.box"];
    for (const char *line : {"front-end console\n", "ms key 1\n",
                             " expect ip: state status.ip == \"192.168.1.20\" within 3s\n",
                             " expect tuner0: state devices.tuners.0.locked == true within 3s\n",
                             " expect video0: state devices.av.video0.state == \"playing\" within 3s\n",
                             " expect tv: picture tv boxsim-test-tv.png tolerance 3 within 3s\n"})
        EXPECT_NE(script.find(line), std::string::npos) << line << " in:\n" << script;
    ASSERT_EQ(files.count("boxsim-test/boxsim-test-tv.png"), 1u);

    // Replayed, it passes; without the tuner key it does not. (Both at
    // once, each from a folder of its own.)
    for (const char *folder : {"saved", "without-key"}) {
        fs::create_directories(dir_.file(std::string(folder) + "/boxsim-test"));
        for (const auto &[name, data] : files)
            std::ofstream(dir_.file(std::string(folder) + "/" + name), std::ios::binary) << data;
        fs::create_directories(dir_.file(std::string(folder) + "-logs"));
    }
    size_t key = script.find("ms key 1\n");
    script.erase(script.rfind('\n', key) + 1, script.find('\n', key) - script.rfind('\n', key));
    std::ofstream(dir_.file("without-key/boxsim-test/boxsim-test.box")) << script;
    BoxsimProcess replay({"test", "--out", dir_.file("replay"), dir_.file("saved")}, dir_.file("saved-logs"));
    BoxsimProcess broken({"test", "--out", dir_.file("broken"), dir_.file("without-key")}, dir_.file("without-key-logs"));
    EXPECT_EQ(replay.wait(60s), 0) << replay.out() << replay.err();
    EXPECT_NE(replay.out().find("1 of 1 runs passed"), std::string::npos) << replay.out();
    EXPECT_EQ(broken.wait(60s), 3) << broken.out() << broken.err();
    EXPECT_NE(broken.out().find("tuner0: timed out"), std::string::npos) << broken.out();

    // Written under --out instead.
    r = client_->Post("/api/test", "", "text/plain");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->body;
    json saved = json::parse(r->body);
    EXPECT_TRUE(fs::exists(saved["script"].get<std::string>())) << r->body;
}

TEST_F(Web, RestartSwitchesTheFrontEndOnTheSameBoxAndRefusesUnknownNames)
{
    json first = get_json("/api/state");
    EXPECT_EQ(first["front_end"]["name"], "rescue");
    EXPECT_EQ(first["front_end"]["starts"], 1);
    EXPECT_EQ(first["front_end"]["known"], json::parse(R"(["rescue", "console"])"));

    for (const char *bad : {"", "bogus", "console extra", "Console"}) {
        auto r = restart(bad);
        ASSERT_TRUE(r) << bad;
        EXPECT_EQ(r->status, 400) << bad;
        EXPECT_NE(r->body.find("unknown front end"), std::string::npos) << r->body;
    }
    EXPECT_EQ(get_json("/api/state")["front_end"]["starts"], 1) << "a refused restart restarted the box";

    // Into the console: its key task takes the front-panel keys.
    auto r = restart("console\n");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(json::parse(r->body)["front_end"], "console");
    json st = get_json("/api/state");
    EXPECT_EQ(st["front_end"]["name"], "console");
    EXPECT_EQ(st["front_end"]["running"], true);
    EXPECT_EQ(st["front_end"]["starts"], 2);
    EXPECT_EQ(st["box"], first["box"]) << "the restart changed the profile";
    // A key pressed before the console's key task has the panel open would
    // reach no reader, as on a box.
    ASSERT_TRUE(boxtest::eventually([&] { return get_json("/api/state")["devices"]["input"][0]["clients"] == 1; }, 10s));
    ASSERT_EQ(act("panel-key POWER")->status, 200);
    EXPECT_TRUE(boxtest::eventually([&] { return get_json("/api/state")["status"]["buttons_seen"] == 1; }, 10s));

    // And back: a fresh start clears what the console had recorded.
    r = restart("rescue");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->body;
    st = get_json("/api/state");
    EXPECT_EQ(st["front_end"]["name"], "rescue");
    EXPECT_EQ(st["status"]["buttons_seen"], 0);

    // Each front end ended before the next one started.
    std::vector<std::string> order;
    for (const auto &l : quit_and_read_trace()) {
        std::string op = l.value("op", "");
        if (op == "restart")
            order.push_back("restart " + l.value("to", ""));
        else if (op == "front_end_ended" || op == "front_end_started")
            order.push_back(op + " " + l.value("name", ""));
    }
    EXPECT_EQ(order, (std::vector<std::string>{"restart console", "front_end_ended rescue",
                                               "front_end_started console", "restart rescue",
                                               "front_end_ended console", "front_end_started rescue",
                                               "front_end_ended rescue"}));
}

TEST_F(ConsoleWeb, FiftyKeyPressesAllReachTheBoxInOrder)
{
    static const char *const keys[] = {"POWER", "MENU", "EXIT", "LEFT", "RIGHT", "UP", "DOWN", "OK", "1", "2"};
    EventStream events(port_);
    std::vector<std::string> sent;
    // Nothing waiting in a reader's buffer: the console has taken every
    // record so far.
    auto all_taken = [&] {
        json st = get_json("/api/state");
        for (const auto &d : st["devices"]["input"])
            if (d["pending"] != 0)
                return false;
        return true;
    };
    // The key task must be reading before a press can reach it.
    ASSERT_TRUE(boxtest::eventually([&] { return get_json("/api/state")["devices"]["input"][1]["clients"] == 1; }, 10s));
    for (int i = 0; i < 50; ++i) {
        // Keys 1 and 2 start a tuner, and the console then waits half a
        // second or more before its next key; in their place later come
        // mute and volume, so that the test does not wait seconds in real
        // time. Each press waits until the console has taken the one
        // before, as a person's would: evdev keeps 64 records for a
        // reader, and presses that pile up beyond that are dropped, as on
        // a box.
        const char *key = i < 10 || i % 10 < 8 ? keys[i % 10] : i % 10 == 8 ? "MUTE" : "VOLUMEUP";
        std::string line = std::string(i % 2 ? "key " : "panel-key ") + key;
        ASSERT_TRUE(boxtest::eventually(all_taken, 10s)) << "before " << line;
        auto r = act(line);
        ASSERT_TRUE(r) << line;
        ASSERT_EQ(r->status, 200) << line << ": " << r->body;
        sent.push_back(line);
    }
    // The system took every press: nothing left queued, the button test
    // complete, and the text display shows its end.
    EXPECT_TRUE(boxtest::eventually(
        [&] {
            json st = get_json("/api/state");
            for (const auto &d : st["devices"]["input"])
                if (d["pending"] != 0)
                    return false;
            return st["status"]["buttons_seen"] == 255 && st["devices"]["display"]["text"] == "88:88";
        },
        10s));
    // The event stream a page follows brought the LCD's last change: its
    // newest picture event names the version the box shows now.
    auto last_lcd_event = [&] {
        const std::string received = events.text();
        uint64_t v = 0;
        for (size_t at = received.find("event: picture\ndata: "); at != std::string::npos;
             at = received.find("event: picture\ndata: ", at + 1)) {
            size_t from = at + 21, to = received.find('\n', from);
            if (to == std::string::npos)
                break;
            json j = json::parse(received.substr(from, to - from), nullptr, false);
            if (j.is_object() && j["name"] == "lcd")
                v = j["version"].get<uint64_t>();
        }
        return v;
    };
    EXPECT_TRUE(boxtest::eventually(
        [&] {
            json st = get_json("/api/state");
            return st["pictures"]["lcd"]["shown"] == true && last_lcd_event() == st["pictures"]["lcd"]["version"];
        },
        5s))
        << "last LCD version streamed: " << last_lcd_event();
    EXPECT_GT(last_lcd_event(), 1u) << "the LCD changed while the keys were pressed";
    events.stop([&] { act("snapshot wake-the-stream"); });

    std::vector<std::string> traced;
    for (const auto &l : quit_and_read_trace())
        if (l.value("op", "") == "action" && l.value("from", "") == "web" && !l.value("text", "").starts_with("quit") &&
            !l.value("text", "").starts_with("snapshot"))
            traced.push_back(l.value("text", ""));
    EXPECT_EQ(traced, sent);
}

} // namespace http_test

#endif
