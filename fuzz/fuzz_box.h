// The one simulated box a fuzz target runs the system on, made once for the
// whole run: making a box per input would cost more than the input itself.
//
// The box runs on its virtual clock, the fuzzer's thread being its first
// thread: a task's half-second sleep or a card's answer delay takes no wall
// time, and BOXSIM_SEED (or the default seed) chooses the interleaving, so a
// finding replays with the same seed.
#pragma once

#include "core/box.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

namespace fuzzbox {

// The box of the named profile (sim/boxes/NAME.json); ends the run when the
// profile cannot be loaded, since no input could then be tried.
inline boxsim::Box &box(const char *profile = "default")
{
    static std::unique_ptr<boxsim::Box> b = [profile] {
        std::string err;
        auto made = boxsim::Box::from_profile(profile, err, boxsim::BoxClock{true, boxsim::clock::seed_from_env()});
        if (!made) {
            fprintf(stderr, "fuzz: profile %s: %s\n", profile, err.c_str());
            abort();
        }
        // A fuzz run records millions of events and no target reads them:
        // none is kept. Kept ones were freed inputs later, in batches, so an
        // input often ended with more blocks allocated than freed, and
        // libFuzzer then ran it again under a leak check: half the run.
        made->trace().set_limit(0);
        return made;
    }();
    return *b;
}

// Marks the start of an input. The fuzzer's thread is the box's first
// thread, yet libFuzzer's own work between inputs, and an input that never
// reaches the box (a script that is only parsed), are not a box thread
// running without reaching the box: counted as such, they ended the script
// target after 5 s of wall time. Marked per input, what the virtual clock's
// watchdog still reports is one input that runs 5 s without reaching the box.
inline void next_input() { boxsim::clock::facade_call("fuzz input"); }

// Lets the box's other threads run until done() holds, looking every 10 ms
// of the box's time, or ten minutes of it pass (an input of tuner keys spends
// half a second on each); returns done().
inline bool run_until(const std::function<bool()> &done)
{
    int64_t deadline = boxsim::clock::now_ns() + 600'000'000'000LL;
    while (!done() && boxsim::clock::now_ns() < deadline)
        boxsim::clock::sleep_for_ms(10);
    return done();
}

// Stops the run with a message when a property of the system's result does
// not hold: libFuzzer keeps the input as a finding.
#define FUZZ_CHECK(cond)                                                              \
    do {                                                                              \
        if (!(cond)) {                                                                \
            fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            abort();                                                                  \
        }                                                                             \
    } while (0)

} // namespace fuzzbox
