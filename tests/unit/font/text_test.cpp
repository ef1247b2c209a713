// Measuring and drawing text into surfaces in memory.
#include "font_test_util.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using fonttest::changed;
using fonttest::Rect;
using fonttest::Surface;

constexpr uint32_t kFg = 0xFF00FF00;
constexpr uint32_t kBg = 0xFF202020;
constexpr uint32_t kClear = 0xFFFFFFFF;

class Text : public ::testing::Test {
protected:
    void SetUp() override { BMF_InitEngine(); }
    static uint32_t width_of(const char *text, int length = -1)
    {
        uint32_t v, hz;
        BMF_GetTextFormalWidthHeight(gResHdle, text, length < 0 ? BMF_GetTextLength(gResHdle, text) : length,
                                     &v, &hz, 0);
        return hz;
    }
};

TEST_F(Text, MeasuresWideAndNarrowTargets)
{
    Surface tv(1280, 30, 32);
    tv.target();
    EXPECT_EQ(11, BMF_GetTextLength(gResHdle, "RESCUE MODE"));
    uint32_t v, hz;
    BMF_GetTextFormalWidthHeight(gResHdle, "RESCUE MODE", 11, &v, &hz, 0);
    EXPECT_EQ(154u, hz);
    EXPECT_EQ(24u, v);
    BMF_GetTextFormalWidthHeight(gResHdle, "RESCUE MODE", 11, &v, &hz, 3);
    EXPECT_EQ(24u, hz);
    EXPECT_EQ(154u, v);
    BMF_GetTextFormalWidthHeight(gResHdle, "RESCUE MODE", 11, &v, &hz, 4);
    EXPECT_EQ(0u, v);
    EXPECT_EQ(0u, hz);

    EXPECT_EQ(154u, width_of("RESCUE MODE\n"));
    EXPECT_EQ(29u, width_of("RESCUE", 2));          // "RE" only
    EXPECT_EQ(15u, width_of("R\0ESCUE", 7));        // stops at the NUL
    EXPECT_EQ(23u, width_of("\x80"));               // single-byte mode: 0x80 is 23 wide
    EXPECT_EQ(0u, width_of("\xB0\xFF"));            // no font covers these

    Surface lcd(220, 30, 16);
    lcd.target();
    EXPECT_EQ(143u, width_of("RESCUE MODE"));
    EXPECT_EQ(143u, width_of("RESCUE MODE\n"));
}

TEST_F(Text, DrawTextCentresInsideTheBoxOnly)
{
    Surface tv(1280, 100, 32);
    tv.draw(0, 10, 1280, 40, "RESCUE MODE", BMF_ALIGN_CENTER, kFg, kBg);
    Rect r = changed(tv, 0);
    EXPECT_EQ(563, r.x0);
    EXPECT_EQ(563 + 154, r.x1);
    EXPECT_EQ(18, r.y0);
    EXPECT_EQ(18 + 24, r.y1);

    struct { int align, box_w, box_h, x0, y0; } cases[] = {
        {BMF_ALIGN_HCENTER, 200, 60, 50 + 23, 5},
        {BMF_ALIGN_VCENTER, 200, 60, 50, 5 + 18},
        {7, 200, 60, 50, 5},
        {BMF_ALIGN_CENTER, 100, 10, 50, 5},  // larger than the box: not moved
    };
    for (const auto &c : cases) {
        Surface s(400, 100, 32);
        s.draw(50, 5, c.box_w, c.box_h, "RESCUE MODE", c.align, kFg, kBg);
        r = changed(s, 0);
        EXPECT_EQ(c.x0, r.x0) << "alignment " << c.align;
        EXPECT_EQ(c.y0, r.y0) << "alignment " << c.align;
        EXPECT_EQ(154, r.width());
    }

    Surface lcd(220, 50, 16);
    lcd.draw(0, 0, 220, 50, "RESCUE MODE", BMF_ALIGN_CENTER, 0xFFFF, 0x1234);
    r = changed(lcd, 0);
    EXPECT_EQ(38, r.x0);
    EXPECT_EQ(143, r.width());
}

