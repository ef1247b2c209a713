// The trace: every interaction of the system with the simulated box, one JSON
// object per line, each with "t" (milliseconds since the box was made) and
// "op". Tests read it to state what the box saw; users read it to debug.
#pragma once

#include "core/clock.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace boxsim {

class Trace {
public:
    using json = nlohmann::json;
    using Listener = std::function<void(const json &)>;

    // `start_ns`: the box's clock when the box was made.
    explicit Trace(int64_t start_ns) : start_ns_(start_ns) {}

    // Adds "t" and records the event.
    void record(json ev);

    std::vector<json> events() const;
    // Visits every event kept, oldest first, without copying them; the trace
    // is locked meanwhile, so the visitor must not record.
    void for_each(const std::function<void(const json &)> &visit) const;
    // Events whose "op" is `op` (and, if given, whose "path" is `path`).
    std::vector<json> find(const std::string &op, const std::string &path = {}) const;
    size_t count(const std::string &op, const std::string &path = {}) const;
    bool contains(const std::function<bool(const json &)> &pred) const;
    // Waits until an event satisfies pred; true if one did before the timeout.
    bool wait_for(const std::function<bool(const json &)> &pred, std::chrono::milliseconds timeout) const;

    // Every event is also written as a line to this stream (may be null);
    // with `replay`, the events recorded so far are written first.
    void set_sink(FILE *sink, bool replay = false);
    // One event as a trace line: "t" and "op" first, then the rest by name.
    static std::string format(const json &ev);
    // Every event is also passed to the listener (the web front panel).
    int add_listener(Listener l);
    void remove_listener(int id);

    // Keeps at most this many events in memory (at least 16; 0 keeps none).
    // The sink and the listeners still get every event.
    void set_limit(size_t limit);

private:
    // Forgets the n oldest events kept (caller holds m_).
    void drop_oldest(size_t n);

    int64_t start_ns_;
    mutable std::mutex m_;
    mutable CondVar cv_;
    std::vector<json> events_;
    size_t limit_ = 200000;
    size_t dropped_ = 0;
    FILE *sink_ = nullptr;
    std::vector<std::pair<int, Listener>> listeners_;
    int next_listener_ = 1;
};

} // namespace boxsim
