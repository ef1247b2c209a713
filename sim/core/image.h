// Pictures of what a person would see (the presented TV frame, the LCD), as
// plain 0xAARRGGBB pixels, and writing them as PNG files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace boxsim {

class Box;

struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> argb;  // row by row, top row first, 0xAARRGGBB
    uint32_t at(int x, int y) const { return argb[static_cast<size_t>(y) * width + x]; }
};

// Writes the picture as an 8-bit RGBA PNG (alpha dropped when `opaque`: a TV
// shows no transparency, so transparent black is black). False on failure or
// where the build has no PNG library.
bool write_png(const Image &img, const std::string &path, bool opaque = true);
// The same, into memory (for the web front panel).
bool encode_png(const Image &img, std::vector<unsigned char> &out, bool opaque = true);
// Reads a PNG file of any colour type and depth as opaque or transparent
// 0xAARRGGBB pixels. nullopt with `err` set for a file that cannot be read,
// is no PNG, is damaged or larger than 8192 x 8192 pixels.
std::optional<Image> read_png(const std::string &path, std::string &err);

// A 64-bit hash of bytes, seeded: equal bytes, equal hashes. The trace
// names presented TV and LCD frames by such hashes, never by their bytes.
uint64_t hash_bytes(const unsigned char *p, size_t n, uint64_t seed = 0);
// Whether n bytes at a and b are equal: how the framebuffer and the LCD tell
// a frame that changed nothing from one to copy and hash.
bool same_bytes(const unsigned char *a, const unsigned char *b, size_t n);

// Device models name the pictures they can show ("tv", "lcd"); the tool and
// tests ask for them by name. A provider returns nullopt when it has nothing
// to show yet.
// A provider may also tell, without making the picture, a stamp that stays
// the same while the picture does (a hash of the frame it is made from), so
// that one who looks often can skip a picture it has already seen; nullopt
// when it cannot tell.
using PictureSource = std::function<std::optional<Image>(Box &)>;
using PictureStamp = std::function<std::optional<uint64_t>(Box &)>;
void register_picture(const std::string &name, PictureSource source, PictureStamp stamp = {});
std::optional<Image> picture(Box &box, const std::string &name);
std::optional<uint64_t> picture_stamp(Box &box, const std::string &name);
std::vector<std::string> picture_names();

} // namespace boxsim
