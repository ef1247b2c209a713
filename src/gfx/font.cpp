// The bitmap font engine: opening the built-in resource image, finding its
// blocks, selecting fonts and strings, and measuring and drawing byte strings
// into packed pixel surfaces.
#include "gfx/font.h"

#include <array>
#include <atomic>
#include <bit>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

BMF_ResourceHandle gResHdle;

uint8_t *g_lfb;
int g_xres;
int g_yres;
int g_pitch;

namespace {

constexpr size_t kHeaderLength = 20;
constexpr uint32_t kTransparent = 0xFFFFFFFFu;
// Targets this narrow (the small front-panel LCD) draw every glyph one
// column tighter.
constexpr int kNarrowWidth = 220;
constexpr int kMaxScale = 255;
constexpr int kMaxGlyphColumns = 32;

uint32_t rd16(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
}

// A little-endian word of the image, as one load (glyph rows are read for
// every drawn glyph; built up from bytes, the compiler's vector loops over
// rows shuffle bytes instead).
uint32_t rd32(const uint8_t *p)
{
    uint32_t w;
    memcpy(&w, p, sizeof w);
    if constexpr (std::endian::native == std::endian::big)
        w = __builtin_bswap32(w);
    return w;
}

enum BlockKind { KIND_STR, KIND_FNT, KIND_BMP, KIND_PIC, KIND_NONE };

// Kind of a block header: the whole NUL-terminated kind word must match.
BlockKind block_kind(const uint8_t *block)
{
    static const char *const names[] = {"STR", "FNT", "BMP", "PIC"};
    for (int k = 0; k < 4; ++k)
        if (memcmp(block, names[k], 4) == 0)
            return static_cast<BlockKind>(k);
    return KIND_NONE;
}

const uint8_t ***kind_table(BMF_ResourceHandle h, BlockKind kind, uint32_t **count)
{
    switch (kind) {
    case KIND_STR: *count = &h->strCount; return &h->strBlocks;
    case KIND_FNT: *count = &h->fntCount; return &h->fntBlocks;
    case KIND_BMP: *count = &h->bmpCount; return &h->bmpBlocks;
    case KIND_PIC: *count = &h->picCount; return &h->picBlocks;
    case KIND_NONE: break;
    }
    *count = nullptr;
    return nullptr;
}

void free_handle(BMF_ResourceHandle h)
{
    delete[] h->strBlocks;
    delete[] h->fntBlocks;
    delete[] h->bmpBlocks;
    delete[] h->picBlocks;
    delete[] h->strings;
    delete h;
}

const uint8_t *font_bitmaps(const uint8_t *font)
{
    return font + 40 + rd16(font + 8) + (font[11] & 3);
}

bool narrow_target()
{
    return g_xres <= kNarrowWidth;
}

// A colour as the bytes of one pixel in the surface's own format: 32-bit
// words, or the low 16 bits, little-endian.
struct PixelBytes {
    uint8_t b[4];
    explicit PixelBytes(uint32_t colour)
        : b{static_cast<uint8_t>(colour), static_cast<uint8_t>(colour >> 8), static_cast<uint8_t>(colour >> 16),
            static_cast<uint8_t>(colour >> 24)}
    {
    }
};

// A colour as the word a 16- or 32-bit surface holds, made from its bytes so
// that it is stored low byte first on any host.
template <typename Word> Word pixel_word(const PixelBytes &px)
{
    Word w;
    memcpy(&w, px.b, sizeof w);
    return w;
}

// Stores the pixel into columns [xa, xb) of one row. The fixed pixel size
// lets the compiler make each store one word and the loop a vector loop.
template <int Bytes> inline void store_run(uint8_t *row, int xa, int xb, const PixelBytes &px)
{
    uint8_t *p = row + static_cast<size_t>(xa) * Bytes;
    for (int x = xa; x < xb; ++x, p += Bytes)
        memcpy(p, px.b, Bytes);
}

// Fills a block of the text rectangle (columns x0.., rows y0..), keeping to
// the part that lies on the surface. Surfaces of other depths than 16 and 32
// bits get nothing.
void fill_block(const BMF_RenderTarget *t, int x0, int y0, int w, int h, const PixelBytes &px)
{
    int xa = x0 > t->clip_x ? x0 : t->clip_x;
    int ya = y0 > t->clip_y ? y0 : t->clip_y;
    int xb = x0 + w < t->clip_x + t->clip_w ? x0 + w : t->clip_x + t->clip_w;
    int yb = y0 + h < t->clip_y + t->clip_h ? y0 + h : t->clip_y + t->clip_h;
    if (xa >= xb || ya >= yb)
        return;
    const size_t stride =
        t->stride > 0 ? static_cast<size_t>(t->stride) : static_cast<size_t>(t->clip_w) * t->bytes_per_pixel;
    uint8_t *row = t->pixels + static_cast<size_t>(ya - t->clip_y) * stride;
    xa -= t->clip_x;
    xb -= t->clip_x;
    for (int y = ya; y < yb; ++y, row += stride) {
        if (t->bytes_per_pixel == 4)
            store_run<4>(row, xa, xb, px);
        else if (t->bytes_per_pixel == 2)
            store_run<2>(row, xa, xb, px);
    }
}

// One glyph row of an upright glyph into one row of the surface. The glyph's
// left edge is at x0 of the text rectangle and each glyph column is hscale
// pixels wide (mirrored: column 0 at the right); `row` is the row's first
// pixel on the surface, which holds the rectangle's columns [clip_x, clip_x +
// clip_w). Runs of set bits are stored as spans. Glyphs that are mirrored,
// scaled or cut at the left or right edge, and opaque glyphs wider than 32
// columns, take this way; the others take whole_upright_glyph below.
// An opaque background is laid under the whole glyph first; every pixel ends
// as foreground or background exactly as when drawn one by one.
template <int Bytes>
void glyph_row(uint8_t *row, const BMF_RenderTarget *t, uint32_t bits, int width, int x0, bool mirrored, int hscale,
               bool opaque, const PixelBytes &fg, const PixelBytes &bg)
{
    const int lo = t->clip_x, hi = t->clip_x + t->clip_w;
    auto span = [&](int xa, int xb, const PixelBytes &px) {
        if (xa < lo)
            xa = lo;
        if (xb > hi)
            xb = hi;
        if (xa < xb)
            store_run<Bytes>(row, xa - lo, xb - lo, px);
    };
    if (opaque)
        span(x0, x0 + width * hscale, bg);
    while (bits != 0) {
        const int c = __builtin_clz(bits);
        const uint32_t rest = ~(bits << c);
        const int n = rest == 0 ? 32 - c : __builtin_clz(rest);  // the run's length
        bits &= ~((n >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> n)) >> c);
        if (mirrored)
            span(x0 + (width - c - n) * hscale, x0 + (width - c) * hscale, fg);
        else
            span(x0 + c * hscale, x0 + (c + n) * hscale, fg);
    }
}

