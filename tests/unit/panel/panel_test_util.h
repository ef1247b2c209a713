// Helpers for the front-panel tests: boxes with a given panel, frame pixels.
#pragma once

#include "devices/panel.h"
#include "sim_test.h"

#include <cstdint>
#include <vector>

namespace paneltest {

using boxsim::json;

// A box with only a front panel of this geometry.
inline std::unique_ptr<boxsim::Box> panel_box(int xres, int yres, int bpp = 16)
{
    return boxtest::make_box_from({{"lcd", {{"xres", xres}, {"yres", yres}, {"bpp", bpp}}}});
}

// The RGB565 word of a 16-bit frame, read high byte first.
inline unsigned px16(const std::vector<uint8_t> &f, int xres, int x, int y)
{
    size_t at = (static_cast<size_t>(y) * xres + x) * 2;
    return (static_cast<unsigned>(f[at]) << 8) | f[at + 1];
}

// The three bytes of a 24-bit frame as 0xRRGGBB.
inline uint32_t px24(const std::vector<uint8_t> &f, int xres, int x, int y)
{
    size_t at = (static_cast<size_t>(y) * xres + x) * 3;
    return (static_cast<uint32_t>(f[at]) << 16) | (static_cast<uint32_t>(f[at + 1]) << 8) | f[at + 2];
}

// The last frame the simulated panel took (empty when none).
inline std::vector<uint8_t> last_frame(boxsim::Box &box)
{
    auto f = boxsim::lcd_frame(box);
    return f ? f->bytes : std::vector<uint8_t>{};
}

// A frame surrounded by guard bytes, to see that nothing is written outside.
struct GuardedFrame {
    static constexpr size_t kGuard = 4096;
    static constexpr uint8_t kMark = 0xA5;
    std::vector<uint8_t> mem;
    size_t len;
    explicit GuardedFrame(size_t n, uint8_t fill = 0) : mem(n + 2 * kGuard, kMark), len(n)
    {
        std::fill(mem.begin() + kGuard, mem.begin() + static_cast<long>(kGuard + n), fill);
    }
    uint8_t *data() { return mem.data() + kGuard; }
    std::vector<uint8_t> bytes() const
    {
        return {mem.begin() + kGuard, mem.begin() + static_cast<long>(kGuard + len)};
    }
    bool guards_intact() const
    {
        for (size_t i = 0; i < kGuard; ++i)
            if (mem[i] != kMark || mem[kGuard + len + i] != kMark)
                return false;
        return true;
    }
};

} // namespace paneltest
