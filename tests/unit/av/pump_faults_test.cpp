// The file pump against a DVR input and a file that fail now and then: short
// and interrupted writes, a failed poll and a failed read. The stream the
// decoder gets stays whole packets, every byte in order.
#include "av_fixture.h"

#include "av/tsfile.h"
#include "core/faults.h"
#include "core/shell.h"

#include <thread>

namespace avtest {
namespace {

TEST_F(AvTest, PumpUnderFaultsKeepsEveryPacketWholeAndInOrder)
{
    // 101 packets: half of a chunk is no whole number of packets.
    const std::string file = boxsim::make_audio_ts(32, 101);
    ASSERT_EQ(file.size(), 101u * 188);
    const size_t want = 12 * file.size();
    make({{"dvr_rate", 800000}, {"dvr_buffer", 40000}, {"dvr_capture", want}, {"stills", json::array()}});
    box->file("/root/audio.ts")->set_content(file);
    for (const char *line : {"write /dev/dvb0.dvr4 short rate 30% seed 11", "write /dev/dvb0.dvr4 EINTR rate 10% seed 12",
                             "poll /dev/dvb0.dvr4 ENOMEM once", "read /root/audio.ts EIO once"}) {
        std::string err;
        auto rule = boxsim::parse_fault(boxsim::split_words(line), err);
        ASSERT_TRUE(rule) << err;
        boxsim::add_fault(*box, *rule);
    }
    std::thread pump = boxsim::clock::spawn("pump", [] { task_filepump(nullptr, nullptr); });
    tsfile_start();
    bool passed = boxtest::eventually([&] { return boxsim::dvr_passed(*box).size() >= want; }, std::chrono::seconds(20));
    g_status.quit = 1;
    boxsim::clock::join(pump);
    ASSERT_TRUE(passed);

    std::string got = boxsim::dvr_passed(*box).substr(0, want);
    std::string expect;
    while (expect.size() < want)
        expect += file;
    EXPECT_TRUE(got == expect.substr(0, want)) << "the decoder gets the file, looped, byte for byte";
    json check = av()["dvr4"]["check"];
    EXPECT_EQ(check["lost_bytes"], 0);
    EXPECT_EQ(check["sync_losses"], 0);
    EXPECT_EQ(check["cc_errors"], 0);
    // Each kind of fault did fire.
    std::map<std::string, int> fired;
    for (const auto &e : box->trace().find("fault"))
        fired[e["call"].get<std::string>() + " " + e["error"].get<std::string>()]++;
    EXPECT_GT(fired["write short"], 3);
    EXPECT_GT(fired["write EINTR"], 0);
    EXPECT_EQ(fired["poll ENOMEM"], 1);
    EXPECT_EQ(fired["read EIO"], 1);
    tsfile_stop();
    EXPECT_EQ(out(), "") << "the pump is silent";
}

} // namespace
} // namespace avtest
