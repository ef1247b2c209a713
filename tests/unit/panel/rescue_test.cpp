// One redraw pass of the rescue display at a time: LEDs, the scrolling text,
// the LCD frame and the TV, with the status record set by hand.
#include "panel_test_util.h"

#include "app/status.h"
#include "app/testui.h"
#include "gfx/fb.h"
#include "gfx/font.h"
#include "gfx/screen_text.h"
#include "image.h"

#include <cstring>

namespace {

using namespace paneltest;

class Rescue : public testing::Test {
protected:
    void start(const char *profile)
    {
        box = boxtest::make_box(profile);
        ASSERT_TRUE(box);
        ASSERT_EQ(fb_init(), 0);
        fb_setmode(1280, 720, 32);
        if (!g_font_mutex)  // once per process, as the start-up does
            fb_font_init();
    }

    void set_link(bool link, bool lease)
    {
        g_status.eth_link = link;
        g_status.dhcp_done = lease;
    }

    void set_ip(unsigned char a, unsigned char b, unsigned char c, unsigned char d)
    {
        unsigned char ip[4] = {a, b, c, d};
        for (int i = 0; i < 4; ++i)
            status_store_byte(&g_status.ip[i], ip[i]);
    }

    // Texts the display showed from the `from`-th write on.
    std::vector<std::string> shown_since(size_t from)
    {
        auto h = boxsim::display_history(*box);
        return {h.begin() + static_cast<long>(std::min(from, h.size())), h.end()};
    }

    // What the panel should show: both lines drawn into a black frame.
    std::vector<uint8_t> expected_lcd(int w, int h, const char *second)
    {
        std::vector<uint8_t> f(static_cast<size_t>(w) * h * 2, 0);
        BMF_DrawText(f.data(), w, h, 16, 0, (h / 5) * 2, w, h / 5, "RESCUE MODE", BMF_ALIGN_CENTER, 0xFFFF,
                     0xFFFFFFFF);
        BMF_DrawText(f.data(), w, h, 16, 0, (h / 5) * 3, w, h / 5, second, BMF_ALIGN_CENTER, 0xFFFF, 0xFFFFFFFF);
        return f;
    }

    // Rows of the panel that hold any lit pixel.
    std::vector<int> lit_rows(const std::vector<uint8_t> &f, int w, int h)
    {
        std::vector<int> rows;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                if (px16(f, w, x, y)) {
                    rows.push_back(y);
                    break;
                }
        return rows;
    }

    // Whether the TV's rows [y, y + 40) hold exactly `text` centred in white
    // on black, as the screen text draws it.
    bool tv_line_is(const boxsim::Image &tv, int y, const char *text)
    {
        std::vector<uint32_t> ref(1280u * 720, 0xFF000000u);
        BMF_DrawText(ref.data(), 1280, 720, 32, 0, y, 1280, 40, text, BMF_ALIGN_CENTER, 0xFFFFFFFF, 0xFFFFFFFF);
        for (int row = y; row < y + 40; ++row)
            for (int x = 0; x < 1280; ++x)
                if ((tv.at(x, row) & 0xFFFFFF) != (ref[static_cast<size_t>(row) * 1280 + x] & 0xFFFFFF))
                    return false;
        return true;
    }

    std::unique_ptr<boxsim::Box> box;
};

TEST_F(Rescue, LedsBlinkInFourStepsThenRepeat)
{
    start("default");
    for (int pass = 0; pass < 5; ++pass)
        draw_rescue();
    using L = boxsim::LedWrite;
    std::vector<L> expected = {{0, 0}, {1, 1}, {0, 1}, {1, 1}, {0, 1}, {1, 0}, {0, 1}, {1, 1}, {0, 0}, {1, 1}};
    EXPECT_EQ(boxsim::led_history(*box), expected);
    auto cmds = box->trace().find("system");
    ASSERT_GE(cmds.size(), 2u);
    EXPECT_EQ(cmds[0]["cmd"], "echo 0 > /proc/stb/fp/led0_pattern");
    EXPECT_EQ(cmds[1]["cmd"], "echo 1 > /proc/stb/fp/led1_pattern");
}

TEST_F(Rescue, WithoutLinkTheDisplayScrollsTheUnpluggedText)
{
    start("default");
    for (int pass = 0; pass < 20; ++pass)
        draw_rescue();
    std::vector<std::string> expected = {"   h", "  ht", " htt", "http", "ttp_", "tp__", "p___",
                                         "___u", "__un", "_unp", "unpl", "nplu", "plug", "luge",
                                         "uged", "ged",  "ed",   "d",    "",     "   h"};
    EXPECT_EQ(shown_since(0), expected);
    EXPECT_TRUE(box->trace().contains(
        [](const json &e) { return e.value("op", "") == "system" && e.value("cmd", "") == "echo '' > /dev/mcu"; }));

    auto lcd = last_frame(*box);
    EXPECT_EQ(lcd, expected_lcd(400, 240, "unplugged"));
    auto tv = boxsim::picture(*box, "tv");
    ASSERT_TRUE(tv);
    EXPECT_TRUE(tv_line_is(*tv, 300, "Your Corvane has booted into rescue mode.\n"));
    EXPECT_TRUE(tv_line_is(*tv, 340, "Please point your web browser to http://0.0.0.0\n"));
    EXPECT_EQ(tv->at(5, 5) & 0xFFFFFF, 0u);
}

TEST_F(Rescue, LinkWithoutLeaseSaysPlugged)
{
    start("default");
    set_link(true, false);
    set_ip(192, 168, 1, 20);  // an address without a lease is not shown
    draw_rescue();
    EXPECT_EQ(last_frame(*box), expected_lcd(400, 240, "plugged"));
    EXPECT_EQ(boxsim::display_text(*box), "   h");
    draw_rescue();
    EXPECT_EQ(boxsim::display_text(*box), "  ht");
}

TEST_F(Rescue, ALeaseShowsTheAddressEverywhere)
{
    start("default");
    set_link(true, true);
    set_ip(192, 168, 1, 20);
    for (int pass = 0; pass < 25; ++pass)
        draw_rescue();
    auto shown = shown_since(0);
    ASSERT_EQ(shown.size(), 25u);
    // "   http___192_168_1_20_": 23 characters in 24 steps, the last blank.
    std::vector<std::string> head(shown.begin(), shown.begin() + 5);
    EXPECT_EQ(head, (std::vector<std::string>{"   h", "  ht", " htt", "http", "ttp_"}));
    std::vector<std::string> tail(shown.begin() + 19, shown.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"_20_", "20_", "0_", "_", "", "   h"}));
    EXPECT_EQ(shown[10], "192_");

    EXPECT_EQ(last_frame(*box), expected_lcd(400, 240, "http://192.168.1.20/"));
    auto tv = boxsim::picture(*box, "tv");
    ASSERT_TRUE(tv);
    EXPECT_TRUE(tv_line_is(*tv, 340, "Please point your web browser to http://192.168.1.20\n"));
}

