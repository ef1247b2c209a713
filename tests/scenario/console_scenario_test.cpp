// The factory test console on the simulated box, looked at as a person
// would: the button test on the front panel, a MAC address typed on a USB
// keyboard, a smart card, and the end on a stop signal.
#include "console_run.h"

#include "console/areas.h"
#include "devices/cards.h"
#include "devices/input.h"
#include "devices/panel.h"
#include "tuner/tuner_monitor.h"

#include <csignal>

namespace {

using namespace consolerun;
using boxsim::input::Role;

TEST(ConsoleScenario, ButtonTestMacEntryAndSmartCard)
{
    // The default box, its link and DHCP server quick to answer.
    json profile = ConsoleRun::profile("default");
    profile["network"]["autoneg_ms"] = 0;
    profile["network"]["dhcp"]["answer_ms"] = 20;
    ConsoleRun run(profile);
    ASSERT_TRUE(run.started);
    boxsim::Box &box = *run.box;
    // Transparent where no area is drawn: live video shows through.
    auto tv = boxsim::picture(box, "tv");
    ASSERT_TRUE(tv);
    EXPECT_EQ(tv->at(640, 450), 0u);
    EXPECT_TRUE(run.until_tv_box(220, 60, 150, 40, "POWER", kBlue));
    // Card column of this board: the CI slot, then reader 1 (with the
    // profile's card), then reader 0.
    EXPECT_TRUE(run.until_tv_box(380, 60, 150, 40, "CI1 OK", kGreen));
    EXPECT_TRUE(run.until_tv_box(380, 105, 150, 40, "SCI1 OK", kGreen));
    EXPECT_TRUE(run.until_tv_box(380, 150, 150, 40, "SCI2 NOK", kBlue));

    // All eight front-panel keys: each shows its pattern with its name, and
    // its word on the text display.
    const struct {
        const char *key, *word;
    } keys[] = {{"POWER", "power"}, {"MENU", "menu"}, {"EXIT", "exit"}, {"LEFT", "left"},
                {"RIGHT", "right"}, {"UP", "-up-"},   {"DOWN", "down"}, {"OK", "-ok-"}};
    for (const auto &k : keys) {
        uint64_t frames = boxsim::lcd_frame_count(box);
        size_t words = boxsim::display_history(box).size();
        ASSERT_TRUE(boxsim::input::press(box, Role::Panel, *boxsim::input::key_code(k.key)));
        ASSERT_TRUE(boxtest::eventually([&] { return boxsim::lcd_frame_count(box) > frames && boxsim::display_history(box).size() > words; }, 3s)) << k.key;
        EXPECT_EQ(boxsim::display_history(box)[words], k.word);
        if (std::string(k.key) != "OK") {
            auto f = boxsim::lcd_frame(box);
            ASSERT_TRUE(f);
            EXPECT_EQ(f->bytes[0], 0xFF);  // the pattern's white bar
            EXPECT_EQ(f->bytes[(399) * 2 + 1], 31);  // its blue bar
        }
    }
    // The eighth key: its word, then the panel white with "88:88", twice.
    ASSERT_TRUE(boxtest::eventually([&] { return boxsim::display_history(box).size() >= 10; }, 3s));
    auto history = boxsim::display_history(box);
    std::vector<std::string> tail(history.end() - 3, history.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"-ok-", "88:88", "88:88"}));
    auto f = boxsim::lcd_frame(box);
    ASSERT_TRUE(f);
    EXPECT_TRUE(std::all_of(f->bytes.begin(), f->bytes.end(), [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(g_status.buttons_seen, 255);
    EXPECT_TRUE(run.until_tv_box(220, 375, 150, 40, ">OK<", kGreen));
    boxsim::write_png(boxsim::lcd_decode(*f), "console-buttons-lcd.png");

    // A MAC address typed twice on a USB keyboard, by a person and then by
    // a scanner. The second copy follows a pass of the port monitor and
    // takes a scanner a few milliseconds, so that the screen shows the
    // pending programming before the monitor's next pass writes the flash.
    ASSERT_TRUE(run.until_tv_box(700, 600, 500, 40, "IP : 192.168.1.20 (02:1C:B4:10:00:01)", kGrey, 8s));
    ASSERT_TRUE(boxsim::input::type_text(box, "02:47:58:1A:2B:3C\n"));
    ASSERT_TRUE(boxtest::eventually([&] { return !boxsim::input::busy(box); }, 8s));
    size_t hdmi_asks = box.trace().count("ioctl", "/dev/hdmi_cec");
    ASSERT_TRUE(boxtest::eventually([&] { return box.trace().count("ioctl", "/dev/hdmi_cec") > hdmi_asks; }, 3s));
    ASSERT_TRUE(boxsim::input::type_text(box, "02:47:58:1A:2B:3C\n", boxsim::input::kScannerKeyMs));
    EXPECT_TRUE(run.until_tv_box(700, 600, 500, 40, "IP : 192.168.1.20 (FLASHING)", kYellow, 1s));
    save(box, "tv", "console-flashing-tv.png");
    ASSERT_TRUE(boxtest::eventually([&] { return box.trace().count("write", "/dev/mtdblock3") == 1; }, 3s));
    // The new address, once the interface reports it (the link comes back
    // after the interface was taken down and up).
    EXPECT_TRUE(run.until_tv_box(700, 600, 500, 40, "IP : 192.168.1.20 (02:47:58:1A:2B:3C)", kGreen, 5s));

    // A smart card in reader 0 (SCI2 on this board).
    boxsim::cards::insert(box, 0, "3B8F800180318065B0");
    EXPECT_TRUE(run.until_tv_box(380, 150, 150, 40, "SCI2 OK", kGreen, 4s));
    save(box, "tv", "console-scenario-tv.png");
}

TEST(ConsoleScenario, AStopSignalEndsItWithEveryDeviceClosed)
{
    ConsoleRun run(ConsoleRun::profile("tetraplus"));
    ASSERT_TRUE(run.started);
    boxsim::input::press(*run.box, Role::Remote, 8);  // something pressed
    boxsim::input::keyboard(*run.box, true);
    ASSERT_TRUE(boxtest::eventually([&] { return run.open_devices().count("/dev/event2") == 1; }, 3s));
    EXPECT_TRUE(run.open_devices().count("/dev/sci0"));
    auto t0 = boxsim::BoxSteadyClock::now();
    raise(SIGTERM);
    EXPECT_EQ(run.wait_return(3s), 0);
    EXPECT_LT(boxsim::BoxSteadyClock::now() - t0, 2s);
    // Only the framebuffer stays open for the whole run.
    auto open = run.open_devices();
    EXPECT_EQ(open.size(), 1u);
    EXPECT_TRUE(open.count("/dev/fb0"));
}

} // namespace

namespace {

TEST(ConsoleScenario, TunerOneLocksAndTheTvShowsItsPictureUnderTheAreas)
{
    ConsoleRun run(ConsoleRun::profile("default"));
    ASSERT_TRUE(run.started);
    boxsim::Box &box = *run.box;
    EXPECT_TRUE(run.until_tv_box(60, 500, 150, 40, "1.OFF", kLightGrey));
    ASSERT_TRUE(boxtest::eventually([] { return tuner_system[0] != 0; }, 3s));
    ASSERT_TRUE(boxsim::input::press(box, Role::Remote, 2));
    ASSERT_TRUE(boxtest::eventually([] { return tuner_locked[0] != 0; }, 5s));
    EXPECT_TRUE(run.until_tv_box(60, 500, 150, 40, "1.DVB-S/S2", kGreen));
    EXPECT_TRUE(run.until_tv_box(60, 550, 150, 40, "5.18V", kYellow));
    EXPECT_TRUE(run.until_tv_box(220, 550, 150, 40, "6.0KHz", kLightGrey));
    // Decoding: the video plane shows through where no area is drawn.
    EXPECT_TRUE(boxtest::eventually([&] {
        auto tv = boxsim::picture(box, "tv");
        return tv && (tv->at(640, 450) & 0xFFFFFF) != 0;
    }, 5s, ConsoleRun::kPictureStep));
    save(box, "tv", "console-tuner-tv.png");
    save(box, "lcd", "console-tuner-lcd.png");
}

TEST(ConsoleScenario, AStopSignalDuringFilePlaybackAndATuneEndsItWithEveryDeviceClosed)
{
    ConsoleRun run(ConsoleRun::profile("default"));
    ASSERT_TRUE(run.started);
    boxsim::Box &box = *run.box;
    // Once the tuner monitor has found the tuners.
    ASSERT_TRUE(boxtest::eventually([] { return tuner_system[0] != 0; }, 3s));
    boxsim::input::press(box, Role::Remote, 2);  // tuner 1
    ASSERT_TRUE(boxtest::eventually([] { return tuner_run[0] == 1; }, 3s));
    boxsim::input::press(box, Role::Remote, 9);  // the audio test file
    ASSERT_TRUE(boxtest::eventually([] { return g_status.tsfile_playing == 1; }, 3s));
    ASSERT_TRUE(boxtest::eventually([&] { return run.open_devices().count("/dev/dvb0.frontend0") == 1; }, 3s));
    auto t0 = boxsim::BoxSteadyClock::now();
    raise(SIGTERM);
    EXPECT_EQ(run.wait_return(3s), 0);
    EXPECT_LT(boxsim::BoxSteadyClock::now() - t0, 2s);
    auto open = run.open_devices();
    for (const auto &[path, n] : open)
        EXPECT_EQ(path, "/dev/fb0") << n << " left open";
}

} // namespace
