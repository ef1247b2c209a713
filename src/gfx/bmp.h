// Windows BMP pictures: the header reader shared by the TV and the front-panel
// LCD, and drawing a picture file into the TV framebuffer.
#pragma once

#include <cstddef>
#include <cstdint>

// The file header and the 40-byte info header, field by field as they stand
// in the file (54 bytes, little-endian). Filled byte by byte by bmp_getinfo,
// so the file bytes may lie at any alignment.
struct BmpHeader {
    uint16_t type;          // "BM"
    uint32_t file_size;
    uint16_t reserved1;
    uint16_t reserved2;
    uint32_t data_offset;   // pixel data, from the start of the file
    uint32_t header_size;   // info header size
    int32_t width;          // pixels
    int32_t height;         // pixels; positive: rows stored bottom-up
    uint16_t planes;
    uint16_t bits_per_pixel;
    uint32_t compression;
    uint32_t image_size;
    int32_t x_resolution;
    int32_t y_resolution;
    uint32_t colours_used;
    uint32_t colours_important;
};

// Size of the two headers in a file.
constexpr size_t kBmpHeaderSize = 54;

// Fills `hdr` from the first 54 bytes of `data`. Returns 0, or -1 when the
// bytes do not start with "BM" (then `hdr` is untouched). The caller holds at
// least 54 bytes; nothing else of the header is checked here.
int bmp_getinfo(const unsigned char *data, BmpHeader *hdr);

// The pixel rows of a BMP file, checked against the file's length.
struct BmpPixels {
    int width;                  // pixels, > 0
    int height;                 // rows, > 0 (top-down files included)
    int bytes_per_pixel;        // 3 (blue, green, red) or 4 (blue, green, red, unused)
    size_t stride;              // bytes per stored row, a multiple of 4
    bool top_down;              // rows stored top row first (negative height)
    const unsigned char *data;  // first stored row
};

// Checks that `data` (len bytes) is an uncompressed 24- or 32-bit BMP whose
// rows all lie inside the bytes, and describes them in `px`. Returns 0, or -1
// for anything else (short file, palette or compressed picture, zero or
// absurd size, pixel data past the end); `hdr`, when given, receives the
// header whenever it starts with "BM".
int bmp_pixels(const unsigned char *data, size_t len, BmpHeader *hdr, BmpPixels *px);

// Start of picture row `row` (0 = top row) of a checked picture.
inline const unsigned char *bmp_row(const BmpPixels &px, int row)
{
    int stored = px.top_down ? row : px.height - 1 - row;
    return px.data + static_cast<size_t>(stored) * px.stride;
}

// Draws the 24- or 32-bit uncompressed picture in the file at `path` with its
// top-left corner at screen pixel (x, y), cropped at the screen edges, every
// pixel opaque. Anything else, or a file that cannot be read whole, draws
// nothing. The caller presents the frame with fb_blit.
void fb_bmp(const char *path, int x, int y);
