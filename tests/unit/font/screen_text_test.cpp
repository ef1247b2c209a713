// Text on the TV framebuffer and its lock, with pictures of the result.
#include "font_test_util.h"
#include "gfx/fb.h"
#include "gfx/screen_text.h"
#include "core/image.h"
#include "sim_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using fonttest::changed;
using fonttest::Rect;
using fonttest::Surface;

// Stands in for the mapped framebuffer in the mode start-up sets.
class ScreenText : public ::testing::Test {
protected:
    std::vector<uint32_t> memory;
    void SetUp() override { map(1280, 720, 720); }
    void map(int w, int h, int mapped_rows)
    {
        memory.assign(static_cast<size_t>(w) * mapped_rows, 0);
        lfb = memory.data();
        available = static_cast<int>(memory.size() * 4);
        var.xres = w;
        var.yres = h;
        var.bits_per_pixel = 32;
        var.yoffset = 0;
        stride = w * 4;  // the line length of an unpadded driver
    }
    Surface screen() const
    {
        Surface s(static_cast<int>(var.xres), static_cast<int>(memory.size() / var.xres), 32);
        memcpy(s.bytes.data(), memory.data(), s.bytes.size());
        return s;
    }
    boxsim::Image image() const
    {
        boxsim::Image img;
        img.width = static_cast<int>(var.xres);
        img.height = static_cast<int>(memory.size() / var.xres);
        img.argb = memory;
        return img;
    }
};

TEST_F(ScreenText, CentresInTheBoxOnTheFramebuffer)
{
    fb_font_init();
    ASSERT_NE(nullptr, g_font_mutex);
    fb_drawtext(0, 100, 1280, 40, "RESCUE MODE", 0xFFFFFFFF, 0xFF000080);
    Rect r = changed(screen(), 0);
    EXPECT_EQ(563, r.x0);
    EXPECT_EQ(154, r.width());
    EXPECT_EQ(108, r.y0);
    EXPECT_EQ(24, r.height());
}

TEST_F(ScreenText, StaysInsideTheMappedMemory)
{
    fb_font_init();
    // A mode taller than the mapping: text below the mapped rows is dropped.
    map(1280, 720, 100);
    fb_drawtext(0, 90, 1280, 24, "RESCUE MODE", 0xFFFFFFFF, 0xFF000080);
    fb_drawtext(0, 400, 1280, 24, "RESCUE MODE", 0xFFFFFFFF, 0xFF000080);
    Rect r = changed(screen(), 0);
    EXPECT_EQ(90, r.y0);
    EXPECT_EQ(100, r.y1);
    lfb = nullptr;
    fb_drawtext(0, 0, 1280, 24, "RESCUE MODE", 0xFFFFFFFF, 0xFF000080);
}

// The rescue display draws on the TV while the LCD frame is built in
// another task: each text must land in its own surface, whole.
TEST_F(ScreenText, TwoTasksDrawingAtOnceEachGetTheirOwnText)
{
    fb_font_init();
    fb_drawtext(0, 0, 1280, 40, "RESCUE MODE", 0xFFFFFFFF, 0xFF000000);
    const std::vector<uint32_t> tv_ref = memory;
    Surface lcd_ref(400, 240, 16);
    lcd_ref.draw(0, 0, 400, 240, "http://192.168.1.20/", 2, 0x0000, 0xFFFF);

    std::atomic<bool> go{false};
    std::atomic<int> tv_bad{0}, lcd_bad{0};
    // Each pass looks at the text's own rows, which the next pass would put
    // right again; a stray write anywhere else stays, and the look at the
    // whole screen after the last pass finds it.
    const size_t text_words = 1280 * 40;
    std::thread tv = boxsim::clock::spawn("tv", [&] {
        while (!go) {}
        for (int i = 0; i < 300; ++i) {
            fb_drawtext(0, 0, 1280, 40, "RESCUE MODE", 0xFFFFFFFF, 0xFF000000);
            if (!std::equal(memory.begin(), memory.begin() + text_words, tv_ref.begin()))
                ++tv_bad;
        }
    });
    std::thread lcd = boxsim::clock::spawn("lcd", [&] {
        while (!go) {}
        for (int i = 0; i < 300; ++i) {
            Surface frame(400, 240, 16);
            BKNI_AcquireMutex(g_font_mutex);
            frame.draw(0, 0, 400, 240, "http://192.168.1.20/", 2, 0x0000, 0xFFFF);
            BKNI_ReleaseMutex(g_font_mutex);
            if (frame.bytes != lcd_ref.bytes)
                ++lcd_bad;
        }
    });
    go = true;
    boxsim::clock::join(tv);
    boxsim::clock::join(lcd);
    EXPECT_TRUE(memory == tv_ref);
    EXPECT_EQ(0, tv_bad);
    EXPECT_EQ(0, lcd_bad);
}

