// The simulated framebuffer driver /dev/fb0: what tests can do to it beyond
// the profile key "framebuffer".
//
// Every box made from a profile has the driver. Profile key (every member
// optional):
//   "framebuffer": {
//     "present": true,           false: the box has no driver (and no /dev/fb0
//                                unless "static_node")
//     "appear_after_s": 0,       the driver loads this many seconds after start:
//                                its node appears then (as udev makes it)
//     "static_node": false,      a static /dev: the node is there from the start
//                                and open fails ENODEV until the driver loads
//     "line_align": 0,           line_length padded to a multiple of this many
//                                bytes (e.g. 8192: a 1280-pixel line of 5120
//                                bytes takes 8192)
//     "round_mode": {"xres": 0, "yres": 0},  the driver rounds a mode's width
//                                and height up to multiples of these
//     "smem_per_mode": false,    smem_len (and what mmap reaches) is what the
//                                mode set takes, reported anew after each
//                                FBIOPUT_VSCREENINFO
//     "memory": 7372800,         smem_len in bytes (default 1280 x 1440 x 4)
//     "mode": {"xres": 720, "yres": 576, "bpp": 32},   the mode at boot
//     "single_page_only": false, refuses a virtual height above the visible one
//     "force_bpp": 0,            sets this depth whatever is asked (e.g. 16)
//     "refuse_modes": false,     refuses every mode change
//     "fail": ["FBIO_BLIT"]      requests that fail (EIO; "mmap" fails ENOMEM)
//   }
//
// The presented frame (what the last FBIO_BLIT showed) is the picture "tv".
#pragma once

#include "core/image.h"

#include <cstdint>
#include <optional>
#include <string>

namespace boxsim {

class Box;

// Makes one request of the driver ("FBIOGET_FSCREENINFO", "FBIO_BLIT",
// "mmap", ...) fail with `err` from now on; err 0 makes it work again.
void fb_set_failure(Box &box, const std::string &request, int err);

// How many frames FBIO_BLIT has presented: the framebuffer's part of the
// picture "tv" changes only when this count does.
uint64_t fb_presented_frames(Box &box);

// A rectangle of the presented frame as 0xAARRGGBB pixels, and the mode it
// was presented in; none before the first frame or when the rectangle is not
// inside the mode. Reads only the rectangle: a test that waits for one area
// looks at it many times.
struct PresentedArea {
    int mode_width = 0;
    int mode_height = 0;
    Image pixels;
};
std::optional<PresentedArea> fb_presented_area(Box &box, int x, int y, int w, int h);

} // namespace boxsim
