// The bitmap font engine: the built-in font resource image, its block index,
// and the text renderer that measures byte strings and draws them into packed
// 16- or 32-bit pixel surfaces in memory (the TV framebuffer, LCD frames).
//
// The renderer keeps its target surface in the statics g_lfb, g_xres, g_yres
// and g_pitch, so only one text may be drawn at a time in the whole process:
// every caller of BMF_DrawText holds g_font_mutex (gfx/screen_text.h).
#pragma once

#include <cstddef>
#include <cstdint>

// The built-in image: a 14100-byte image followed by one zero byte, on a
// 4-byte boundary so that every glyph row is an aligned 32-bit word.
constexpr size_t BMF_RESOURCE_SIZE = 14101;
extern const unsigned char BMF_acResource[BMF_RESOURCE_SIZE];

// One opened image. Points into the image, which must outlive it.
struct BMF_Resource {
    // Payload addresses by block kind, in chain order.
    const uint8_t **strBlocks;
    uint32_t strCount;
    const uint8_t **fntBlocks;
    uint32_t fntCount;
    const uint8_t **bmpBlocks;
    uint32_t bmpCount;
    const uint8_t **picBlocks;
    uint32_t picCount;

    // Basic font: single-byte codes below 0x80.
    uint32_t basicHeight;
    uint32_t basicGlyphCount;
    uint32_t basicFirstCode;
    uint32_t basicLastCode;
    const uint8_t *basicWidths;
    const uint8_t *basicBitmaps;
    const uint8_t *basicFont;

    // Extended font: bytes 0x80 and up (mode 0) or double-byte pairs (1, 2).
    uint32_t extGlyphCount;
    const uint8_t *extWidths;
    const uint8_t *extBitmaps;
    uint32_t extFirstCode;
    uint32_t extLastCode;
    uint32_t extMode;
    const uint8_t *extFont;

    // Current string table.
    const uint8_t **strings;
    uint32_t stringCount;
    const uint8_t *stringBlock;
};
typedef BMF_Resource *BMF_ResourceHandle;

// Header fields of a font payload, as BMF_GetFontDetails reports them.
struct BMF_FontDetails {
    uint16_t maxWidth;
    uint16_t height;
    uint16_t firstCode;
    uint16_t lastCode;
    uint16_t glyphCount;
    uint8_t attrA;
    uint8_t attrB : 6;
    uint8_t attrBSpare : 2;  // left as it was
    const char *faceName;
    uint8_t attrC;
    uint8_t attrD;
    uint8_t attrE;
    const uint8_t *widths;
    const uint8_t *bitmaps;
};

// Extended modes: how bytes 0x80 and up are read.
enum {
    BMF_EXT_SINGLE_BYTE = 0,
    BMF_EXT_DOUBLE_BYTE = 1,
    BMF_EXT_DOUBLE_BYTE_COUNTED = 2,  // BMF_GetTextLength counts characters
};

// Drawing directions of BMF_FormalPlotText.
enum {
    BMF_DIR_LEFT_TO_RIGHT = 0,
    BMF_DIR_MIRRORED = 1,      // first character at the right, glyphs flipped
    BMF_DIR_BOTTOM_TO_TOP = 2, // turned 90 degrees counter-clockwise
    BMF_DIR_TOP_TO_BOTTOM = 3, // turned 90 degrees clockwise
};

// Alignment of BMF_DrawText; any other value places the text at the box's
// top-left corner.
enum {
    BMF_ALIGN_HCENTER = 0,
    BMF_ALIGN_VCENTER = 1,
    BMF_ALIGN_CENTER = 2,
};

// The engine's own handle on the built-in image (after BMF_InitEngine).
extern BMF_ResourceHandle gResHdle;