TEST_F(Text, GlyphPixelsComeFromTheImage)
{
    Surface s(300, 40, 32, 0x55555555);
    s.draw(3, 2, 0, 0, "A\x89", 9, kFg, kBg);
    for (int r = 0; r < 24; ++r) {
        for (int c = 0; c < 13; ++c)
            ASSERT_EQ(fonttest::glyph_bit('A', r, c) ? kFg : kBg, s.at(3 + c, 2 + r)) << r << "," << c;
        for (int c = 0; c < 21; ++c)
            ASSERT_EQ(fonttest::glyph_bit(0x89, r, c) ? kFg : kBg, s.at(16 + c, 2 + r)) << r << "," << c;
    }
    Rect r = changed(s, 0x55555555);
    EXPECT_EQ(3, r.x0);
    EXPECT_EQ(3 + 13 + 21, r.x1);
    EXPECT_EQ(2 + 24, r.y1);
}

TEST_F(Text, PixelFormats)
{
    // Transparent background keeps what lies under the text.
    Surface s32(300, 30, 32, 0x12345678);
    s32.draw(0, 0, 0, 0, "Hi", 9, kClear, kClear);
    int fg = 0;
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 17; ++x) {
            uint32_t px = s32.at(x, y);
            EXPECT_TRUE(px == 0x12345678 || px == kClear);
            fg += px == kClear;
        }
    EXPECT_GT(fg, 20);
    // 32-bit colours land as native little-endian words.
    Surface w(300, 30, 32);
    w.draw(0, 0, 0, 0, " ", 9, kFg, 0xAABBCCDD);
    EXPECT_EQ(0xDD, w.bytes[0]);
    EXPECT_EQ(0xAA, w.bytes[3]);

    // 16 bits: the low half of each colour, low byte first.
    Surface s16(300, 30, 16, 0x0F0F);
    s16.draw(0, 0, 0, 0, "W", 9, 0xAABBF800, 0x1234FFFF);
    Rect r = changed(s16, 0x0F0F);
    EXPECT_EQ(21, r.width());
    int lit = 0;
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 21; ++x) {
            EXPECT_EQ(fonttest::glyph_bit('W', y, x) ? 0xF800u : 0xFFFFu, s16.at(x, y));
            lit += s16.at(x, y) == 0xF800;
        }
    EXPECT_GT(lit, 20);
    EXPECT_EQ(0xFF, s16.bytes[0]);
    EXPECT_EQ(0x0F, s16.bytes[21 * 2]);

    // 24 and 8 bits are not drawn at all.
    for (int bits : {24, 8}) {
        Surface s(300, 30, bits, 0x00A5A5A5);
        std::vector<uint8_t> before = s.bytes;
        s.draw(0, 0, 300, 30, "RESCUE MODE", BMF_ALIGN_CENTER, kFg, kBg);
        EXPECT_EQ(before, s.bytes) << bits;
    }
}

TEST_F(Text, MirroredAndTurnedDirectionsAreTheUprightTextTransformed)
{
    const char *text = "Rg\x82";
    const int len = 3;
    Surface up(400, 120, 32), mirror(400, 120, 32), cw(400, 120, 32), ccw(400, 120, 32);
    up.target();
    const uint32_t tw = width_of(text);
    ASSERT_EQ(15u + 11 + 23, tw);
    EXPECT_EQ(len, BMF_FormalPlotText(gResHdle, 10, 5, kFg, kBg, text, len, 0, 1, 1));
    mirror.target();
    EXPECT_EQ(len, BMF_FormalPlotText(gResHdle, 10, 5, kFg, kBg, text, len, 1, 1, 1));
    cw.target();
    EXPECT_EQ(len, BMF_FormalPlotText(gResHdle, 10, 5, kFg, kBg, text, len, 3, 1, 1));
    ccw.target();
    EXPECT_EQ(len, BMF_FormalPlotText(gResHdle, 10, 5, kFg, kBg, text, len, 2, 1, 1));
    EXPECT_EQ(24, changed(cw, 0).width());
    EXPECT_EQ(static_cast<int>(tw), changed(ccw, 0).height());
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < static_cast<int>(tw); ++x) {
            const uint32_t px = up.at(10 + x, 5 + y);
            ASSERT_EQ(px, mirror.at(10 + static_cast<int>(tw) - 1 - x, 5 + y)) << x << "," << y;
            ASSERT_EQ(px, cw.at(10 + 23 - y, 5 + x)) << x << "," << y;
            ASSERT_EQ(px, ccw.at(10 + y, 5 + static_cast<int>(tw) - 1 - x)) << x << "," << y;
        }
}

