// BMP pictures: the header reader, pictures drawn upright and cropped, and
// hostile files that must draw nothing and read nothing past their end.
#include "gfx_test_util.h"

#include "gfx/bmp.h"
#include "gfx/fb.h"
#include "panel/lcd.h"

#include <climits>
#include <cstring>

namespace {

using namespace gfxtest;

using Bytes = std::vector<unsigned char>;

void put16(Bytes &b, size_t at, uint32_t v)
{
    b[at] = static_cast<unsigned char>(v);
    b[at + 1] = static_cast<unsigned char>(v >> 8);
}
void put32(Bytes &b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

// A BMP file of `w` x `h` pixels (colours 0x00RRGGBB, given top row first),
// stored bottom-up or top-down, 24 or 32 bits, rows padded with 0xEE bytes
// so that a wrong stride shows.
Bytes make_bmp(int w, int h, const std::vector<uint32_t> &px, int bits = 24, bool top_down = false)
{
    size_t stride = ((static_cast<size_t>(w) * bits + 31) / 32) * 4;
    Bytes b(54 + stride * h, 0xEE);
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 2, static_cast<uint32_t>(b.size()));
    put32(b, 6, 0);
    put32(b, 10, 54);
    put32(b, 14, 40);
    put32(b, 18, static_cast<uint32_t>(w));
    put32(b, 22, static_cast<uint32_t>(top_down ? -h : h));
    put16(b, 26, 1);
    put16(b, 28, static_cast<uint32_t>(bits));
    for (size_t i = 30; i < 54; ++i)
        b[i] = 0;
    for (int row = 0; row < h; ++row) {
        int stored = top_down ? row : h - 1 - row;
        unsigned char *p = b.data() + 54 + stored * stride;
        for (int x = 0; x < w; ++x) {
            uint32_t c = px[static_cast<size_t>(row) * w + x];
            *p++ = static_cast<unsigned char>(c);
            *p++ = static_cast<unsigned char>(c >> 8);
            *p++ = static_cast<unsigned char>(c >> 16);
            if (bits == 32)
                *p++ = 0x00;  // the file's alpha, transparent: must not matter
        }
    }
    return b;
}

std::string str(const Bytes &b) { return std::string(b.begin(), b.end()); }

// A BMP file in one of the forms common tools write besides plain 24 bits:
// an info header of `header` bytes, colour masks (in the header from 52
// bytes on, else the three words after it) or a colour table, and rows of
// raw pixel values (palette indices or masked words), given top row first.
struct Form {
    uint32_t header;
    int bits;
    uint32_t compression;
    std::vector<uint32_t> masks;    // red, green, blue[, alpha]
    std::vector<uint32_t> palette;  // 0x00RRGGBB
    uint32_t colours_used;
};

Bytes make_form(const Form &f, int w, int h, const std::vector<uint32_t> &raw)
{
    size_t stride = ((static_cast<size_t>(w) * f.bits + 31) / 32) * 4;
    size_t after_header = 14 + f.header;
    if (f.header == 40 && f.compression == 3)
        after_header += 12;
    size_t offset = after_header + 4 * f.palette.size();
    Bytes b(offset + stride * h, 0);
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 2, static_cast<uint32_t>(b.size()));
    put32(b, 10, static_cast<uint32_t>(offset));
    put32(b, 14, f.header);
    put32(b, 18, static_cast<uint32_t>(w));
    put32(b, 22, static_cast<uint32_t>(h));
    put16(b, 26, 1);
    put16(b, 28, static_cast<uint32_t>(f.bits));
    put32(b, 30, f.compression);
    put32(b, 46, f.colours_used);
    for (size_t i = 0; i < f.masks.size(); ++i)
        put32(b, 54 + 4 * i, f.masks[i]);
    for (size_t i = 0; i < f.palette.size(); ++i)
        put32(b, after_header + 4 * i, f.palette[i]);
    for (int row = 0; row < h; ++row) {
        size_t at = offset + static_cast<size_t>(h - 1 - row) * stride;
        for (int x = 0; x < w; ++x) {
            uint32_t v = raw[static_cast<size_t>(row) * w + x];
            if (f.bits == 4)
                b[at + x / 2] |= static_cast<unsigned char>(x % 2 ? v & 0x0F : v << 4);
            else
                for (int k = 0; k < f.bits / 8; ++k)
                    b[at + static_cast<size_t>(x) * (f.bits / 8) + k] = static_cast<unsigned char>(v >> (8 * k));
        }
    }
    return b;
}

