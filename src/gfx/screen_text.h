// Text on the TV, centred in a box, under the font mutex.
#pragma once

// Creates the font mutex and prepares the font engine.
void fb_font_init();
