// Builds the built-in font resource image and writes it as a C++ source.
//
// The image holds two 24-row bitmap fonts: the basic font (printable ASCII,
// codes 32 to 127) and the extended font (48 symbols, codes 128 to 175). The
// width tables are fixed: every text's layout on the TV and the LCD depends
// on them, so each glyph is fitted into its table width. Letters come from
// Liberation Sans, whose advance widths at 21 pixels are exactly the table's;
// symbols come from DejaVu Sans or are drawn here.
//
//   fontgen TEXT_FONT.ttf SYMBOL_FONT.ttf OUT.cpp
//
// The output depends only on the two font files and the FreeType version.
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kHeight = 24;
constexpr int kTextPixels = 21;  // Liberation Sans size whose advances match the table
constexpr int kBaseline = 19;    // first row below the letters' baseline
constexpr int kSymbolMid = 12;   // symbols are centred on the middle of the capitals

const uint8_t kBasicWidths[96] = {
    6,  6,  7,  12, 12, 19, 14, 4,  7,  7,  8,  12, 6,  7,  6,  6,   // 32..47
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 6,  6,  12, 12, 12, 12,  // 48..63
    21, 13, 14, 15, 15, 14, 13, 16, 14, 6,  11, 14, 12, 17, 14, 16,  // 64..79
    14, 16, 15, 14, 12, 14, 13, 21, 14, 14, 13, 6,  6,  6,  8,  12,  // 80..95
    7,  12, 11, 11, 11, 12, 6,  11, 11, 5,  4,  10, 4,  16, 11, 12,  // 96..111
    11, 11, 7,  11, 6,  11, 11, 15, 10, 11, 9,  7,  6,  7,  12, 16,  // 112..127
};
const uint8_t kExtWidths[48] = {
    12, 23, 23, 23, 22, 21, 21, 23, 22, 21, 23, 21, 21, 23, 23, 23,  // 128..143
    21, 23, 21, 21, 23, 23, 21, 22, 23, 22, 23, 22, 21, 23, 24, 22,  // 144..159
    21, 23, 23, 23, 22, 22, 22, 23, 23, 23, 23, 23, 23, 22, 22, 20,  // 160..175
};

// What each extended code shows: a character of the symbol font, or a shape
// drawn here (codepoint 0 with a drawing kind).
enum Drawn { FROM_FONT, SIGNAL0, SIGNAL1, SIGNAL2, SIGNAL3, SIGNAL4, PAUSE, SHADE25, SHADE50,
             SHADE75, FULL_BLOCK, POWER };
struct Symbol {
    uint32_t codepoint;
    Drawn drawn;
    const char *name;
};
const Symbol kSymbols[48] = {
    {0x2022, FROM_FONT, "bullet"},
    {0x2190, FROM_FONT, "arrow left"},
    {0x2192, FROM_FONT, "arrow right"},
    {0x2191, FROM_FONT, "arrow up"},
    {0x2193, FROM_FONT, "arrow down"},
    {0x2194, FROM_FONT, "arrow left-right"},
    {0x2195, FROM_FONT, "arrow up-down"},
    {0x21B5, FROM_FONT, "return"},
    {0x21BB, FROM_FONT, "retry"},
    {0x2714, FROM_FONT, "check mark"},
    {0x2718, FROM_FONT, "cross mark"},
    {0x2610, FROM_FONT, "box"},
    {0x2611, FROM_FONT, "box checked"},
    {0x2612, FROM_FONT, "box crossed"},
    {0, SIGNAL0, "signal 0 of 4"},
    {0, SIGNAL1, "signal 1 of 4"},
    {0, SIGNAL2, "signal 2 of 4"},
    {0, SIGNAL3, "signal 3 of 4"},
    {0, SIGNAL4, "signal 4 of 4"},
    {0x25CF, FROM_FONT, "filled circle"},
    {0x25CB, FROM_FONT, "circle"},
    {0x25C9, FROM_FONT, "circle selected"},
    {0x25A0, FROM_FONT, "filled square"},
    {0x25A1, FROM_FONT, "square"},
    {0x25B2, FROM_FONT, "triangle up"},
    {0x25BC, FROM_FONT, "triangle down"},
    {0x25C0, FROM_FONT, "triangle left"},
    {0x25B6, FROM_FONT, "triangle right (play)"},
    {0, PAUSE, "pause"},
    {0x2605, FROM_FONT, "star"},
    {0x2606, FROM_FONT, "star outline"},
    {0x26A0, FROM_FONT, "warning"},
    {0x266A, FROM_FONT, "note"},
    {0x266B, FROM_FONT, "notes"},
    {0x2699, FROM_FONT, "gear"},
    {0x26A1, FROM_FONT, "lightning"},
    {0x2302, FROM_FONT, "house"},
    {0x2709, FROM_FONT, "envelope"},
    {0, POWER, "power (standby)"},
    {0x2139, FROM_FONT, "information"},
    {0x21C4, FROM_FONT, "arrows exchange"},
    {0x2630, FROM_FONT, "menu"},
    {0x25D0, FROM_FONT, "half circle"},
    {0, SHADE25, "light shade"},
    {0, SHADE50, "medium shade"},
    {0, SHADE75, "dark shade"},
    {0, FULL_BLOCK, "full block"},
    {0x2103, FROM_FONT, "degree Celsius"},
};

