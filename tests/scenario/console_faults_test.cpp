// The test console on a box whose drivers, flash and shell fail for a while:
// one console run, one fault after the other. Each fault must give the
// console's message for it (where it has one), leave it running, and go
// away without a trace once the fault has: the LCD shows the key again, the
// tuner is tuned and locked again, the file pump's stream stays whole
// packets, the card is read. A MAC entry whose flash write fails is reported
// and changes no byte; the next one changes exactly the record's bytes 12 to
// 141.
#include "console_run.h"

#include "boxsim/script.h"
#include "console/areas.h"
#include "core/stdio_capture.h"
#include "devices/net.h"
#include "devices/panel.h"
#include "monitor/macprog.h"
#include "tuner/tuner_monitor.h"

#include <functional>

// This file's helpers in a namespace of its own: the folder's files compile
// as one unit, and their helpers of the same names stay apart.
namespace console_faults_test {
namespace {

using namespace consolerun;

void act(boxsim::Box &box, const std::string &line)
{
    std::string err;
    auto a = boxsim::parse_action(line, err);
    ASSERT_TRUE(a) << line << ": " << err;
    boxsim::run_action(box, *a, "test");
}

TEST(ConsoleUnderFaults, EachFaultIsReportedAndTheConsoleRecoversFromIt)
{
    json profile = ConsoleRun::profile("default");
    profile["network"]["autoneg_ms"] = 0;
    profile["network"]["dhcp"] = {{"lease", "192.168.1.20"}, {"answer_ms", 20}, {"discover_timeout_ms", 200},
                                  {"retries", 3}, {"retry_pause_ms", 300}};
    ConsoleRun run(profile);
    ASSERT_TRUE(run.started);
    boxsim::Box &box = *run.box;
    boxsim::StdioCapture capture(box, nullptr, nullptr, true);
    ASSERT_TRUE(boxtest::eventually([] { return tuner_system[0] != 0 && g_status.dhcp_done == 1; }, 5s));
    const auto flash_at_start = boxsim::net::flash_read(box, 0, 4096);

    auto lcd_shows = [&](const char *name) {
        // The key's test pattern: its name is drawn over the white bar.
        auto f = boxsim::lcd_frame(box);
        return f && boxsim::lcd_frame_count(box) > 0 && f->bytes[0] == 0xFF &&
               boxsim::display_text(box) == name;
    };
    auto pump_whole = [&] {
        json check = box.describe()["av"]["dvr4"]["check"];
        return check.value("sync_losses", -1) == 0 && check.value("lost_bytes", -1) == 0;
    };
    int64_t packets_at = 0;

    struct Case {
        const char *what;
        std::vector<const char *> faults;   // set first
        std::function<void()> go;           // then this happens
        size_t fired;                       // faults that fire before they are cleared
        const char *stream;                 // where the message goes
        const char *message;                // nullptr: the fault passes silently
        std::vector<const char *> after;    // done once the faults are cleared
        std::function<bool()> recovered;
    };
    const Case cases[] = {
        {"LCD writes refused",
         {"write /dev/lcd0 EIO"},
         [&] { act(box, "panel-key LEFT"); act(box, "panel-key RIGHT"); },
         2,
         nullptr,
         nullptr,
         {"panel-key UP"},
         [&] { return lcd_shows("-up-"); }},
        {"lock readings fail",
         {"ioctl /dev/dvb0.frontend0 FE_READ_STATUS EIO"},
         [&] { act(box, "key 1"); },
         2,
         "stdout",
         "tuner_read_status(), LINE=",
         {},
         [&] { return tuner_locked[0] != 0 && run.tv_box_is(60, 500, 150, 40, "1.DVB-S/S2", kGreen); }},
        {"a tune is refused",
         {"ioctl /dev/dvb0.frontend0 FE_SET_PROPERTY EIO once"},
         [&] { act(box, "key CHANNELUP"); act(box, "key 1"); },
         1,
         "stderr",
         "FE_SET_PROPERTY failed: Input/output error",
         {},
         [&] { return tuner_locked[0] != 0 && run.tv_box_is(60, 500, 150, 40, "1.DVB-S/S2", kGreen); }},
        {"the audio decoder refuses to play",
         {"ioctl /dev/dvb0.audio0 AUDIO_PLAY EIO once"},
         [&] { act(box, "key CHANNELDOWN"); act(box, "key 1"); },
         1,
         "stdout",
         "AUDIO_PLAY failed (Input/output error)",
         {},
         [&] { return tuner_locked[0] != 0 && run.tv_box_is(60, 500, 150, 40, "1.DVB-S/S2", kGreen); }},
        {"the DVR input takes part of a chunk or nothing",
         {"write /dev/dvb0.dvr4 short rate 40% seed 3", "write /dev/dvb0.dvr4 EINTR rate 10% seed 4",
          "poll /dev/dvb0.dvr4 ENOMEM once"},
         [&] { act(box, "key 8"); },
         12,
         nullptr,
         nullptr,
         {},
         [&] {
             // Flowing again well after the faults, and never a cut packet.
             int64_t packets = box.describe()["av"]["dvr4"]["check"].value("packets", int64_t{0});
             if (packets_at == 0)
                 packets_at = packets + 200;
             return g_status.tsfile_playing == 1 && packets > packets_at && pump_whole();
         }},
        {"the reader fails its requests",
         {"ioctl /dev/sci0 * EIO"},
         [&] { act(box, "key 8"); act(box, "card 0 insert 3B8F800180318065B0"); },
         2,
         nullptr,
         nullptr,
         {},
         [&] { return g_status.sci_atr[0] == 1 && run.tv_box_is(380, 150, 150, 40, "SCI2 OK", kGreen); }},
        {"the flash refuses the record",
         {"write /dev/mtdblock3 EIO once"},
         [&] { act(box, "type 02:47:58:1A:2B:3C"); act(box, "type 02:47:58:1A:2B:3C"); },
         1,
         "stdout",
         "ERROR!!! Cannot write /dev/mtdblock3",
         {},
         [&] {
             // Reported, and not one byte of the partition changed.
             return g_status.mac_request == 0 && boxsim::net::flash_read(box, 0, 4096) == flash_at_start;
         }},
    };

    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        capture.drain();
        size_t printed_from = boxtest::printed(box, c.stream ? c.stream : "stdout").size();
        size_t fired_from = box.trace().count("fault");
        for (const char *f : c.faults)
            act(box, std::string("fault ") + f);
        c.go();
        EXPECT_TRUE(boxtest::eventually([&] { return box.trace().count("fault") >= fired_from + c.fired; }, 10s))
            << "the faults fired";
        if (c.message) {
            EXPECT_TRUE(boxtest::eventually(
                [&] {
                    capture.drain();
                    return boxtest::printed(box, c.stream).find(c.message, printed_from) != std::string::npos;
                },
                5s))
                << boxtest::printed(box, c.stream).substr(printed_from);
        }
        act(box, "fault clear");
        for (const char *a : c.after)
            act(box, a);
        EXPECT_TRUE(boxtest::eventually(c.recovered, 10s, ConsoleRun::kPictureStep)) << "recovered";
        EXPECT_EQ(g_status.quit, 0) << "the console runs on";
    }

    // The next entry reaches the flash: exactly the record's bytes 12 to
    // 141 change, to the record of the new address.
    act(box, "type 02:47:58:4D:5E:6F");
    act(box, "type 02:47:58:4D:5E:6F");
    EXPECT_TRUE(run.until_tv_box(700, 600, 500, 40, "IP : 192.168.1.20 (02:47:58:4D:5E:6F)", kGreen, 10s));
    auto flash = boxsim::net::flash_read(box, 0, 4096);
    std::vector<unsigned char> expect = flash_at_start;
    const unsigned char addr[6] = {0x02, 0x47, 0x58, 0x4D, 0x5E, 0x6F};
    macprog_build_record(expect.data(), addr);
    EXPECT_EQ(flash, expect);
    EXPECT_TRUE(std::equal(flash.begin(), flash.begin() + 12, flash_at_start.begin()));

    g_status.quit = 1;
    EXPECT_EQ(run.wait_return(5s), 0);
    for (const auto &[path, n] : run.open_devices())
        EXPECT_EQ(path, "/dev/fb0") << n << " left open";
}

} // namespace
} // namespace console_faults_test
