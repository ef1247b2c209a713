// The test console's screen areas.
#include "console/areas.h"

#include "app/build_date.h"
#include "app/status.h"
#include "app/values.h"
#include "gfx/fb.h"
#include "gfx/screen_text.h"
#include "tuner/frontend.h"
#include "tuner/tuner_monitor.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int kBoxWidth = 150;
constexpr int kBoxHeight = 40;

// Button area: one column, in the order the test is read on the screen.
struct ButtonBox {
    int bit;
    const char *seen;
    const char *unseen;
};
constexpr ButtonBox kButtonBoxes[] = {
    {1, ">POWER<", "POWER"}, {32, ">MENU<", "MENU"},   {128, ">EXIT<", "EXIT"}, {2, ">LEFT<", "LEFT"},
    {4, ">RIGHT<", "RIGHT"}, {8, ">UP<", "UP"},        {16, ">DOWN<", "DOWN"},  {64, ">OK<", "OK"},
};
constexpr int kButtonX = 220;
constexpr int kButtonY = 60;
constexpr int kButtonStep = 45;

// Info area.
constexpr int kInfoX = 700;
constexpr int kInfoWidth = 500;
constexpr int kInfoY = 500;
constexpr int kInfoStep = 50;
constexpr const char *kMakerPrefix = "02:47:58";

// Remote-control area: the tuner row and the settings row.
constexpr int kTuners = 4;
constexpr int kRcuX = 60;
constexpr int kRcuStep = 160;
constexpr int kRcuTunerY = 500;
constexpr int kRcuSettingsY = 550;

// Port and card columns.
constexpr int kPortX = 60;
constexpr int kCardX = 380;
constexpr int kColumnY = 60;
constexpr int kColumnStep = 45;

bool only_power_button(int kind) { return kind == 5 || kind == 7 || kind == 8; }

// A column of boxes that moves down only after a drawn row.
struct Column {
    int x;
    int y;
    void row(const char *text, uint32_t background)
    {
        draw_box(x, y, kBoxWidth, kBoxHeight, text, background);
        y += kColumnStep;
    }
};

uint32_t ok_colour(bool ok) { return ok ? kGreen : kBlue; }

void usb_row(Column &c, int shown, int word)
{
    char text[32];
    bool ok = g_status.usb[word] != 0;
    snprintf(text, sizeof text, "USB%d %s", shown, ok ? "OK" : "NOK");
    c.row(text, ok_colour(ok));
}

void disk_row(Column &c, const char *name, int word)
{
    char text[32];
    bool ok = g_status.sata[word] != 0;
    snprintf(text, sizeof text, "%s %s", name, ok ? "OK" : "NOK");
    c.row(text, ok_colour(ok));
}

void ci_rows(Column &c)
{
    for (int n = 0; n < 2; ++n) {
        if (g_status.ci_present[n] != 1)
            continue;
        char text[32];
        bool ok = g_status.ci_module[n] == 1;
        snprintf(text, sizeof text, "CI%d %s", n + 1, ok ? "OK" : "NOK");
        c.row(text, ok_colour(ok));
    }
}

// A reader's row: green when its card answered, yellow with a card that did
// not, blue without a card.
void sci_row(Column &c, int reader, int label)
{
    if (g_status.sci_present[reader] != 1)
        return;
    char text[32];
    bool ok = g_status.sci_atr[reader] == 1;
    snprintf(text, sizeof text, "SCI%d %s", label, ok ? "OK" : "NOK");
    c.row(text, ok ? kGreen : g_status.sci_card[reader] != 0 ? kYellow : kBlue);
}

} // namespace

void draw_box(int x, int y, int width, int height, const char *text, uint32_t background)
{
    fb_fill(x, y, width, height, background);
    if (text)
        fb_drawtext(x, y, width, height, text, kBoxText, background);
}

void draw_button_area()
{
    int seen = g_status.buttons_seen;
    bool power_only = only_power_button(g_status.model_kind);
    int y = kButtonY;
    for (const auto &b : kButtonBoxes) {
        bool on = (seen & b.bit) != 0;
        draw_box(kButtonX, y, kBoxWidth, kBoxHeight, on ? b.seen : b.unseen, ok_colour(on));
        if (power_only)
            return;
        y += kButtonStep;
    }
    fb_blit();
}

void draw_info_area()
{
    char text[320];
    snprintf(text, sizeof text, "TEST-UI : %.10s", builddate);
    draw_box(kInfoX, kInfoY, kInfoWidth, kBoxHeight, text, kGreen);

    float uptime = 0;
    parseFloat(&uptime, "/proc/uptime");
    // Whole seconds; an unreadable or absurd value reads as 0.
    long t = uptime >= 0 && uptime < 2.0e9f ? static_cast<long>(uptime) : 0;
    int temp = 0;
    parseInt(&temp, "/proc/stb/fp/temp_sensor");
    snprintf(text, sizeof text, "UPTIME : %02ld:%02ld:%02ld (TEMP %d 'C)", t / 3600, (t / 60) % 60, t % 60,
             2 * temp);
    draw_box(kInfoX, kInfoY + kInfoStep, kInfoWidth, kBoxHeight, text, kGreen);

    unsigned char ip[4];
    for (int i = 0; i < 4; ++i)
        ip[i] = status_load_byte(&g_status.ip[i]);
    if (g_status.mac_request != 0) {
        snprintf(text, sizeof text, "IP : %d.%d.%d.%d (FLASHING)", ip[0], ip[1], ip[2], ip[3]);
        draw_box(kInfoX, kInfoY + 2 * kInfoStep, kInfoWidth, kBoxHeight, text, kYellow);
    } else {
        char mac[256];
        status_copy_text(mac, sizeof mac, g_status.mac_text, sizeof g_status.mac_text);
        snprintf(text, sizeof text, "IP : %d.%d.%d.%d (%s)", ip[0], ip[1], ip[2], ip[3], mac);
        draw_box(kInfoX, kInfoY + 2 * kInfoStep, kInfoWidth, kBoxHeight, text,
                 strstr(mac, kMakerPrefix) ? kGreen : kGrey);
    }
    fb_blit();
}

