// The test command's chaos seeds: every build's set covers every kind of
// action and fault the chaos runs have, so that a change of a generator that
// leaves a kind to the soak alone fails here with the kind's name.
#include "chaos_events.h"
#include "chaos_gate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace chaos_gate_test {
namespace {

using namespace chaos_events;

std::string joined(const std::set<std::string> &kinds)
{
    std::string text;
    for (const auto &k : kinds)
        text += "\n    " + k;
    return text;
}

TEST(ChaosGate, EveryBuildsSeedsCoverEveryKindOfActionAndFault)
{
    // Every kind there is: what the generators make of seeds 1 to 40 (each
    // kind of event comes a few times in every seed, the rarest, a card of
    // one kind in one reader, once in 230 events or so; those of the seed
    // itself, its manners' rate and signal, every four seeds).
    constexpr int kSeconds = 60, kAllSeeds = 40;
    struct Chaos {
        const char *name;
        std::set<std::string> (*kinds_of)(uint32_t, int);
        std::vector<int> chaos_gate::SeedSet::*seeds;
    };
    const Chaos chaoses[] = {
        {"console", &kinds_of_run<ConsoleEvents>, &chaos_gate::SeedSet::console},
        {"rescue", &kinds_of_run<RescueEvents>, &chaos_gate::SeedSet::rescue},
    };
    for (const Chaos &chaos : chaoses) {
        std::map<int, std::set<std::string>> of_seed;
        auto kinds_of = [&](int seed) -> const std::set<std::string> & {
            auto it = of_seed.find(seed);
            if (it == of_seed.end())
                it = of_seed.emplace(seed, chaos.kinds_of(static_cast<uint32_t>(seed), kSeconds)).first;
            return it->second;
        };
        std::set<std::string> every;
        for (int seed = 1; seed <= kAllSeeds; ++seed)
            every.insert(kinds_of(seed).begin(), kinds_of(seed).end());
        // A kind of each family of events is there: a table that lost its
        // rows, or a branch that no seed takes, shows here.
        for (const char *family : {"fault clear", "fault ", "cable plug", "dhcp lease", "manners at ", "manners signal "})
            EXPECT_TRUE(std::any_of(every.begin(), every.end(), [&](const std::string &k) { return k.starts_with(family); }))
                << chaos.name << ": no kind of '" << family << "' in:" << joined(every);

        for (const chaos_gate::SeedSet &set : chaos_gate::all_sets()) {
            const std::vector<int> &seeds = set.*chaos.seeds;
            EXPECT_FALSE(seeds.empty()) << set.build << " " << chaos.name;
            EXPECT_EQ(std::set<int>(seeds.begin(), seeds.end()).size(), seeds.size())
                << set.build << " " << chaos.name << ": a seed twice";
            std::set<std::string> missing = every;
            for (int seed : seeds)
                for (const auto &k : kinds_of(seed))
                    missing.erase(k);
            EXPECT_TRUE(missing.empty()) << "the " << set.build << " build's " << chaos.name
                                         << " chaos seeds leave these kinds to the soak:" << joined(missing);
        }
    }
    // The native build runs at least the twenty seeds the gate always ran.
    for (const auto *seeds : {&chaos_gate::all_sets()[0].console, &chaos_gate::all_sets()[0].rescue})
        for (int seed = 1; seed <= 20; ++seed)
            EXPECT_NE(std::find(seeds->begin(), seeds->end(), seed), seeds->end()) << "seed " << seed;
}

// A seed brings the same events at the same times in every build, so that a
// seed that fails under a checker or the emulator replays natively: the first
// events of seed 1 as the native build has always made them (the box's build
// made other ones while a line's draws were left to the compiler's order).
TEST(ChaosGate, ASeedBringsTheSameEventsInEveryBuild)
{
    auto first = [](auto stream) {
        std::vector<std::string> lines;
        for (int64_t t = 0; lines.size() < 8; t += stream.pause().count())
            lines.push_back(std::to_string(t) + " " + stream.next(t));
        return lines;
    };
    EXPECT_EQ(first(Stream<ConsoleEvents>(1)),
              (std::vector<std::string>{"0 type 0:F:12", "56 type ED5873", "80 key CHANNELDOWN",
                                        "90 fault write /dev/dvb0.dvr4 EINTR rate 7% seed 457", "125 keyboard unplug",
                                        "156 fault ioctl /dev/dvb0.frontend* * EBUSY rate 9% seed 778",
                                        "201 signal 1 snr 9 strength 31", "306 signal 1 snr 90 strength 87"}));
    EXPECT_EQ(first(Stream<RescueEvents>(1)),
              (std::vector<std::string>{"0 usb 2 on", "56 fault clear open", "80 usb 1 on", "90 dhcp none",
                                        "125 usb 1 off", "156 usb 1 on", "201 fault clear",
                                        "306 fault ioctl /dev/fb0 FBIO_BLIT EIO rate 19% seed 313"}));
}

} // namespace
} // namespace chaos_gate_test
