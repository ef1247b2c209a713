#include "boxsim/diff.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace boxsim {

namespace {

std::string field(const json &ev, const char *key)
{
    auto it = ev.find(key);
    if (it == ev.end())
        return {};
    return it->is_string() ? it->get<std::string>() : it->dump();
}

// The event as compared: without its time when only the order counts.
json comparable(const json &ev, bool ignore_time)
{
    if (!ignore_time || !ev.is_object() || !ev.contains("t"))
        return ev;
    json c = ev;
    c.erase("t");
    return c;
}

std::string line_of(const json &ev)
{
    // "t", "thread" and "op" first, as a person reads a trace line.
    std::string out = "{";
    bool first = true;
    auto put = [&](const std::string &k, const json &v) {
        out += (first ? "" : ",") + json(k).dump() + ":" + v.dump(-1, ' ', false, json::error_handler_t::replace);
        first = false;
    };
    for (const char *k : {"t", "thread", "op"})
        if (ev.contains(k))
            put(k, ev[k]);
    for (auto it = ev.begin(); ev.is_object() && it != ev.end(); ++it)
        if (it.key() != "t" && it.key() != "thread" && it.key() != "op")
            put(it.key(), it.value());
    return out + "}";
}

void count_events(const std::vector<json> &events, std::map<std::string, size_t> &kinds, std::map<std::string, size_t> &threads)
{
    for (const auto &ev : events) {
        kinds[event_kind(ev)]++;
        std::string t = field(ev, "thread");
        threads[t.empty() ? "(no thread)" : t]++;
    }
}

std::map<std::string, std::pair<size_t, size_t>> differing(const std::map<std::string, size_t> &a,
                                                           const std::map<std::string, size_t> &b)
{
    std::map<std::string, std::pair<size_t, size_t>> out;
    for (const auto &[k, n] : a) {
        auto it = b.find(k);
        size_t m = it == b.end() ? 0 : it->second;
        if (n != m)
            out[k] = {n, m};
    }
    for (const auto &[k, m] : b)
        if (!a.count(k))
            out[k] = {0, m};
    return out;
}

void summary_table(std::string &out, const char *title, const std::map<std::string, std::pair<size_t, size_t>> &rows)
{
    if (rows.empty()) {
        out += std::string("  ") + title + ": the same counts\n";
        return;
    }
    // The largest differences first.
    std::vector<std::pair<std::string, std::pair<size_t, size_t>>> sorted(rows.begin(), rows.end());
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto &x, const auto &y) {
        auto d = [](const auto &r) {
            return r.second.first > r.second.second ? r.second.first - r.second.second : r.second.second - r.second.first;
        };
        return d(x) > d(y);
    });
    size_t width = 4;
    for (const auto &r : sorted)
        width = std::max(width, std::min<size_t>(r.first.size(), 60));
    char line[256];
    snprintf(line, sizeof line, "  %-*s %8s %8s %9s\n", static_cast<int>(width), title, "A", "B", "B - A");
    out += line;
    for (const auto &[k, ab] : sorted) {
        snprintf(line, sizeof line, "  %-*.*s %8zu %8zu %+9lld\n", static_cast<int>(width), 60, k.c_str(), ab.first,
                 ab.second, static_cast<long long>(ab.second) - static_cast<long long>(ab.first));
        out += line;
    }
}

} // namespace

bool load_trace_run(const std::string &path, TraceRun &run, std::string &err)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    std::string file = path;
    if (fs::is_directory(path, ec)) {
        file.clear();
        for (const char *name : {"trace.jsonl", "trace.jsonl.part"})
            if (fs::is_regular_file(path + "/" + name, ec)) {
                file = path + "/" + name;
                break;
            }
        if (file.empty()) {
            err = path + " holds no trace (no trace.jsonl: is it a boxsim --out folder?)";
            return false;
        }
    } else if (!fs::is_regular_file(path, ec)) {
        err = path + ": no such folder or trace file";
        return false;
    }
    std::ifstream in(file);
    if (!in) {
        err = "cannot read " + file;
        return false;
    }
    run.source = file;
    run.events.clear();
    std::string line;
    size_t n = 0;
    while (std::getline(in, line)) {
        ++n;
        if (line.empty())
            continue;
        json ev = json::parse(line, nullptr, false);
        if (ev.is_discarded() || !ev.is_object() || !ev.contains("op")) {
            err = file + ":" + std::to_string(n) + ": not a trace event";
            return false;
        }
        run.events.push_back(std::move(ev));
    }
    if (run.events.empty()) {
        err = file + " holds no trace events";
        return false;
    }
    return true;
}

std::string event_kind(const json &ev)
{
    std::string op = field(ev, "op");
    if (op == "ioctl")
        return op + " " + field(ev, "name");
    if (op == "event")
        return op + " " + field(ev, "what");
    if (op == "fault")
        return op + " " + field(ev, "call");
    if (op == "action") {
        std::string text = field(ev, "text");
        return op + " " + text.substr(0, text.find(' '));
    }
    return op;
}

