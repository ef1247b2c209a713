#include "tuner/tuner_monitor.h"

#include "app/status.h"
#include "gfx/fb.h"
#include "gfx/screen_text.h"
#include "kni/bkni.h"
#include "platform/box_abi.h"
#include "platform/os.h"
#include "tuner/frontend.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

std::atomic<int32_t> tuner_stat[4], tuner_system[4], tuner_mode[4], tuner_run[4], tuner_locked[4], tuner_snr[4],
    tuner_agc[4];
std::atomic<int32_t> tuner_supply_request{0};

namespace {

constexpr int kTuners = 4;

constexpr int kAreaX = 700;
constexpr int kAreaY = 100;
constexpr int kAreaWidth = 500;
constexpr int kAreaHeight = 100;
constexpr int kRowHeight = 40;
constexpr int kRow2Y = 130;

constexpr uint32_t kClear = 0x00000000;
constexpr uint32_t kTextColour = 0xFF000000;
constexpr uint32_t kLockedColour = 0x7F00FF00;
constexpr uint32_t kUnlockedColour = 0xFFFFFF00;

// The lowest-numbered switched-on tuner, or -1.
int running_tuner()
{
    for (int t = 0; t < kTuners; ++t)
        if (tuner_run[t] != 0)
            return t;
    return -1;
}

// A reading of 0 to 65535 as a whole percentage, truncated.
int percent(int reading) { return static_cast<int>(static_cast<unsigned>(reading) * 100u / 65535u); }

void measure(int t)
{
    tuner_locked[t] = tuner_read_status(t);
    tuner_snr[t] = tuner_read_snr(t);
    tuner_agc[t] = tuner_read_agc(t);
}

void detect_tuners()
{
    char path[64];
    for (int t = 0; t < kTuners; ++t) {
        fd_tuner[t] = -1;
        snprintf(path, sizeof path, "/dev/dvb0.frontend%d", t);
        struct stat st;
        tuner_stat[t] = os::stat(path, &st) == 0 ? 1 : 0;
        tuner_run[t] = 0;
        snprintf(path, sizeof path, "/proc/stb/frontend/%d/mode", t);
        if (os::stat(path, &st) == 0) {
            char cmd[96];
            snprintf(cmd, sizeof cmd, "echo 0 > /proc/stb/frontend/%d/mode", t);
            os::system(cmd);
        }
    }

    FILE *nim = os::popen("cat /proc/bus/nim_sockets", "r");
    if (nim) {
        char line[255];
        int socket = 0;
        while (fgets(line, sizeof line, nim))
            tuner_parse_nim_line(line, &socket);
        os::pclose(nim);
    }

    vlt[0] = SEC_VOLTAGE_OFF;
    tone[0] = SEC_TONE_OFF;
}

// Watches tuner t until it is switched off or the task is told to quit.
void watch(int t, int32_t &last_freq, int32_t &last_sys)
{
    // Opened once per selection. An open that fails (another user holds the
    // frontend) leaves -1: the tuner shows unlocked with zero readings, and
    // the open is tried again when the tuner is switched off and on.
    if (fd_tuner[t] == -1) {
        char path[64];
        snprintf(path, sizeof path, "/dev/dvb0.frontend%d", t);
        fd_tuner[t] = os::open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    }
    while (tuner_run[t] != 0 && g_status.quit == 0) {
        int32_t supply = tuner_supply_request.exchange(0);
        if (supply & kSupplyVoltage)
            tuner_set_voltage(t, vlt[t]);
        if (supply & kSupplyTone)
            tuner_set_tone(t, tone[t]);
        measure(t);
        if (tuner_locked[t] == 0 || sys[t] != last_sys || freq[t] != last_freq) {
            tuner_locked[t] = 0;
            last_freq = freq[t];
            last_sys = sys[t];
            tuner_tune(t, freq[t], sr[t], sys[t], mod[t], vlt[t], tone[t], bw[t]);
            BKNI_Sleep(500);
            measure(t);
            BKNI_SetEvent(g_status.gui_event);
        }
        draw_tuner_area();
        BKNI_WaitForEvent(g_status.tuner_event, 1000);
    }
    if (tuner_run[t] == 0) {
        draw_tuner_area();
        int fd = fd_tuner[t];
        if (fd >= 0) {
            os::close(fd);
            fd_tuner[t] = -1;
        }
    }
}

} // namespace

void tuner_parse_nim_line(const char *line, int *socket)
{
    static const char *const headers[kTuners] = {"NIM Socket 0:", "NIM Socket 1:", "NIM Socket 2:",
                                                 "NIM Socket 3:"};
    for (int n = 0; n < kTuners; ++n) {
        if (strstr(line, headers[n])) {
            *socket = n;
            return;
        }
    }
    // A socket beyond the four this box has: its lines must not land on the
    // tuner listed before it.
    if (strstr(line, "NIM Socket ")) {
        *socket = -1;
        return;
    }
    int s = *socket;
    bool valid = s >= 0 && s < kTuners;
    bool type = strstr(line, "Type:") != nullptr;
    if (type && strstr(line, "DVB-S")) {
        if (valid)
            tuner_system[s] = strstr(line, "DVB-S2") ? SYS_DVBS2 : SYS_DVBS;
    } else if (type && strstr(line, "DVB-C")) {
        if (valid)
            tuner_system[s] = SYS_DVBC_ANNEX_A;
    } else if (type && strstr(line, "DVB-T")) {
        if (valid)
            tuner_system[s] = strstr(line, "DVB-T2") ? SYS_DVBT2 : SYS_DVBT;
    } else if (strstr(line, "Name:")) {
        if (valid)
            tuner_mode[s] = strstr(line, "DVB-C/T2") ? 65538 : strstr(line, "DVB-C/T") ? 10 : 0;
    }
}

void draw_tuner_area()
{
    int t = running_tuner();
    if (t < 0) {
        fb_fill(kAreaX, kAreaY, kAreaWidth, kAreaHeight, kClear);
        return;
    }
    bool locked = tuner_locked[t] != 0;
    uint32_t background = locked ? kLockedColour : kUnlockedColour;

    char text[sizeof g_status.channel_text];
    status_copy_text(text, sizeof text, g_status.channel_text, sizeof g_status.channel_text);
    fb_fill(kAreaX, kAreaY, kAreaWidth, kRowHeight, kClear);
    fb_drawtext(kAreaX, kAreaY, kAreaWidth, kRowHeight, text, kTextColour, background);

    char line[64];
    snprintf(line, sizeof line, "%s/SNR%d/AGC%d", locked ? "LOCKED" : "UNLOCKED", percent(tuner_snr[t]),
             percent(tuner_agc[t]));
    fb_fill(kAreaX, kRow2Y, kAreaWidth, kRowHeight, kClear);
    fb_drawtext(kAreaX, kRow2Y, kAreaWidth, kRowHeight, line, kTextColour, background);
}

void task_tuner(BKNI_TaskHandle, void *)
{
    detect_tuners();

    // The last tune, kept when another tuner is selected.
    int32_t last_freq = -1;
    int32_t last_sys = -1;
    while (g_status.quit == 0) {
        int t = running_tuner();
        if (t >= 0 && tuner_stat[t] != 0 && tuner_system[t] != 0)
            watch(t, last_freq, last_sys);
        BKNI_Sleep(500);
    }

    for (int t = 0; t < kTuners; ++t) {
        int fd = fd_tuner[t];
        if (fd >= 0) {
            os::close(fd);
            fd_tuner[t] = -1;
        }
    }
}
