#include "av/live.h"

#include "av/dvb.h"
#include "kni/bkni.h"
#include "platform/box_abi.h"
#include "platform/os.h"

std::atomic<int32_t> fd_demux0_pcr{-1}, fd_demux0_audio{-1}, fd_demux0_video{-1}, fd_audio0{-1}, fd_video0{-1};
std::atomic<int32_t> pes_video_pid{-1}, pes_audio_pid{-1}, pes_pcr_pid{-1}, pes_bypass{1}, pes_streamtype{0};

namespace {

constexpr const char *kDemux0 = "/dev/dvb0.demux0";

// Sets a PES filter on an open handle and starts it, with the messages of
// that filter.
void start_filter(int fd, int pid, dmx_pes_type_t type, const char *set_msg, const char *start_msg)
{
    if (fd < 0)
        return;
    dmx_pes_filter_params p = av_pes_filter(pid, type);
    av_request(fd, box_abi::DMX_SET_PES_FILTER, &p, set_msg);
    av_request(fd, box_abi::DMX_START, 0UL, start_msg);
}

void stop_filter(std::atomic<int32_t> &handle)
{
    if (handle < 0)
        return;
    os::ioctl(handle, box_abi::DMX_STOP);
    av_close(handle);
}

} // namespace

int decoder_start(int t)
{
    av_route_demux(kDemux0, t);

    av_open(fd_demux0_pcr, kDemux0);
    av_open(fd_demux0_audio, kDemux0);
    av_open(fd_demux0_video, kDemux0);
    av_open(fd_audio0, "/dev/dvb0.audio0");
    av_open(fd_video0, "/dev/dvb0.video0");

    start_filter(fd_demux0_pcr, pes_pcr_pid, DMX_PES_PCR0, "PCR_DMX_SET_PES_FILTER", "PCR_DMX_START");
    start_filter(fd_demux0_audio, pes_audio_pid, DMX_PES_AUDIO0, "AUDIO_DMX_SET_PES_FILTER", "AUDIO_DMX_START");

    int audio = fd_audio0;
    if (audio >= 0) {
        av_request(audio, box_abi::AUDIO_SELECT_SOURCE, static_cast<unsigned long>(AUDIO_SOURCE_DEMUX),
                   "AUDIO_SELECT_SOURCE");
        av_request(audio, box_abi::AUDIO_SET_BYPASS_MODE, static_cast<unsigned long>(pes_bypass.load()),
                   "AUDIO_SET_BYPASS_MODE");
        av_request(audio, box_abi::AUDIO_PLAY, 0UL, "AUDIO_PLAY");
        av_audio_full_volume(audio);
    }

    // The video decoder learns its source and stream type before its filter
    // starts delivering; play comes last.
    int video = fd_video0;
    if (video >= 0) {
        av_request(video, box_abi::VIDEO_SELECT_SOURCE, static_cast<unsigned long>(VIDEO_SOURCE_DEMUX),
                   "VIDEO_SELECT_SOURCE DEMUX");
        av_request(video, box_abi::VIDEO_SET_STREAMTYPE, static_cast<unsigned long>(pes_streamtype.load()),
                   "VIDEO_SET_STREAMTYPE");
    }
    start_filter(fd_demux0_video, pes_video_pid, DMX_PES_VIDEO0, "VIDEO_DMX_SET_PES_FILTER", "VIDEO_DMX_START");
    if (video >= 0)
        av_request(video, box_abi::VIDEO_PLAY, 0UL, "VIDEO_PLAY");
    return 0;
}

void decoder_stop()
{
    if (fd_audio0 >= 0) {
        os::ioctl(fd_audio0, box_abi::AUDIO_STOP);
        os::ioctl(fd_audio0, box_abi::AUDIO_PAUSE);
        av_close(fd_audio0);
    }
    if (fd_video0 >= 0) {
        os::ioctl(fd_video0, box_abi::VIDEO_STOP, 1UL);
        av_close(fd_video0);
    }
    stop_filter(fd_demux0_video);
    stop_filter(fd_demux0_audio);
    stop_filter(fd_demux0_pcr);
    BKNI_Sleep(500);
}

void audio_set_mixer(int volume)
{
    int fd = fd_audio0;
    if (fd < 0)
        return;
    unsigned att = static_cast<unsigned>(av_attenuation(volume));
    audio_mixer_t mixer{att, att};
    os::ioctl(fd, box_abi::AUDIO_SET_MIXER, &mixer);
}

void audio_set_mute(int mute)
{
    int fd = fd_audio0;
    if (fd < 0)
        return;
    os::ioctl(fd, box_abi::AUDIO_SET_MUTE, static_cast<unsigned long>(mute));
}