TEST_F(Text, ScalesBlowEachGlyphPixelUp)
{
    Surface one(300, 100, 32), big(300, 100, 32);
    one.target();
    BMF_FormalPlotText(gResHdle, 0, 0, kFg, kBg, "e", 1, 0, 1, 1);
    big.target();
    EXPECT_EQ(1, BMF_FormalPlotText(gResHdle, 4, 1, kFg, kBg, "e", 1, 0, 3, 2));
    Rect r = changed(big, 0);
    EXPECT_EQ(36, r.width());
    EXPECT_EQ(48, r.height());
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 36; ++x)
            ASSERT_EQ(one.at(x / 3, y / 2), big.at(4 + x, 1 + y));
    EXPECT_EQ(0, BMF_FormalPlotText(gResHdle, 0, 0, kFg, kBg, "e", 1, 0, 0, 1));
    EXPECT_EQ(0, BMF_FormalPlotText(gResHdle, 0, 0, kFg, kBg, "e", 1, 0, 1, 256));
}

TEST_F(Text, NarrowTargetsDrawOneColumnLessAndKeepTheLastCharacter)
{
    Surface a(220, 30, 16), b(220, 30, 16);
    a.draw(0, 0, 220, 30, "RESCUE MODE", BMF_ALIGN_CENTER, 0xFFFF, 0x0001);
    b.draw(0, 0, 220, 30, "RESCUE MODE\n", BMF_ALIGN_CENTER, 0xFFFF, 0x0001);
    EXPECT_EQ(a.bytes, b.bytes);
    // "W" is 21 wide: 20 columns drawn, the glyph's 21st dropped.
    Surface w(220, 30, 16);
    w.draw(0, 0, 0, 0, "W", 9, 0xFFFF, 0x0001);
    EXPECT_EQ(20, changed(w, 0).width());
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 20; ++x)
            ASSERT_EQ(fonttest::glyph_bit('W', y, x) ? 0xFFFFu : 0x0001u, w.at(x, y));
}

TEST_F(Text, NothingDrawnForEmptyOrInvisibleText)
{
    Surface s(300, 30, 32, 7);
    std::vector<uint8_t> before = s.bytes;
    EXPECT_EQ(0, s.draw(0, 0, 300, 30, "", 2, kFg, kBg));
    EXPECT_EQ(0, s.draw(0, 0, 300, 30, "\n\t\xB5", 2, kFg, kBg));
    EXPECT_EQ(0, BMF_FormalPlotText(gResHdle, 0, 0, kFg, kBg, "abc", 0, 0, 1, 1));
    EXPECT_EQ(before, s.bytes);
    // Bytes after a NUL inside the length are not read as text.
    EXPECT_EQ(5, BMF_FormalPlotText(gResHdle, 0, 0, kFg, kBg, "A\0BCD", 5, 0, 1, 1));
    EXPECT_EQ(13, changed(s, 7).width());
}

TEST_F(Text, RenderStringStopsAtTheFirstCharacterThatDoesNotFit)
{
    Surface s(400, 30, 32);
    s.target();
    std::vector<uint8_t> pixels(100 * 24 * 4);
    BMF_RenderTarget t{pixels.data(), 4, 27, 24, 0, 0, 27, 24};
    const uint8_t text[] = "ABCDE";  // 13, 14, 15, 15, 14 wide
    // A and B fill 27 columns; C, the third character, does not fit.
    EXPECT_EQ(3, RenderString(gResHdle, &t, text, 5, 0, 1, 1, kFg, kBg));
    EXPECT_EQ(3, RenderString(gResHdle, &t, text, 5, 1, 1, 1, kFg, kBg));
    t.rect_w = t.clip_w = 42;
    EXPECT_EQ(4, RenderString(gResHdle, &t, text, 5, 0, 1, 1, kFg, kBg));
    t.rect_w = t.clip_w = 71;
    EXPECT_EQ(5, RenderString(gResHdle, &t, text, 5, 0, 1, 1, kFg, kBg));
    EXPECT_EQ(5, RenderString(gResHdle, &t, text, 5, 1, 1, 1, kFg, kBg));
    t.rect_w = t.clip_w = 12;
    EXPECT_EQ(1, RenderString(gResHdle, &t, text, 5, 0, 1, 1, kFg, kBg));
}

