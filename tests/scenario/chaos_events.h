// The random events of the two chaos runs, from a seed, and the kinds of
// action and fault each event is: the chaos tests act on the lines, and the
// gate's seed sets are checked against the kinds (chaos_gate.h), both from
// this one generator, so that the kinds a gate covers cannot drift from what
// the runs do.
//
// A kind is what a reader of the fault language or the front panel would
// call one thing to do to the box: each remote and front-panel key, a key
// held, a whole address typed, the same address typed again, noise typed,
// the keyboard pulled while a text is typed, each cable, DHCP, card, CI and
// antenna action, each fault line of the tables (call, path, request, error
// or command form), each clear, and the seed's manners rate and signal.
// Values (addresses, SNR, fault rates and seeds) are not kinds.
//
// Where a line takes two draws, they are drawn one statement after the
// other: the operands of a chain of string + are evaluated in an order the
// language leaves open (gcc takes the right one first on x86-64, the left
// one first on mipsel), and a seed must bring the same events on every
// build, so that a seed that fails under the emulator replays natively. The
// order is the one the native build always took, so its seeds stay the
// runs they were.
#pragma once

#include "chaos_manners.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace chaos_events {

inline std::string first_words(const std::string &line, int n)
{
    size_t at = 0;
    for (int i = 0; i < n && at != std::string::npos; ++i)
        at = line.find(' ', at + (i ? 1 : 0));
    return at == std::string::npos ? line : line.substr(0, at);
}

// What both generators share: the seed's random draws, and the kinds of the
// event last drawn.
class Draws {
public:
    const std::vector<std::string> &kinds() const { return kinds_; }

protected:
    explicit Draws(uint32_t seed) : rng_(seed) {}
    int pick(size_t n) { return static_cast<int>(std::uniform_int_distribution<size_t>(0, n - 1)(rng_)); }
    std::string as_kind(std::string line)
    {
        kinds_.push_back(line);
        return line;
    }
    std::string lease()
    {
        const int host = 1 + pick(254);
        const int net = pick(256);
        return "dhcp lease 10.0." + std::to_string(net) + "." + std::to_string(host);
    }

    std::mt19937 rng_;
    std::vector<std::string> kinds_;
};

// Rescue chaos: cables, DHCP, USB devices, disks and HDMI, and faults on the
// rescue front end's paths.
class RescueEvents : public Draws {
public:
    explicit RescueEvents(uint32_t seed) : Draws(seed) {}

    // The next event's action line; `now_ms` is the box time it comes at.
    std::string next(int64_t now_ms)
    {
        (void)now_ms;
        kinds_.clear();
        int n = pick(100);
        if (n < 15)
            return as_kind(pick(3) ? "cable plug " + std::string(pick(2) ? "1000" : "100") : "cable unplug");
        if (n < 30) {
            std::string line = pick(3) ? lease() : "dhcp none";
            kinds_.push_back(first_words(line, 2));
            return line;
        }
        if (n < 45) {
            const bool on = pick(2);
            const int port = 1 + pick(2);
            return as_kind("usb " + std::to_string(port) + (on ? " on" : " off"));
        }
        if (n < 55)
            return as_kind("sata 0" + std::string(pick(2) ? " on" : " off"));
        if (n < 65) {
            int k = pick(4);
            return as_kind(k == 0 ? "hdmi fail" : k == 1 ? "hdmi none" : "hdmi " + std::to_string(pick(3)));
        }
        if (n < 92)
            return fault();
        return as_kind(pick(2) ? "fault clear" : "fault clear " + std::string(kCalls[pick(std::size(kCalls))]));
    }

private:
    static constexpr const char *kCalls[] = {"open", "read", "write", "ioctl", "command"};


    // A fault at 5 to 25 percent on one of the paths the front end uses: the
    // rescue front end makes a few calls a second, so lower rates seldom fire.
    std::string fault()
    {
        static const char *const kFaults[] = {
            "write /dev/lcd0 EIO",       "write /dev/lcd0 short",          "open /dev/lcd0 ENOENT",
            "open /proc/stb/lcd/* ENOMEM", "read /proc/stb/lcd/* EIO",       "ioctl /dev/fb0 FBIO_BLIT EIO",
            "open /sys/class/net/* EACCES", "read /sys/class/net/eth0/* EINVAL", "ioctl /dev/hdmi_cec * EBUSY",
            "open /sys/bus/usb/* ENOENT", "command udhcpc missing",        "command killall fail",
            "command echo fail",         "command ifconfig fail",
        };
        std::string f = kFaults[pick(std::size(kFaults))];
        kinds_.push_back("fault " + f);
        const int fault_seed = pick(1000);
        const int rate = 5 + pick(21);
        return "fault " + f + " rate " + std::to_string(rate) + "% seed " + std::to_string(fault_seed);
    }

};

