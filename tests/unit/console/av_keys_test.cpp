// The A/V keys: volume and mute reach the audio decoder, key 8 swaps live
// decoding for the audio test file and back, key 9 steps the second video
// decoder through the front ends.
#include "console_test_util.h"

#include "av/live.h"
#include "av/tsfile.h"
#include "av/video1.h"
#include "console/keys.h"
#include "tuner/tuner_monitor.h"

#include <map>

namespace {

using namespace consoletest;

class AvKeys : public ConsoleTest {
protected:
    std::vector<json> requests(const std::string &name) const
    {
        std::vector<json> out;
        for (const auto &e : box->trace().find("ioctl"))
            if (e.value("name", "") == name)
                out.push_back(e);
        return out;
    }
    void TearDown() override
    {
        tsfile_stop();
        video1_stop();
        ConsoleTest::TearDown();
    }
};

TEST_F(AvKeys, AudioFileKeyAndTheMixer)
{
    std::string err;
    auto p = boxsim::Box::load_profile("default", err);
    ASSERT_TRUE(p) << err;
    start(*p);
    // No decoder open yet: the volume is kept, nothing is asked.
    console_key(115);
    EXPECT_EQ(g_status.volume, 5);
    EXPECT_TRUE(requests("AUDIO_SET_MIXER").empty());

    console_key(9);
    EXPECT_EQ(g_status.tsfile_playing, 1);
    EXPECT_GE(fd_audio0, 0);
    EXPECT_GE(fd_dvr4, 0);
    size_t mixers = requests("AUDIO_SET_MIXER").size();
    console_key(114);
    EXPECT_EQ(requests("AUDIO_SET_MIXER").size(), mixers + 1);
    size_t mutes = requests("AUDIO_SET_MUTE").size();
    console_key(113);
    EXPECT_EQ(requests("AUDIO_SET_MUTE").size(), mutes + 1);
    // Off again: the file's decoder is released.
    console_key(9);
    EXPECT_EQ(g_status.tsfile_playing, 0);
    EXPECT_LT(fd_audio0, 0);
}

// Live decoding started by a tuner key while the file plays, then the file
// stopped: every decoder handle is opened once and closed again.
TEST_F(AvKeys, FileAndLiveDecodingTakeTurnsWithoutLosingAHandle)
{
    std::string err;
    auto p = boxsim::Box::load_profile("default", err);
    ASSERT_TRUE(p) << err;
    start(*p);
    tuner_system[0] = 6;
    auto open_handles = [&] {
        std::map<std::string, int> open;
        for (const auto &e : box->trace().events()) {
            std::string op = e.value("op", "");
            std::string path = e.contains("path") && e["path"].is_string() ? e["path"].get<std::string>() : "";
            if (op == "open" && e.value("result", -1) >= 0)
                ++open[path];
            else if (op == "close")
                --open[path];
        }
        return std::vector<int>{open["/dev/dvb0.demux0"], open["/dev/dvb0.audio0"], open["/dev/dvb0.video0"]};
    };
    console_key(9);  // the file
    console_key(2);  // tuner 1 on, live decoding beside the file
    EXPECT_EQ(open_handles(), (std::vector<int>{3, 1, 1}));
    console_key(9);  // the file off: live decoding of tuner 1 again
    EXPECT_EQ(g_status.tsfile_playing, 0);
    EXPECT_EQ(open_handles(), (std::vector<int>{3, 1, 1}));
    EXPECT_GE(fd_video0, 0);
    console_key(2);  // tuner 1 off
    EXPECT_EQ(open_handles(), (std::vector<int>{0, 0, 0}));
}

TEST_F(AvKeys, KeyNineStepsTheSecondDecoderThroughTheFrontEndsAndOff)
{
    std::string err;
    auto p = boxsim::Box::load_profile("tetraplus", err);
    ASSERT_TRUE(p) << err;
    start(*p, 4);
    for (int step = 1; step <= 6; ++step) {
        size_t plays = requests("VIDEO_PLAY").size();
        console_key(10);
        bool on = step % 5 != 0;
        EXPECT_EQ(fd_video1 >= 0, on) << step;
        if (on) {
            auto src = requests("DMX_SET_SOURCE");
            ASSERT_FALSE(src.empty());
            EXPECT_EQ(requests("VIDEO_PLAY").size(), plays + 1) << step;
        }
    }
}

} // namespace
