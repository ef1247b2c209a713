#include "av/video1.h"

#include "av/dvb.h"
#include "platform/box_abi.h"
#include "platform/os.h"

std::atomic<int32_t> fd_video1{-1}, fd_demux1_video{-1};

namespace {

constexpr const char *kDemux1 = "/dev/dvb0.demux1";

struct Channel {
    int video_pid;
    int audio_pid;
    int pcr_pid;
    int bypass;
    int stream_type;
};

// The test programme each front end carries.
constexpr int kVideoPid[4] = {167, 380, 308, 308};
constexpr int kAudioPid[4] = {108, 381, 103, 103};
constexpr int kPcrPid[4] = {167, 380, 8190, 8190};

Channel channel_for(int fe)
{
    int i = fe < 0 ? 0 : fe > 3 ? 3 : fe;
    return {kVideoPid[i], kAudioPid[i], kPcrPid[i], 1, 0};
}

} // namespace

int video1_start(int fe)
{
    Channel ch = channel_for(fe);
    av_route_demux(kDemux1, fe);

    if (fd_video1 < 0)
        av_open(fd_video1, "/dev/dvb0.video1");
    int video = fd_video1;
    if (video >= 0) {
        av_request(video, box_abi::VIDEO_SELECT_SOURCE, static_cast<unsigned long>(VIDEO_SOURCE_DEMUX),
                   "VIDEO1_SELECT_SOURCE MEMORY");
        av_request(video, box_abi::VIDEO_SET_STREAMTYPE, static_cast<unsigned long>(ch.stream_type),
                   "VIDEO1_SET_STREAMTYPE");
    }

    if (fd_demux1_video < 0)
        av_open(fd_demux1_video, kDemux1);
    int demux = fd_demux1_video;
    if (demux >= 0) {
        dmx_pes_filter_params p = av_pes_filter(ch.video_pid, DMX_PES_VIDEO0);
        av_request(demux, box_abi::DMX_SET_PES_FILTER, &p, "VIDEO1_DMX_SET_PES_FILTER");
        av_request(demux, box_abi::DMX_START, 0UL, "VIDEO1_DMX_START");
    }

    if (video >= 0)
        av_request(video, box_abi::VIDEO_PLAY, 0UL, "VIDEO1_PLAY");
    return 0;
}

void video1_stop()
{
    if (fd_video1 >= 0) {
        os::ioctl(fd_video1, box_abi::VIDEO_STOP, 1UL);
        av_close(fd_video1);
    }
    if (fd_demux1_video >= 0) {
        os::ioctl(fd_demux1_video, box_abi::DMX_STOP);
        av_close(fd_demux1_video);
    }
}