// One glyph: 24 rows, column c of a row is bit 31 - c.
struct Glyph {
    uint32_t rows[kHeight] = {};
    void set(int x, int y)
    {
        if (x >= 0 && x < 32 && y >= 0 && y < kHeight)
            rows[y] |= 0x80000000u >> x;
    }
    void fill(int x0, int y0, int x1, int y1)  // inclusive corners
    {
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x)
                set(x, y);
    }
};

// A rendered character as a plain bit matrix with its ink bounds.
struct Ink {
    int w = 0, h = 0;   // bitmap size
    int left = 0;       // bitmap_left
    int top = 0;        // bitmap_top
    int advance = 0;    // pixels
    std::vector<uint8_t> bits;
    bool at(int x, int y) const { return bits[static_cast<size_t>(y) * w + x] != 0; }
};

bool render(FT_Face face, uint32_t cp, bool mono, Ink &out)
{
    FT_UInt index = FT_Get_Char_Index(face, cp);
    if (index == 0)
        return false;
    FT_Int32 flags = mono ? (FT_LOAD_RENDER | FT_LOAD_TARGET_MONO) : (FT_LOAD_RENDER | FT_LOAD_TARGET_LIGHT);
    if (FT_Load_Glyph(face, index, flags) != 0)
        return false;
    const FT_Bitmap &bm = face->glyph->bitmap;
    out.w = static_cast<int>(bm.width);
    out.h = static_cast<int>(bm.rows);
    out.left = face->glyph->bitmap_left;
    out.top = face->glyph->bitmap_top;
    out.advance = static_cast<int>((face->glyph->advance.x + 32) >> 6);
    out.bits.assign(static_cast<size_t>(out.w) * out.h, 0);
    for (int y = 0; y < out.h; ++y) {
        const unsigned char *row = bm.buffer + static_cast<ptrdiff_t>(y) * bm.pitch;
        for (int x = 0; x < out.w; ++x) {
            bool on = bm.pixel_mode == FT_PIXEL_MODE_MONO ? (row[x >> 3] >> (7 - (x & 7))) & 1
                                                          : row[x] >= 128;
            out.bits[static_cast<size_t>(y) * out.w + x] = on;
        }
    }
    return true;
}

