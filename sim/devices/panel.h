// The simulated front panel: the graphic LCD (/dev/lcd0 and its geometry
// files), the text display (/dev/mcu), the two LEDs and the key pictures
// under /root/bmp/.
//
// Profile key:
//   "lcd": {"xres": 400, "yres": 240, "bpp": 16}    the panel's geometry;
//           a profile without it has no LCD, no geometry files and no pictures
//   "leds": [0, 0]                                 initial LED pattern values
//
// The LCD takes whole frames only (one write of xres x yres x bpp / 8 bytes,
// the geometry as its files read at that moment); a write of any other
// length is refused with EINVAL and recorded in the trace as a bad frame.
// The last frame is the picture "lcd" (RGB565 high byte first, or 24-bit
// red, green, blue). The text display keeps what was last written to it
// (one text per write, the line end taken off) and every text before it.
#pragma once

#include "core/image.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace boxsim {

class Box;

// The last frame the LCD took, with the geometry it was taken at.
struct LcdFrame {
    int xres = 0;
    int yres = 0;
    int bpp = 0;
    std::vector<uint8_t> bytes;
    uint64_t number = 0;  // 1 for the first frame
    uint64_t hash = 0;    // frame_hash of the bytes, as the trace shows it
};

std::optional<LcdFrame> lcd_frame(Box &box);
uint64_t lcd_frame_count(Box &box);
uint64_t lcd_bad_frame_count(Box &box);
// Decodes a frame into a picture a person can look at.
Image lcd_decode(const LcdFrame &frame);

// The text display: its current text and every text written, oldest first.
std::string display_text(Box &box);
std::vector<std::string> display_history(Box &box);

// The LEDs: current pattern values, and every value written in order.
struct LedWrite {
    int led = 0;
    int value = 0;
    bool operator==(const LedWrite &) const = default;
};
std::array<int, 2> led_values(Box &box);
std::vector<LedWrite> led_history(Box &box);

// The LCD frame hash of the trace (hash_bytes of the frame).
uint64_t frame_hash(const uint8_t *data, size_t len);

// --- Key pictures (panel_pictures.cpp)

// A 24-bit BMP file of the picture, rows bottom-up and padded to 4 bytes.
std::string encode_bmp24(const Image &img);
// The picture for one key word ("up", "left", "right", "down", "splash",
// "menu", "exit", "enter") on a panel of this size: a drawing of the key
// and its name, white and yellow on dark blue.
Image key_picture(const std::string &key, int width, int height);
// The key words of the picture set, in the order of the file names.
const std::vector<std::string> &key_picture_names();

} // namespace boxsim