// Upright glyphs at scale 1 that lie on the surface from their left to
// their right edge: every text of the TV and the panel. They are stored in
// one of three ways, the widest the processor has (BMF_LimitGlyphStores):
//
// - Chunks of several pixels (16 bytes where the processor has vector
//   registers, else a machine word; 32 bytes where it has AVX2), with masks
//   made from as many glyph bits: set bits take the foreground, the glyph
//   box's clear bits the background when it is opaque, and every other pixel
//   a chunk covers is read and written back unchanged. So a glyph's chunks
//   may reach into its neighbours' columns of the text rectangle (never past
//   the part of it on the surface), and a glyph row of 9 to 16 pixels takes
//   two chunks of 8 on a 16-bit surface instead of a few words and a tail of
//   single pixels; only where the surface's part of the rectangle is
//   narrower than the chunks are the last pixels stored one by one.
// - Masked stores of 16 pixels (AVX-512): the glyph bits are the store's
//   mask, so exactly the glyph's pixels are written and none is read; a
//   glyph row up to 16 pixels wide is one store.
//
// Each way runs the same number of steps for every row of a glyph, whatever
// its bits: storing the short runs of set bits one by one cost a mispredicted
// loop exit per run, most of the drawing's time.
#if defined(__SSE2__) || defined(__ARM_NEON)
typedef uint8_t Chunk __attribute__((vector_size(16)));
#else
using Chunk = uintptr_t;  // the machine word
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#define BMF_X86_GLYPH_STORES 1
typedef uint8_t WideChunk __attribute__((vector_size(32)));
#endif

#define BMF_INLINE inline __attribute__((always_inline))

template <typename Word, typename C> constexpr int kLanes = static_cast<int>(sizeof(C) / sizeof(Word));

// A chunk from its pixels, the first at the lowest address. (Chunks are
// passed by reference: a 32-byte vector passed by value between functions
// built for different processors would change the calling convention.)
template <typename C, typename Word> BMF_INLINE void chunk_of(C &c, const Word *lanes)
{
    memcpy(&c, lanes, sizeof c);
}

// lanes[v]: the chunk's pixels whose bit is set in v all ones, the others
// zero; the first pixel (lowest address) takes v's top bit.
template <typename Word, int n> struct ChunkMasks {
    Word lanes[1 << n][n];
    constexpr ChunkMasks() : lanes{}
    {
        for (int v = 0; v < (1 << n); ++v)
            for (int j = 0; j < n; ++j)
                lanes[v][j] = ((v >> (n - 1 - j)) & 1) != 0 ? static_cast<Word>(~Word{0}) : Word{0};
    }
};

// The chunk whose pixels are all ones where the top bits of v are set, one
// bit a pixel, the first pixel the top bit: from a table for chunks of up to
// 16 bytes, else by testing each pixel's own bit of v spread over all pixels.
template <typename Word, typename C> BMF_INLINE void chunk_mask(C &out, uint64_t v)
{
    constexpr int n = kLanes<Word, C>;
    if constexpr (sizeof(C) <= 16) {
        static constexpr ChunkMasks<Word, n> masks;
        chunk_of(out, masks.lanes[v >> (64 - n)]);
    } else {
        typedef Word Lanes __attribute__((vector_size(sizeof(C))));
        Lanes bit;
        for (int j = 0; j < n; ++j)
            bit[j] = static_cast<Word>(Word{1} << (n - 1 - j));
        const Lanes spread = Lanes{} + static_cast<Word>(v >> (64 - n));
        const auto set = (spread & bit) == bit;
        static_assert(sizeof set == sizeof out);
        memcpy(&out, &set, sizeof out);
    }
}