// Shrinks an ink matrix to the rows and columns that hold set bits.
void trim(Ink &ink)
{
    int x0 = ink.w, x1 = -1, y0 = ink.h, y1 = -1;
    for (int y = 0; y < ink.h; ++y)
        for (int x = 0; x < ink.w; ++x)
            if (ink.at(x, y)) {
                x0 = std::min(x0, x);
                x1 = std::max(x1, x);
                y0 = std::min(y0, y);
                y1 = std::max(y1, y);
            }
    if (x1 < 0) {
        ink.w = ink.h = 0;
        ink.bits.clear();
        return;
    }
    Ink t = ink;
    t.w = x1 - x0 + 1;
    t.h = y1 - y0 + 1;
    t.left = ink.left + x0;
    t.top = ink.top - y0;
    t.bits.assign(static_cast<size_t>(t.w) * t.h, 0);
    for (int y = 0; y < t.h; ++y)
        for (int x = 0; x < t.w; ++x)
            t.bits[static_cast<size_t>(y) * t.w + x] = ink.at(x0 + x, y0 + y);
    ink = t;
}

void blit(Glyph &g, const Ink &ink, int x0, int y0)
{
    for (int y = 0; y < ink.h; ++y)
        for (int x = 0; x < ink.w; ++x)
            if (ink.at(x, y))
                g.set(x0 + x, y0 + y);
}

// A letter of the basic font: placed where the font puts it, then moved
// inside its cell if it pokes out (the cell is the table width; narrow
// targets drop its last column, so ink prefers to stay left of that).
Glyph letter(FT_Face face, int code, int width)
{
    Glyph g;
    Ink ink;
    if (!render(face, static_cast<uint32_t>(code), true, ink))
        return g;
    trim(ink);
    if (ink.w == 0)
        return g;
    // Centre the font's advance box in the table width (they are equal for
    // Liberation Sans at 21 pixels, so this keeps the font's own bearings).
    int x = ink.left + (width - ink.advance) / 2;
    int room = width - 1;  // keep the last column free where the glyph allows
    if (ink.w > room)
        room = width;
    if (x + ink.w > room)
        x = room - ink.w;
    if (x < 0)
        x = 0;
    int y = kBaseline - ink.top;
    if (y < 0)
        y = 0;
    if (y + ink.h > kHeight)
        y = kHeight - ink.h;
    blit(g, ink, x, y);
    return g;
}

// A symbol from the symbol font: the largest size whose ink fits in the
// cell, less a column on the left and two on the right (narrow targets drop
// the last one), and in 16 rows, centred on the middle of the capitals.
Glyph symbol(FT_Face face, uint32_t cp, int width, int *size_used)
{
    Glyph g;
    Ink best;
    *size_used = 0;
    for (int px = 30; px >= 8; --px) {
        FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(px));
        Ink ink;
        if (!render(face, cp, false, ink))
            break;
        trim(ink);
        if (ink.w <= width - 3 && ink.h <= 16) {
            best = ink;
            *size_used = px;
            break;
        }
    }
    if (best.w == 0)
        return g;
    int x = 1 + (width - 3 - best.w) / 2;
    int y = kSymbolMid - best.h / 2;
    blit(g, best, x, y);
    return g;
}

Glyph drawn(Drawn kind, int width)
{
    Glyph g;
    switch (kind) {
    case SIGNAL0: case SIGNAL1: case SIGNAL2: case SIGNAL3: case SIGNAL4: {
        // Four rising bars; the unlit ones as outlines so the level reads.
        int lit = kind - SIGNAL0;
        for (int i = 0; i < 4; ++i) {
            int x0 = 2 + i * 5, x1 = x0 + 3;
            int y0 = 18 - (i + 1) * 3 - 1, y1 = 19;
            if (i < lit) {
                g.fill(x0, y0, x1, y1);
            } else {
                g.fill(x0, y0, x1, y0);
                g.fill(x0, y1, x1, y1);
                g.fill(x0, y0, x0, y1);
                g.fill(x1, y0, x1, y1);
            }
        }
        break;
    }
    case PAUSE:
        g.fill(width / 2 - 6, 5, width / 2 - 3, 19);
        g.fill(width / 2 + 2, 5, width / 2 + 5, 19);
        break;
    case SHADE25: case SHADE50: case SHADE75: case FULL_BLOCK:
        // Whole cell, so neighbours join into bars.
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < width; ++x) {
                bool on = kind == FULL_BLOCK
                       || (kind == SHADE50 && ((x + y) & 1) == 0)
                       || (kind == SHADE25 && (x & 1) == 0 && (y & 1) == 0)
                       || (kind == SHADE75 && !((x & 1) == 1 && (y & 1) == 1));
                if (on)
                    g.set(x, y);
            }
        break;
    case POWER: {
        // A ring open at the top with a bar through the gap.
        const int cx2 = width - 2, cy2 = 25;  // centre doubled: (width-2)/2, 12.5
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < width; ++x) {
                int dx = 2 * x + 1 - cx2, dy = 2 * y + 1 - cy2;
                int d2 = dx * dx + dy * dy;
                bool ring = d2 >= 13 * 13 && d2 <= 17 * 17;
                bool gap = dy < 0 && dx > -9 && dx < 9;
                if (ring && !gap)
                    g.set(x, y);
            }
        g.fill((width - 2) / 2 - 1, 3, (width - 2) / 2, 12);
        break;
    }
    case FROM_FONT:
        break;
    }
    return g;
}

