// Live decoding, the second video decoder and the background picture on the
// simulated box.
#include "av_fixture.h"

#include "av/background.h"
#include "av/live.h"
#include "av/video1.h"
#include "gfx/fb.h"

#include <chrono>

namespace avtest {
namespace {

using Clock = boxsim::BoxSteadyClock;

long ms_since(Clock::time_point t0)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

TEST_F(AvTest, DecoderStartRoutesFiltersAndDecodersInOrderAndDecodesTheService)
{
    make();
    lock(1, cband());
    pes_video_pid = 380;
    pes_audio_pid = 381;
    pes_pcr_pid = 380;
    EXPECT_EQ(decoder_start(1), 0);

    const std::string d = "/dev/dvb0.demux0 ", a = "/dev/dvb0.audio0 ", v = "/dev/dvb0.video0 ";
    EXPECT_EQ(requests(), (std::vector<std::string>{
                              d + "DMX_SET_SOURCE", d + "DMX_SET_PES_FILTER", d + "DMX_START", d + "DMX_SET_PES_FILTER",
                              d + "DMX_START", a + "AUDIO_SELECT_SOURCE", a + "AUDIO_SET_BYPASS_MODE", a + "AUDIO_PLAY",
                              a + "AUDIO_SET_MIXER", a + "AUDIO_SET_MUTE", v + "VIDEO_SELECT_SOURCE",
                              v + "VIDEO_SET_STREAMTYPE", d + "DMX_SET_PES_FILTER", d + "DMX_START", v + "VIDEO_PLAY"}));
    auto filters = box->trace().find("ioctl");
    EXPECT_EQ(filters[0]["source"], 1);
    for (auto [i, pid, type] : {std::tuple{1, 380, 4}, {3, 381, 0}, {12, 380, 1}}) {
        EXPECT_EQ(filters[i]["pid"], pid);
        EXPECT_EQ(filters[i]["pes_type"], type);
        EXPECT_EQ(filters[i]["input"], 0);
        EXPECT_EQ(filters[i]["output"], 0);
        EXPECT_EQ(filters[i]["flags"], 0);
    }
    EXPECT_EQ(filters[6]["bypass"], 1);
    EXPECT_EQ(filters[11]["stream_type"], 0);
    EXPECT_EQ(out(), "");
    EXPECT_EQ(g_status.volume, 100);
    EXPECT_EQ(g_status.mute, 0);

    json st = av();
    EXPECT_EQ(st["video0"]["state"], "playing");
    EXPECT_EQ(st["video0"]["feed"]["service"], "C-band 1");
    EXPECT_EQ(st["video0"]["feed"]["pcr_pid"], 380);
    EXPECT_EQ(st["video0"]["feed"]["present"], true);
    EXPECT_EQ(st["audio0"]["feed"]["present"], true);
    EXPECT_EQ(st["audio0"]["attenuation"], json::array({0, 0}));
    auto tv = boxsim::picture(*box, "tv");
    ASSERT_TRUE(tv);
    EXPECT_NE(tv->at(20, 20), 0xFF000000u);  // the colour bars of the test picture

    auto t0 = Clock::now();
    decoder_stop();
    EXPECT_GE(ms_since(t0), 490);
    size_t n = filters.size();
    EXPECT_EQ(requests(n), (std::vector<std::string>{a + "AUDIO_STOP", a + "AUDIO_PAUSE", v + "VIDEO_STOP",
                                                     d + "DMX_STOP", d + "DMX_STOP", d + "DMX_STOP"}));
    EXPECT_EQ(last("VIDEO_STOP")["blank"], 1);
    for (int h : {fd_demux0_pcr.load(), fd_demux0_audio.load(), fd_demux0_video.load(), fd_audio0.load(),
                  fd_video0.load()})
        EXPECT_EQ(h, -1);
    EXPECT_FALSE(boxsim::picture(*box, "tv"));  // blanked: nothing on the TV at all
    EXPECT_EQ(av()["demux"]["0"]["filters"].size(), 0u);
}

TEST_F(AvTest, WithoutAProgrammeTheFiltersGetPid0xFFFFAndTheRefusalsAreReported)
{
    make();
    EXPECT_EQ(decoder_start(0), 0);
    for (auto &e : box->trace().find("ioctl")) {
        if (e.value("name", "") == "DMX_SET_PES_FILTER") {
            EXPECT_EQ(e["pid"], 0xFFFF);
        }
    }
    EXPECT_EQ(out(), "PCR_DMX_START failed (Invalid argument)\n"
                     "AUDIO_DMX_START failed (Invalid argument)\n"
                     "VIDEO_DMX_START failed (Invalid argument)");
    EXPECT_EQ(av()["video0"]["state"], "playing");
    EXPECT_TRUE(av()["video0"]["feed"].is_null());
}

TEST_F(AvTest, AMissingAudioDecoderSkipsTheAudioStepsAndKeepsVolumeAndMute)
{
    make();
    box->remove("/dev/dvb0.audio0");
    g_status.volume = 37;
    g_status.mute = 1;
    pes_video_pid = 380;
    pes_audio_pid = 381;
    pes_pcr_pid = 380;
    decoder_start(0);
    EXPECT_EQ(fd_audio0, -1);
    EXPECT_EQ(g_status.volume, 37);
    EXPECT_EQ(g_status.mute, 1);
    EXPECT_EQ(out(), "");
    EXPECT_EQ(last("VIDEO_PLAY")["result"], 0);
    for (auto &r : requests())
        EXPECT_EQ(r.find("AUDIO_"), std::string::npos) << r;
}

TEST_F(AvTest, MixerAndMuteActOnlyOnAnOpenAudioDecoder)
{
    make();
    audio_set_mixer(50);
    audio_set_mute(1);
    EXPECT_TRUE(requests().empty());

    decoder_start(0);
    for (auto [volume, att] : {std::pair{100, 0}, {0, 63}, {5, 60}, {50, 32}, {150, 0}, {-5, 63}}) {
        audio_set_mixer(volume);
        json m = last("AUDIO_SET_MIXER");
        EXPECT_EQ(m["left"], att) << volume;
        EXPECT_EQ(m["right"], att) << volume;
        EXPECT_EQ(av()["audio0"]["attenuation"], json::array({att, att})) << volume;
    }
    audio_set_mute(1);
    EXPECT_EQ(last("AUDIO_SET_MUTE")["mute"], 1);
    EXPECT_EQ(av()["audio0"]["mute"], true);
}

TEST_F(AvTest, DecoderStopWithNothingOpenOnlyWaits)
{
    make();
    auto t0 = Clock::now();
    decoder_stop();
    EXPECT_GE(ms_since(t0), 490);
    EXPECT_EQ(box->trace().count("open") + box->trace().count("ioctl") + box->trace().count("close"), 0u);
}

TEST_F(AvTest, SecondVideoDecoderShowsEachFrontEndsProgrammeAndReusesItsHandles)
{
    make();
    lock(2, cable());
    lock(3, cable());
    lock(0, cband());
    for (auto [fe, pid] : {std::pair{2, 308}, {3, 308}, {0, 167}, {1, 380}}) {
        size_t from = box->trace().count("ioctl");
        size_t opens = box->trace().count("open", "/dev/dvb0.video1");
        EXPECT_EQ(video1_start(fe), 0);
        auto r = box->trace().find("ioctl");
        EXPECT_EQ(r[from]["source"], fe);
        EXPECT_EQ(last("DMX_SET_PES_FILTER")["pid"], pid);
        EXPECT_EQ(last("DMX_SET_PES_FILTER")["path"], "/dev/dvb0.demux1");
        json feed = av()["video1"]["feed"];
        EXPECT_EQ(feed["pid"], pid);
        EXPECT_EQ(feed["present"], fe != 1) << fe;  // front end 1 is not locked
        EXPECT_EQ(box->trace().count("open", "/dev/dvb0.video1"), fe == 2 ? 1u : opens);
    }
    EXPECT_EQ(out(), "");
    video1_stop();
    EXPECT_EQ(last("VIDEO_STOP")["blank"], 1);
    EXPECT_EQ(fd_video1, -1);
    EXPECT_EQ(fd_demux1_video, -1);
    size_t n = box->trace().events().size();
    video1_stop();
    EXPECT_EQ(box->trace().events().size(), n);  // nothing open: nothing done
}

TEST_F(AvTest, WithoutVideoDecoder1OnlyTheFilterIsSetUpSilently)
{
    make();
    box->remove("/dev/dvb0.video1");
    video1_start(2);
    EXPECT_EQ(requests(), (std::vector<std::string>{"/dev/dvb0.demux1 DMX_SET_SOURCE", "/dev/dvb0.demux1 DMX_SET_PES_FILTER",
                                                    "/dev/dvb0.demux1 DMX_START"}));
    EXPECT_EQ(out(), "");
}

TEST_F(AvTest, BackgroundPictureTakesTheFirstReadableFileAndPausesOnlyWhenOneWasFound)
{
    struct Case {
        std::vector<std::string> files;
        json av;
        std::string command;
        int result;
    };
    const Case cases[] = {
        {{"/usr/share/backdrop.mvi"}, {{"stills", json::array()}}, "/usr/bin/showiframe /usr/share/backdrop.mvi", 1},
        {{"/usr/share/bootlogo.mvi", "/etc/enigma2/bootlogo.mvi"}, {{"stills", json::array()}},
         "/usr/bin/showiframe /etc/enigma2/bootlogo.mvi", 1},
        {{"/etc/enigma2/backdrop.mvi"}, {{"stills", json::array()}, {"showiframe", false}},
         "/usr/bin/showiframe /etc/enigma2/backdrop.mvi", 0},
        {{}, {{"stills", json::array()}}, "", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.command);
        json cfg = c.av;
        cfg["stills"] = c.files;
        make(cfg);
        auto t0 = Clock::now();
        EXPECT_EQ(loadBackgroundImage(), c.result);
        long took = ms_since(t0);
        auto sys = box->trace().find("system");
        if (c.command.empty()) {
            EXPECT_TRUE(sys.empty());
            EXPECT_LT(took, 450);
            EXPECT_EQ(box->trace().count("access"), 4u);
        } else {
            ASSERT_EQ(sys.size(), 1u);
            EXPECT_EQ(sys[0]["cmd"], c.command);
            EXPECT_EQ(sys[0]["status"], c.result ? 0 : 127);
            EXPECT_GE(took, 490);
            std::string path = c.command.substr(c.command.rfind(' ') + 1);
            EXPECT_EQ(av()["still"], c.result ? json(path) : json());
        }
        EXPECT_EQ(out(), "");
        cap.reset();
        box.reset();
    }
}

// The TV as a viewer sees it during live decoding (the test picture under a
// transparent framebuffer with one box drawn) and after a stop with the still
// picture; the pictures are left in the test's directory.
TEST_F(AvTest, TheTvShowsTheServiceUnderTheFramebufferAndTheStillAfterAStop)
{
    make();
    lock(0, cband());
    ASSERT_EQ(fb_init(), 0);
    ASSERT_EQ(fb_setmode(1280, 720, 32), 0);
    fb_fill(100, 600, 300, 80, 0xFF0080FF);  // an opaque box on the otherwise transparent OSD
    fb_fill(500, 600, 300, 80, 0x80FFFFFF);  // and a half-transparent one
    fb_blit();
    pes_video_pid = 4501;
    pes_audio_pid = 4502;
    pes_pcr_pid = 4501;
    decoder_start(0);
    auto tv = boxsim::picture(*box, "tv");
    auto osd = boxsim::picture(*box, "osd");
    auto video = boxsim::video_plane_picture(*box);
    ASSERT_TRUE(tv && osd && video);
    EXPECT_EQ(tv->at(150, 620), 0xFF0080FFu);
    EXPECT_EQ(osd->at(20, 20), 0u);
    EXPECT_EQ(tv->at(20, 20), video->at(20, 20));
    uint32_t half = tv->at(600, 620), under = video->at(600, 620);
    for (int sh : {0, 8, 16}) {
        int expect = (0xFF * 128 + static_cast<int>((under >> sh) & 0xFF) * 127 + 127) / 255;
        EXPECT_NEAR(static_cast<int>((half >> sh) & 0xFF), expect, 1);
    }
    EXPECT_EQ(av()["video0"]["feed"]["service"], "C-band 2");
#ifdef BOXSIM_HAVE_PNG
    EXPECT_TRUE(boxsim::write_png(*tv, "av-live-tv.png"));
#endif

    decoder_stop();
    EXPECT_EQ(loadBackgroundImage(), 1);
    tv = boxsim::picture(*box, "tv");
    ASSERT_TRUE(tv);
    EXPECT_EQ(av()["still"], "/usr/share/bootlogo.mvi");
    EXPECT_EQ(tv->at(150, 620), 0xFF0080FFu);
    EXPECT_NE(tv->at(20, 20), video->at(20, 20));
#ifdef BOXSIM_HAVE_PNG
    EXPECT_TRUE(boxsim::write_png(*tv, "av-still-tv.png"));
#endif
    // The next live start takes the still's place.
    decoder_start(0);
    EXPECT_TRUE(av()["still"].is_null());
}

} // namespace
} // namespace avtest
