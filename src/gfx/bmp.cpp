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
    if (h.bits_per_pixel != 24 && h.bits_per_pixel != 32)
        return -1;  // palette pictures and 16-bit pixels are not drawn
    if (h.compression != kBiRgb)
        return -1;  // run-length, colour masks and the like

    int64_t w = h.width;
    int64_t rows = h.height < 0 ? -static_cast<int64_t>(h.height) : h.height;
    if (w <= 0 || rows <= 0 || w > kMaxSide || rows > kMaxSide)
        return -1;

    uint64_t row_stride = ((static_cast<uint64_t>(w) * h.bits_per_pixel + 31) / 32) * 4;
    // Every stored row lies inside the file: nothing is read past its end.
    if (h.data_offset < kBmpHeaderSize || h.data_offset > len)
        return -1;
    if (row_stride * static_cast<uint64_t>(rows) > len - h.data_offset)
        return -1;

    px->width = static_cast<int>(w);
    px->height = static_cast<int>(rows);
    px->bytes_per_pixel = h.bits_per_pixel / 8;
    px->stride = static_cast<size_t>(row_stride);
    px->top_down = h.height < 0;
    px->data = data + h.data_offset;
    return 0;
}

void fb_bmp(const char *path, int x, int y)
{
    int fd = os::open(path, O_RDONLY | O_NONBLOCK);
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
        // Crop at the screen and at the end of the mapped memory.
        int64_t xres = var.xres;
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
            uint32_t *line = lfb + (static_cast<int64_t>(var.yoffset) + y + k) * xres;
            for (int64_t p = x0; p < x1; ++p) {
                const unsigned char *s = src + p * px.bytes_per_pixel;
                line[x + p] = 0xFF000000u | (static_cast<uint32_t>(s[2]) << 16) |
                              (static_cast<uint32_t>(s[1]) << 8) | s[0];
            }
        }
    }
    delete[] bytes;
    os::close(fd);
}