// Pictures at real size for a person to look at: the rescue screen and the
// 48 symbols with their codes.
TEST_F(ScreenText, PicturesOfTheRescueScreenAndTheSymbols)
{
    fb_font_init();
    for (uint32_t &px : memory)
        px = 0xFF000000;
    fb_drawtext(0, 300, 1280, 40, "RESCUE MODE", 0xFFFFFFFF, 0xFFFFFFFF);
    fb_drawtext(0, 340, 1280, 40, "Please connect to http://192.168.1.20/", 0xFFFFFFFF, 0xFFFFFFFF);
    fb_drawtext(0, 400, 1280, 40, "The quick brown fox jumps over the lazy dog. 0123456789 !\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~",
                0xFF000000, 0xFF00FF00);
    fb_drawtext(0, 440, 1280, 40, "THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG \x7f", 0xFF000000, 0xFFFFFF00);
    // Transparent letters: the ink lies within the text rows.
    Rect r = changed(screen(), 0xFF000000);
    EXPECT_GE(r.y0, 300 + 8);
    EXPECT_LT(r.y0, 300 + 8 + 24);
    const std::string rescue = "/tmp/font_rescue_screen.png";
#ifdef BOXSIM_HAVE_PNG
    EXPECT_TRUE(boxsim::write_png(image(), rescue));
#endif

    map(640, 160, 160);
    for (uint32_t &px : memory)
        px = 0xFF303030;
    for (int row = 0; row < 3; ++row) {
        char label[8];
        snprintf(label, sizeof label, "%02X", 0x80 + row * 16);
        fb_drawtext(0, row * 50, 40, 40, label, 0xFFC0C0C0, 0xFFFFFFFF);
        std::string line;
        for (int i = 0; i < 16; ++i) {
            line += static_cast<char>(0x80 + row * 16 + i);
            line += ' ';
        }
        fb_drawtext(40, row * 50, 600, 40, line.c_str(), 0xFFFFFFFF, 0xFF000000);
    }
    EXPECT_GT(changed(screen(), 0xFF303030).width(), 500);
#ifdef BOXSIM_HAVE_PNG
    EXPECT_TRUE(boxsim::write_png(image(), "/tmp/font_symbols.png"));
#endif

}

// The whole road on the simulated box: framebuffer opened and set up, the
// rescue lines drawn, the frame presented, and the picture the TV shows.
TEST(ScreenTextOnBox, RescueLinesReachTheTv)
{
    auto box = boxtest::make_box("default");
    ASSERT_EQ(0, fb_init());
    ASSERT_EQ(0, fb_setmode(1280, 720, 32));
    fb_font_init();
    fb_fill(0, 0, 1280, 720, 0xFF000000);
    fb_drawtext(0, 300, 1280, 40, "RESCUE MODE", 0xFFFFFFFF, 0xFFFFFFFF);
    fb_drawtext(0, 340, 1280, 40, "Please connect to http://192.168.1.20/", 0xFFFFFFFF, 0xFFFFFFFF);
    fb_blit();

    std::optional<boxsim::Image> tv = boxsim::picture(*box, "tv");
    ASSERT_TRUE(tv.has_value());
    ASSERT_EQ(1280, tv->width);
    Surface shown(tv->width, tv->height, 32);
    memcpy(shown.bytes.data(), tv->argb.data(), shown.bytes.size());
    Rect r = changed(shown, 0xFF000000);
    uint32_t h, w;  // the wider second line
    const char *second = "Please connect to http://192.168.1.20/";
    BMF_GetTextFormalWidthHeight(gResHdle, second, static_cast<int>(strlen(second)), &h, &w, 0);
    EXPECT_GE(r.x0, (1280 - static_cast<int>(w)) / 2);
    EXPECT_LE(r.x1, (1280 + static_cast<int>(w)) / 2 + 1);
    EXPECT_GT(r.width(), static_cast<int>(w) - 6);
    EXPECT_GE(r.y0, 308);
    EXPECT_LE(r.y1, 348 + 24);
#ifdef BOXSIM_HAVE_PNG
    EXPECT_TRUE(boxsim::write_png(*tv, "/tmp/font_tv_on_box.png"));
#endif
}

} // namespace
