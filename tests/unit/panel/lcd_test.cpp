// Frames for the front-panel LCD: colour formats, rectangles, pictures, key
// pictures and text, as the simulated panel receives them.
#include "panel_test_util.h"

#include "gfx/screen_text.h"
#include "panel/lcd.h"

#include <cstring>

namespace {

using namespace paneltest;

TEST(LcdFill, StoresEachColourInThePanelsFormat)
{
    struct Case {
        uint32_t colour;
        uint8_t b16[2];
        uint8_t b24[3];
    } cases[] = {
        {0xFFFFFF, {0xFF, 0xFF}, {0xFF, 0xFF, 0xFF}},
        {0xFF0000, {0xF8, 0x00}, {0xFF, 0x00, 0x00}},
        {0x00FF00, {0x07, 0xE0}, {0x00, 0xFF, 0x00}},
        {0x0000FF, {0x00, 0x1F}, {0x00, 0x00, 0xFF}},
        // Low bits that RGB565 cannot hold are dropped, not rounded.
        {0x0F0F0F, {0x08, 0x61}, {0x0F, 0x0F, 0x0F}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.colour);
        std::vector<uint8_t> f16(4 * 3 * 2, 0x11);
        lcd_fill(f16.data(), 4, 3, 16, 0, 0, 4, 3, c.colour);
        for (size_t i = 0; i < f16.size(); i += 2) {
            EXPECT_EQ(f16[i], c.b16[0]);
            EXPECT_EQ(f16[i + 1], c.b16[1]);
        }
        std::vector<uint8_t> f24(4 * 3 * 3, 0x11);
        lcd_fill(f24.data(), 4, 3, 24, 0, 0, 4, 3, c.colour);
        for (size_t i = 0; i < f24.size(); i += 3)
            EXPECT_EQ(0, memcmp(&f24[i], c.b24, 3));
    }
    // A depth the panel format does not know stores nothing.
    std::vector<uint8_t> f32(4 * 3 * 4, 0x11);
    lcd_fill(f32.data(), 4, 3, 32, 0, 0, 4, 3, 0xFFFFFF);
    EXPECT_EQ(f32, std::vector<uint8_t>(4 * 3 * 4, 0x11));
}

TEST(LcdFill, RectanglesAreCutAtEveryEdge)
{
    const int w = 10, h = 6;
    struct Rect {
        int x, y, width, height;
    } rects[] = {
        {7, 4, 100, 100},           // past the right and bottom edges
        {-3, -2, 5, 4},             // before the left and top edges
        {-1000, -1000, 5000, 5000}, // all around
        {12, 0, 3, 3},              // wholly outside
        {2147483600, 2147483600, 1000, 1000},
    };
    for (const Rect &r : rects) {
        SCOPED_TRACE(testing::Message() << r.x << "," << r.y << " " << r.width << "x" << r.height);
        GuardedFrame g(static_cast<size_t>(w * h * 2));
        lcd_fill(g.data(), w, h, 16, r.x, r.y, r.width, r.height, 0xFFFFFF);
        EXPECT_TRUE(g.guards_intact());
        auto f = g.bytes();
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                bool inside = x >= r.x && y >= r.y && static_cast<int64_t>(x) < static_cast<int64_t>(r.x) + r.width &&
                              static_cast<int64_t>(y) < static_cast<int64_t>(r.y) + r.height;
                EXPECT_EQ(px16(f, w, x, y), inside ? 0xFFFFu : 0u) << x << "," << y;
            }
    }
}