void draw_port_area()
{
    Column c{kPortX, kColumnY};
    bool hdmi = g_status.hdmi != 0;
    c.row(hdmi ? "HDMI OK" : "HDMI NOK", ok_colour(hdmi));

    int kind = g_status.model_kind;
    if (g_status.eth_link == 1) {
        int speed = g_status.eth_speed;
        const char *text = speed == 1000 ? "ETH0 1G" : speed == 100 ? "ETH0 100M" : speed == 10 ? "ETH0 10M" : "ETH0 OK";
        int expected = kind == 4 ? 1000 : 100;
        c.row(text, speed == expected ? kGreen : kYellow);
    } else {
        c.row("ETH0 NOK", kBlue);
    }

    switch (kind) {
    case 3:
        usb_row(c, 1, 1);
        usb_row(c, 2, 2);
        break;
    case 5: usb_row(c, 1, 1); break;
    case 4:
        for (int i = 0; i < 4; ++i)
            usb_row(c, i + 1, i);
        disk_row(c, "SATA", 0);
        disk_row(c, "eSATA", 1);
        break;
    case 6:
        usb_row(c, 1, 1);
        usb_row(c, 2, 2);
        disk_row(c, "SATA", 0);
        break;
    case 7:
    case 8:
        usb_row(c, 1, 1);
        usb_row(c, 2, 2);
        disk_row(c, "eSATA", 0);
        break;
    default: break;
    }
    fb_blit();
}

void draw_cas_area()
{
    int kind = g_status.model_kind;
    if (kind == 5)
        return;
    Column c{kCardX, kColumnY};
    if (kind == 3 || kind == 4 || kind == 6 || kind == 8) {
        // These boards label reader 1 as the first slot.
        ci_rows(c);
        sci_row(c, 1, 1);
        sci_row(c, 0, 2);
    } else {
        sci_row(c, 0, 1);
        sci_row(c, 1, 2);
        ci_rows(c);
    }
    fb_blit();
}

void draw_rcu_area()
{
    // Tuner row: a box per tuner that has a front end, at a fixed position.
    for (int t = 0; t < kTuners; ++t) {
        if (tuner_stat[t] == 0)
            continue;
        char text[24];
        uint32_t bg;
        if (tuner_run[t] == 0) {
            snprintf(text, sizeof text, "%d.OFF", t + 1);
            bg = kLightGrey;
        } else {
            int s = tuner_system[t];
            const char *name = s == 3 ? "DVB-T" : s == 16 ? "DVB-T/T2" : s == 1 ? "DVB-C" : "DVB-S/S2";
            snprintf(text, sizeof text, "%d.%s", t + 1, name);
            bg = tuner_locked[t] != 0 ? kGreen : kYellow;
        }
        draw_box(kRcuX + kRcuStep * t, kRcuTunerY, kBoxWidth, kBoxHeight, text, bg);
    }

    // Settings row: the supply and tone that keys 5 and 6 set, as the first
    // running tuner's standard names them, and the OLED brightness.
    int kind = g_status.model_kind;
    int running = -1;
    for (int t = 0; t < kTuners && running < 0; ++t)
        if (tuner_run[t] != 0)
            running = t;
    int s = running >= 0 ? sys[running].load() : -1;
    bool sat = s == 5 || s == 6;
    bool ter = s == 3 || s == 16;
    int v = vlt[0];
    int tn = tone[0];
    if (kind != 5) {
        uint32_t bg = v == 2 ? kLightGrey : kYellow;
        if (sat)
            draw_box(kRcuX, kRcuSettingsY, kBoxWidth, kBoxHeight, v == 2 ? "5.0V" : v == 0 ? "5.13V" : "5.18V", bg);
        else if (ter)
            draw_box(kRcuX, kRcuSettingsY, kBoxWidth, kBoxHeight, v == 2 ? "5.0V" : "5.5V", bg);
        else
            draw_box(kRcuX, kRcuSettingsY, kBoxWidth, kBoxHeight, nullptr, kClear);

        bg = tn == 1 ? kLightGrey : kYellow;
        if (sat)
            draw_box(kRcuX + kRcuStep, kRcuSettingsY, kBoxWidth, kBoxHeight, tn == 1 ? "6.0KHz" : "6.22KHz", bg);
        else
            draw_box(kRcuX + kRcuStep, kRcuSettingsY, kBoxWidth, kBoxHeight, nullptr, kClear);
    }
    if (kind != 5 && kind != 7 && kind != 8) {
        int value = 0;
        parseInt(&value, "/proc/stb/fp/oled_brightness");
        char text[24];
        snprintf(text, sizeof text, "7.LED-%lld%%", (static_cast<long long>(value) + 1) * 100 / 256);
        draw_box(kRcuX + 2 * kRcuStep, kRcuSettingsY, kBoxWidth, kBoxHeight, text, value != 0 ? kYellow : kLightGrey);
    }
    fb_blit();
}
