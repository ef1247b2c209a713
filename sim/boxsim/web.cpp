#include "boxsim/web.h"

#include "boxsim/assets.h"
#include "boxsim/recorder.h"
#include "boxsim/session.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <sys/socket.h>
#include <thread>

namespace boxsim::tool {

namespace {

constexpr size_t kLogKeep = 2000;      // trace lines kept for late page loads
constexpr size_t kLogBacklog = 300;    // lines a new page gets at once
constexpr size_t kOutputKeep = 500;    // lines of output and actions a new page gets besides
constexpr size_t kLogBatch = 500;      // lines per event at most
constexpr int kMaxStreams = 12;        // pages open at once, each holding a thread
constexpr int kRequestThreads = 8;     // threads left for requests while they are open
constexpr auto kMinRecheck = std::chrono::milliseconds(25);

uint64_t fingerprint(const Image &img)
{
    uint64_t h = 1469598103934665603ull ^ (static_cast<uint64_t>(img.width) << 32) ^ img.height;
    for (uint32_t w : img.argb)
        h = (h ^ w) * 1099511628211ull;
    return h | 1;  // 0 stands for "nothing shown"
}

json error_json(const std::string &msg) { return {{"error", msg}}; }

void reply_json(httplib::Response &res, const json &j, int status = 200)
{
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(j.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

} // namespace

struct WebPanel::Impl {
    httplib::Server svr;
    std::string host;
    int port = 0;
    Session *session = nullptr;

    struct Pic {
        uint64_t fp = 0;  // 0: nothing shown
        uint64_t version = 0;
        int64_t changed_t = 0;  // box time the change was seen
        uint64_t png_fp = 0;
        std::string png;
    };

    std::mutex m;
    std::condition_variable cv;  // anything new: watcher and streams wait on it
    bool dirty = true;
    bool stopping = false;
    std::deque<std::pair<uint64_t, json>> log;
    uint64_t log_next = 1;
    // What the system printed and what was done to the box, kept longer than
    // the trace around it: a page opened late still shows the output from
    // the start, however busy the trace has been since.
    std::deque<std::pair<uint64_t, json>> output;
    std::map<std::string, Pic> pics;
    std::string state_text;  // the last state, "t" left out
    json state;
    uint64_t state_version = 0;
    int streams = 0;
    std::set<const httplib::Request *> in_flight;
    std::condition_variable idle_cv;

    struct Cursor {
        bool started = false;
        uint64_t log_seq = 0;
        std::map<std::string, uint64_t> pic_versions;
        uint64_t state_version = 0;
    };

    void on_trace(const json &ev)
    {
        std::lock_guard<std::mutex> g(m);
        const std::string op = ev.value("op", "");
        if (op == "stdout" || op == "stderr" || op == "action") {
            output.emplace_back(log_next, ev);
            if (output.size() > kOutputKeep)
                output.pop_front();
        }
        log.emplace_back(log_next++, ev);
        if (log.size() > kLogKeep)
            log.pop_front();
        // Looking at a file changes nothing a person sees; everything else
        // (writes, requests, blits, commands, actions) may.
        static const std::set<std::string> passive = {"stdout", "stderr", "stat", "access", "open", "close", "read"};
        if (!passive.count(op))
            dirty = true;
        cv.notify_all();
    }

    // Looks at the pictures and the state after the box did something, and
    // tells the streams what changed.
    void watch()
    {
        auto last = std::chrono::steady_clock::now() - kMinRecheck;
        for (;;) {
            {
                std::unique_lock<std::mutex> g(m);
                // Also look now and then: not every change leaves a trace.
                cv.wait_for(g, std::chrono::milliseconds(500), [this] { return dirty || stopping; });
                if (stopping)
                    return;
                // A burst of changes is looked at once.
                cv.wait_until(g, last + kMinRecheck, [this] { return stopping; });
                if (stopping)
                    return;
                dirty = false;
            }
            last = std::chrono::steady_clock::now();
            check();
        }
    }

    void check()
    {
        Box &box = session->box();
        // A picture with a stamp is told by its stamp (0 while nothing is
        // shown) and never made here: the page fetches what changed, and
        // under the sanitizers making a TV picture each time the box drew
        // was most of a served run's processor time. A picture without one
        // is made and told by its fingerprint.
        std::map<std::string, uint64_t> fps;
        for (const auto &name : picture_names()) {
            std::optional<uint64_t> stamp = picture_stamp(box, name);
            if (stamp) {
                fps[name] = *stamp;
                continue;
            }
            auto img = picture(box, name);
            fps[name] = img ? fingerprint(*img) : 0;
        }
        int64_t seen_t = box.now_ms();
        json st = session->state();
        json no_t = st;
        no_t.erase("t");
        std::string text = no_t.dump(-1, ' ', false, json::error_handler_t::replace);

        std::lock_guard<std::mutex> g(m);
        bool news = false;
        for (const auto &[name, fp] : fps) {
            Pic &p = pics[name];
            if (p.fp != fp || p.version == 0) {
                p.fp = fp;
                p.version++;
                p.changed_t = seen_t;
                news = true;
            }
        }
        if (text != state_text) {
            state_text = std::move(text);
            state_version++;
            news = true;
        }
        state = std::move(st);
        if (news)
            cv.notify_all();
    }

    json pictures_json()  // with m held
    {
        json j = json::object();
        for (const auto &[name, p] : pics)
            j[name] = {{"version", p.version}, {"shown", p.fp != 0}};
        return j;
    }

    bool has_news(const Cursor &c)
    {
        if (!c.started || c.state_version != state_version)
            return true;
        if (!log.empty() && log.back().first >= c.log_seq)
            return true;
        for (const auto &[name, p] : pics) {
            auto it = c.pic_versions.find(name);
            if (it == c.pic_versions.end() || it->second != p.version)
                return true;
        }
        return false;
    }

    // The next piece of an event stream; empty when the stream is to end.
    std::string next_events(Cursor &c)
    {
        std::unique_lock<std::mutex> g(m);
        bool woke = cv.wait_for(g, std::chrono::seconds(15), [&] { return stopping || has_news(c); });
        if (stopping)
            return "event: end\ndata: {}\n\n";
        if (!woke)
            return ": still here\n\n";
        std::string out;
        if (!c.started) {
            c.started = true;
            uint64_t first = log.empty() ? log_next : log.front().first;
            c.log_seq = std::max(first, log_next > kLogBacklog ? log_next - kLogBacklog : 1);
            json earlier = json::array();
            for (const auto &[seq, ev] : output)
                if (seq < c.log_seq)
                    earlier.push_back(ev);
            if (!earlier.empty()) {
                json j = {{"dropped", 0}, {"lines", std::move(earlier)}};
                out += "event: log\ndata: " + j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n\n";
            }
        }
        for (const auto &[name, p] : pics) {
            uint64_t &seen = c.pic_versions[name];
            if (seen != p.version) {
                seen = p.version;
                json j = {{"name", name}, {"version", p.version}, {"shown", p.fp != 0}, {"t", p.changed_t}};
                out += "event: picture\ndata: " + j.dump() + "\n\n";
            }
        }
        if (c.state_version != state_version && !state.is_null()) {
            c.state_version = state_version;
            json st = state;
            st["pictures"] = pictures_json();
            out += "event: state\ndata: " + st.dump(-1, ' ', false, json::error_handler_t::replace) + "\n\n";
        }
        if (!log.empty() && log.back().first >= c.log_seq) {
            uint64_t dropped = log.front().first > c.log_seq ? log.front().first - c.log_seq : 0;
            json lines = json::array();
            for (const auto &[seq, ev] : log) {
                if (seq < c.log_seq)
                    continue;
                if (lines.size() >= kLogBatch)
                    break;
                lines.push_back(ev);
                c.log_seq = seq + 1;
            }
            json j = {{"dropped", dropped}, {"lines", std::move(lines)}};
            out += "event: log\ndata: " + j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n\n";
        }
        if (out.empty())
            out = ": nothing new\n\n";
        return out;
    }

    void routes();
};

WebPanel::WebPanel() : impl_(std::make_unique<Impl>()) {}
WebPanel::~WebPanel() = default;

bool WebPanel::bind(const std::string &host, int port, std::string &err)
{
    // Without SO_REUSEPORT: a second boxsim on the same port must fail here,
    // not share the port with the first.
    impl_->svr.set_socket_options([](int sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    impl_->svr.set_payload_max_length(64 * 1024);
    // Event streams hold a thread each; the pool has room for as many as are
    // taken, and requests keep threads of their own beside them.
    impl_->svr.new_task_queue = [] { return new httplib::ThreadPool(kMaxStreams + kRequestThreads); };
    impl_->host = host;
    errno = 0;
    if (port == 0) {
        int p = impl_->svr.bind_to_any_port(host);
        if (p > 0) {
            impl_->port = p;
            return true;
        }
    } else if (impl_->svr.bind_to_port(host, port)) {
        impl_->port = port;
        return true;
    }
    int e = errno;
    err = "cannot serve on " + host + ":" + std::to_string(port) + ": " +
          (e == EADDRINUSE ? std::string("port in use (is another boxsim running? choose one with --serve PORT)")
                           : std::string(e ? strerror(e) : "address not available"));
    return false;
}

int WebPanel::port() const { return impl_->port; }

void WebPanel::start(Session &session)
{
    Impl &d = *impl_;
    d.session = &session;
    session.box().trace().add_listener([&d](const json &ev) { d.on_trace(ev); });
    d.routes();
    d.check();
    std::thread([&d] { d.watch(); }).detach();
    std::thread([&d] { d.svr.listen_after_bind(); }).detach();
}

void WebPanel::close()
{
    Impl &d = *impl_;
    std::lock_guard<std::mutex> g(d.m);
    d.stopping = true;
    d.cv.notify_all();
}

void WebPanel::drain(int ms)
{
    close();
    Impl &d = *impl_;
    std::unique_lock<std::mutex> g(d.m);
    d.idle_cv.wait_for(g, std::chrono::milliseconds(ms), [&d] { return d.in_flight.empty() && d.streams == 0; });
}

void WebPanel::Impl::routes()
{
    svr.set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &) {
        std::lock_guard<std::mutex> g(m);
        if (req.path != "/api/events")
            in_flight.insert(&req);
        return httplib::Server::HandlerResponse::Unhandled;
    });
    // Called once the answer has been written.
    svr.set_logger([this](const httplib::Request &req, const httplib::Response &) {
        std::lock_guard<std::mutex> g(m);
        in_flight.erase(&req);
        idle_cv.notify_all();
    });

    for (size_t i = 0; i < kWebAssetCount; ++i) {
        const WebAsset &a = kWebAssets[i];
        svr.Get(a.path, [&a](const httplib::Request &, httplib::Response &res) {
            res.set_content(a.bytes().data(), a.size, a.content_type);
        });
    }

    svr.Get("/api/state", [this](const httplib::Request &, httplib::Response &res) {
        json st = session->state();
        {
            std::lock_guard<std::mutex> g(m);
            st["pictures"] = pictures_json();
        }
        reply_json(res, st);
    });

    svr.Get("/api/actions", [](const httplib::Request &, httplib::Response &res) {
        json list = json::array();
        for (const auto &[name, a] : actions())
            list.push_back({{"name", name}, {"usage", a.usage}});
        reply_json(res, list);
    });

    svr.Get("/api/script", [this](const httplib::Request &, httplib::Response &res) {
        res.set_header("Cache-Control", "no-store");
        res.set_content(session->actions_as_script(), "text/plain; charset=utf-8");
    });

    // Save as test: the actions so far and what is shown now, as an archive
    // to download, or written under --out.
    svr.Get("/api/timeline.json", [this](const httplib::Request &, httplib::Response &res) {
        // The run so far in the trace-event format (Chrome's and Perfetto's viewers).
        TimelineFile *t = session->timeline();
        res.set_content(t ? t->text() : std::string("[]\n"), "application/json");
    });
    svr.Get("/api/test.tar", [this](const httplib::Request &, httplib::Response &res) {
        SavedTest test = save_test(*session);
        res.set_header("Cache-Control", "no-store");
        res.set_header("Content-Disposition", "attachment; filename=\"" + test.name + ".tar\"");
        res.set_content(tar_archive(test), "application/x-tar");
    });
    svr.Post("/api/test", [this](const httplib::Request &, httplib::Response &res) {
        if (!session->has_outputs())
            return reply_json(res, error_json("no output directory (start boxsim with --out DIR)"), 409);
        int64_t t = session->box().now_ms();
        std::string name = "test-" + std::to_string(t);
        SavedTest test = save_test(*session, name);
        std::string dir = session->out_dir() + "/tests/" + name, err;
        if (!write_saved_test(test, dir, err))
            return reply_json(res, error_json(err), 500);
        reply_json(res, {{"ok", true}, {"dir", dir}, {"script", dir + "/" + name + ".box"}, {"t", t}});
    });

    svr.Post("/api/action", [this](const httplib::Request &req, httplib::Response &res) {
        std::string err;
        {
            std::lock_guard<std::mutex> g(m);
            if (stopping)
                return reply_json(res, error_json("the run has ended"), 503);
        }
        auto action = parse_action(req.body, err);
        if (!action)
            return reply_json(res, error_json(err), 400);
        Box &box = session->box();
        try {
            if (action->name == "snapshot") {
                // Answered here rather than through the run's hook, so the
                // caller learns whether the files were written.
                if (!session->has_outputs())
                    return reply_json(res, error_json("no output directory (start boxsim with --out DIR)"), 409);
                box.trace().record({{"op", "action"}, {"text", action->text}, {"from", "web"}});
                if (!session->snapshot(action->args.at(0), err))
                    return reply_json(res, error_json(err), 500);
            } else {
                run_action(box, *action, "web");
            }
        } catch (const std::exception &e) {
            return reply_json(res, error_json(action->name + ": " + e.what()), 500);
        }
        {
            std::lock_guard<std::mutex> g(m);
            dirty = true;
            cv.notify_all();
        }
        reply_json(res, {{"ok", true}, {"action", action->text}, {"t", box.now_ms()}});
    });

    // The front-end switch: the box restarts into the named front end with
    // the same profile. Answered once the new front end is starting.
    svr.Post("/api/restart", [this](const httplib::Request &req, httplib::Response &res) {
        {
            std::lock_guard<std::mutex> g(m);
            if (stopping)
                return reply_json(res, error_json("the run has ended"), 503);
        }
        std::string name = req.body;
        while (!name.empty() && isspace(static_cast<unsigned char>(name.back())))
            name.pop_back();
        while (!name.empty() && isspace(static_cast<unsigned char>(name.front())))
            name.erase(name.begin());
        const FrontEnd *fe = find_front_end(name);
        if (!fe) {
            std::string names;
            for (const auto &f : front_ends())
                names += std::string(names.empty() ? "" : ", ") + f.name;
            return reply_json(res, error_json("unknown front end '" + name + "' (known: " + names + ")"), 400);
        }
        // As an action line, so that a saved scenario or test restarts too.
        session->box().trace().record({{"op", "action"}, {"text", std::string("restart ") + fe->name}, {"from", "page"}});
        std::string err;
        if (!session->restart(*fe, err))
            return reply_json(res, error_json(err), 409);
        {
            std::lock_guard<std::mutex> g(m);
            dirty = true;
            cv.notify_all();
        }
        reply_json(res, {{"ok", true}, {"front_end", fe->name}, {"t", session->box().now_ms()}});
    });

    svr.Get(R"(/api/picture/([A-Za-z0-9_-]+)\.png)", [this](const httplib::Request &req, httplib::Response &res) {
        std::string name = req.matches[1];
        auto img = picture(session->box(), name);
        if (!img) {
            bool known = false;
            for (const auto &n : picture_names())
                known = known || n == name;
            return reply_json(res, error_json(known ? "nothing shown on " + name + " yet" : "no picture " + name),
                              404);
        }
        uint64_t fp = fingerprint(*img);
        std::string png;
        {
            std::lock_guard<std::mutex> g(m);
            Pic &p = pics[name];
            if (p.png_fp == fp)
                png = p.png;
        }
        if (png.empty()) {
            std::vector<unsigned char> bytes;
            if (!encode_png(*img, bytes))
                return reply_json(res, error_json("cannot encode " + name), 500);
            png.assign(bytes.begin(), bytes.end());
            std::lock_guard<std::mutex> g(m);
            pics[name].png_fp = fp;
            pics[name].png = png;
        }
        res.set_header("Cache-Control", "no-store");
        res.set_content(std::move(png), "image/png");
    });

    svr.Get("/api/events", [this](const httplib::Request &, httplib::Response &res) {
        {
            std::lock_guard<std::mutex> g(m);
            if (streams >= kMaxStreams || stopping)
                return reply_json(res, error_json("too many pages open on this box"), 503);
            streams++;
        }
        res.set_header("Cache-Control", "no-store");
        res.set_header("X-Accel-Buffering", "no");
        auto cursor = std::make_shared<Cursor>();
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, cursor](size_t, httplib::DataSink &sink) {
                std::string chunk = next_events(*cursor);
                bool last = chunk.starts_with("event: end");
                if (!sink.write(chunk.data(), chunk.size()))
                    return false;
                if (last) {
                    sink.done();
                    return true;
                }
                return true;
            },
            [this](bool) {
                std::lock_guard<std::mutex> g(m);
                streams--;
                idle_cv.notify_all();
            });
    });
}

bool parse_serve_address(const std::string &text, std::string &host, int &port, std::string &err)
{
    std::string addr = "127.0.0.1", p = text;
    if (size_t colon = text.rfind(':'); colon != std::string::npos) {
        addr = text.substr(0, colon);
        p = text.substr(colon + 1);
        if (addr.size() >= 2 && addr.front() == '[' && addr.back() == ']')
            addr = addr.substr(1, addr.size() - 2);
    }
    bool digits = !p.empty() && p.size() <= 5 && p.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || std::stoi(p) > 65535) {
        err = "--serve takes [ADDR:]PORT with a port from 0 to 65535, not '" + text + "'";
        return false;
    }
    in_addr a4{};
    bool loopback = addr == "localhost" || addr == "::1" ||
                    (inet_pton(AF_INET, addr.c_str(), &a4) == 1 && (ntohl(a4.s_addr) >> 24) == 127);
    if (!loopback) {
        err = "--serve takes a loopback address (127.0.0.1, localhost or ::1), not '" + addr +
              "': the front panel has no access control";
        return false;
    }
    host = addr == "localhost" ? "127.0.0.1" : addr;
    port = std::stoi(p);
    return true;
}

} // namespace boxsim::tool
