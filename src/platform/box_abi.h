// The box's kernel ABI: ioctl request numbers as the box's kernel encodes
// them, the input event record and the key codes the system uses.
//
// The box is 32-bit little-endian MIPS. Its ioctl encoding differs from x86:
// the direction lives in bits 29-31 (0x20000000 none, 0x40000000 read,
// 0x80000000 write), the argument size in bits 16-28, the type letter in bits
// 8-15 and the number in bits 0-7. The numbers are fixed here rather than
// taken from the host's <linux/*.h> macros, which encode for the host.
// Record layouts that are the same on every architecture come from the Linux
// UAPI headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <linux/dvb/audio.h>
#include <linux/dvb/dmx.h>
#include <linux/dvb/frontend.h>
#include <linux/dvb/video.h>
#include <linux/fb.h>

// The UAPI headers define these request names as macros in the host's
// encoding; the box's numbers below take their place.
#undef FBIOGET_VSCREENINFO
#undef FBIOPUT_VSCREENINFO
#undef FBIOGET_FSCREENINFO
#undef FBIO_BLIT
#undef FBIO_SET_MANUAL_BLIT
#undef FE_READ_STATUS
#undef FE_READ_SNR
#undef FE_READ_SIGNAL_STRENGTH
#undef FE_SET_VOLTAGE
#undef FE_SET_TONE
#undef FE_DISEQC_SEND_MASTER_CMD
#undef FE_SET_PROPERTY
#undef DMX_SET_SOURCE
#undef DMX_SET_PES_FILTER
#undef DMX_START
#undef DMX_STOP
#undef AUDIO_STOP
#undef AUDIO_PLAY
#undef AUDIO_PAUSE
#undef AUDIO_CONTINUE
#undef AUDIO_SELECT_SOURCE
#undef AUDIO_SET_MUTE
#undef AUDIO_SET_BYPASS_MODE
#undef AUDIO_CLEAR_BUFFER
#undef AUDIO_SET_MIXER
#undef VIDEO_STOP
#undef VIDEO_PLAY
#undef VIDEO_SELECT_SOURCE
#undef VIDEO_SET_STREAMTYPE

