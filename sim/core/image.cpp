#include "core/image.h"
#include "core/sanitizer.h"

#include <cstdio>
#include <cstring>
#include <map>

#if BOXSIM_HAVE_PNG
#include <png.h>
#endif

namespace boxsim {

namespace {

struct Provider {
    PictureSource source;
    PictureStamp stamp;
};

std::map<std::string, Provider> &sources()
{
    static std::map<std::string, Provider> map;
    return map;
}

#if BOXSIM_HAVE_PNG
// Row y of a picture as the PNG file's bytes: RGB, or RGBA.
BOXSIM_PRIVATE_PIXELS void pack_row(const Image &img, int y, bool opaque, unsigned char *p)
{
    const uint32_t *row = &img.argb[static_cast<size_t>(y) * img.width];
    for (int x = 0; x < img.width; ++x) {
        uint32_t c = row[x];
        *p++ = static_cast<unsigned char>(c >> 16);
        *p++ = static_cast<unsigned char>(c >> 8);
        *p++ = static_cast<unsigned char>(c);
        if (!opaque)
            *p++ = static_cast<unsigned char>(c >> 24);
    }
}

// A PNG file's RGBA bytes as pixels 0xAARRGGBB.
BOXSIM_PRIVATE_PIXELS void unpack_rgba(const unsigned char *rgba, size_t n, uint32_t *out)
{
    for (size_t i = 0; i < n; ++i, rgba += 4)
        out[i] = static_cast<uint32_t>(rgba[3]) << 24 | static_cast<uint32_t>(rgba[0]) << 16 |
                 static_cast<uint32_t>(rgba[1]) << 8 | rgba[2];
}

bool encode(const Image &img, bool opaque, png_rw_ptr writer, void *io)
{
    if (img.width <= 0 || img.height <= 0 || img.argb.size() < static_cast<size_t>(img.width) * img.height)
        return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    std::vector<unsigned char> row(static_cast<size_t>(img.width) * 4);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        return false;
    }
    png_set_write_fn(png, io, writer, nullptr);
    png_set_IHDR(png, info, static_cast<png_uint_32>(img.width), static_cast<png_uint_32>(img.height), 8,
                 opaque ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, 3);
    // Each row against the one above it: screens are mostly flat areas, and
    // trying every filter on every row took three times as long (29 ms
    // against 11 ms for a console picture) for files 8 % smaller.
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_UP);
    png_write_info(png, info);
    for (int y = 0; y < img.height; ++y) {
        pack_row(img, y, opaque, row.data());
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

void write_to_file(png_structp png, png_bytep data, png_size_t len)
{
    FILE *f = static_cast<FILE *>(png_get_io_ptr(png));
    if (fwrite(data, 1, len, f) != len)
        png_error(png, "write failed");
}

void write_to_vector(png_structp png, png_bytep data, png_size_t len)
{
    auto *v = static_cast<std::vector<unsigned char> *>(png_get_io_ptr(png));
    v->insert(v->end(), data, data + len);
}

// libpng reports a damaged file through this and a long jump; the message
// is kept for the caller.
void read_error(png_structp png, png_const_charp msg)
{
    if (auto *why = static_cast<std::string *>(png_get_error_ptr(png)))
        *why = msg;
    png_longjmp(png, 1);
}

void read_warning(png_structp, png_const_charp) {}

constexpr png_uint_32 kMaxReadSide = 8192;
#endif


} // namespace

bool write_png(const Image &img, const std::string &path, bool opaque)
{
#if BOXSIM_HAVE_PNG
    // Written beside the target and renamed, so nothing half-written is left.
    std::string tmp = path + ".part";
    FILE *f = fopen(tmp.c_str(), "wb");
    if (!f)
        return false;
    bool ok = encode(img, opaque, write_to_file, f);
    ok = (fclose(f) == 0) && ok;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        remove(tmp.c_str());
        return false;
    }
    return true;
#else
    (void)img;
    (void)path;
    (void)opaque;
    return false;
#endif
}

