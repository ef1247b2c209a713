// The kernel manners both chaos runs add to their chosen faults.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

namespace chaos_manners {

// The manners: besides the chosen faults, every call of the system fails now
// and then with one of the errors its man page and the driver of that kind of
// device document (EAGAIN only on a non-blocking descriptor, EINTR only where
// the call may wait, short where the device may be short), at a rate drawn
// from the seed. On by default; BOXSIM_CHAOS_MANNERS=0 runs the chaos
// without them, BOXSIM_CHAOS_MANNERS=5% at that rate.
// Calls of the box a second that no chaos run reaches unless a task spins.
constexpr uint32_t kMaxCallsPerSecond = 5000;

inline bool manners_on()
{
    const char *v = getenv("BOXSIM_CHAOS_MANNERS");
    return !v || std::string(v) != "0";
}

// The signal a seed brings.
inline std::string signal_name(uint32_t seed) { return seed % 2 ? "SIGCHLD" : "SIGALRM"; }

// A signal whose handler has no SA_RESTART, now and then, as a child's
// SIGCHLD or a timer's SIGALRM comes to a process that catches them.
inline std::string signal_line(uint32_t seed)
{
    return "fault signal " + signal_name(seed) + " every " + std::to_string(500 + 250 * (seed % 8)) + "ms";
}

// The manners' rate a seed brings.
inline std::string seed_rate(uint32_t seed)
{
    static const char *const kRates[] = {"0.5%", "1%", "1.5%", "2%"};
    return kRates[seed % 4];
}

inline std::string manners_line(uint32_t seed)
{
    const char *v = getenv("BOXSIM_CHAOS_MANNERS");
    std::string rate = v && std::string(v).ends_with("%") ? v : seed_rate(seed);
    return "fault manners * rate " + rate + " seed " + std::to_string(seed);
}

} // namespace chaos_manners
