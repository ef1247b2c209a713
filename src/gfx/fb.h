// The TV output: the framebuffer /dev/fb0, mapped for the whole run, drawn
// in 32-bit words 0xAARRGGBB and presented with fb_blit.
#pragma once

int fb_init();
int fb_setmode(int width, int height, int bits);
void fb_fill(int x, int y, int width, int height, unsigned int colour);
void fb_blit();
