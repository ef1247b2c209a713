// Front-panel LCD output: frames built in memory and written whole to the
// panel's device.
#include "panel/lcd.h"

#include "app/values.h"
#include "gfx/bmp.h"
#include "gfx/font.h"
#include "gfx/screen_text.h"
#include "kni/bkni.h"
#include "platform/os.h"

#include <fcntl.h>
#include <new>
#include <unistd.h>

namespace {

// Stores one pixel of colour 0x00RRGGBB at (x, y), which the caller has
// checked to lie inside the frame.
inline void store_pixel(uint8_t *frame, int xres, int bpp, int x, int y, uint32_t colour)
{
    uint8_t r = static_cast<uint8_t>(colour >> 16);
    uint8_t g = static_cast<uint8_t>(colour >> 8);
    uint8_t b = static_cast<uint8_t>(colour);
    size_t at = static_cast<size_t>(y) * static_cast<size_t>(xres) + static_cast<size_t>(x);
    if (bpp == 16) {
        uint16_t v = static_cast<uint16_t>(((r & 0xF8) << 8) | ((g & 0xFC) << 3) | (b >> 3));
        frame[at * 2] = static_cast<uint8_t>(v >> 8);
        frame[at * 2 + 1] = static_cast<uint8_t>(v);
    } else if (bpp == 24) {
        frame[at * 3] = r;
        frame[at * 3 + 1] = g;
        frame[at * 3 + 2] = b;
    }
}

// Reads a whole file of the box into a fresh buffer; null when it cannot be
// opened or read whole. The caller frees it with delete[].
unsigned char *read_whole_file(const char *path, size_t *len)
{
    *len = 0;
    int fd = os::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    off_t end = os::lseek(fd, 0, SEEK_END);
    // A picture for the panel is never larger than a few frames.
    if (end <= 0 || static_cast<uint64_t>(end) > 4 * static_cast<uint64_t>(LCD_MAX_FRAME) ||
        os::lseek(fd, 0, SEEK_SET) != 0) {
        os::close(fd);
        return nullptr;
    }
    size_t size = static_cast<size_t>(end);
    unsigned char *bytes = new (std::nothrow) unsigned char[size];
    size_t got = 0;
    while (bytes && got < size) {
        ssize_t n = os::read(fd, bytes + got, size - got);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    os::close(fd);
    if (bytes && got != size) {
        delete[] bytes;
        bytes = nullptr;
    }
    if (bytes)
        *len = size;
    return bytes;
}

struct KeyPicture {
    int code;
    const char *wide;    // panels 400 pixels wide
    const char *narrow;  // every other panel
};

constexpr KeyPicture kKeyPictures[] = {
    {103, "/root/bmp/lcd400_up.bmp", "/root/bmp/lcd220_up.bmp"},
    {105, "/root/bmp/lcd400_left.bmp", "/root/bmp/lcd220_left.bmp"},
    {106, "/root/bmp/lcd400_right.bmp", "/root/bmp/lcd220_right.bmp"},
    {108, "/root/bmp/lcd400_down.bmp", "/root/bmp/lcd220_down.bmp"},
    {116, "/root/bmp/lcd400_splash.bmp", "/root/bmp/lcd220_splash.bmp"},
    {139, "/root/bmp/lcd400_menu.bmp", "/root/bmp/lcd220_menu.bmp"},
    {174, "/root/bmp/lcd400_exit.bmp", "/root/bmp/lcd220_exit.bmp"},
    {352, "/root/bmp/lcd400_enter.bmp", "/root/bmp/lcd220_enter.bmp"},
};

} // namespace

void lcd_get_geometry(int *xres, int *yres, int *bpp)
{
    parseIntHex(xres, LCD_XRES_FILE);
    parseIntHex(yres, LCD_YRES_FILE);
    parseIntHex(bpp, LCD_BPP_FILE);
}

size_t lcd_frame_size(int xres, int yres, int bpp)
{
    if (xres <= 0 || yres <= 0 || bpp <= 0)
        return 0;
    uint64_t bits = static_cast<uint64_t>(xres) * static_cast<uint64_t>(yres) * static_cast<uint64_t>(bpp);
    uint64_t bytes = bits / 8;
    if (bytes > LCD_MAX_FRAME)
        return 0;
    return static_cast<size_t>(bytes);
}

int lcd_frame_begin(LcdFrame *f, bool open_first)
{
    *f = LcdFrame{};
    lcd_get_geometry(&f->xres, &f->yres, &f->bpp);
    f->size = lcd_frame_size(f->xres, f->yres, f->bpp);
    if (f->size == 0 && !open_first)
        return -1;
    f->fd = os::open(LCD_DEVICE, O_WRONLY | O_CLOEXEC);
    if (f->fd < 0)
        return -1;
    // Size files that cannot be read give an empty frame: nothing to draw
    // into and nothing to show.
    f->frame = f->size ? new (std::nothrow) uint8_t[f->size]() : nullptr;
    if (!f->frame) {
        lcd_frame_abort(f);
        return -1;
    }
    return 0;
}

void lcd_frame_end(LcdFrame *f)
{
    if (f->fd >= 0 && f->frame)
        (void)!os::write(f->fd, f->frame, f->size);
    lcd_frame_abort(f);
}

void lcd_frame_abort(LcdFrame *f)
{
    delete[] f->frame;
    f->frame = nullptr;
    if (f->fd >= 0)
        os::close(f->fd);
    f->fd = -1;
}

void lcd_fill(uint8_t *frame, int xres, int yres, int bpp, int x, int y, int width, int height,
              uint32_t colour)
{
    if (!frame || xres <= 0 || yres <= 0 || (bpp != 16 && bpp != 24))
        return;
    // Cut the rectangle at every edge of the frame.
    int64_t x0 = x < 0 ? 0 : x;
    int64_t y0 = y < 0 ? 0 : y;
    int64_t x1 = static_cast<int64_t>(x) + width;
    int64_t y1 = static_cast<int64_t>(y) + height;
    if (x1 > xres)
        x1 = xres;
    if (y1 > yres)
        y1 = yres;
    for (int64_t row = y0; row < y1; ++row)
        for (int64_t col = x0; col < x1; ++col)
            store_pixel(frame, xres, bpp, static_cast<int>(col), static_cast<int>(row), colour);
}

int lcd_load_bmp(uint8_t *frame, int xres, int yres, int bpp, const unsigned char *bmp, size_t len)
{
    if (!frame || xres <= 0 || yres <= 0 || bpp <= 0 || !bmp || len == 0)
        return -1;
    BmpPixels px;
    if (bmp_pixels(bmp, len, nullptr, &px) != 0)
        return -1;
    // Pictures larger than the panel are cropped at its right and bottom.
    int rows = px.height < yres ? px.height : yres;
    int cols = px.width < xres ? px.width : xres;
    for (int k = 0; k < rows; ++k) {
        const unsigned char *src = bmp_row(px, k);
        // The panel has no transparency: a file's alpha is left out.
        for (int p = 0; p < cols; ++p)
            store_pixel(frame, xres, bpp, p, k, bmp_colour(px, src, p) & 0x00FFFFFFu);
    }
    return 0;
}

void lcd_bmp(const char *path)
{
    if (!path)
        return;
    LcdFrame f;
    if (lcd_frame_begin(&f) != 0)
        return;
    size_t len = 0;
    unsigned char *bytes = read_whole_file(path, &len);
    if (bytes)
        lcd_load_bmp(f.frame, f.xres, f.yres, f.bpp, bytes, len);
    delete[] bytes;
    // A picture that could not be shown leaves the frame black.
    lcd_frame_end(&f);
}

const char *get_ev_filename(int code)
{
    int xres = 0;
    parseIntHex(&xres, LCD_XRES_FILE);
    for (const KeyPicture &k : kKeyPictures)
        if (k.code == code)
            return xres == 400 ? k.wide : k.narrow;
    return nullptr;
}

bool lcd_text_fits(uint8_t *frame, int xres, int yres, int bpp, int x, int y, int box_width,
                   int box_height, const char *text, int alignment)
{
    if (!frame || !text || !gResHdle || lcd_frame_size(xres, yres, bpp) == 0)
        return false;
    // The engine measures for its current target: on a narrow panel every
    // glyph advances one pixel less. Record this frame as that target.
    g_lfb = frame;
    g_xres = xres;
    g_yres = yres;
    g_pitch = static_cast<int>(static_cast<int64_t>(xres) * bpp / 8);
    uint32_t height = 0;
    uint32_t width = 0;
    int length = BMF_GetTextLength(gResHdle, text);
    BMF_GetTextFormalWidthHeight(gResHdle, text, length, &height, &width, BMF_DIR_LEFT_TO_RIGHT);
    // Place the text rectangle as the drawing will.
    int64_t w = width;
    int64_t h = height;
    int64_t tx = x;
    int64_t ty = y;
    if ((alignment == BMF_ALIGN_HCENTER || alignment == BMF_ALIGN_CENTER) && w < box_width)
        tx += (box_width - w) / 2;
    if ((alignment == BMF_ALIGN_VCENTER || alignment == BMF_ALIGN_CENTER) && h < box_height)
        ty += (box_height - h) / 2;
    return tx >= 0 && ty >= 0 && tx + w <= xres && ty + h <= yres;
}

void lcd_load_text(uint8_t *frame, int xres, int yres, int bpp, const char *text)
{
    if (!text || !frame)
        return;
    if (g_font_mutex)
        BKNI_AcquireMutex(g_font_mutex);
    if (lcd_text_fits(frame, xres, yres, bpp, 0, 0, xres, yres, text, BMF_ALIGN_CENTER))
        BMF_DrawText(frame, xres, yres, bpp, 0, 0, xres, yres, text, BMF_ALIGN_CENTER, 0x0000, 0xFFFF);
    if (g_font_mutex)
        BKNI_ReleaseMutex(g_font_mutex);
}
