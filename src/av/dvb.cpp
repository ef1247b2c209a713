#include "av/dvb.h"

#include "app/status.h"
#include "platform/box_abi.h"
#include "platform/os.h"

#include <cstdio>
#include <fcntl.h>

bool av_request(int fd, uint32_t request, unsigned long arg, const char *what)
{
    if (os::ioctl(fd, request, arg) >= 0)
        return true;
    printf("%s failed (%m)\n", what);
    return false;
}

bool av_request(int fd, uint32_t request, void *arg, const char *what)
{
    return av_request(fd, request, reinterpret_cast<unsigned long>(arg), what);
}

dmx_pes_filter_params av_pes_filter(int pid, dmx_pes_type_t pes_type)
{
    dmx_pes_filter_params p{};
    p.pid = static_cast<uint16_t>(pid & 0xFFFF);
    p.input = DMX_IN_FRONTEND;
    p.output = DMX_OUT_DECODER;
    p.pes_type = pes_type;
    p.flags = 0;
    return p;
}

void av_route_demux(const char *demux, int source)
{
    int fd = os::open(demux, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return;
    int src = source;
    os::ioctl(fd, box_abi::DMX_SET_SOURCE, &src);
    os::close(fd);
}

int av_attenuation(int volume)
{
    // A volume outside 0..100 would give the driver a negative attenuation.
    if (volume < 0)
        volume = 0;
    if (volume > 100)
        volume = 100;
    return 63 - (volume * 63) / 100;
}

void av_audio_full_volume(int fd)
{
    g_status.volume = 100;
    audio_mixer_t mixer{0, 0};
    av_request(fd, box_abi::AUDIO_SET_MIXER, &mixer, "AUDIO_SET_MIXER");
    g_status.mute = 0;
    av_request(fd, box_abi::AUDIO_SET_MUTE, 0UL, "AUDIO_SET_MUTE");
}

void av_open(std::atomic<int32_t> &handle, const char *path) { handle = os::open(path, O_RDWR | O_CLOEXEC); }

void av_close(std::atomic<int32_t> &handle)
{
    int fd = handle.exchange(-1);
    if (fd >= 0)
        os::close(fd);
}
