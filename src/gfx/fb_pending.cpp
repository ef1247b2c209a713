// Placeholder until the framebuffer layer lands; removed with it.
#include "gfx/fb.h"
int fb_init() { return -1; }
int fb_setmode(int, int, int) { return -1; }
void fb_fill(int, int, int, int, unsigned int) {}
void fb_blit() {}
