// Fault injection: the fault lines, each call failing as asked and only as
// asked, the times a fault holds, the shell's failing and missing commands,
// and the system under faults: its messages, nothing lost on the flash, and
// recovery once the fault has gone.
#include "core/faults.h"
#include "core/shell.h"

#include "monitor/dhcp.h"
#include "monitor/macprog.h"
#include "monitor_fixture.h"
#include "platform/box_abi.h"
#include "platform/os.h"

#include <fcntl.h>
#include <sys/mman.h>

namespace {

using boxsim::json;
using boxtest::make_box;
using namespace std::chrono_literals;

std::vector<std::string> words(const std::string &line) { return boxsim::split_words(line); }

void set_fault(boxsim::Box &box, const std::string &line)
{
    std::string err;
    auto rule = boxsim::parse_fault(words(line), err);
    ASSERT_TRUE(rule) << line << ": " << err;
    boxsim::add_fault(box, *rule);
}

TEST(FaultLines, AcceptedAndRefused)
{
    struct Case {
        const char *line;
        const char *error;  // null: accepted; else a part of the message
    };
    const Case cases[] = {
        {"open /dev/lcd0 EIO", nullptr},
        {"open /dev/dvb0.* ENOENT once", nullptr},
        {"read * EAGAIN for 2s", nullptr},
        {"read /dev/event0 EAGAIN", nullptr},
        {"write /dev/dvb0.dvr4 short once", nullptr},
        {"read /dev/event* short", nullptr},
        {"ioctl /dev/fb0 FBIO_BLIT EBUSY after 1s for 250ms", nullptr},
        {"ioctl * 0x4004 EIO rate 5% seed 42", nullptr},
        {"ioctl /dev/dvb0.frontend0 FE_DISEQC_SEND_MASTER_CMD ETIMEDOUT", nullptr},
        {"mmap /dev/fb0 ENOMEM", nullptr},
        {"poll /dev/event0 EINTR rate 100%", nullptr},
        {"close /dev/mtdblock3 EIO once", nullptr},
        {"stat /dev/fb0 EACCES", nullptr},
        {"nanosleep * EINTR rate 10% seed 3", nullptr},
        {"open /dev/mtdblock3 EROFS", nullptr},
        {"open /dev/sci0 EPERM", nullptr},
        {"write /dev/mtdblock3 ENOSPC", nullptr},
        {"open /dev/dvb0.frontend0 ENXIO", nullptr},
        {"read /dev/dvb0.demux0 EOVERFLOW", nullptr},
        {"ioctl /dev/event0 * ENOTTY", nullptr},
        {"write * EPIPE", nullptr},
        {"read /dev/sci0 EFAULT", nullptr},
        {"read /dev/lcd0 hang", nullptr},
        {"ioctl /dev/fb0 FBIO_BLIT hang 2s rate 5%", nullptr},
        {"command udhcpc hang 30s once", nullptr},
        {"popen udhcpc EAGAIN once", nullptr},
        {"system echo ENOMEM", nullptr},
        {"manners /dev/dvb0.* rate 5% seed 9", nullptr},
        {"vanish /dev/event2 after 1s for 2s", nullptr},
        {"appear /dev/event2", nullptr},
        {"signal SIGALRM every 250ms", nullptr},
        {"signal SIGCHLD restart every 1s for 10s", nullptr},
        {"signal SIGUSR1 after 2s", nullptr},
        {"command udhcpc missing", nullptr},
        {"command showiframe fail 2 once", nullptr},
        {"command ifconfig fail for 1.5s", nullptr},
        {"", "which call"},
        {"fsync /dev/lcd0 EIO", "unknown call"},
        {"open /dev/lcd0", "ERROR"},
        {"open dev/lcd0 EIO", "starts with '/'"},
        {"open /dev/lcd0 EWHAT", "unknown error"},
        {"open /dev/lcd0 short", "only reads and writes"},
        // What Linux never does.
        {"read /proc/stb/fp/version EAGAIN", "EAGAIN only on a non-blocking descriptor"},
        {"write /dev/mtdblock3 EAGAIN", "EAGAIN only on a non-blocking descriptor"},
        {"write /dev/mtdblock3 short", "never short"},
        {"write /proc/stb/fp/led0_pattern short", "never short"},
        {"poll /dev/event0 EIO", "never fails with EIO"},
        {"write /dev/lcd0 EPIPE", "never fails with EPIPE"},
        {"open /proc/stb/info/cvmodel EBUSY", "never fails with EBUSY"},
        {"stat /dev/fb0 EIO", "never fails with EIO"},
        {"nanosleep * EIO", "never fails with EIO"},
        {"nanosleep /dev/x EINTR", "has no path"},
        {"close /dev/lcd0 EBUSY", "never fails with EBUSY"},
        {"read /dev/event0 EIO", "never fails with EIO"},
        {"popen udhcpc ENOENT", "never fails with ENOENT"},
        {"manners /dev/lcd0", "needs a chance"},
        {"vanish * once", "names a device node"},
        {"vanish /dev/event2 once", "always, for or after"},
        {"appear /dev/event2 for 1s", "nothing can follow"},
        {"signal SIGKILL every 1s", "unknown signal"},
        {"signal SIGALRM always", "once, after a time, or every"},
        {"signal SIGALRM every", "every needs a duration"},
        {"read /dev/lcd0 EIO every 1s", "only a signal"},
        {"ioctl /dev/fb0 NO_SUCH_REQUEST EIO", "unknown request"},
        {"ioctl /dev/fb0 FBIO_BLIT", "ioctl PATH REQUEST"},
        {"open /dev/lcd0 EIO sometimes", "bad time"},
        {"open /dev/lcd0 EIO once more", "nothing can follow"},
        {"open /dev/lcd0 EIO for", "for needs a duration"},
        {"open /dev/lcd0 EIO for 2", "for needs a duration"},
        {"open /dev/lcd0 EIO after 1s 2s", "for needs"},
        {"open /dev/lcd0 EIO rate 0%", "bad chance"},
        {"open /dev/lcd0 EIO rate 101%", "bad chance"},
        {"open /dev/lcd0 EIO rate 5", "needs a chance"},
        {"open /dev/lcd0 EIO rate 5% seed x", "seed N"},
        {"command /sbin/udhcpc missing", "base name"},
        {"command udhcpc crash", "'missing' or 'fail"},
        {"command udhcpc fail 0", "from 1 to 255"},
    };
    for (const Case &c : cases) {
        std::string err;
        auto rule = boxsim::parse_fault(words(c.line), err);
        if (!c.error) {
            EXPECT_TRUE(rule) << c.line << ": " << err;
            if (rule) {
                EXPECT_EQ(rule->text, c.line);
            }
        } else {
            EXPECT_FALSE(rule) << c.line;
            EXPECT_NE(err.find(c.error), std::string::npos) << c.line << ": " << err;
        }
    }
}

// A character device that takes whatever is written.
struct Sink : boxsim::Device {
    std::string got;
    ssize_t write(boxsim::OpenFile &, const void *buf, size_t len) override
    {
        got.append(static_cast<const char *>(buf), len);
        return static_cast<ssize_t>(len);
    }
};

TEST(Faults, EachCallFailsOnItsPathOnlyAndIsTraced)
{
    auto box = make_box("default");
    box->add_file("/proc/test/value", "12345678");
    box->add_file("/proc/test/other", "abc");
    auto sink = std::make_shared<Sink>();
    box->add_node("/dev/sink", sink);
    set_fault(*box, "open /proc/test/value ENOENT once");
    set_fault(*box, "read /proc/test/other EIO once");
    set_fault(*box, "write /dev/sink short once");
    set_fault(*box, "ioctl /dev/fb0 FBIO_BLIT EBUSY");
    set_fault(*box, "mmap /dev/fb0 ENOMEM once");

    EXPECT_EQ(os::open("/proc/test/value", O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);
    int fd = os::open("/proc/test/value", O_RDWR);  // once: the second open works
    ASSERT_GE(fd, 0);
    char buf[16] = {};
    EXPECT_EQ(os::read(fd, buf, sizeof buf), 8) << "reads of another path are left alone";
    os::close(fd);
    fd = os::open("/dev/sink", O_WRONLY);
    EXPECT_EQ(os::write(fd, "abcdefgh", 8), 4) << "a short write takes half";
    EXPECT_EQ(sink->got, "abcd");
    os::close(fd);

    fd = os::open("/proc/test/other", O_RDONLY);
    EXPECT_EQ(os::read(fd, buf, sizeof buf), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(os::read(fd, buf, sizeof buf), 3);
    os::close(fd);

    int fb = os::open("/dev/fb0", O_RDWR);
    ASSERT_GE(fb, 0);
    fb_var_screeninfo v{};
    EXPECT_EQ(os::ioctl(fb, box_abi::FBIOGET_VSCREENINFO, &v), 0) << "another request of the same device works";
    EXPECT_EQ(os::ioctl(fb, box_abi::FBIO_BLIT), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(os::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fb, 0), MAP_FAILED);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_NE(os::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fb, 0), MAP_FAILED);
    os::close(fb);

    // Each fault is a trace line just before the failed call's own.
    auto ev = box->trace().events();
    std::vector<std::string> seen;
    for (size_t i = 0; i + 1 < ev.size(); ++i) {
        if (ev[i]["op"] != "fault")
            continue;
        seen.push_back(ev[i]["call"].get<std::string>() + " " + ev[i]["error"].get<std::string>());
        if (ev[i]["call"] != "read") {  // reads that failed leave no line of their own
            EXPECT_EQ(ev[i + 1]["op"], ev[i]["call"]) << ev[i].dump();
        }
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"open ENOENT", "write short", "read EIO", "ioctl EBUSY", "mmap ENOMEM"}));
    auto blit = box->trace().find("fault", "/dev/fb0");
    ASSERT_FALSE(blit.empty());
    EXPECT_EQ(blit[0]["request"], "FBIO_BLIT");
}

