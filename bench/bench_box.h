// The simulated box the drawing benchmarks share, and the figures measured
// after them on boxes of their own.
#pragma once

#include "core/box.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace boxbench {

// The default box with the console's start-up done on it: model detected,
// framebuffer open at 1280 x 720 x 32, font engine ready. Made once; every
// drawing benchmark of the process draws on it.
boxsim::Box &drawing_box();

// Memory of a benchmark, starting on a page boundary (4 KiB). Where a
// buffer lies decides how fast the same copy or drawing runs: where two
// buffers fall against each other within a page (a load from an address
// 4 KiB apart from a pending store waits for it), and beyond that where
// the memory happens to lie: with buffers made once, a copy of the LCD
// text's rectangle took 312 ns in one run of the same binary and 454 ns in
// the next, steady within each run. The pairs' setups therefore assign
// their buffers before every round, and a buffer of up to 1 MiB (what the
// text figures draw in and copy) is placed anew each time: fresh memory at
// one of 16 page offsets, drawn from a fixed sequence, so that a figure's
// median is taken over hundreds of placements instead of one. The pages of
// the whole-page passes stay where they were first made (set to the value
// again): made anew each round, the rounds' memory traffic moved the
// rescue TV pass's ratio by a tenth, and where they lie is sampled by the
// measuring processes instead (main.cpp).
class Buffer {
public:
    void assign(size_t n, uint8_t value)
    {
        constexpr size_t kPage = 4096, kOffsets = 16, kPlacedAnew = 1 << 20;
        if (p_ && n == n_ && n > kPlacedAnew) {
            memset(at_, value, n);
            return;
        }
        static uint32_t draw = 0x9E3779B9u;
        draw ^= draw << 13;
        draw ^= draw >> 17;
        draw ^= draw << 5;
        const size_t whole = (n + kPage - 1) / kPage * kPage + kOffsets * kPage;
        // The new memory is taken before the old is given back, so that it
        // lies elsewhere.
        std::unique_ptr<uint8_t[], Free> fresh(static_cast<uint8_t *>(std::aligned_alloc(kPage, whole)));
        p_ = std::move(fresh);
        at_ = p_.get() + (draw % kOffsets) * kPage;
        n_ = n;
        memset(at_, value, n);
    }
    uint8_t *data() { return at_; }
    size_t size() const { return n_; }
    bool empty() const { return n_ == 0; }

private:
    struct Free {
        void operator()(uint8_t *p) const { std::free(p); }
    };
    std::unique_ptr<uint8_t[], Free> p_;
    uint8_t *at_ = nullptr;
    size_t n_ = 0;
};

} // namespace boxbench
