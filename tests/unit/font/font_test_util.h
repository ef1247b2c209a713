// Pixel surfaces in memory for the font tests: exactly the bytes a surface
// of the given size holds, so AddressSanitizer sees any write past it.
#pragma once

#include "gfx/font.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace fonttest {

struct Surface {
    int w, h, bits;
    std::vector<uint8_t> bytes;

    Surface(int width, int height, int bits_per_pixel, uint32_t fill = 0)
        : w(width), h(height), bits(bits_per_pixel),
          bytes(static_cast<size_t>(width) * height * bits_per_pixel / 8)
    {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                set(x, y, fill);
    }
    int bpp() const { return bits / 8; }
    uint32_t at(int x, int y) const
    {
        const uint8_t *p = &bytes[(static_cast<size_t>(y) * w + x) * bpp()];
        uint32_t v = 0;
        for (int i = bpp() - 1; i >= 0; --i)
            v = v << 8 | p[i];
        return v;
    }
    void set(int x, int y, uint32_t v)
    {
        uint8_t *p = &bytes[(static_cast<size_t>(y) * w + x) * bpp()];
        for (int i = 0; i < bpp(); ++i)
            p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
    int draw(int x, int y, int bw, int bh, const char *text, int align, uint32_t fg, uint32_t bg)
    {
        return BMF_DrawText(bytes.data(), w, h, bits, x, y, bw, bh, text, align, fg, bg);
    }
    // Makes this the engine's target without drawing (for BMF_FormalPlotText).
    void target() { draw(0, 0, 0, 0, "", 99, 0, 0); }
};

struct Rect {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // x1, y1 exclusive; empty when x1 == x0
    int width() const { return x1 - x0; }
    int height() const { return y1 - y0; }
};

// The bounding box of the pixels that differ from `plain`.
inline Rect changed(const Surface &s, uint32_t plain)
{
    Rect r{s.w, s.h, 0, 0};
    for (int y = 0; y < s.h; ++y)
        for (int x = 0; x < s.w; ++x)
            if (s.at(x, y) != plain) {
                r.x0 = std::min(r.x0, x);
                r.y0 = std::min(r.y0, y);
                r.x1 = std::max(r.x1, x + 1);
                r.y1 = std::max(r.y1, y + 1);
            }
    if (r.x1 == 0)
        r = Rect{};
    return r;
}

// Bit c of glyph row r of the glyph drawn for the byte `code`.
inline bool glyph_bit(unsigned char code, int r, int c)
{
    uint32_t width;
    const uint8_t *glyph;
    GetCharDetails(gResHdle, &code, 1, &width, &glyph);
    const uint8_t *row = glyph + r * 4;
    const uint32_t word = row[0] | row[1] << 8 | row[2] << 16 | static_cast<uint32_t>(row[3]) << 24;
    return (word >> (31 - c)) & 1;
}

} // namespace fonttest
