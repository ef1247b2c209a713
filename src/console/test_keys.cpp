// The console's tuner and A/V test keys.
#include "console/test_keys.h"

#include "app/status.h"
#include "app/values.h"
#include "av/background.h"
#include "av/live.h"
#include "av/tsfile.h"
#include "av/video1.h"
#include "kni/bkni.h"
#include "tuner/frontend.h"
#include "tuner/tuner_monitor.h"

#include <cstdio>

namespace {

constexpr int kTuners = 4;

// Delivery systems (Linux fe_delivery_system), supply (fe_sec_voltage_t),
// tone (fe_sec_tone_mode_t) and modulations (fe_modulation) used here.
constexpr int SYS_DVBC = 1, SYS_DVBT = 3, SYS_DVBS = 5, SYS_DVBS2 = 6, SYS_DVBT2 = 16;
constexpr int VOLTAGE_13 = 0, VOLTAGE_18 = 1, VOLTAGE_OFF = 2;
constexpr int TONE_ON = 0, TONE_OFF = 1;
constexpr int MOD_QPSK = 0, MOD_QAM256 = 5, MOD_8PSK = 9;
constexpr int kDvbT2Mode = 65536;  // tuner_mode bit: the terrestrial standard is DVB-T2

constexpr int kSat8psk = 192;

// A programme of a test channel: video, audio and PCR PIDs, bypass, stream type.
struct Programme {
    int video, audio, pcr, bypass, streamtype;
};
constexpr Programme kCbandProgrammes[kTuners] = {
    {380, 381, 380, 1, 0}, {4501, 4502, 4501, 1, 0}, {167, 108, 167, 1, 0}, {517, 700, 517, 1, 0}};
constexpr Programme k8pskProgrammes[kTuners] = {
    {5101, 5102, 5101, 1, 1}, {5111, 5112, 5111, 1, 1}, {6110, 6106, 6110, 0, 1}, {6410, 6422, 6410, 0, 1}};
constexpr Programme kCableProgramme = {308, 103, 8190, 1, 0};
constexpr Programme kTerrestrialProgramme = {752, 754, 752, 1, 0};

// Satellite intermediate frequencies of the 8PSK channel: tuners 1 and 2,
// tuners 3 and 4 (kHz).
constexpr int k8pskIf[2] = {1744000, 1612000};
// Local oscillator of the LNB, to show the downlink frequency (MHz).
constexpr int kLofMhz = 9750;

void select_programme(const Programme &p)
{
    pes_video_pid = p.video;
    pes_audio_pid = p.audio;
    pes_pcr_pid = p.pcr;
    pes_bypass = p.bypass;
    pes_streamtype = p.streamtype;
}

void set_supply(int t, int voltage, int tone_mode)
{
    vlt[t] = voltage;
    tone[t] = tone_mode;
    vlt[0] = voltage;
    tone[0] = tone_mode;
}

void set_channel_text(const char *text) { status_store_text(g_status.channel_text, sizeof g_status.channel_text, text); }

// The first running tuner, or -1.
int running_tuner()
{
    for (int t = 0; t < kTuners; ++t)
        if (tuner_run[t] != 0)
            return t;
    return -1;
}

bool satellite(int s) { return s == SYS_DVBS || s == SYS_DVBS2; }
bool terrestrial(int s) { return s == SYS_DVBT || s == SYS_DVBT2; }

void all_supplies_off()
{
    for (int j = 0; j < kTuners; ++j) {
        vlt[j] = VOLTAGE_OFF;
        tone[j] = TONE_OFF;
    }
}

// Stops everything that uses the audio decoder. The audio test file goes
// first: decoder_stop would close the file's decoder and filter under the
// pump, which would go on feeding a DVR input nobody filters and leave key 8
// believing the file still played.
void stop_decoding()
{
    if (g_status.tsfile_playing)
        tsfile_stop();
    decoder_stop();
}

} // namespace

void fill_test_channel(int t)
{
    int n = t + 1;
    char text[sizeof g_status.channel_text];
    switch (tuner_system[t]) {
    case SYS_DVBS2:
        set_supply(t, VOLTAGE_18, TONE_OFF);
        if (g_status.sat_channel_select == kSat8psk) {
            freq[t] = k8pskIf[t < 2 ? 0 : 1];
            sr[t] = 22000000;
            sys[t] = SYS_DVBS2;
            mod[t] = MOD_8PSK;
            select_programme(k8pskProgrammes[t]);
            snprintf(text, sizeof text, "%d.DVB-%s : %d%s/%d/%sPSK", n, sys[t] == SYS_DVBS2 ? "S2" : "S",
                     freq[t] / 1000 + kLofMhz, vlt[t] == VOLTAGE_18 ? "H" : "V", sr[t] / 1000,
                     mod[t] == MOD_8PSK ? "8" : "Q");
        } else {
            freq[t] = 1150000;
            sr[t] = 28125000;
            sys[t] = SYS_DVBS;
            mod[t] = MOD_QPSK;
            select_programme(kCbandProgrammes[t]);
            snprintf(text, sizeof text, "%d.DVB-S : 4000H/28125/QPSK", n);
        }
        set_channel_text(text);
        break;
    case SYS_DVBC:
        set_supply(t, VOLTAGE_OFF, TONE_OFF);
        freq[t] = 466000;
        sr[t] = 6900000;
        sys[t] = SYS_DVBC;
        mod[t] = MOD_QAM256;
        bw[t] = 8000000;
        select_programme(kCableProgramme);
        snprintf(text, sizeof text, "%d.DVB-C : 466/6900/256QAM", n);
        set_channel_text(text);
        puts(text);
        break;
    case SYS_DVBT:
    case SYS_DVBT2:
        set_supply(t, VOLTAGE_13, TONE_OFF);
        freq[t] = 546000000;
        sys[t] = SYS_DVBT;  // a DVB-T2 tuner is tuned as DVB-T as well
        bw[t] = 8000000;
        select_programme(kTerrestrialProgramme);
        snprintf(text, sizeof text, "%d.DVB-T : 546/8M", n);
        set_channel_text(text);
        puts(text);
        break;
    default: break;  // DVB-S only, or nothing: no test channel
    }
}

