// The one simulated box a fuzz target runs the system on, made once for the
// whole run: making a box per input would cost more than the input itself.
#pragma once

#include "core/box.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace fuzzbox {

// The box of the named profile (sim/boxes/NAME.json); ends the run when the
// profile cannot be loaded, since no input could then be tried.
inline boxsim::Box &box(const char *profile = "default")
{
    static std::unique_ptr<boxsim::Box> b = [profile] {
        std::string err;
        auto made = boxsim::Box::from_profile(profile, err);
        if (!made) {
            fprintf(stderr, "fuzz: profile %s: %s\n", profile, err.c_str());
            abort();
        }
        // A fuzz run records millions of events; keep few of them in memory.
        made->trace().set_limit(64);
        return made;
    }();
    return *b;
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
