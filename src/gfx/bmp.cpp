// BMP pictures: header reader and drawing into the TV framebuffer.
#include "gfx/bmp.h"

#include "gfx/fb.h"
#include "platform/os.h"

#include <fcntl.h>
#include <new>
#include <unistd.h>

namespace {

uint16_t le16(const unsigned char *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t le32(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

int32_t le32s(const unsigned char *p) { return static_cast<int32_t>(le32(p)); }

constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiBitfields = 3;

// Where the colour masks stand: red, green, blue from offset 54, either in
// an info header of 52 bytes or more, or after a 40-byte one; alpha from
// offset 66 in a header of 56 bytes or more.
constexpr size_t kMaskOffset = 54;
constexpr uint32_t kHeaderWithAlphaMask = 56;

// The masks of 16-bit files without their own: five bits per colour.
constexpr uint32_t kMasks555[4] = {0x7C00, 0x03E0, 0x001F, 0};

// Lowest bit and width of a mask of adjacent bits; false for a mask with a
// gap, or one wider than a pixel.
bool mask_run(uint32_t mask, int pixel_bits, uint8_t *shift, uint8_t *bits)
{
    *shift = 0;
    *bits = 0;
    if (mask == 0)
        return true;
    if (pixel_bits < 32 && (mask >> pixel_bits) != 0)
        return false;
    uint8_t low = 0;
    while (!((mask >> low) & 1u))
        ++low;
    uint64_t run = static_cast<uint64_t>(mask) >> low;
    if ((run & (run + 1)) != 0)
        return false;
    uint8_t width = 0;
    while (run) {
        ++width;
        run >>= 1;
    }
    *shift = low;
    *bits = width;
    return true;
}

// One channel of a masked pixel, scaled to 0..255.
inline uint32_t channel(uint32_t pixel, uint8_t shift, uint8_t bits)
{
    if (bits == 0)
        return 0;  // a channel the file does not store
    uint32_t max = bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1u;
    uint32_t v = (pixel >> shift) & max;
    if (bits >= 8)
        return v >> (bits - 8);
    return static_cast<uint32_t>((static_cast<uint64_t>(v) * 255u + max / 2) / max);
}

// Largest picture side accepted; far beyond any screen or LCD, small enough
// that row and size arithmetic cannot overflow.
constexpr int64_t kMaxSide = 32768;

// Largest file read for drawing: a full-screen 32-bit picture is under 4 MB;
// anything much bigger is not a picture for this screen and would only
// strain the box's memory.
constexpr off_t kMaxFile = 64 * 1024 * 1024;

} // namespace

int bmp_getinfo(const unsigned char *data, BmpHeader *hdr)
{
    if (data[0] != 'B' || data[1] != 'M')
        return -1;
    hdr->type = le16(data + 0);
    hdr->file_size = le32(data + 2);
    hdr->reserved1 = le16(data + 6);
    hdr->reserved2 = le16(data + 8);
    hdr->data_offset = le32(data + 10);
    hdr->header_size = le32(data + 14);
    hdr->width = le32s(data + 18);
    hdr->height = le32s(data + 22);
    hdr->planes = le16(data + 26);
    hdr->bits_per_pixel = le16(data + 28);
    hdr->compression = le32(data + 30);
    hdr->image_size = le32(data + 34);
    hdr->x_resolution = le32s(data + 38);
    hdr->y_resolution = le32s(data + 42);
    hdr->colours_used = le32(data + 46);
    hdr->colours_important = le32(data + 50);
    return 0;
}

int bmp_pixels(const unsigned char *data, size_t len, BmpHeader *hdr, BmpPixels *px)
{
    if (!data || len < kBmpHeaderSize)
        return -1;
    BmpHeader h;
    if (bmp_getinfo(data, &h) != 0)
        return -1;
    if (hdr)
        *hdr = h;

    // Only the 40-byte header and its later extensions put width and
    // height where they were read from.
    if (h.header_size < 40)
        return -1;
    const int bpp = h.bits_per_pixel;
    bool palette = false, masked = false;
    if (h.compression == kBiRgb) {
        if (bpp == 4 || bpp == 8)
            palette = true;
        else if (bpp == 16)
            masked = true;
        else if (bpp != 24 && bpp != 32)
            return -1;  // one bit per pixel and odd depths are not drawn
    } else if (h.compression == kBiBitfields && (bpp == 16 || bpp == 32)) {
        masked = true;
    } else {
        return -1;  // run-length, embedded JPEG or PNG and the like
    }

    int64_t w = h.width;
    int64_t rows = h.height < 0 ? -static_cast<int64_t>(h.height) : h.height;
    if (w <= 0 || rows <= 0 || w > kMaxSide || rows > kMaxSide)
        return -1;

    uint64_t row_stride = ((static_cast<uint64_t>(w) * bpp + 31) / 32) * 4;
    // Every stored row lies inside the file: nothing is read past its end.
    if (h.data_offset < kBmpHeaderSize || h.data_offset > len)
        return -1;
    if (row_stride * static_cast<uint64_t>(rows) > len - h.data_offset)
        return -1;

    px->masked = masked;
    px->palette = nullptr;
    px->palette_entries = 0;
    for (int c = 0; c < 4; ++c)
        px->shift[c] = px->bits[c] = 0;
    if (masked) {
        uint32_t masks[4] = {kMasks555[0], kMasks555[1], kMasks555[2], kMasks555[3]};
        if (h.compression == kBiBitfields) {
            size_t words = h.header_size >= kHeaderWithAlphaMask ? 4 : 3;
            if (len < kMaskOffset + 4 * words)
                return -1;
            for (size_t c = 0; c < 4; ++c)
                masks[c] = c < words ? le32(data + kMaskOffset + 4 * c) : 0;
        }
        for (int c = 0; c < 4; ++c)
            if (!mask_run(masks[c], bpp, &px->shift[c], &px->bits[c]))
                return -1;
    } else if (palette) {
        // The colour table follows the info header and ends where the
        // pixels begin; its stated size is the colours used, or one entry
        // per index.
        uint64_t start = 14ull + h.header_size;
        uint64_t end = h.data_offset;
        uint64_t room = end > start ? (end - start) / 4 : 0;
        uint64_t stated = h.colours_used != 0 ? h.colours_used : (1ull << bpp);
        if (stated > (1ull << bpp))
            stated = 1ull << bpp;
        uint64_t entries = stated < room ? stated : room;
        if (entries == 0)
            return -1;  // a palette picture without colours
        px->palette = data + start;
        px->palette_entries = static_cast<unsigned>(entries);
    }

    px->width = static_cast<int>(w);
    px->height = static_cast<int>(rows);
    px->bits_per_pixel = bpp;
    px->stride = static_cast<size_t>(row_stride);
    px->top_down = h.height < 0;
    px->data = data + h.data_offset;
    return 0;
}

uint32_t bmp_colour(const BmpPixels &px, const unsigned char *row, int col)
{
    size_t c = static_cast<size_t>(col);
    if (px.masked) {
        uint32_t v = px.bits_per_pixel == 16 ? le16(row + 2 * c) : le32(row + 4 * c);
        uint32_t a = px.bits[3] ? channel(v, px.shift[3], px.bits[3]) : 0xFFu;
        return (a << 24) | (channel(v, px.shift[0], px.bits[0]) << 16) | (channel(v, px.shift[1], px.bits[1]) << 8) |
               channel(v, px.shift[2], px.bits[2]);
    }
    if (px.palette) {
        unsigned index = px.bits_per_pixel == 8 ? row[c] : (c & 1) ? (row[c / 2] & 0x0F) : (row[c / 2] >> 4);
        if (index >= px.palette_entries)
            return 0xFF000000u;
        const unsigned char *e = px.palette + 4 * static_cast<size_t>(index);
        return 0xFF000000u | (static_cast<uint32_t>(e[2]) << 16) | (static_cast<uint32_t>(e[1]) << 8) | e[0];
    }
    const unsigned char *s = row + c * static_cast<size_t>(px.bits_per_pixel / 8);
    return 0xFF000000u | (static_cast<uint32_t>(s[2]) << 16) | (static_cast<uint32_t>(s[1]) << 8) | s[0];
}

void fb_bmp(const char *path, int x, int y)
{
    int fd = os::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    off_t end = os::lseek(fd, 0, SEEK_END);
    if (end <= 0 || end > kMaxFile || os::lseek(fd, 0, SEEK_SET) != 0) {
        os::close(fd);
        return;
    }
    size_t len = static_cast<size_t>(end);
    unsigned char *bytes = new (std::nothrow) unsigned char[len];
    if (!bytes) {
        os::close(fd);
        return;
    }
    size_t got = 0;
    while (got < len) {
        ssize_t n = os::read(fd, bytes + got, len - got);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }

    BmpPixels px;
    if (got == len && lfb && bmp_pixels(bytes, len, nullptr, &px) == 0) {
        // Crop at the screen and at the end of the mapped memory; lines lie
        // the driver's line length apart, and no word reaches past one.
        const int64_t line_words = fb_line_words();
        int64_t xres = var.xres < line_words ? static_cast<int64_t>(var.xres) : line_words;
        int64_t yres = fb_drawable_rows();
        int64_t x0 = x < 0 ? -static_cast<int64_t>(x) : 0;  // first picture column shown
        int64_t y0 = y < 0 ? -static_cast<int64_t>(y) : 0;  // first picture row shown
        int64_t x1 = px.width;
        int64_t y1 = px.height;
        if (x + x1 > xres)
            x1 = xres - x;
        if (y + y1 > yres)
            y1 = yres - y;
        for (int64_t k = y0; k < y1; ++k) {
            const unsigned char *src = bmp_row(px, static_cast<int>(k));
            uint32_t *line = lfb + (static_cast<int64_t>(var.yoffset) + y + k) * line_words;
            for (int64_t p = x0; p < x1; ++p)
                line[x + p] = bmp_colour(px, src, static_cast<int>(p));
        }
    }
    delete[] bytes;
    os::close(fd);
}
