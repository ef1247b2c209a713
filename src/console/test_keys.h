// The tuner and A/V test keys of the console, called by the key input task
// by key code: keys 1 to 4 switch tuners 1 to 4 (and step a combined
// cable/terrestrial tuner through its standards) and start live decoding of
// the tuner's test channel; key 5 steps the LNB or antenna supply, key 6 the
// 22 kHz tone; the channel keys choose the satellite test channel; volume
// and mute; key 8 switches between live decoding and the audio test file,
// key 9 steps the second video decoder through the front ends.
#pragma once

// Tuner key for tuner t (0 to 3).
void tuner_key(int t);
// Supply voltage key (KEY_5) and tone key (KEY_6).
void voltage_key();
void tone_key();
// Satellite channel key with code 192 (KEY_CHANNELUP) or 1006 (KEY_CHANNELDOWN).
void sat_channel_key(int code);
// Volume by `step` percent within 0 to 100 (KEY_VOLUMEUP, KEY_VOLUMEDOWN);
// mute on and off (KEY_MUTE).
void volume_key(int step);
void mute_key();
// KEY_8: the audio test file on (live decoding stopped first) or off (live
// decoding of the running tuner started again).
void audio_file_key();
// KEY_9: the second video decoder on front end 1, 2, 3, 4, then off.
void video1_key();

// Fills the test channel of tuner t for its kind (tuning settings, element 0
// of the supply and tone, the programme selection and channel_text). A tuner
// of a kind without a test channel is left as it is.
void fill_test_channel(int t);
