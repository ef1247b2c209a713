#include "boxsim/timeline.h"

#include "core/clock.h"

#include <cerrno>
#include <cstring>
#include <pthread.h>
#include <set>
#include <unistd.h>

namespace boxsim {

namespace {

// The timeline's three processes: the box's threads, its devices and the
// script's expectations, each a group of tracks in the viewer.
constexpr int kThreads = 1, kDevices = 2, kExpectations = 3;

// The calls of the system the trace reports, one line at the call's end.
const std::set<std::string> &call_ops()
{
    static const std::set<std::string> ops = {"stat",  "access", "open", "close", "read",   "write", "lseek",
                                              "ioctl", "mmap",   "poll", "sync",  "popen", "pclose", "system"};
    return ops;
}

std::string text_of(const json &ev, const char *key)
{
    auto it = ev.find(key);
    if (it == ev.end())
        return {};
    return it->is_string() ? it->get<std::string>() : it->dump();
}

// The device a trace line is about, when it is about one: a device node, or
// one of the front panel's parts, or a frontend.
std::string device_of(const json &ev, const std::string &op)
{
    std::string path = text_of(ev, "path");
    if (path.starts_with("/dev/"))
        return path;
    if (op == "display")
        return "text display";
    if (op == "led")
        return "LEDs";
    if (op == "frontend" && ev.contains("fe"))
        return "/dev/dvb0.frontend" + text_of(ev, "fe");
    return {};
}

// A slice's or instant's name: what a person scans the track for.
std::string name_of(const json &ev, const std::string &op)
{
    if (op == "ioctl")
        return "ioctl " + text_of(ev, "name");
    if (op == "system" || op == "popen" || op == "pclose")
        return op + " " + text_of(ev, "cmd");
    if (op == "action")
        return text_of(ev, "text");
    if (op == "event")
        return text_of(ev, "what");
    if (op == "fault") {
        std::string what = text_of(ev, "call") + " " + text_of(ev, ev.contains("name") ? "name" : "path");
        if (ev.contains("request"))
            what += " " + text_of(ev, "request");
        return "fault " + what + " " + text_of(ev, "error");
    }
    if (op == "stdout" || op == "stderr")
        return op + ": " + text_of(ev, "text");
    if (op == "display")
        return "display " + text_of(ev, "text");
    if (op == "frontend")
        return text_of(ev, "event");
    std::string path = text_of(ev, "path");
    return path.empty() ? op : op + " " + path;
}

// The trace line's own members, for the viewer's details pane.
json args_of(const json &ev)
{
    json args = json::object();
    for (auto it = ev.begin(); it != ev.end(); ++it)
        if (it.key() != "t" && it.key() != "thread")
            args[it.key()] = it.value();
    return args;
}

json track_name(int pid, int tid, const std::string &name)
{
    return {{"ph", "M"}, {"name", "thread_name"}, {"pid", pid}, {"tid", tid}, {"args", {{"name", name}}}};
}

json process_name(int pid, const char *name, int order)
{
    return json::array({{{"ph", "M"}, {"name", "process_name"}, {"pid", pid}, {"tid", 0}, {"args", {{"name", name}}}},
                        {{"ph", "M"},
                         {"name", "process_sort_index"},
                         {"pid", pid},
                         {"tid", 0},
                         {"args", {{"sort_index", order}}}}});
}

} // namespace

TimelinePlace TimelineBuilder::place_of(const json &ev)
{
    TimelinePlace p;
    p.thread = text_of(ev, "thread");
    auto t = ev.find("t");
    p.ts_us = t != ev.end() && t->is_number() ? t->get<int64_t>() * 1000 : 0;
    return p;
}

int TimelineBuilder::thread_track(const TimelinePlace &where, std::vector<json> &out)
{
    int *slot;
    if (where.thread_id >= 0)
        slot = &by_id_[where.thread_id];
    else
        slot = &by_name_[where.thread];
    if (*slot == 0) {
        *slot = next_thread_track_++;
        std::string name = where.thread.empty() ? "outside the box's threads" : where.thread;
        if (where.thread_id >= 0)
            name += " #" + std::to_string(where.thread_id);
        out.push_back(track_name(kThreads, *slot, name));
    }
    return *slot;
}

int TimelineBuilder::device_track(const std::string &device, std::vector<json> &out)
{
    auto [it, fresh] = devices_.emplace(device, static_cast<int>(devices_.size()) + 1);
    if (fresh)
        out.push_back(track_name(kDevices, it->second, device));
    return it->second;
}

void TimelineBuilder::add(const json &ev, const TimelinePlace &where, std::vector<json> &out)
{
    if (!processes_named_) {
        processes_named_ = true;
        for (auto &o : process_name(kThreads, "box threads", 1))
            out.push_back(o);
        for (auto &o : process_name(kDevices, "devices", 2))
            out.push_back(o);
    }
    std::string op = text_of(ev, "op");
    int tid = thread_track(where, out);
    std::string device = device_of(ev, op);
    int dev = device.empty() ? 0 : device_track(device, out);
    std::string name = name_of(ev, op);
    json args = args_of(ev);
    if (!where.thread.empty())
        args["thread"] = where.thread;

    auto emit = [&](int pid, int track) {
        json o = {{"name", name}, {"cat", op}, {"pid", pid}, {"tid", track}, {"args", args}};
        if (call_ops().count(op) && where.start_us >= 0 && where.start_us <= where.ts_us) {
            o["ph"] = "X";
            o["ts"] = where.start_us;
            // At least a microsecond, so that a call of no box time shows.
            o["dur"] = std::max<int64_t>(1, where.ts_us - where.start_us);
        } else {
            o["ph"] = "i";
            o["s"] = "t";
            o["ts"] = where.ts_us;
        }
        out.push_back(std::move(o));
    };
    emit(kThreads, tid);
    if (dev)
        emit(kDevices, dev);
    // A presented frame: the framebuffer's blit or a whole LCD frame.
    bool blit = op == "ioctl" && text_of(ev, "name") == "FBIO_BLIT" && ev.value("result", -1) == 0;
    bool lcd = op == "write" && device == "/dev/lcd0" && ev.value("result", -1) > 0;
    if (blit || lcd) {
        json frame = {{"name", blit ? "frame (TV)" : "frame (LCD)"}, {"cat", "frame"}, {"ph", "i"}, {"s", "t"},
                      {"pid", kDevices}, {"tid", dev}, {"ts", where.ts_us}};
        if (ev.contains("hash"))
            frame["args"] = {{"hash", ev["hash"]}};
        out.push_back(std::move(frame));
    }
}

void TimelineBuilder::add_expectation(const Verdict &v, std::vector<json> &out)
{
    if (!expectations_named_) {
        expectations_named_ = true;
        for (auto &o : process_name(kExpectations, "expectations", 3))
            out.push_back(o);
        out.push_back(track_name(kExpectations, 1, "expectations"));
    }
    json args = {{"condition", v.condition}, {"line", v.line}, {"result", v.result}};
    if (!v.why.empty())
        args["why"] = v.why;
    out.push_back({{"name", "expect " + v.name},
                   {"cat", "expectation"},
                   {"ph", "X"},
                   {"pid", kExpectations},
                   {"tid", 1},
                   {"ts", v.at_ms * 1000},
                   {"dur", std::max<int64_t>(1, (v.deadline_ms - v.at_ms) * 1000)},
                   {"args", args}});
    // A marker across the whole timeline where the verdict fell.
    out.push_back({{"name", v.result + ": " + v.name},
                   {"cat", "expectation"},
                   {"ph", "i"},
                   {"s", "g"},
                   {"pid", kExpectations},
                   {"tid", 1},
                   {"ts", v.decided_ms * 1000},
                   {"args", args}});
}

json timeline_of_trace(const std::vector<json> &events)
{
    TimelineBuilder b;
    std::vector<json> out;
    for (const auto &ev : events)
        if (ev.is_object())
            b.add(ev, TimelineBuilder::place_of(ev), out);
    return {{"displayTimeUnit", "ms"}, {"traceEvents", out}};
}

// ---------------------------------------------------------------------------

TimelineFile::TimelineFile(Box &box, std::string path) : box_(box), path_(std::move(path))
{
    f_ = path_.empty() ? tmpfile() : fopen((path_ + ".part").c_str(), "w+");
    if (!f_)
        return;
    fputs("[\n", f_);
    start_ns_ = box_.time_of_ms(0);
    // What was recorded before, as its trace lines say it.
    {
        std::vector<json> objs;
        box_.trace().for_each([&](const json &ev) { builder_.add(ev, TimelineBuilder::place_of(ev), objs); });
        write_locked(objs);
    }
    listener_ = box_.trace().add_listener([this](const json &ev) {
        // Called on the thread that recorded the event, right after it did:
        // the thread and the clock are the event's own.
        TimelinePlace where;
        clock::SelfInfo me;
        int64_t now = clock::now_ns();
        where.ts_us = (now - start_ns_) / 1000;
        if (clock::self_info(me)) {
            where.thread_id = me.id;
            where.thread = std::move(me.name);
            if (me.call == ev.value("op", ""))
                where.start_us = (me.call_start_ns - start_ns_) / 1000;
        } else {
            // On the real clock the threads are the host's: a track per
            // thread by its id, named as the host names it.
            where = TimelineBuilder::place_of(ev);
            where.ts_us = (now - start_ns_) / 1000;
            char name[32] = "";
            pthread_getname_np(pthread_self(), name, sizeof name);
            where.thread_id = static_cast<int>(gettid());
            if (where.thread.empty())
                where.thread = name;
        }
        std::vector<json> objs;
        std::lock_guard<std::mutex> g(m_);
        builder_.add(ev, where, objs);
        write_locked(objs);
    });
}

TimelineFile::~TimelineFile()
{
    std::string err;
    close(err);
}

void TimelineFile::write_locked(const std::vector<json> &objs)
{
    if (!f_)
        return;
    for (const auto &o : objs) {
        fputs(first_ ? "" : ",\n", f_);
        first_ = false;
        fputs(o.dump(-1, ' ', false, json::error_handler_t::replace).c_str(), f_);
    }
}

void TimelineFile::add_expectation(const TimelineBuilder::Verdict &v)
{
    std::vector<json> objs;
    std::lock_guard<std::mutex> g(m_);
    builder_.add_expectation(v, objs);
    write_locked(objs);
}

std::string TimelineFile::text()
{
    std::lock_guard<std::mutex> g(m_);
    if (!f_)
        return "[]\n";
    fflush(f_);
    std::string out;
    int fd = fileno(f_);
    char buf[65536];
    off_t at = 0;
    for (;;) {
        ssize_t n = pread(fd, buf, sizeof buf, at);
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
        at += n;
    }
    return out + "\n]\n";
}

bool TimelineFile::close(std::string &err)
{
    if (listener_) {
        box_.trace().remove_listener(listener_);
        listener_ = 0;
    }
    return end_file(err);
}

bool TimelineFile::end_file(std::string &err)
{
    std::lock_guard<std::mutex> g(m_);
    if (!f_)
        return true;
    fputs("\n]\n", f_);
    bool ok = fclose(f_) == 0;
    f_ = nullptr;
    if (path_.empty())
        return true;
    if (!ok || rename((path_ + ".part").c_str(), path_.c_str()) != 0) {
        err = "cannot write " + path_ + ": " + strerror(errno);
        return false;
    }
    return true;
}

} // namespace boxsim
