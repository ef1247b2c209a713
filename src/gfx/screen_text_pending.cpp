// Placeholder until screen text and the font engine land; removed with them.
#include "gfx/font.h"
#include "gfx/screen_text.h"
BKNI_MutexHandle g_font_mutex;
void fb_font_init() {}
void fb_drawtext(int, int, int, int, const char *, uint32_t, uint32_t) {}
int BMF_DrawText(void *, int, int, int, int, int, int, int, const char *, int, uint32_t, uint32_t)
{
    return 0;
}
