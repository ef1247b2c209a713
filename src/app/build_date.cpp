#include "app/build_date.h"

#include "build_date_stamp.h"

static_assert(sizeof(BOX_BUILD_STAMP) == 15, "the build stamp is fourteen digits");

const char builddate[15] = BOX_BUILD_STAMP;
