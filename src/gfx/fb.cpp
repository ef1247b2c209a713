// The TV framebuffer: waiting for /dev/fb0, mapping it, setting the mode,
// filling rectangles and presenting the frame.
#include "gfx/fb.h"

#include "kni/bkni.h"
#include "platform/box_abi.h"
#include "platform/os.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

int fbFd = -1;
struct fb_var_screeninfo var;
struct fb_fix_screeninfo fix;
int available;
uint32_t *lfb;
int stride;

int fb_line_bytes()
{
    // The driver's line length once a mode is set: drivers may pad a line
    // beyond what its pixels need (an aligned pitch), and a padded line
    // drawn by the width alone would shear the picture.
    // A line length too short for the mode (fixed information that could
    // not be read after the mode changed) is no guide: then the line is as
    // long as its pixels.
    const int64_t pixels = static_cast<int64_t>(var.xres) * var.bits_per_pixel / 8;
    if (pixels > INT32_MAX)
        return 0;
    return stride >= pixels ? stride : static_cast<int>(pixels);
}

int fb_line_words()
{
    return fb_line_bytes() / 4;
}

int fb_drawable_rows()
{
    const int64_t line = fb_line_words();
    if (!lfb || var.xres == 0 || line <= 0)
        return 0;
    int64_t words = static_cast<int64_t>(available) / 4;
    int64_t rows = words / line - static_cast<int64_t>(var.yoffset);
    if (rows < 0)
        rows = 0;
    return static_cast<int>(rows < static_cast<int64_t>(var.yres) ? rows : static_cast<int64_t>(var.yres));
}

namespace {

constexpr const char *kFbDevice = "/dev/fb0";
constexpr int kWaitTests = 10;  // one a second

// Offset and length of the transparency, red, green and blue fields.
struct ColourLayout {
    int bits;
    uint32_t field[4][2];
};
constexpr ColourLayout kLayouts[] = {
    {16, {{15, 1}, {10, 5}, {5, 5}, {0, 5}}},
    {32, {{24, 8}, {16, 8}, {8, 8}, {0, 8}}},
};

// Any other depth keeps the layout last read from the driver.
void set_colour_layout(int bits)
{
    for (const auto &l : kLayouts) {
        if (l.bits != bits)
            continue;
        struct fb_bitfield *f[4] = {&var.transp, &var.red, &var.green, &var.blue};
        for (int i = 0; i < 4; ++i) {
            f[i]->offset = l.field[i][0];
            f[i]->length = l.field[i][1];
            f[i]->msb_right = 0;
        }
    }
}

int fb_init_failed()
{
    if (fbFd >= 0) {
        os::close(fbFd);
        fbFd = -1;
    }
    puts("framebuffer not available.");
    return -1;
}

// Maps the device memory again when the mode set changed its size: drivers
// that allocate memory per mode report the new smem_len only now, and the
// memory mapped at start may no longer hold the mode's pages. When the new
// map fails the old one is kept, and only as much of it as the driver still
// has is drawn into.
void remap(uint32_t smem_len)
{
    if (fbFd < 0 || !lfb || smem_len == 0 || static_cast<int64_t>(smem_len) == available)
        return;
    void *mem = os::mmap(nullptr, smem_len, PROT_READ | PROT_WRITE, MAP_SHARED, fbFd, 0);
    if (mem == MAP_FAILED) {
        perror("mmap");
        if (static_cast<int64_t>(smem_len) < available)
            available = static_cast<int>(smem_len);
        return;
    }
    os::munmap(lfb, static_cast<size_t>(available));
    lfb = static_cast<uint32_t *>(mem);
    available = static_cast<int>(smem_len);
}

} // namespace

int fb_init()
{
    // The driver may still be loading when the system starts. Where /dev is
    // made by udev the node appears when the driver is there; on a static
    // /dev the node is there from the start and opening it fails with
    // ENODEV (or ENXIO) until the driver has registered the device. Either
    // counts as not there yet.
    stride = 0;
    struct stat st;
    int tests = 0;
    bool node_seen = false;
    for (;;) {
        if (os::stat(kFbDevice, &st) == 0) {
            node_seen = true;
            fbFd = os::open(kFbDevice, O_RDWR | O_CLOEXEC);
            if (fbFd >= 0 || (errno != ENODEV && errno != ENXIO))
                break;
        }
        BKNI_Sleep(1000);
        if (++tests == kWaitTests) {
            if (!node_seen) {
                puts("stat: /dev/fb0: No such file or directory");
                fbFd = -1;  // nothing opened
                return -1;
            }
            break;  // a node without a driver: the failed open is reported below
        }
    }

    // A failed open is reported by the mode read on the invalid descriptor.
    if (os::ioctl(fbFd, box_abi::FBIOGET_VSCREENINFO, &var) < 0) {
        perror("FBIOGET_VSCREENINFO");
        return fb_init_failed();
    }
    if (os::ioctl(fbFd, box_abi::FBIOGET_FSCREENINFO, &fix) < 0) {
        perror("FBIOGET_FSCREENINFO");
        return fb_init_failed();
    }
    // The driver's own mode is drawn in until a mode is set (and after it
    // refused one): by the line length it has now.
    stride = static_cast<int>(fix.line_length);
    available = static_cast<int>(fix.smem_len);
    void *mem = os::mmap(nullptr, fix.smem_len, PROT_READ | PROT_WRITE, MAP_SHARED, fbFd, 0);
    if (mem == MAP_FAILED) {
        perror("mmap");
        lfb = nullptr;
        available = 0;  // nothing mapped: every drawing is a no-op
        return fb_init_failed();
    }
    lfb = static_cast<uint32_t *>(mem);

    // Manual presentation: nothing half-drawn reaches the screen.
    unsigned char manual = 1;
    if (os::ioctl(fbFd, box_abi::FBIO_SET_MANUAL_BLIT, &manual) < 0)
        perror("FBIO_SET_MANUAL_BLIT");
    return 0;
}

