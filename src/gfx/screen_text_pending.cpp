// Placeholder until screen text lands; removed with it.
#include "gfx/screen_text.h"
void fb_font_init() {}
