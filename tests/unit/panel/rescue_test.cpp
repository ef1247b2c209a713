// One redraw pass of the rescue display at a time, on boxes whose front
// panel is odd or missing: the pass keeps inside the frame and goes on.
#include "panel_test_util.h"

#include "app/status.h"
#include "app/testui.h"
#include "gfx/fb.h"
#include "gfx/font.h"
#include "gfx/screen_text.h"
#include "core/image.h"
#include "screen_check.h"

#include <cstring>

namespace {

using namespace paneltest;
using boxtest::tv_line_is;

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

    std::unique_ptr<boxsim::Box> box;
};

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
