// The console's tuner and A/V test keys.
//
// Until the tuner and A/V layers are part of the tree, the keys that drive
// them do nothing; volume and mute keep their setting.
#include "console/test_keys.h"

#include "app/status.h"

void tuner_key(int) {}
void voltage_key() {}
void tone_key() {}
void sat_channel_key(int) {}
void fill_test_channel(int) {}
void audio_file_key() {}
void video1_key() {}

void volume_key(int step)
{
    int v = g_status.volume + step;
    g_status.volume = v < 0 ? 0 : v > 100 ? 100 : v;
}

void mute_key() { g_status.mute = g_status.mute ? 0 : 1; }
