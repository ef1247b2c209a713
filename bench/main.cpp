// Runs every benchmark and prints the table of figures, references, ratios
// and goals. Arguments are Google Benchmark's own (--benchmark_filter=...).
#include "figures.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <regex>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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
    int rounds = 0, kept = 0, dropped = 0, processes = 1;
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

// The quietest quarter of a pair's rounds in one process. Other programs
// on the machine slow both sides of a round, but not alike: the drawing is
// arithmetic, the references are memory copies, and the passes of a whole
// page wait on a memory bus that the neighbours share. So the median of all
// rounds' ratios moved with the load: the rescue TV pass read 1.18x in one
// run and 1.33x in the next, minutes apart under a load average of 9. A
// round is the quieter the nearer both its sides are to their own fastest
// (each side's time over its 10th percentile, the larger of the two); the
// figure is the median ratio of the quarter of the rounds that are
// quietest, its spread the 10th to 90th percentile of their ratios. Load
// only adds time, so these rounds show what the code costs when the
// machine leaves it alone; a change of the code moves them as it moves
// every round.
struct Quiet {
    std::vector<double> a, b, ratios;
};
Quiet quietest(const std::vector<double> &as, const std::vector<double> &bs)
{
    const double fast_a = std::max(percentile(as, 0.1), 1e-9), fast_b = std::max(percentile(bs, 0.1), 1e-9);
    std::vector<double> disturbance;
    for (size_t i = 0; i < as.size(); ++i)
        disturbance.push_back(std::max(as[i] / fast_a, bs[i] / fast_b));
    const double cut = percentile(disturbance, 0.25);
    Quiet q;
    for (size_t i = 0; i < as.size(); ++i)
        if (disturbance[i] <= cut) {
            q.a.push_back(as[i]);
            q.b.push_back(bs[i]);
            q.ratios.push_back(bs[i] > 0 ? as[i] / bs[i] : 0);
        }
    return q;
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
std::vector<PairRun> measure_rounds(const std::vector<const FigurePair *> &chosen, int rounds)
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
    return runs;
}

// The rounds are taken by several processes one after the other, each
// making its own simulated box: where a process's memory lies (the
// simulated framebuffer's pages above all, mapped once for its life)
// decided a whole run's figures. The rescue TV pass read from 1.11x to
// 1.29x in five runs, each steady from its first round to its last. Each
// process keeps the quietest quarter of its rounds (quietest), and
// the figure is the median ratio of all the rounds kept.
std::map<std::string, PairResult> measure_pairs(const std::vector<const FigurePair *> &chosen, int rounds,
                                                int processes)
{
    struct Kept {
        std::vector<double> a, b, ratios;
        int rounds = 0, dropped = 0;
    };
    std::vector<Kept> kept(chosen.size());
    FILE *dump = nullptr;
    if (const char *path = getenv("BOX_BENCH_DUMP"))
        dump = std::fopen(path, "w");
    const int per_process = (rounds + processes - 1) / processes;
    for (int k = 0; k < processes; ++k) {
        int fds[2];
        if (pipe(fds) != 0) {
            std::perror("box_bench: pipe");
            std::exit(1);
        }
        std::fflush(nullptr);
        const pid_t child = fork();
        if (child < 0) {
            std::perror("box_bench: fork");
            std::exit(1);
        }
        if (child == 0) {
            close(fds[0]);
            FILE *out = fdopen(fds[1], "w");
            const std::vector<PairRun> runs = measure_rounds(chosen, per_process);
            for (size_t i = 0; i < runs.size(); ++i) {
                std::fprintf(out, "%zu dropped %d\n", i, runs[i].dropped);
                for (size_t j = 0; j < runs[i].as.size(); ++j)
                    std::fprintf(out, "%zu %.17g %.17g\n", i, runs[i].as[j], runs[i].bs[j]);
            }
            std::fclose(out);
            _exit(0);
        }
        close(fds[1]);
        FILE *in = fdopen(fds[0], "r");
        std::vector<std::vector<double>> as(chosen.size()), bs(chosen.size());
        char line[256];
        while (in && std::fgets(line, sizeof line, in)) {
            size_t i = 0;
            int dropped = 0;
            double a = 0, b = 0;
            if (std::sscanf(line, "%zu dropped %d", &i, &dropped) == 2 && i < chosen.size())
                kept[i].dropped += dropped;
            else if (std::sscanf(line, "%zu %lg %lg", &i, &a, &b) == 3 && i < chosen.size()) {
                as[i].push_back(a);
                bs[i].push_back(b);
                if (dump)
                    std::fprintf(dump, "%s %.1f %.1f %d\n", chosen[i]->figure.c_str(), a, b, k);
            }
        }
        if (in)
            std::fclose(in);
        int status = 0;
        waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "box_bench: the measuring process %d of %d failed\n", k + 1, processes);
            std::exit(1);
        }
        for (size_t i = 0; i < chosen.size(); ++i) {
            if (as[i].empty())
                continue;
            const Quiet q = quietest(as[i], bs[i]);
            kept[i].a.insert(kept[i].a.end(), q.a.begin(), q.a.end());
            kept[i].b.insert(kept[i].b.end(), q.b.begin(), q.b.end());
            kept[i].ratios.insert(kept[i].ratios.end(), q.ratios.begin(), q.ratios.end());
            kept[i].rounds += static_cast<int>(as[i].size());
        }
    }
    if (dump)
        std::fclose(dump);
    std::map<std::string, PairResult> out;
    for (size_t i = 0; i < chosen.size(); ++i) {
        const Kept &q = kept[i];
        if (q.ratios.empty())
            continue;
        PairResult res;
        res.a_ns = percentile(q.a, 0.5);
        res.b_ns = percentile(q.b, 0.5);
        res.ratio = percentile(q.ratios, 0.5);
        res.low = percentile(q.ratios, 0.1);
        res.high = percentile(q.ratios, 0.9);
        res.rounds = q.rounds;
        res.kept = static_cast<int>(q.ratios.size());
        res.dropped = q.dropped;
        res.processes = processes;
        out[chosen[i]->figure] = res;
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
    r.kept = r.rounds;
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
    int processes = 5;
    if (const char *n = getenv("BOX_BENCH_PROCESSES"))
        processes = std::clamp(atoi(n), 1, 50);
    for (auto &[name, r] : measure_pairs(chosen, rounds, processes)) {
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
            char fig_text[32], ref_text[32], ratio_text[32], goal_text[32], spread[128];
            const char *format = f.value_unit == "ns" ? "%.0f %s" : "%.1f %s";
            std::snprintf(fig_text, sizeof fig_text, format, r.a_ns, f.value_unit.c_str());
            std::snprintf(ref_text, sizeof ref_text, format, r.b_ns, f.value_unit.c_str());
            std::snprintf(ratio_text, sizeof ratio_text, "%.2fx", r.ratio);
            std::snprintf(goal_text, sizeof goal_text, "%s%.2fx", f.at_most ? "<=" : ">=", f.goal);
            if (r.dropped >= 0)
                std::snprintf(spread, sizeof spread,
                              "median of the quietest %d of %d interleaved rounds in %d processes (%d interrupted, "
                              "again); 10-90%%: %.2fx-%.2fx",
                              r.kept, r.rounds, r.processes, r.dropped, r.low, r.high);
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
