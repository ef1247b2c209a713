// The TV output: the framebuffer /dev/fb0, mapped for the whole run, drawn
// in 32-bit words 0xAARRGGBB and presented with fb_blit.
#pragma once

#include <cstdint>
#include <linux/fb.h>

// Framebuffer state, one instance for the process. Screen text, pictures and
// the screen areas read var.xres, var.yres, var.bits_per_pixel, var.yoffset.
extern int fbFd;
extern struct fb_var_screeninfo var;
extern struct fb_fix_screeninfo fix;
extern int available;
extern uint32_t *lfb;
extern int stride;

int fb_init();
int fb_setmode(int width, int height, int bits);
void fb_fill(int x, int y, int width, int height, unsigned int colour);
void fb_blit();

// Bytes and 32-bit words from one line of the drawn page to the next: the
// driver's line length (`stride`: read at start, and again after each mode
// set), which may be padded beyond the visible width; the width's own bytes
// when the driver's figure cannot hold a line of the mode.
int fb_line_bytes();
int fb_line_words();

// Rows of the drawn page that lie inside the mapped memory (at most
// var.yres; 0 before the memory is mapped). Drawing code clips to it, so
// nothing is written past `available` whatever mode the driver reports.
int fb_drawable_rows();