// The rows [r0, r1) and columns [c0, c1) of a glyph's box that are stored:
// all of it (within the surface's rows) under an opaque background, else the
// rows and columns its set bits span; false when a transparent glyph has no
// ink on the surface. At scale 1 glyph rows are the rectangle's rows.
template <bool Opaque>
BMF_INLINE bool glyph_extent(const BMF_RenderTarget *t, const uint8_t *glyph, int h, int width, uint32_t column_mask,
                             int &r0, int &r1, int &c0, int &c1)
{
    r0 = t->clip_y;
    r1 = h < t->clip_y + t->clip_h ? h : t->clip_y + t->clip_h;
    c0 = 0;
    c1 = width;
    if (Opaque)
        return true;
    uint32_t ink = 0;
    for (int r = r0; r < r1; ++r)
        ink |= rd32(glyph + static_cast<size_t>(r) * 4);
    ink &= column_mask;
    if (ink == 0)
        return false;
    c0 = __builtin_clz(ink);
    c1 = 32 - __builtin_ctz(ink);
    while ((rd32(glyph + static_cast<size_t>(r0) * 4) & column_mask) == 0)
        ++r0;
    while ((rd32(glyph + static_cast<size_t>(r1 - 1) * 4) & column_mask) == 0)
        --r1;
    return true;
}

// The glyph in chunks of type C. An opaque glyph here is at most 32 columns
// wide (its box's mask is a 64-bit row with room for the chunks' reach on
// either side).
template <typename Word, bool Opaque, typename C>
BMF_INLINE void chunked_glyph(const BMF_RenderTarget *t, const uint8_t *glyph, int h, int width, uint32_t column_mask,
                              int pen, Word fg, Word bg)
{
    constexpr int n = kLanes<Word, C>;
    int r0, r1, c0, c1;
    if (!glyph_extent<Opaque>(t, glyph, h, width, column_mask, r0, r1, c0, c1))
        return;
    Word fg_lanes[n], bg_lanes[n];
    for (int j = 0; j < n; ++j) {
        fg_lanes[j] = fg;
        bg_lanes[j] = bg;
    }
    C fgs, bgs;
    chunk_of(fgs, fg_lanes);
    chunk_of(bgs, bg_lanes);
    const size_t stride = t->stride > 0 ? static_cast<size_t>(t->stride) : static_cast<size_t>(t->clip_w) * sizeof(Word);
    // In pixels of the surface's row (0 is the rectangle's column clip_x):
    // the columns [lo, hi) take k chunks from s, which moves left when the
    // chunks would end past the row; what the row has no room for in whole
    // chunks is stored a pixel at a time after them.
    const int row_w = t->clip_w;
    const int box = pen - t->clip_x;
    const int lo = box + c0, hi = box + c1;
    // (All of these are at least 0: counted unsigned, the divisions are shifts.)
    const int k = static_cast<int>(static_cast<unsigned>(hi - lo + n - 1) / n);
    int s = lo;
    if (s + k * n > row_w)
        s = row_w - k * n > 0 ? row_w - k * n : 0;
    const int room = static_cast<int>(static_cast<unsigned>(row_w - s) / n);
    const int chunks = room < k ? room : k, after = s + chunks * n;
    // Glyph rows as 64-bit rows whose top bit is column s: the box's column
    // d = s - box (from -(n - 1) to c0) is shifted to the top, a glyph row
    // (column 0 its top bit) by 32 + d.
    const int d = s - box, shift = 32 + d;
    const uint64_t box_bits = Opaque ? uint64_t{column_mask} << shift : 0;  // the box: width <= 32 here
    uint8_t *row = t->pixels + static_cast<size_t>(r0 - t->clip_y) * stride + static_cast<size_t>(s) * sizeof(Word);
    for (int r = r0; r < r1; ++r, row += stride) {
        const uint32_t g = rd32(glyph + static_cast<size_t>(r) * 4) & column_mask;
        if (!Opaque && g == 0)
            continue;
        uint64_t v = uint64_t{g} << shift, b = box_bits;
        uint8_t *p = row;
        for (int i = 0; i < chunks; ++i, p += sizeof(C), v <<= n, b <<= n) {
            C under, set, out;
            memcpy(&under, p, sizeof under);
            chunk_mask<Word>(set, v);
            if (Opaque) {
                C in_box;
                chunk_mask<Word>(in_box, b);
                const C inner = bgs ^ ((bgs ^ fgs) & set);
                out = under ^ ((under ^ inner) & in_box);
            } else {
                out = under ^ ((under ^ fgs) & set);
            }
            memcpy(p, &out, sizeof out);
        }
        for (int x = after; x < hi; ++x, p += sizeof(Word), v <<= 1, b <<= 1) {
            Word out;
            memcpy(&out, p, sizeof out);
            if ((v >> 63) != 0)
                out = fg;
            else if (Opaque && (b >> 63) != 0)
                out = bg;
            memcpy(p, &out, sizeof out);
        }
    }
}

template <typename Word, bool Opaque>
void glyph_in_chunks(const BMF_RenderTarget *t, const uint8_t *glyph, int h, int width, uint32_t column_mask, int pen,
                     Word fg, Word bg)
{
    chunked_glyph<Word, Opaque, Chunk>(t, glyph, h, width, column_mask, pen, fg, bg);
}

#ifdef BMF_X86_GLYPH_STORES
template <typename Word, bool Opaque>
__attribute__((target("avx2"))) void glyph_in_wide_chunks(const BMF_RenderTarget *t, const uint8_t *glyph, int h,
                                                          int width, uint32_t column_mask, int pen, Word fg, Word bg)
{
    chunked_glyph<Word, Opaque, WideChunk>(t, glyph, h, width, column_mask, pen, fg, bg);
}

