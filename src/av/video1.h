// The box's second video decoder, fed by demultiplexer 1 from any front end
// with a fixed programme per front end; only video, no audio or PCR.
#pragma once

#include <atomic>
#include <cstdint>

extern std::atomic<int32_t> fd_video1, fd_demux1_video;

// Shows front end `fe`'s (0 to 3) test programme on video decoder 1. Open
// handles are reused, so a second call switches to another front end.
// Returns 0.
int video1_start(int fe);
// Stops video decoder 1 with blanking and closes both handles.
void video1_stop();
