// The box's kernel ABI as the system encodes it.
#include "platform/box_abi.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

namespace {

TEST(BoxAbi, RequestNumbersFollowTheMipsEncoding)
{
    using namespace box_abi;
    EXPECT_EQ(ioc(kIocRead, 'o', 71, 2), FE_READ_SIGNAL_STRENGTH);
    EXPECT_EQ(ioc(kIocNone, 'o', 67, 0), FE_SET_VOLTAGE);
    EXPECT_EQ(ioc(kIocWrite, 'o', 63, 7), FE_DISEQC_SEND_MASTER_CMD);
    EXPECT_EQ(ioc(kIocWrite, 'o', 49, 4), DMX_SET_SOURCE);
    EXPECT_EQ(ioc(kIocWrite, 'o', 14, 8), AUDIO_SET_MIXER);
    EXPECT_EQ(ioc(kIocNone, 'o', 36, 0), VIDEO_SET_STREAMTYPE);
    EXPECT_EQ(ioc(kIocWrite, 's', 1, 4), SCI_IOCTL_RESET);
    EXPECT_EQ(ioc_dir(FE_READ_STATUS), kIocRead);
    EXPECT_EQ(ioc_size(FE_SET_PROPERTY), 8u);
}

TEST(BoxAbi, NamesDependOnTheDeviceFamily)
{
    EXPECT_STREQ(box_abi::request_name("fb", 0x4600), "FBIOGET_VSCREENINFO");
    EXPECT_STREQ(box_abi::request_name("fb", 0x22), "FBIO_BLIT");
    EXPECT_STREQ(box_abi::request_name("hdmi", 240), "HDMI_CEC_GET_STATE");
    EXPECT_STREQ(box_abi::request_name("ci", 0), "CI_IOCTL_RESET");
    EXPECT_EQ(box_abi::request_name("fb", 240), nullptr);
    EXPECT_EQ(box_abi::request_name("f", 0x4600), nullptr);
    EXPECT_EQ(box_abi::request_name("dvb", 0x4600), nullptr);
}

TEST(BoxAbi, InputEventIsSixteenBytesInTheBoxLayout)
{
    EXPECT_EQ(sizeof(box_abi::InputEvent), 16u);
    EXPECT_EQ(offsetof(box_abi::InputEvent, type), 8u);
    EXPECT_EQ(offsetof(box_abi::InputEvent, code), 10u);
    EXPECT_EQ(offsetof(box_abi::InputEvent, value), 12u);
    // A key press as the driver delivers it, little-endian.
    const unsigned char raw[16] = {1, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0x60, 0x01, 1, 0, 0, 0};
    box_abi::InputEvent ev;
    memcpy(&ev, raw, sizeof ev);
    EXPECT_EQ(ev.type, box_abi::EV_KEY_);
    EXPECT_EQ(ev.code, box_abi::KEY_OK_);
    EXPECT_EQ(ev.value, 1);
}

} // namespace
