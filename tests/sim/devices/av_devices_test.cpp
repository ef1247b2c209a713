// The simulated A/V devices on their own: the demultiplexers' and decoders'
// refusals, what a decoder gets from the radio, the DVR input's buffer and
// the transport-stream check of what passes through it.
#include "sim_test.h"

#include "devices/av.h"
#include "devices/radio.h"
#include "platform/box_abi.h"
#include "platform/os.h"

#include <fcntl.h>

namespace {

using boxsim::json;

class SimAv : public ::testing::Test {
protected:
    void SetUp() override { box = boxtest::make_box_from({{"model", "rcplus"}, {"av", {{"dvr_buffer", 1000}}}}); }
    int set(int fd, int pid, int type)
    {
        dmx_pes_filter_params p{};
        p.pid = static_cast<uint16_t>(pid);
        p.pes_type = static_cast<dmx_pes_type_t>(type);
        return os::ioctl(fd, box_abi::DMX_SET_PES_FILTER, &p);
    }
    json av() { return box->describe()["av"]; }
    std::unique_ptr<boxsim::Box> box;
};

TEST_F(SimAv, DemuxAndDecodersRefuseWhatALinuxDriverRefuses)
{
    int a = os::open("/dev/dvb0.demux0", O_RDWR), b = os::open("/dev/dvb0.demux0", O_RDWR);
    int c = os::open("/dev/dvb0.demux1", O_RDWR);
    int bad_source = 5;
    EXPECT_EQ(os::ioctl(a, box_abi::DMX_SET_SOURCE, &bad_source), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(os::ioctl(a, box_abi::DMX_START), -1);  // nothing set yet
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(set(a, 0x2000, DMX_PES_VIDEO0), 0);      // taken, refused when started
    EXPECT_EQ(os::ioctl(a, box_abi::DMX_START), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(set(a, 380, DMX_PES_VIDEO0), 0);
    EXPECT_EQ(os::ioctl(a, box_abi::DMX_START), 0);
    EXPECT_EQ(set(b, 381, DMX_PES_VIDEO0), 0);
    EXPECT_EQ(os::ioctl(b, box_abi::DMX_START), -1);  // one video decoder filter per device
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(set(c, 308, DMX_PES_VIDEO0), 0);
    EXPECT_EQ(os::ioctl(c, box_abi::DMX_START), 0);
    EXPECT_EQ(os::ioctl(b, box_abi::DMX_STOP), 0);  // never started: fine
    os::close(a);
    EXPECT_EQ(os::ioctl(b, box_abi::DMX_START), 0);  // the first one's filter went with its handle

    int v = os::open("/dev/dvb0.video0", O_RDWR);
    EXPECT_GE(v, 0);
    EXPECT_EQ(os::open("/dev/dvb0.video0", O_RDWR), -1);
    EXPECT_EQ(errno, EBUSY);
    int ro = os::open("/dev/dvb0.audio0", O_RDONLY);
    EXPECT_EQ(os::ioctl(ro, box_abi::AUDIO_PLAY), -1);
    EXPECT_EQ(errno, EPERM);
    int au = os::open("/dev/dvb0.audio0", O_RDWR);
    EXPECT_EQ(os::ioctl(au, box_abi::AUDIO_SELECT_SOURCE, 2UL), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(os::ioctl(v, 0x20006F99UL), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(os::open("/dev/dvb0.dvr4", O_RDWR), -1);  // a playback input is written only
}

TEST_F(SimAv, VideoDecoderShowsOnlyAServiceItsLockedFrontEndCarries)
{
    int d = os::open("/dev/dvb0.demux0", O_RDWR), v = os::open("/dev/dvb0.video0", O_RDWR);
    set(d, 380, DMX_PES_VIDEO0);
    os::ioctl(d, box_abi::DMX_START);
    os::ioctl(v, box_abi::VIDEO_PLAY);
    EXPECT_EQ(av()["video0"]["feed"]["present"], false);  // front end 0 not locked
    EXPECT_FALSE(boxsim::picture(*box, "tv"));
    box->part<boxsim::RadioFeed>().set(0, boxsim::LockedChannel{"C-band", {{"C-band 1", 380, 381, 380, 0}}});
    box->changed();
    EXPECT_TRUE(boxtest::eventually([&] { return av()["video0"]["feed"]["present"] == true; }, std::chrono::seconds(2)));
    EXPECT_TRUE(boxtest::eventually(
        [&] {
            return box->trace().contains([](const json &e) {
                return e.value("op", "") == "decoding" && e.value("decoder", "") == "video0" &&
                       e.contains("feed") && e["feed"].is_object() && e["feed"].value("present", false);
            });
        },
        std::chrono::seconds(2)));
    EXPECT_TRUE(boxsim::picture(*box, "tv"));
    os::ioctl(v, box_abi::VIDEO_SET_STREAMTYPE, 1UL);  // H.264 asked of an MPEG-2 service: nothing
    EXPECT_FALSE(boxsim::picture(*box, "tv"));
    os::ioctl(v, box_abi::VIDEO_SET_STREAMTYPE, 0UL);
    os::ioctl(v, box_abi::VIDEO_STOP, 0UL);  // the last frame stays
    EXPECT_TRUE(boxsim::picture(*box, "tv"));
    os::ioctl(v, box_abi::VIDEO_STOP, 1UL);
    EXPECT_FALSE(boxsim::picture(*box, "tv"));
}

TEST_F(SimAv, DvrInputTakesWhatFitsAndChecksTheStreamItPasses)
{
    int fd = os::open("/dev/dvb0.dvr4", O_WRONLY | O_NONBLOCK);
    std::string junk(100, 'x');
    EXPECT_EQ(os::write(fd, junk.data(), junk.size()), 100);
    std::string ts = boxsim::make_audio_ts(2);
    ts.erase(3 * 188, 188);  // a lost packet of PID 103
    EXPECT_EQ(os::write(fd, ts.data(), ts.size()), 900);  // short: the buffer holds 1000
    EXPECT_EQ(os::write(fd, ts.data(), ts.size()), -1);
    EXPECT_EQ(errno, EAGAIN);
    pollfd p{fd, POLLOUT, 0};
    EXPECT_EQ(os::poll(&p, 1, 0), 0);
    EXPECT_EQ(os::poll(&p, 1, 2000), 1);  // room again once it passed some on
    size_t off = 900;
    while (off < ts.size()) {
        ssize_t n = os::write(fd, ts.data() + off, ts.size() - off);
        if (n > 0)
            off += static_cast<size_t>(n);
        else
            os::poll(&p, 1, 500);
    }
    ASSERT_TRUE(boxtest::eventually([&] { return av()["dvr4"]["check"]["bytes"] == 100 + ts.size(); },
                                    std::chrono::seconds(3)));
    json c = av()["dvr4"]["check"];
    EXPECT_EQ(c["lost_bytes"], 100);
    EXPECT_EQ(c["sync_losses"], 1);
    EXPECT_EQ(c["cc_errors"], 1);
    EXPECT_EQ(c["pid_packets"]["103"], 5);
    EXPECT_EQ(box->trace().count("dvr"), 2u);
}

} // namespace
