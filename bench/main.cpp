// Runs every benchmark and prints the table of figures, references, ratios
// and goals. Arguments are Google Benchmark's own (--benchmark_filter=...).
#include "figures.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/resource.h>
#include <map>
#include <mutex>
#include <regex>

namespace boxbench {

namespace {

std::vector<Figure> &figure_list()
{
    static std::vector<Figure> list;
    return list;
}

std::vector<std::pair<std::string, void (*)()>> &measure_list()
{
    static std::vector<std::pair<std::string, void (*)()>> list;
    return list;
}

std::vector<std::pair<std::string, void (*)()>> &pass_list()
{
    static std::vector<std::pair<std::string, void (*)()>> list;
    return list;
}

struct FigurePair {
    std::string figure, reference;
    void (*setup)();
    void (*a)();
    void (*b)();
};
std::vector<FigurePair> &pair_list()
{
    static std::vector<FigurePair> list;
    return list;
}

// A paired figure's result: the medians of each side, the median of the
// rounds' ratios and the 10th and 90th percentiles of those ratios.
struct PairResult {
    double a_ns = 0, b_ns = 0, ratio = 0, low = 0, high = 0;
    int rounds = 0, dropped = 0;
};

double thread_cpu_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// CPU time of one call, over a batch of n calls.
double time_batch(void (*op)(), long n)
{
    double t0 = thread_cpu_ns();
    for (long i = 0; i < n; ++i)
        op();
    return (thread_cpu_ns() - t0) / static_cast<double>(n);
}

// How many calls make a batch of about `target_ns` (warming the caches on the way).
long batch_size(void (*op)(), double target_ns)
{
    for (long n = 1;; n *= 2) {
        double per_call = time_batch(op, n);
        if (per_call * static_cast<double>(n) >= target_ns / 4 || n >= (1L << 24))
            return std::max(1L, static_cast<long>(target_ns / std::max(per_call, 1.0)));
    }
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    double at = p * static_cast<double>(v.size() - 1);
    size_t i = static_cast<size_t>(at);
    double frac = at - static_cast<double>(i);
    return i + 1 < v.size() ? v[i] * (1 - frac) + v[i + 1] * frac : v[i];
}

// Times the thread gave up the processor, by choice or not.
long context_switches()
{
    rusage ru{};
    getrusage(RUSAGE_THREAD, &ru);
    return ru.ru_nvcsw + ru.ru_nivcsw;
}

// One pair's rounds so far.
struct PairRun {
    const FigurePair *pair;
    long na = 1, nb = 1;
    std::vector<double> as, bs, ratios;
    int dropped = 0;
};

// One round of a pair: a few short turns of each side in alternation (A B
// A B ..., or B A B A ... every other round), each turn a batch of about
// 50 us (one call of a pass): the two sides meet the same state of the
// machine (what the other core does to the memory bus and the caches they
// share, the clock frequency) within a fraction of a millisecond. The pair's
// state is set up again first, and each side run once untimed, since the
// pairs take their rounds in turn and another pair's round ran before. A
// round in which the thread lost the processor (its caches then held
// another program's data) is measured again.
bool pair_round(PairRun &p, int r)
{
    constexpr int kTurns = 2;
    p.pair->setup();
    p.pair->a();
    p.pair->b();
    double ta = 0, tb = 0;
    long switches = context_switches();
    for (int turn = 0; turn < kTurns; ++turn) {
        if (r % 2 == 0) {
            ta += time_batch(p.pair->a, p.na);
            tb += time_batch(p.pair->b, p.nb);
        } else {
            tb += time_batch(p.pair->b, p.nb);
            ta += time_batch(p.pair->a, p.na);
        }
    }
    if (context_switches() != switches) {
        ++p.dropped;
        return false;
    }
    p.as.push_back(ta / kTurns);
    p.bs.push_back(tb / kTurns);
    p.ratios.push_back(ta / tb);
    return true;
}

// The pairs take their rounds in turn, round 1 of each, then round 2 of
// each, ...: every pair's median then spans the whole measurement instead
// of one second of it, and a busy spell of the machine touches a few rounds
// of every pair instead of most rounds of one.
std::map<std::string, PairResult> measure_pairs(const std::vector<const FigurePair *> &chosen, int rounds)
{
    constexpr double kTurnNs = 0.05e6;
    std::vector<PairRun> runs;
    for (const FigurePair *s : chosen) {
        PairRun p;
        p.pair = s;
        s->setup();
        p.na = batch_size(s->a, kTurnNs);
        p.nb = batch_size(s->b, kTurnNs);
        runs.push_back(std::move(p));
    }
    for (int r = 0; r < rounds; ++r)
        for (PairRun &p : runs)
            for (int tries = 0; tries < 20 && !pair_round(p, r); ++tries) {
            }
    std::map<std::string, PairResult> out;
    for (const PairRun &p : runs) {
        PairResult res;
        if (p.ratios.empty())
            continue;
        res.a_ns = percentile(p.as, 0.5);
        res.b_ns = percentile(p.bs, 0.5);
        res.ratio = percentile(p.ratios, 0.5);
        res.low = percentile(p.ratios, 0.1);
        res.high = percentile(p.ratios, 0.9);
        res.rounds = static_cast<int>(p.ratios.size());
        res.dropped = p.dropped;
        out[p.pair->figure] = res;
    }
    return out;
}

std::mutex paired_m;
std::map<std::string, PairResult> &paired()
{
    static std::map<std::string, PairResult> m;
    return m;
}

std::mutex values_m;
std::map<std::string, std::pair<double, std::string>> &values()
{
    static std::map<std::string, std::pair<double, std::string>> v;
    return v;
}

} // namespace

int add_figure(Figure f)
{
    figure_list().push_back(std::move(f));
    return 0;
}

const std::vector<Figure> &figures() { return figure_list(); }

int add_pair(const std::string &figure, const std::string &reference, void (*setup)(), void (*a)(), void (*b)())
{
    pair_list().push_back({figure, reference, setup, a, b});
    return 0;
}

void report_pair(const std::string &figure, const std::vector<double> &a, const std::vector<double> &b)
{
    if (a.empty() || a.size() != b.size())
        return;
    std::vector<double> ratios;
    for (size_t i = 0; i < a.size(); ++i)
        ratios.push_back(b[i] > 0 ? a[i] / b[i] : 0);
    PairResult r;
    r.a_ns = percentile(a, 0.5);
    r.b_ns = percentile(b, 0.5);
    r.ratio = percentile(ratios, 0.5);
    r.low = percentile(ratios, 0.1);
    r.high = percentile(ratios, 0.9);
    r.rounds = static_cast<int>(a.size());
    r.dropped = -1;
    std::lock_guard<std::mutex> g(paired_m);
    paired()[figure] = r;
}

int add_measure(const std::string &name, void (*run)())
{
    measure_list().emplace_back(name, run);
    return 0;
}

int add_pass(const std::string &name, void (*run)())
{
    pass_list().emplace_back(name, run);
    return 0;
}

void report_value(const std::string &name, double value, const std::string &detail)
{
    std::lock_guard<std::mutex> g(values_m);
    values()[name] = {value, detail};
}

} // namespace boxbench

