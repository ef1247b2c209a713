#include "core/faults.h"

#include "core/box.h"
#include "core/shell.h"
#include "platform/box_abi.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <random>
#include <thread>

namespace boxsim {

namespace {

struct ErrorName {
    const char *name;
    int value;
};
constexpr ErrorName kErrors[] = {
    {"EIO", EIO},         {"ENOENT", ENOENT},   {"EAGAIN", EAGAIN},       {"EBUSY", EBUSY},   {"ENODEV", ENODEV},
    {"ENOMEM", ENOMEM},   {"EINVAL", EINVAL},   {"ETIMEDOUT", ETIMEDOUT}, {"EINTR", EINTR},   {"EROFS", EROFS},
    {"EACCES", EACCES},   {"EPERM", EPERM},     {"ENOSPC", ENOSPC},       {"ENXIO", ENXIO},   {"EOVERFLOW", EOVERFLOW},
    {"ENOTTY", ENOTTY},   {"EPIPE", EPIPE},     {"EFAULT", EFAULT},       {"EMFILE", EMFILE}, {"EOPNOTSUPP", EOPNOTSUPP},
};

constexpr const char *kCalls[] = {"open",  "close", "read",      "write", "ioctl",  "mmap",    "poll",   "stat",
                                  "nanosleep", "popen", "system", "command", "manners", "vanish", "appear", "signal"};
constexpr const char *kCallList =
    "open, close, read, write, ioctl, mmap, poll, stat, nanosleep, popen, system, command, manners, vanish, appear, "
    "signal";

constexpr const char *kSignals[] = {"SIGCHLD", "SIGALRM", "SIGUSR1", "SIGUSR2", "SIGHUP", "SIGIO", "SIGWINCH", "SIGPIPE"};

// ---------------------------------------------------------------------------
// What Linux documents: the errors of each call by the kind of file it is
// made on (its man page, and what the kernel's drivers of that kind return).

enum class Kind { Plain, Block, Input, Frontend, Demux, Dvr, Decoder, Fb, Char, Any };

Kind kind_of(std::string_view pattern)
{
    if (pattern == "*")
        return Kind::Any;
    bool prefix = pattern.ends_with("*");
    std::string_view p = prefix ? pattern.substr(0, pattern.size() - 1) : pattern;
    Kind k = Kind::Char;
    if (!p.starts_with("/dev/"))
        k = Kind::Plain;
    else if (p.starts_with("/dev/mtdblock"))
        k = Kind::Block;
    else if (p.starts_with("/dev/event") || p.starts_with("/dev/input/"))
        k = Kind::Input;
    else if (p.find(".frontend") != std::string_view::npos)
        k = Kind::Frontend;
    else if (p.find(".demux") != std::string_view::npos)
        k = Kind::Demux;
    else if (p.find(".dvr") != std::string_view::npos)
        k = Kind::Dvr;
    else if (p.find(".audio") != std::string_view::npos || p.find(".video") != std::string_view::npos)
        k = Kind::Decoder;
    else if (p.starts_with("/dev/fb"))
        k = Kind::Fb;
    // A prefix that stops before the device's kind ("/dev/", "/dev/dvb0.")
    // may name any.
    if (prefix && (k == Kind::Char || k == Kind::Plain))
        return p.starts_with("/dev/") || p.size() <= 1 ? Kind::Any : k;
    return k;
}

struct CallErrors {
    std::vector<int> allowed;  // documented
    std::vector<int> manners;  // of those, what the world (not a wrong caller) brings
    bool short_ok = false;
};

CallErrors errors_for(std::string_view call, Kind k)
{
    if (call == "open") {
        if (k == Kind::Plain)
            return {{ENOENT, EACCES, EPERM, EROFS, ENOSPC, ENOMEM, EMFILE, EOVERFLOW, EFAULT, EINVAL},
                    {EACCES, ENOMEM, EMFILE}};
        std::vector<int> all = {ENOENT, EACCES, EPERM, EBUSY, ENXIO, ENODEV, ENOMEM, EMFILE, EIO, EINTR, EROFS,
                                EFAULT, EINVAL};
        switch (k) {
        case Kind::Block: return {all, {EBUSY, ENXIO, ENODEV, ENOMEM, EMFILE, EIO, EROFS}};
        case Kind::Input: return {all, {ENODEV, ENOMEM, EMFILE}};
        case Kind::Frontend: return {all, {EBUSY, ENODEV, ENOMEM, EMFILE, EINTR}};
        case Kind::Demux: return {all, {EBUSY, ENOMEM, EMFILE, EINTR}};
        case Kind::Dvr: return {all, {EBUSY, ENODEV, ENOMEM, EMFILE, EINTR}};
        case Kind::Decoder: return {all, {EBUSY, ENODEV, ENOMEM, EMFILE}};
        case Kind::Fb: return {all, {ENODEV, ENXIO, ENOMEM, EMFILE}};
        default: return {all, {EBUSY, ENODEV, ENXIO, ENOMEM, EMFILE, EIO}};
        }
    }
    if (call == "close")
        return {{EBADF, EINTR, EIO, ENOSPC}, {EINTR, EIO}};
    if (call == "read") {
        switch (k) {
        case Kind::Plain: return {{EIO, EINVAL, ENOMEM, ENODEV, EFAULT, EBADF}, {EIO, EINVAL, ENOMEM}, true};
        case Kind::Block: return {{EIO, EFAULT, EBADF, EINVAL}, {EIO}};
        case Kind::Input: return {{EAGAIN, EINTR, ENODEV, EINVAL, EFAULT, EBADF}, {EAGAIN, EINTR, ENODEV}, true};
        case Kind::Dvr:
        case Kind::Demux:
            return {{EAGAIN, EINTR, EOVERFLOW, ETIMEDOUT, EIO, ENODEV, EFAULT, EINVAL, EBADF},
                    {EAGAIN, EINTR, EOVERFLOW, ETIMEDOUT},
                    true};
        case Kind::Frontend:
        case Kind::Decoder: return {{EINVAL, EBADF, EFAULT}, {}};
        case Kind::Fb: return {{EPERM, EFAULT, EINVAL, EIO, ENODEV, EBADF}, {}, true};
        default:
            return {{EAGAIN, EINTR, EIO, ETIMEDOUT, ENODEV, ENXIO, EOVERFLOW, EINVAL, EFAULT, EBADF},
                    {EAGAIN, EINTR, EIO, ETIMEDOUT},
                    true};
        }
    }
    if (call == "write") {
        switch (k) {
        case Kind::Plain:
            return {{EIO, EINVAL, EBUSY, ENOSPC, EPERM, EACCES, ENOMEM, ENODEV, EFAULT, EBADF},
                    {EIO, EINVAL, EBUSY, ENOSPC, ENOMEM}};
        case Kind::Block: return {{EIO, ENOSPC, EFAULT, EBADF, EINVAL, EPERM}, {EIO, ENOSPC}};
        case Kind::Input: return {{EINVAL, EFAULT, ENODEV, EINTR, EBADF}, {ENODEV, EINTR}};
        case Kind::Dvr:
            return {{EAGAIN, EINTR, EIO, EBUSY, ENOMEM, ENODEV, EINVAL, EFAULT, EBADF},
                    {EAGAIN, EINTR, EIO, EBUSY, ENOMEM},
                    true};
        case Kind::Demux:
        case Kind::Frontend: return {{EINVAL, EBADF, EFAULT}, {}};
        case Kind::Decoder:
            return {{EAGAIN, EINTR, EIO, EBUSY, EPERM, EINVAL, EFAULT, EBADF}, {EAGAIN, EINTR, EIO}, true};
        case Kind::Fb: return {{EFBIG, ENOSPC, EPERM, EIO, ENODEV, EFAULT, EINVAL, EBADF}, {ENOSPC, EIO}, true};
        case Kind::Any:
            return {{EAGAIN, EINTR, EIO, EBUSY, ENOSPC, EPERM, EACCES, ENOMEM, ENODEV, ENXIO, ETIMEDOUT, EPIPE,
                     EINVAL, EFAULT, EBADF},
                    {EAGAIN, EINTR, EIO},
                    true};
        default:
            return {{EAGAIN, EINTR, EIO, ENOSPC, ETIMEDOUT, ENODEV, ENXIO, EBUSY, EPERM, EINVAL, EFAULT, EBADF},
                    {EAGAIN, EINTR, EIO, ETIMEDOUT},
                    true};
        }
    }
    if (call == "ioctl") {
        std::vector<int> base = {ENOTTY, EINVAL, EFAULT, EBADF};
        auto with = [&](std::vector<int> extra) {
            std::vector<int> all = base;
            all.insert(all.end(), extra.begin(), extra.end());
            return all;
        };
        switch (k) {
        case Kind::Plain: return {base, {}};
        case Kind::Block: return {with({EIO, EACCES, EPERM}), {EIO}};
        case Kind::Input: return {with({ENODEV, EINTR, ENOMEM, ENOSPC}), {ENODEV, EINTR, ENOMEM, EINVAL}};
        case Kind::Frontend:
            return {with({EIO, ETIMEDOUT, EOPNOTSUPP, EAGAIN, EOVERFLOW, ENODEV, EPERM, EINTR, ENOMEM, EBUSY}),
                    {EINVAL, EIO, ETIMEDOUT, EOPNOTSUPP, EAGAIN, EINTR, ENOMEM}};
        case Kind::Demux:
            return {with({EBUSY, ENOMEM, EIO, EINTR, ENODEV, EOVERFLOW}), {EINVAL, EBUSY, ENOMEM, EIO, EINTR}};
        case Kind::Dvr: return {with({EBUSY, ENOMEM, EINTR}), {EBUSY, ENOMEM, EINTR}};
        case Kind::Decoder:
            return {with({EIO, EBUSY, EPERM, EOPNOTSUPP, ENOMEM, EINTR, ENODEV}),
                    {EINVAL, EIO, EBUSY, EOPNOTSUPP, ENOMEM, EINTR}};
        case Kind::Fb: return {with({ENOMEM, EIO, EBUSY, EPERM, ENODEV}), {EINVAL, ENOMEM, EIO, EBUSY}};
        default:
            return {with({EIO, EBUSY, EINTR, ETIMEDOUT, ENXIO, ENODEV, EAGAIN, EPERM, ENOMEM, EOPNOTSUPP}),
                    {EINVAL, EIO, EBUSY, EINTR, ETIMEDOUT, ENXIO, EAGAIN}};
        }
    }
    if (call == "mmap") {
        if (k == Kind::Fb || k == Kind::Any)
            return {{EACCES, EAGAIN, EINVAL, ENODEV, ENOMEM, EOVERFLOW, EPERM, EBADF}, {EAGAIN, ENOMEM, EINVAL, ENODEV}};
        return {{ENODEV, EACCES, EINVAL, EBADF}, {ENODEV}};
    }
    if (call == "poll")
        return {{EINTR, ENOMEM, EFAULT, EINVAL}, {EINTR, ENOMEM}};
    if (call == "stat")
        return {{ENOENT, EACCES, ENOMEM, EOVERFLOW, ENOTDIR, EFAULT, EBADF}, {EACCES, ENOMEM}};
    if (call == "nanosleep")
        return {{EINTR, EFAULT, EINVAL}, {EINTR}};
    if (call == "popen")
        return {{EAGAIN, ENOMEM, EMFILE, EINVAL}, {EAGAIN, ENOMEM, EMFILE}};
    if (call == "system")
        return {{EAGAIN, ENOMEM}, {EAGAIN, ENOMEM}};
    return {};
}

bool contains(const std::vector<int> &v, int e) { return std::find(v.begin(), v.end(), e) != v.end(); }

const char *kind_word(Kind k)
{
    switch (k) {
    case Kind::Plain: return "a plain file or kernel attribute";
    case Kind::Block: return "a block device";
    case Kind::Input: return "an input device";
    case Kind::Frontend: return "a DVB frontend";
    case Kind::Demux: return "a demultiplexer";
    case Kind::Dvr: return "a DVR input";
    case Kind::Decoder: return "a decoder";
    case Kind::Fb: return "a framebuffer";
    case Kind::Char: return "a character device";
    case Kind::Any: return "any file";
    }
    return "?";
}

std::string error_list(const std::vector<int> &v)
{
    std::string s;
    for (int e : v)
        s += (s.empty() ? "" : " ") + std::string(errno_name(e));
    return s.empty() ? "none" : s;
}

// ---------------------------------------------------------------------------

// A rule as it lives on the box: its window on the box's clock, its
// generator, and how often it has fired.
struct ActiveFault {
    FaultRule rule;
    int64_t from_ms = 0;
    int64_t until_ms = INT64_MAX;
    int64_t next_ms = 0;  // signals: when it fires next
    std::mt19937_64 rng;
    int hits = 0;
    bool spent = false;  // a "once" fault that has fired
};

// A device that vanished: from then on the descriptors open on it are dead.
struct Vanish {
    std::string path;
    int64_t from_ns = 0;
    int64_t until_ns = INT64_MAX;
};

struct FaultTable {
    std::mutex m;
    std::vector<ActiveFault> faults;
    std::vector<Vanish> vanished;
    std::atomic<int> count{0};  // so that a box without faults pays nothing
    std::atomic<int> vanishes{0};
    // The thread that sends the signals, from the first signal fault on.
    std::thread signals;
    bool signals_running = false;
    uint64_t version = 0;
    ~FaultTable()
    {
        if (signals.joinable())
            clock::join(signals);
    }
};

// "2s", "1.5s", "250ms", "0": the durations of scenario scripts.
std::optional<int64_t> duration_ms(const std::string &text)
{
    if (text == "0")
        return 0;
    bool ms = text.ends_with("ms");
    if (!ms && !text.ends_with("s"))
        return std::nullopt;
    std::string num = text.substr(0, text.size() - (ms ? 2 : 1));
    if (num.empty() || num.size() > 12 || num.find_first_not_of("0123456789.") != std::string::npos ||
        std::count(num.begin(), num.end(), '.') > 1 || num.front() == '.' || num.back() == '.')
        return std::nullopt;
    double v = std::strtod(num.c_str(), nullptr) * (ms ? 1.0 : 1000.0);
    return static_cast<int64_t>(v + 0.5);
}

bool path_matches(const std::string &pattern, std::string_view path)
{
    if (pattern == "*")
        return true;
    if (pattern.ends_with("*"))
        return path.starts_with(std::string_view(pattern).substr(0, pattern.size() - 1));
    return path == pattern;
}

bool request_matches(const std::string &pattern, unsigned long request)
{
    if (pattern.empty() || pattern == "*")
        return true;
    if (pattern.starts_with("0x") || std::isdigit(static_cast<unsigned char>(pattern[0])))
        return std::strtoul(pattern.c_str(), nullptr, 0) == request;
    for (const auto &r : box_abi::kRequestNames)
        if (pattern == r.name && r.number == static_cast<uint32_t>(request))
            return true;
    return false;
}

const char *request_label(unsigned long request)
{
    for (const auto &r : box_abi::kRequestNames)
        if (r.number == static_cast<uint32_t>(request))
            return r.name;
    return nullptr;
}

// Reads the WHEN words from `i` on.
bool parse_when(const std::vector<std::string> &w, size_t i, FaultRule &r, std::string &err)
{
    bool signal = r.call == "signal";
    if (i >= w.size()) {
        if (signal)
            r.when = FaultRule::When::Once;
        return true;
    }
    if (w[i] == "always") {
        if (signal)
            return err = "a signal is sent once, after a time, or every so often", false;
        if (i + 1 != w.size())
            return err = "nothing can follow 'always'", false;
        return true;
    }
    if (w[i] == "once") {
        if (r.call == "vanish")
            return err = "a device vanishes always, for or after a time", false;
        r.when = FaultRule::When::Once;
        if (i + 1 != w.size())
            return err = "nothing can follow 'once'", false;
        return true;
    }
    if (w[i] == "every") {
        if (!signal)
            return err = "only a signal comes every so often", false;
        auto d = i + 1 < w.size() ? duration_ms(w[i + 1]) : std::nullopt;
        if (!d || *d <= 0)
            return err = "every needs a duration such as 250ms", false;
        r.when = FaultRule::When::Every;
        r.every_ms = *d;
        i += 2;
        if (i < w.size()) {
            auto f = w[i] == "for" && i + 1 < w.size() ? duration_ms(w[i + 1]) : std::nullopt;
            if (!f || i + 2 != w.size())
                return err = "for needs a duration such as 2s, and ends the fault", false;
            r.for_ms = *f;
        }
        return true;
    }
    if (w[i] == "rate") {
        if (signal || r.call == "vanish")
            return err = "a rate is a chance per call; this fault is no call", false;
        r.when = FaultRule::When::Rate;
        if (i + 1 >= w.size() || !w[i + 1].ends_with("%"))
            return err = "rate needs a chance such as 5%", false;
        std::string p = w[i + 1].substr(0, w[i + 1].size() - 1);
        char *end = nullptr;
        double pct = std::strtod(p.c_str(), &end);
        if (p.empty() || *end || pct <= 0 || pct > 100)
            return err = "bad chance '" + w[i + 1] + "' (more than 0% and at most 100%)", false;
        r.rate = pct / 100.0;
        i += 2;
        if (i < w.size()) {
            if (w[i] != "seed" || i + 2 != w.size() || w[i + 1].empty() ||
                w[i + 1].find_first_not_of("0123456789") != std::string::npos || w[i + 1].size() > 19)
                return err = "after the chance only 'seed N' may follow", false;
            r.seed = std::strtoull(w[i + 1].c_str(), nullptr, 10);
        }
        return true;
    }
    if (w[i] == "after" || w[i] == "for") {
        r.when = FaultRule::When::Window;
        if (w[i] == "after") {
            auto d = i + 1 < w.size() ? duration_ms(w[i + 1]) : std::nullopt;
            if (!d)
                return err = "after needs a duration such as 2s", false;
            r.after_ms = *d;
            i += 2;
        }
        if (signal) {
            if (i != w.size())
                return err = "a signal is sent once after a time: nothing can follow", false;
            return true;
        }
        if (i < w.size()) {
            auto d = w[i] == "for" && i + 1 < w.size() ? duration_ms(w[i + 1]) : std::nullopt;
            if (!d || i + 2 != w.size())
                return err = "for needs a duration such as 2s, and ends the fault", false;
            r.for_ms = *d;
        }
        return true;
    }
    return err = "bad time of fault '" + w[i] +
                 "' (always, once, for 2s, after 1s for 2s, rate 5% seed 1; signals: every 250ms [for 2s])",
           false;
}

bool is_call(const std::string &c)
{
    return std::find_if(std::begin(kCalls), std::end(kCalls), [&](const char *k) { return c == k; }) != std::end(kCalls);
}

// Checks an error or "short" against what Linux documents for the call on
// the path's kind of file.
bool check_error(FaultRule &r, const std::string &e, std::string &err)
{
    Kind k = r.call == "popen" || r.call == "system" || r.call == "nanosleep" ? Kind::Any : kind_of(r.path);
    CallErrors ce = errors_for(r.call, k);
    if (e == "short") {
        if (r.call != "read" && r.call != "write")
            return err = "only reads and writes can be short", false;
        if (!ce.short_ok)
            return err = "a " + r.call + " of " + kind_word(k) + " is never short (" +
                         (k == Kind::Plain ? "a kernel attribute takes it whole" : "the driver transfers all or fails") + ")",
                   false;
        r.short_transfer = true;
        return true;
    }
    auto it = std::find_if(std::begin(kErrors), std::end(kErrors), [&](const ErrorName &n) { return e == n.name; });
    if (it == std::end(kErrors)) {
        std::string names;
        for (const auto &n : kErrors)
            names += std::string(names.empty() ? "" : ", ") + n.name;
        return err = "unknown error '" + e + "' (" + names + ", short, hang)", false;
    }
    r.error = it->value;
    if (r.error == EAGAIN && (k == Kind::Plain || k == Kind::Block) &&
        (r.call == "read" || r.call == "write" || r.call == "ioctl"))
        return err = "EAGAIN only on a non-blocking descriptor, and O_NONBLOCK means nothing to " +
                     std::string(kind_word(k)) + ": Linux never gives it here",
               false;
    if (!contains(ce.allowed, r.error))
        return err = r.call + " on " + kind_word(k) + " never fails with " + e + " (it can: " + error_list(ce.allowed) +
                     ")",
               false;
    return true;
}

} // namespace

std::optional<FaultRule> parse_fault(const std::vector<std::string> &w, std::string &err)
{
    FaultRule r;
    if (w.empty())
        return err = std::string("which call? (") + kCallList + ")", std::nullopt;
    r.call = w[0];
    if (!is_call(r.call))
        return err = "unknown call '" + r.call + "' (" + kCallList + ")", std::nullopt;
    size_t need = r.call == "vanish" || r.call == "appear" || r.call == "manners" || r.call == "signal" ? 2 : 3;
    if (w.size() < need) {
        if (r.call == "command")
            err = "command NAME missing|fail [STATUS] [WHEN] | command NAME hang [DURATION] [WHEN]";
        else if (r.call == "popen" || r.call == "system")
            err = r.call + " NAME ERROR [WHEN]";
        else if (need == 2)
            err = r.call + (r.call == "signal" ? " NAME [restart] [WHEN]" : " PATH") +
                  (r.call == "appear" || r.call == "signal" ? "" : " [WHEN]");
        else
            err = r.call + " PATH" + (r.call == "ioctl" ? " REQUEST" : "") + " ERROR|hang [WHEN]";
        return std::nullopt;
    }
    r.path = w[1];
    size_t i = 2;
    auto hang = [&]() {
        r.hang = true;
        ++i;
        if (i < w.size())
            if (auto d = duration_ms(w[i])) {
                r.hang_ms = *d;
                ++i;
            }
    };
    if (r.call == "command") {
        if (r.path.find('/') != std::string::npos)
            return err = "a command is named by its base name, e.g. udhcpc", std::nullopt;
        if (w[i] == "missing") {
            r.missing = true;
            r.status = 127;
            ++i;
        } else if (w[i] == "fail") {
            ++i;
            if (i < w.size() && !w[i].empty() && w[i].size() <= 3 &&
                w[i].find_first_not_of("0123456789") == std::string::npos) {
                r.status = std::atoi(w[i].c_str());
                if (r.status < 1 || r.status > 255)
                    return err = "a failing command ends with a status from 1 to 255", std::nullopt;
                ++i;
            }
        } else if (w[i] == "hang") {
            hang();
        } else {
            return err = "a command is 'missing' or 'fail [STATUS]', or 'hang [DURATION]'", std::nullopt;
        }
    } else if (r.call == "popen" || r.call == "system") {
        if (r.path.find('/') != std::string::npos)
            return err = "a command is named by its base name, e.g. udhcpc", std::nullopt;
        if (!check_error(r, w[i++], err))
            return std::nullopt;
    } else if (r.call == "signal") {
        if (std::find_if(std::begin(kSignals), std::end(kSignals), [&](const char *s) { return r.path == s; }) ==
            std::end(kSignals))
            return err = "unknown signal '" + r.path + "' (SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2, SIGHUP, SIGIO, ...)",
                   std::nullopt;
        if (i < w.size() && w[i] == "restart") {
            r.restart = true;
            ++i;
        }
    } else {
        if (r.path != "*" && r.path[0] != '/')
            return err = "a path starts with '/' (or is '*')", std::nullopt;
        if (r.call == "nanosleep" && r.path != "*")
            return err = "a sleep has no path: nanosleep * ERROR", std::nullopt;
        if (r.call == "appear") {
            if (w.size() != 2)
                return err = "appear PATH: nothing can follow", std::nullopt;
        } else if (r.call == "vanish" || r.call == "manners") {
            if (r.path == "*" && r.call == "vanish")
                return err = "vanish names a device node, or a prefix of some", std::nullopt;
        } else {
            if (r.call == "ioctl") {
                r.request = w[i++];
                bool known = r.request == "*" || std::isdigit(static_cast<unsigned char>(r.request[0]));
                for (const auto &q : box_abi::kRequestNames)
                    known = known || r.request == q.name;
                if (!known)
                    return err = "unknown request '" + r.request + "'", std::nullopt;
                if (i >= w.size())
                    return err = "ioctl PATH REQUEST ERROR|hang [WHEN]", std::nullopt;
            }
            if (w[i] == "hang")
                hang();
            else if (!check_error(r, w[i++], err))
                return std::nullopt;
        }
    }
    if (r.call == "manners" && (i >= w.size() || w[i] != "rate"))
        return err = "manners needs a chance: manners PATH rate P% [seed N]", std::nullopt;
    if (!parse_when(w, i, r, err))
        return std::nullopt;
    for (const auto &word : w)
        r.text += (r.text.empty() ? "" : " ") + word;
    return r;
}

namespace {

void signals_loop(Box &box, FaultTable &t);

} // namespace

void add_fault(Box &box, const FaultRule &rule)
{
    auto &t = box.part<FaultTable>();
    int64_t now = box.now_ms();
    if (rule.call == "appear") {
        {
            std::lock_guard<std::mutex> g(t.m);
            int64_t now_ns = clock::now_ns();
            for (auto &v : t.vanished)
                if (v.path == rule.path && v.until_ns > now_ns)
                    v.until_ns = now_ns;
            for (auto &f : t.faults)
                if (f.rule.call == "vanish" && f.rule.path == rule.path && f.until_ms > now)
                    f.until_ms = now;
        }
        box.trace().record({{"op", "fault"}, {"call", "appear"}, {"path", rule.path}, {"fault", rule.text}});
        box.changed();
        return;
    }
    ActiveFault f;
    f.rule = rule;
    if (rule.when == FaultRule::When::Window || rule.when == FaultRule::When::Every) {
        f.from_ms = now + rule.after_ms;
        f.until_ms = rule.for_ms < 0 ? INT64_MAX : f.from_ms + rule.for_ms;
    }
    f.next_ms = rule.when == FaultRule::When::Every ? now + rule.every_ms : now + rule.after_ms;
    f.rng.seed(rule.seed);
    if (rule.call == "signal")
        clock::enable_signals();
    bool start_signals = false;
    {
        std::lock_guard<std::mutex> g(t.m);
        if (rule.call == "vanish") {
            int64_t now_ns = clock::now_ns();
            int64_t after = rule.when == FaultRule::When::Window ? rule.after_ms : 0;
            Vanish v{rule.path, now_ns + after * 1000000, INT64_MAX};
            if (rule.when == FaultRule::When::Window && rule.for_ms >= 0)
                v.until_ns = v.from_ns + rule.for_ms * 1000000;
            t.vanished.push_back(v);
            t.vanishes = static_cast<int>(t.vanished.size());
        }
        t.faults.push_back(std::move(f));
        t.count = static_cast<int>(t.faults.size());
        ++t.version;
        if (rule.call == "signal" && !t.signals_running) {
            start_signals = true;
            t.signals_running = true;
        }
    }
    if (start_signals) {
        // A thread of earlier signals that ran out has ended: joined first.
        if (t.signals.joinable())
            clock::join(t.signals);
        FaultTable *table = &t;
        t.signals = clock::spawn("signals", [&box, table] { signals_loop(box, *table); });
    }
    box.changed();
}

void clear_faults(Box &box, const std::string &call)
{
    auto &t = box.part<FaultTable>();
    {
        std::lock_guard<std::mutex> g(t.m);
        std::erase_if(t.faults, [&](const ActiveFault &f) { return call.empty() || f.rule.call == call; });
        t.count = static_cast<int>(t.faults.size());
        if (call.empty() || call == "vanish") {
            // The nodes come back; what was open on them stays dead.
            int64_t now_ns = clock::now_ns();
            for (auto &v : t.vanished)
                v.until_ns = std::min(v.until_ns, now_ns);
        }
        ++t.version;
    }
    box.changed();
    // The signals' thread, left with nothing to send, ends now.
    bool signals_left = false;
    {
        std::lock_guard<std::mutex> g(t.m);
        for (const auto &f : t.faults)
            signals_left = signals_left || f.rule.call == "signal";
    }
    if (!signals_left && t.signals.joinable())
        clock::join(t.signals);
}

std::vector<int> allowed_errors(std::string_view call, std::string_view path)
{
    return errors_for(call, kind_of(path)).allowed;
}

std::vector<int> manners_errors(std::string_view call, std::string_view path)
{
    return errors_for(call, kind_of(path)).manners;
}

bool short_allowed(std::string_view call, std::string_view path)
{
    return (call == "read" || call == "write") && errors_for(call, kind_of(path)).short_ok;
}

size_t short_count(std::string_view path, size_t count)
{
    if (kind_of(path) != Kind::Input)
        return count / 2;
    // Whole input events only (16 bytes each on the box's 32-bit kernel):
    // one event is never cut.
    constexpr size_t kEvent = 16;
    size_t n = count / 2 / kEvent * kEvent;
    return n == 0 ? count : n;
}

std::optional<FaultHit> fault_check(Box &box, std::string_view call, std::string_view path, unsigned long request,
                                    int flags)
{
    auto &t = box.part<FaultTable>();
    if (t.count.load(std::memory_order_relaxed) == 0)
        return std::nullopt;
    const bool nonblock = flags >= 0 && (flags & O_NONBLOCK);
    const bool blocking = flags >= 0 && !(flags & O_NONBLOCK);
    const bool transfer = call == "read" || call == "write";
    // Whether Linux can give this error on this descriptor now.
    auto fits = [&](int e) {
        if (e == EAGAIN && (call == "read" || call == "write" || call == "ioctl"))
            return nonblock;
        if (e == EINTR && transfer)
            return blocking;
        return true;
    };
    json ev;
    FaultHit hit;
    {
        std::lock_guard<std::mutex> g(t.m);
        int64_t now = box.now_ms();
        ActiveFault *fired = nullptr;
        for (auto &f : t.faults) {
            const FaultRule &r = f.rule;
            bool manners = r.call == "manners" && call != "command";
            if (f.spent || (r.call != call && !manners) || !path_matches(r.path, path))
                continue;
            if (call == "ioctl" && !request_matches(r.request, request))
                continue;
            if (now < f.from_ms || now >= f.until_ms)
                continue;
            if (!r.hang && !manners && !r.short_transfer && !fits(r.error))
                continue;
            if (r.when == FaultRule::When::Rate &&
                std::uniform_real_distribution<double>(0.0, 1.0)(f.rng) >= r.rate)
                continue;
            if (manners) {
                // One of the errors documented for this call on this kind
                // of file that fits the descriptor, or a short transfer.
                CallErrors ce = errors_for(call, kind_of(path));
                std::vector<int> pick;
                for (int e : ce.manners)
                    if (fits(e))
                        pick.push_back(e);
                size_t n = pick.size() + (ce.short_ok ? 1 : 0);
                if (n == 0)
                    continue;
                size_t k = std::uniform_int_distribution<size_t>(0, n - 1)(f.rng);
                hit.short_transfer = k == pick.size();
                hit.error = hit.short_transfer ? 0 : pick[k];
            } else {
                hit.error = r.error;
                hit.short_transfer = r.short_transfer;
                hit.hang = r.hang;
                hit.hang_ms = r.hang_ms;
            }
            fired = &f;
            break;
        }
        if (!fired)
            return std::nullopt;
        fired->hits++;
        if (fired->rule.when == FaultRule::When::Once)
            fired->spent = true;
        const FaultRule &r = fired->rule;
        hit.missing = r.missing;
        hit.status = r.status;
        ev = {{"op", "fault"}, {"call", std::string(call)}};
        ev[call == "command" || call == "popen" || call == "system" ? "name" : "path"] = std::string(path);
        if (call == "ioctl") {
            const char *name = request_label(request);
            ev["request"] = name ? json(name) : json(request);
        }
        if (hit.hang)
            ev["error"] = "hang";
        else if (r.call == "command")
            ev["error"] = r.missing ? "missing" : "fail";
        else
            ev["error"] = hit.short_transfer ? "short" : errno_name(hit.error);
        ev["fault"] = r.text;
    }
    box.trace().record(std::move(ev));
    return hit;
}

void fault_hang(Box &box, const FaultHit &hit)
{
    if (!hit.hang)
        return;
    int64_t until = hit.hang_ms < 0 ? clock::kNever : clock::now_ns() + hit.hang_ms * 1000000;
    // A driver stuck in an uninterruptible wait: only the run's end frees it.
    box.wait_change([&box] { return box.stopping(); }, until, "hang");
}

bool fault_vanished(Box &box, std::string_view path)
{
    auto &t = box.part<FaultTable>();
    if (t.vanishes.load(std::memory_order_relaxed) == 0)
        return false;
    int64_t now = clock::now_ns();
    std::lock_guard<std::mutex> g(t.m);
    for (const auto &v : t.vanished)
        if (path_matches(v.path, path) && v.from_ns <= now && now < v.until_ns)
            return true;
    return false;
}

bool fault_dead(Box &box, const OpenFile &of)
{
    auto &t = box.part<FaultTable>();
    if (t.vanishes.load(std::memory_order_relaxed) == 0)
        return false;
    int64_t now = clock::now_ns();
    std::lock_guard<std::mutex> g(t.m);
    for (const auto &v : t.vanished)
        if (path_matches(v.path, of.path) && v.from_ns >= of.opened_ns && v.from_ns <= now)
            return true;
    return false;
}

std::vector<FaultStatus> fault_list(Box &box)
{
    auto &t = box.part<FaultTable>();
    std::lock_guard<std::mutex> g(t.m);
    int64_t now = box.now_ms();
    std::vector<FaultStatus> out;
    for (const auto &f : t.faults)
        out.push_back({f.rule.text, f.hits, !f.spent && now < f.until_ms});
    return out;
}

namespace {

// Sends each signal rule's signals at their times, while there are any.
void signals_loop(Box &box, FaultTable &t)
{
    for (;;) {
        int64_t next = INT64_MAX;
        uint64_t version;
        std::vector<json> sent;
        {
            std::lock_guard<std::mutex> g(t.m);
            version = t.version;
            int64_t now = box.now_ms();
            for (auto &f : t.faults) {
                if (f.rule.call != "signal" || f.spent)
                    continue;
                if (f.next_ms <= now && now < f.until_ms) {
                    auto d = clock::deliver_signal(f.rng(), f.rule.restart);
                    f.hits++;
                    json ev = {{"op", "signal"}, {"name", f.rule.path}, {"fault", f.rule.text}};
                    if (!d.thread.empty()) {
                        ev["to"] = d.thread;
                        ev["effect"] = d.effect;
                    }
                    sent.push_back(std::move(ev));
                    if (f.rule.when == FaultRule::When::Every)
                        f.next_ms += f.rule.every_ms;
                    else
                        f.spent = true;
                }
                if (!f.spent && f.next_ms < f.until_ms)
                    next = std::min(next, f.next_ms);
            }
            // With none left to send the thread ends (clear_faults or the
            // next signal fault joins it).
            if (next == INT64_MAX)
                t.signals_running = false;
        }
        for (auto &ev : sent)
            box.trace().record(std::move(ev));
        if (next == INT64_MAX || box.stopping())
            return;
        box.wait_change(
            [&] {
                std::lock_guard<std::mutex> g(t.m);
                return t.version != version || box.stopping();
            },
            box.time_of_ms(next), "signals");
        if (box.stopping())
            return;
    }
}

void install_faults(Box &box, const json &profile)
{
    if (!profile.is_object() || !profile.contains("faults"))
        return;
    const json &list = profile["faults"];
    if (!list.is_array()) {
        box.trace().record({{"op", "note"}, {"what", "profile: \"faults\" is a list of fault lines"}});
        return;
    }
    for (const auto &item : list) {
        std::string err;
        auto rule = item.is_string() ? parse_fault(split_words(item.get<std::string>()), err) : std::nullopt;
        if (!rule) {
            box.trace().record({{"op", "note"},
                                {"what", "profile: fault " + item.dump() + ": " + (err.empty() ? "not a text" : err)}});
            continue;
        }
        add_fault(box, *rule);
    }
}

// A profile's fault lines, checked as a script's are: one that asks for
// what Linux never does is refused, by its place in the list.
std::string check_faults(const json &profile)
{
    if (!profile.is_object() || !profile.contains("faults"))
        return {};
    const json &list = profile["faults"];
    if (!list.is_array())
        return "\"faults\" is a list of fault lines";
    for (size_t i = 0; i < list.size(); ++i) {
        std::string why;
        if (!list[i].is_string())
            why = "not a text";
        else if (!parse_fault(split_words(list[i].get<std::string>()), why) && why.empty())
            why = "not a fault";
        if (!why.empty())
            return "faults[" + std::to_string(i) + "] " + list[i].dump() + ": " + why;
    }
    return {};
}

void describe_faults(Box &box, json &state)
{
    json list = json::array();
    for (const auto &f : fault_list(box))
        list.push_back({{"fault", f.text}, {"hits", f.hits}, {"active", f.active}});
    state["faults"] = std::move(list);
}

std::optional<ActionRun> parse_action(const std::vector<std::string> &args, std::string &err)
{
    if (!args.empty() && args[0] == "clear") {
        if (args.size() > 2)
            return err = "fault clear [CALL]", std::nullopt;
        std::string call = args.size() == 2 ? args[1] : "";
        if (!call.empty() && !is_call(call))
            return err = "unknown call '" + call + "'", std::nullopt;
        return ActionRun([call](Box &box) { clear_faults(box, call); });
    }
    auto rule = parse_fault(args, err);
    if (!rule)
        return std::nullopt;
    return ActionRun([r = *rule](Box &box) { add_fault(box, r); });
}

} // namespace

BOXSIM_REGISTER({
    register_module({"faults", 0, install_faults, describe_faults, check_faults});
    register_action({"fault",
                     "fault CALL PATH [REQUEST] ERROR|hang [DURATION] [WHEN] | fault command NAME missing|fail [STATUS]|hang "
                     "[WHEN] | fault popen|system NAME ERROR [WHEN] | fault manners PATH rate P% [seed N] | fault vanish "
                     "PATH [WHEN] | fault appear PATH | fault signal NAME [restart] [once|after D|every D [for D]] | "
                     "fault clear [CALL]",
                     parse_action});
});

} // namespace boxsim
