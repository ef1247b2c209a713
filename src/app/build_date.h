// The build stamp: fourteen digits, year to second (YYYYMMDDhhmmss), taken
// when the system's code was last built. A build that asks for reproducible
// output (SOURCE_DATE_EPOCH, or BOX_BUILD_DATE given to CMake) gets that
// fixed time instead.
#pragma once

extern const char builddate[15];