TEST(Faults, PollFailsForAWatchedPath)
{
    auto box = make_box();
    box->add_file("/proc/test/watched", "x");
    set_fault(*box, "poll /proc/test/watched ENOMEM once");
    int fd = os::open("/proc/test/watched", O_RDONLY);
    struct pollfd p = {fd, POLLIN, 0};
    EXPECT_EQ(os::poll(&p, 1, 0), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(os::poll(&p, 1, 0), 1);
    os::close(fd);
}

TEST(Faults, TimesOnceWindowAndSeededRate)
{
    auto box = make_box();
    box->add_file("/proc/test/a", "1");
    auto opens_fail = [] {
        int fd = os::open("/proc/test/a", O_RDONLY);
        if (fd >= 0)
            os::close(fd);
        return fd < 0;
    };
    set_fault(*box, "open /proc/test/a EACCES for 300ms");
    EXPECT_TRUE(opens_fail());
    EXPECT_TRUE(opens_fail()) << "a window holds for every call inside it";
    EXPECT_TRUE(boxtest::eventually([&] { return !opens_fail(); }, 3s)) << "and ends";
    auto list = boxsim::fault_list(*box);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_FALSE(list[0].active);
    EXPECT_GE(list[0].hits, 2);

    boxsim::clear_faults(*box);
    set_fault(*box, "open /proc/test/a EACCES after 200ms for 10s");
    EXPECT_FALSE(opens_fail()) << "not before its start";
    EXPECT_TRUE(boxtest::eventually(opens_fail, 3s));

    // A rate is a chance per call from its seed: the same seed gives the
    // same calls, another seed others, and about the chance asked for.
    auto pattern = [&](const std::string &line) {
        boxsim::clear_faults(*box);
        set_fault(*box, line);
        std::string p;
        for (int i = 0; i < 400; ++i)
            p += opens_fail() ? 'x' : '.';
        return p;
    };
    std::string a = pattern("open /proc/test/a EACCES rate 25% seed 7");
    EXPECT_EQ(a, pattern("open /proc/test/a EACCES rate 25% seed 7"));
    EXPECT_NE(a, pattern("open /proc/test/a EACCES rate 25% seed 8"));
    auto failed = std::count(a.begin(), a.end(), 'x');
    EXPECT_GT(failed, 50);
    EXPECT_LT(failed, 150);

    boxsim::clear_faults(*box, "open");
    EXPECT_TRUE(boxsim::fault_list(*box).empty());
    EXPECT_FALSE(opens_fail());
}

TEST(Faults, CommandsFailOrAreMissing)
{
    auto box = make_box("default");
    set_fault(*box, "command ifconfig fail 3 once");
    set_fault(*box, "command showiframe missing");
    EXPECT_EQ(os::system("ifconfig eth0 up") >> 8, 3);
    EXPECT_EQ(os::system("ifconfig eth0 up") >> 8, 0) << "once";
    EXPECT_EQ(os::system("/usr/bin/showiframe /usr/share/bootlogo.mvi") >> 8, 127) << "found by its base name";
    EXPECT_EQ(os::system("echo 1 > /proc/stb/fp/oled_brightness") >> 8, 0) << "other commands run";

    set_fault(*box, "command udhcpc missing once");
    FILE *f = os::popen("udhcpc", "r");
    ASSERT_NE(f, nullptr);
    char line[64];
    EXPECT_EQ(fgets(line, sizeof line, f), nullptr) << "a missing client prints nothing";
    EXPECT_EQ(os::pclose(f) >> 8, 127);
    auto ev = box->trace().find("fault");
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(ev[0]["name"], "ifconfig");
    EXPECT_EQ(ev[0]["error"], "fail");
    EXPECT_EQ(ev[1]["name"], "showiframe");
    EXPECT_EQ(ev[2]["error"], "missing");
}

TEST(Faults, FromTheProfileAndTheScenarioAction)
{
    json profile = json::parse(R"({"model": "rcplus",
        "faults": ["open /proc/stb/info/cvmodel ENOENT once", "open /dev/lcd0 EIO sometimes", 7]})");
    auto box = boxtest::make_box_from(profile);
    EXPECT_EQ(os::open("/proc/stb/info/cvmodel", O_RDONLY), -1);
    EXPECT_GE(os::open("/proc/stb/info/cvmodel", O_RDONLY), 0);
    // Lines that are no faults are noted, and the rest of the box is made.
    auto notes = box->trace().find("note");
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_NE(notes[0]["what"].get<std::string>().find("bad time"), std::string::npos);

    const auto &action = boxsim::actions().at("fault");
    std::string err;
    EXPECT_FALSE(action.parse(words("open /dev/lcd0"), err));
    EXPECT_FALSE(action.parse(words("clear everything"), err));
    EXPECT_FALSE(action.parse(words("clear open read"), err));
    auto set = action.parse(words("write /proc/stb/fp/led0_pattern EIO"), err);
    ASSERT_TRUE(set) << err;
    (*set)(*box);
    json state = box->describe();
    ASSERT_EQ(state["faults"].size(), 2u);
    EXPECT_EQ(state["faults"][0]["hits"], 1);
    EXPECT_EQ(state["faults"][1]["fault"], "write /proc/stb/fp/led0_pattern EIO");
    EXPECT_EQ(os::system("echo 1 > /proc/stb/fp/led0_pattern") >> 8, 0) << "the shell's own writes are not the system's";
    auto clear = action.parse(words("clear write"), err);
    ASSERT_TRUE(clear) << err;
    (*clear)(*box);
    EXPECT_EQ(box->describe()["faults"].size(), 1u);
}