// Console chaos: keys on every device, typing, cables, DHCP, cards, CI
// modules, antenna signals, and faults on the console's paths.
class ConsoleEvents : public Draws {
public:
    explicit ConsoleEvents(uint32_t seed) : Draws(seed) {}

    std::string next(int64_t now_ms)
    {
        kinds_.clear();
        std::string line = draw();
        // The keyboard pulled while a text is still being typed (a key every
        // 150 ms, the texts one after the other; the typing may begin later,
        // once the system has the keyboard open, so this is the earliest
        // reading): the rest of the text is lost mid-entry.
        if (line.starts_with("type ")) {
            typing_until_ms_ = std::max(typing_until_ms_, now_ms) + 150 * static_cast<int64_t>(line.size() - 5 + 1);
        } else if (line == "keyboard unplug") {
            if (now_ms < typing_until_ms_)
                kinds_.push_back("keyboard unplug mid-entry");
            typing_until_ms_ = now_ms;
        }
        return line;
    }

private:
    static constexpr const char *kRemoteKeys[] = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "MUTE",
                                                  "VOLUMEUP", "VOLUMEDOWN", "CHANNELUP", "CHANNELDOWN", "POWER",
                                                  "RED", "BLUE", "OK", "EXIT", "0"};
    static constexpr const char *kPanelKeys[] = {"POWER", "LEFT", "RIGHT", "UP", "DOWN", "MENU", "OK", "EXIT"};
    static constexpr const char *kCalls[] = {"open", "read", "write", "ioctl", "poll", "command"};

    std::string snr(const std::string &fe)
    {
        const int strength = pick(101);
        const int snr_pct = pick(101);
        return "signal " + fe + " snr " + std::to_string(snr_pct) + " strength " + std::to_string(strength);
    }

    std::string draw()
    {
        int n = pick(100);
        if (n < 22) {
            // "key NAME" or, held for two repeats, "key NAME 2".
            const bool once = pick(6);
            std::string line = "key " + std::string(kRemoteKeys[pick(std::size(kRemoteKeys))]) + (once ? "" : " 2");
            kinds_.push_back(first_words(line, 2));
            if (line != kinds_.back())
                kinds_.push_back("key held");
            return line;
        }
        if (n < 32)
            return as_kind("panel-key " + std::string(kPanelKeys[pick(std::size(kPanelKeys))]));
        if (n < 42)
            return typing();
        if (n < 46)
            return as_kind(pick(2) ? "keyboard plug" : "keyboard unplug");
        if (n < 52)
            return as_kind(pick(3) ? "cable plug " + std::string(pick(2) ? "1000" : "100") : "cable unplug");
        if (n < 57) {
            std::string line = pick(3) ? lease() : "dhcp none";
            kinds_.push_back(first_words(line, 2));
            return line;
        }
        if (n < 64) {
            std::string reader = std::to_string(pick(2));
            int k = pick(4);
            return as_kind(k == 0 ? "card " + reader + " remove"
                         : k == 1 ? "card " + reader + " insert none"
                         : k == 2 ? "card " + reader + " insert 00112233"
                                  : "card " + reader + " insert " + std::string(pick(2) ? "3B021450" : "3F2F008069AF0307"));
        }
        if (n < 68)
            return as_kind(pick(2) ? "ci 0 insert" : "ci 0 remove");
        if (n < 75) {
            std::string fe = std::to_string(pick(2));
            int k = pick(3);
            std::string line = k == 0 ? "signal " + fe + " off" : k == 1 ? "signal " + fe + " on" : snr(fe);
            kinds_.push_back(first_words(line, 3));
            return line;
        }
        if (n < 94)
            return fault();
        return as_kind(pick(2) ? "fault clear" : "fault clear " + std::string(kCalls[pick(std::size(kCalls))]));
    }

    // Part of an address, a whole one with the maker's prefix (typed twice in
    // a row now and then, so the flash is written under faults), or noise.
    std::string typing()
    {
        static const char kHex[] = "0123456789ABCDEF";
        int k = pick(4);
        if (k == 0 || (k == 1 && !last_address_.empty())) {
            if (k == 0 || last_address_.empty()) {
                last_address_ = "02:47:58:";
                for (int i = 0; i < 6; ++i)
                    last_address_ += kHex[pick(16)];
                kinds_.push_back("type an address");
            } else {
                kinds_.push_back("type the last address again");
            }
            return "type " + last_address_;
        }
        std::string text;
        int len = 1 + pick(8);
        for (int i = 0; i < len; ++i)
            text += pick(5) ? kHex[pick(16)] : ':';
        kinds_.push_back("type noise");
        return "type " + text;
    }

    // A fault at 2 to 10 percent on one of the console's paths.
    std::string fault()
    {
        static const char *const kFaults[] = {
            "write /dev/lcd0 EIO",
            "ioctl /dev/fb0 FBIO_BLIT EIO",
            "ioctl /dev/dvb0.frontend* FE_READ_STATUS EIO",
            "ioctl /dev/dvb0.frontend* FE_READ_SNR EIO",
            "ioctl /dev/dvb0.frontend* FE_SET_PROPERTY EIO",
            "ioctl /dev/dvb0.frontend* * EBUSY",
            "open /dev/dvb0.frontend* EBUSY",
            "ioctl /dev/dvb0.demux* * EINVAL",
            "ioctl /dev/dvb0.video* * EIO",
            "ioctl /dev/dvb0.audio* * EIO",
            "open /dev/dvb0.video1 ENOENT",
            "write /dev/dvb0.dvr4 short",
            "write /dev/dvb0.dvr4 EINTR",
            "poll /dev/dvb0.dvr4 ENOMEM",
            "read /root/audio.ts EIO",
            "ioctl /dev/sci* * EIO",
            "read /dev/sci* EIO",
            "poll /dev/ci* EINTR",
            "read /dev/event* ENODEV",
            "poll /dev/event* ENOMEM",
            "open /dev/event* EBUSY",
            "write /dev/mtdblock3 EIO",
            "open /dev/mtdblock3 EBUSY",
            "open /proc/stb/* ENOMEM",
            "read /proc/uptime EIO",
            "command udhcpc missing",
            "command showiframe fail",
            "command echo fail",
            "command ifconfig fail",
        };
        std::string f = kFaults[pick(std::size(kFaults))];
        kinds_.push_back("fault " + f);
        const int fault_seed = pick(1000);
        const int rate = 2 + pick(9);
        return "fault " + f + " rate " + std::to_string(rate) + "% seed " + std::to_string(fault_seed);
    }

    std::string last_address_;
    int64_t typing_until_ms_ = 0;
};