int fb_setmode(int width, int height, int bits)
{
    const struct fb_var_screeninfo previous = var;

    var.xres = static_cast<uint32_t>(width);
    var.xres_virtual = static_cast<uint32_t>(width);
    var.yres = static_cast<uint32_t>(height);
    var.yres_virtual = static_cast<uint32_t>(height) * 2;  // room for two pages
    var.height = 0;
    var.width = 0;
    var.yoffset = 0;
    var.xoffset = 0;
    var.bits_per_pixel = static_cast<uint32_t>(bits);
    set_colour_layout(bits);

    if (os::ioctl(fbFd, box_abi::FBIOPUT_VSCREENINFO, &var) < 0) {
        // Not enough memory for two pages on some drivers: one page will do.
        var.yres = static_cast<uint32_t>(height);
        var.yres_virtual = static_cast<uint32_t>(height);
        if (os::ioctl(fbFd, box_abi::FBIOPUT_VSCREENINFO, &var) < 0) {
            perror("FBIOPUT_VSCREENINFO");
            puts("fb failed");
            // The driver kept its mode; so does the record drawing relies on.
            var = previous;
            return -1;
        }
    } else {
        os::ioctl(fbFd, box_abi::FBIOGET_VSCREENINFO, &var);
    }

    if (static_cast<int>(var.xres) != width || static_cast<int>(var.yres) != height ||
        static_cast<int>(var.bits_per_pixel) != bits)
        printf("SetMode failed: wanted: %dx%dx%d, got %dx%dx%d\n", width, height, bits,
               static_cast<int>(var.xres), static_cast<int>(var.yres), static_cast<int>(var.bits_per_pixel));

    struct fb_fix_screeninfo now;
    if (os::ioctl(fbFd, box_abi::FBIOGET_FSCREENINFO, &now) < 0) {
        perror("FBIOGET_FSCREENINFO");
        puts("fb failed");
    } else {
        fix = now;
        remap(now.smem_len);
    }

    // The first page starts transparent black. Drawing goes by the line
    // length the driver reports for this mode.
    stride = static_cast<int>(fix.line_length);
    if (lfb) {
        uint64_t bytes = static_cast<uint64_t>(static_cast<uint32_t>(fb_line_bytes())) * var.yres;
        if (bytes > static_cast<uint64_t>(available))
            bytes = static_cast<uint64_t>(available);
        memset(lfb, 0, static_cast<size_t>(bytes));
    }

    fb_blit();
    return 0;
}

void fb_fill(int x, int y, int width, int height, unsigned int colour)
{
    // Clipped on all four sides to the drawn page inside the mapped memory.
    int64_t x0 = x < 0 ? 0 : x;
    int64_t y0 = y < 0 ? 0 : y;
    int64_t x1 = static_cast<int64_t>(x) + width;
    int64_t y1 = static_cast<int64_t>(y) + height;
    if (x1 > static_cast<int64_t>(var.xres))
        x1 = var.xres;
    // 32-bit words never reach past the line (a 16-bit line holds half as
    // many words as pixels).
    const int64_t line = fb_line_words();
    if (x1 > line)
        x1 = line;
    int64_t rows = fb_drawable_rows();
    if (y1 > rows)
        y1 = rows;
    if (x0 >= x1 || y0 >= y1)
        return;
    // Row-wise, with wmemset: on Linux wchar_t is a 32-bit word, so it is
    // the C library's fill of 32-bit words, tuned per processor like memset
    // (a page clear is most of a rescue pass). Rows that lie back to back,
    // as in a clear of whole rows, are one fill.
    static_assert(sizeof(wchar_t) == sizeof(uint32_t), "wmemset fills 32-bit words");
    const wchar_t c = static_cast<wchar_t>(colour);
    const bool whole_rows = x0 == 0 && x1 == line;
    const int64_t runs = whole_rows ? 1 : y1 - y0;
    const size_t run = static_cast<size_t>(x1 - x0) * static_cast<size_t>(whole_rows ? y1 - y0 : 1);
    for (int64_t i = 0; i < runs; ++i) {
        uint32_t *at = lfb + (static_cast<int64_t>(var.yoffset) + y0 + i) * line + x0;
        wmemset(reinterpret_cast<wchar_t *>(at), c, run);
    }
}

void fb_blit()
{
    if (os::ioctl(fbFd, box_abi::FBIO_BLIT) < 0)
        perror("FBIO_BLIT");
}
