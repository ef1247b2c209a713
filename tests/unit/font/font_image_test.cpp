// The built-in font image and the engine's view of it: layout, block names,
// font selection, string tables and the acceptance of foreign images.
#include "font_test_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

uint32_t le(const uint8_t *p, int n)
{
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

// Handles live as long as the process, like the engine's own.
std::vector<BMF_ResourceHandle> *g_handles = new std::vector<BMF_ResourceHandle>;
BMF_ResourceHandle open_image(const uint8_t *image)
{
    BMF_ResourceHandle h = BMF_GetSystemResourceHandle(image);
    if (h)
        g_handles->push_back(h);
    return h;
}

// The width tables fix every text's layout; the image must carry them as is.
const uint8_t kWidths[144] = {
    6,  6,  7,  12, 12, 19, 14, 4,  7,  7,  8,  12, 6,  7,  6,  6,
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 6,  6,  12, 12, 12, 12,
    21, 13, 14, 15, 15, 14, 13, 16, 14, 6,  11, 14, 12, 17, 14, 16,
    14, 16, 15, 14, 12, 14, 13, 21, 14, 14, 13, 6,  6,  6,  8,  12,
    7,  12, 11, 11, 11, 12, 6,  11, 11, 5,  4,  10, 4,  16, 11, 12,
    11, 11, 7,  11, 6,  11, 11, 15, 10, 11, 9,  7,  6,  7,  12, 16,
    12, 23, 23, 23, 22, 21, 21, 23, 22, 21, 23, 21, 21, 23, 23, 23,
    21, 23, 21, 21, 23, 23, 21, 22, 23, 22, 23, 22, 21, 23, 24, 22,
    21, 23, 23, 23, 22, 22, 22, 23, 23, 23, 23, 23, 23, 22, 22, 20,
};

TEST(FontImage, HeaderBlocksAndPayloadsLieWhereTheEngineLooks)
{
    const uint8_t *img = BMF_acResource;
    EXPECT_EQ(0, reinterpret_cast<uintptr_t>(img) % 4);
    EXPECT_EQ(0, memcmp(img, "SYS", 4));
    EXPECT_EQ(0u, le(img + 4, 4));
    EXPECT_EQ(20u, le(img + 8, 4));
    EXPECT_EQ(2u, le(img + 12, 4));
    EXPECT_EQ(14100u, le(img + 16, 4));
    EXPECT_EQ(0, img[14100]);

    struct { size_t block; uint32_t next; uint32_t first, last, count, max_width, attr_a, length; } fonts[] = {
        {20, 9388, 32, 127, 96, 21, 0, 9352},
        {9388, 14100, 128, 175, 48, 24, 1, 4696},
    };
    int table_at = 0;
    for (const auto &f : fonts) {
        const uint8_t *b = img + f.block;
        EXPECT_EQ(0, memcmp(b, "FNT", 4));
        EXPECT_EQ(f.next, le(b + 4, 4));
        EXPECT_EQ(16u, le(b + 12, 4));
        const uint8_t *p = b + 16;
        EXPECT_EQ(f.max_width, le(p, 2));
        EXPECT_EQ(24u, le(p + 2, 2));
        EXPECT_EQ(f.first, le(p + 4, 2));
        EXPECT_EQ(f.last, le(p + 6, 2));
        EXPECT_EQ(f.count, le(p + 8, 2));
        EXPECT_EQ(f.attr_a, p[10]);
        EXPECT_EQ(0, p[11]);  // no padding, no attrB
        EXPECT_STREQ("Arial", reinterpret_cast<const char *>(p + 12));
        EXPECT_EQ(f.length, le(p + 36, 4));
        EXPECT_EQ(f.length, 40 + f.count + f.count * 24 * 4);
        EXPECT_EQ(0, memcmp(p + 40, kWidths + table_at, f.count));
        table_at += static_cast<int>(f.count);
    }
}

TEST(FontImage, GlyphsStayInsideTheirWidthsAndPrintableOnesHaveInk)
{
    BMF_InitEngine();
    for (int code = 32; code <= 175; ++code) {
        uint32_t width;
        const uint8_t *glyph;
        unsigned char b = static_cast<unsigned char>(code);
        GetCharDetails(gResHdle, &b, 1, &width, &glyph);
        ASSERT_NE(nullptr, glyph) << code;
        // The table width, not the engine's 23 for 0x80: the glyph is drawn
        // for both the single- and the double-byte modes.
        const int table = kWidths[code - 32];
        int ink = 0;
        for (int r = 0; r < 24; ++r)
            for (int c = 0; c < 32; ++c)
                if (fonttest::glyph_bit(b, r, c)) {
                    ++ink;
                    EXPECT_LT(c, table) << "code " << code << " row " << r;
                }
        if (code != 32)
            EXPECT_GE(ink, 4) << "code " << code;
        else
            EXPECT_EQ(0, ink);
    }
}

TEST(FontImage, BlockNamesFindThePayloads)
{
    BMF_ResourceHandle h = open_image(BMF_acResource);
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(2u, h->fntCount);
    EXPECT_EQ(0u, h->strCount);
    EXPECT_EQ(0u, h->bmpCount);
    EXPECT_EQ(0u, h->picCount);

    EXPECT_EQ(BMF_acResource + 36, BMF_GetBlockHandle(h, "SYS_FNT_0"));
    EXPECT_EQ(BMF_acResource + 9404, BMF_GetBlockHandle(h, "SYS_FNT_1"));
    EXPECT_EQ(BMF_acResource + 9404, BMF_GetBlockHandle(h, "XYZ_FNT_1"));
    EXPECT_EQ(BMF_acResource + 36, BMF_GetBlockHandle(h, "SYS_FNT_256"));
    for (const char *none : {"SYS_FNT_2", "SYS_BMP_0", "SYS_STR_0", "SYS_FNT_", "SYS_ABC_0", ""})
        EXPECT_EQ(nullptr, BMF_GetBlockHandle(h, none)) << none;
}

TEST(FontImage, FontDetailsAndSelection)
{
    BMF_InitEngine();
    const uint8_t *basic = BMF_GetBlockHandle(gResHdle, "SYS_FNT_0");
    const uint8_t *ext = BMF_GetBlockHandle(gResHdle, "SYS_FNT_1");

    BMF_FontDetails d;
    memset(&d, 0, sizeof d);
    d.attrBSpare = 3;
    ASSERT_EQ(0, BMF_GetFontDetails(ext, &d));
    EXPECT_EQ((std::vector<int>{24, 24, 128, 175, 48, 1, 0, 3, 16, 0, 1}),
              (std::vector<int>{d.maxWidth, d.height, d.firstCode, d.lastCode, d.glyphCount, d.attrA,
                                d.attrB, d.attrBSpare, d.attrC, d.attrD, d.attrE}));
    EXPECT_STREQ("Arial", d.faceName);
    EXPECT_EQ(ext + 40, d.widths);
    EXPECT_EQ(ext + 88, d.bitmaps);
    EXPECT_EQ(1, BMF_GetFontDetails(nullptr, &d));
    EXPECT_EQ(1, BMF_GetFontDetails(ext, nullptr));

    // Selecting the current font again changes nothing.
    EXPECT_EQ(basic, BMF_SetBasicFontBlock(gResHdle, basic));
    EXPECT_EQ(basic + 136, gResHdle->basicBitmaps);
    // Another font takes over, and the old one is handed back.
    EXPECT_EQ(basic, BMF_SetBasicFontBlock(gResHdle, ext));
    EXPECT_EQ(48u, gResHdle->basicGlyphCount);
    EXPECT_EQ(128u, gResHdle->basicFirstCode);
    EXPECT_EQ(ext, BMF_SetBasicFontBlock(gResHdle, basic));
    EXPECT_EQ(96u, gResHdle->basicGlyphCount);
}

// A foreign image built in memory: one block of each kind, an unknown kind
// and a string table.
std::vector<uint8_t> make_image(const char kind[4], uint32_t word)
{
    std::vector<uint8_t> img(20);
    memcpy(img.data(), kind, 4);
    img[4] = static_cast<uint8_t>(word);
    img[8] = 20;
    auto block = [&](const char *k, const std::vector<uint8_t> &payload) {
        size_t at = img.size();
        img.resize(at + 16 + payload.size() + (4 - payload.size() % 4) % 4);
        memcpy(&img[at], k, 4);
        memcpy(&img[at + 16], payload.data(), payload.size());
        const uint32_t next = static_cast<uint32_t>(img.size());
        memcpy(&img[at + 4], &next, 4);
        img[at + 12] = 16;
        img[12]++;
    };
    const char strings[] = "\3\0\0\0\0\0\0\0one\0two\0three\0";
    block("STR", std::vector<uint8_t>(strings, strings + sizeof strings));
    block("XYZ", {1, 2, 3, 4});
    block("BMP", {9});
    block("PIC", {8});
    block("PIC", {7});
    return img;
}

TEST(FontImage, ForeignImagesStringTablesAndRefusal)
{
    std::vector<uint8_t> img = make_image("ABC", 0);
    BMF_ResourceHandle h = open_image(img.data());
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(1u, h->strCount);
    EXPECT_EQ(0u, h->fntCount);
    EXPECT_EQ(1u, h->bmpCount);
    EXPECT_EQ(2u, h->picCount);
    EXPECT_EQ(7, *BMF_GetBlockHandle(h, "ANY_PIC_1"));

    EXPECT_EQ(nullptr, BMF_GetString(h, 0));
    const uint8_t *str = BMF_GetBlockHandle(h, "SYS_STR_0");
    ASSERT_NE(nullptr, str);
    EXPECT_EQ(nullptr, BMF_SetStringBlock(h, str));
    EXPECT_EQ(str, BMF_SetStringBlock(h, str));
    EXPECT_STREQ("one", BMF_GetString(h, 0));
    EXPECT_STREQ("two", BMF_GetString(h, 1));
    EXPECT_STREQ("three", BMF_GetString(h, 2));
    EXPECT_EQ(nullptr, BMF_GetString(h, 3));

    // Refused only when kind, word and block count all disagree.
    std::vector<uint8_t> bad = make_image("ABC", 1);
    EXPECT_EQ(nullptr, open_image(bad.data()));
    std::vector<uint8_t> sys = make_image("SYS", 1);
    EXPECT_NE(nullptr, open_image(sys.data()));
}

} // namespace
