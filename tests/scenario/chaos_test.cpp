// Chaos: the front end on a box to which random things happen, quickly and
// from a seed: cables plugged and pulled, DHCP servers answering and going
// silent, USB devices, disks and HDMI coming and going, and driver, file and
// shell faults at a few percent. Afterwards the box is put right, and the
// system must show the address it is given and end cleanly on quit.
//
// The run prints its seed; BOXSIM_CHAOS_SEED takes one back, and
// BOXSIM_CHAOS_SECONDS changes its length (60 s of the box's virtual clock by default).
#include "rescue_run.h"
#include "chaos_events.h"
#include "chaos_gate.h"
#include "chaos_manners.h"

#include <cstdio>
#include <set>

namespace rescuetest {
namespace {

using namespace chaos_manners;

int env_int(const char *name, int fallback)
{
    const char *v = getenv(name);
    return v && *v ? atoi(v) : fallback;
}

json chaos_profile()
{
    json p = RescueRun::load("default");
    p["network"]["autoneg_ms"] = 100;
    p["network"]["dhcp"] = {{"lease", "192.168.1.20"}, {"answer_ms", 20}, {"discover_timeout_ms", 200},
                            {"retries", 3}, {"retry_pause_ms", 300}};
    p["sata"] = {{"hosts", 1}, {"attached", json::array()}};
    return p;
}

void act(boxsim::Box &box, const std::string &line)
{
    std::string err;
    auto a = boxsim::parse_action(line, err);
    ASSERT_TRUE(a) << line << ": " << err;
    boxsim::run_action(box, *a, "chaos");
}

// Each seed is one run of its own (events, faults and the box's scheduler);
// BOXSIM_CHAOS_SEED runs that seed again, the same run to the byte.
class Chaos : public testing::TestWithParam<int> {};

TEST_P(Chaos, RandomEventsAndFaultsThenTheBoxIsPutRight)
{
    const uint32_t seed = static_cast<uint32_t>(env_int("BOXSIM_CHAOS_SEED", GetParam()));
    const int seconds = env_int("BOXSIM_CHAOS_SECONDS", 60);
    printf("chaos: seed %u, %d s (BOXSIM_CHAOS_SEED=%u BOXSIM_CHAOS_SECONDS=%d to run it again)\n", seed, seconds,
           seed, seconds);
    fflush(stdout);

    boxsim::Box::set_default_clock({true, seed});
    RescueRun run(chaos_profile());
    ASSERT_TRUE(run.started);
    chaos_events::Stream<chaos_events::RescueEvents> chaos(seed);
    int events = 0;
    std::set<std::string> acted;  // the kinds of action and fault of the run
    const bool manners = manners_on();
    if (manners) {
        act(*run.box, manners_line(seed));
        act(*run.box, signal_line(seed));
        for (const auto &k : chaos_events::manners_kinds(seed))
            acted.insert(k);
    }
    const uint32_t calls_at = static_cast<uint32_t>(boxsim::clock::facade_calls());
    const auto begin = boxsim::BoxSteadyClock::now(), end = begin + std::chrono::seconds(seconds);
    while (boxsim::BoxSteadyClock::now() < end) {
        std::string line = chaos.next(chaos_gate::ms_since(begin));
        act(*run.box, line);
        // A clear of every fault leaves the manners on.
        if (manners && line == "fault clear") {
            act(*run.box, manners_line(seed));
            act(*run.box, signal_line(seed));
        }
        acted.insert(chaos.kinds().begin(), chaos.kinds().end());
        ++events;
        // The next event comes after a random pause, as a person's would.
        run.box->wait_for([] { return false; }, chaos.pause());
    }
    ASSERT_FALSE(HasFatalFailure());
    chaos_gate::expect_run_as_planned<chaos_events::RescueEvents>("chaos", seed, seconds, manners, acted, calls_at);
    auto faults = run.box->trace().count("fault");
    printf("chaos: %d events, %zu faults fired%s\n", events, faults,
           manners ? (", " + manners_line(seed)).c_str() : "");
    chaos_gate::print_kinds("chaos", acted, run.box->trace());

    // Put right: no faults, the cable in, a server that answers. The system
    // shows the unplugged cable, and then the address it holds: the one it
    // leased during the run, or the server's now.
    act(*run.box, "fault clear");
    act(*run.box, "dhcp lease 192.168.7.7");
    act(*run.box, "cable unplug");
    ASSERT_TRUE(run.until_lcd(rescue_lcd(400, 240, "unplugged"), 30s)) << "seed " << seed;
    act(*run.box, "cable plug 1000");
    std::string url;
    auto shows_address = [&] {
        if (g_status.dhcp_done == 1) {
            char text[32];
            snprintf(text, sizeof text, "http://%d.%d.%d.%d/", status_load_byte(&g_status.ip[0]),
                     status_load_byte(&g_status.ip[1]), status_load_byte(&g_status.ip[2]),
                     status_load_byte(&g_status.ip[3]));
            url = text;
            auto f = boxsim::lcd_frame(*run.box);
            if (f && f->bytes == rescue_lcd(400, 240, text))
                return true;
        }
        run.passes(run.shown().size() + 1, 3s);
        return false;
    };
    EXPECT_TRUE(boxtest::eventually(shows_address, 30s)) << "seed " << seed << ", address " << url;

    run.stop();
    EXPECT_EQ(run.wait_return(5s), 0) << "the front end ends on quit; seed " << seed;
}

// The gate's seeds of this build (chaos_gate.h); the soak runs any other
// seed through the first of them.
INSTANTIATE_TEST_SUITE_P(Seeds, Chaos, testing::ValuesIn(chaos_gate::this_build().rescue));

} // namespace
} // namespace rescuetest
