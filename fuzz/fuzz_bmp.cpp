// BMP files of random bytes through the header reader, the pixel-row check
// (24 and 32 bits, colour masks in headers of 40 to 124 bytes, 4- and 8-bit
// colour tables), every pixel of the first and last rows, the TV picture
// (fb_bmp, anywhere on and off the screen) and the LCD picture on panels of
// every geometry the boxes have, plus a few odd ones.
#include "fuzz_box.h"

#include "gfx/bmp.h"
#include "gfx/fb.h"
#include "panel/lcd.h"

#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

namespace {

struct Panel {
    int xres, yres, bpp;
};
// The two panel widths at both depths, and panels no box has.
constexpr Panel kPanels[] = {{220, 176, 16}, {400, 240, 16}, {220, 176, 24}, {400, 240, 24},
                             {1, 1, 16},     {1, 1, 24},     {3, 2, 32},     {5, 7, 8}};

constexpr const char *kPicture = "/root/bmp/fuzz.bmp";

int16_t le16s(const uint8_t *p) { return static_cast<int16_t>(p[0] | (p[1] << 8)); }

} // namespace

// The box with the narrow panel: its frames stay below the size at which the
// sanitizer's allocator maps fresh pages for every frame.
constexpr const char *kProfile = "tetra";

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzbox::box(kProfile);
    fb_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzbox::next_input();
    boxsim::Box &box = fuzzbox::box(kProfile);

    // The header reader is given exactly the 54 bytes it may read.
    if (size >= kBmpHeaderSize) {
        std::vector<unsigned char> head(data, data + kBmpHeaderSize);
        BmpHeader h{};
        int r = bmp_getinfo(head.data(), &h);
        FUZZ_CHECK(r == ((data[0] == 'B' && data[1] == 'M') ? 0 : -1));
    }

    // A heap copy of exactly the file's length, so a read past it is seen.
    std::vector<unsigned char> file(data, data + size);
    BmpPixels px{};
    if (bmp_pixels(file.data(), file.size(), nullptr, &px) == 0) {
        FUZZ_CHECK(px.width > 0 && px.height > 0);
        FUZZ_CHECK(px.stride % 4 == 0);
        FUZZ_CHECK(px.data >= file.data());
        size_t end = static_cast<size_t>(px.data - file.data()) + px.stride * static_cast<size_t>(px.height);
        FUZZ_CHECK(end <= file.size());
        FUZZ_CHECK(px.bits_per_pixel == 4 || px.bits_per_pixel == 8 || px.bits_per_pixel == 16 ||
                   px.bits_per_pixel == 24 || px.bits_per_pixel == 32);
        FUZZ_CHECK(static_cast<uint64_t>(px.width) * static_cast<unsigned>(px.bits_per_pixel) <= px.stride * 8u);
        if (px.palette) {
            // The colour table lies in the file, before the pixels.
            FUZZ_CHECK(px.palette_entries >= 1 && px.palette_entries <= (1u << px.bits_per_pixel));
            FUZZ_CHECK(px.palette >= file.data() + kBmpHeaderSize);
            FUZZ_CHECK(px.palette + 4 * static_cast<size_t>(px.palette_entries) <= px.data);
        }
        if (px.masked)
            for (int c = 0; c < 4; ++c)
                FUZZ_CHECK(px.shift[c] + px.bits[c] <= px.bits_per_pixel);
        // Every pixel of the first and the last row, whatever the form.
        uint32_t opaque = 0xFF000000u;
        for (int row : {0, px.height - 1})
            for (int col = 0; col < px.width; ++col) {
                uint32_t c = bmp_colour(px, bmp_row(px, row), col);
                if (!px.masked || px.bits[3] == 0)
                    FUZZ_CHECK((c & opaque) == opaque);
            }
    }

    // Frames of exactly the panel's size, made once: fresh large blocks for
    // every input would cost more than the conversion itself.
    static std::vector<std::vector<uint8_t>> frames = [] {
        std::vector<std::vector<uint8_t>> f;
        for (const Panel &p : kPanels)
            f.emplace_back(static_cast<size_t>(p.xres) * p.yres * p.bpp / 8);
        return f;
    }();
    for (size_t i = 0; i < std::size(kPanels); ++i) {
        const Panel &p = kPanels[i];
        lcd_load_bmp(frames[i].data(), p.xres, p.yres, p.bpp, file.data(), file.size());
    }

    // Through the files of the box: the TV at a place taken from the two
    // reserved header words (unused by any reader), and the box's own panel.
    box.add_file(kPicture, std::string(reinterpret_cast<const char *>(data), size));
    int x = size >= 8 ? le16s(data + 6) % 1500 : 0;
    int y = size >= 10 ? le16s(data + 8) % 900 : 0;
    fb_bmp(kPicture, x, y);
    lcd_bmp(kPicture);
    return 0;
}