// The glyph in masked stores of 16 pixels (32 bytes on a 16-bit surface, 64
// on a 32-bit one) from its first column stored: a store's mask is the set
// bits of 16 glyph columns (and for an opaque glyph the box's columns, which
// take the background where no bit is set), so nothing outside the glyph's
// box is written, however near the surface's edge the glyph lies.
template <typename Word, bool Opaque>
__attribute__((target("avx512f,avx512bw,avx512vl"))) void
glyph_in_masked_stores(const BMF_RenderTarget *t, const uint8_t *glyph, int h, int width, uint32_t column_mask,
                       int pen, Word fg, Word bg)
{
    constexpr int n = 16;
    int r0, r1, c0, c1;
    if (!glyph_extent<Opaque>(t, glyph, h, width, column_mask, r0, r1, c0, c1))
        return;
    const size_t stride = t->stride > 0 ? static_cast<size_t>(t->stride) : static_cast<size_t>(t->clip_w) * sizeof(Word);
    const int lo = pen - t->clip_x + c0;
    const int steps = (c1 - c0 + n - 1) / n;
    // Glyph rows as 64-bit rows whose top bit is column c0.
    const int shift = 32 + c0;
    const uint64_t box_bits = Opaque ? uint64_t{column_mask} << shift : 0;
    uint8_t *row = t->pixels + static_cast<size_t>(r0 - t->clip_y) * stride + static_cast<size_t>(lo) * sizeof(Word);
    // Bit 15 - j of a step's 16 glyph bits belongs to its pixel j.
    const __m256i bit16 = _mm256_setr_epi16(-32768, 1 << 14, 1 << 13, 1 << 12, 1 << 11, 1 << 10, 1 << 9, 1 << 8,
                                            1 << 7, 1 << 6, 1 << 5, 1 << 4, 1 << 3, 1 << 2, 1 << 1, 1);
    const __m512i bit32 = _mm512_setr_epi32(1 << 15, 1 << 14, 1 << 13, 1 << 12, 1 << 11, 1 << 10, 1 << 9, 1 << 8,
                                            1 << 7, 1 << 6, 1 << 5, 1 << 4, 1 << 3, 1 << 2, 1 << 1, 1);
    const __m256i fg16 = _mm256_set1_epi16(static_cast<short>(fg)), bg16 = _mm256_set1_epi16(static_cast<short>(bg));
    const __m512i fg32 = _mm512_set1_epi32(static_cast<int>(fg)), bg32 = _mm512_set1_epi32(static_cast<int>(bg));
    for (int r = r0; r < r1; ++r, row += stride) {
        const uint32_t g = rd32(glyph + static_cast<size_t>(r) * 4) & column_mask;
        if (!Opaque && g == 0)
            continue;
        uint64_t v = uint64_t{g} << shift, b = box_bits;
        uint8_t *p = row;
        for (int i = 0; i < steps; ++i, p += n * sizeof(Word), v <<= n, b <<= n) {
            const int set_bits = static_cast<int>(v >> 48), box_bits16 = static_cast<int>(b >> 48);
            if constexpr (sizeof(Word) == 2) {
                const __mmask16 set = _mm256_test_epi16_mask(_mm256_set1_epi16(static_cast<short>(set_bits)), bit16);
                if (Opaque) {
                    const __mmask16 in_box =
                        _mm256_test_epi16_mask(_mm256_set1_epi16(static_cast<short>(box_bits16)), bit16);
                    _mm256_mask_storeu_epi16(p, in_box, _mm256_mask_blend_epi16(set, bg16, fg16));
                } else {
                    _mm256_mask_storeu_epi16(p, set, fg16);
                }
            } else {
                const __mmask16 set = _mm512_test_epi32_mask(_mm512_set1_epi32(set_bits), bit32);
                if (Opaque) {
                    const __mmask16 in_box = _mm512_test_epi32_mask(_mm512_set1_epi32(box_bits16), bit32);
                    _mm512_mask_storeu_epi32(p, in_box, _mm512_mask_blend_epi32(set, bg32, fg32));
                } else {
                    _mm512_mask_storeu_epi32(p, set, fg32);
                }
            }
        }
    }
}

// The widest way this processor has.
int widest_glyph_stores()
{
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl"))
        return BMF_STORES_MASKED;
    if (__builtin_cpu_supports("avx2"))
        return BMF_STORES_WIDE_CHUNKS;
    return BMF_STORES_CHUNKS;
}
#else
int widest_glyph_stores()
{
    return BMF_STORES_CHUNKS;
}
#endif

// The way in use; -1 until the first glyph (or BMF_LimitGlyphStores) asks.
std::atomic<int> g_glyph_stores{-1};

[[maybe_unused]] int glyph_stores()
{
    int way = g_glyph_stores.load(std::memory_order_relaxed);
    if (way < 0) {
        way = widest_glyph_stores();
        g_glyph_stores.store(way, std::memory_order_relaxed);
    }
    return way;
}

template <typename Word, bool Opaque>
void whole_upright_glyph(const BMF_RenderTarget *t, const uint8_t *glyph, int h, int width, uint32_t column_mask,
                         int pen, Word fg, Word bg)
{
#ifdef BMF_X86_GLYPH_STORES
    switch (glyph_stores()) {
    case BMF_STORES_MASKED:
        return glyph_in_masked_stores<Word, Opaque>(t, glyph, h, width, column_mask, pen, fg, bg);
    case BMF_STORES_WIDE_CHUNKS:
        return glyph_in_wide_chunks<Word, Opaque>(t, glyph, h, width, column_mask, pen, fg, bg);
    default:
        break;
    }
#endif
    glyph_in_chunks<Word, Opaque>(t, glyph, h, width, column_mask, pen, fg, bg);
}

} // namespace

