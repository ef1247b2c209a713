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
    int bits_per_pixel;         // 4 or 8 (palette), 16 or 32 (colour masks), 24 or 32 (blue, green, red)
    size_t stride;              // bytes per stored row, a multiple of 4
    bool top_down;              // rows stored top row first (negative height)
    const unsigned char *data;  // first stored row
    // Pixels of 16 or 32 bits read through colour masks: red, green, blue,
    // alpha; each channel's lowest bit and its width in bits (0: none).
    bool masked;
    uint8_t shift[4];
    uint8_t bits[4];
    // Palette pictures: the colour table (blue, green, red, unused per
    // entry) and the entries of it that lie in the file, at least 1.
    const unsigned char *palette;
    unsigned palette_entries;
};

// Checks that `data` (len bytes) is an uncompressed BMP whose rows all lie
// inside the bytes, and describes them in `px`: 24 bits, 32 bits (blue,
// green, red, unused), 16 or 32 bits with colour masks (from the header or,
// after a 40-byte header, the three words that follow it; each mask a run of
// adjacent bits), or 4 or 8 bits with a colour table of at least one entry
// between the header and the pixel data. Returns 0, or -1 for anything else
// (short file, run-length or other compression, zero or absurd size, pixel
// data past the end); `hdr`, when given, receives the header whenever it
// starts with "BM".
int bmp_pixels(const unsigned char *data, size_t len, BmpHeader *hdr, BmpPixels *px);

// Start of picture row `row` (0 = top row) of a checked picture.
inline const unsigned char *bmp_row(const BmpPixels &px, int row)
{
    int stored = px.top_down ? row : px.height - 1 - row;
    return px.data + static_cast<size_t>(stored) * px.stride;
}

// The colour of pixel `col` (0 to width - 1) of a row from bmp_row, as
// 0xAARRGGBB: alpha from the file's alpha mask where it has one, else 0xFF.
// A palette index beyond the colour table is opaque black.
uint32_t bmp_colour(const BmpPixels &px, const unsigned char *row, int col);

// Draws the picture in the file at `path` (any form bmp_pixels accepts)
// with its top-left corner at screen pixel (x, y), cropped at the screen
// edges; every pixel opaque but those of a file with an alpha mask, which
// keep the file's alpha. Anything else, or a file that cannot be read whole,
// draws nothing. The caller presents the frame with fb_blit.
void fb_bmp(const char *path, int x, int y);
