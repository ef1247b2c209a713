// The simulated box the drawing benchmarks share, and the figures measured
// after them on boxes of their own.
#pragma once

#include "core/box.h"

namespace boxbench {

// The default box with the console's start-up done on it: model detected,
// framebuffer open at 1280 x 720 x 32, font engine ready. Made once; every
// drawing benchmark of the process draws on it.
boxsim::Box &drawing_box();

} // namespace boxbench
