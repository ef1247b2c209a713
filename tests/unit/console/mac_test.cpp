// MAC entry: the maker prefix, the alternating copies, the request, and the
// keyboard that comes and goes while the task runs.
#include "console_test_util.h"

#include "console/mac_entry.h"
#include "devices/input.h"
#include "monitor/port.h"
#include "monitor_fixture.h"

#include <cstring>

namespace {

using namespace consoletest;

class Mac : public ConsoleTest {
protected:
    // Types the text's hex digits, colons and line ends as key codes.
    void type(MacEntryState &s, const std::string &text)
    {
        for (char c : text) {
            int code;
            if (c == ':')
                code = 39;
            else if (c == '\n')
                code = 28;
            else if (c == '0')
                code = 11;
            else if (c >= '1' && c <= '9')
                code = c - '1' + 2;
            else {
                const int letters[] = {30, 48, 46, 32, 18, 33};  // A to F
                code = letters[(c | 0x20) - 'a'];
            }
            mac_key(s, code);
        }
    }
    // What the task echoed, without the line ends (an echo typed slowly is
    // recorded in pieces).
    std::string echoed()
    {
        std::string text = out();
        std::erase(text, '\n');
        return text;
    }
    std::string bytes(const unsigned char *p)
    {
        char buf[20];
        snprintf(buf, sizeof buf, "%02x%02x%02x%02x%02x%02x", p[0], p[1], p[2], p[3], p[4], p[5]);
        return buf;
    }
};

TEST_F(Mac, TwoEqualEntriesRaiseTheRequestAtTheLastDigit)
{
    start();
    MacEntryState s = {};
    type(s, "02:47:58:a1:B2:c3\n");
    EXPECT_EQ(bytes(g_status.mac_entry), "024758a1b2c3");
    EXPECT_EQ(g_status.mac_request, 0);
    type(s, "02:47:58:A1:B2:C");
    EXPECT_EQ(g_status.mac_request, 0);
    EXPECT_EQ(BKNI_WaitForEvent(g_status.gui_event, 0), BERR_TIMEOUT);
    type(s, "3");
    EXPECT_EQ(g_status.mac_request, 1);
    EXPECT_EQ(BKNI_WaitForEvent(g_status.gui_event, 0), BERR_SUCCESS);  // the screen shows it at once
    EXPECT_EQ(bytes(g_status.mac_confirm), "024758a1b2c3");
    EXPECT_EQ(g_status.mac_entry[6], 0);
    EXPECT_EQ(g_status.mac_entry[7], 0);
    type(s, "\n");
    EXPECT_EQ(out(), "02:47:58:A1:B2:C3\n02:47:58:A1:B2:C3");
}

TEST_F(Mac, AWrongPrefixDigitStartsAgainAndConsecutiveEntriesArePaired)
{
    start();
    MacEntryState s = {};
    // A wrong first digit, and a wrong fourth: each time the next digit is
    // taken as the first again.
    type(s, "3");
    EXPECT_EQ(s.count, 0);
    type(s, "0245");
    EXPECT_EQ(s.count, 0);
    type(s, "024758111111");
    EXPECT_EQ(bytes(g_status.mac_entry), "024758111111");
    // A second entry that differs, then a third equal to the second.
    type(s, "024758222222");
    EXPECT_EQ(bytes(g_status.mac_confirm), "024758222222");
    EXPECT_EQ(g_status.mac_request, 0);
    type(s, "024758222222");
    EXPECT_EQ(bytes(g_status.mac_entry), "024758222222");
    EXPECT_EQ(g_status.mac_request, 1);
    // Keys that are neither digits nor separators change nothing.
    int before = s.count;
    mac_key(s, 57);
    mac_key(s, 42);
    EXPECT_EQ(s.count, before);
}

TEST_F(Mac, TheKeyboardIsReadAndThePortMonitorProgramsTheAddress)
{
    json profile = monitortest::fast_profile();
    start(profile);
    run(task_mac);
    run(task_port);
    // Typed before the keyboard is plugged: the type action plugs it, the
    // task finds and opens it, and the person types into it.
    ASSERT_TRUE(boxsim::input::type_text(*box, "02:47:58:0A:0B:0C\n02:47:58:0A:0B:0C\n", 40));
    // The echo comes a character at a time, as typed.
    ASSERT_TRUE(boxtest::eventually([&] { return echoed().find("0C02:47:58:0A:0B:0C") != std::string::npos; }, 3s));
    ASSERT_TRUE(boxtest::eventually([&] { return g_status.mac_request == 0 && box->trace().count("write", "/dev/mtdblock3") == 1; }, 4s));
    auto cmds = commands();
    EXPECT_NE(std::find(cmds.begin(), cmds.end(), "ifconfig eth0 hw ether 02:47:58:0a:0b:0c"), cmds.end());
    // The box's own devices are never opened by this task.
    EXPECT_EQ(box->trace().count("open", "/dev/event0"), 0u);
    EXPECT_EQ(box->trace().count("open", "/dev/event1"), 0u);

    // Pulled and plugged back between two passes: the dead handle is let go
    // and the new keyboard is read.
    boxsim::input::keyboard(*box, false);
    boxsim::input::keyboard(*box, true);
    boxsim::input::type_text(*box, "024758", 40);
    ASSERT_TRUE(boxtest::eventually([&] { return echoed().ends_with("024758"); }, 3s));
    EXPECT_GE(box->trace().count("open", "/dev/event2"), 2u);
    // Unplugged: closed.
    size_t closes = box->trace().count("close", "/dev/event2");
    boxsim::input::keyboard(*box, false);
    ASSERT_TRUE(boxtest::eventually([&] { return box->trace().count("close", "/dev/event2") == closes + 1; }, 2s));
}

// What a reader of the keyboard finds when its buffer overflowed in the
// middle of a scanned address: the records of the lost keys are gone, and in
// their place SYN_DROPPED, the newest record and the end of its report. The
// same loss at the same place of every scan (a scanner's steady pace against
// a reader that falls behind at the same point) once paired the tail of one
// scan with the head of the next into one wrong address, typed "twice".
TEST_F(Mac, AnOverflowInTheMiddleOfAnEntryNeverPairsAMisalignedAddress)
{
    json profile = monitortest::fast_profile();
    start(profile);
    ASSERT_TRUE(boxsim::input::keyboard(*box, true));
    run(task_mac);
    run(task_port);
    ASSERT_TRUE(boxtest::eventually([&] { return boxsim::input::clients(*box, 2) == 1; }, 2s));

    auto rec = [&](uint16_t type, uint16_t code, int32_t value) { boxsim::input::inject(*box, 2, type, code, value); };
    auto key = [&](int code, int usage, int value) {
        rec(4, 4, 0x70000 + usage);
        rec(1, static_cast<uint16_t>(code), value);
        rec(0, 0, 0);
    };
    static constexpr int kLetterKeys[] = {30, 48, 46, 32, 18, 33};  // A to F
    // One scan; the keys of characters [lost_from, lost_to) never arrive.
    auto scan = [&](size_t lost_from, size_t lost_to) {
        const std::string text = "02:47:58:1A:2B:3C\n";
        for (size_t i = 0; i < text.size(); ++i) {
            char c = text[i];
            int code, usage;
            if (c == ':')
                code = 39, usage = 0x33;
            else if (c == '\n')
                code = 28, usage = 0x28;
            else if (c == '0')
                code = 11, usage = 0x27;
            else if (c >= '1' && c <= '9')
                code = c - '1' + 2, usage = 0x1e + (c - '1');
            else
                code = kLetterKeys[c - 'A'], usage = 4 + (c - 'A');
            if (i >= lost_from && i < lost_to) {
                if (i + 1 == lost_to) {
                    rec(0, 3, 0);  // SYN_DROPPED, then the newest record and its report's end
                    rec(1, static_cast<uint16_t>(code), 0);
                    rec(0, 0, 0);
                }
                continue;
            }
            if (c == ':')
                key(42, 0xe1, 1);
            key(code, usage, 1);
            key(code, usage, 0);
            if (c == ':')
                key(42, 0xe1, 0);
            // Taken before the next key comes: no overflow but the one made here.
            ASSERT_TRUE(boxtest::eventually([&] { return boxsim::input::pending(*box, 2) == 0; }, 2s));
        }
    };
    // Four scans; the first and the third lose "2B".
    scan(12, 14);
    scan(0, 0);
    scan(12, 14);
    scan(0, 0);
    ASSERT_TRUE(boxtest::eventually([&] { return g_status.mac_request == 0 && box->trace().count("write", "/dev/mtdblock3") >= 1; }, 4s));
    EXPECT_EQ(bytes(g_status.mac_entry), "0247581a2b3c");
    EXPECT_EQ(bytes(g_status.mac_confirm), "0247581a2b3c");
    EXPECT_EQ(boxsim::net::flash_record_mac(*box), "02:47:58:1a:2b:3c");
    EXPECT_EQ(box->trace().count("write", "/dev/mtdblock3"), 1u);
}

} // namespace
