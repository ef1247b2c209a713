#include "core/trace.h"

#include <algorithm>

namespace boxsim {

void Trace::record(json ev)
{
    json line = std::move(ev);
    if (!line.is_object())
        line = json{{"op", "note"}, {"value", line}};
    // Which of the box's threads did it (on the virtual clock): the
    // timeline's tracks and a diff's summary by thread read it.
    clock::SelfInfo me;
    if (!line.contains("thread") && clock::self_info(me))
        line["thread"] = std::move(me.name);

    std::vector<Listener> ls;
    {
        std::lock_guard<std::mutex> g(m_);
        // Timed under the lock, so that lines of threads recording at the
        // same moment are kept, and written, in time order.
        int64_t t = (clock::now_ns() - start_ns_) / 1000000;
        line["t"] = t;
        if (sink_) {
            fprintf(sink_, "%s\n", format(line).c_str());
            fflush(sink_);
        }
        // Kept by moving when nobody listens: a copy is a new allocation
        // per member, for every event of a run.
        for (auto &l : listeners_)
            ls.push_back(l.second);
        if (ls.empty())
            events_.push_back(std::move(line));
        else
            events_.push_back(line);
        // Past the limit, a quarter of it goes at once, not one per event.
        if (events_.size() > limit_)
            drop_oldest(limit_ ? limit_ / 4 + 1 : events_.size());
    }
    cv_.notify_all();
    for (auto &l : ls)
        l(line);
}

std::string Trace::format(const json &line)
{
    // "t" and "op" lead the line; the other members follow by name (the
    // order an object keeps them in), each written as the whole object's
    // text would have it.
    auto text = [](const json &v) { return v.dump(-1, ' ', false, json::error_handler_t::replace); };
    std::string out = "{\"t\":";
    out.append(std::to_string(line.value("t", static_cast<int64_t>(0)))).append(",\"op\":");
    auto op = line.find("op");
    out.append(op != line.end() ? text(*op) : "\"\"");
    for (auto it = line.begin(); line.is_object() && it != line.end(); ++it) {
        if (it.key() == "t" || it.key() == "op")
            continue;
        out.append(",").append(text(json(it.key()))).append(":").append(text(it.value()));
    }
    out.append("}");
    return out;
}

std::vector<Trace::json> Trace::events() const
{
    std::lock_guard<std::mutex> g(m_);
    return events_;
}

void Trace::for_each(const std::function<void(const json &)> &visit) const
{
    std::lock_guard<std::mutex> g(m_);
    for (const auto &e : events_)
        visit(e);
}

namespace {
// Whether the event's "op" is `op` and, with a `path`, its "path" is `path`;
// read in place, since tests count events of long traces.
bool matches(const Trace::json &e, const std::string &op, const std::string &path)
{
    auto o = e.find("op");
    if (o == e.end() || !o->is_string() || o->get_ref<const std::string &>() != op)
        return false;
    if (path.empty())
        return true;
    auto p = e.find("path");
    return p != e.end() && p->is_string() && p->get_ref<const std::string &>() == path;
}
} // namespace

std::vector<Trace::json> Trace::find(const std::string &op, const std::string &path) const
{
    std::vector<json> out;
    std::lock_guard<std::mutex> g(m_);
    for (const auto &e : events_)
        if (matches(e, op, path))
            out.push_back(e);
    return out;
}

size_t Trace::count(const std::string &op, const std::string &path) const
{
    std::lock_guard<std::mutex> g(m_);
    return static_cast<size_t>(std::count_if(events_.begin(), events_.end(),
                                             [&](const json &e) { return matches(e, op, path); }));
}

bool Trace::contains(const std::function<bool(const json &)> &pred) const
{
    std::lock_guard<std::mutex> g(m_);
    return std::any_of(events_.begin(), events_.end(), pred);
}

bool Trace::wait_for(const std::function<bool(const json &)> &pred, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> g(m_);
    size_t seen = 0;
    int64_t deadline = clock::now_ns() + static_cast<int64_t>(timeout.count()) * 1000000;
    for (;;) {
        for (; seen < events_.size(); ++seen)
            if (pred(events_[seen]))
                return true;
        size_t had = events_.size();
        if (!cv_.wait_until(g, deadline, [&] { return events_.size() != had; }, "trace wait")) {
            for (; seen < events_.size(); ++seen)
                if (pred(events_[seen]))
                    return true;
            return false;
        }
        // Events may have been dropped from the front while we waited.
        seen = std::min(seen, events_.size());
    }
}

void Trace::set_sink(FILE *sink, bool replay)
{
    std::lock_guard<std::mutex> g(m_);
    sink_ = sink;
    if (sink_ && replay) {
        for (const auto &e : events_)
            fprintf(sink_, "%s\n", format(e).c_str());
        fflush(sink_);
    }
}

int Trace::add_listener(Listener l)
{
    std::lock_guard<std::mutex> g(m_);
    int id = next_listener_++;
    listeners_.emplace_back(id, std::move(l));
    return id;
}

void Trace::remove_listener(int id)
{
    std::lock_guard<std::mutex> g(m_);
    listeners_.erase(std::remove_if(listeners_.begin(), listeners_.end(),
                                    [id](const auto &p) { return p.first == id; }),
                     listeners_.end());
}

void Trace::set_limit(size_t limit)
{
    std::lock_guard<std::mutex> g(m_);
    limit_ = limit == 0 ? 0 : std::max<size_t>(limit, 16);
    if (events_.size() > limit_)
        drop_oldest(events_.size() - limit_);
}

void Trace::drop_oldest(size_t n)
{
    events_.erase(events_.begin(), events_.begin() + static_cast<std::ptrdiff_t>(n));
    dropped_ += n;
}

} // namespace boxsim
