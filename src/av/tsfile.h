// Playback of the audio test file "/root/audio.ts" through the DVR input of
// demultiplexer 4 and audio decoder 0, in an endless loop, with no tuner.
#pragma once

#include "app/task.h"

#include <atomic>
#include <cstdint>

// The DVR input (write-only) and the file, -1 while closed. The pump owns
// them: it opens them afresh after each tsfile_start and closes them when it
// ends; they stay open after tsfile_stop. No other task closes them, so the
// pump never writes through a number that another open has been given.
extern std::atomic<int32_t> fd_dvr4, fd_tsfile;
// Counts the starts; the pump opens the two again when it changes.
extern std::atomic<uint32_t> tsfile_generation;

// Sets up demultiplexer 4 and audio decoder 0, asks the pump for the DVR
// input and the file from its start, and sets tsfile_playing. Live decoding
// must be stopped first.
void tsfile_start();
// Clears tsfile_playing and releases the audio decoder and its filter.
void tsfile_stop();
// The pump: copies the file into the DVR input while tsfile_playing is set,
// until quit.
void task_filepump(BKNI_TaskHandle task, void *data);
// Writes all `count` bytes, retrying interrupted writes. Returns count, -1
// when a write wrote nothing, or a failed write's negative result.
int writeAll(int fd, const void *data, unsigned count);
