// Frontend control: the system's only access to the box's up to four tuners
// ("/dev/dvb0.frontend%d"). Reads lock, SNR and signal strength, switches the
// LNB supply and the 22 kHz tone, and tunes through the property interface.
#pragma once

#include <atomic>
#include <cstdint>

// Per-tuner tables, index = tuner 0 to 3. The console's tuner keys fill the
// settings, the tuner monitor hands them to tuner_tune; fd_tuner is -1 while
// the tuner's frontend is closed.
extern std::atomic<int32_t> fd_tuner[4], vlt[4], tone[4], freq[4], sr[4], sys[4], mod[4], bw[4];

// Lock state: 16 (FE_HAS_LOCK) when locked, 0 when not or closed.
int tuner_read_status(int t);
// Raw readings 0 to 65535; 0 when closed or when the request fails.
int tuner_read_snr(int t);
int tuner_read_agc(int t);
// Set the LNB (or antenna) supply and the 22 kHz tone of an open tuner.
int tuner_set_voltage(int t, int voltage);
int tuner_set_tone(int t, int tone);
// Tunes an open tuner: the satellite switch sequence or antenna supply as the
// delivery system needs, then one property list. Always returns 0.
int tuner_tune(int t, int freq, int sr, int sys, int mod, int vlt, int tone, int bw);
