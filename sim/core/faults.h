// Fault injection: chosen operations of the system on chosen paths fail the
// way a bad driver or a broken shell makes them fail, so that tests and
// scenarios can show what the system does then, and that it recovers.
//
// A fault is one line of words (the same in the profile, in scripts and over
// the HTTP API):
//
//   CALL PATH [REQUEST] ERROR [WHEN]       CALL: open read write ioctl mmap poll
//   command NAME missing|fail [STATUS] [WHEN]
//
//   PATH     a path of the box, a prefix ending in '*' ("/dev/dvb0.*"), or '*'
//   REQUEST  ioctl only: the request's name ("FBIO_BLIT"), a number, or '*'
//   ERROR    EIO ENOENT EAGAIN EBUSY ENODEV ENOMEM EINVAL ETIMEDOUT, or
//            "short" (read and write: half the bytes are transferred)
//   NAME     a shell command by its base name (udhcpc, ifconfig, showiframe);
//            "missing": the shell does not find it (127); "fail": it does
//            nothing and ends with STATUS (default 1)
//   WHEN     "always" (the default), "once", "for DURATION", "after DURATION
//            [for DURATION]", or "rate P% [seed N]" (each matching call fails
//            with chance P, from a generator seeded with N). Durations as in
//            scripts ("2s", "250ms"), counted from when the fault is set (from
//            the start of the run for a profile's faults).
//
// Faults of calls hit the system's own calls through the platform facade;
// what a shell command does to a file (echo ... > /dev/mcu) is the command's,
// and fails with a fault of that command.
//
// Profile key: "faults": ["open /dev/lcd0 EIO once", "command udhcpc missing"].
// Scenario actions: `fault LINE`, `fault clear [CALL]`.
// Every fault that fires is recorded in the trace as {"op":"fault",
// "call":...,"path":...,"error":...} just before the failed call's own line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace boxsim {

class Box;

struct FaultRule {
    std::string call;       // open read write ioctl mmap poll command
    std::string path;       // path, prefix*, or *; command: the command's name
    std::string request;    // ioctl: name, number or * ("" = any)
    int error = 0;          // errno value; 0 for short transfers and commands
    bool short_transfer = false;
    bool missing = false;   // command: not found
    int status = 1;         // command: exit status when it fails
    enum class When { Always, Once, Window, Rate } when = When::Always;
    int64_t after_ms = 0;   // Window: from when the fault is set
    int64_t for_ms = -1;    // Window: how long (-1: for ever)
    double rate = 1.0;      // Rate: chance per matching call
    uint64_t seed = 1;
    std::string text;       // the words the rule was made from
};

// Parses the words of one fault (without the action's name). nullopt with
// `err` set when they are not a fault.
std::optional<FaultRule> parse_fault(const std::vector<std::string> &words, std::string &err);

// Sets a fault on the box from now on (its durations start now).
void add_fault(Box &box, const FaultRule &rule);
// Removes every fault, or those of one call.
void clear_faults(Box &box, const std::string &call = {});

// What a call that a fault hit must do instead.
struct FaultHit {
    int error = 0;             // fail with this errno
    bool short_transfer = false;
    bool missing = false;      // command: not found
    int status = 0;            // command: exit status
};

// Asks whether this call of the system fails now. `request` is the ioctl's
// request number. A hit is recorded in the trace.
std::optional<FaultHit> fault_check(Box &box, std::string_view call, std::string_view path,
                                    unsigned long request = 0);

// Faults set now, with how often each has fired (for the state snapshot).
struct FaultStatus {
    std::string text;
    int hits = 0;
    bool active = false;  // still able to fire
};
std::vector<FaultStatus> fault_list(Box &box);

} // namespace boxsim