// --- The system under faults.

class SystemUnderFaults : public monitortest::MonitorTest {};

TEST_F(SystemUnderFaults, DhcpStepWithoutItsClientRetriesAndThenLeases)
{
    start();
    set_fault(*box, "command udhcpc missing once");
    dhcp_step();
    EXPECT_EQ(g_status.dhcp_done, 0);
    EXPECT_EQ(box->trace().find("pclose")[0]["status"], 127);
    dhcp_step();
    EXPECT_EQ(g_status.dhcp_done, 1);
    EXPECT_EQ(ip(), "192.168.1.20");
}

// The shell cannot be started for the last step of a programming (fork
// fails while memory is short): the interface comes up all the same.
TEST_F(SystemUnderFaults, MacProgrammingBringsTheInterfaceUpWhenTheShellCannotStart)
{
    start();
    const unsigned char addr[6] = {0x02, 0x47, 0x58, 0x01, 0x02, 0x03};
    set_fault(*box, "system ifconfig ENOMEM after 0 for 150ms");
    EXPECT_EQ(macprog2(addr, 6), 0);
    auto eth = boxsim::net::interface_state(*box);
    EXPECT_TRUE(eth.up) << "eth0 left down";
    EXPECT_EQ(eth.mac, "02:47:58:01:02:03");
}

