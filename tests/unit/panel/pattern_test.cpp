// The LCD test pattern as the simulated panel shows it.
#include "panel_test_util.h"

#include "gfx/screen_text.h"
#include "panel/lcd.h"

namespace {

using namespace paneltest;

constexpr unsigned kColourBars[7] = {0xFFFF, 0xFFE0, 0x07FF, 0x07E0, 0xF81F, 0xF800, 0x001F};
constexpr unsigned kReverseBars[7] = {0x001F, 0x0000, 0xF81F, 0x0000, 0x07FF, 0x0000, 0xFFFF};

TEST(LcdPattern, BarsBeginAtTheSeventhsOfThePanel)
{
    struct Panel {
        int xres, yres;
        int starts[7];
    } panels[] = {
        {400, 240, {0, 57, 114, 171, 228, 285, 342}},
        {220, 176, {0, 31, 62, 94, 125, 157, 188}},
    };
    for (const Panel &p : panels) {
        SCOPED_TRACE(p.xres);
        auto box = panel_box(p.xres, p.yres);
        lcd_pattern(nullptr);
        auto f = last_frame(*box);
        ASSERT_EQ(f.size(), static_cast<size_t>(p.xres * p.yres * 2));
        int colour_row = 2 * p.yres / 3 - 1;  // last row of the colour bars
        int reverse_row = 2 * p.yres / 3;     // first row of the reverse bars
        for (int bar = 0; bar < 7; ++bar) {
            int first = p.starts[bar];
            int last = bar < 6 ? p.starts[bar + 1] - 1 : p.xres - 1;
            for (int x : {first, last}) {
                EXPECT_EQ(px16(f, p.xres, x, 0), kColourBars[bar]) << "bar " << bar << " x " << x;
                EXPECT_EQ(px16(f, p.xres, x, colour_row), kColourBars[bar]) << "bar " << bar << " x " << x;
                EXPECT_EQ(px16(f, p.xres, x, reverse_row), kReverseBars[bar]) << "bar " << bar << " x " << x;
            }
        }
    }
}

// The frame holds, pixel for pixel, what the pattern's own function gives,
// on panels whose band edges fall on every kind of row (rows of a band are
// drawn as copies of its first).
TEST(LcdPattern, EveryPixelIsThePatternsPixelAtAnySize)
{
    for (auto [xres, yres] : {std::pair{400, 240}, std::pair{220, 176}, std::pair{13, 21}, std::pair{7, 5},
                              std::pair{5, 19}, std::pair{1, 1}, std::pair{3, 2}}) {
        SCOPED_TRACE(std::to_string(xres) + "x" + std::to_string(yres));
        auto box = panel_box(xres, yres);
        lcd_pattern(nullptr);
        auto f = last_frame(*box);
        ASSERT_EQ(f.size(), static_cast<size_t>(xres * yres * 2));
        int wrong = 0;
        for (int y = 0; y < yres; ++y)
            for (int x = 0; x < xres; ++x)
                if (px16(f, xres, x, y) != lcd_pattern_pixel(xres, yres, x, y) && ++wrong <= 3)
                    ADD_FAILURE() << "pixel " << x << "," << y;
        EXPECT_EQ(wrong, 0);
    }
}

TEST(LcdPattern, BandsCornersAndRamps)
{
    auto box = panel_box(400, 240);
    lcd_pattern(nullptr);
    auto f = last_frame(*box);
    ASSERT_EQ(f.size(), 400u * 240 * 2);
    // Corners, as bytes on the wire.
    EXPECT_EQ(f[0], 0xFF);
    EXPECT_EQ(f[1], 0xFF);
    EXPECT_EQ(f[399 * 2], 0x00);
    EXPECT_EQ(f[399 * 2 + 1], 0x1F);
    size_t bottom = 239u * 400 * 2;
    EXPECT_EQ(f[bottom], 0x78);
    EXPECT_EQ(f[bottom + 1], 0x00);
    EXPECT_EQ(f[bottom + 399 * 2], 0xF8);
    EXPECT_EQ(f[bottom + 399 * 2 + 1], 0x00);

    // Band edges: reverse bars end at 3Y/4 (180), the grey band runs to
    // 18Y/20 (216), the blue ramp to 19Y/20 (228), the red ramp to the end.
    EXPECT_EQ(px16(f, 400, 0, 179), 0x001Fu);
    EXPECT_EQ(px16(f, 400, 0, 180), 0xEF7Du);
    EXPECT_EQ(f[(180u * 400 + 200) * 2], 0xEF);
    EXPECT_EQ(f[(180u * 400 + 200) * 2 + 1], 0x7D);
    EXPECT_EQ(px16(f, 400, 399, 215), 0xEF7Du);
    EXPECT_EQ(px16(f, 400, 0, 216), 15u);
    EXPECT_EQ(px16(f, 400, 0, 227), 15u);
    EXPECT_EQ(px16(f, 400, 0, 228), 0x7800u);

    // The ramps rise from left to right, never falling, blue from 15 to 31
    // and red from 15 to 31 in the top five bits.
    unsigned prev_blue = 0, prev_red = 0;
    for (int x = 0; x < 400; ++x) {
        unsigned blue = px16(f, 400, x, 220);
        unsigned red = px16(f, 400, x, 235);
        EXPECT_GE(blue, prev_blue) << x;
        EXPECT_GE(red, prev_red) << x;
        EXPECT_EQ(red & 0x07FF, 0u) << x;
        EXPECT_LE(blue, 31u);
        prev_blue = blue;
        prev_red = red;
    }
    EXPECT_EQ(prev_blue, 31u);
    EXPECT_EQ(prev_red, 0xF800u);
}

TEST(LcdPattern, TheKeyNameSitsInAWhiteBoxInTheMiddle)
{
    fb_font_init();
    for (auto [xres, yres] : {std::pair{400, 240}, std::pair{220, 176}}) {
        SCOPED_TRACE(xres);
        auto box = panel_box(xres, yres);
        lcd_pattern(nullptr);
        auto plain = last_frame(*box);
        lcd_pattern("OK");
        auto named = last_frame(*box);
        ASSERT_EQ(named.size(), plain.size());
        // The two differ only within one line of the font, centred.
        int top = yres, bottom = -1, black = 0;
        for (int y = 0; y < yres; ++y)
            for (int x = 0; x < xres; ++x)
                if (px16(named, xres, x, y) != px16(plain, xres, x, y)) {
                    top = std::min(top, y);
                    bottom = std::max(bottom, y);
                    unsigned v = px16(named, xres, x, y);
                    EXPECT_TRUE(v == 0xFFFF || v == 0x0000) << x << "," << y;
                    black += v == 0;
                }
        ASSERT_GE(bottom, top);
        EXPECT_GE(top, (yres - 24) / 2);
        EXPECT_LT(bottom, (yres - 24) / 2 + 24);
        EXPECT_GT(black, 20);
        EXPECT_EQ(px16(named, xres, xres / 2, (yres - 24) / 2), 0xFFFFu);
    }
}

TEST(LcdPattern, OtherDepthsGetAFrameOfTheirOwnLength)
{
    fb_font_init();
    auto box = panel_box(220, 176, 24);
    lcd_pattern("OK");
    auto f = last_frame(*box);
    ASSERT_EQ(f.size(), 220u * 176 * 3);
    EXPECT_EQ(boxsim::lcd_bad_frame_count(*box), 0u);
    EXPECT_EQ(px24(f, 220, 0, 0), 0xFFFFFFu);
    EXPECT_EQ(px24(f, 220, 219, 0), 0x0000FFu);
    EXPECT_EQ(px24(f, 220, 40, 140), 0xEFEFEFu);
    EXPECT_EQ(px24(f, 220, 219, 175), 0xFF0000u);
    // The name is drawn before the conversion, so it shows here too.
    int black = 0;
    for (int x = 0; x < 220; ++x)
        black += px24(f, 220, x, 88) == 0;
    EXPECT_GT(black, 0);

    // A depth whose format is unknown: a black frame of the right length,
    // nothing written beyond it.
    box->file("/proc/stb/lcd/bpp")->set_content("8\n");
    lcd_pattern("OK");
    EXPECT_EQ(last_frame(*box), std::vector<uint8_t>(220 * 176, 0));
    EXPECT_EQ(boxsim::lcd_bad_frame_count(*box), 0u);
}

TEST(LcdPattern, KeepsThePreviousPictureWithoutGeometryOrDevice)
{
    auto box = panel_box(400, 240);
    box->file("/proc/stb/lcd/xres")->set_content("0\n");
    lcd_pattern("OK");
    EXPECT_EQ(box->trace().count("open", "/dev/lcd0"), 0u);
    box->file("/proc/stb/lcd/xres")->set_content("190\n");
    box->remove("/dev/lcd0");
    lcd_pattern("OK");
    EXPECT_EQ(boxsim::lcd_frame_count(*box), 0u);
    auto opens = box->trace().find("open", "/dev/lcd0");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0]["errno"], "ENOENT");
}

} // namespace
