// The console's tuner keys against what the frontends and the radio make of
// them: lock times as demodulators take them, and the factory's DiSEqC
// sequence on a committed switch.
#include "console_run.h"

#include "devices/frontend.h"
#include "devices/input.h"

namespace console_tuner_test {
namespace {

using namespace consolerun;
using boxsim::input::Role;

// The trace's DiSEqC messages of frontend 0 and the supply changes the
// switch noticed, each with what the switch made of it.
std::vector<std::string> heard_by_switch(boxsim::Box &box)
{
    std::vector<std::string> heard;
    for (const auto &e : box.trace().find("ioctl", "/dev/dvb0.frontend0")) {
        const std::string name = e.value("name", "");
        if (name == "FE_DISEQC_SEND_MASTER_CMD" || (name == "FE_SET_VOLTAGE" && e.contains("switch")))
            heard.push_back(e.value("diseqc", e.value("voltage", "")) + ": " + e.value("switch", ""));
    }
    return heard;
}

// The factory's DiSEqC sequence (reset, power on, committed switches F2:
// option A, position A, horizontal, low band) to a committed switch that
// the LNB supply powers. The tune sends it before it switches the supply on,
// so on a frontend just opened the switch hears none of it and stays at its
// power-up port A; a tune again, with the supply on, reaches it. A dish on
// port A locks; one on port B is never selected.
void factory_diseqc(const char *port, bool locks)
{
    json profile = ConsoleRun::profile("default");
    profile["inputs"]["factory"]["switch"] = {{"port", port}};
    ConsoleRun run(profile);
    ASSERT_TRUE(run.started);
    boxsim::Box &box = *run.box;
    ASSERT_TRUE(boxtest::eventually([] { return tuner_system[0] != 0; }, 3s));
    ASSERT_TRUE(boxsim::input::press(box, Role::Remote, 2));
    ASSERT_TRUE(boxtest::eventually([&] { return heard_by_switch(box).size() >= 4; }, 3s));
    EXPECT_EQ(boxtest::eventually([&] { return boxsim::frontend::locked(box, 0); }, 4s), locks);

    auto heard = heard_by_switch(box);
    ASSERT_GE(heard.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(heard.begin(), heard.begin() + 4),
              (std::vector<std::string>{"E0 00 00: lost: LNB supply off", "E0 00 03: lost: LNB supply off",
                                        "E0 10 38 F2: lost: LNB supply off", "SEC_VOLTAGE_18: powered up: port A"}));
    json tuner = boxsim::frontend::state(box, 0);
    EXPECT_EQ(tuner["diseqc_switch"]["port"], "A");
    EXPECT_EQ(tuner["diseqc_switch"]["powered"], true);
    EXPECT_EQ(tuner["diseqc_switch"]["lost"], 3);
    if (locks) {
        EXPECT_EQ(heard.size(), 4u) << "locked at the first tune: no tune again";
        return;
    }
    // Tuned again each pass, now with the supply on: the switch hears the
    // sequence and keeps port A.
    ASSERT_GE(heard.size(), 7u);
    EXPECT_EQ(heard[4], "E0 00 00: reset");
    EXPECT_EQ(heard[6], "E0 10 38 F2: committed: port A, H, low band");
    EXPECT_GE(tuner["diseqc_switch"]["heard"].get<int>(), 3);
    EXPECT_EQ(tuner["why"], "DiSEqC switch on port A, the dish is on port B");
    EXPECT_EQ(tuner_locked[0], 0);
}

TEST(ConsoleTuner, FactoryDiseqcToASwitchWhoseDishIsOnPortA) { factory_diseqc("A", true); }
TEST(ConsoleTuner, FactoryDiseqcToASwitchWhoseDishIsOnPortB) { factory_diseqc("B", false); }

} // namespace
} // namespace console_tuner_test
