// The key input task of the test console.
#include "console/keys.h"

#include "app/status.h"
#include "app/values.h"
#include "console/test_keys.h"
#include "kni/bkni.h"
#include "panel/lcd.h"
#include "platform/box_abi.h"
#include "platform/os.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>

namespace {

using namespace box_abi;

// The eight keys of the button test, with the word the text display shows.
constexpr ButtonKey kButtonKeys[] = {
    {KEY_POWER_, 1, "POWER", "echo power > /dev/mcu"}, {KEY_LEFT_, 2, "LEFT", "echo left > /dev/mcu"},
    {KEY_RIGHT_, 4, "RIGHT", "echo right > /dev/mcu"}, {KEY_UP_, 8, "UP", "echo -up- > /dev/mcu"},
    {KEY_DOWN_, 16, "DOWN", "echo down > /dev/mcu"},   {KEY_MENU_, 32, "MENU", "echo menu > /dev/mcu"},
    {KEY_OK_, 64, "OK", "echo -ok- > /dev/mcu"},       {KEY_EXIT_, 128, "EXIT", "echo exit > /dev/mcu"},
};

// Longest wait for key input: quit is still seen within this time.
constexpr int kPollMs = 200;

constexpr const char *OLED_FILE = "/proc/stb/fp/oled_brightness";
constexpr const char *LED0_FILE = "/proc/stb/fp/led0_pattern";
constexpr const char *LED1_FILE = "/proc/stb/fp/led1_pattern";

// Once the button test is complete: the LCD all white, "88:88" on the text
// display.
void panel_all_on()
{
    os::system("echo dev_lcd white > /proc/stb/dbg");
    os::system("echo 88:88 > /dev/mcu");
}

bool colour_key(int code) { return code >= KEY_RED_ && code <= KEY_BLUE_; }

// OLED brightness cycles 0, 127, 255, 0; any other value is left alone.
void brightness_step()
{
    int value = 0;
    parseInt(&value, OLED_FILE);
    if (value == 0)
        os::system("echo 127 > /proc/stb/fp/oled_brightness");
    else if (value == 127)
        os::system("echo 255 > /proc/stb/fp/oled_brightness");
    else if (value == 255)
        os::system("echo 0 > /proc/stb/fp/oled_brightness");
}

// Swaps the two LED patterns when exactly one of them is on.
void led_swap()
{
    int led0 = 0, led1 = 0;
    parseInt(&led0, LED0_FILE);
    parseInt(&led1, LED1_FILE);
    if (led0 == 1 && led1 == 0) {
        os::system("echo 0 > /proc/stb/fp/led0_pattern");
        os::system("echo 1 > /proc/stb/fp/led1_pattern");
    } else if (led0 == 0 && led1 == 1) {
        os::system("echo 1 > /proc/stb/fp/led0_pattern");
        os::system("echo 0 > /proc/stb/fp/led1_pattern");
    }
}

void key_action(int code)
{
    switch (code) {
    case KEY_1_:
    case KEY_2_:
    case KEY_3_:
    case KEY_4_: tuner_key(code - KEY_1_); break;
    case KEY_5_: voltage_key(); break;
    case KEY_6_: tone_key(); break;
    case KEY_7_: brightness_step(); break;
    case KEY_8_: audio_file_key(); break;
    case KEY_9_: video1_key(); break;
    case KEY_MUTE_: mute_key(); break;
    case KEY_VOLUMEDOWN_: volume_key(-5); break;
    case KEY_VOLUMEUP_: volume_key(+5); break;
    case KEY_POWER_: led_swap(); break;
    case KEY_CHANNELUP_: sat_channel_key(192); break;
    case KEY_CHANNELDOWN_: sat_channel_key(1006); break;
    default: break;
    }
}

} // namespace

const ButtonKey *button_key(int code)
{
    for (const auto &k : kButtonKeys)
        if (k.code == code)
            return &k;
    return nullptr;
}

void console_key(int code)
{
    // 1. Button test: every press of a test key shows its pattern and word
    // until all eight have been seen.
    if (const ButtonKey *k = button_key(code)) {
        if (g_status.buttons_seen != kAllButtons) {
            g_status.buttons_seen |= k->bit;
            lcd_pattern(k->name);
            os::system(k->display_cmd);
        }
        if (g_status.buttons_seen == kAllButtons)
            panel_all_on();
    }
    // 2. The key's own action.
    key_action(code);
    // 3. With the test complete, every key but the colour keys lights the
    // whole panel again.
    if (!colour_key(code) && g_status.buttons_seen == kAllButtons)
        panel_all_on();
    BKNI_SetEvent(g_status.gui_event);
}

void event_discover(int (&fds)[kEventDevices])
{
    for (int i = 0; i < kEventDevices; ++i) {
        fds[i] = -1;
        char path[64];
        snprintf(path, sizeof path, "/sys/class/input/event%d/device/name", i);
        struct stat st;
        if (os::stat(path, &st) != 0)
            continue;
        char cmd[96];
        snprintf(cmd, sizeof cmd, "cat /sys/class/input/event%d/device/name", i);
        FILE *pipe = os::popen(cmd, "r");
        if (!pipe)
            continue;
        char line[256];
        while (fgets(line, sizeof line, pipe)) {
            if (strstr(line, "corvane")) {
                snprintf(path, sizeof path, "/dev/event%d", i);
                fds[i] = os::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
                break;
            }
        }
        os::pclose(pipe);
    }
}

void task_event(BKNI_TaskHandle, void *)
{
    int fds[kEventDevices];
    event_discover(fds);

    while (!g_status.quit) {
        // Wait for input instead of reading in a tight loop: the box needs
        // its processor for video and the screen.
        struct pollfd pfd[kEventDevices];
        int slot_of[kEventDevices];
        nfds_t n = 0;
        for (int i = 0; i < kEventDevices; ++i)
            if (fds[i] >= 0) {
                pfd[n] = {fds[i], POLLIN, 0};
                slot_of[n++] = i;
            }
        if (os::poll(pfd, n, kPollMs) > 0) {
            // A device that has gone away would wake every wait at once.
            for (nfds_t j = 0; j < n; ++j)
                if (pfd[j].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                    os::close(fds[slot_of[j]]);
                    fds[slot_of[j]] = -1;
                }
        }
        // One event per device per pass, devices in order.
        for (int i = 0; i < kEventDevices; ++i) {
            if (fds[i] < 0)
                continue;
            box_abi::InputEvent ev;
            if (os::read(fds[i], &ev, sizeof ev) != static_cast<ssize_t>(sizeof ev))
                continue;
            if (ev.type == box_abi::EV_KEY_ && ev.value == 1)
                console_key(ev.code);
        }
    }

    for (int &fd : fds)
        if (fd >= 0) {
            os::close(fd);
            fd = -1;
        }
}
