// The simulated A/V devices on their own: the demultiplexers' and decoders'
// refusals, what a decoder gets from the radio, the DVR input's buffer and
// the transport-stream check of what passes through it.
#include "sim_test.h"

#include "devices/av.h"
#include "devices/radio.h"
#include "gfx/fb.h"
#include "platform/box_abi.h"
#include "platform/os.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

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
    // At each step, the TV's stamp: 0 exactly while nothing is shown, and
    // never the stamp of another picture (the page and the expectations
    // take an unchanged stamp for an unchanged picture and do not make it
    // again).
    std::vector<std::pair<uint64_t, std::vector<uint32_t>>> seen;
    auto look = [&](const char *step) -> uint64_t {
        std::optional<uint64_t> stamp = boxsim::picture_stamp(*box, "tv");
        std::optional<boxsim::Image> pic = boxsim::picture(*box, "tv");
        EXPECT_TRUE(stamp) << step;
        if (!stamp)
            return 0;
        EXPECT_EQ(*stamp == 0, !pic) << step;
        std::vector<uint32_t> pixels = pic ? pic->argb : std::vector<uint32_t>{};
        for (const auto &[earlier, earlier_pixels] : seen) {
            if (earlier == *stamp) {
                EXPECT_TRUE(earlier_pixels == pixels) << step << ": the stamp of another picture";
            }
        }
        seen.emplace_back(*stamp, std::move(pixels));
        return *stamp;
    };

    int d = os::open("/dev/dvb0.demux0", O_RDWR), v = os::open("/dev/dvb0.video0", O_RDWR);
    set(d, 380, DMX_PES_VIDEO0);
    os::ioctl(d, box_abi::DMX_START);
    os::ioctl(v, box_abi::VIDEO_PLAY);
    EXPECT_EQ(av()["video0"]["feed"]["present"], false);  // front end 0 not locked
    EXPECT_FALSE(boxsim::picture(*box, "tv"));
    look("not locked");
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
    const uint64_t playing = look("playing");
    // The picture's clock runs: the next second is another picture.
    boxsim::clock::sleep_for(std::chrono::milliseconds(1000));
    const uint64_t a_second_later = look("a second later");
    EXPECT_NE(a_second_later, playing);
    // A frame of the framebuffer over the video, then another one.
    ASSERT_EQ(fb_init(), 0);
    ASSERT_EQ(fb_setmode(1280, 720, 32), 0);
    fb_fill(0, 0, 1280, 720, 0);
    fb_fill(100, 100, 50, 50, 0xFFFF0000);
    fb_blit();
    const uint64_t with_a_frame = look("a frame over the video");
    EXPECT_NE(with_a_frame, a_second_later);
    fb_fill(100, 100, 50, 50, 0xFF00FF00);
    fb_blit();
    EXPECT_NE(look("another frame over the video"), with_a_frame);
    fb_fill(100, 100, 50, 50, 0);
    fb_blit();
    look("a clear frame over the video");
    os::ioctl(v, box_abi::VIDEO_SET_STREAMTYPE, 1UL);  // H.264 asked of an MPEG-2 service: nothing
    EXPECT_TRUE(boxsim::picture(*box, "tv"));         // but the frame
    look("the frame alone");
    EXPECT_EQ(boxsim::picture_stamp(*box, "tv"), boxsim::picture_stamp(*box, "osd"));
    os::ioctl(v, box_abi::VIDEO_SET_STREAMTYPE, 0UL);
    os::ioctl(v, box_abi::VIDEO_STOP, 0UL);  // the last frame stays
    EXPECT_TRUE(boxsim::picture(*box, "tv"));
    look("stopped");
    os::ioctl(v, box_abi::VIDEO_STOP, 1UL);
    look("blanked");
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

// Writes each pass of a looped file into the DVR input as the pump does:
// chunks of 256 packets, each pass from the file's start.
void loop_through_dvr(const std::vector<std::string> &passes)
{
    int dvr = os::open("/dev/dvb0.dvr4", O_WRONLY);
    ASSERT_GE(dvr, 0);
    constexpr size_t kChunk = 256 * 188;
    for (const std::string &pass : passes)
        for (size_t at = 0; at < pass.size(); at += kChunk) {
            size_t n = std::min(kChunk, pass.size() - at);
            ASSERT_EQ(os::write(dvr, pass.data() + at, n), static_cast<ssize_t>(n));
        }
    os::close(dvr);
}

