// Runs every benchmark and prints the table of figures, references, ratios
// and goals. Arguments are Google Benchmark's own (--benchmark_filter=...).
#include "figures.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
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

std::mutex values_m;
std::map<std::string, std::pair<double, std::string>> &values()
{
    static std::map<std::string, std::pair<double, std::string>> v;
    return v;
}

// Keeps the best (smallest) CPU time per iteration (steadier than wall time on a shared machine) of every benchmark run,
// beside the usual console output.
class TableReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            if (r.run_type != Run::RT_Iteration || r.iterations == 0 || r.error_occurred)
                continue;
            const double ns = r.GetAdjustedCPUTime() * unit_to_ns(r.time_unit);
            std::string name = r.run_name.function_name;
            auto it = best.find(name);
            if (it == best.end() || ns < it->second)
                best[name] = ns;
        }
    }
    std::map<std::string, double> best;

private:
    static double unit_to_ns(benchmark::TimeUnit u)
    {
        switch (u) {
        case benchmark::kSecond: return 1e9;
        case benchmark::kMillisecond: return 1e6;
        case benchmark::kMicrosecond: return 1e3;
        default: return 1;
        }
    }
};

} // namespace

int add_figure(Figure f)
{
    figure_list().push_back(std::move(f));
    return 0;
}

const std::vector<Figure> &figures() { return figure_list(); }

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
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const std::regex selected(filter == "all" ? ".*" : filter);
    for (const auto &[name, run] : measure_list())
        if (std::regex_search(name, selected)) {
            std::fprintf(stderr, "measuring %s\n", name.c_str());
            run();
        }

    auto value_of = [&](const std::string &name, double &v, std::string &detail) {
        auto it = reporter.best.find(name);
        if (it != reporter.best.end()) {
            v = it->second;
            return true;
        }
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
