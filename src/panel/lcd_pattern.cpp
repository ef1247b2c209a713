// The front-panel colour test pattern: colour bars, reverse bars, a grey band
// and a blue and a red ramp, with a key name over it. The button test shows
// it for every front key, so one look tells whether the panel's pixels, its
// colours and the key work.
#include "panel/lcd.h"

#include "platform/os.h"

#include <cstring>
#include <fcntl.h>
#include <new>
#include <unistd.h>

namespace {

// RGB565 colours of the pattern.
constexpr uint16_t kWhite = 0xFFFF;
constexpr uint16_t kYellow = 0xFFE0;
constexpr uint16_t kCyan = 0x07FF;
constexpr uint16_t kGreen = 0x07E0;
constexpr uint16_t kMagenta = 0xF81F;
constexpr uint16_t kRed = 0xF800;
constexpr uint16_t kBlue = 0x001F;
constexpr uint16_t kBlack = 0x0000;
constexpr uint16_t kLightGrey = 0xEF7D;

constexpr uint16_t kColourBars[7] = {kWhite, kYellow, kCyan, kGreen, kMagenta, kRed, kBlue};
constexpr uint16_t kReverseBars[7] = {kBlue, kBlack, kMagenta, kBlack, kCyan, kBlack, kWhite};

// One byte of an 8-bit channel from a 5- or 6-bit one, the top bits
// repeated below so that full scale stays full scale.
inline uint8_t widen5(unsigned v) { return static_cast<uint8_t>((v << 3) | (v >> 2)); }
inline uint8_t widen6(unsigned v) { return static_cast<uint8_t>((v << 2) | (v >> 4)); }

} // namespace

// Which of the pattern's horizontal bands a row lies in, top to bottom: the
// colour bars, the reverse bars, grey, the blue ramp, the red ramp. Rows of a
// band are drawn alike.
static int lcd_pattern_band(int yres, int y)
{
    const int64_t Y = yres;
    return (y >= 2 * Y / 3) + (y >= 3 * Y / 4) + (y >= 18 * Y / 20) + (y >= 19 * Y / 20);
}

uint16_t lcd_pattern_pixel(int xres, int yres, int x, int y)
{
    int64_t X = xres;
    if (X <= 0 || yres <= 0)
        return kBlack;
    const int band = lcd_pattern_band(yres, y);
    if (band <= 1) {
        // Seven bars, cut at X/7, 2X/7, ... 6X/7.
        int bar = 0;
        while (bar < 6 && x >= (bar + 1) * X / 7)
            ++bar;
        return band == 0 ? kColourBars[bar] : kReverseBars[bar];
    }
    if (band == 2)
        return kLightGrey;
    // The ramps run from level 127 at the left edge to about 254 at the right.
    uint8_t level = static_cast<uint8_t>((255 * (X / 2 + x / 2)) / X);
    if (band == 3)
        return static_cast<uint16_t>(level / 8);
    return static_cast<uint16_t>((level & 0xF8) * 256);
}

void lcd_pattern(const char *name)
{
    LcdFrame f;
    if (lcd_frame_begin(&f) != 0)
        return;
    const int xres = f.xres, yres = f.yres;
    uint8_t *const frame = f.frame;

    // The pattern and its text are built as 16-bit pixels whatever the panel
    // takes, then converted into the panel's own format.
    size_t pixels = static_cast<size_t>(xres) * static_cast<size_t>(yres);
    uint8_t *pattern = f.bpp == 16 ? frame : new (std::nothrow) uint8_t[pixels * 2]();
    if (!pattern) {
        lcd_frame_abort(&f);
        return;
    }

    // The pattern is made of horizontal bands whose rows are all alike: the
    // first row of a band is worked out pixel by pixel and the others are
    // copies of it (the button test draws the pattern on every key press).
    const size_t row_bytes = static_cast<size_t>(xres) * 2;
    int band_of_last_row = -1;
    for (int y = 0; y < yres; ++y) {
        uint8_t *row = pattern + static_cast<size_t>(y) * row_bytes;
        const int band = lcd_pattern_band(yres, y);
        if (band == band_of_last_row) {
            memcpy(row, row - row_bytes, row_bytes);
            continue;
        }
        band_of_last_row = band;
        for (int x = 0; x < xres; ++x) {
            uint16_t v = lcd_pattern_pixel(xres, yres, x, y);
            row[static_cast<size_t>(x) * 2] = static_cast<uint8_t>(v >> 8);
            row[static_cast<size_t>(x) * 2 + 1] = static_cast<uint8_t>(v);
        }
    }
    if (name)
        lcd_load_text(pattern, xres, yres, 16, name);

    if (f.bpp == 24) {
        for (size_t i = 0; i < pixels; ++i) {
            unsigned v = (static_cast<unsigned>(pattern[i * 2]) << 8) | pattern[i * 2 + 1];
            frame[i * 3] = widen5(v >> 11);
            frame[i * 3 + 1] = widen6((v >> 5) & 0x3F);
            frame[i * 3 + 2] = widen5(v & 0x1F);
        }
    }
    // A panel of any other depth gets a black frame of its own length: its
    // pixel format is not known here.

    if (pattern != frame)
        delete[] pattern;
    lcd_frame_end(&f);
}
