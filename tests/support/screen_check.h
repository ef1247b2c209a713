// Checks of what the screens show, against the text engine's own drawing.
#pragma once

#include "core/image.h"
#include "gfx/font.h"
#include "gfx/screen_text.h"
#include "kni/bkni.h"

#include <cstdint>
#include <vector>

namespace boxtest {

// Runs `draw` under the font mutex when the start-up has made it, as the
// system's own tasks draw text.
template <class F> void with_font(F draw)
{
    if (g_font_mutex)
        BKNI_AcquireMutex(g_font_mutex);
    draw();
    if (g_font_mutex)
        BKNI_ReleaseMutex(g_font_mutex);
}

// Whether the TV's rows [y, y + 40) hold exactly `text`, white on black,
// centred across the 1280-pixel screen, as the screen text draws it.
inline bool tv_line_is(const boxsim::Image &tv, int y, const char *text)
{
    if (tv.width != 1280 || tv.height != 720)
        return false;
    std::vector<uint32_t> ref(1280u * 720, 0xFF000000u);
    with_font([&] {
        BMF_DrawText(ref.data(), 1280, 720, 32, 0, y, 1280, 40, text, BMF_ALIGN_CENTER, 0xFFFFFFFF, 0xFFFFFFFF);
    });
    for (int row = y; row < y + 40; ++row)
        for (int x = 0; x < 1280; ++x)
            if ((tv.at(x, row) & 0xFFFFFF) != (ref[static_cast<size_t>(row) * 1280 + x] & 0xFFFFFF))
                return false;
    return true;
}

} // namespace boxtest
