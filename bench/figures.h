// The table bench/run prints: each figure is a benchmark of the system paired
// with a reference benchmark run in the same process, and a goal for the ratio
// figure / reference. A ratio is what counts, never an absolute time: both
// sides slow down together on a busy machine.
#pragma once

#include <string>
#include <vector>

namespace boxbench {

struct Figure {
    std::string title;      // what is measured, for people
    std::string figure;     // benchmark name of the system's side
    std::string reference;  // benchmark name of the reference; empty: the figure stands alone
    double goal;            // bound for figure / reference (or for the figure itself)
    bool at_most;           // true: ratio <= goal; false: ratio >= goal
    std::string unit;       // "x" for a ratio, else the unit of a stand-alone figure
    std::string value_unit = "ns";  // unit of the two sides of a ratio
};

// Figures register themselves next to their benchmarks.
int add_figure(Figure f);
const std::vector<Figure> &figures();

// A stand-alone figure measured outside Google Benchmark (CPU share, latency):
// its value, and a line of detail for the table.
void report_value(const std::string &name, double value, const std::string &detail = {});

// A measurement that calls report_value, run after Google Benchmark's runs
// (it may make a box of its own, or a process). Selected by the same
// --benchmark_filter, as a regular expression on its name.
int add_measure(const std::string &name, void (*run)());

// A ratio figure measured interleaved: after `setup`, the figure's operation
// `a` and the reference's `b` are each timed (thread CPU time) over a batch
// of about 50 us, in turn (A B A B, B A B A, ...) for many rounds, so
// that whatever the machine does meanwhile falls on both sides alike, in
// several processes one after the other (main.cpp). The table gives the
// median ratio of the quietest quarter of each process's rounds (those
// whose sides both ran nearest their fastest) and their spread. Selected by
// --benchmark_filter as a regular expression on the figure's name.
int add_pair(const std::string &figure, const std::string &reference, void (*setup)(), void (*a)(), void (*b)());

// A ratio figure a measure takes in rounds of its own (A and B in turn,
// each round's values in a[i] and b[i], in the figure's value_unit): the
// table gives the median of the rounds' ratios and their spread.
void report_pair(const std::string &figure, const std::vector<double> &a, const std::vector<double> &b);

// A pass whose instructions bench/callgrind counts: `box_bench --once=NAME`
// runs it once to warm up, then once inside boxbench_measured_pass.
int add_pass(const std::string &name, void (*run)());

} // namespace boxbench

// The function bench/callgrind collects in; never inlined, so that its
// entry and exit are seen.
extern "C" void boxbench_measured_pass(void (*run)());

namespace boxbench {

} // namespace boxbench