TEST_F(Rescue, ALostLeaseFallsBackWhereTheUnpluggedTextStopped)
{
    start("default");
    for (int pass = 0; pass < 5; ++pass)
        draw_rescue();  // unplugged text up to "ttp_"
    set_link(true, true);
    set_ip(10, 0, 0, 7);
    for (int pass = 0; pass < 3; ++pass)
        draw_rescue();
    set_link(false, false);  // the cable pulled: the address is no longer held
    draw_rescue();
    draw_rescue();
    EXPECT_EQ(shown_since(5), (std::vector<std::string>{"   h", "  ht", " htt", "tp__", "p___"}));
    EXPECT_EQ(last_frame(*box), expected_lcd(400, 240, "unplugged"));
    auto tv = boxsim::picture(*box, "tv");
    ASSERT_TRUE(tv);
    EXPECT_TRUE(tv_line_is(*tv, 340, "Please point your web browser to http://10.0.0.7\n"));
    // A new lease resumes the address text where it stopped.
    set_link(true, true);
    draw_rescue();
    EXPECT_EQ(boxsim::display_text(*box), "http");
}

TEST_F(Rescue, TextBoxesFollowThePanelHeight)
{
    struct Panel {
        const char *profile;
        int w, h;
        int first_top, second_top;  // text rows: box y + (box height - 24) / 2
    } panels[] = {{"default", 400, 240, 96 + 12, 144 + 12}, {"tetra", 220, 176, 70 + 5, 105 + 5}};
    for (const Panel &p : panels) {
        SCOPED_TRACE(p.profile);
        start(p.profile);
        draw_rescue();
        auto f = last_frame(*box);
        ASSERT_EQ(f.size(), static_cast<size_t>(p.w * p.h * 2));
        EXPECT_EQ(f, expected_lcd(p.w, p.h, "unplugged"));
        for (int y : lit_rows(f, p.w, p.h)) {
            bool first = y >= p.first_top && y < p.first_top + 24;
            bool second = y >= p.second_top && y < p.second_top + 24;
            EXPECT_TRUE(first || second) << "lit row " << y;
        }
        auto rows = lit_rows(f, p.w, p.h);
        ASSERT_FALSE(rows.empty());
        EXPECT_LT(rows.front(), p.first_top + 24);
        EXPECT_GE(rows.back(), p.second_top);
    }
}

TEST_F(Rescue, PanelsTooSmallForTheFontGetNoText)
{
    start("default");
    // 400 x 30: a line of the font centred in either 6-row box would reach
    // below the panel.
    box->file("/proc/stb/lcd/yres")->set_content("1e\n");
    draw_rescue();
    EXPECT_EQ(last_frame(*box), std::vector<uint8_t>(400 * 30 * 2, 0));
    // Unreadable geometry: nothing to write; the other outputs go on.
    box->file("/proc/stb/lcd/yres")->set_content("");
    draw_rescue();
    EXPECT_EQ(boxsim::lcd_frame_count(*box), 1u);
    EXPECT_EQ(boxsim::lcd_bad_frame_count(*box), 0u);
    EXPECT_EQ(boxsim::display_history(*box).size(), 2u);
    auto tv = boxsim::picture(*box, "tv");
    ASSERT_TRUE(tv);
    EXPECT_TRUE(tv_line_is(*tv, 300, "Your Corvane has booted into rescue mode.\n"));
}

TEST_F(Rescue, AMissingPanelOnlyLosesTheLcd)
{
    start("default");
    box->remove("/dev/lcd0");
    box->remove("/dev/mcu");
    draw_rescue();
    EXPECT_EQ(boxsim::lcd_frame_count(*box), 0u);
    EXPECT_EQ(boxsim::led_values(*box), (std::array<int, 2>{0, 1}));
    auto tv = boxsim::picture(*box, "tv");
    ASSERT_TRUE(tv);
    EXPECT_TRUE(tv_line_is(*tv, 340, "Please point your web browser to http://0.0.0.0\n"));
}

} // namespace