// ---------------------------------------------------------------------------
// Resource image

BMF_ResourceHandle BMF_GetSystemResourceHandle(const uint8_t *image)
{
    if (!image)
        return nullptr;
    BMF_ResourceHandle h = new (std::nothrow) BMF_Resource{};
    if (!h)
        return nullptr;

    const uint32_t blocks = rd32(image + 12);
    if (memcmp(image, "SYS", 4) != 0 && rd32(image + 4) != 0 && blocks != 0) {
        delete h;
        return nullptr;
    }

    const uint8_t *block = image + kHeaderLength;
    for (uint32_t i = 0; i < blocks; ++i) {
        uint32_t *count;
        if (kind_table(h, block_kind(block), &count))
            ++*count;
        block = image + rd32(block + 4);
    }
    for (int k = KIND_STR; k <= KIND_PIC; ++k) {
        uint32_t *count;
        const uint8_t ***table = kind_table(h, static_cast<BlockKind>(k), &count);
        if (*count == 0)
            continue;
        *table = new (std::nothrow) const uint8_t *[*count];
        if (!*table) {
            free_handle(h);
            return nullptr;
        }
    }

    uint32_t filled[4] = {};
    block = image + kHeaderLength;
    for (uint32_t i = 0; i < blocks; ++i) {
        BlockKind kind = block_kind(block);
        uint32_t *count;
        const uint8_t ***table = kind_table(h, kind, &count);
        if (table && filled[kind] < *count)
            (*table)[filled[kind]++] = block + rd32(block + 12);
        block = image + rd32(block + 4);
    }
    return h;
}

const uint8_t *BMF_GetBlockHandle(BMF_ResourceHandle handle, const char *name)
{
    if (!handle || !name || strlen(name) <= 8)
        return nullptr;
    // Characters 4 to 6 give the kind, the text from 8 on the number.
    char kind_name[4] = {name[4], name[5], name[6], 0};
    uint32_t *count;
    const uint8_t ***table = kind_table(handle, block_kind(reinterpret_cast<const uint8_t *>(kind_name)), &count);
    if (!table)
        return nullptr;
    const uint32_t number = static_cast<uint32_t>(strtol(name + 8, nullptr, 10)) & 0xFF;
    return number < *count ? (*table)[number] : nullptr;
}

const uint8_t *BMF_SetBasicFontBlock(BMF_ResourceHandle handle, const uint8_t *font)
{
    if (!handle)
        return nullptr;
    const uint8_t *old = handle->basicFont;
    if (!font || font == old)
        return old;
    handle->basicFont = font;
    handle->basicHeight = rd16(font + 2);
    handle->basicGlyphCount = rd16(font + 8);
    handle->basicFirstCode = rd16(font + 4);
    handle->basicLastCode = rd16(font + 6);
    handle->basicWidths = font + 40;
    handle->basicBitmaps = font_bitmaps(font);
    return old;
}

const uint8_t *BMF_SetExtendFontBlock(BMF_ResourceHandle handle, const uint8_t *font, uint32_t mode)
{
    if (!handle)
        return nullptr;
    const uint8_t *old = handle->extFont;
    if (!font)
        return old;
    // Selecting the current font again still takes the new mode, so a caller
    // can switch between single- and double-byte text.
    handle->extMode = mode;
    if (font == old)
        return old;
    handle->extFont = font;
    handle->extGlyphCount = rd16(font + 8);
    handle->extFirstCode = rd16(font + 4);
    handle->extLastCode = rd16(font + 6);
    handle->extWidths = font + 40;
    handle->extBitmaps = font_bitmaps(font);
    return old;
}

const uint8_t *BMF_SetStringBlock(BMF_ResourceHandle handle, const uint8_t *strings)
{
    if (!handle)
        return nullptr;
    const uint8_t *old = handle->stringBlock;
    if (!strings || strings == old)
        return old;
    delete[] handle->strings;
    handle->strings = nullptr;
    handle->stringCount = 0;
    handle->stringBlock = strings;

    const uint32_t count = rd16(strings);
    if (count == 0)
        return old;
    handle->strings = new (std::nothrow) const uint8_t *[count];
    if (!handle->strings)
        return old;
    handle->stringCount = count;
    const uint8_t *p = strings + 8;
    for (uint32_t i = 0; i < count; ++i) {
        handle->strings[i] = p;
        ++p;  // strings are never empty
        while (*p)
            ++p;
        ++p;
    }
    return old;
}

const char *BMF_GetString(BMF_ResourceHandle handle, uint32_t index)
{
    if (!handle || !handle->stringBlock || index >= handle->stringCount)
        return nullptr;
    return reinterpret_cast<const char *>(handle->strings[index]);
}

int BMF_GetFontDetails(const uint8_t *font, BMF_FontDetails *details)
{
    if (!font || !details)
        return 1;
    details->maxWidth = static_cast<uint16_t>(rd16(font + 0));
    details->height = static_cast<uint16_t>(rd16(font + 2));
    details->firstCode = static_cast<uint16_t>(rd16(font + 4));
    details->lastCode = static_cast<uint16_t>(rd16(font + 6));
    details->glyphCount = static_cast<uint16_t>(rd16(font + 8));
    details->attrA = font[10];
    details->attrB = static_cast<uint8_t>(font[11] >> 2) & 0x3F;
    details->faceName = reinterpret_cast<const char *>(font + 12);
    details->attrC = font[32];
    details->attrD = font[33];
    details->attrE = font[34];
    details->widths = font + 40;
    details->bitmaps = font_bitmaps(font);
    return 0;
}

