// Placeholder until the framebuffer layer lands; removed with it.
#include "gfx/fb.h"
int fbFd = -1;
struct fb_var_screeninfo var;
struct fb_fix_screeninfo fix;
int available;
uint32_t *lfb;
int stride;
int fb_init() { return -1; }
int fb_setmode(int, int, int) { return -1; }
void fb_fill(int, int, int, int, unsigned int) {}
void fb_blit() {}
