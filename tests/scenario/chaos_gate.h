// The chaos seeds the test command runs: fixed, the same in every run, and
// together covering every kind of action and fault the chaos runs have
// (chaos_events.h; chaos_gate_test.cpp checks each build's sets). The native
// build runs the most; the checkers and the box's own build under the
// emulator, where a console seed costs three to seven times as much, run six
// of each, each build its own seeds, so that the three together try eighteen
// runs where one set would try six. New seeds are the soak's work
// (scripts/soak.sh), which runs any seed through the first test of each set
// with BOXSIM_CHAOS_SEED.
//
// How they were chosen (tests/scenario/chaos_choose_seeds.py, which prints
// what each seed adds): every seed from 1 to 120 of the native build was run,
// and each run's kinds read: what it acted out (every key, typing, keyboard,
// cable, DHCP, card, CI, antenna and fault line and clear of the tables, the
// seed's manners rate and signal; every seed acts out nearly all of them, the
// rate and signal come with the seed's remainder by 4 and 2) and what fired
// in it (each fault line that made a call fail, each error the manners gave a
// call, each way a signal met a thread; those vary from seed to seed and some
// are rare: a flash write that fails, seen in one seed of 120). Then a greedy
// cover: the seed that adds the most kinds not yet covered, again and again.
//   console: 173 kinds in seeds 1 to 120. Seeds 1 to 20 cover 170; 29 adds a
//     failed flash write (write /dev/mtdblock3 EIO), 81 a signal that met a
//     handler, 119 a flash that was busy at open.
//   rescue: 87 kinds; seeds 1 to 20 cover 75, the six more add manners errors
//     the rescue front end meets seldom (ioctl EINTR, ENOMEM, ENXIO and
//     ETIMEDOUT, poll EINTR and ENOMEM, popen ENOMEM, write EINTR, EIO,
//     ETIMEDOUT and short) and a poll interrupted by a signal.
//   The smaller sets, taken in the order tsan, asan, mipsel from the seeds no
//   earlier one took, each cover every kind acted out and, of those that
//   fired, console 170, 169 and 168 of 173 and rescue 86, 83 and 80 of 87
//   (what they miss is in the native set). A seed is the same run in every
//   build (the same trace, byte for byte), so what fired natively fires
//   under the checkers and the emulator too.
#pragma once

#include "chaos_events.h"
#include "chaos_manners.h"
#include "core/clock.h"
#include "core/sanitizer.h"
#include "core/trace.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace chaos_gate {

struct SeedSet {
    const char *build;
    std::vector<int> console, rescue;
};

// Every build's seeds, for the check that each covers every kind.
inline const std::vector<SeedSet> &all_sets()
{
    static const std::vector<SeedSet> sets = {
        {"host",
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 29, 81, 119},
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 35, 39, 48, 61, 66, 70}},
        {"asan", {7, 13, 19, 22, 40, 117}, {7, 65, 82, 91, 92, 111}},
        {"tsan", {3, 8, 29, 54, 67, 92}, {35, 39, 48, 61, 66, 90}},
        {"mipsel", {4, 11, 24, 38, 69, 87}, {30, 83, 84, 87, 113, 114}},
    };
    return sets;
}

// This build's seeds: the checkers known by the compiler's own macros, the
// box's build by its processor.
inline const SeedSet &this_build()
{
#if defined(BOXSIM_ASAN)
    return all_sets()[1];
#elif defined(BOXSIM_TSAN)
    return all_sets()[2];
#elif defined(__mips__)
    return all_sets()[3];
#else
    return all_sets()[0];
#endif
}


// Box time since `begin`, in milliseconds.
inline int64_t ms_since(boxsim::BoxSteadyClock::time_point begin)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(boxsim::BoxSteadyClock::now() - begin).count();
}

// The kinds of fault that fired in a run, from its trace: each fault line
// that made a call fail ("fired read /dev/event* ENODEV"), each error the
// manners gave a call ("manners gave read EAGAIN") and each way a signal met
// a thread ("signal interrupted sleep").
inline std::set<std::string> fired_kinds(const boxsim::Trace &trace)
{
    std::set<std::string> kinds;
    trace.for_each([&](const nlohmann::json &e) {
        const std::string op = e.value("op", "");
        if (op == "fault" && e.contains("fault") && e["fault"].is_string()) {
            std::string line = e["fault"].get<std::string>();
            if (line.starts_with("manners "))
                kinds.insert("manners gave " + e.value("call", "?") + " " + e.value("error", "?"));
            else
                kinds.insert("fired " + line.substr(0, line.find(" rate ")));
        } else if (op == "signal" && e.contains("effect")) {
            kinds.insert("signal " + e.value("effect", "?"));
        }
    });
    return kinds;
}

// Two lines, for a person and for the seed chooser: the kinds the run acted
// out, and the kinds of fault that fired.
inline void print_kinds(const char *run, const std::set<std::string> &acted, const boxsim::Trace &trace)
{
    for (const auto &[what, kinds] : {std::pair{"acted", acted}, std::pair{"fired", fired_kinds(trace)}}) {
        std::string text;
        for (const auto &k : kinds)
            text += (text.empty() ? "" : "; ") + k;
        printf("%s: %s: %s\n", run, what, text.c_str());
    }
    fflush(stdout);
}

// What a chaos run checks of itself after its events: the kinds worked out
// without a box (those the gate's seeds are chosen by) are the ones it acted
// out, and no task spins on a call that keeps failing: the system's calls of
// the box since `calls_at` stay at what its waits allow (a spin makes
// millions a second).
template <class Events>
void expect_run_as_planned(const char *run, uint32_t seed, int seconds, bool manners,
                           const std::set<std::string> &acted, uint32_t calls_at)
{
    auto planned = chaos_events::kinds_of_run<Events>(seed, seconds);
    if (!manners)
        for (const auto &k : chaos_events::manners_kinds(seed))
            planned.erase(k);
    EXPECT_EQ(acted, planned) << "seed " << seed;
    const uint32_t calls = static_cast<uint32_t>(boxsim::clock::facade_calls()) - calls_at;
    printf("%s: %u calls of the box, %u a second\n", run, calls, calls / static_cast<uint32_t>(seconds));
    EXPECT_LT(calls / static_cast<uint32_t>(seconds), chaos_manners::kMaxCallsPerSecond)
        << "a task spins; seed " << seed;
}

} // namespace chaos_gate
