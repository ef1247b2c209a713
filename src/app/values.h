// One-value text files under /proc and /sys: the form in which the box's
// drivers expose their settings. Each call opens, reads or writes, and closes
// the file, so it always sees the current content.
//
// Readers return 0 when a value was read, -1 when the file could not be
// opened, -2 when it held no value; the output is zeroed (an empty text)
// whatever happens. Writers return -1 when the file could not be opened, else
// what the print returned (negative on a write error).
#pragma once

#include <cstddef>

int parseIntHex(int *out, const char *path);
int parseInt(int *out, const char *path);
int parseFloat(float *out, const char *path);
// Reads one word (up to the first white space) into `out` of `out_size`
// bytes; a longer word is cut to fit.
int parseString(char *out, size_t out_size, const char *path);

int writeIntHex(const char *path, int value);
int writeInt(const char *path, int value);
