// The tuner and A/V test keys: test channels and their texts, the run
// states of single and combined tuners, the supply and tone keys, and the
// keys that reach the audio test file and the second video decoder.
#include "console_test_util.h"

#include "av/live.h"
#include "av/tsfile.h"
#include "av/video1.h"
#include "console/keys.h"
#include "console/test_keys.h"
#include "tuner/frontend.h"
#include "tuner/tuner_monitor.h"

namespace {

using namespace consoletest;

constexpr int KEY_1 = 2, KEY_2 = 3, KEY_3 = 4, KEY_5 = 6, KEY_6 = 7, KEY_8 = 9, CH_UP = 402, CH_DOWN = 403;

class TestKeys : public ConsoleTest {
protected:
    // A box with these tuners as the tuner monitor would have found them
    // (kind, combined-tuner mode).
    void with_tuners(std::vector<std::pair<int, int>> tuners, const char *profile = "default")
    {
        std::string err;
        auto p = boxsim::Box::load_profile(profile, err);
        ASSERT_TRUE(p) << err;
        start(*p);
        for (int t = 0; t < 4; ++t) {
            tuner_system[t] = t < static_cast<int>(tuners.size()) ? tuners[t].first : 0;
            tuner_mode[t] = t < static_cast<int>(tuners.size()) ? tuners[t].second : 0;
            tuner_run[t] = 0;
            tuner_locked[t] = 0;
            vlt[t] = 2;
            tone[t] = 1;
        }
    }
    std::string channel() const
    {
        char buf[132];
        status_copy_text(buf, sizeof buf, g_status.channel_text, sizeof g_status.channel_text);
        return buf;
    }
    std::vector<int> pids() const { return {pes_video_pid, pes_audio_pid, pes_pcr_pid, pes_bypass, pes_streamtype}; }
    std::vector<int> supplies() const { return {vlt[0], vlt[1], vlt[2], vlt[3], tone[0], tone[1], tone[2], tone[3]}; }
    size_t requests(const std::string &name) const
    {
        size_t n = 0;
        for (const auto &e : box->trace().find("ioctl"))
            n += e.value("name", "") == name;
        return n;
    }
};

TEST_F(TestKeys, SatelliteTunerOnAndOffWithBothTestChannels)
{
    with_tuners({{6, 0}});
    console_key(KEY_1);
    EXPECT_EQ(tuner_run[0], 1);
    EXPECT_EQ(channel(), "1.DVB-S : 4000H/28125/QPSK");
    EXPECT_EQ(pids(), (std::vector<int>{380, 381, 380, 1, 0}));
    EXPECT_EQ((std::vector<int>{freq[0], sr[0], sys[0], mod[0]}), (std::vector<int>{1150000, 28125000, 5, 0}));
    EXPECT_EQ(vlt[0], 1);
    EXPECT_EQ(tone[0], 1);
    EXPECT_EQ(BKNI_WaitForEvent(g_status.tuner_event, 0), BERR_SUCCESS);
    EXPECT_GE(requests("VIDEO_PLAY"), 1u);

    // Pressed again: off, every supply and tone off, the background shown.
    console_key(KEY_1);
    EXPECT_EQ(tuner_run[0], 0);
    EXPECT_EQ(supplies(), (std::vector<int>{2, 2, 2, 2, 1, 1, 1, 1}));
    EXPECT_EQ(channel(), "1.DVB-S : 4000H/28125/QPSK");  // filled on the way off too

    // Channel up, then key 1: the 8PSK channel.
    tuner_locked[0] = 16;
    console_key(CH_UP);
    EXPECT_EQ(g_status.sat_channel_select, 192);
    EXPECT_EQ(tuner_locked[0], 0);
    console_key(KEY_1);
    EXPECT_EQ(channel(), "1.DVB-S2 : 11494H/22000/8PSK");
    EXPECT_EQ(pids(), (std::vector<int>{5101, 5102, 5101, 1, 1}));
    EXPECT_EQ((std::vector<int>{freq[0], sr[0], sys[0], mod[0]}), (std::vector<int>{1744000, 22000000, 6, 9}));
    // Channel down: the C-band channel again, all tuners off.
    console_key(CH_DOWN);
    EXPECT_EQ(tuner_run[0], 0);
    EXPECT_EQ(g_status.sat_channel_select, 1006);
    EXPECT_TRUE(out().empty());  // satellite channels are not printed
}

TEST_F(TestKeys, EightPskTextsOfTheOtherTunersAndAKeyWithoutATuner)
{
    with_tuners({{6, 0}, {6, 0}, {6, 0}, {5, 0}}, "tetraplus");
    g_status.sat_channel_select = 192;
    console_key(KEY_3);
    EXPECT_EQ(channel(), "3.DVB-S2 : 11362H/22000/8PSK");
    EXPECT_EQ(pids(), (std::vector<int>{6110, 6106, 6110, 0, 1}));
    // A DVB-S only tuner has no test channel: all stays as it was.
    console_key(5);
    EXPECT_EQ(tuner_run[3], 1);
    EXPECT_EQ(tuner_run[2], 0);
    EXPECT_EQ(channel(), "3.DVB-S2 : 11362H/22000/8PSK");
    EXPECT_EQ(pids(), (std::vector<int>{6110, 6106, 6110, 0, 1}));

    // Key 3 on a box without a third tuner: the others off, locks cleared,
    // decoding and the supply left alone.
    with_tuners({{6, 0}});
    console_key(KEY_1);
    tuner_locked[0] = 16;
    size_t stops = requests("VIDEO_STOP");
    console_key(KEY_3);
    EXPECT_EQ(tuner_run[0], 0);
    EXPECT_EQ(tuner_locked[0], 0);
    EXPECT_EQ(requests("VIDEO_STOP"), stops);
    EXPECT_EQ(vlt[0], 1);
}

TEST_F(TestKeys, CombinedTunerStepsThroughItsStandardsByTheModeFile)
{
    with_tuners({{6, 0}, {1, 65538}});
    auto mode = [&] { return box->read_file("/proc/stb/frontend/1/mode"); };
    console_key(KEY_2);
    EXPECT_EQ(tuner_run[1], 1);
    EXPECT_EQ(mode(), "0");
    EXPECT_EQ(tuner_system[1], 1);
    EXPECT_EQ(channel(), "2.DVB-C : 466/6900/256QAM");
    EXPECT_EQ(pids(), (std::vector<int>{308, 103, 8190, 1, 0}));
    EXPECT_EQ((std::vector<int>{freq[1], sr[1], sys[1], mod[1], bw[1], vlt[1]}), (std::vector<int>{466000, 6900000, 1, 5, 8000000, 2}));
    console_key(KEY_2);
    EXPECT_EQ(tuner_run[1], 2);
    EXPECT_EQ(mode(), "1");
    EXPECT_EQ(tuner_system[1], 16);
    EXPECT_EQ(sys[1], 3);  // a DVB-T2 tuner is tuned as DVB-T
    EXPECT_EQ(channel(), "2.DVB-T : 546/8M");
    EXPECT_EQ(pids(), (std::vector<int>{752, 754, 752, 1, 0}));
    console_key(KEY_2);
    EXPECT_EQ(tuner_run[1], 0);
    EXPECT_EQ(mode(), "0");
    EXPECT_EQ(tuner_system[1], 1);
    EXPECT_EQ(out(), "2.DVB-C : 466/6900/256QAM\n2.DVB-T : 546/8M\n2.DVB-C : 466/6900/256QAM");
    // Without the DVB-T2 bit the terrestrial standard is DVB-T.
    tuner_mode[1] = 10;
    console_key(KEY_2);
    console_key(KEY_2);
    EXPECT_EQ(tuner_system[1], 3);
}

TEST_F(TestKeys, SupplyAndToneKeysFollowTheRunningTuner)
{
    with_tuners({{6, 0}, {1, 10}});
    // Nothing runs: nothing changes.
    console_key(KEY_5);
    console_key(KEY_6);
    EXPECT_EQ(requests("FE_SET_VOLTAGE") + requests("FE_SET_TONE"), 0u);

    console_key(KEY_1);  // the satellite channel sets 18 V; cycle from there
    vlt[0] = 2;
    const int expect_v[] = {0, 1, 2, 0};
    for (int v : expect_v) {
        console_key(KEY_5);
        EXPECT_EQ(supplies(), (std::vector<int>{v, v, v, v, tone[0], tone[0], tone[0], tone[0]}));
    }
    console_key(KEY_6);
    EXPECT_EQ(tone[0], 0);
    console_key(KEY_6);
    EXPECT_EQ(tone[0], 1);
    // A cable tuner: supply and tone off, whatever they were.
    console_key(KEY_2);
    tone[0] = 0;
    vlt[0] = 0;
    console_key(KEY_6);
    console_key(KEY_5);
    EXPECT_EQ(supplies(), (std::vector<int>{2, 2, 2, 2, 1, 1, 1, 1}));
}

TEST_F(TestKeys, KeyEightBringsBackLiveDecodingOfTheRunningTuner)
{
    with_tuners({{6, 0}});
    console_key(KEY_1);
    size_t plays = requests("VIDEO_PLAY");
    console_key(KEY_8);
    EXPECT_EQ(g_status.tsfile_playing, 1);
    console_key(KEY_8);
    EXPECT_EQ(g_status.tsfile_playing, 0);
    EXPECT_GT(requests("VIDEO_PLAY"), plays);  // live decoding of tuner 1 again
    tsfile_stop();
    decoder_stop();
}

} // namespace
