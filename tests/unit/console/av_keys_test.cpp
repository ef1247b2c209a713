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
    EXPECT_EQ(tsfile_generation, 1u) << "the pump is asked for the DVR input and the file";
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

// Key 8, key 1, key 8, key 8, key 1 with the pump running: a tuner key
// stops the file before live decoding starts, so the pump falls silent and
// the next key 8 plays the file again; every decoder handle is opened once
// and closed again.
TEST_F(AvKeys, FileAndLiveDecodingTakeTurnsWithoutLosingAHandle)
{
    std::string err;
    auto p = boxsim::Box::load_profile("default", err);
    ASSERT_TRUE(p) << err;
    (*p)["av"]["dvr_rate"] = 400000;
    start(*p);
    tuner_system[0] = 6;
    run(task_filepump);
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
        return std::vector<int>{open["/dev/dvb0.demux0"], open["/dev/dvb0.demux4"], open["/dev/dvb0.audio0"],
                                open["/dev/dvb0.video0"]};
    };
    auto av = [&] { return box->describe()["av"]; };
    auto packets = [&] { return av()["dvr4"]["check"].value("packets", int64_t{0}); };
    auto feed = [&] {
        json f = av()["audio0"]["feed"];
        return f.is_object() ? f.value("input", "") + " " + std::to_string(f.value("pid", -1)) : std::string("none");
    };
    auto file_flows = [&] {
        int64_t from = packets();
        return boxtest::eventually([&] { return packets() > from + 200; }, 5s);
    };
    // Writes into the DVR input before the file's latest start.
    auto writes_before_last_start = [&] {
        auto events = box->trace().events();
        size_t last = 0;
        for (size_t i = 0; i < events.size(); ++i)
            if (events[i].value("op", "") == "open" && events[i].value("path", "") == "/dev/dvb0.demux4")
                last = i;
        size_t n = 0;
        for (size_t i = 0; i < last; ++i)
            n += events[i].value("op", "") == "write" && events[i].value("path", "") == "/dev/dvb0.dvr4";
        return n;
    };

    console_key(9);  // the file
    EXPECT_EQ(g_status.tsfile_playing, 1);
    EXPECT_EQ(feed(), "dvr 103");
    EXPECT_TRUE(file_flows());

    console_key(2);  // tuner 1 on: the file stops, live decoding starts
    EXPECT_EQ(g_status.tsfile_playing, 0);
    EXPECT_EQ(open_handles(), (std::vector<int>{3, 0, 1, 1}));
    EXPECT_EQ(feed(), "frontend 0 381");
    // The pump falls silent: what the DVR input held drains, nothing follows.
    ASSERT_TRUE(boxtest::eventually([&] { return av()["dvr4"]["held"] == 0; }, 5s));
    size_t writes = box->trace().count("write", "/dev/dvb0.dvr4");
    int64_t drained = packets();

    console_key(9);  // the file again, at the first press
    EXPECT_EQ(writes_before_last_start(), writes) << "no write while live decoding ran";
    EXPECT_EQ(g_status.tsfile_playing, 1);
    EXPECT_EQ(open_handles(), (std::vector<int>{0, 1, 1, 0}));
    EXPECT_EQ(feed(), "dvr 103");
    EXPECT_TRUE(file_flows());
    EXPECT_GT(packets(), drained);
    EXPECT_EQ(av()["audio0"]["state"], "playing");

    console_key(9);  // the file off: live decoding of tuner 1 again
    EXPECT_EQ(g_status.tsfile_playing, 0);
    EXPECT_EQ(open_handles(), (std::vector<int>{3, 0, 1, 1}));
    EXPECT_GE(fd_video0, 0);
    console_key(2);  // tuner 1 off
    EXPECT_EQ(open_handles(), (std::vector<int>{0, 0, 0, 0}));
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