// The DEL code has no letter: a hollow box as a visible stand-in.
Glyph del_box(int width)
{
    Glyph g;
    g.fill(2, 5, width - 4, 5);
    g.fill(2, 18, width - 4, 18);
    g.fill(2, 5, 2, 18);
    g.fill(width - 4, 5, width - 4, 18);
    return g;
}

void put16(std::vector<uint8_t> &img, size_t at, unsigned v)
{
    img[at] = static_cast<uint8_t>(v);
    img[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(std::vector<uint8_t> &img, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        img[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Writes one font payload at `at`; returns its length.
size_t put_font(std::vector<uint8_t> &img, size_t at, int first, const uint8_t *widths,
                const std::vector<Glyph> &glyphs, uint8_t attrA)
{
    const int count = static_cast<int>(glyphs.size());
    const int pad = (4 - (40 + count) % 4) % 4;
    const size_t length = 40 + count + pad + static_cast<size_t>(count) * kHeight * 4;
    put16(img, at + 0, *std::max_element(widths, widths + count));
    put16(img, at + 2, kHeight);
    put16(img, at + 4, first);
    put16(img, at + 6, first + count - 1);
    put16(img, at + 8, count);
    img[at + 10] = attrA;
    img[at + 11] = static_cast<uint8_t>(pad);
    memcpy(&img[at + 12], "Arial", 5);
    img[at + 32] = 16;
    img[at + 33] = 0;
    img[at + 34] = 1;
    put32(img, at + 36, static_cast<uint32_t>(length));
    memcpy(&img[at + 40], widths, count);
    size_t bits = at + 40 + count + pad;
    for (int i = 0; i < count; ++i)
        for (int r = 0; r < kHeight; ++r)
            put32(img, bits + (static_cast<size_t>(i) * kHeight + r) * 4, glyphs[i].rows[r]);
    return length;
}

std::string printable(int code)
{
    if (code == '\\')
        return "'\\\\'";
    if (code > 32 && code < 127)
        return std::string("'") + static_cast<char>(code) + "'";
    if (code == 32)
        return "space";
    return "DEL";
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s TEXT_FONT.ttf SYMBOL_FONT.ttf OUT.cpp\n", argv[0]);
        return 2;
    }
    FT_Library lib;
    FT_Face text, sym;
    if (FT_Init_FreeType(&lib) != 0 || FT_New_Face(lib, argv[1], 0, &text) != 0
        || FT_New_Face(lib, argv[2], 0, &sym) != 0) {
        fprintf(stderr, "fontgen: cannot open %s or %s\n", argv[1], argv[2]);
        return 1;
    }
    FT_Set_Pixel_Sizes(text, 0, kTextPixels);

    std::vector<Glyph> basic(96), ext(48);
    for (int i = 0; i < 96; ++i)
        basic[i] = i + 32 == 127 ? del_box(kBasicWidths[i]) : letter(text, i + 32, kBasicWidths[i]);
    std::vector<int> sizes(48, 0);
    for (int i = 0; i < 48; ++i) {
        const Symbol &s = kSymbols[i];
        if (s.drawn == FROM_FONT) {
            ext[i] = symbol(sym, s.codepoint, kExtWidths[i], &sizes[i]);
            if (sizes[i] == 0) {
                fprintf(stderr, "fontgen: %s has no U+%04X\n", argv[2], s.codepoint);
                return 1;
            }
        } else {
            ext[i] = drawn(s.drawn, kExtWidths[i]);
        }
    }

    // Header, two font blocks, one trailing zero byte.
    const size_t image_length = 14100;
    std::vector<uint8_t> img(image_length + 1, 0);
    memcpy(&img[0], "SYS", 4);
    put32(img, 4, 0);
    put32(img, 8, 20);
    put32(img, 12, 2);
    put32(img, 16, image_length);
    size_t block0 = 20;
    size_t len0 = put_font(img, block0 + 16, 32, kBasicWidths, basic, 0);
    size_t block1 = block0 + 16 + len0;
    size_t len1 = put_font(img, block1 + 16, 128, kExtWidths, ext, 1);
    if (block1 + 16 + len1 != image_length) {
        fprintf(stderr, "fontgen: image is %zu bytes, not %zu\n", block1 + 16 + len1, image_length);
        return 1;
    }
    memcpy(&img[block0], "FNT", 4);
    put32(img, block0 + 4, static_cast<uint32_t>(block1));
    put32(img, block0 + 8, 1);
    put32(img, block0 + 12, 16);
    memcpy(&img[block1], "FNT", 4);
    put32(img, block1 + 4, static_cast<uint32_t>(image_length));
    put32(img, block1 + 8, 1);
    put32(img, block1 + 12, 16);

    FILE *out = fopen(argv[3], "w");
    if (!out) {
        perror(argv[3]);
        return 1;
    }
    fprintf(out, "// The built-in font resource image. Generated by tools/fontgen/make.sh;\n"
                 "// do not edit. Letters from Liberation Sans at %d pixels, symbols from\n"
                 "// DejaVu Sans or drawn by the generator (tools/fontgen/README.md).\n"
                 "#include \"gfx/font.h\"\n\n"
                 "alignas(4) const unsigned char BMF_acResource[BMF_RESOURCE_SIZE] = {\n",
            kTextPixels);
    // Byte ranges annotated so a reader can find a glyph.
    auto dump = [&](size_t from, size_t to) {
        for (size_t i = from; i < to; i += 16) {
            fprintf(out, "   ");
            for (size_t j = i; j < std::min(to, i + 16); ++j)
                fprintf(out, " 0x%02x,", img[j]);
            fprintf(out, "\n");
        }
    };
    fprintf(out, "    // image header\n");
    dump(0, 20);
    const struct {
        size_t block, length;
        int first, count;
        const char *name;
    } fonts[2] = {{block0, len0, 32, 96, "basic font SYS_FNT_0"}, {block1, len1, 128, 48, "extended font SYS_FNT_1"}};
    for (const auto &f : fonts) {
        size_t payload = f.block + 16;
        size_t bits = payload + 40 + f.count + (4 - (40 + f.count) % 4) % 4;
        fprintf(out, "    // block header, %s\n", f.name);
        dump(f.block, payload);
        fprintf(out, "    // font header and width table\n");
        dump(payload, bits);
        for (int i = 0; i < f.count; ++i) {
            int code = f.first + i;
            if (f.first == 32)
                fprintf(out, "    // %d %s\n", code, printable(code).c_str());
            else
                fprintf(out, "    // %d 0x%02X %s\n", code, code, kSymbols[i].name);
            size_t g = bits + static_cast<size_t>(i) * kHeight * 4;
            dump(g, g + kHeight * 4);
        }
    }
    fprintf(out, "    // end of image\n");
    dump(image_length, image_length + 1);
    fprintf(out, "};\n");
    if (fclose(out) != 0) {
        perror(argv[3]);
        return 1;
    }
    for (int i = 0; i < 48; ++i)
        if (sizes[i])
            printf("0x%02X U+%04X %-22s %2d px\n", 128 + i, kSymbols[i].codepoint, kSymbols[i].name, sizes[i]);
    return 0;
}