bool encode_png(const Image &img, std::vector<unsigned char> &out, bool opaque)
{
    out.clear();
#if BOXSIM_HAVE_PNG
    return encode(img, opaque, write_to_vector, &out);
#else
    (void)img;
    (void)opaque;
    return false;
#endif
}

std::optional<Image> read_png(const std::string &path, std::string &err)
{
#if BOXSIM_HAVE_PNG
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) {
        err = "cannot read " + path;
        return std::nullopt;
    }
    unsigned char sig[8];
    if (fread(sig, 1, sizeof sig, f) != sizeof sig || png_sig_cmp(sig, 0, sizeof sig) != 0) {
        fclose(f);
        err = path + " is not a PNG file";
        return std::nullopt;
    }
    std::string why;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &why, read_error, read_warning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    // Declared before the jump point, so that a jump back from a damaged
    // file skips no destructor.
    std::vector<unsigned char> all;
    std::vector<png_bytep> rows;
    if (!png || !info || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(png ? &png : nullptr, info ? &info : nullptr, nullptr);
        fclose(f);
        err = path + " is a damaged PNG file" + (why.empty() ? "" : ": " + why);
        return std::nullopt;
    }
    png_init_io(png, f);
    png_set_sig_bytes(png, sizeof sig);
    png_set_user_limits(png, kMaxReadSide, kMaxReadSide);
    png_read_info(png, info);
    // Whatever the file holds, the rows come out as 8-bit RGBA.
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    png_uint_32 w = png_get_image_width(png, info), h = png_get_image_height(png, info);
    if (png_get_rowbytes(png, info) != static_cast<size_t>(w) * 4)
        png_error(png, "unexpected row layout");
    all.resize(static_cast<size_t>(w) * h * 4);
    rows.resize(h);
    for (png_uint_32 y = 0; y < h; ++y)
        rows[y] = all.data() + static_cast<size_t>(y) * w * 4;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    fclose(f);
    std::optional<Image> img(std::in_place);
    img->width = static_cast<int>(w);
    img->height = static_cast<int>(h);
    img->argb.resize(static_cast<size_t>(w) * h);
    unpack_rgba(all.data(), img->argb.size(), img->argb.data());
    return img;
#else
    err = "cannot read " + path + ": this build has no PNG library";
    return std::nullopt;
#endif
}

void register_picture(const std::string &name, PictureSource source, PictureStamp stamp)
{
    sources()[name] = {std::move(source), std::move(stamp)};
}

std::optional<Image> picture(Box &box, const std::string &name)
{
    auto it = sources().find(name);
    if (it == sources().end())
        return std::nullopt;
    return it->second.source(box);
}

std::optional<uint64_t> picture_stamp(Box &box, const std::string &name)
{
    auto it = sources().find(name);
    if (it == sources().end() || !it->second.stamp)
        return std::nullopt;
    return it->second.stamp(box);
}

std::vector<std::string> picture_names()
{
    std::vector<std::string> names;
    for (auto &kv : sources())
        names.push_back(kv.first);
    return names;
}

