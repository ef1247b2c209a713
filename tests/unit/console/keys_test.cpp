// The key input task: which devices it reads, and what each press does to
// the panel, the text display, the LEDs, the brightness and the record.
#include "console_test_util.h"

#include "console/keys.h"
#include "devices/input.h"
#include "devices/panel.h"

#include <algorithm>

namespace {

using namespace consoletest;
using boxsim::input::Role;

constexpr int POWER = 116, LEFT = 105, RIGHT = 106, UP = 103, DOWN = 108, MENU = 139, OK = 352, EXIT = 174;
constexpr int RED = 398, BLUE = 401, KEY_7 = 8, MUTE = 113, VOLDOWN = 114, VOLUP = 115;

const char *kWhite = "echo dev_lcd white > /proc/stb/dbg";
const char *kEights = "echo 88:88 > /dev/mcu";

class Keys : public ConsoleTest {
protected:
    // The commands run from position `from` on.
    std::vector<std::string> commands_since(size_t from) const
    {
        auto all = commands();
        return {all.begin() + static_cast<long>(std::min(from, all.size())), all.end()};
    }
};

TEST_F(Keys, OnlyTheBoxsOwnDevicesAreWatchedAndAHeldKeyActsOnce)
{
    start({{"lcd", {{"xres", 400}, {"yres", 240}, {"bpp", 16}}},
           {"input",
            {{"devices",
              {{{"event", 0}, {"name", "corvane-fp front panel keys"}, {"role", "panel"}},
               {{"event", 1}, {"name", "ir corvane remote"}, {"role", "remote"}},
               {{"event", 3}, {"name", "gpio-keys"}, {"role", "other"}}}},
             {"keyboard", {{"event", 2}, {"name", "USB Keyboard"}, {"plugged", true}}}}}});
    run(task_event);
    ASSERT_TRUE(boxtest::eventually([&] { return box->trace().count("open", "/dev/event1") == 1; }, 2s));
    // Keys on devices without "corvane" in their name do nothing.
    boxsim::input::press(*box, Role::Keyboard, POWER);
    boxsim::input::inject(*box, 3, 1, POWER, 1);
    // Held: one press, three repeats, the release.
    boxsim::input::press(*box, Role::Remote, MENU, 3);
    ASSERT_TRUE(boxtest::eventually([&] { return boxsim::input::pending(*box, 1) == 0; }, 2s));
    ASSERT_TRUE(boxtest::eventually([&] { return boxsim::display_text(*box) == "menu"; }, 2s));
    EXPECT_EQ(g_status.buttons_seen, 32);
    EXPECT_EQ(box->trace().count("open", "/dev/event2"), 0u);
    EXPECT_EQ(box->trace().count("open", "/dev/event3"), 0u);
    EXPECT_EQ(box->trace().count("open", "/dev/event4"), 0u);
    EXPECT_EQ(boxsim::display_history(*box), std::vector<std::string>{"menu"});
    EXPECT_EQ(boxsim::lcd_frame_count(*box), 1u);
    // Nobody has the keyboard open: its key reached no reader.
    EXPECT_EQ(boxsim::input::clients(*box, 2), 0u);
    EXPECT_EQ(boxsim::input::pending(*box, 2), 0u);

    g_status.quit = 1;
    boxsim::clock::join(threads.back());
    threads.pop_back();
    EXPECT_EQ(box->trace().count("close", "/dev/event0"), 1u);
    EXPECT_EQ(box->trace().count("close", "/dev/event1"), 1u);
}

TEST_F(Keys, PowerWithOnlyLedZeroOnShowsItsStepThenSwapsTheLeds)
{
    start({{"leds", {1, 0}}, {"lcd", {{"xres", 400}, {"yres", 240}, {"bpp", 16}}}});
    console_key(POWER);
    EXPECT_EQ(commands(), (std::vector<std::string>{"echo power > /dev/mcu", "echo 0 > /proc/stb/fp/led0_pattern",
                                                    "echo 1 > /proc/stb/fp/led1_pattern"}));
    EXPECT_EQ(boxsim::led_values(*box), (std::array<int, 2>{0, 1}));
    // The LCD shows the pattern before anything is run.
    auto events = box->trace().events();
    auto frame = std::find_if(events.begin(), events.end(), [](const json &e) { return e.value("path", "") == "/dev/lcd0" && e.value("op", "") == "write"; });
    auto first_cmd = std::find_if(events.begin(), events.end(), [](const json &e) { return e.value("op", "") == "system"; });
    EXPECT_LT(frame, first_cmd);
    // Back again; with both LEDs on, nothing is swapped.
    console_key(POWER);
    EXPECT_EQ(boxsim::led_values(*box), (std::array<int, 2>{1, 0}));
    box->file("/proc/stb/fp/led1_pattern")->set_content("1\n");
    size_t before = commands().size();
    console_key(POWER);
    EXPECT_EQ(commands_since(before), std::vector<std::string>{"echo power > /dev/mcu"});
}

TEST_F(Keys, TheEighthKeyCompletesTheTestAndOnlyColourKeysLeaveThePanelAlone)
{
    start({{"lcd", {{"xres", 220}, {"yres", 176}, {"bpp", 16}}}});
    for (int code : {LEFT, RIGHT, UP, DOWN, MENU, OK, EXIT, LEFT})
        console_key(code);
    EXPECT_EQ(g_status.buttons_seen, 254);
    auto run_so_far = commands();
    EXPECT_EQ(std::count(run_so_far.begin(), run_so_far.end(), kWhite), 0);
    // An already-seen key still shows its pattern and word.
    EXPECT_EQ(boxsim::display_history(*box).back(), "left");
    EXPECT_EQ(boxsim::lcd_frame_count(*box), 8u);

    size_t before = commands().size();
    console_key(POWER);
    EXPECT_EQ(g_status.buttons_seen, 255);
    EXPECT_EQ(commands_since(before), (std::vector<std::string>{"echo power > /dev/mcu", kWhite, kEights, kWhite, kEights}));
    auto frame = boxsim::lcd_frame(*box);
    ASSERT_TRUE(frame);
    EXPECT_TRUE(std::all_of(frame->bytes.begin(), frame->bytes.end(), [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(boxsim::display_text(*box), "88:88");

    // Complete: a test key no longer shows its pattern, only the white panel.
    uint64_t frames = boxsim::lcd_frame_count(*box);
    before = commands().size();
    console_key(OK);
    EXPECT_EQ(commands_since(before), (std::vector<std::string>{kWhite, kEights, kWhite, kEights}));
    // Colour keys leave everything alone; any other key, even one without an
    // action, lights the panel once.
    for (int code : {RED, 399, 400, BLUE}) {
        before = commands().size();
        console_key(code);
        EXPECT_TRUE(commands_since(before).empty()) << code;
    }
    before = commands().size();
    console_key(50);
    EXPECT_EQ(commands_since(before), (std::vector<std::string>{kWhite, kEights}));
    EXPECT_EQ(boxsim::lcd_frame_count(*box), frames + 3);  // the white paintings only
}

TEST_F(Keys, VolumeStaysWithinItsLimitsAndMuteToggles)
{
    start();
    struct {
        int before, key, after;
    } cases[] = {{97, VOLUP, 100}, {100, VOLUP, 100}, {50, VOLUP, 55}, {3, VOLDOWN, 0}, {0, VOLDOWN, 0}, {50, VOLDOWN, 45}};
    for (const auto &c : cases) {
        g_status.volume = c.before;
        console_key(c.key);
        EXPECT_EQ(g_status.volume, c.after) << c.before << " key " << c.key;
    }
    console_key(MUTE);
    EXPECT_EQ(g_status.mute, 1);
    console_key(MUTE);
    EXPECT_EQ(g_status.mute, 0);
    EXPECT_TRUE(commands().empty());
    // Every press wakes the screen.
    EXPECT_EQ(BKNI_WaitForEvent(g_status.gui_event, 0), BERR_SUCCESS);
}

TEST_F(Keys, BrightnessCyclesThroughItsThreeValuesAndLeavesOthersAlone)
{
    start();
    auto file = box->file("/proc/stb/fp/oled_brightness");
    ASSERT_TRUE(file);
    struct {
        const char *now;
        const char *next;
    } cases[] = {{"0\n", "127"}, {"127\n", "255"}, {"255\n", "0"}, {"64\n", "64"}, {"", ""}};
    for (const auto &c : cases) {
        file->set_content(c.now);
        console_key(KEY_7);
        std::string after = box->read_file("/proc/stb/fp/oled_brightness");
        if (!after.empty() && after.back() == '\n')
            after.pop_back();
        std::string expect = c.next;
        if (std::string(c.now).empty())
            expect = "127";  // an empty file reads as 0
        EXPECT_EQ(after, expect) << "from '" << c.now << "'";
    }
    // A missing file reads as 0 as well.
    box->remove("/proc/stb/fp/oled_brightness");
    size_t before = commands().size();
    console_key(KEY_7);
    EXPECT_EQ(commands_since(before), std::vector<std::string>{"echo 127 > /proc/stb/fp/oled_brightness"});
}

} // namespace

namespace {

// A device of the box's own that goes away (a front panel on USB, say) is
// let go instead of waking the task's every wait at once.
TEST_F(Keys, AnOwnDeviceThatGoesAwayIsClosed)
{
    start({{"input", {{"keyboard", {{"event", 4}, {"name", "corvane usb keypad"}, {"plugged", true}}}}}});
    run(task_event);
    ASSERT_TRUE(boxtest::eventually([&] { return box->trace().count("open", "/dev/event4") == 1; }, 2s));
    boxsim::input::press(*box, Role::Keyboard, MENU);
    ASSERT_TRUE(boxtest::eventually([] { return g_status.buttons_seen == 32; }, 2s));
    boxsim::input::keyboard(*box, false);
    ASSERT_TRUE(boxtest::eventually([&] { return box->trace().count("close", "/dev/event4") == 1; }, 2s));
    // Found once at the start only: plugged back, it is not opened again.
    boxsim::input::keyboard(*box, true);
    boxsim::input::press(*box, Role::Keyboard, OK);
    EXPECT_FALSE(boxtest::eventually([] { return g_status.buttons_seen != 32; }, 500ms));
    EXPECT_EQ(box->trace().count("open", "/dev/event4"), 1u);
}

} // namespace
