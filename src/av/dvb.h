// Small steps shared by the decoder paths: a request whose failure is
// reported, the PES filter record, routing a demultiplexer, the mixer's
// attenuation and closing a shared handle.
#pragma once

#include <atomic>
#include <cstdint>
#include <linux/dvb/dmx.h>

// Issues a request on `fd`; on failure prints `what` followed by
// " failed (%m)\n" on standard output. True when the driver took it.
bool av_request(int fd, uint32_t request, unsigned long arg, const char *what);
bool av_request(int fd, uint32_t request, void *arg, const char *what);

// A PES filter fed by a front end and routed to a decoder, started by an
// explicit DMX_START. Only the low 16 bits of the PID reach the driver.
dmx_pes_filter_params av_pes_filter(int pid, dmx_pes_type_t pes_type);

// Opens `demux` for a moment and routes it to `source` (front end 0 to 3, or
// the DVR input 16). Failures are silent.
void av_route_demux(const char *demux, int source);

// The mixer's attenuation for a volume in percent: 0 is loudest, 63 silent.
int av_attenuation(int volume);

// Full volume without mute on an open audio decoder, recorded in the status
// record's `volume` and `mute`; failures reported.
void av_audio_full_volume(int fd);

// Opens `path` read-write into `handle`; -1 stays when the open fails.
void av_open(std::atomic<int32_t> &handle, const char *path);
// Closes `handle` if open and sets it to -1.
void av_close(std::atomic<int32_t> &handle);
