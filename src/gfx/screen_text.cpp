// Text on the TV: the font engine drawing into the framebuffer page, under
// the one lock that every text drawing of the process shares.
#include "gfx/screen_text.h"

#include "gfx/fb.h"
#include "gfx/font.h"

BKNI_MutexHandle g_font_mutex;

void fb_font_init()
{
    BKNI_CreateMutex(&g_font_mutex);
    BMF_InitEngine();
}

void fb_drawtext(int x, int y, int box_width, int box_height, const char *text,
                 uint32_t foreground, uint32_t background)
{
    if (g_font_mutex)
        BKNI_AcquireMutex(g_font_mutex);
    // The engine clips to the surface it is given; give it no more rows than
    // the mapping holds, whatever mode the driver reports. Its surface is
    // the memory as the driver lays it out: lines of the driver's line
    // length, so a line padded beyond the visible width is one wider
    // surface whose extra columns the driver never shows.
    int height = static_cast<int>(var.yres);
    const long long pitch = fb_line_bytes();
    const int bits = static_cast<int>(var.bits_per_pixel);
    if (pitch > 0 && available >= 0 && pitch * height > available)
        height = static_cast<int>(available / pitch);
    int width = static_cast<int>(var.xres);
    if (bits >= 8 && pitch * 8 / bits > width)
        width = static_cast<int>(pitch * 8 / bits);
    BMF_DrawText(lfb, width, height, bits, x, y, box_width, box_height, text, BMF_ALIGN_CENTER, foreground,
                 background);
    if (g_font_mutex)
        BKNI_ReleaseMutex(g_font_mutex);
}
