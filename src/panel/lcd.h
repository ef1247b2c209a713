// The front-panel graphic LCD: /dev/lcd0 takes whole frames, one write each.
//
// A frame is xres x yres pixels, rows top to bottom, packed with no padding;
// its length is xres x yres x bpp / 8 bytes. At 16 bits a pixel is RGB565,
// high byte first; at 24 bits it is red, green, blue. The geometry comes from
// /proc/stb/lcd/{xres,yres,bpp} (hexadecimal text) and is read afresh at
// every use, so a panel driver that changes its mode is followed at once.
#pragma once

#include <cstddef>
#include <cstdint>

// The panel's device and geometry files.
constexpr const char *LCD_DEVICE = "/dev/lcd0";
constexpr const char *LCD_XRES_FILE = "/proc/stb/lcd/xres";
constexpr const char *LCD_YRES_FILE = "/proc/stb/lcd/yres";
constexpr const char *LCD_BPP_FILE = "/proc/stb/lcd/bpp";

// Largest frame built for a panel (bytes). Far above any front panel; a
// geometry file that reads as something absurd is treated like memory that
// cannot be had.
constexpr size_t LCD_MAX_FRAME = 8u << 20;

// Reads the three geometry values; one that cannot be read is 0.
void lcd_get_geometry(int *xres, int *yres, int *bpp);
// Length of a frame of this geometry, or 0 when a value is not positive or
// the frame would exceed LCD_MAX_FRAME.
size_t lcd_frame_size(int xres, int yres, int bpp);

// A whole frame on its way to the panel: the geometry as read at the start,
// the panel's device open for writing, and a zeroed frame of the panel's size.
struct LcdFrame {
    int xres = 0, yres = 0, bpp = 0;
    size_t size = 0;
    int fd = -1;
    uint8_t *frame = nullptr;
};

// Reads the geometry, opens LCD_DEVICE write-only and allocates the zeroed
// frame. A geometry that cannot be read stops before the device is opened,
// unless `open_first` asks for the device to be opened before the frame's
// size is looked at. Returns 0 with the device and the frame held, or -1
// with nothing held (every failure silent).
int lcd_frame_begin(LcdFrame *f, bool open_first = false);
// Writes the whole frame in one write (its result is ignored), frees the
// frame and closes the device.
void lcd_frame_end(LcdFrame *f);
// Frees the frame and closes the device without writing.
void lcd_frame_abort(LcdFrame *f);

// Fills a rectangle of a frame with the colour 0x00RRGGBB, cut at the frame's
// edges. Depths other than 16 and 24 bits store nothing.
void lcd_fill(uint8_t *frame, int xres, int yres, int bpp, int x, int y, int width, int height,
              uint32_t colour);

// Converts a whole BMP file held in memory into the frame: the picture's top
// row lands on the frame's top row, and whatever lies beyond the frame's
// right or bottom edge is cut off; a file's alpha is left out. Returns 0, or
// -1 when an argument is null or 0, or the bytes are not a BMP file of a
// form bmp_pixels accepts whose rows lie inside `len`.
int lcd_load_bmp(uint8_t *frame, int xres, int yres, int bpp, const unsigned char *bmp, size_t len);

// Shows the BMP file at `path` on the panel; a file that is missing or not a
// picture blanks the panel.
void lcd_bmp(const char *path);

// The picture for a front-panel key (Linux key code) on this panel's width,
// or null for a key without one.
const char *get_ev_filename(int code);

// Draws `text` centred on the frame, black letters on a white box the size
// of the text, under the font mutex. A text that would not fit inside the
// frame is left out.
void lcd_load_text(uint8_t *frame, int xres, int yres, int bpp, const char *text);

// Whether `text`, aligned in the box (x, y, box_width, box_height) the way
// BMF_DrawText aligns it, lies wholly inside a frame of xres x yres pixels.
// Records the frame as the font engine's target surface (the engine
// measures for its current target), so the caller holds g_font_mutex and
// draws into the same frame next.
bool lcd_text_fits(uint8_t *frame, int xres, int yres, int bpp, int x, int y, int box_width,
                   int box_height, const char *text, int alignment);

// Shows the colour test pattern, with `name` centred on top when not null.
void lcd_pattern(const char *name);

// The test pattern's 16-bit pixel (RGB565) at column x, row y of a panel of
// xres x yres pixels.
uint16_t lcd_pattern_pixel(int xres, int yres, int x, int y);
