# Writes the build stamp header: BOX_BUILD_STAMP, fourteen digits, year to
# second. FIXED (fourteen digits) gives a fixed stamp; otherwise the time
# now, or SOURCE_DATE_EPOCH when the environment sets it (reproducible
# builds; string(TIMESTAMP) honours it).
if(FIXED)
  if(NOT FIXED MATCHES "^[0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9]$")
    message(FATAL_ERROR "BOX_BUILD_DATE must be fourteen digits YYYYMMDDhhmmss, not '${FIXED}'")
  endif()
  set(stamp ${FIXED})
else()
  string(TIMESTAMP stamp "%Y%m%d%H%M%S" UTC)
endif()
file(WRITE ${OUT}.tmp "// Generated at build time by cmake/build_stamp.cmake.\n#define BOX_BUILD_STAMP \"${stamp}\"\n")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.tmp)
