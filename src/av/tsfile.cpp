#include "av/tsfile.h"

#include "app/status.h"
#include "av/dvb.h"
#include "av/live.h"
#include "kni/bkni.h"
#include "platform/box_abi.h"
#include "platform/os.h"

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <new>
#include <unistd.h>

std::atomic<int32_t> fd_dvr4{-1}, fd_tsfile{-1};
std::atomic<uint32_t> tsfile_generation{0};

namespace {

constexpr const char *kDemux4 = "/dev/dvb0.demux4";
constexpr int kAudioPid = 103;
constexpr int kSourceDvr0 = 16;
constexpr unsigned kPacket = 188;
constexpr unsigned kChunk = 256 * kPacket;  // 48128 bytes
// Longest wait for the DVR input before the flags are looked at again.
constexpr int kWaitMs = 500;

// Whether the pump goes on with what it has open: playback is on and no
// start has asked for the DVR input and the file afresh.
bool keep_pumping(uint32_t generation)
{
    return g_status.tsfile_playing != 0 && g_status.quit == 0 && tsfile_generation == generation;
}

// Pause after a pass over the file that gave nothing, in steps so that a
// stop or quit is still seen within one step.
constexpr int kEmptyPassMs = 500;
constexpr int kEmptyPassStepMs = 100;

void wait_after_empty_pass(uint32_t generation)
{
    for (int waited = 0; waited < kEmptyPassMs && keep_pumping(generation); waited += kEmptyPassStepMs)
        BKNI_Sleep(kEmptyPassStepMs);
}

// Replaces `handle` with a fresh open of `path`. The pump's own: no other
// task closes these descriptors, so a number the pump still uses is never
// handed out to another open meanwhile.
void reopen(std::atomic<int32_t> &handle, const char *path, int flags)
{
    av_close(handle);
    handle = os::open(path, flags | O_CLOEXEC);
}

// Waits up to kWaitMs for the DVR input to take data. 1 ready, 0 time-out,
// -1 when it cannot be waited on.
int wait_writable(int fd)
{
    pollfd p{fd, POLLOUT, 0};
    int r = os::poll(&p, 1, kWaitMs);
    if (r < 0)
        return errno == EINTR ? 0 : -1;
    if (r == 0)
        return 0;
    return (p.revents & POLLOUT) ? 1 : -1;
}

// Writes the rest of a chunk that the DVR input took only in part. Every
// byte goes, in order, so the stream keeps its packet alignment; the chunk
// is given up on a write of nothing, a hard error, or when playback stops.
void finish_chunk(int fd, const unsigned char *buf, size_t len, size_t done, uint32_t generation)
{
    while (done < len) {
        if (!keep_pumping(generation))
            return;
        int ready = wait_writable(fd);
        if (ready < 0)
            return;
        if (ready == 0)
            continue;
        ssize_t n = os::write(fd, buf + done, len - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n == 0)
            return;
        else if (errno != EINTR && errno != EAGAIN && errno != EBUSY)
            return;
    }
}

} // namespace

void tsfile_start()
{
    av_route_demux(kDemux4, kSourceDvr0);

    av_open(fd_demux0_audio, kDemux4);
    int demux = fd_demux0_audio;
    if (demux >= 0) {
        dmx_pes_filter_params p = av_pes_filter(kAudioPid, DMX_PES_AUDIO0);
        av_request(demux, box_abi::DMX_SET_PES_FILTER, &p, "DMX_SET_PES_FILTER");
        av_request(demux, box_abi::DMX_START, 0UL, "DMX_START");
    }

    av_open(fd_audio0, "/dev/dvb0.audio0");
    int audio = fd_audio0;
    if (audio >= 0) {
        av_request(audio, box_abi::AUDIO_SELECT_SOURCE, static_cast<unsigned long>(AUDIO_SOURCE_DEMUX),
                   "AUDIO_SELECT_SOURCE");
        av_request(audio, box_abi::AUDIO_SET_BYPASS_MODE, 1UL, "AUDIO_SET_BYPASS_MODE");
        av_request(audio, box_abi::AUDIO_PAUSE, 0UL, "AUDIO_PAUSE");
        av_request(audio, box_abi::AUDIO_PLAY, 0UL, "AUDIO_PLAY");
        av_audio_full_volume(audio);
        av_request(audio, box_abi::AUDIO_CONTINUE, 0UL, "AUDIO_CONTINUE");
        av_request(audio, box_abi::AUDIO_CLEAR_BUFFER, 0UL, "AUDIO_CLEAR_BUFFER");
    }

    // The pump opens the DVR input and the file afresh: it alone opens and
    // closes them.
    tsfile_generation.fetch_add(1);
    g_status.tsfile_playing = 1;
}

void tsfile_stop()
{
    g_status.tsfile_playing = 0;
    BKNI_Sleep(100);
    if (fd_audio0 >= 0) {
        os::ioctl(fd_audio0, box_abi::AUDIO_STOP, 0UL);
        os::ioctl(fd_audio0, box_abi::AUDIO_PAUSE, 0UL);
        av_close(fd_audio0);
    }
    if (fd_demux0_audio >= 0) {
        os::ioctl(fd_demux0_audio, box_abi::DMX_STOP);
        av_close(fd_demux0_audio);
    }
}

void task_filepump(BKNI_TaskHandle, void *)
{
    // One buffer for the whole life of the pump.
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[kChunk]);
    size_t pass_bytes = 0;  // read since the file was last rewound
    uint32_t opened = 0;    // the start the DVR input and the file were opened for
    while (buf && g_status.quit == 0) {
        uint32_t generation = tsfile_generation;
        if (g_status.tsfile_playing != 0 && generation != opened) {
            // A start: the DVR input and the file from its beginning, once
            // per start (an open that fails stays failed until the next).
            reopen(fd_dvr4, "/dev/dvb0.dvr4", O_WRONLY);
            reopen(fd_tsfile, "/root/audio.ts", O_RDONLY);
            opened = generation;
            pass_bytes = 0;
        }
        int dvr = fd_dvr4, file = fd_tsfile;
        if (!keep_pumping(opened) || dvr < 0 || file < 0) {
            BKNI_Sleep(100);
            continue;
        }
        int ready = wait_writable(dvr);
        if (!keep_pumping(opened) || ready == 0)
            continue;
        if (ready < 0) {
            // A DVR input that reports only errors is not spun on.
            BKNI_Sleep(100);
            continue;
        }
        ssize_t got = os::read(file, buf.get(), kChunk);
        if (got <= 0) {
            // The file loops without a pause, unless the whole pass gave
            // nothing (an empty file, or one whose reads fail): starting over
            // at once would spin a core for as long as playback is on.
            os::lseek(file, 0, SEEK_SET);
            if (pass_bytes == 0)
                wait_after_empty_pass(opened);
            pass_bytes = 0;
            continue;
        }
        pass_bytes += static_cast<size_t>(got);
        size_t len = static_cast<size_t>(got);
        ssize_t put = os::write(dvr, buf.get(), len);
        if (put == got)
            continue;
        finish_chunk(dvr, buf.get(), len, put > 0 ? static_cast<size_t>(put) : 0, opened);
    }
    av_close(fd_dvr4);
    av_close(fd_tsfile);
}

int writeAll(int fd, const void *data, unsigned count)
{
    const auto *p = static_cast<const unsigned char *>(data);
    unsigned done = 0;
    while (done < count) {
        ssize_t n = os::write(fd, p + done, count - done);
        if (n == 0)
            return -1;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return static_cast<int>(n);
        }
        done += static_cast<unsigned>(n);
    }
    return static_cast<int>(count);
}