constexpr uint32_t kBack = 0x5A5A5A5A;

// --- header

TEST(BmpGetInfo, ReadsEveryFieldLittleEndianAtAnyAlignment)
{
    Bytes file(1 + 54);
    unsigned char *h = file.data() + 1;  // deliberately odd address
    const unsigned char header[54] = {
        'B', 'M', 0x36, 0x10, 0x0E, 0x00, 0x01, 0x02, 0x03, 0x04, 0x36, 0x00, 0x00, 0x00,  // file header
        0x28, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x30, 0xFD, 0xFF, 0xFF,            // size, w 1280, h -720
        0x01, 0x00, 0x18, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x0E, 0x00,            // planes, bits, comp, size
        0x13, 0x0B, 0x00, 0x00, 0x14, 0x0B, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00,            // resolutions, colours
        0x09, 0x00, 0x00, 0x00};
    memcpy(h, header, sizeof header);
    BmpHeader hdr;
    ASSERT_EQ(bmp_getinfo(h, &hdr), 0);
    EXPECT_EQ(hdr.type, 0x4D42);
    EXPECT_EQ(hdr.file_size, 0x000E1036u);
    EXPECT_EQ(hdr.reserved1, 0x0201);
    EXPECT_EQ(hdr.reserved2, 0x0403);
    EXPECT_EQ(hdr.data_offset, 54u);
    EXPECT_EQ(hdr.header_size, 40u);
    EXPECT_EQ(hdr.width, 1280);
    EXPECT_EQ(hdr.height, -720);
    EXPECT_EQ(hdr.planes, 1);
    EXPECT_EQ(hdr.bits_per_pixel, 24);
    EXPECT_EQ(hdr.compression, 0u);
    EXPECT_EQ(hdr.image_size, 0x000E1000u);
    EXPECT_EQ(hdr.x_resolution, 2835);
    EXPECT_EQ(hdr.y_resolution, 2836);
    EXPECT_EQ(hdr.colours_used, 7u);
    EXPECT_EQ(hdr.colours_important, 9u);
}

TEST(BmpGetInfo, RefusesOtherSignaturesAndLeavesTheRecordAlone)
{
    Bytes file = make_bmp(2, 2, {0, 0, 0, 0});
    file[1] = 'A';
    BmpHeader hdr;
    memset(&hdr, 0xAB, sizeof hdr);
    BmpHeader untouched = hdr;
    EXPECT_EQ(bmp_getinfo(file.data(), &hdr), -1);
    EXPECT_EQ(memcmp(&hdr, &untouched, sizeof hdr), 0);
}

// --- drawing

TEST(FbBmp, DrawsATwoByTwoPictureUprightWithPaddedRows)
{
    auto box = fb_box();
    open_tv();
    paint_memory(kBack);
    // Written out by hand: bottom row first, each row 6 pixel bytes and 2
    // padding bytes (a stride of 8).
    const unsigned char file[54 + 16] = {
        'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,
        40, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0,
        16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0x03, 0x02, 0x01, 0x06, 0x05, 0x04, 0x77, 0x77,   // bottom row: 010203, 040506
        0x30, 0x20, 0x10, 0x60, 0x50, 0x40, 0x77, 0x77};  // top row: 102030, 405060
    box->add_file("/root/bmp/two.bmp", std::string(reinterpret_cast<const char *>(file), sizeof file));
    fb_bmp("/root/bmp/two.bmp", 100, 50);

    EXPECT_EQ(pixel(100, 50), 0xFF102030u);
    EXPECT_EQ(pixel(101, 50), 0xFF405060u);
    EXPECT_EQ(pixel(100, 51), 0xFF010203u);
    EXPECT_EQ(pixel(101, 51), 0xFF040506u);
    EXPECT_EQ(words_not(kBack), 4u);
}