void tuner_key(int t)
{
    if (t < 0 || t >= kTuners)
        return;
    // Only one tuner runs at a time.
    for (int j = 0; j < kTuners; ++j) {
        tuner_locked[j] = 0;
        if (j != t)
            tuner_run[j] = 0;
    }
    if (tuner_system[t] == 0)
        return;

    if (tuner_mode[t] != 0) {
        // A combined tuner steps off, cable, terrestrial, off; its mode file
        // selects the standard.
        char mode_file[48];
        snprintf(mode_file, sizeof mode_file, "/proc/stb/frontend/%d/mode", t);
        int state = tuner_run[t] + 1;
        tuner_run[t] = state;
        if (state == 1) {
            writeIntHex(mode_file, 0);
            tuner_system[t] = SYS_DVBC;
        } else if (state == 2) {
            writeIntHex(mode_file, 1);
            tuner_system[t] = (tuner_mode[t] & kDvbT2Mode) ? SYS_DVBT2 : SYS_DVBT;
        } else {
            tuner_run[t] = 0;
            writeIntHex(mode_file, 0);
            tuner_system[t] = SYS_DVBC;
        }
    } else {
        tuner_run[t] = tuner_run[t] ? 0 : 1;
    }

    fill_test_channel(t);

    stop_decoding();
    if (tuner_run[t] != 0) {
        decoder_start(t);
    } else {
        all_supplies_off();
        loadBackgroundImage();
    }
    BKNI_SetEvent(g_status.tuner_event);
}

void voltage_key()
{
    int t = running_tuner();
    if (t < 0)
        return;
    int s = sys[t];
    int next = VOLTAGE_OFF;
    if (satellite(s))
        next = vlt[0] == VOLTAGE_OFF ? VOLTAGE_13 : vlt[0] == VOLTAGE_13 ? VOLTAGE_18 : VOLTAGE_OFF;
    else if (terrestrial(s))
        next = vlt[0] == VOLTAGE_OFF ? VOLTAGE_13 : VOLTAGE_OFF;
    // The tuner monitor applies it on its own descriptor.
    for (int j = 0; j < kTuners; ++j)
        vlt[j] = next;
    tuner_supply_request.fetch_or(kSupplyVoltage);
    BKNI_SetEvent(g_status.tuner_event);
}

void tone_key()
{
    int t = running_tuner();
    if (t < 0)
        return;
    int next = satellite(sys[t]) && tone[0] == TONE_OFF ? TONE_ON : TONE_OFF;
    for (int j = 0; j < kTuners; ++j)
        tone[j] = next;
    tuner_supply_request.fetch_or(kSupplyTone);
    BKNI_SetEvent(g_status.tuner_event);
}

void sat_channel_key(int code)
{
    for (int j = 0; j < kTuners; ++j) {
        tuner_locked[j] = 0;
        tuner_run[j] = 0;
    }
    g_status.sat_channel_select = code;
    stop_decoding();
    all_supplies_off();
    loadBackgroundImage();
    BKNI_SetEvent(g_status.tuner_event);
}

void volume_key(int step)
{
    int v = g_status.volume + step;
    v = v < 0 ? 0 : v > 100 ? 100 : v;
    g_status.volume = v;
    audio_set_mixer(v);
}

void mute_key()
{
    int m = g_status.mute ? 0 : 1;
    g_status.mute = m;
    audio_set_mute(m);
}

void audio_file_key()
{
    if (g_status.tsfile_playing) {
        // Back to the tuner that was on before the file, if any. The tuner
        // and channel keys stop the file themselves, so nothing of live
        // decoding is open here.
        tsfile_stop();
        int t = running_tuner();
        if (t >= 0)
            decoder_start(t);
    } else {
        // Live decoding and the file share the audio decoder.
        decoder_stop();
        tsfile_start();
    }
}

void video1_key()
{
    // Off, front end 1, 2, 3, 4, off again.
    static int shown = 0;
    shown = (shown + 1) % (kTuners + 1);
    if (shown == 0)
        video1_stop();
    else
        video1_start(shown - 1);
}
