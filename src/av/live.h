// Live decoding of one programme from a tuner: three PES filters on
// demultiplexer 0 (PCR, audio, video) feeding audio decoder 0 and video
// decoder 0, and the audio volume and mute.
#pragma once

#include <atomic>
#include <cstdint>

// Device handles, -1 while closed. fd_demux0_audio and fd_audio0 are shared
// with file playback, which is never active at the same time.
extern std::atomic<int32_t> fd_demux0_pcr, fd_demux0_audio, fd_demux0_video, fd_audio0, fd_video0;

// The programme to decode, filled by the console's tuner keys. PIDs are -1
// until chosen.
extern std::atomic<int32_t> pes_video_pid, pes_audio_pid, pes_pcr_pid, pes_bypass, pes_streamtype;

// Routes demultiplexer 0 to front end `t` and starts decoding the selected
// programme. Returns 0; every failure is only reported.
int decoder_start(int t);
// Stops and closes what decoder_start opened, then waits 500 ms.
void decoder_stop();
// Both channels of audio decoder 0 to the attenuation for `volume` percent.
void audio_set_mixer(int volume);
// Audio decoder 0's mute flag.
void audio_set_mute(int mute);
