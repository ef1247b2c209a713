// boxsim diff: where two runs part. It reads the traces of two runs (output
// folders or trace files), finds the first event that differs, and sums up
// how the runs differ by kind of event and by thread. It answers "what did
// this seed do differently from that one" and "what did this commit change
// in the same seed".
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace boxsim {

using json = nlohmann::json;

// A run's trace: the events in order, and where they were read from.
struct TraceRun {
    std::string source;  // the file
    std::vector<json> events;
};

// Reads the trace of a run: `path` is an output folder (its trace.jsonl, or
// trace.jsonl.part of a run still going or cut off) or a trace file. False
// with `err` set when there is no trace there or a line is no trace event.
bool load_trace_run(const std::string &path, TraceRun &run, std::string &err);

struct DiffOptions {
    bool ignore_time = false;  // compare the order of events only
    size_t context = 3;        // events shown before and after where they part
};

// How two traces differ.
struct TraceDiff {
    bool same = true;
    size_t first = 0;  // index of the first event that differs (or where one trace ends)
    // Counts of events by kind and by thread, A and B, only where they differ.
    std::map<std::string, std::pair<size_t, size_t>> by_kind, by_thread;
};

// An event's kind for the summary: its op, and for ioctls the request, for
// hardware events what happened, for faults the call.
std::string event_kind(const json &ev);

TraceDiff diff_traces(const std::vector<json> &a, const std::vector<json> &b, const DiffOptions &opt);

// The report a person reads: where the runs part with context on both sides,
// then the counts that differ.
std::string diff_report(const TraceRun &a, const TraceRun &b, const TraceDiff &d, const DiffOptions &opt);

// `boxsim diff A B [--ignore-time] [--context N]`: 0 when the runs are the
// same, 1 when they differ, 2 for bad input (one message).
int run_diff(int argc, char **argv);

} // namespace boxsim