int BMF_InitEngine(void)
{
    if (gResHdle)
        return 0;
    gResHdle = BMF_GetSystemResourceHandle(BMF_acResource);
    BMF_SetBasicFontBlock(gResHdle, BMF_GetBlockHandle(gResHdle, "SYS_FNT_0"));
    BMF_SetExtendFontBlock(gResHdle, BMF_GetBlockHandle(gResHdle, "SYS_FNT_1"), BMF_EXT_SINGLE_BYTE);
    return 0;
}

// ---------------------------------------------------------------------------
// Measuring

int GetCharDetails(BMF_ResourceHandle handle, const uint8_t *text, int avail, uint32_t *width,
                   const uint8_t **glyph)
{
    *width = 0;
    *glyph = nullptr;
    if (avail <= 0)
        return 1;
    const uint32_t b = text[0];
    const size_t glyph_bytes = static_cast<size_t>(handle->basicHeight) * 4;

    if (b < 0x80) {
        const uint32_t index = (b - handle->basicFirstCode) & 0xFF;
        if (handle->basicWidths && index < handle->basicGlyphCount) {
            *width = handle->basicWidths[index];
            *glyph = handle->basicBitmaps + index * glyph_bytes;
        }
        return 1;
    }
    if (handle->extMode == BMF_EXT_DOUBLE_BYTE || handle->extMode == BMF_EXT_DOUBLE_BYTE_COUNTED) {
        // A lead byte without its trail byte (at the end of the text) is
        // taken alone and shows nothing.
        if (avail < 2)
            return 1;
        const uint32_t index = (b - 0x80) * 256 + text[1];
        if (handle->extWidths && index < handle->extGlyphCount) {
            *width = handle->extWidths[index];
            *glyph = handle->extBitmaps + index * glyph_bytes;
        }
        return 2;
    }
    const uint32_t index = (b - handle->extFirstCode) & 0xFF;
    if (handle->extWidths && index < handle->extGlyphCount) {
        *width = index == 0 ? 23 : handle->extWidths[index];
        *glyph = handle->extBitmaps + index * glyph_bytes;
    }
    return 1;
}

namespace {

// One character of the text as the current target draws it: GetCharDetails,
// with narrow targets drawing each glyph a column tighter (a character that
// draws nothing takes no room there either). Measuring and drawing both step
// through a text with it, so a measured rectangle is the drawn one.
int next_char(BMF_ResourceHandle handle, const uint8_t *text, int avail, bool narrow, uint32_t *width,
              const uint8_t **glyph)
{
    const int used = GetCharDetails(handle, text, avail, width, glyph);
    if (narrow && *width > 0)
        --*width;
    return used;
}

} // namespace

int GetDoubleByteTextLength(const uint8_t *text)
{
    int n = 0;
    while (text[n] && n < INT_MAX - 1) {
        if (text[n] >= 0x80 && text[n + 1] != 0)
            n += 2;
        else
            n += 1;
    }
    return n;
}

void GetTextWidthHeight(BMF_ResourceHandle handle, const uint8_t *text, int length,
                        uint32_t *width, uint32_t *height)
{
    const bool narrow = narrow_target();
    uint32_t sum = 0;
    int pos = 0;
    while (pos < length && text[pos]) {
        uint32_t w;
        const uint8_t *glyph;
        pos += next_char(handle, text + pos, length - pos, narrow, &w, &glyph);
        sum += w;
    }
    *width = sum;
    *height = handle->basicHeight;
}

