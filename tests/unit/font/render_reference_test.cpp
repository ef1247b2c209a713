// The text engine's drawing against a straightforward rendering of the same
// texts, one pixel at a time: every glyph pixel becomes an hscale x vscale
// block placed by the writing direction, stored only where it lies on the
// surface. Both must agree to the pixel on 16- and 32-bit surfaces, narrow
// and wide, clipped at every edge, in all four directions, with scales above
// 1, over a transparent and an opaque background, in each way of storing
// glyphs that the processor has. The framebuffer's rectangle fill is held to
// a pixel-by-pixel fill the same way.
#include "font_test_util.h"

#include "gfx/fb.h"
#include "sim_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

namespace {

using fonttest::Surface;

constexpr uint32_t kTransparent = 0xFFFFFFFFu;

// The engine's text as the reference draws it, from the glyphs the engine
// looks up (the lookup is tested on its own elsewhere).
void reference_text(Surface &s, int x, int y, const char *text, int direction, int hs, int vs, uint32_t fg,
                    uint32_t bg)
{
    const int len = BMF_GetTextLength(gResHdle, text);
    const int h = static_cast<int>(gResHdle->basicHeight);
    const bool narrow = s.w <= 220;
    const auto *t = reinterpret_cast<const uint8_t *>(text);
    // Glyphs and their widths along the text.
    std::vector<std::pair<const uint8_t *, int>> glyphs;
    int total = 0;
    for (int pos = 0; pos < len && t[pos];) {
        uint32_t w;
        const uint8_t *g;
        pos += GetCharDetails(gResHdle, t + pos, len - pos, &w, &g);
        if (narrow && w > 0)
            --w;
        total += static_cast<int>(w);
        if (g && w > 0)
            glyphs.push_back({g, static_cast<int>(w)});
    }
    const bool upright = direction == BMF_DIR_LEFT_TO_RIGHT || direction == BMF_DIR_MIRRORED;
    const bool forward = direction == BMF_DIR_LEFT_TO_RIGHT || direction == BMF_DIR_TOP_TO_BOTTOM;
    const int scale = upright ? hs : vs;
    const int limit = total * scale;
    auto put = [&](int px, int py, uint32_t colour) {
        if (px >= 0 && py >= 0 && px < s.w && py < s.h)
            s.set(px, py, s.bits == 16 ? (colour & 0xFFFF) : colour);
    };
    int pen = forward ? 0 : limit;
    for (auto [g, w] : glyphs) {
        if (!forward)
            pen -= scale * w;
        for (int r = 0; r < h; ++r) {
            const uint32_t word = static_cast<uint32_t>(g[r * 4]) | g[r * 4 + 1] << 8 | g[r * 4 + 2] << 16 |
                                  static_cast<uint32_t>(g[r * 4 + 3]) << 24;
            for (int c = 0; c < w; ++c) {
                const bool set = c < 32 && ((word >> (31 - c)) & 1);
                if (!set && bg == kTransparent)
                    continue;
                int bx = 0, by = 0;  // the block's top left in the text rectangle
                switch (direction) {
                case BMF_DIR_LEFT_TO_RIGHT: bx = pen + c * hs, by = r * vs; break;
                case BMF_DIR_MIRRORED: bx = pen + (w - 1 - c) * hs, by = r * vs; break;
                case BMF_DIR_TOP_TO_BOTTOM: bx = (h - 1 - r) * hs, by = pen + c * vs; break;
                default: bx = r * hs, by = pen + (w - 1 - c) * vs; break;
                }
                for (int i = 0; i < vs; ++i)
                    for (int j = 0; j < hs; ++j)
                        put(x + bx + j, y + by + i, set ? fg : bg);
            }
        }
        if (forward)
            pen += scale * w;
    }
}

// The ways of storing glyphs this processor has, each made the one in use
// in turn: the narrowest (chunks) is there on every processor.
std::vector<int> glyph_store_ways()
{
    std::vector<int> ways;
    for (int way : {BMF_STORES_CHUNKS, BMF_STORES_WIDE_CHUNKS, BMF_STORES_MASKED})
        if (BMF_LimitGlyphStores(way) == way)
            ways.push_back(way);
    return ways;
}

TEST(RenderReference, EngineDrawsWhatTheStraightRenderingDraws)
{
    ASSERT_EQ(BMF_InitEngine(), 0);
    const std::vector<int> ways = glyph_store_ways();
    ASSERT_FALSE(ways.empty());
    ASSERT_EQ(ways.front(), BMF_STORES_CHUNKS);
    int compared = 0;
    for (int way : ways) {
        ASSERT_EQ(BMF_LimitGlyphStores(way), way);
        const std::string symbols = std::string("\x80\x81\x9f") + "\xa5";
        const std::string mixed = "jgWM|_. " + symbols;
        const char *texts[] = {"Point your browser to http://10.0.0.1", "RESCUE MODE", mixed.c_str()};
        struct Geometry {
            int w, h, bits;
        };
        const Geometry geometries[] = {{220, 90, 16}, {300, 70, 16}, {220, 70, 32}, {300, 90, 32}};
        const int scales[][2] = {{1, 1}, {3, 2}};
        const uint32_t backgrounds[] = {kTransparent, 0xFF102030};
        for (const auto &g : geometries) {
            const Surface blank(g.w, g.h, g.bits, 0x5A5A5A5A);
            for (const char *text : texts)
                for (int dir = 0; dir < 4; ++dir)
                    for (const auto &sc : scales)
                        for (uint32_t bg : backgrounds) {
                            Surface probe = blank;
                            probe.target();
                            uint32_t v = 0, hz = 0;
                            BMF_GetTextFormalWidthHeight(gResHdle, text, BMF_GetTextLength(gResHdle, text), &v, &hz,
                                                         dir);
                            const int rw = static_cast<int>(hz) * sc[0], rh = static_cast<int>(v) * sc[1];
                            // Inside, and across each edge and corner of the surface.
                            const int places[][2] = {{(g.w - rw) / 2, (g.h - rh) / 2}, {-rw / 2, 5},
                                                     {g.w - rw / 2, 5},                {5, -rh / 2},
                                                     {5, g.h - rh / 2},                {-7, -9},
                                                     {g.w - 3, g.h - 2}};
                            for (const auto &at : places) {
                                Surface mine = blank, ref = blank;
                                mine.target();
                                BMF_FormalPlotText(gResHdle, at[0], at[1], 0xFFEEDDCC, bg, text,
                                                   BMF_GetTextLength(gResHdle, text), dir, sc[0], sc[1]);
                                reference_text(ref, at[0], at[1], text, dir, sc[0], sc[1], 0xFFEEDDCC, bg);
                                ASSERT_TRUE(mine.bytes == ref.bytes)
                                    << "\"" << text << "\" on " << g.w << "x" << g.h << "x" << g.bits << ", direction "
                                    << dir << ", scale " << sc[0] << "x" << sc[1] << ", at " << at[0] << "," << at[1]
                                    << ", background " << std::hex << bg << ", stores " << way;
                                ++compared;
                            }
                        }
        }
    }
    EXPECT_EQ(compared, static_cast<int>(ways.size()) * 4 * 3 * 4 * 2 * 2 * 7);
}

// Every character alone on a surface exactly as wide as its glyph, and a
// pixel or two wider, at each end: the engine stores a glyph's rows several
// pixels at a time and must keep to the surface where the glyph leaves it no
// room for that.
TEST(RenderReference, EachGlyphOnASurfaceAsWideAsItself)
{
    ASSERT_EQ(BMF_InitEngine(), 0);
    const std::vector<int> ways = glyph_store_ways();
    int compared = 0;
    for (int way : ways) {
        ASSERT_EQ(BMF_LimitGlyphStores(way), way);
        for (int code = 1; code < 256; ++code) {
            const char text[2] = {static_cast<char>(code), 0};
            uint32_t v = 0, hz = 0;
            // Measured on a narrow target, as every surface below is one.
            Surface probe(40, 30, 16);
            probe.target();
            BMF_GetTextFormalWidthHeight(gResHdle, text, 1, &v, &hz, BMF_DIR_LEFT_TO_RIGHT);
            if (hz == 0)
                continue;
            for (int bits : {16, 32})
                for (int extra : {0, 1, 2})
                    for (uint32_t bg : {kTransparent, 0xFF102030u}) {
                        const int w = static_cast<int>(hz) + extra;
                        const Surface blank(w, 30, bits, 0x5A5A5A5A);
                        for (int x : {0, extra}) {
                            Surface mine = blank, ref = blank;
                            mine.target();
                            BMF_FormalPlotText(gResHdle, x, 3, 0xFFEEDDCC, bg, text, 1, BMF_DIR_LEFT_TO_RIGHT, 1, 1);
                            reference_text(ref, x, 3, text, BMF_DIR_LEFT_TO_RIGHT, 1, 1, 0xFFEEDDCC, bg);
                            ASSERT_TRUE(mine.bytes == ref.bytes) << "code " << code << " on " << w << "x30x" << bits
                                                                 << " at " << x << ", background " << std::hex << bg
                                                                 << ", stores " << way;
                            ++compared;
                        }
                    }
        }
    }
    EXPECT_GT(compared, static_cast<int>(ways.size()) * 100 * 2 * 3 * 2 * 2);
}

// Rectangles filled one after another on the TV page, beside the same fills
// made one pixel at a time, clipped to the page: whole rows, the whole page,
// parts of rows, every edge, and colours whose top bit is set.
TEST(RenderReference, FillDrawsWhatAPixelByPixelFillDraws)
{
    auto box = boxtest::make_box_from({{"model", "rcplus"}});
    ASSERT_EQ(fb_init(), 0);
    ASSERT_EQ(fb_setmode(1280, 720, 32), 0);
    const int words = available / 4, w = static_cast<int>(var.xres), rows = fb_drawable_rows();
    ASSERT_EQ(rows, 720);
    for (int i = 0; i < words; ++i)
        lfb[i] = 0x5A5A5A5A;
    std::vector<uint32_t> ref(lfb, lfb + words);
    struct Fill {
        int x, y, w, h;
        uint32_t colour;
    } fills[] = {
        {0, 0, 1280, 720, 0xFF000000}, {0, 10, 1280, 5, 0x00000000},   {0, 30, 1279, 4, 0x80FF0000},
        {1, 40, 1279, 4, 0xFFFFFFFF},  {100, 100, 150, 40, 0xFF0080FF}, {-20, 200, 40, 3, 0x12345678},
        {1270, 205, 40, 3, 0x9ABCDEF0}, {5, -3, 10, 6, 0xFF00FF00},    {5, 715, 10, 20, 0xFFC8C8C8},
        {-5, 600, 2000, 30, 0x80000001}, {0, 719, 1280, 1, 0x7FFFFFFF}, {0, 700, 1280, 100, 0xDEADBEEF},
        {-5, -5, INT_MAX, INT_MAX, 0x00FFFFFF}, {10, 10, 0, 5, 0xFF111111}, {10, 10, -5, 5, 0xFF222222},
    };
    for (const auto &f : fills) {
        fb_fill(f.x, f.y, f.w, f.h, f.colour);
        // Every pixel of the rectangle that lies on the page.
        for (long long y = std::max(0, f.y); y < std::min<long long>(static_cast<long long>(f.y) + f.h, rows); ++y)
            for (long long x = std::max(0, f.x); x < std::min<long long>(static_cast<long long>(f.x) + f.w, w); ++x)
                ref[static_cast<size_t>(y * w + x)] = f.colour;
        ASSERT_TRUE(std::equal(ref.begin(), ref.end(), lfb))
            << f.x << "," << f.y << " " << f.w << "x" << f.h << " in " << std::hex << f.colour;
    }
}

} // namespace
