// The A/V keys: volume and mute reach the audio decoder, key 8 swaps live
// decoding for the audio test file and back, key 9 steps the second video
// decoder through the front ends.
#include "console_test_util.h"

#include "av/live.h"
#include "av/tsfile.h"
#include "av/video1.h"
#include "console/keys.h"

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
