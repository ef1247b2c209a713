// The web front panel under load: pages with their event streams open, a
// steady stream of actions, and malformed requests of every kind at the same
// time. The box must keep running, apply every well-formed action in order,
// and its memory must not grow with the requests.
//
// The run is short by default (180 actions in a second); BOXSIM_LOAD_SECONDS,
// BOXSIM_LOAD_RATE (actions a second) and BOXSIM_LOAD_PAGES make it the full
// load (tests/load/web_load.sh: 30 s, 200 a second, 8 pages).
#ifdef BOXSIM_BINARY

#include "boxsim_process.h"
#include "boxsim/script.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>

using namespace std::chrono_literals;
using boxsim::json;
using tooltest::BoxsimProcess;

namespace {

int setting(const char *name, int fallback)
{
    const char *v = getenv(name);
    return v && atoi(v) > 0 ? atoi(v) : fallback;
}

// Resident memory of a process in kB, or -1.
long rss_kb(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (in >> key) {
        if (key == "VmRSS:") {
            long kb = -1;
            in >> kb;
            return kb;
        }
        in.ignore(1 << 16, '\n');
    }
    return -1;
}

// Sends raw bytes on a fresh loopback connection and closes it, without
// waiting for an answer: requests cut off mid-way.
void send_raw(int port, const std::string &bytes)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
        (void)!send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    close(s);
}

TEST(WebLoad, PagesActionsAndMalformedRequestsTogether)
{
    const int seconds = setting("BOXSIM_LOAD_SECONDS", 1);
    const int rate = setting("BOXSIM_LOAD_RATE", 180);
    const int pages = setting("BOXSIM_LOAD_PAGES", 8);

    boxtest::TempDir dir;
    // At four times the host's pace: the load does not depend on it, and the
    // quit at the end waits for the front end's tasks a quarter as long.
    BoxsimProcess proc({"--serve", "127.0.0.1:0", "--speed", "4"}, dir.path());
    auto port = proc.served_port(20s);
    ASSERT_TRUE(port) << proc.err();

    // The pages: each loads the page and keeps its event stream open.
    std::atomic<bool> stop{false};
    std::atomic<int> streams_with_state{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < pages; ++i)
        readers.emplace_back([&] {
            httplib::Client c("127.0.0.1", *port);
            c.set_read_timeout(60, 0);
            auto page = c.Get("/");
            if (!page || page->status != 200)
                return;
            bool counted = false;
            c.Get("/api/events", [&](const char *data, size_t len) {
                if (!counted && std::string_view(data, len).find("event: state") != std::string_view::npos) {
                    counted = true;
                    streams_with_state++;
                }
                return !stop.load();
            });
        });

    // Malformed requests, as fast as they are answered, for the whole run.
    std::atomic<int> malformed_answered{0}, malformed_wrong{0};
    std::thread bad([&] {
        httplib::Client c("127.0.0.1", *port);
        c.set_read_timeout(30, 0);
        const std::string huge(4 << 20, 'x');
        const std::string broken = "cable \xff\xfe plug \xc3";
        const std::string cut[] = {
            "POST /api/action HTTP/1.1\r\nHost: x\r\nContent-Length: 500\r\n\r\ncable plu",
            "GET /api/sta",
            "POST /api/action HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nfff\r\nab",
            "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03",  // a TLS hello on the plain port
        };
        for (int n = 0; !stop.load(); ++n) {
            auto request = [&]() -> httplib::Result {
                switch (n % 6) {
                case 0: return c.Post("/api/action", huge, "text/plain");
                case 1: return c.Post("/api/action", broken, "text/plain");
                case 2: return c.Get("/no/such/page");
                case 3: return c.Post("/api/nothing", "x", "text/plain");
                default: return c.Post("/api/action", "hdmi", "text/plain");
                }
            };
            if (n % 6 == 5) {
                send_raw(*port, cut[(n / 6) % 4]);
                continue;
            }
            httplib::Result r = request();
            if (r) {
                malformed_answered++;
                if (r->status < 400)
                    malformed_wrong++;
            }
        }
    });

    // The actions start once every page has its stream open and its first
    // state: they all load the box while the actions come.
    EXPECT_TRUE(boxtest::eventually([&] { return streams_with_state.load() == pages; }, 20s))
        << streams_with_state.load() << " of " << pages << " pages got their state";

    // The actions: HDMI state words counting up, so their order can be read
    // back from the run's script.
    httplib::Client c("127.0.0.1", *port);
    c.set_read_timeout(10, 0);
    const int total = seconds * rate;
    int ok = 0;
    long rss_early = -1;
    auto start = std::chrono::steady_clock::now();
    for (int i = 1; i <= total; ++i) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(1000000LL * i / rate));
        auto r = c.Post("/api/action", "hdmi " + std::to_string(i), "text/plain");
        ok += r && r->status == 200;
        if (i == total / 3)
            rss_early = rss_kb(proc.pid());
    }
    long rss_late = rss_kb(proc.pid());

    EXPECT_TRUE(proc.running());
    EXPECT_EQ(ok, total) << "every well-formed action is taken";
    auto script = c.Get("/api/script");
    ASSERT_TRUE(script);
    std::string err;
    auto parsed = boxsim::parse_script(script->body, "replay.txt", err);
    ASSERT_TRUE(parsed) << err;
    std::vector<int> words;
    for (const auto &step : parsed->steps)
        if (step.action.name == "hdmi")
            words.push_back(atoi(step.action.args.at(0).c_str()));
    ASSERT_EQ(words.size(), static_cast<size_t>(total));
    for (int i = 0; i < total; ++i)
        ASSERT_EQ(words[i], i + 1) << "actions applied in the order sent";
    auto state = json::parse(c.Get("/api/state")->body, nullptr, false);
    EXPECT_EQ(state["devices"]["ports"]["hdmi"]["state"], total) << state["devices"].dump();

    printf("web load: %d pages, %d actions in %d s, %d malformed requests answered, memory %ld kB -> %ld kB\n",
           pages, total, seconds, malformed_answered.load(), rss_early, rss_late);
    EXPECT_GT(malformed_answered.load(), 0);
    EXPECT_EQ(malformed_wrong.load(), 0) << "a malformed request is never taken";
    EXPECT_EQ(streams_with_state.load(), pages);
    // Memory: what the requests of the last two thirds added stays small
    // beside what the box holds anyway (the trace it keeps is bounded).
    ASSERT_GT(rss_early, 0);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // (Under a sanitizer the allocator keeps freed blocks for a while, so the
    // memory says nothing about the program's own.)
    EXPECT_LT(rss_late - rss_early, 64 * 1024) << "kB: " << rss_early << " -> " << rss_late;
#endif

    auto quit = c.Post("/api/action", "quit", "text/plain");
    stop = true;
    bad.join();
    for (auto &t : readers)
        t.join();
    EXPECT_TRUE(quit && quit->status == 200);
    EXPECT_EQ(proc.wait(20s), 0) << proc.err();
}

} // namespace

#endif
