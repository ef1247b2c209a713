// A run's trace as a timeline in the trace-event format that Chrome's
// (chrome://tracing) and Perfetto's (ui.perfetto.dev) viewers open: one track
// per thread of the box (the system's tasks, the device models' and shell
// commands' threads, the scenario driver) and one per device; each call of
// the system as a slice as long as it took in box time (a poll that waited a
// second is a second long), on its thread's track and on its device's;
// actions, faults, hardware events and presented frames as instants; a
// script's expectations as slices over their windows with a marker where each
// held or failed.
//
// The live recorder (TimelineFile) knows each event's thread and the box time
// its call began, to the microsecond. A trace file alone (timeline_of_trace)
// gives what its lines say: the thread named by "thread", times in
// milliseconds, calls as instants.
#pragma once

#include "core/box.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace boxsim {

using json = nlohmann::json;

// Where and when a trace event happened, beyond its trace line.
struct TimelinePlace {
    int thread_id = -1;     // the box thread's number in the run; -1: by its name
    std::string thread;     // its name; "": not one of the box's threads
    int64_t ts_us = 0;      // box time of the event, since the box was made
    int64_t start_us = -1;  // box time the call it reports began; -1: not a call's
};

// Turns trace events into trace-event objects. It remembers the tracks it
// has named, so each track's name comes once, before its first event.
class TimelineBuilder {
public:
    // The objects for one trace event, appended to `out`.
    void add(const json &ev, const TimelinePlace &where, std::vector<json> &out);

    // An expectation of a script: its window as a slice on the expectations'
    // track, and a marker across every track where it held or failed.
    struct Verdict {
        std::string name, condition;
        int line = 0;
        int64_t at_ms = 0, deadline_ms = 0;
        std::string result;  // held, failed, written
        int64_t decided_ms = 0;
        std::string why;
    };
    void add_expectation(const Verdict &v, std::vector<json> &out);

    // The place a trace line gives by itself: its "t" and "thread".
    static TimelinePlace place_of(const json &ev);

private:
    int thread_track(const TimelinePlace &where, std::vector<json> &out);
    int device_track(const std::string &device, std::vector<json> &out);

    std::map<int, int> by_id_;                // box thread number -> track
    std::map<std::string, int> by_name_;      // thread name (no number) -> track
    std::map<std::string, int> devices_;      // device -> track
    int next_thread_track_ = 1;
    bool expectations_named_ = false;
    bool processes_named_ = false;
};

// A whole trace (the events of trace.jsonl) as a timeline document.
json timeline_of_trace(const std::vector<json> &events);

// Records a box's timeline into a file while it runs: the JSON array form of
// the format, one event a line, readable (and openable in a viewer) while it
// grows. Without a path it keeps it in an unnamed temporary file, for the
// front panel's download.
class TimelineFile {
public:
    // Writes what the box's trace holds and listens to it from then on;
    // `path` has a .part name until close(). ok(): the file could be made.
    TimelineFile(Box &box, std::string path);
    ~TimelineFile();
    TimelineFile(const TimelineFile &) = delete;
    TimelineFile &operator=(const TimelineFile &) = delete;

    bool ok() const { return f_ != nullptr; }
    void add_expectation(const TimelineBuilder::Verdict &v);
    // The document so far, closed.
    std::string text();
    // Stops listening, ends the document and gives the file its name.
    bool close(std::string &err);
    // Ends the document and names the file without touching the box (which
    // may be gone); later events are dropped.
    bool end_file(std::string &err);

private:
    void write_locked(const std::vector<json> &objs);

    Box &box_;
    std::string path_;
    int listener_ = 0;
    int64_t start_ns_ = 0;
    std::mutex m_;
    FILE *f_ = nullptr;
    bool first_ = true;
    TimelineBuilder builder_;
};

} // namespace boxsim
