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

// Memory of a benchmark, starting on a page boundary (4 KiB). Where two
// buffers fall against each other within a page decides how fast a copy
// between them runs (a load from an address 4 KiB apart from a pending
// store waits for it); on the heap that changed from run to run with what
// was allocated before, and so did the ratios.
class Buffer {
public:
    void assign(size_t n, uint8_t value)
    {
        size_t whole = (n + 4095) / 4096 * 4096;
        p_.reset(static_cast<uint8_t *>(std::aligned_alloc(4096, whole ? whole : 4096)));
        n_ = n;
        memset(p_.get(), value, n);
    }
    uint8_t *data() { return p_.get(); }
    size_t size() const { return n_; }
    bool empty() const { return n_ == 0; }

private:
    struct Free {
        void operator()(uint8_t *p) const { std::free(p); }
    };
    std::unique_ptr<uint8_t[], Free> p_;
    size_t n_ = 0;
};

} // namespace boxbench