namespace box_abi {

// MIPS ioctl encoding.
constexpr uint32_t kIocNone = 1u;
constexpr uint32_t kIocRead = 2u;
constexpr uint32_t kIocWrite = 4u;
constexpr uint32_t ioc(uint32_t dir, uint32_t type, uint32_t nr, uint32_t size)
{
    return (dir << 29) | ((size & 0x1fffu) << 16) | (type << 8) | nr;
}
constexpr uint32_t ioc_size(uint32_t request) { return (request >> 16) & 0x1fffu; }
constexpr uint32_t ioc_dir(uint32_t request) { return request >> 29; }

// Framebuffer (/dev/fb0): the standard screen-information requests and two of
// the box's own driver.
constexpr uint32_t FBIOGET_VSCREENINFO = 0x4600;
constexpr uint32_t FBIOPUT_VSCREENINFO = 0x4601;
constexpr uint32_t FBIOGET_FSCREENINFO = 0x4602;
constexpr uint32_t FBIO_BLIT = 0x22;
constexpr uint32_t FBIO_SET_MANUAL_BLIT = 0x80014621;  // write, 1 byte, 'F', 0x21

// HDMI-CEC driver (/dev/hdmi_cec): fills one 32-bit state word.
constexpr uint32_t HDMI_CEC_GET_STATE = 240;

// Smart-card reader (/dev/sciN).
constexpr uint32_t SCI_IOCTL_CARD_DETECT = 0x80047308;  // 's', 8, 4 bytes
constexpr uint32_t SCI_IOCTL_RESET = 0x80047301;        // 's', 1
// Common-interface slot (/dev/ciN): reset, no argument.
constexpr uint32_t CI_IOCTL_RESET = 0;

// Frontend (/dev/dvb0.frontendN).
constexpr uint32_t FE_READ_STATUS = 0x40046F45;
constexpr uint32_t FE_READ_SNR = 0x40026F48;
constexpr uint32_t FE_READ_SIGNAL_STRENGTH = 0x40026F47;
constexpr uint32_t FE_SET_VOLTAGE = 0x20006F43;
constexpr uint32_t FE_SET_TONE = 0x20006F42;
constexpr uint32_t FE_DISEQC_SEND_MASTER_CMD = 0x80076F3F;
constexpr uint32_t FE_SET_PROPERTY = 0x80086F52;

// Demultiplexer (/dev/dvb0.demuxN).
constexpr uint32_t DMX_SET_SOURCE = 0x80046F31;
constexpr uint32_t DMX_SET_PES_FILTER = 0x80146F2C;
constexpr uint32_t DMX_START = 0x20006F29;
constexpr uint32_t DMX_STOP = 0x20006F2A;

// Audio decoder (/dev/dvb0.audioN).
constexpr uint32_t AUDIO_STOP = 0x20006F01;
constexpr uint32_t AUDIO_PLAY = 0x20006F02;
constexpr uint32_t AUDIO_PAUSE = 0x20006F03;
constexpr uint32_t AUDIO_CONTINUE = 0x20006F04;
constexpr uint32_t AUDIO_SELECT_SOURCE = 0x20006F05;
constexpr uint32_t AUDIO_SET_MUTE = 0x20006F06;
constexpr uint32_t AUDIO_SET_BYPASS_MODE = 0x20006F08;
constexpr uint32_t AUDIO_CLEAR_BUFFER = 0x20006F0C;
constexpr uint32_t AUDIO_SET_MIXER = 0x80086F0E;

// Video decoder (/dev/dvb0.videoN).
constexpr uint32_t VIDEO_STOP = 0x20006F15;
constexpr uint32_t VIDEO_PLAY = 0x20006F16;
constexpr uint32_t VIDEO_SELECT_SOURCE = 0x20006F19;
constexpr uint32_t VIDEO_SET_STREAMTYPE = 0x20006F24;

// Request names for traces and messages, kept next to their numbers. Several
// drivers reuse small numbers; the name depends on the device, so a lookup
// names the device family it is for ("fb", "hdmi", "sci", "ci", "dvb").
struct RequestName {
    const char *family;
    uint32_t number;
    const char *name;
};
inline constexpr RequestName kRequestNames[] = {
    {"fb", FBIOGET_VSCREENINFO, "FBIOGET_VSCREENINFO"},
    {"fb", FBIOPUT_VSCREENINFO, "FBIOPUT_VSCREENINFO"},
    {"fb", FBIOGET_FSCREENINFO, "FBIOGET_FSCREENINFO"},
    {"fb", FBIO_BLIT, "FBIO_BLIT"},
    {"fb", FBIO_SET_MANUAL_BLIT, "FBIO_SET_MANUAL_BLIT"},
    {"hdmi", HDMI_CEC_GET_STATE, "HDMI_CEC_GET_STATE"},
    {"sci", SCI_IOCTL_CARD_DETECT, "SCI_IOCTL_CARD_DETECT"},
    {"sci", SCI_IOCTL_RESET, "SCI_IOCTL_RESET"},
    {"ci", CI_IOCTL_RESET, "CI_IOCTL_RESET"},
    {"dvb", FE_READ_STATUS, "FE_READ_STATUS"},
    {"dvb", FE_READ_SNR, "FE_READ_SNR"},
    {"dvb", FE_READ_SIGNAL_STRENGTH, "FE_READ_SIGNAL_STRENGTH"},
    {"dvb", FE_SET_VOLTAGE, "FE_SET_VOLTAGE"},
    {"dvb", FE_SET_TONE, "FE_SET_TONE"},
    {"dvb", FE_DISEQC_SEND_MASTER_CMD, "FE_DISEQC_SEND_MASTER_CMD"},
    {"dvb", FE_SET_PROPERTY, "FE_SET_PROPERTY"},
    {"dvb", DMX_SET_SOURCE, "DMX_SET_SOURCE"},
    {"dvb", DMX_SET_PES_FILTER, "DMX_SET_PES_FILTER"},
    {"dvb", DMX_START, "DMX_START"},
    {"dvb", DMX_STOP, "DMX_STOP"},
    {"dvb", AUDIO_STOP, "AUDIO_STOP"},
    {"dvb", AUDIO_PLAY, "AUDIO_PLAY"},
    {"dvb", AUDIO_PAUSE, "AUDIO_PAUSE"},
    {"dvb", AUDIO_CONTINUE, "AUDIO_CONTINUE"},
    {"dvb", AUDIO_SELECT_SOURCE, "AUDIO_SELECT_SOURCE"},
    {"dvb", AUDIO_SET_MUTE, "AUDIO_SET_MUTE"},
    {"dvb", AUDIO_SET_BYPASS_MODE, "AUDIO_SET_BYPASS_MODE"},
    {"dvb", AUDIO_CLEAR_BUFFER, "AUDIO_CLEAR_BUFFER"},
    {"dvb", AUDIO_SET_MIXER, "AUDIO_SET_MIXER"},
    {"dvb", VIDEO_STOP, "VIDEO_STOP"},
    {"dvb", VIDEO_PLAY, "VIDEO_PLAY"},
    {"dvb", VIDEO_SELECT_SOURCE, "VIDEO_SELECT_SOURCE"},
    {"dvb", VIDEO_SET_STREAMTYPE, "VIDEO_SET_STREAMTYPE"},
};

// The name of a request of a device family, or null.
constexpr const char *request_name(const char *family, uint32_t number)
{
    for (const auto &r : kRequestNames) {
        const char *a = r.family;
        const char *b = family;
        while (*a && *a == *b) {
            ++a;
            ++b;
        }
        if (*a == *b && r.number == number)
            return r.name;
    }
    return nullptr;
}

// The standard Linux input event as the 32-bit box delivers it: 16 bytes.
struct InputEvent {
    uint32_t tv_sec;
    uint32_t tv_usec;
    uint16_t type;
    uint16_t code;
    int32_t value;
};
static_assert(sizeof(InputEvent) == 16, "input event record is 16 bytes on the box");
constexpr uint16_t EV_KEY_ = 1;
constexpr uint16_t EV_SYN_ = 0;
constexpr uint16_t SYN_REPORT_ = 0;
constexpr uint16_t SYN_DROPPED_ = 3;  // the reader's buffer overflowed; records were lost

// The MIPS encoding of the requests above must agree with its own fields.
static_assert(FBIO_SET_MANUAL_BLIT == ioc(kIocWrite, 'F', 0x21, 1));
static_assert(SCI_IOCTL_CARD_DETECT == ioc(kIocWrite, 's', 8, 4));
static_assert(FE_READ_STATUS == ioc(kIocRead, 'o', 69, 4));
static_assert(FE_READ_SNR == ioc(kIocRead, 'o', 72, 2));
static_assert(FE_SET_TONE == ioc(kIocNone, 'o', 66, 0));
static_assert(DMX_SET_PES_FILTER == ioc(kIocWrite, 'o', 44, 20));

// Argument records against the size field of their requests. On the host
// pointers are wider, so only the box's 32-bit build can check the records
// that hold one.
static_assert(ioc_size(FE_READ_STATUS) == sizeof(uint32_t));
static_assert(ioc_size(FE_READ_SNR) == sizeof(uint16_t));
static_assert(ioc_size(FE_READ_SIGNAL_STRENGTH) == sizeof(uint16_t));
static_assert(ioc_size(FE_DISEQC_SEND_MASTER_CMD) == sizeof(struct dvb_diseqc_master_cmd));
static_assert(ioc_size(DMX_SET_SOURCE) == sizeof(int));
static_assert(ioc_size(DMX_SET_PES_FILTER) == sizeof(struct dmx_pes_filter_params));
static_assert(ioc_size(AUDIO_SET_MIXER) == sizeof(struct audio_mixer));
static_assert(ioc_size(SCI_IOCTL_CARD_DETECT) == sizeof(int32_t));
static_assert(ioc_size(FBIO_SET_MANUAL_BLIT) == sizeof(unsigned char));
#if UINTPTR_MAX == 0xffffffffu
static_assert(ioc_size(FE_SET_PROPERTY) == sizeof(struct dtv_properties));
static_assert(sizeof(struct fb_var_screeninfo) == 160);
static_assert(sizeof(struct fb_fix_screeninfo) == 68);
#endif

// Key codes the system acts on (Linux input key codes).
constexpr uint16_t KEY_1_ = 2;
constexpr uint16_t KEY_2_ = 3;
constexpr uint16_t KEY_3_ = 4;
constexpr uint16_t KEY_4_ = 5;
constexpr uint16_t KEY_5_ = 6;
constexpr uint16_t KEY_6_ = 7;
constexpr uint16_t KEY_7_ = 8;
constexpr uint16_t KEY_8_ = 9;
constexpr uint16_t KEY_9_ = 10;
constexpr uint16_t KEY_0_ = 11;
constexpr uint16_t KEY_E_ = 18;
constexpr uint16_t KEY_ENTER_ = 28;
constexpr uint16_t KEY_A_ = 30;
constexpr uint16_t KEY_D_ = 32;
constexpr uint16_t KEY_F_ = 33;
constexpr uint16_t KEY_SEMICOLON_ = 39;
constexpr uint16_t KEY_C_ = 46;
constexpr uint16_t KEY_B_ = 48;
constexpr uint16_t KEY_UP_ = 103;
constexpr uint16_t KEY_LEFT_ = 105;
constexpr uint16_t KEY_RIGHT_ = 106;
constexpr uint16_t KEY_DOWN_ = 108;
constexpr uint16_t KEY_MUTE_ = 113;
constexpr uint16_t KEY_VOLUMEDOWN_ = 114;
constexpr uint16_t KEY_VOLUMEUP_ = 115;
constexpr uint16_t KEY_POWER_ = 116;
constexpr uint16_t KEY_MENU_ = 139;
constexpr uint16_t KEY_EXIT_ = 174;
constexpr uint16_t KEY_OK_ = 352;
constexpr uint16_t KEY_RED_ = 398;
constexpr uint16_t KEY_GREEN_ = 399;
constexpr uint16_t KEY_YELLOW_ = 400;
constexpr uint16_t KEY_BLUE_ = 401;
constexpr uint16_t KEY_CHANNELUP_ = 402;
constexpr uint16_t KEY_CHANNELDOWN_ = 403;

} // namespace box_abi