TEST_F(Text, DoubleByteModes)
{
    Surface s(400, 30, 32);
    s.target();
    const uint8_t *ext = BMF_GetBlockHandle(gResHdle, "SYS_FNT_1");
    BMF_SetExtendFontBlock(gResHdle, ext, BMF_EXT_DOUBLE_BYTE);
    EXPECT_EQ(23u + 13, width_of("\x80\x01" "A"));   // glyph 1, then A
    EXPECT_EQ(13u, width_of("\x80\x30" "A"));        // index 48: no glyph
    EXPECT_EQ(13u, width_of("\x81\x01" "A"));        // index 257: no glyph
    uint32_t v, hz;
    BMF_GetTextFormalWidthHeight(gResHdle, "\x80\x00", 2, &v, &hz, 0);
    EXPECT_EQ(12u, hz);                               // glyph 0 at its table width
    EXPECT_EQ(13u, width_of("A\x80"));                // a lone lead byte at the end
    EXPECT_EQ(2, BMF_GetTextLength(gResHdle, "A\x80"));

    BMF_SetExtendFontBlock(gResHdle, ext, BMF_EXT_DOUBLE_BYTE_COUNTED);
    EXPECT_EQ(4, BMF_GetTextLength(gResHdle, "\x80\x05" "AB"));
    EXPECT_EQ(2, BMF_GetTextLength(gResHdle, "A\x80"));  // stops at the terminator
    EXPECT_EQ(4, GetDoubleByteTextLength(reinterpret_cast<const uint8_t *>("\x80\x80\x80\x01")));

    EXPECT_EQ(3, BMF_FormalPlotText(gResHdle, 0, 0, kFg, kBg, "\x80\x01" "A", 3, 0, 1, 1));
    EXPECT_EQ(36, changed(s, 0).width());
    BMF_SetExtendFontBlock(gResHdle, ext, BMF_EXT_SINGLE_BYTE);
    EXPECT_EQ(23u + 23, width_of("\x80\x81"));
}

// A small surface inside a larger buffer; text drawn at every position near
// and past its edges must match the same text drawn on a large surface,
// cut to the small one, and leave the bytes around it alone.
TEST_F(Text, TextIsClippedAtEveryEdge)
{
    const int W = 40, H = 30, guard = 4096;
    for (int bits : {16, 32}) {
        const int bpp = bits / 8;
        for (int y = -30; y <= 34; y += 4) {
            for (int x = -70; x <= 44; x += 6) {
                std::vector<uint8_t> buf(guard * 2 + W * H * bpp, 0xEE);
                uint8_t *surface = buf.data() + guard;
                for (int i = 0; i < W * H * bpp; ++i)
                    surface[i] = 0;
                BMF_DrawText(surface, W, H, bits, x, y, 0, 0, "Wg\x8b", 9, kFg, kBg);
                for (int i = 0; i < guard; ++i) {
                    ASSERT_EQ(0xEE, buf[i]) << x << "," << y;
                    ASSERT_EQ(0xEE, buf[guard + W * H * bpp + i]) << x << "," << y;
                }
                Surface big(220, 170, bits);  // narrow, like the small one
                big.draw(100 + x, 100 + y, 0, 0, "Wg\x8b", 9, kFg, kBg);
                for (int py = 0; py < H; ++py)
                    for (int px = 0; px < W; ++px) {
                        uint32_t v = 0;
                        for (int i = bpp - 1; i >= 0; --i)
                            v = v << 8 | surface[(py * W + px) * bpp + i];
                        ASSERT_EQ(big.at(100 + px, 100 + py), v) << x << "," << y << " at " << px << "," << py;
                    }
            }
        }
    }
    // Exactly-sized surfaces (AddressSanitizer watches their ends), turned
    // text and large scales included.
    for (int dir = 0; dir < 4; ++dir)
        for (int pos : {-100, -23, -1, 0, 1, 15, 29, 39, 1000}) {
            Surface s(40, 30, 32);
            s.target();
            BMF_FormalPlotText(gResHdle, pos, pos / 2, kFg, kBg, "Edge", 4, dir, 1, 1);
            BMF_FormalPlotText(gResHdle, pos, -pos, kFg, kBg, "Edge", 4, dir, 7, 5);
        }
    Surface s(40, 30, 32);
    s.draw(2147483000, 2147483000, 0, 0, "far", 9, kFg, kBg);
    s.draw(-2147483000, 0, 2147483000, 10, "far", 0, kFg, kBg);
    EXPECT_EQ(0, changed(s, 0).width());
}

} // namespace