// A picture whose every pixel tells where it is: red = column, green = row.
boxsim::Image coordinate_picture(int w, int h)
{
    boxsim::Image img;
    img.width = w;
    img.height = h;
    img.argb.resize(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.argb[static_cast<size_t>(y) * w + x] = 0xFF000000u | (static_cast<uint32_t>(x * 8) << 16) |
                                                        (static_cast<uint32_t>(y * 8) << 8) | 0x40;
    return img;
}

const unsigned char *bytes_of(const std::string &s) { return reinterpret_cast<const unsigned char *>(s.data()); }

TEST(LcdLoadBmp, PicturesAreShownUprightWithoutSkew)
{
    // 5 pixels of 3 bytes: each stored row carries one byte of padding, 7
    // columns: three. Either way every pixel lands where it belongs.
    for (int w : {5, 7, 8}) {
        SCOPED_TRACE(w);
        const int h = 4;
        std::string bmp = boxsim::encode_bmp24(coordinate_picture(w, h));
        std::vector<uint8_t> f24(static_cast<size_t>(w * h * 3));
        ASSERT_EQ(lcd_load_bmp(f24.data(), w, h, 24, bytes_of(bmp), bmp.size()), 0);
        std::vector<uint8_t> f16(static_cast<size_t>(w * h * 2));
        ASSERT_EQ(lcd_load_bmp(f16.data(), w, h, 16, bytes_of(bmp), bmp.size()), 0);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                uint32_t rgb = (static_cast<uint32_t>(x * 8) << 16) | (static_cast<uint32_t>(y * 8) << 8) | 0x40;
                EXPECT_EQ(px24(f24, w, x, y), rgb) << x << "," << y;
                EXPECT_EQ(px16(f16, w, x, y), ((x * 8 & 0xF8) << 8) | ((y * 8 & 0xFC) << 3) | (0x40 >> 3))
                    << x << "," << y;
            }
    }
}

TEST(LcdLoadBmp, LargerPicturesAreCroppedAtThePanel)
{
    std::string bmp = boxsim::encode_bmp24(coordinate_picture(30, 20));
    GuardedFrame g(10 * 6 * 2);
    ASSERT_EQ(lcd_load_bmp(g.data(), 10, 6, 16, bytes_of(bmp), bmp.size()), 0);
    EXPECT_TRUE(g.guards_intact());
    auto f = g.bytes();
    // The picture's top-left part, its top row on the panel's top row.
    EXPECT_EQ(px16(f, 10, 0, 0), 0x0008u);
    EXPECT_EQ(px16(f, 10, 9, 5), ((72 & 0xF8) << 8 | (40 & 0xFC) << 3 | 8));
}

TEST(LcdLoadBmp, RefusesWhatIsNotAWholePicture)
{
    std::string good = boxsim::encode_bmp24(coordinate_picture(4, 4));
    std::string not_bmp = good;
    not_bmp[1] = 'A';
    std::string truncated = good.substr(0, good.size() - 1);
    std::string header_only = good.substr(0, 20);
    std::string huge = good;
    int32_t side = 1 << 30;
    memcpy(&huge[18], &side, 4);
    std::string paletted = good;
    paletted[28] = 8;

    std::vector<uint8_t> frame(4 * 4 * 2, 0x33);
    const auto before = frame;
    for (const std::string *bad : {&not_bmp, &truncated, &header_only, &huge, &paletted})
        EXPECT_EQ(lcd_load_bmp(frame.data(), 4, 4, 16, bytes_of(*bad), bad->size()), -1);
    EXPECT_EQ(lcd_load_bmp(nullptr, 4, 4, 16, bytes_of(good), good.size()), -1);
    EXPECT_EQ(lcd_load_bmp(frame.data(), 0, 4, 16, bytes_of(good), good.size()), -1);
    EXPECT_EQ(lcd_load_bmp(frame.data(), 4, 4, 0, bytes_of(good), good.size()), -1);
    EXPECT_EQ(lcd_load_bmp(frame.data(), 4, 4, 16, nullptr, good.size()), -1);
    EXPECT_EQ(lcd_load_bmp(frame.data(), 4, 4, 16, bytes_of(good), 0), -1);
    EXPECT_EQ(frame, before);
}