extern "C" __attribute__((noinline)) void boxbench_measured_pass(void (*run)())
{
    run();
    __asm__ volatile("" ::: "memory");
}

int main(int argc, char **argv)
{
    using namespace boxbench;
    // --once=NAME: the pass alone, for counting its instructions.
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--once=", 7) != 0)
            continue;
        for (const auto &[name, run] : pass_list())
            if (name == argv[i] + 7) {
                run();
                boxbench_measured_pass(run);
                return 0;
            }
        std::fprintf(stderr, "box_bench: no pass %s; passes:", argv[i] + 7);
        for (const auto &p : pass_list())
            std::fprintf(stderr, " %s", p.first.c_str());
        std::fprintf(stderr, "\n");
        return 2;
    }
    std::string filter = ".*";
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--benchmark_filter=", 19) == 0)
            filter = argv[i] + 19;
    // Google Benchmark reads its own options (--benchmark_filter); the
    // figures are measured by this program, each beside its reference.
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    const std::regex selected(filter == "all" ? ".*" : filter);
    // The paired figures, each interleaved with its reference.
    int rounds = 401;
    if (const char *r = getenv("BOX_BENCH_ROUNDS"))
        rounds = std::max(3, atoi(r));
    std::vector<const FigurePair *> chosen;
    for (const auto &p : pair_list())
        if (std::regex_search(p.figure, selected)) {
            std::fprintf(stderr, "measuring %s against %s, %d rounds\n", p.figure.c_str(), p.reference.c_str(), rounds);
            chosen.push_back(&p);
        }
    for (auto &[name, r] : measure_pairs(chosen, rounds)) {
        std::lock_guard<std::mutex> g(paired_m);
        paired()[name] = r;
    }
    for (const auto &[name, run] : measure_list())
        if (std::regex_search(name, selected)) {
            std::fprintf(stderr, "measuring %s\n", name.c_str());
            run();
        }

    auto value_of = [&](const std::string &name, double &v, std::string &detail) {
        std::lock_guard<std::mutex> g(values_m);
        auto jt = values().find(name);
        if (jt == values().end())
            return false;
        v = jt->second.first;
        detail = jt->second.second;
        return true;
    };

    int not_met = 0, missing = 0;
    std::printf("\n%-62s %12s %12s %8s %8s  %s\n", "figure", "measured", "reference", "ratio", "goal", "");
    for (const Figure &f : figures()) {
        double fig = 0, ref = 0;
        std::string detail, ref_detail;
        std::unique_lock<std::mutex> pg(paired_m);
        auto pr = paired().find(f.figure);
        const bool is_pair = pr != paired().end();
        const PairResult r = is_pair ? pr->second : PairResult{};
        pg.unlock();
        if (is_pair) {
            const bool met = f.at_most ? r.ratio <= f.goal : r.ratio >= f.goal;
            not_met += met ? 0 : 1;
            char fig_text[32], ref_text[32], ratio_text[32], goal_text[32], spread[96];
            const char *format = f.value_unit == "ns" ? "%.0f %s" : "%.1f %s";
            std::snprintf(fig_text, sizeof fig_text, format, r.a_ns, f.value_unit.c_str());
            std::snprintf(ref_text, sizeof ref_text, format, r.b_ns, f.value_unit.c_str());
            std::snprintf(ratio_text, sizeof ratio_text, "%.2fx", r.ratio);
            std::snprintf(goal_text, sizeof goal_text, "%s%.2fx", f.at_most ? "<=" : ">=", f.goal);
            if (r.dropped >= 0)
                std::snprintf(spread, sizeof spread,
                              "median of %d interleaved rounds (%d interrupted, again); 10-90%%: %.2fx-%.2fx", r.rounds,
                              r.dropped, r.low, r.high);
            else
                std::snprintf(spread, sizeof spread, "median of %d alternating rounds; 10-90%%: %.2fx-%.2fx",
                              r.rounds, r.low, r.high);
            std::printf("%-62s %12s %12s %8s %8s  %s  %s\n", f.title.c_str(), fig_text, ref_text, ratio_text,
                        goal_text, met ? "met" : "not met", spread);
            continue;
        }
        if (!value_of(f.figure, fig, detail)) {
            ++missing;
            continue;  // filtered out
        }
        double ratio = fig;
        char ref_text[32] = "-";
        char fig_text[32];
        if (!f.reference.empty()) {
            if (!value_of(f.reference, ref, ref_detail) || ref <= 0) {
                ++missing;
                continue;
            }
            ratio = fig / ref;
            const char *format = f.value_unit == "ns" ? "%.0f %s" : "%.1f %s";
            std::snprintf(fig_text, sizeof fig_text, format, fig, f.value_unit.c_str());
            std::snprintf(ref_text, sizeof ref_text, format, ref, f.value_unit.c_str());
        } else {
            std::snprintf(fig_text, sizeof fig_text, "%.2f %s", fig, f.unit.c_str());
        }
        const bool met = f.at_most ? ratio <= f.goal : ratio >= f.goal;
        not_met += met ? 0 : 1;
        char goal_text[32];
        std::snprintf(goal_text, sizeof goal_text, "%s%.2f%s", f.at_most ? "<=" : ">=", f.goal,
                      f.reference.empty() ? "" : "x");
        char ratio_text[32] = "-";
        if (!f.reference.empty())
            std::snprintf(ratio_text, sizeof ratio_text, "%.2fx", ratio);
        std::printf("%-62s %12s %12s %8s %8s  %s%s%s\n", f.title.c_str(), fig_text, ref_text, ratio_text,
                    goal_text, met ? "met" : "not met", detail.empty() ? "" : "  ", detail.c_str());
    }
    std::printf("\n%d of %zu goals not met%s\n", not_met, figures().size(),
                missing ? " (some figures were not run)" : "");
    return 0;
}
