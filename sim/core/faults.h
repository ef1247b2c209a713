// Fault injection: chosen operations of the system on chosen paths fail the
// way Linux and its drivers make them fail, so that tests and scenarios can
// show what the system does then, and that it recovers. A fault never makes
// a call fail in a way Linux cannot: a line with an error its call cannot
// give on that kind of file is refused.
//
// A fault is one line of words (the same in the profile, in scripts and over
// the HTTP API):
//
//   CALL PATH [REQUEST] ERROR [WHEN]    CALL: open close read write ioctl mmap
//                                       poll stat nanosleep
//   CALL PATH [REQUEST] hang [DURATION] [WHEN]
//   popen|system NAME ERROR [WHEN]      the command cannot be started
//   command NAME missing|fail [STATUS] [WHEN]
//   command NAME hang [DURATION] [WHEN]
//   manners PATH [WHEN]                 every error the calls on PATH document
//   vanish PATH [WHEN], appear PATH     a device node goes away, comes back
//   signal NAME [restart] [WHEN]        an interruption of the system's waits
//
//   PATH     a path of the box, a prefix ending in '*' ("/dev/dvb0.*"), or '*'
//            (nanosleep: '*' only, it has no path)
//   REQUEST  ioctl only: the request's name ("FBIO_BLIT"), a number, or '*'
//   ERROR    EIO ENOENT EAGAIN EBUSY ENODEV ENOMEM EINVAL ETIMEDOUT EINTR EROFS
//            EACCES EPERM ENOSPC ENXIO EOVERFLOW ENOTTY EPIPE EFAULT EMFILE
//            EOPNOTSUPP, each only where its call documents it for the kind
//            of file (see allowed_errors), or "short" (reads and writes
//            where the device allows fewer bytes: half, and for an input
//            device whole events only; never a kernel attribute's write or a
//            block device's). EAGAIN acts only on a non-blocking descriptor
//            (Linux never gives it on a blocking one), and is refused where
//            no descriptor can be non-blocking (plain files, block devices);
//            EINTR on a read or write only on a blocking one.
//   hang     the call blocks for DURATION (for ever, until the run ends,
//            without one) and then goes on as the driver does
//   NAME     a shell command by its base name (udhcpc, ifconfig, showiframe);
//            "missing": the shell does not find it (127); "fail": it does
//            nothing and ends with STATUS (default 1); popen/system: the
//            call itself fails (EAGAIN, ENOMEM, EMFILE: fork or pipe failed)
//   manners  each call on PATH fails at the rate of WHEN (rate P% seed N)
//            with an error drawn from those its man page and the driver of
//            that kind of device document for it (manners_errors), short
//            where allowed; errors only a wrong caller gets (EFAULT, EBADF)
//            are left out
//   vanish   the node goes away (open and stat: ENOENT); every descriptor
//            open on it fails every call with ENODEV and poll gives
//            POLLERR|POLLHUP, for ever, as an unplugged device's do;
//            `appear PATH` (or the end of WHEN) brings the node back for new
//            opens
//   signal   a signal whose handler was installed without SA_RESTART (or
//            with it: "restart") reaches one of the system's threads (drawn
//            from the seed) each time it fires: a poll or nanosleep under way
//            returns EINTR (nanosleep with the time left), a read, write or
//            ioctl that waits returns EINTR (restarted with "restart"), a
//            condition wait may wake. NAME: SIGCHLD, SIGALRM, SIGUSR1, ...
//   WHEN     "always" (the default), "once", "for DURATION", "after DURATION
//            [for DURATION]", "rate P% [seed N]" (each matching call fails
//            with chance P, from a generator seeded with N), or, for signals,
//            "every DURATION [for DURATION]". Durations as in scripts ("2s",
//            "250ms"), counted from when the fault is set (from the start of
//            the run for a profile's faults).
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

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace boxsim {

class Box;
struct OpenFile;

struct FaultRule {
    std::string call;       // open close read write ioctl mmap poll stat nanosleep popen system
                            // command manners vanish signal
    std::string path;       // path, prefix*, or *; command, popen, system: the command's name;
                            // signal: its name
    std::string request;    // ioctl: name, number or * ("" = any)
    int error = 0;          // errno value; 0 for short transfers, hangs and commands
    bool short_transfer = false;
    bool hang = false;
    int64_t hang_ms = -1;   // hang: how long (-1: until the run ends)
    bool missing = false;   // command: not found
    int status = 1;         // command: exit status when it fails
    bool restart = false;   // signal: the handler was installed with SA_RESTART
    enum class When { Always, Once, Window, Rate, Every } when = When::Always;
    int64_t after_ms = 0;   // Window: from when the fault is set
    int64_t for_ms = -1;    // Window, Every: how long (-1: for ever)
    int64_t every_ms = 0;   // Every: the period of a signal
    double rate = 1.0;      // Rate: chance per matching call
    uint64_t seed = 1;
    std::string text;       // the words the rule was made from
};

// Parses the words of one fault (without the action's name). nullopt with
// `err` set when they are not a fault, or ask for what Linux never does.
std::optional<FaultRule> parse_fault(const std::vector<std::string> &words, std::string &err);

// Sets a fault on the box from now on (its durations start now).
void add_fault(Box &box, const FaultRule &rule);
// Removes every fault, or those of one call. A device that vanished comes
// back; descriptors it had stay dead.
void clear_faults(Box &box, const std::string &call = {});

// What a call that a fault hit must do instead.
struct FaultHit {
    int error = 0;             // fail with this errno
    bool short_transfer = false;
    bool hang = false;         // block first, for hang_ms (-1: until the run ends)
    int64_t hang_ms = -1;
    bool missing = false;      // command: not found
    int status = 0;            // command: exit status
};

// Asks whether this call of the system fails now. `request` is the ioctl's
// request number; `flags` the open flags of the descriptor the call is made
// on (-1: none; EAGAIN and EINTR depend on O_NONBLOCK). A hit is recorded in
// the trace.
std::optional<FaultHit> fault_check(Box &box, std::string_view call, std::string_view path,
                                    unsigned long request = 0, int flags = -1);

// Blocks the calling thread for a hit's hang (on the box's clock; the run's
// end wakes it).
void fault_hang(Box &box, const FaultHit &hit);

// Whether a vanished device hides the node at `path` now (open and stat
// then fail with ENOENT).
bool fault_vanished(Box &box, std::string_view path);
// Whether the descriptor's device vanished since it was opened: every call
// on it then fails with ENODEV, and poll gives POLLERR|POLLHUP.
bool fault_dead(Box &box, const OpenFile &of);

// The errors Linux documents for this call on this path (its kind of file),
// and those of them a manners fault draws from (without the caller's own
// mistakes). Empty when the call has none there.
std::vector<int> allowed_errors(std::string_view call, std::string_view path);
std::vector<int> manners_errors(std::string_view call, std::string_view path);
// Whether a read or write on the path may transfer fewer bytes than asked,
// and how many a short one transfers of `count` (half; of an input device,
// whole events only, and never less than one).
bool short_allowed(std::string_view call, std::string_view path);
size_t short_count(std::string_view path, size_t count);

// Faults set now, with how often each has fired (for the state snapshot).
struct FaultStatus {
    std::string text;
    int hits = 0;
    bool active = false;  // still able to fire
};
std::vector<FaultStatus> fault_list(Box &box);

} // namespace boxsim