TEST(LcdBmp, ShowsAPictureFileAndBlanksThePanelForAMissingOne)
{
    auto box = panel_box(6, 4);
    box->add_file("/root/pic.bmp", boxsim::encode_bmp24(coordinate_picture(6, 4)));
    lcd_bmp("/root/pic.bmp");
    auto shown = last_frame(*box);
    ASSERT_EQ(shown.size(), 6u * 4 * 2);
    EXPECT_EQ(px16(shown, 6, 5, 3), ((40 & 0xF8) << 8 | (24 & 0xFC) << 3 | 8));

    lcd_bmp("/root/missing.bmp");
    EXPECT_EQ(boxsim::lcd_frame_count(*box), 2u);
    EXPECT_EQ(last_frame(*box), std::vector<uint8_t>(6 * 4 * 2, 0));

    box->add_file("/root/text.bmp", "hello, not a picture at all, but long enough to be read as one......");
    lcd_bmp("/root/pic.bmp");
    lcd_bmp("/root/text.bmp");
    EXPECT_EQ(boxsim::lcd_frame_count(*box), 4u);
    EXPECT_EQ(last_frame(*box), std::vector<uint8_t>(6 * 4 * 2, 0));

    // One open of the device and one write of the whole frame per picture.
    EXPECT_EQ(box->trace().count("open", "/dev/lcd0"), 4u);
    for (const auto &w : box->trace().find("write", "/dev/lcd0"))
        EXPECT_EQ(w["len"], 48);
    lcd_bmp(nullptr);
    EXPECT_EQ(box->trace().count("open", "/dev/lcd0"), 4u);
}

TEST(LcdBmp, DoesNothingWithoutAPanelGeometry)
{
    auto box = panel_box(6, 4);
    box->file("/proc/stb/lcd/yres")->set_content("");
    box->add_file("/root/pic.bmp", boxsim::encode_bmp24(coordinate_picture(6, 4)));
    lcd_bmp("/root/pic.bmp");
    EXPECT_EQ(box->trace().count("open", "/dev/lcd0"), 0u);
    EXPECT_EQ(boxsim::lcd_frame_count(*box), 0u);
}

TEST(KeyPictures, ChosenByPanelWidthAndPresentOnTheBox)
{
    const int codes[] = {103, 105, 106, 108, 116, 139, 174, 352};
    for (auto [profile, width] : {std::pair{"default", 400}, std::pair{"tetra", 220}}) {
        auto box = boxtest::make_box(profile);
        for (int code : codes) {
            const char *path = get_ev_filename(code);
            ASSERT_NE(path, nullptr) << code;
            EXPECT_NE(std::string(path).find("/root/bmp/lcd" + std::to_string(width) + "_"), std::string::npos);
            // The picture is there and fills the panel exactly.
            lcd_bmp(path);
            auto f = last_frame(*box);
            ASSERT_FALSE(f.empty()) << path;
            size_t lit = 0;
            for (uint8_t b : f)
                lit += b != 0;
            EXPECT_GT(lit, f.size() / 2) << path;
        }
        EXPECT_EQ(get_ev_filename(0), nullptr);
        EXPECT_EQ(get_ev_filename(104), nullptr);
        EXPECT_EQ(get_ev_filename(-1), nullptr);
    }
    auto box = panel_box(400, 240);
    EXPECT_STREQ(get_ev_filename(352), "/root/bmp/lcd400_enter.bmp");
    box->file("/proc/stb/lcd/xres")->set_content("dc\n");
    EXPECT_STREQ(get_ev_filename(352), "/root/bmp/lcd220_enter.bmp");
    box->file("/proc/stb/lcd/xres")->set_content("");
    EXPECT_STREQ(get_ev_filename(352), "/root/bmp/lcd220_enter.bmp");
    EXPECT_STREQ(get_ev_filename(116), "/root/bmp/lcd220_splash.bmp");
}

class LcdText : public testing::Test {
protected:
    void SetUp() override { fb_font_init(); }
};

TEST_F(LcdText, LeavesTheFrameAloneForNoTextOrNoRoom)
{
    std::vector<uint8_t> f(120 * 60 * 2, 0x5A);
    const auto before = f;
    lcd_load_text(f.data(), 120, 60, 16, nullptr);
    EXPECT_EQ(f, before);
    // A panel lower than a line of the font, or narrower than the text.
    GuardedFrame low(200 * 20 * 2, 0x5A);
    lcd_load_text(low.data(), 200, 20, 16, "OK");
    EXPECT_TRUE(low.guards_intact());
    EXPECT_EQ(low.bytes(), std::vector<uint8_t>(200 * 20 * 2, 0x5A));
    GuardedFrame narrow(30 * 60 * 2, 0x5A);
    lcd_load_text(narrow.data(), 30, 60, 16, "POWER");
    EXPECT_TRUE(narrow.guards_intact());
    EXPECT_EQ(narrow.bytes(), std::vector<uint8_t>(30 * 60 * 2, 0x5A));
}

} // namespace