// Looped streams as muxers write them: the programme map on a PID of the
// muxer's choosing, continuity counters that simply run on where the file
// starts again. Only damage counts: a packet lost mid-file is one
// continuity error, wherever the map lies.
TEST(SimDvrCheck, LoopedRecordingsPassAsTheyAreAndOnlyDamageCounts)
{
    struct Case {
        const char *what;
        boxsim::AudioTsForm form;
        bool drop_a_packet;
        json program_maps;
        int cc_errors;
    };
    const Case cases[] = {
        {"the generated file", {}, false, {256}, 0},
        {"map on 0x1000, no discontinuity marks", {0x1000, false}, false, {4096}, 0},
        {"map on 0x1FFE, a packet lost in the second pass", {0x1FFE, false}, true, {8190}, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        auto box = boxtest::make_box_from({{"model", "rcplus"}, {"av", {{"dvr_rate", "unlimited"}}}});
        const std::string ts = boxsim::make_audio_ts(300, 0, c.form);  // several chunks
        std::string damaged = ts;
        if (c.drop_a_packet)
            damaged.erase(100 * 188, 188);  // inside a PES of the audio
        loop_through_dvr({ts, damaged, ts});
        json check = box->describe()["av"]["dvr4"]["check"];
        EXPECT_EQ(check["bytes"], c.drop_a_packet ? 3 * ts.size() - 188 : 3 * ts.size());
        EXPECT_EQ(check["lost_bytes"], 0);
        EXPECT_EQ(check["bad_pes"], 0) << "the programme map is a table";
        EXPECT_EQ(check["cc_errors"], c.cc_errors);
        EXPECT_EQ(check["wraps"], 2);
        EXPECT_EQ(check["program_map_pids"], c.program_maps);
        // Every frame of every pass, but the last PES, which nothing ends.
        EXPECT_EQ(check["audio_frames"], 3 * 300 - 1);
        EXPECT_EQ(check["bad_frames"], 0);
    }
}

// A recording of a common muxer (ffmpeg from Debian, made here at test
// time: a tone as MPEG audio on PID 103, its PMT and SDT where ffmpeg puts
// them) played from the profile's audio_file, looped.
TEST(SimDvrCheck, FfmpegRecordingLoopsWithoutAFalseFault)
{
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ffmpeg is not installed (apt-get install ffmpeg): the check of its stream is skipped";
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("boxsim-ffmpeg-" + std::to_string(getpid()) + ".ts")).string();
    const std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "
                            "sine=frequency=1000:duration=3:sample_rate=48000 -c:a mp2 -b:a 128k -f mpegts "
                            "-streamid 0:103 " + path;
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    auto box = boxtest::make_box_from(
        {{"model", "rcplus"}, {"av", {{"dvr_rate", "unlimited"}, {"audio_file", path}}}});
    std::filesystem::remove(path);
    auto file = box->file("/root/audio.ts");
    ASSERT_TRUE(file) << "the profile's audio_file is the box's /root/audio.ts";
    const std::string ts = file->content();
    ASSERT_GT(ts.size(), 20000u);
    loop_through_dvr({ts, ts, ts, ts});
    json check = box->describe()["av"]["dvr4"]["check"];
    EXPECT_EQ(check["bytes"], 4 * ts.size());
    EXPECT_EQ(check["lost_bytes"], 0);
    EXPECT_EQ(check["sync_losses"], 0);
    EXPECT_EQ(check["bad_pes"], 0);
    EXPECT_EQ(check["cc_errors"], 0);
    EXPECT_EQ(check["wraps"], 3);
    EXPECT_GT(check["pid_packets"].value("17", 0), 0) << "ffmpeg's SDT";
    EXPECT_EQ(check["program_map_pids"], json({4096}));
    EXPECT_GT(check["audio_frames"].get<int>(), 4 * 100);  // 3 s of 24 ms frames, four times
    EXPECT_EQ(check["bad_frames"], 0);
}

} // namespace
