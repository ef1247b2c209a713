// Shared set-up of the graphics tests: a fresh box whose framebuffer driver
// is configured by the test, and looks at what the system drew and printed.
#pragma once

#include "gfx/fb.h"
#include "core/image.h"
#include "sim_test.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace gfxtest {

using boxsim::json;

// A box of a known model with the framebuffer options `fb`.
inline std::unique_ptr<boxsim::Box> fb_box(const json &fb = json::object())
{
    return boxtest::make_box_from({{"model", "rcplus"}, {"framebuffer", fb}});
}

// The start-up's framebuffer steps: open, then 1280 x 720 x 32.
inline void open_tv()
{
    ASSERT_EQ(fb_init(), 0);
    ASSERT_EQ(fb_setmode(1280, 720, 32), 0);
}

// Fills the whole mapped memory with one word, so that any write shows.
inline void paint_memory(uint32_t word)
{
    for (int i = 0; i < available / 4; ++i)
        lfb[i] = word;
}

inline uint32_t pixel(int x, int y) { return lfb[static_cast<size_t>(y) * var.xres + x]; }

// Number of mapped words that differ from `word`.
inline size_t words_not(uint32_t word)
{
    size_t n = 0;
    for (int i = 0; i < available / 4; ++i)
        n += lfb[i] != word;
    return n;
}

inline std::string stdout_of(boxsim::Box &box, boxsim::StdioCapture &cap)
{
    cap.drain();
    return boxtest::printed(box, "stdout");
}

inline std::string stderr_of(boxsim::Box &box, boxsim::StdioCapture &cap)
{
    cap.drain();
    return boxtest::printed(box, "stderr");
}

// The ioctl events of /dev/fb0 by request name.
inline std::vector<json> fb_requests(boxsim::Box &box, const std::string &name)
{
    std::vector<json> out;
    for (const auto &e : box.trace().find("ioctl", "/dev/fb0"))
        if (e.value("name", "") == name)
            out.push_back(e);
    return out;
}

} // namespace gfxtest
