// The rescue front end: start-up and the rescue display.
#include "app/testui.h"

#include "app/startup.h"
#include "app/status.h"
#include "gfx/fb.h"
#include "gfx/font.h"
#include "gfx/screen_text.h"
#include "kni/bkni.h"
#include "monitor/port.h"
#include "panel/lcd.h"
#include "platform/os.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <unistd.h>

namespace {

// LED pattern values of the four blink steps: each LED is dark once in
// turn, both lit in between.
struct LedStep {
    const char *led0;
    const char *led1;
};
constexpr LedStep kLedSteps[4] = {
    {"echo 0 > /proc/stb/fp/led0_pattern", "echo 1 > /proc/stb/fp/led1_pattern"},
    {"echo 1 > /proc/stb/fp/led0_pattern", "echo 1 > /proc/stb/fp/led1_pattern"},
    {"echo 1 > /proc/stb/fp/led0_pattern", "echo 0 > /proc/stb/fp/led1_pattern"},
    {"echo 1 > /proc/stb/fp/led0_pattern", "echo 1 > /proc/stb/fp/led1_pattern"},
};

constexpr int kTextSize = 64;

// The address counts as known while the link is up and a lease is held.
bool address_known() { return g_status.eth_link != 0 && g_status.dhcp_done != 0; }

void load_ip(unsigned char ip[4])
{
    for (int i = 0; i < 4; ++i)
        ip[i] = status_load_byte(&g_status.ip[i]);
}

// One step of the scrolling text on the front-panel text display: the four
// characters at `pos`, then on to the next position; one step past the end
// blanks the display and starts again.
void scroll_text(const char (&text)[kTextSize], int &pos, char (&digit)[5])
{
    for (int i = 0; i < 4; ++i) {
        int at = pos + i;
        digit[i] = at >= 0 && at < kTextSize ? text[at] : '\0';
    }
    digit[4] = '\0';
    char cmd[kTextSize];
    snprintf(cmd, sizeof cmd, "echo '%s' > /dev/mcu", digit);
    os::system(cmd);
    ++pos;
    if (pos > static_cast<int>(strnlen(text, kTextSize)) || pos < 0)
        pos = 0;
}

// Draws one line of the panel in its box, white on what lies beneath. A line
// that would reach outside the frame (a panel too small for the font) is
// left out. The caller holds the font mutex.
void lcd_line(uint8_t *frame, int width, int height, int bits, int box_y, int box_height, const char *text)
{
    if (lcd_text_fits(frame, width, height, bits, 0, box_y, width, box_height, text, BMF_ALIGN_CENTER))
        BMF_DrawText(frame, width, height, bits, 0, box_y, width, box_height, text, BMF_ALIGN_CENTER, 0xFFFF,
                     0xFFFFFFFF);
}

// The front-panel LCD: "RESCUE MODE" over the address or the link state.
void draw_rescue_lcd()
{
    // The panel is opened even when its size files cannot be read; such a
    // frame is empty, so there is nothing to draw and nothing is written.
    LcdFrame f;
    if (lcd_frame_begin(&f, true) != 0)
        return;
    const int width = f.xres, height = f.yres, bits = f.bpp;
    uint8_t *const frame = f.frame;

    char line[kTextSize];
    if (address_known()) {
        unsigned char ip[4];
        load_ip(ip);
        snprintf(line, sizeof line, "http://%d.%d.%d.%d/", ip[0], ip[1], ip[2], ip[3]);
    } else {
        snprintf(line, sizeof line, "%s", g_status.eth_link ? "plugged" : "unplugged");
    }

    if (g_font_mutex)
        BKNI_AcquireMutex(g_font_mutex);
    lcd_line(frame, width, height, bits, (height / 5) * 2, height / 5, "RESCUE MODE");
    lcd_line(frame, width, height, bits, (height / 5) * 3, height / 5, line);
    if (g_font_mutex)
        BKNI_ReleaseMutex(g_font_mutex);

    lcd_frame_end(&f);
}

} // namespace

void draw_rescue()
{
    static int led01 = 0;
    static int address_pos = 0;
    static char address_digit[5];
    static int unplugged_pos = 0;
    static char unplugged_digit[5];

    // 1. LEDs: one blink step per pass.
    ++led01;
    if (led01 > 4)
        led01 = 1;
    os::system(kLedSteps[led01 - 1].led0);
    os::system(kLedSteps[led01 - 1].led1);

    // 2. Front-panel text display: the address, or that the cable is out,
    // scrolling in from the right. Each text keeps its own position.
    char text[kTextSize] = {};
    if (address_known()) {
        unsigned char ip[4];
        load_ip(ip);
        snprintf(text, sizeof text, "   http___%d_%d_%d_%d_", ip[0], ip[1], ip[2], ip[3]);
        scroll_text(text, address_pos, address_digit);
    } else {
        snprintf(text, sizeof text, "%s", "   http___unpluged");
        scroll_text(text, unplugged_pos, unplugged_digit);
    }

    // 3. Front-panel LCD.
    draw_rescue_lcd();

    // 4. TV: two white lines on black; the address of the last lease is
    // shown whether or not it is still held.
    int xres = static_cast<int>(var.xres);
    int yres = static_cast<int>(var.yres);
    fb_fill(0, 0, xres, yres, 0xFF000000);
    fb_drawtext(0, 300, xres, 40, "Your Corvane has booted into rescue mode.\n", 0xFFFFFFFF, 0xFFFFFFFF);
    unsigned char ip[4];
    load_ip(ip);
    char browser[kTextSize];
    snprintf(browser, sizeof browser, "Please point your web browser to http://%d.%d.%d.%d\n", ip[0], ip[1], ip[2],
             ip[3]);
    fb_drawtext(0, 340, xres, 40, browser, 0xFFFFFFFF, 0xFFFFFFFF);
    fb_blit();
}

void task_gui(BKNI_TaskHandle, void *)
{
    while (!g_status.quit) {
        draw_rescue();
        BKNI_WaitForEvent(g_status.gui_event, 2000);
    }
}

int testui_main()
{
    if (frontend_start() != 0)
        return 0;

    BKNI_TaskHandle port_task = nullptr;
    BKNI_TaskHandle gui_task = nullptr;
    BKNI_CreateTask(&port_task, task_port, nullptr);
    BKNI_CreateTask(&gui_task, task_gui, nullptr);

    while (!g_status.quit)
        BKNI_Sleep(1000);
    return 0;
}
