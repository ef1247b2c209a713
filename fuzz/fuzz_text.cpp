// Texts of random bytes through the text engine into surfaces of random size
// (1 x 1 included), with random boxes, alignments, directions and scales.
// Every surface is a heap block of exactly its size, so a write past it is
// seen; depths the engine does not draw must leave the surface as it was.
#include "fuzz_box.h"

#include "gfx/font.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

// Layout of the input: a parameter block, then the text.
struct Params {
    int width, height, bpp;
    int x, y, box_w, box_h;
    int alignment, direction, hscale, vscale;
    uint32_t foreground, background;
};
constexpr size_t kParamBytes = 24;

int s16(const uint8_t *p) { return static_cast<int16_t>(p[0] | (p[1] << 8)); }
uint32_t u32(const uint8_t *p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

Params params(const uint8_t *p)
{
    static constexpr int kDepths[] = {16, 32, 16, 32, 24, 8, 0, 1};
    Params q;
    q.width = 1 + (p[0] | (p[1] << 8)) % 640;
    q.height = 1 + p[2] % 200;
    q.bpp = kDepths[p[3] % 8];
    q.x = s16(p + 4);
    q.y = s16(p + 6);
    q.box_w = s16(p + 8);
    q.box_h = s16(p + 10);
    q.alignment = p[12] % 5;       // 3 and 4: top-left corner
    q.direction = p[13] % 6 - 1;   // -1 and 4: no such direction
    q.hscale = p[14] % 6;          // 0: refused
    q.vscale = p[15] % 6;
    if (p[14] == 0xff)
        q.hscale = 300;            // above the largest scale
    q.foreground = u32(p + 16);
    q.background = (p[20] & 1) ? 0xFFFFFFFFu : u32(p + 20);
    return q;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    BMF_InitEngine();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < kParamBytes)
        return 0;
    Params q = params(data);
    std::string text(reinterpret_cast<const char *>(data + kParamBytes), size - kParamBytes);

    size_t bytes = static_cast<size_t>(q.width) * q.height * (q.bpp > 0 ? q.bpp : 8) / 8;
    if (bytes == 0)
        bytes = 1;
    std::vector<uint8_t> surface(bytes, 0xa5);
    BMF_DrawText(surface.data(), q.width, q.height, q.bpp, q.x, q.y, q.box_w, q.box_h, text.c_str(),
                 q.alignment, q.foreground, q.background);
    // The same surface as the engine's target, drawn in every direction and
    // scale, the text's length as given (NUL bytes inside included).
    BMF_FormalPlotText(gResHdle, q.x, q.y, q.foreground, q.background, text.data(),
                       static_cast<int>(text.size()), q.direction, q.hscale, q.vscale);

    if (q.bpp != 16 && q.bpp != 32)
        for (uint8_t b : surface)
            FUZZ_CHECK(b == 0xa5);

    uint32_t v = 0, h = 0;
    GetTextWidthHeight(gResHdle, reinterpret_cast<const uint8_t *>(text.data()), static_cast<int>(text.size()), &h, &v);
    BMF_GetTextLength(gResHdle, text.c_str());
    return 0;
}