// A chaos run's events as its test makes them: each event's line, then a
// pause of 5 to 120 ms of box time, as a person's, before the next; from
// `seed` alone, so the same seed brings the same events at the same times.
template <class Events>
class Stream {
public:
    explicit Stream(uint32_t seed) : events_(seed), pace_(seed ^ 0x9e3779b9u) {}

    // The next event's line; it comes at `now_ms` of the run.
    std::string next(int64_t now_ms) { return events_.next(now_ms); }
    const std::vector<std::string> &kinds() const { return events_.kinds(); }
    std::chrono::milliseconds pause() { return std::chrono::milliseconds(std::uniform_int_distribution<int>(5, 120)(pace_)); }

private:
    Events events_;
    std::mt19937 pace_;
};

// The kinds of the faults every run adds from its seed: the manners at the
// seed's rate and the seed's signal.
inline std::vector<std::string> manners_kinds(uint32_t seed)
{
    return {"manners at " + chaos_manners::seed_rate(seed), "manners signal " + chaos_manners::signal_name(seed)};
}

// Every kind a run of `seconds` from `seed` acts out, computed as its test
// runs it (the box's time goes on only in the pauses), without a box.
template <class Events>
std::set<std::string> kinds_of_run(uint32_t seed, int seconds)
{
    std::set<std::string> kinds;
    for (auto &k : manners_kinds(seed))
        kinds.insert(k);
    Stream<Events> stream(seed);
    for (int64_t t = 0; t < seconds * int64_t{1000}; t += stream.pause().count()) {
        stream.next(t);
        kinds.insert(stream.kinds().begin(), stream.kinds().end());
    }
    return kinds;
}

} // namespace chaos_events