TEST(FbBmp, TopDownAnd32BitFilesLookTheSameAndAreOpaque)
{
    auto box = fb_box();
    open_tv();
    // 3 x 2: a row of 9 bytes pads to 12 in 24-bit files.
    std::vector<uint32_t> px = {0x112233, 0x445566, 0x778899, 0xAABBCC, 0xDDEEFF, 0x000000};
    struct Variant {
        const char *what;
        Bytes file;
    } variants[] = {
        {"bottom-up 24", make_bmp(3, 2, px, 24, false)},
        {"top-down 24", make_bmp(3, 2, px, 24, true)},
        {"bottom-up 32", make_bmp(3, 2, px, 32, false)},
        {"top-down 32", make_bmp(3, 2, px, 32, true)},
    };
    for (const auto &v : variants) {
        SCOPED_TRACE(v.what);
        paint_memory(kBack);
        box->add_file("/root/bmp/p.bmp", str(v.file));
        fb_bmp("/root/bmp/p.bmp", 10, 20);
        EXPECT_EQ(words_not(kBack), 6u);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x)
                EXPECT_EQ(pixel(10 + x, 20 + y), 0xFF000000u | px[y * 3 + x]) << x << "," << y;
    }
}

TEST(FbBmp, PicturesAreCroppedAtTheScreenEdges)
{
    auto box = fb_box();
    open_tv();
    // 4 x 4, each pixel naming its own column and row.
    std::vector<uint32_t> px;
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            px.push_back(static_cast<uint32_t>(0x100 * x + y + 1));
    box->add_file("/root/bmp/q.bmp", str(make_bmp(4, 4, px)));
    auto at = [](int x, int y) { return 0xFF000000u | static_cast<uint32_t>(0x100 * x + y + 1); };

    struct Case {
        const char *what;
        int x, y;
        int px0, py0, shown_w, shown_h;  // first picture pixel shown, and how many
    } cases[] = {
        {"bottom-right corner", 1278, 718, 0, 0, 2, 2},
        {"top-left corner", -2, -3, 2, 3, 2, 1},
        {"past the right edge", 1280, 10, 0, 0, 0, 0},
        {"past the bottom edge", 10, 720, 0, 0, 0, 0},
        {"far away", INT_MIN, INT_MAX, 0, 0, 0, 0},
        {"far left and up", INT_MIN, INT_MIN, 0, 0, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        paint_memory(kBack);
        fb_bmp("/root/bmp/q.bmp", c.x, c.y);
        EXPECT_EQ(words_not(kBack), static_cast<size_t>(c.shown_w) * c.shown_h);
        int sx = c.x < 0 ? 0 : c.x, sy = c.y < 0 ? 0 : c.y;
        for (int j = 0; j < c.shown_h; ++j)
            for (int i = 0; i < c.shown_w; ++i)
                EXPECT_EQ(pixel(sx + i, sy + j), at(c.px0 + i, c.py0 + j));
    }
}

// The forms ImageMagick, GIMP and other tools write for 32-bit pictures with
// alpha, 16-bit pictures and palette pictures: the TV shows each pixel's
// colour and the file's alpha, the LCD (16 and 24 bits) the colour alone.
TEST(FbBmp, MaskedAndPaletteFormsAsCommonToolsWriteThem)
{
    auto box = fb_box();
    open_tv();
    const std::vector<uint32_t> pal = {0x112233, 0x445566, 0x778899};
    struct Case {
        const char *what;
        Form form;
        std::vector<uint32_t> raw;   // 3 x 2 pixels, top row first
        std::vector<uint32_t> argb;  // what the TV shows
    } cases[] = {
        {"32 bits, 124-byte header, ARGB masks",
         {124, 32, 3, {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000}, {}, 0},
         {0x80112233, 0x00FFFFFF, 0xFF000000, 0x7F0000FF, 0x01ABCDEF, 0xFFFFFFFF},
         {0x80112233, 0x00FFFFFF, 0xFF000000, 0x7F0000FF, 0x01ABCDEF, 0xFFFFFFFF}},
        {"32 bits, 56-byte header, RGBA masks",
         {56, 32, 3, {0xFF000000, 0x00FF0000, 0x0000FF00, 0x000000FF}, {}, 0},
         {0x11223380, 0xFFFFFF00, 0x000000FF, 0, 0xABCDEF01, 0x445566FF},
         {0x80112233, 0x00FFFFFF, 0xFF000000, 0x00000000, 0x01ABCDEF, 0xFF445566}},
        {"32 bits, 40-byte header, three 10-bit masks after it: opaque",
         {40, 32, 3, {0x3FF00000, 0x000FFC00, 0x000003FF}, {}, 0},
         {0x3FF00000, 0x000FFC00, 0x000003FF, 0x20080200, 0, 0x3FFFFFFF},
         {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFF808080, 0xFF000000, 0xFFFFFFFF}},
        {"16 bits, RGB565 masks",
         {40, 16, 3, {0xF800, 0x07E0, 0x001F}, {}, 0},
         {0xF800, 0x07E0, 0x001F, 0x0010, 0x0000, 0xFFFF},
         {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFF000084, 0xFF000000, 0xFFFFFFFF}},
        {"16 bits, no masks: five bits a colour",
         {40, 16, 0, {}, {}, 0},
         {0x7C00, 0x03E0, 0x001F, 0x4210, 0x8000, 0x7FFF},
         {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFF848484, 0xFF000000, 0xFFFFFFFF}},
        {"8 bits, three colours; indices beyond them black",
         {40, 8, 0, {}, pal, 3},
         {0, 1, 2, 3, 255, 1},
         {0xFF112233, 0xFF445566, 0xFF778899, 0xFF000000, 0xFF000000, 0xFF445566}},
        {"8 bits, a table of all 256 stated, three in the file",
         {40, 8, 0, {}, pal, 0},
         {2, 1, 0, 0, 3, 2},
         {0xFF778899, 0xFF445566, 0xFF112233, 0xFF112233, 0xFF000000, 0xFF778899}},
        {"4 bits, odd width, 124-byte header",
         {124, 4, 0, {}, pal, 3},
         {1, 0, 2, 2, 15, 1},
         {0xFF445566, 0xFF112233, 0xFF778899, 0xFF778899, 0xFF000000, 0xFF445566}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes file = make_form(c.form, 3, 2, c.raw);
        paint_memory(kBack);
        box->add_file("/root/bmp/p.bmp", str(file));
        fb_bmp("/root/bmp/p.bmp", 10, 20);
        EXPECT_EQ(words_not(kBack), 6u);
        std::vector<uint8_t> f24(3 * 2 * 3), f16(3 * 2 * 2);
        ASSERT_EQ(lcd_load_bmp(f24.data(), 3, 2, 24, file.data(), file.size()), 0);
        ASSERT_EQ(lcd_load_bmp(f16.data(), 3, 2, 16, file.data(), file.size()), 0);
        for (int i = 0; i < 6; ++i) {
            const int x = i % 3, y = i / 3;
            const uint32_t want = c.argb[i];
            EXPECT_EQ(pixel(10 + x, 20 + y), want) << x << "," << y;
            const uint8_t r = static_cast<uint8_t>(want >> 16), g = static_cast<uint8_t>(want >> 8),
                          b = static_cast<uint8_t>(want);
            EXPECT_EQ(f24[3 * i], r);
            EXPECT_EQ(f24[3 * i + 1], g);
            EXPECT_EQ(f24[3 * i + 2], b);
            const unsigned rgb565 = ((r & 0xF8u) << 8) | ((g & 0xFCu) << 3) | (b >> 3u);
            EXPECT_EQ((f16[2 * i] << 8) | f16[2 * i + 1], rgb565) << x << "," << y;
        }
    }
}

// Every file here is broken or of a kind that is not drawn. The sanitizer
// build catches any read past the file's bytes (the whole file is read into
// a buffer of exactly its length).
TEST(FbBmp, HostileFilesDrawNothingAndReadNothingPastTheirEnd)
{
    auto box = fb_box();
    open_tv();
    std::vector<uint32_t> px(16 * 8, 0x123456);
    const Bytes good = make_bmp(16, 8, px);

    auto with = [&](auto change) {
        Bytes b = good;
        change(b);
        return b;
    };
    struct Case {
        const char *what;
        Bytes file;
    } cases[] = {
        {"empty", {}},
        {"shorter than the header", Bytes(good.begin(), good.begin() + 53)},
        {"header only", Bytes(good.begin(), good.begin() + 54)},
        {"last row cut short", Bytes(good.begin(), good.end() - 1)},
        {"not BM", with([](Bytes &b) { b[0] = 'X'; })},
        {"offset past the end", with([](Bytes &b) { put32(b, 10, 0x7FFFFFF0); })},
        {"offset leaves too few rows", with([](Bytes &b) { put32(b, 10, 54 + 48); })},
        {"offset inside the header", with([](Bytes &b) { put32(b, 10, 10); })},
        {"offset wraps around", with([](Bytes &b) { put32(b, 10, 0xFFFFFFFF); })},
        {"huge width", with([](Bytes &b) { put32(b, 18, 0x7FFFFFFF); })},
        {"huge height", with([](Bytes &b) { put32(b, 22, 0x7FFFFFFF); })},
        {"most negative height", with([](Bytes &b) { put32(b, 22, 0x80000000); })},
        {"negative width", with([](Bytes &b) { put32(b, 18, static_cast<uint32_t>(-16)); })},
        {"zero width", with([](Bytes &b) { put32(b, 18, 0); })},
        {"zero height", with([](Bytes &b) { put32(b, 22, 0); })},
        {"width that needs more rows than stored", with([](Bytes &b) { put32(b, 18, 17); })},
        {"palette", with([](Bytes &b) { put16(b, 28, 8); })},
        {"one bit", with([](Bytes &b) { put16(b, 28, 1); })},
        {"zero bits", with([](Bytes &b) { put16(b, 28, 0); })},
        {"run-length compressed", with([](Bytes &b) { put32(b, 30, 1); })},
        {"24 bits with colour masks", with([](Bytes &b) { put32(b, 30, 3); })},
        {"old 12-byte header", with([](Bytes &b) { put32(b, 14, 12); })},
        {"8-bit run-length", make_form({40, 8, 1, {}, {0x112233}, 1}, 16, 8, std::vector<uint32_t>(128, 0))},
        {"4-bit run-length", make_form({40, 4, 2, {}, {0x112233}, 1}, 16, 8, std::vector<uint32_t>(128, 0))},
        {"one bit with a table", make_form({40, 1, 0, {}, {0, 0xFFFFFF}, 2}, 16, 8, std::vector<uint32_t>(128, 0))},
        {"masks with a gap", make_form({40, 32, 3, {0xF0F00000, 0xFF00, 0xFF}, {}, 0}, 16, 8, px)},
        {"16-bit mask wider than a pixel", make_form({40, 16, 3, {0x1F800, 0x7E0, 0x1F}, {}, 0}, 16, 8, px)},
        {"masks past the end of the file", [] {
             // One 32-bit pixel right after the header, where the masks belong.
             Bytes b = make_form({40, 32, 3, {0xFF0000, 0xFF00, 0xFF}, {}, 0}, 1, 1, {0});
             put32(b, 10, 54);
             b.resize(58);
             return b;
         }()},
        {"palette without a table", make_form({40, 8, 0, {}, {}, 0}, 16, 8, std::vector<uint32_t>(128, 0))},
        {"palette, table under a header that runs past the pixels",
         with([](Bytes &b) { put16(b, 28, 8); put32(b, 14, 0x7FFFFFF0); })},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        paint_memory(kBack);
        box->add_file("/root/bmp/bad.bmp", str(c.file));
        fb_bmp("/root/bmp/bad.bmp", 0, 0);
        EXPECT_EQ(words_not(kBack), 0u);

        // The checked reader says the same, given exactly the file's bytes.
        auto *copy = new unsigned char[c.file.size() + 1];
        if (!c.file.empty())
            memcpy(copy, c.file.data(), c.file.size());
        BmpPixels pixels;
        EXPECT_EQ(bmp_pixels(copy, c.file.size(), nullptr, &pixels), -1);
        delete[] copy;
    }

    // The unchanged file is drawn: the cases above fail for their own fault.
    paint_memory(kBack);
    box->add_file("/root/bmp/bad.bmp", str(good));
    fb_bmp("/root/bmp/bad.bmp", 0, 0);
    EXPECT_EQ(words_not(kBack), 16u * 8u);
    fb_bmp("/root/bmp/missing.bmp", 0, 0);  // a file that does not open: nothing
}

} // namespace