// Every framebuffer blit compares the whole page with the presented copy,
// so this is most of what a console run costs the simulator. The C
// library's memcmp stops at the first differing byte and branches for every
// word; on the box's own processor under the emulator that was three times
// slower than folding differences into one word and branching once per
// block. The block is 128 bytes, walked by pointers: under the emulator
// every branch ends a block of translated code, and a loop counter and its
// address arithmetic cost as many instructions as the loads. Alone, this
// form compared a 1280 x 720 page there in 1.2 to 1.9 ms against 2.6 to
// 3.0 ms for 32-byte blocks indexed from the start; a whole console chaos
// seed of the box's build took 3 % less processor time. On the development
// machine the two forms take the same time. Under the
// address checker memcmp stays: its interceptor checks both ranges once and
// compares at native speed, where a loop would have every load checked.
// Under the race detector the loop reads unchecked: what is found changed
// is still copied with memcpy, which the detector checks, so a drawing that
// races a blit or an LCD write is still reported (a write that leaves the
// bytes as they were changes nothing). On an x86-64 development machine the
// C library's memcmp reads 32 or 64 bytes a step with vector loads, as fast
// as the loop there.
#if defined(BOXSIM_ASAN) || (defined(__x86_64__) && !defined(BOXSIM_TSAN))
bool same_bytes(const unsigned char *a, const unsigned char *b, size_t n) { return memcmp(a, b, n) == 0; }
#else
#ifdef BOXSIM_TSAN
__attribute__((no_sanitize("thread")))
#endif
bool same_bytes(const unsigned char *a, const unsigned char *b, size_t n)
{
    using word = uintptr_t;  // the processor's own width: 4 bytes on the box
    constexpr size_t kWords = 128 / sizeof(word);
    size_t i = 0;
    // Rows start word-aligned; said so, the compiler loads whole words
    // instead of assembling each from unaligned halves.
    if (((reinterpret_cast<uintptr_t>(a) | reinterpret_cast<uintptr_t>(b)) % sizeof(word)) == 0) {
        // Loaded in place, with no helper function: the race detector's
        // build would not inline one into this function, and would check
        // every load it makes.
        const auto *x = static_cast<const unsigned char *>(__builtin_assume_aligned(a, sizeof(word)));
        const auto *y = static_cast<const unsigned char *>(__builtin_assume_aligned(b, sizeof(word)));
        const size_t words = n / sizeof(word);
        for (const unsigned char *end = x + words / kWords * kWords * sizeof(word); x != end;
             x += kWords * sizeof(word), y += kWords * sizeof(word)) {
            word d = 0;
#pragma GCC unroll 32
            for (size_t k = 0; k < kWords; ++k) {
                word u, v;
                __builtin_memcpy(&u, x + k * sizeof(word), sizeof u);
                __builtin_memcpy(&v, y + k * sizeof(word), sizeof v);
                d |= u ^ v;
            }
            if (d)
                return false;
        }
        for (const unsigned char *end = x + words % kWords * sizeof(word); x != end;
             x += sizeof(word), y += sizeof(word)) {
            word u, v;
            __builtin_memcpy(&u, x, sizeof u);
            __builtin_memcpy(&v, y, sizeof v);
            if (u != v)
                return false;
        }
        i = words * sizeof(word);
    }
    for (; i < n; ++i)
        if (a[i] != b[i])
            return false;
    return true;
}
#endif

// Four independent lanes of multiply-and-rotate over 8-byte words keep it
// near memory speed, also on a 32-bit processor, where a multiply per byte
// cost many times the frame's copy. The race detector does not check its
// reads, as it does not the compare's: the framebuffer rows and LCD frames
// the simulator hashes are also copied with memcpy, which it checks.
#ifdef BOXSIM_TSAN
__attribute__((no_sanitize("thread")))
#endif
uint64_t hash_bytes(const unsigned char *p, size_t n, uint64_t seed)
{
    constexpr uint64_t k1 = 0x9E3779B185EBCA87ull, k2 = 0xC2B2AE3D27D4EB4Full;
    auto round = [](uint64_t acc, uint64_t v) {
        acc += v * k2;
        acc = (acc << 31) | (acc >> 33);
        return acc * k1;
    };
    uint64_t lane[4] = {seed + k1 + k2, seed + k2, seed, seed - k1};
    size_t i = 0;
    for (; i + 32 <= n; i += 32)
        for (int l = 0; l < 4; ++l) {
            uint64_t v;
            memcpy(&v, p + i + 8 * l, 8);
            lane[l] = round(lane[l], v);
        }
    uint64_t h = n * k1;
    for (int l = 0; l < 4; ++l)
        h = (h ^ round(0, lane[l])) * k1 + k2;
    for (; i < n; ++i)
        h = (h ^ p[i]) * 0x100000001b3ull;
    h ^= h >> 33;
    h *= k2;
    h ^= h >> 29;
    return h;
}

} // namespace boxsim
