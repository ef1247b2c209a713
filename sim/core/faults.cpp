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
#include <mutex>
#include <random>

namespace boxsim {

namespace {

struct ErrorName {
    const char *name;
    int value;
};
constexpr ErrorName kErrors[] = {{"EIO", EIO},       {"ENOENT", ENOENT}, {"EAGAIN", EAGAIN},
                                 {"EBUSY", EBUSY},   {"ENODEV", ENODEV}, {"ENOMEM", ENOMEM},
                                 {"EINVAL", EINVAL}, {"ETIMEDOUT", ETIMEDOUT}};

constexpr const char *kCalls[] = {"open", "read", "write", "ioctl", "mmap", "poll", "command"};

// A rule as it lives on the box: its window on the box's clock, its
// generator, and how often it has fired.
struct ActiveFault {
    FaultRule rule;
    int64_t from_ms = 0;
    int64_t until_ms = INT64_MAX;
    std::mt19937_64 rng;
    int hits = 0;
    bool spent = false;  // a "once" fault that has fired
};

struct FaultTable {
    std::mutex m;
    std::vector<ActiveFault> faults;
    std::atomic<int> count{0};  // so that a box without faults pays nothing
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
    if (i >= w.size() || w[i] == "always") {
        if (i < w.size() && i + 1 != w.size())
            return err = "nothing can follow 'always'", false;
        return true;
    }
    if (w[i] == "once") {
        r.when = FaultRule::When::Once;
        if (i + 1 != w.size())
            return err = "nothing can follow 'once'", false;
        return true;
    }
    if (w[i] == "rate") {
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
        if (i < w.size()) {
            auto d = w[i] == "for" && i + 1 < w.size() ? duration_ms(w[i + 1]) : std::nullopt;
            if (!d || i + 2 != w.size())
                return err = "for needs a duration such as 2s, and ends the fault", false;
            r.for_ms = *d;
        }
        return true;
    }
    return err = "bad time of fault '" + w[i] + "' (always, once, for 2s, after 1s for 2s, rate 5% seed 1)",
           false;
}

} // namespace

std::optional<FaultRule> parse_fault(const std::vector<std::string> &w, std::string &err)
{
    FaultRule r;
    if (w.empty())
        return err = "which call? (open, read, write, ioctl, mmap, poll, command)", std::nullopt;
    r.call = w[0];
    if (std::find_if(std::begin(kCalls), std::end(kCalls), [&](const char *c) { return r.call == c; }) ==
        std::end(kCalls))
        return err = "unknown call '" + r.call + "' (open, read, write, ioctl, mmap, poll, command)", std::nullopt;
    if (w.size() < 3)
        return err = r.call == "command" ? "command NAME missing|fail [STATUS] [WHEN]"
                                         : r.call + " PATH" + (r.call == "ioctl" ? " REQUEST" : "") + " ERROR [WHEN]",
               std::nullopt;
    r.path = w[1];
    size_t i = 2;
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
        } else {
            return err = "a command is 'missing' or 'fail [STATUS]'", std::nullopt;
        }
    } else {
        if (r.path != "*" && r.path[0] != '/')
            return err = "a path starts with '/' (or is '*')", std::nullopt;
        if (r.call == "ioctl") {
            r.request = w[i++];
            bool known = r.request == "*" || std::isdigit(static_cast<unsigned char>(r.request[0]));
            for (const auto &q : box_abi::kRequestNames)
                known = known || r.request == q.name;
            if (!known)
                return err = "unknown request '" + r.request + "'", std::nullopt;
            if (i >= w.size())
                return err = "ioctl PATH REQUEST ERROR [WHEN]", std::nullopt;
        }
        const std::string &e = w[i++];
        if (e == "short") {
            if (r.call != "read" && r.call != "write")
                return err = "only reads and writes can be short", std::nullopt;
            r.short_transfer = true;
        } else {
            auto it = std::find_if(std::begin(kErrors), std::end(kErrors), [&](const ErrorName &n) { return e == n.name; });
            if (it == std::end(kErrors))
                return err = "unknown error '" + e + "' (EIO, ENOENT, EAGAIN, EBUSY, ENODEV, ENOMEM, EINVAL, ETIMEDOUT, short)",
                       std::nullopt;
            r.error = it->value;
        }
    }
    if (!parse_when(w, i, r, err))
        return std::nullopt;
    for (const auto &word : w)
        r.text += (r.text.empty() ? "" : " ") + word;
    return r;
}

void add_fault(Box &box, const FaultRule &rule)
{
    auto &t = box.part<FaultTable>();
    ActiveFault f;
    f.rule = rule;
    int64_t now = box.now_ms();
    if (rule.when == FaultRule::When::Window) {
        f.from_ms = now + rule.after_ms;
        f.until_ms = rule.for_ms < 0 ? INT64_MAX : f.from_ms + rule.for_ms;
    }
    f.rng.seed(rule.seed);
    std::lock_guard<std::mutex> g(t.m);
    t.faults.push_back(std::move(f));
    t.count = static_cast<int>(t.faults.size());
}

void clear_faults(Box &box, const std::string &call)
{
    auto &t = box.part<FaultTable>();
    std::lock_guard<std::mutex> g(t.m);
    std::erase_if(t.faults, [&](const ActiveFault &f) { return call.empty() || f.rule.call == call; });
    t.count = static_cast<int>(t.faults.size());
}

std::optional<FaultHit> fault_check(Box &box, std::string_view call, std::string_view path, unsigned long request)
{
    auto &t = box.part<FaultTable>();
    if (t.count.load(std::memory_order_relaxed) == 0)
        return std::nullopt;
    json ev;
    FaultHit hit;
    {
        std::lock_guard<std::mutex> g(t.m);
        int64_t now = box.now_ms();
        ActiveFault *fired = nullptr;
        for (auto &f : t.faults) {
            const FaultRule &r = f.rule;
            if (f.spent || r.call != call || !path_matches(r.path, path))
                continue;
            if (call == "ioctl" && !request_matches(r.request, request))
                continue;
            if (now < f.from_ms || now >= f.until_ms)
                continue;
            if (r.when == FaultRule::When::Rate &&
                std::uniform_real_distribution<double>(0.0, 1.0)(f.rng) >= r.rate)
                continue;
            fired = &f;
            break;
        }
        if (!fired)
            return std::nullopt;
        fired->hits++;
        if (fired->rule.when == FaultRule::When::Once)
            fired->spent = true;
        const FaultRule &r = fired->rule;
        hit.error = r.error;
        hit.short_transfer = r.short_transfer;
        hit.missing = r.missing;
        hit.status = r.status;
        ev = {{"op", "fault"}, {"call", std::string(call)}};
        ev[call == "command" ? "name" : "path"] = std::string(path);
        if (call == "ioctl") {
            const char *name = request_label(request);
            ev["request"] = name ? json(name) : json(request);
        }
        if (r.call == "command")
            ev["error"] = r.missing ? "missing" : "fail";
        else
            ev["error"] = r.short_transfer ? "short" : errno_name(r.error);
        ev["fault"] = r.text;
    }
    box.trace().record(std::move(ev));
    return hit;
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
        if (!call.empty() &&
            std::find_if(std::begin(kCalls), std::end(kCalls), [&](const char *c) { return call == c; }) == std::end(kCalls))
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
    register_module({"faults", 0, install_faults, describe_faults});
    register_action({"fault",
                     "fault CALL PATH [REQUEST] ERROR [WHEN] | fault command NAME missing|fail [STATUS] [WHEN] | "
                     "fault clear [CALL]",
                     parse_action});
});

} // namespace boxsim