TEST_F(SystemUnderFaults, FlashWriteThatFailsIsReportedAndLosesNothing)
{
    start();
    const unsigned char addr[6] = {0x00, 0x11, 0x22, 0xAA, 0xBB, 0xCC};
    auto before = boxsim::net::flash_read(*box, 0, 4096);
    ASSERT_EQ(before.size(), 4096u);

    set_fault(*box, "write /dev/mtdblock3 EIO once");
    EXPECT_EQ(macprog2(addr, 6), -1);
    EXPECT_EQ(boxsim::net::flash_read(*box, 0, 4096), before) << "a refused write changes no byte";

    set_fault(*box, "write /dev/mtdblock3 ENOSPC once");
    EXPECT_EQ(macprog2(addr, 6), -1);
    EXPECT_EQ(boxsim::net::flash_read(*box, 0, 4096), before) << "a refused write changes no byte";

    EXPECT_EQ(macprog2(addr, 6), 0);
    auto after = boxsim::net::flash_read(*box, 0, 4096);
    for (size_t i = 0; i < after.size(); ++i)
        if (i < 12 || i >= 142) {
            ASSERT_EQ(after[i], before[i]) << "byte " << i;
        }
    EXPECT_EQ(boxsim::net::flash_record_mac(*box), "00:11:22:aa:bb:cc");

    capture->drain();
    EXPECT_TRUE(boxtest::eventually(
        [&] {
            return boxtest::printed(*box) == "ERROR!!! Cannot write /dev/mtdblock3ERROR!!! Cannot write /dev/mtdblock3";
        },
        2s))
        << boxtest::printed(*box);
}

} // namespace
