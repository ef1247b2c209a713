// The MAC entry task of the test console.
#include "console/mac_entry.h"

#include "app/status.h"
#include "app/values.h"
#include "kni/bkni.h"
#include "platform/box_abi.h"
#include "platform/os.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>

namespace {

using namespace box_abi;

// The maker's prefix "02:47:58" as the six digits an address begins with.
constexpr uint8_t kPrefix[6] = {0x0, 0x2, 0x4, 0x7, 0x5, 0x8};

// Longest wait for a key: quit and a plugged keyboard are noticed within it.
constexpr int kPollMs = 200;

struct DigitKey {
    int code;
    uint8_t digit;
};
constexpr DigitKey kDigitKeys[] = {
    {KEY_1_, 1},      {KEY_2_, 2},      {KEY_3_, 3},      {KEY_4_, 4},      {KEY_5_, 5},      {KEY_6_, 6},
    {KEY_7_, 7},      {KEY_8_, 8},      {KEY_9_, 9},      {KEY_0_, 0},      {KEY_A_, 10},     {KEY_B_, 11},
    {KEY_C_, 12},     {KEY_D_, 13},     {KEY_E_, 14},     {KEY_F_, 15},
};

int digit_of(int code)
{
    for (const auto &k : kDigitKeys)
        if (k.code == code)
            return k.digit;
    return -1;
}

void echo(const char *text)
{
    fputs(text, stdout);
    fflush(stdout);
}

struct MacDevice {
    int fd;
    bool skip;
    // The device's buffer overflowed: its records are ignored up to and
    // including the end of the next report.
    bool resync;
};

void name_path(char (&path)[64], int n) { snprintf(path, sizeof path, "/sys/class/input/event%d/device/name", n); }

bool name_exists(int n)
{
    char path[64];
    name_path(path, n);
    struct stat st;
    return os::stat(path, &st) == 0;
}

} // namespace

void mac_key(MacEntryState &s, int code)
{
    if (code == KEY_ENTER_) {
        echo("\n");
        return;
    }
    if (code == KEY_SEMICOLON_) {
        echo(":");
        return;
    }
    int digit = digit_of(code);
    if (digit < 0)
        return;
    if (s.count >= kMacDigits)
        s.count = 0;
    s.digits[s.count++] = static_cast<uint8_t>(digit);
    char c[2] = {"0123456789ABCDEF"[digit], '\0'};
    echo(c);

    // The first six digits must be the maker's prefix; a wrong one starts
    // the entry again.
    if (s.count <= 6 && s.digits[s.count - 1] != kPrefix[s.count - 1]) {
        s.count = 0;
        return;
    }
    if (s.count < kMacDigits)
        return;

    unsigned char *dst = (s.entries & 1) ? g_status.mac_confirm : g_status.mac_entry;
    for (int k = 0; k < 6; ++k)
        status_store_byte(&dst[k], static_cast<unsigned char>((s.digits[2 * k] << 4) | s.digits[2 * k + 1]));
    bool same = true;
    for (int k = 0; k < 6; ++k)
        same = same && status_load_byte(&g_status.mac_entry[k]) == status_load_byte(&g_status.mac_confirm[k]);
    if (same) {
        g_status.mac_request = 1;
        // The info area shows the pending programming at once, not only at
        // the screen's next regular redraw (which may come after the port
        // monitor has already programmed it).
        BKNI_SetEvent(g_status.gui_event);
    }
    s.count = 0;
    s.entries = static_cast<uint8_t>(s.entries + 1);
}

void task_mac(BKNI_TaskHandle, void *)
{
    MacDevice dev[kMacDevices];
    for (int n = 0; n < kMacDevices; ++n) {
        dev[n] = {-1, false, false};
        char path[64];
        name_path(path, n);
        struct stat st;
        if (os::stat(path, &st) == 0) {
            char word[256];
            parseString(word, sizeof word, path);
            dev[n].skip = strstr(word, "corvane") != nullptr;
        }
    }
    MacEntryState state = {};

    while (!g_status.quit) {
        // Wait for a key on the open devices instead of reading in a tight
        // loop; the time-out lets a newly plugged keyboard be found.
        struct pollfd pfd[kMacDevices];
        nfds_t n = 0;
        for (const auto &d : dev)
            if (!d.skip && d.fd >= 0)
                pfd[n++] = {d.fd, POLLIN, 0};
        os::poll(pfd, n, kPollMs);

        for (int i = 0; i < kMacDevices; ++i) {
            MacDevice &d = dev[i];
            if (d.skip)
                continue;
            if (d.fd < 0 && name_exists(i)) {
                char path[32];
                snprintf(path, sizeof path, "/dev/event%d", i);
                d.fd = os::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            }
            if (d.fd < 0)
                continue;
            box_abi::InputEvent ev;
            ssize_t r = os::read(d.fd, &ev, sizeof ev);
            if (r != static_cast<ssize_t>(sizeof ev)) {
                // Unplugged: its name has gone. A handle whose device has
                // gone (a keyboard pulled and plugged back between two
                // passes) is closed too, so the new one is opened.
                bool gone = r < 0 && errno == ENODEV;
                if (gone || !name_exists(i)) {
                    os::close(d.fd);
                    d.fd = -1;
                    d.resync = false;
                }
                continue;
            }
            // Keys were lost to a full buffer: the entry in progress misses
            // digits, so that its later digits would be taken as the start
            // of another address. It is begun again, and the records up to
            // the report's end are not taken either, as evdev asks of its
            // readers after a drop.
            if (ev.type == box_abi::EV_SYN_ && ev.code == box_abi::SYN_DROPPED_) {
                state.count = 0;
                d.resync = true;
                continue;
            }
            if (d.resync) {
                d.resync = !(ev.type == box_abi::EV_SYN_ && ev.code == box_abi::SYN_REPORT_);
                continue;
            }
            if (ev.type == box_abi::EV_KEY_ && ev.value == 1)
                mac_key(state, ev.code);
        }
    }

    for (auto &d : dev)
        if (d.fd >= 0) {
            os::close(d.fd);
            d.fd = -1;
        }
}
