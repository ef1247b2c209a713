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

// A signal whose handler has no SA_RESTART, now and then, as a child's
// SIGCHLD or a timer's SIGALRM comes to a process that catches them.
inline std::string signal_line(uint32_t seed)
{
    return "fault signal " + std::string(seed % 2 ? "SIGCHLD" : "SIGALRM") + " every " +
           std::to_string(500 + 250 * (seed % 8)) + "ms";
}

inline std::string manners_line(uint32_t seed)
{
    static const char *const kRates[] = {"0.5%", "1%", "1.5%", "2%"};
    const char *v = getenv("BOXSIM_CHAOS_MANNERS");
    std::string rate = v && std::string(v).ends_with("%") ? v : kRates[seed % 4];
    return "fault manners * rate " + rate + " seed " + std::to_string(seed);
}

} // namespace chaos_manners
