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

namespace {

class Web : public ::testing::Test {
protected:
    void SetUp() override
    {
        out_ = dir_.file("out");
        proc_ = std::make_unique<BoxsimProcess>(
            std::vector<std::string>{"--serve", "127.0.0.1:0", "--out", out_}, dir_.path());
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

    boxtest::TempDir dir_;
    std::string out_;
    std::unique_ptr<BoxsimProcess> proc_;
    std::unique_ptr<httplib::Client> client_;
    int port_ = 0;
};

} // namespace

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

    json st = get_json("/api/state");
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
    std::string received;
    std::mutex m;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(20, 0);
        c.Get("/api/events", [&](const char *data, size_t len) {
            std::lock_guard<std::mutex> g(m);
            received.append(data, len);
            return !stop.load();
        });
    });
    auto seen = [&](const std::string &what) {
        return boxtest::eventually(
            [&] {
                std::lock_guard<std::mutex> g(m);
                return received.find(what) != std::string::npos;
            },
            10s);
    };
    EXPECT_TRUE(seen("event: state\ndata: {"));
    auto r = act("snapshot streamed");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_TRUE(seen("\"text\":\"snapshot streamed\""));
    stop = true;
    // One more event lets the reader see it is to stop.
    act("snapshot streamed-2");
    reader.join();
    std::lock_guard<std::mutex> g(m);
    EXPECT_NE(received.find("event: log\ndata: "), std::string::npos);
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

#endif