// Resource image.
BMF_ResourceHandle BMF_GetSystemResourceHandle(const uint8_t *image);
const uint8_t *BMF_GetBlockHandle(BMF_ResourceHandle handle, const char *name);
const uint8_t *BMF_SetBasicFontBlock(BMF_ResourceHandle handle, const uint8_t *font);
const uint8_t *BMF_SetExtendFontBlock(BMF_ResourceHandle handle, const uint8_t *font, uint32_t mode);
const uint8_t *BMF_SetStringBlock(BMF_ResourceHandle handle, const uint8_t *strings);
const char *BMF_GetString(BMF_ResourceHandle handle, uint32_t index);
int BMF_GetFontDetails(const uint8_t *font, BMF_FontDetails *details);
int BMF_InitEngine(void);

// Measuring and drawing. Colours are 0xAARRGGBB words; a background of
// 0xFFFFFFFF (-1) is transparent. Surfaces are packed rows of width x bits / 8
// bytes; 16- and 32-bit surfaces are drawn, others are left unchanged.
// Nothing is ever written outside the surface: text is clipped to it.
int BMF_GetTextLength(BMF_ResourceHandle handle, const char *text);
void BMF_GetTextFormalWidthHeight(BMF_ResourceHandle handle, const char *text, int length,
                                  uint32_t *vertical, uint32_t *horizontal, int direction);
int BMF_FormalPlotText(BMF_ResourceHandle handle, int x, int y, uint32_t foreground,
                       uint32_t background, const char *text, int length, int direction,
                       int hscale, int vscale);
int BMF_DrawText(void *surface, int width, int height, int bits_per_pixel, int x, int y,
                 int box_width, int box_height, const char *text, int alignment,
                 uint32_t foreground, uint32_t background);

// Target surface of the drawing in progress (set by BMF_DrawText).
extern uint8_t *g_lfb;
extern int g_xres;
extern int g_yres;
extern int g_pitch;

// Internal steps, visible for tests.

// One character at `text`, of which `avail` bytes may be read: its width
// (0 when no font covers it), its glyph (null then) and the bytes it takes.
int GetCharDetails(BMF_ResourceHandle handle, const uint8_t *text, int avail, uint32_t *width,
                   const uint8_t **glyph);
// Bytes of a double-byte text up to its NUL, a lead byte taking its trail.
int GetDoubleByteTextLength(const uint8_t *text);
// Width and height of at most `length` bytes, stopping at a NUL.
void GetTextWidthHeight(BMF_ResourceHandle handle, const uint8_t *text, int length,
                        uint32_t *width, uint32_t *height);

// The text rectangle being rendered and the part of it that lies on the
// surface; `pixels` is that part's top left pixel, its rows `stride` bytes
// apart (0: packed, clip_w pixels a row).
struct BMF_RenderTarget {
    uint8_t *pixels;
    int bytes_per_pixel;
    int rect_w;
    int rect_h;
    int clip_x;
    int clip_y;
    int clip_w;
    int clip_h;
    int stride;
};
// The ways upright glyphs at scale 1 are stored, narrowest first: chunks of
// 16 bytes (a machine word where the processor has no vector registers),
// chunks of 32 bytes (AVX2), masked stores (AVX-512). The engine takes the
// widest the processor has; BMF_LimitGlyphStores keeps it to `widest` at
// most (tests draw each way) and returns the way now in use. Every way draws
// the same pixels.
enum {
    BMF_STORES_CHUNKS = 0,
    BMF_STORES_WIDE_CHUNKS = 1,
    BMF_STORES_MASKED = 2,
};
int BMF_LimitGlyphStores(int widest);

// Renders `length` bytes; returns `length`, or the byte index + 1 of the
// first character that did not fit in the rectangle.
int RenderString(BMF_ResourceHandle handle, const BMF_RenderTarget *target, const uint8_t *text,
                 int length, int direction, int hscale, int vscale, uint32_t foreground,
                 uint32_t background);
// Expands one glyph `width` columns wide with its pen at `pen` (pixels along
// the writing direction).
void RenderChar(BMF_ResourceHandle handle, const BMF_RenderTarget *target, const uint8_t *glyph,
                int width, int pen, int direction, int hscale, int vscale, uint32_t foreground,
                uint32_t background);
