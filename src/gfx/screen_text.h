// Text on the TV, centred in a box, under the font mutex.
#pragma once

#include <cstdint>

#include "kni/bkni.h"

// The one lock of text drawing: it guards the font engine's target-surface
// statics. Every BMF_DrawText call (TV or LCD frame) holds it; null until
// fb_font_init has run.
extern BKNI_MutexHandle g_font_mutex;

// Creates the font mutex and opens the font engine. Called once at start-up,
// after the framebuffer mode is set and before any task draws.
void fb_font_init();

// Draws `text` into the framebuffer page, centred both ways in the box whose
// top-left corner is (x, y). A background of 0xFFFFFFFF (-1) is transparent.
// Visible after the next fb_blit.
void fb_drawtext(int x, int y, int box_width, int box_height, const char *text,
                 uint32_t foreground, uint32_t background);
