// The console's tuner and A/V test keys.
//
// The tuner keys (1 to 6 and the channel keys) take effect once the tuner
// layer is part of the tree; until then they do nothing.
#include "console/test_keys.h"

#include "app/status.h"
#include "av/live.h"
#include "av/tsfile.h"
#include "av/video1.h"

namespace {

constexpr int kFrontends = 4;

} // namespace

void tuner_key(int) {}
void voltage_key() {}
void tone_key() {}
void sat_channel_key(int) {}
void fill_test_channel(int) {}

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
        tsfile_stop();
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
    shown = (shown + 1) % (kFrontends + 1);
    if (shown == 0)
        video1_stop();
    else
        video1_start(shown - 1);
}