TraceDiff diff_traces(const std::vector<json> &a, const std::vector<json> &b, const DiffOptions &opt)
{
    TraceDiff d;
    size_t n = std::min(a.size(), b.size());
    size_t i = 0;
    while (i < n && comparable(a[i], opt.ignore_time) == comparable(b[i], opt.ignore_time))
        ++i;
    d.first = i;
    d.same = i == a.size() && i == b.size();
    std::map<std::string, size_t> ka, kb, ta, tb;
    count_events(a, ka, ta);
    count_events(b, kb, tb);
    d.by_kind = differing(ka, kb);
    d.by_thread = differing(ta, tb);
    return d;
}

std::string diff_report(const TraceRun &a, const TraceRun &b, const TraceDiff &d, const DiffOptions &opt)
{
    std::string out;
    char line[512];
    if (d.same) {
        snprintf(line, sizeof line, "the runs are the same: %zu events%s\n", a.events.size(),
                 opt.ignore_time ? " in the same order (times not compared)" : "");
        return line;
    }
    auto at = [](const std::vector<json> &evs, size_t i) -> std::string {
        if (i >= evs.size())
            return "the end of the trace";
        return "t=" + field(evs[i], "t") + " ms";
    };
    snprintf(line, sizeof line, "the runs part at event %zu (A: %s, B: %s)%s\n", d.first + 1,
             at(a.events, d.first).c_str(), at(b.events, d.first).c_str(),
             opt.ignore_time ? ", comparing the order of events only" : "");
    out += line;
    out += "  A: " + a.source + " (" + std::to_string(a.events.size()) + " events)\n";
    out += "  B: " + b.source + " (" + std::to_string(b.events.size()) + " events)\n\n";
    size_t from = d.first > opt.context ? d.first - opt.context : 0;
    auto number = [](size_t i) {
        char buf[32];
        snprintf(buf, sizeof buf, "%7zu", i + 1);
        return std::string(buf);
    };
    if (from < d.first)
        out += "  both:\n";
    for (size_t i = from; i < d.first; ++i)
        out += "    " + number(i) + "  " + line_of(a.events[i]) + "\n";
    for (auto [name, run] : {std::pair{"A", &a}, std::pair{"B", &b}}) {
        out += std::string("  ") + name + ":\n";
        size_t to = std::min(run->events.size(), d.first + 1 + opt.context);
        if (d.first >= run->events.size())
            out += "  > " + std::string(7, ' ') + "  (the trace ends here)\n";
        for (size_t i = d.first; i < to; ++i)
            out += std::string(i == d.first ? "  > " : "    ") + number(i) + "  " + line_of(run->events[i]) + "\n";
    }
    out += "\nevents that differ in number (A, B):\n";
    summary_table(out, "kind", d.by_kind);
    summary_table(out, "thread", d.by_thread);
    return out;
}

int run_diff(int argc, char **argv)
{
    DiffOptions opt;
    std::vector<std::string> paths;
    auto bad = [](const std::string &msg) {
        fprintf(stderr, "boxsim diff: %s\n", msg.c_str());
        return 2;
    };
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            printf("usage: boxsim diff RUN_A RUN_B [--ignore-time] [--context N]\n\n"
                   "Where two runs part: RUN_A and RUN_B are boxsim --out folders or trace files\n"
                   "(trace.jsonl). Prints the first event that differs with N events of context\n"
                   "(default 3) on both sides, then the counts of events by kind and by thread\n"
                   "that differ. --ignore-time compares the order of events only.\n"
                   "Exit status: 0 the same, 1 they differ, 2 bad input.\n");
            return 0;
        }
        if (arg == "--ignore-time") {
            opt.ignore_time = true;
        } else if (arg == "--context") {
            if (i + 1 >= argc)
                return bad("--context needs a number");
            std::string v = argv[++i];
            char *end = nullptr;
            long n = strtol(v.c_str(), &end, 10);
            if (v.empty() || *end || n < 0 || n > 1000)
                return bad("--context takes a number from 0 to 1000, not '" + v + "'");
            opt.context = static_cast<size_t>(n);
        } else if (arg.starts_with("--")) {
            return bad("unknown option '" + arg + "' (see boxsim diff --help)");
        } else {
            paths.push_back(arg);
        }
    }
    if (paths.size() != 2)
        return bad("needs two runs: boxsim diff RUN_A RUN_B (output folders or trace files)");
    TraceRun a, b;
    std::string err;
    if (!load_trace_run(paths[0], a, err) || !load_trace_run(paths[1], b, err))
        return bad(err);
    TraceDiff d = diff_traces(a.events, b.events, opt);
    fputs(diff_report(a, b, d, opt).c_str(), stdout);
    return d.same ? 0 : 1;
}

} // namespace boxsim
