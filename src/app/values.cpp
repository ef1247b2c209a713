#include "app/values.h"

#include "platform/os.h"

#include <cctype>
#include <cstdio>

namespace {

// Opens the file and zeroes the output before the result of the open is
// looked at, so a caller that ignores the result reads 0.
template <class T> int read_number(T *out, const char *path, const char *format)
{
    FILE *f = os::fopen(path, "re");
    *out = 0;
    if (!f)
        return -1;
    T value = 0;
    int n = fscanf(f, format, &value);
    fclose(f);
    if (n != 1)
        return -2;
    *out = value;
    return 0;
}

template <class T> int write_number(const char *path, const char *format, T value)
{
    FILE *f = os::fopen(path, "we");
    if (!f)
        return -1;
    int n = fprintf(f, format, value);
    if (fclose(f) != 0 && n >= 0)
        n = -1;
    return n;
}

} // namespace

int parseIntHex(int *out, const char *path)
{
    unsigned int v = 0;
    int r = read_number(&v, path, "%x");
    *out = static_cast<int>(v);
    return r;
}

int parseInt(int *out, const char *path) { return read_number(out, path, "%d"); }

int parseFloat(float *out, const char *path) { return read_number(out, path, "%f"); }

int parseString(char *out, size_t out_size, const char *path)
{
    FILE *f = os::fopen(path, "re");
    if (out_size > 0)
        out[0] = '\0';
    if (!f)
        return -1;
    // "%s" with the buffer's bound: skip leading white space, take one word,
    // and drop what does not fit rather than overrun the buffer.
    int c;
    do
        c = fgetc(f);
    while (c != EOF && isspace(c));
    size_t len = 0;
    bool got = false;
    while (c != EOF && !isspace(c)) {
        got = true;
        if (len + 1 < out_size)
            out[len++] = static_cast<char>(c);
        c = fgetc(f);
    }
    fclose(f);
    if (out_size > 0)
        out[len] = '\0';
    return got ? 0 : -2;
}

int writeIntHex(const char *path, int value) { return write_number(path, "%x", static_cast<unsigned int>(value)); }

int writeInt(const char *path, int value) { return write_number(path, "%d", value); }
