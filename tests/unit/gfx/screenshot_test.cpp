// The rescue screen as the TV shows it, drawn through the framebuffer layer
// and presented by the driver, written as a PNG picture for a person to see.
#include "gfx_test_util.h"

#include "gfx/screen_text.h"

#include <sys/stat.h>

namespace {

using namespace gfxtest;

// Ink bounds of the rows [y0, y1) of a picture: pixels that are not black.
struct Ink {
    int x0 = 1 << 30, x1 = -1, y0 = 1 << 30, y1 = -1;
};
Ink ink(const boxsim::Image &img, int from, int to)
{
    Ink r;
    for (int y = from; y < to; ++y)
        for (int x = 0; x < img.width; ++x)
            if (img.at(x, y) != 0xFF000000u) {
                r.x0 = std::min(r.x0, x), r.x1 = std::max(r.x1, x);
                r.y0 = std::min(r.y0, y), r.y1 = std::max(r.y1, y);
            }
    return r;
}

TEST(Screenshot, RescueScreenOnTheTv)
{
    auto box = fb_box();
    open_tv();
    fb_font_init();
    fb_fill(0, 0, static_cast<int>(var.xres), static_cast<int>(var.yres), 0xFF000000);
    fb_drawtext(0, 300, static_cast<int>(var.xres), 40, "Your Corvane has booted into rescue mode.\n", 0xFFFFFFFF,
                0xFFFFFFFF);
    fb_drawtext(0, 340, static_cast<int>(var.xres), 40, "Please point your web browser to http://192.168.1.20\n",
                0xFFFFFFFF, 0xFFFFFFFF);
    fb_blit();

    auto tv = boxsim::picture(*box, "tv");
    ASSERT_TRUE(tv);
    // Black outside the two text boxes; each line centred across the screen
    // and inside its own box.
    EXPECT_EQ(ink(*tv, 0, 300).x1, -1);
    EXPECT_EQ(ink(*tv, 380, 720).x1, -1);
    for (int top : {300, 340}) {
        SCOPED_TRACE(top);
        Ink line = ink(*tv, top, top + 40);
        ASSERT_GE(line.x1, 0);
        EXPECT_NEAR((line.x0 + line.x1) / 2.0, 640.0, 8.0);
        EXPECT_GT(line.y0, top);
        EXPECT_LT(line.y1, top + 39);
        EXPECT_GT(line.x1 - line.x0, 300);
    }
    EXPECT_EQ(box->describe()["tv"]["blits"], 2);

#ifdef BOXSIM_HAVE_PNG
    const std::string path = "/tmp/gfx_rescue_tv.png";
    ASSERT_TRUE(boxsim::write_png(*tv, path));
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_GT(st.st_size, 1000);
#endif
}

} // namespace