int BMF_GetTextLength(BMF_ResourceHandle handle, const char *text)
{
    if (!text)
        return 0;
    const uint8_t *t = reinterpret_cast<const uint8_t *>(text);
    if (handle && handle->extMode == BMF_EXT_DOUBLE_BYTE_COUNTED)
        return GetDoubleByteTextLength(t);
    const size_t n = strlen(text);
    return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

void BMF_GetTextFormalWidthHeight(BMF_ResourceHandle handle, const char *text, int length,
                                  uint32_t *vertical, uint32_t *horizontal, int direction)
{
    uint32_t w = 0, h = 0;
    if (handle && text)
        GetTextWidthHeight(handle, reinterpret_cast<const uint8_t *>(text), length, &w, &h);
    uint32_t v = 0, hz = 0;
    switch (direction) {
    case BMF_DIR_LEFT_TO_RIGHT:
    case BMF_DIR_MIRRORED:
        v = h;
        hz = w;
        break;
    case BMF_DIR_BOTTOM_TO_TOP:
    case BMF_DIR_TOP_TO_BOTTOM:
        v = w;
        hz = h;
        break;
    default:
        break;
    }
    if (vertical)
        *vertical = v;
    if (horizontal)
        *horizontal = hz;
}

// ---------------------------------------------------------------------------
// Drawing

int BMF_LimitGlyphStores(int widest)
{
    const int most = widest_glyph_stores();
    const int way = widest < BMF_STORES_CHUNKS ? BMF_STORES_CHUNKS : widest < most ? widest : most;
    g_glyph_stores.store(way, std::memory_order_relaxed);
    return way;
}

void RenderChar(BMF_ResourceHandle handle, const BMF_RenderTarget *target, const uint8_t *glyph,
                int width, int pen, int direction, int hscale, int vscale, uint32_t foreground,
                uint32_t background)
{
    if (direction != BMF_DIR_LEFT_TO_RIGHT && direction != BMF_DIR_MIRRORED && direction != BMF_DIR_TOP_TO_BOTTOM &&
        direction != BMF_DIR_BOTTOM_TO_TOP)
        return;
    if (width <= 0)
        return;
    const int h = static_cast<int>(handle->basicHeight);
    const PixelBytes fg(foreground), bg(background);
    const bool opaque = background != kTransparent;
    // Glyph columns beyond the 32 bits of a glyph row are never set.
    const int bit_columns = width < kMaxGlyphColumns ? width : kMaxGlyphColumns;
    const uint32_t column_mask = bit_columns <= 0 ? 0 : ~(0xFFFFFFFFu >> (bit_columns - 1) >> 1);

    // Each glyph pixel becomes one hscale x vscale block. Upright directions
    // scale glyph columns by hscale and rows by vscale; the turned ones put
    // glyph rows across the rectangle's columns (hscale) and glyph columns
    // down its rows (vscale).
    auto block = [&](int r, int c, const PixelBytes &px) {
        switch (direction) {
        case BMF_DIR_LEFT_TO_RIGHT:
            fill_block(target, pen + c * hscale, r * vscale, hscale, vscale, px);
            break;
        case BMF_DIR_MIRRORED:
            fill_block(target, pen + (width - 1 - c) * hscale, r * vscale, hscale, vscale, px);
            break;
        case BMF_DIR_TOP_TO_BOTTOM:
            fill_block(target, (h - 1 - r) * hscale, pen + c * vscale, hscale, vscale, px);
            break;
        default:  // BMF_DIR_BOTTOM_TO_TOP
            fill_block(target, r * hscale, pen + (width - 1 - c) * vscale, hscale, vscale, px);
            break;
        }
    };
    const int bytes = target->bytes_per_pixel;
    if ((direction == BMF_DIR_LEFT_TO_RIGHT || direction == BMF_DIR_MIRRORED) && (bytes == 2 || bytes == 4)) {
        // Upright: each glyph row covers vscale rows of the rectangle, drawn
        // a surface row at a time.
        const size_t stride = target->stride > 0 ? static_cast<size_t>(target->stride)
                                                 : static_cast<size_t>(target->clip_w) * bytes;
        const bool mirrored = direction == BMF_DIR_MIRRORED;
        if (!mirrored && hscale == 1 && vscale == 1 && pen >= target->clip_x &&
            pen + width <= target->clip_x + target->clip_w && (!opaque || width <= kMaxGlyphColumns)) {
            const uint32_t f4 = pixel_word<uint32_t>(fg), b4 = pixel_word<uint32_t>(bg);
            const uint16_t f2 = pixel_word<uint16_t>(fg), b2 = pixel_word<uint16_t>(bg);
            if (bytes == 4 && opaque)
                whole_upright_glyph<uint32_t, true>(target, glyph, h, width, column_mask, pen, f4, b4);
            else if (bytes == 4)
                whole_upright_glyph<uint32_t, false>(target, glyph, h, width, column_mask, pen, f4, b4);
            else if (opaque)
                whole_upright_glyph<uint16_t, true>(target, glyph, h, width, column_mask, pen, f2, b2);
            else
                whole_upright_glyph<uint16_t, false>(target, glyph, h, width, column_mask, pen, f2, b2);
            return;
        }
        const int top = target->clip_y, bottom = target->clip_y + target->clip_h;
        for (int r = 0; r < h; ++r) {
            const int ya = r * vscale > top ? r * vscale : top;
            const int yb = (r + 1) * vscale < bottom ? (r + 1) * vscale : bottom;
            if (ya >= yb)
                continue;
            const uint32_t bits = rd32(glyph + static_cast<size_t>(r) * 4) & column_mask;
            if (!opaque && bits == 0)
                continue;
            uint8_t *row = target->pixels + static_cast<size_t>(ya - top) * stride;
            for (int y = ya; y < yb; ++y, row += stride) {
                if (bytes == 4)
                    glyph_row<4>(row, target, bits, width, pen, mirrored, hscale, opaque, fg, bg);
                else
                    glyph_row<2>(row, target, bits, width, pen, mirrored, hscale, opaque, fg, bg);
            }
        }
        return;
    }
    for (int r = 0; r < h; ++r) {
        const uint32_t word = rd32(glyph + static_cast<size_t>(r) * 4);
        if (opaque) {
            for (int c = 0; c < width; ++c)
                block(r, c, c < kMaxGlyphColumns && ((word >> (31 - c)) & 1) != 0 ? fg : bg);
            continue;
        }
        // Transparent background: visit only the set bits, left to right.
        for (uint32_t bits = word & column_mask; bits != 0;) {
            const int c = __builtin_clz(bits);
            bits &= ~(0x80000000u >> c);
            block(r, c, fg);
        }
    }
}

int RenderString(BMF_ResourceHandle handle, const BMF_RenderTarget *target, const uint8_t *text,
                 int length, int direction, int hscale, int vscale, uint32_t foreground,
                 uint32_t background)
{
    const bool upright = direction == BMF_DIR_LEFT_TO_RIGHT || direction == BMF_DIR_MIRRORED;
    const bool forward = direction == BMF_DIR_LEFT_TO_RIGHT || direction == BMF_DIR_TOP_TO_BOTTOM;
    const int limit = upright ? target->rect_w : target->rect_h;
    const int scale = upright ? hscale : vscale;
    const bool narrow = narrow_target();
    int pen = forward ? 0 : limit;

    int pos = 0;
    while (pos < length && text[pos]) {
        uint32_t w;
        const uint8_t *glyph;
        const int used = next_char(handle, text + pos, length - pos, narrow, &w, &glyph);
        if (!glyph || w == 0) {
            pos += used;
            continue;
        }
        const int advance = scale * static_cast<int>(w);
        if (forward) {
            if (pen + advance > limit)
                return pos + 1;
        } else {
            pen -= advance;
            if (pen < 0)
                return pos + 1;
        }
        RenderChar(handle, target, glyph, static_cast<int>(w), pen, direction, hscale, vscale,
                   foreground, background);
        if (forward)
            pen += advance;
        pos += used;
    }
    return length;
}

namespace {

// BMF_FormalPlotText once the text is measured (its extents in glyph pixels
// as BMF_GetTextFormalWidthHeight gives them for the direction), so that
// BMF_DrawText, which measures to align, does not measure twice.
int plot_measured(BMF_ResourceHandle handle, int x, int y, uint32_t foreground, uint32_t background,
                  const char *text, int length, int direction, int hscale, int vscale, uint32_t vertical,
                  uint32_t horizontal)
{
    if (horizontal == 0 || vertical == 0)
        return 0;
    const long long rect_w = static_cast<long long>(horizontal) * hscale;
    const long long rect_h = static_cast<long long>(vertical) * vscale;
    if (rect_w > INT_MAX / 2 || rect_h > INT_MAX / 2)
        return 0;
    if (!g_lfb || g_xres <= 0 || g_yres <= 0 || g_pitch <= 0)
        return 0;
    const int bpp = g_pitch / g_xres;
    if (bpp <= 0)
        return 0;

    // Only the part of the text rectangle that lies on the surface is drawn,
    // straight into the surface; the rest is measured but not stored.
    BMF_RenderTarget t{};
    t.bytes_per_pixel = bpp;
    t.rect_w = static_cast<int>(rect_w);
    t.rect_h = static_cast<int>(rect_h);
    const long long x0 = x > 0 ? x : 0;
    const long long y0 = y > 0 ? y : 0;
    const long long x1 = static_cast<long long>(x) + rect_w < g_xres ? x + rect_w : g_xres;
    const long long y1 = static_cast<long long>(y) + rect_h < g_yres ? y + rect_h : g_yres;
    if (x1 > x0 && y1 > y0) {
        t.clip_x = static_cast<int>(x0 - x);
        t.clip_y = static_cast<int>(y0 - y);
        t.clip_w = static_cast<int>(x1 - x0);
        t.clip_h = static_cast<int>(y1 - y0);
        t.pixels = g_lfb + static_cast<size_t>(y0) * g_pitch + static_cast<size_t>(x0) * bpp;
        t.stride = g_pitch;
    }
    return RenderString(handle, &t, reinterpret_cast<const uint8_t *>(text), length, direction, hscale, vscale,
                        foreground, background);
}

} // namespace

int BMF_FormalPlotText(BMF_ResourceHandle handle, int x, int y, uint32_t foreground,
                       uint32_t background, const char *text, int length, int direction,
                       int hscale, int vscale)
{
    if (!handle || !text || length <= 0)
        return 0;
    if (hscale < 1 || hscale > kMaxScale || vscale < 1 || vscale > kMaxScale)
        return 0;
    uint32_t vertical, horizontal;
    BMF_GetTextFormalWidthHeight(handle, text, length, &vertical, &horizontal, direction);
    return plot_measured(handle, x, y, foreground, background, text, length, direction, hscale, vscale, vertical,
                         horizontal);
}

int BMF_DrawText(void *surface, int width, int height, int bits_per_pixel, int x, int y,
                 int box_width, int box_height, const char *text, int alignment,
                 uint32_t foreground, uint32_t background)
{
    const long long pitch = static_cast<long long>(width) * bits_per_pixel / 8;
    g_lfb = static_cast<uint8_t *>(surface);
    g_xres = width;
    g_yres = height;
    g_pitch = pitch > 0 && pitch <= INT_MAX ? static_cast<int>(pitch) : 0;
    if (!gResHdle || !text)
        return 0;

    const int length = BMF_GetTextLength(gResHdle, text);
    uint32_t text_h, text_w;
    BMF_GetTextFormalWidthHeight(gResHdle, text, length, &text_h, &text_w, BMF_DIR_LEFT_TO_RIGHT);
    long long px = x, py = y;
    if ((alignment == BMF_ALIGN_HCENTER || alignment == BMF_ALIGN_CENTER) && text_w < static_cast<long long>(box_width))
        px += (box_width - static_cast<long long>(text_w)) / 2;
    if ((alignment == BMF_ALIGN_VCENTER || alignment == BMF_ALIGN_CENTER) && text_h < static_cast<long long>(box_height))
        py += (box_height - static_cast<long long>(text_h)) / 2;
    if (px > INT_MAX || py > INT_MAX || length <= 0)
        return 0;
    return plot_measured(gResHdle, static_cast<int>(px), static_cast<int>(py), foreground, background, text, length,
                         BMF_DIR_LEFT_TO_RIGHT, 1, 1, text_h, text_w);
}
