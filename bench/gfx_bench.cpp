// Drawing on the TV and the front-panel LCD: text into a 1280 x 720 x 32
// page and a 400 x 240 x 16 panel frame, and a whole rescue TV pass on the
// simulated framebuffer.
#include "bench_box.h"
#include "figures.h"

#include "gfx/fb.h"
#include "gfx/font.h"
#include "gfx/screen_text.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

// This file's figures in a namespace of its own: the benchmarks compile as
// one unit, and their file-local names stay apart.
namespace gfx_bench {
namespace {

using boxbench::add_figure;

constexpr const char *kBrowserLine = "Please point your web browser to http://192.168.100.200";
constexpr const char *kRescueLine = "Your Corvane has booted into rescue mode.\n";

void screen() { boxbench::drawing_box(); }

// The size of a text's rectangle as the engine measures it on a surface of
// the given width (a narrow one draws each glyph a column tighter).
void text_rect(const char *text, int surface_width, int &w, int &h)
{
    BKNI_AcquireMutex(g_font_mutex);
    g_xres = surface_width;
    uint32_t v = 0, hz = 0;
    BMF_GetTextFormalWidthHeight(gResHdle, text, BMF_GetTextLength(gResHdle, text), &v, &hz,
                                 BMF_DIR_LEFT_TO_RIGHT);
    BKNI_ReleaseMutex(g_font_mutex);
    w = static_cast<int>(hz);
    h = static_cast<int>(v);
}

// Copies a w x h rectangle of a surface out into a scratch buffer and back,
// row by row: what drawing a text's rectangle cannot do with less.
void copy_out_and_back(uint8_t *surface, int pitch, int x, int y, int w, int h, int bytes_per_pixel,
                       boxbench::Buffer &scratch)
{
    const size_t row = static_cast<size_t>(w) * bytes_per_pixel;
    for (int i = 0; i < h; ++i)
        memcpy(scratch.data() + i * row, surface + static_cast<size_t>(y + i) * pitch + x * bytes_per_pixel, row);
    for (int i = 0; i < h; ++i)
        memcpy(surface + static_cast<size_t>(y + i) * pitch + x * bytes_per_pixel, scratch.data() + i * row, row);
    benchmark::ClobberMemory();
}

// fb_drawtext of the browser line, beside a copy of the rectangle it fills
// out of a page and back.
int g_tv_w = 0, g_tv_h = 0;
boxbench::Buffer g_tv_page, g_tv_scratch;

// Each pair's setup runs before each of its rounds and assigns its buffers
// (boxbench::Buffer: the small ones are placed anew each time).
void tv_setup()
{
    screen();
    if (g_tv_w == 0)
        text_rect(kBrowserLine, 1280, g_tv_w, g_tv_h);
    // The rectangle fb_drawtext fills, centred in the box (0, 340, 1280, 40),
    // on a page of its own: on the framebuffer's memory the copy was up to a
    // quarter slower, depending on where the scratch rows fall against the
    // page rows (4 KiB aliasing), which would loosen the goal.
    g_tv_page.assign(1280u * 720 * 4, 0);
    g_tv_scratch.assign(static_cast<size_t>(g_tv_w) * g_tv_h * 4, 0);
}
void tv_text() { fb_drawtext(0, 340, 1280, 40, kBrowserLine, 0xFFFFFFFF, 0xFFFFFFFF); }
void tv_text_rect_copy()
{
    copy_out_and_back(g_tv_page.data(), 1280 * 4, (1280 - g_tv_w) / 2, 340 + (40 - g_tv_h) / 2, g_tv_w, g_tv_h, 4,
                      g_tv_scratch);
}

// BMF_DrawText of "RESCUE MODE" into an LCD frame, beside a copy of the
// rectangle it fills (centred in the box (0, 96, 400, 48)).
int g_lcd_w = 0, g_lcd_h = 0;
boxbench::Buffer g_lcd_frame, g_lcd_copy_frame, g_lcd_scratch;

void lcd_setup()
{
    screen();
    if (g_lcd_w == 0)
        text_rect("RESCUE MODE", 400, g_lcd_w, g_lcd_h);
    g_lcd_frame.assign(400u * 240 * 2, 0);
    g_lcd_copy_frame.assign(400u * 240 * 2, 0);
    g_lcd_scratch.assign(static_cast<size_t>(g_lcd_w) * g_lcd_h * 2, 0);
}
void lcd_text()
{
    BKNI_AcquireMutex(g_font_mutex);
    BMF_DrawText(g_lcd_frame.data(), 400, 240, 16, 0, 96, 400, 48, "RESCUE MODE", BMF_ALIGN_CENTER, 0xFFFF,
                 0xFFFFFFFF);
    BKNI_ReleaseMutex(g_font_mutex);
    benchmark::ClobberMemory();
}
void lcd_text_rect_copy()
{
    copy_out_and_back(g_lcd_copy_frame.data(), 400 * 2, (400 - g_lcd_w) / 2, 96 + (48 - g_lcd_h) / 2, g_lcd_w,
                      g_lcd_h, 2, g_lcd_scratch);
}

// The TV part of a rescue pass: the page cleared, both lines, presented.
void rescue_tv_pass()
{
    fb_fill(0, 0, 1280, 720, 0xFF000000);
    fb_drawtext(0, 300, 1280, 40, kRescueLine, 0xFFFFFFFF, 0xFFFFFFFF);
    fb_drawtext(0, 340, 1280, 40, "Please point your web browser to http://192.168.1.20\n", 0xFFFFFFFF, 0xFFFFFFFF);
    fb_blit();
}

// What any pass that clears and presents a page pays at the least: one
// memset and one memcpy of the page.
boxbench::Buffer g_page, g_shown;

void rescue_setup()
{
    screen();
    g_page.assign(1280u * 720 * 4, 1);
    g_shown.assign(1280u * 720 * 4, 2);
}

void page_set_and_copy()
{
    memset(g_page.data(), 0, g_page.size());
    memcpy(g_shown.data(), g_page.data(), g_page.size());
    benchmark::ClobberMemory();
}

const int registered = [] {
    add_figure({"fb_drawtext, browser line, 1280x720x32", "BM_TvText", "BM_TvTextRectCopy", 2.0, true, "x"});
    boxbench::add_pair("BM_TvText", "BM_TvTextRectCopy", tv_setup, tv_text, tv_text_rect_copy);
    add_figure({"rescue TV pass (fill, two lines, blit), simulated fb", "BM_RescueTvPass", "BM_PageSetAndCopy", 1.2,
                true, "x"});
    boxbench::add_pair("BM_RescueTvPass", "BM_PageSetAndCopy", rescue_setup, rescue_tv_pass, page_set_and_copy);
    add_figure({"BMF_DrawText \"RESCUE MODE\", 400x240x16 LCD frame", "BM_LcdText", "BM_LcdTextRectCopy", 3.0, true,
                "x"});
    boxbench::add_pair("BM_LcdText", "BM_LcdTextRectCopy", lcd_setup, lcd_text, lcd_text_rect_copy);
    boxbench::add_pass("rescue", [] {
        screen();
        rescue_tv_pass();
    });
    boxbench::add_pass("rescue-reference", [] {
        if (g_page.empty())
            rescue_setup();
        page_set_and_copy();
    });
    return 0;
}();

} // namespace
} // namespace gfx_bench
