// A simulated box for the tuner work: a shipped profile with quick
// acquisition, the system's output captured into the trace, the TV open for
// the tuner area, and the tuner monitor on a thread of its own on request.
#pragma once

#include "app/status.h"
#include "core/box.h"
#include "devices/frontend.h"
#include "gfx/fb.h"
#include "gfx/screen_text.h"
#include "kni/bkni.h"
#include "platform/box_abi.h"
#include "platform/os.h"
#include "sim_test.h"
#include "tuner/frontend.h"
#include "tuner/tuner_monitor.h"

#include <cstring>
#include <fcntl.h>
#include <string>
#include <thread>
#include <vector>

namespace tunertest {

using boxsim::Box;
using boxsim::json;
using namespace std::chrono_literals;

// A shipped profile whose tuners acquire within 40 ms.
inline json profile(const std::string &name)
{
    std::string err;
    auto p = Box::load_profile(name, err);
    EXPECT_TRUE(p) << err;
    json j = p ? *p : json::object();
    for (auto &t : j["tuners"])
        t["acquire_ms"] = 40;
    return j;
}

// What the console's tuner key stores for a tuner and its test channel.
struct Channel {
    int32_t vlt, tone, freq, sr, sys, mod, bw;
    const char *text;
};

class TunerTest : public ::testing::Test {
protected:
    void start(const json &p, bool tv = true)
    {
        // The tables as a fresh process has them.
        status_clear();
        for (int t = 0; t < 4; ++t) {
            fd_tuner[t] = -1;
            tuner_stat[t] = tuner_system[t] = tuner_mode[t] = tuner_run[t] = 0;
            tuner_locked[t] = tuner_snr[t] = tuner_agc[t] = 0;
            vlt[t] = tone[t] = freq[t] = sr[t] = sys[t] = mod[t] = bw[t] = 0;
        }
        BKNI_CreateEvent(&g_status.gui_event);
        BKNI_CreateEvent(&g_status.tuner_event);
        box = boxtest::make_box_from(p);
        capture = std::make_unique<boxsim::StdioCapture>(*box, nullptr, nullptr, true);
        if (tv) {
            ASSERT_EQ(fb_init(), 0);
            ASSERT_EQ(fb_setmode(1280, 720, 32), 0);
            if (!g_font_mutex)
                fb_font_init();
        }
    }

    void run_monitor()
    {
        monitor = boxsim::clock::spawn("monitor", [] { task_tuner(nullptr, nullptr); });
        // Detection is over once the NIM list has been read.
        ASSERT_TRUE(box->trace().wait_for([](const json &e) { return e["op"] == "pclose"; }, 5s));
        ASSERT_TRUE(boxtest::eventually([] { return vlt[0] == SEC_VOLTAGE_OFF; }, 1s));
    }

    void stop_monitor()
    {
        g_status.quit = 1;
        if (g_status.tuner_event)
            BKNI_SetEvent(g_status.tuner_event);
        boxsim::clock::join(monitor);
    }

    void TearDown() override
    {
        stop_monitor();
        capture.reset();
        box.reset();
        for (BKNI_EventHandle *e : {&g_status.gui_event, &g_status.tuner_event}) {
            if (*e)
                BKNI_DestroyEvent(*e);
            *e = nullptr;
        }
    }

    // Opens frontend t for the frontend functions, as the monitor does.
    void open_tuner(int t)
    {
        std::string path = "/dev/dvb0.frontend" + std::to_string(t);
        fd_tuner[t] = os::open(path.c_str(), O_RDWR | O_NONBLOCK);
        ASSERT_GE(fd_tuner[t], 0);
    }

    // The requests frontend t saw, by name, in order.
    std::vector<json> requests(int t, const std::string &name = {})
    {
        std::vector<json> out;
        for (const auto &e : box->trace().find("ioctl", "/dev/dvb0.frontend" + std::to_string(t)))
            if (name.empty() || e.value("name", "") == name)
                out.push_back(e);
        return out;
    }
    size_t tunes(int t) { return requests(t, "FE_SET_PROPERTY").size(); }

    std::string out(const char *stream = "stdout")
    {
        capture->drain();
        return boxtest::printed(*box, stream);
    }

    // Sets the tables as the console's tuner key does, then wakes the monitor.
    void switch_on(int t, const Channel &c, int run = 1)
    {
        for (int j = 0; j < 4; ++j) {
            tuner_locked[j] = 0;
            if (j != t)
                tuner_run[j] = 0;
        }
        vlt[t] = c.vlt;
        tone[t] = c.tone;
        freq[t] = c.freq;
        sr[t] = c.sr;
        sys[t] = c.sys;
        mod[t] = c.mod;
        bw[t] = c.bw;
        vlt[0] = c.vlt;
        tone[0] = c.tone;
        status_store_text(g_status.channel_text, sizeof g_status.channel_text, c.text);
        tuner_run[t] = run;
        BKNI_SetEvent(g_status.tuner_event);
    }
    void switch_off(int t)
    {
        tuner_run[t] = 0;
        for (int j = 0; j < 4; ++j) {
            vlt[j] = SEC_VOLTAGE_OFF;
            tone[j] = SEC_TONE_OFF;
        }
        BKNI_SetEvent(g_status.tuner_event);
    }

    std::unique_ptr<Box> box;
    std::unique_ptr<boxsim::StdioCapture> capture;
    std::thread monitor;
};

// The test channels the console's keys fill in.
inline const Channel kCBand = {1, 1, 1150000, 28125000, 5, 0, 0, "1.DVB-S : 4000H/28125/QPSK"};
inline const Channel k8psk12 = {1, 1, 1744000, 22000000, 6, 9, 0, "2.DVB-S2 : 11494H/22000/8PSK"};
inline const Channel k8psk34 = {1, 1, 1612000, 22000000, 6, 9, 0, "3.DVB-S2 : 11362H/22000/8PSK"};
inline const Channel kCable = {2, 1, 466000, 6900000, 1, 5, 8000000, "2.DVB-C : 466/6900/256QAM"};
inline const Channel kTerrestrial = {0, 1, 546000000, 0, 3, 0, 8000000, "2.DVB-T : 546/8M"};

// Pixels of a rectangle of the drawn page.
inline std::vector<uint32_t> pixels(int x, int y, int w, int h)
{
    std::vector<uint32_t> v;
    for (int r = y; r < y + h; ++r)
        for (int c = x; c < x + w; ++c)
            v.push_back(lfb[static_cast<size_t>(r) * var.xres + c]);
    return v;
}
inline size_t count_of(const std::vector<uint32_t> &v, uint32_t word)
{
    return static_cast<size_t>(std::count(v.begin(), v.end(), word));
}

// A tuner-area row as it looks with this text on this background: drawn
// into a spare stretch of the page, then read back.
inline std::vector<uint32_t> rendered_row(const char *text, uint32_t background)
{
    fb_fill(0, 600, 500, 40, 0);
    fb_drawtext(0, 600, 500, 40, text, 0xFF000000, background);
    auto v = pixels(0, 600, 500, 40);
    fb_fill(0, 600, 500, 40, 0);
    return v;
}

} // namespace tunertest
