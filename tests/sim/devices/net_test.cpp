// The simulated network and ports on their own: sysfs as the kernel shows it,
// ifconfig, the DHCP client's behaviour, the HDMI driver, the flash device,
// the scenario actions and the snapshot.
#include "monitor_fixture.h"

#include "platform/box_abi.h"
#include "platform/os.h"
#include "core/shell.h"

#include <csignal>
#include <cstring>
#include <poll.h>
#include <fcntl.h>
#include <unistd.h>

namespace monitortest {
namespace {

using Clock = boxsim::BoxSteadyClock;

class SimNet : public MonitorTest {
protected:
    std::string cat(const char *path)
    {
        FILE *f = os::fopen(path, "r");
        if (!f)
            return "<missing>";
        char buf[64] = {};
        size_t n = fread(buf, 1, sizeof buf - 1, f);
        bool err = ferror(f);
        fclose(f);
        return err ? "<error>" : std::string(buf, n);
    }

    // Runs an action as the scenario language and the web panel do.
    std::string act(const std::string &name, std::vector<std::string> args)
    {
        std::string err;
        auto run = boxsim::actions().at(name).parse(args, err);
        if (!run)
            return err.empty() ? "error" : err;
        (*run)(*box);
        return "";
    }

    // One popen of the client read to its end; lines with the milliseconds
    // since the start.
    std::vector<std::pair<long, std::string>> read_client(int *status = nullptr)
    {
        auto t0 = Clock::now();
        FILE *f = os::popen("udhcpc", "r");
        std::vector<std::pair<long, std::string>> lines;
        char buf[512];
        while (f && fgets(buf, sizeof buf, f)) {
            buf[strcspn(buf, "\n")] = 0;
            long ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
            lines.emplace_back(ms, buf);
            if (lines.size() == 5)
                break;
        }
        int st = f ? os::pclose(f) : -1;
        if (status)
            *status = st;
        return lines;
    }
};

TEST_F(SimNet, InterfaceFilesFollowTheCableAndIfconfig)
{
    json p = fast_profile();
    p["network"]["autoneg_ms"] = 150;
    start(p);
    EXPECT_EQ(cat("/sys/class/net/eth0/operstate"), "up\n");
    EXPECT_EQ(cat("/sys/class/net/eth0/speed"), "1000\n");
    EXPECT_EQ(cat("/sys/class/net/eth0/address"), "02:1c:b4:10:00:01\n");

    boxsim::net::cable_unplug(*box);
    EXPECT_EQ(cat("/sys/class/net/eth0/operstate"), "down\n");
    EXPECT_EQ(cat("/sys/class/net/eth0/speed"), "-1\n");
    EXPECT_EQ(cat("/sys/class/net/eth0/carrier"), "0\n");

    // A plugged cable needs its negotiation before the link is up.
    boxsim::net::cable_plug(*box, 100);
    EXPECT_EQ(cat("/sys/class/net/eth0/operstate"), "down\n");
    EXPECT_TRUE(boxtest::eventually([&] { return cat("/sys/class/net/eth0/operstate") == "up\n"; }, 2s));
    EXPECT_EQ(cat("/sys/class/net/eth0/speed"), "100\n");

    // A downed interface has no speed to give: the read fails.
    EXPECT_EQ(os::system("ifconfig eth0 down"), 0);
    EXPECT_EQ(cat("/sys/class/net/eth0/speed"), "<error>");
}

TEST_F(SimNet, IfconfigChangesTheAddressOnlyWhileDown)
{
    start();
    EXPECT_EQ(os::system("ifconfig eth0 hw ether 00:11:22:33:44:55") >> 8, 1);
    EXPECT_EQ(boxsim::net::interface_state(*box).mac, "02:1c:b4:10:00:01");
    EXPECT_EQ(os::system("ifconfig eth0 down"), 0);
    EXPECT_EQ(os::system("ifconfig eth0 hw ether 00:11:22:33:44:5") >> 8, 1);
    EXPECT_EQ(os::system("ifconfig eth0 hw ether 00:11:22:33:44:55"), 0);
    EXPECT_EQ(boxsim::net::interface_state(*box).mac, "00:11:22:33:44:55");
    EXPECT_EQ(os::system("ifconfig eth1 up") >> 8, 1);
    EXPECT_EQ(os::system("ifconfig eth0 sideways") >> 8, 1);

    FILE *f = os::popen("ifconfig eth0", "r");
    ASSERT_NE(f, nullptr);
    char line[200] = {};
    ASSERT_NE(fgets(line, sizeof line, f), nullptr);
    os::pclose(f);
    EXPECT_NE(strstr(line, "HWaddr 00:11:22:33:44:55"), nullptr) << line;
}

TEST_F(SimNet, ClientWithAServerLeasesAndGoesToTheBackground)
{
    start();
    int status = -1;
    auto lines = read_client(&status);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].second, "Sending discover...");
    EXPECT_EQ(lines[1].second, "Sending select for 192.168.1.20...");
    EXPECT_EQ(lines[2].second, "Lease of 192.168.1.20 obtained, lease time 86400");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(boxsim::net::interface_state(*box).ip, "192.168.1.20");
    EXPECT_EQ(boxsim::count_processes(*box, "udhcpc"), 1);
    EXPECT_EQ(os::system("killall -9 udhcpc"), 0);
    EXPECT_EQ(boxsim::count_processes(*box, "udhcpc"), 0);
    EXPECT_NE(os::system("killall -9 udhcpc"), 0) << "nothing left to kill";
}

TEST_F(SimNet, ClientWithoutAServerPausesBetweenRounds)
{
    json p = fast_profile();
    p["network"]["dhcp"] = json::parse(R"({"lease": null, "discover_timeout_ms": 40, "retries": 3,
                                           "retry_pause_ms": 400})");
    start(p);
    auto lines = read_client();
    ASSERT_EQ(lines.size(), 5u);
    for (const auto &l : lines)
        EXPECT_EQ(l.second, "Sending discover...");
    // Three discovers a timeout apart, then the pause before the next round.
    // (Times are taken at the reader, so allow a little for its wake-up.)
    EXPECT_GE(lines[2].first - lines[1].first, 30);
    EXPECT_GE(lines[3].first - lines[2].first, 380);
    EXPECT_LT(lines[2].first - lines[1].first, lines[3].first - lines[2].first);
    EXPECT_EQ(boxsim::net::dhcp_clients(*box), 0) << "the client ended at its next discover";
}

// What each kind of driver makes of the link, as sysfs shows it: operstate,
// carrier and speed with the cable in or out and the interface up or down
// (carrier and speed fail with EINVAL while it is down).
TEST_F(SimNet, OperstateAsTheDriverReportsTheLink)
{
    struct Case {
        const char *report;
        bool cable, up;
        const char *operstate, *carrier, *speed;
    };
    const Case cases[] = {
        {"carrier", true, true, "up\n", "1\n", "1000\n"},     {"carrier", false, true, "down\n", "0\n", "-1\n"},
        {"carrier", true, false, "down\n", "<error>", "<error>"},
        {"unknown", true, true, "unknown\n", "1\n", "1000\n"}, {"unknown", false, true, "unknown\n", "1\n", "-1\n"},
        {"unknown", true, false, "down\n", "<error>", "<error>"},
        {"dormant", true, true, "dormant\n", "1\n", "1000\n"}, {"dormant", false, true, "down\n", "0\n", "-1\n"},
        {"dormant", true, false, "down\n", "<error>", "<error>"},
    };
    for (const auto &c : cases) {
        json p = fast_profile();
        p["network"]["operstate"] = c.report;
        p["network"]["cable"] = c.cable;
        p["network"]["up"] = c.up;
        start(p);
        std::string what = std::string(c.report) + (c.cable ? ", cable in" : ", cable out") + (c.up ? ", up" : ", down");
        EXPECT_EQ(cat("/sys/class/net/eth0/operstate"), c.operstate) << what;
        EXPECT_EQ(cat("/sys/class/net/eth0/carrier"), c.carrier) << what;
        EXPECT_EQ(cat("/sys/class/net/eth0/speed"), c.speed) << what;
        EXPECT_EQ(box->describe()["network"]["operstate"].get<std::string>() + "\n", c.operstate) << what;
    }
}

// Words of the driver's and the client's keys that the model does not know
// refuse the profile, naming them; the keyboard's typing speed likewise.
TEST_F(SimNet, ProfileWordsAreChecked)
{
    struct Case {
        json patch;
        const char *error;  // "" when the profile is good
    } cases[] = {
        {{{"network", {{"operstate", "unknown"}, {"dhcp", {{"client", {{"words", "busybox"}, {"output", "stderr"}, {"background", false}}}}}}}}, ""},
        {{{"network", {{"operstate", "sideways"}}}}, "network: keys of the wrong type or value: operstate"},
        {{{"network", {{"operstate", 1}}}}, "operstate"},
        {{{"network", {{"dhcp", {{"client", {{"words", "dhclient"}, {"output", "stdin"}}}}}}}}, "words, output"},
        {{{"network", {{"dhcp", {{"client", "busybox"}}}}}}, "client"},
        {{{"network", {{"dhcp", {{"client", {{"background", "yes"}}}}}}}}, "background"},
        {{{"input", {{"keyboard", {{"typing", "scanner"}}}}}}, ""},
        {{{"input", {{"keyboard", {{"typing", 150}}}}}}, ""},
        {{{"input", {{"keyboard", {{"typing", 5}}}}}}, "input: keyboard typing"},
        {{{"input", {{"keyboard", {{"typing", "fast"}}}}}}, "input: keyboard typing"},
    };
    boxtest::TempDir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.patch.dump());
        std::string err;
        auto profile = boxsim::Box::load_profile("default", err);
        ASSERT_TRUE(profile) << err;
        profile->merge_patch(c.patch);
        const std::string file = dir.file("p.json");
        FILE *f = fopen(file.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs(profile->dump().c_str(), f);
        fclose(f);
        err.clear();
        bool loaded = boxsim::Box::load_profile(file, err).has_value();
        EXPECT_EQ(loaded, std::string(c.error).empty()) << err;
        EXPECT_NE(err.find(c.error), std::string::npos) << err;
    }
}

// The client's words and where it writes them; a client that stays in the
// foreground holds its output open; a client not read any more ends at its
// next write (pclose waits for that), one that is killed at once.
TEST_F(SimNet, ClientWordsOutputAndEnd)
{
    using boxsim::net::ClientWords;
    json p = fast_profile();
    p["network"]["dhcp"]["client"] = {{"words", "busybox"}, {"output", "stderr"}};
    start(p);
    int status = -1;
    EXPECT_TRUE(read_client(&status).empty()) << "nothing on standard output";
    EXPECT_EQ(status, 0);
    capture->drain();
    std::string err = boxtest::printed(*box, "stderr");
    EXPECT_NE(err.find("udhcpc: started, v1.35.0\nudhcpc: broadcasting discover\n"
                       "udhcpc: broadcasting select for 192.168.1.20, server 192.168.1.1\n"
                       "udhcpc: lease of 192.168.1.20 obtained from 192.168.1.1, lease time 86400"),
              std::string::npos)
        << err;
    EXPECT_EQ(boxsim::net::dhcp_clients(*box), 1) << "in the background";
    EXPECT_EQ(os::system("killall -9 udhcpc"), 0);

    // In the foreground, on standard output: the lease, then nothing until
    // the renewal; killed while it waits.
    boxsim::net::dhcp_client(*box, ClientWords::Box, false, false);
    EXPECT_EQ(box->describe()["network"]["dhcp_client"],
              json({{"words", "box"}, {"output", "stdout"}, {"background", false}}));
    FILE *f = os::popen("udhcpc", "r");
    ASSERT_NE(f, nullptr);
    char line[128];
    for (int i = 0; i < 3; ++i)
        ASSERT_NE(fgets(line, sizeof line, f), nullptr);
    EXPECT_STREQ(line, "Lease of 192.168.1.20 obtained, lease time 86400\n");
    struct pollfd pfd = {fileno(f), POLLIN, 0};
    EXPECT_EQ(os::poll(&pfd, 1, 2000), 0) << "the client holds its output open";
    EXPECT_EQ(boxsim::net::dhcp_clients(*box), 1);
    EXPECT_EQ(os::system("killall -9 udhcpc"), 0);
    EXPECT_EQ(os::pclose(f), SIGKILL);
    EXPECT_EQ(boxsim::net::dhcp_clients(*box), 0);

    // Without a server, not read after its first line: pclose waits for
    // its next discover, which ends it (SIGPIPE).
    boxsim::net::dhcp_none(*box);
    f = os::popen("udhcpc", "r");
    ASSERT_NE(fgets(line, sizeof line, f), nullptr);
    auto t0 = Clock::now();
    EXPECT_EQ(os::pclose(f), SIGPIPE);
    EXPECT_GE(Clock::now() - t0, 50ms) << "pclose does not end the command";
    EXPECT_EQ(box->trace().find("pclose").back()["signal"], "SIGPIPE");

    // The box's client looks at the link before each discover, not while it
    // waits: a cable pulled meanwhile is reported at its next attempt.
    boxsim::net::cable_unplug(*box);
    f = os::popen("udhcpc", "r");
    ASSERT_NE(fgets(line, sizeof line, f), nullptr);
    EXPECT_STREQ(line, "eth0 cable unplugged, powering down\n");
    EXPECT_EQ(os::pclose(f), 1 << 8);
}

TEST_F(SimNet, ClientReportsAPulledCable)
{
    json p = fast_profile();
    p["network"]["cable"] = false;
    start(p);
    int status = -1;
    auto lines = read_client(&status);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].second, "eth0 cable unplugged, powering down");
    EXPECT_EQ(status >> 8, 1);
}

TEST_F(SimNet, UsbAndSataEntriesAppearAndVanish)
{
    json p = fast_profile();
    p["usb"] = json::parse(R"({"ports": {"1": "1-1", "2": "2-1"}, "attached": [1]})");
    p["sata"] = json::parse(R"({"hosts": 2})");
    start(p);
    EXPECT_TRUE(box->exists("/sys/bus/usb/devices/usb1"));
    EXPECT_TRUE(box->exists("/sys/bus/usb/devices/usb2"));
    EXPECT_TRUE(box->exists("/sys/bus/usb/devices/1-1"));
    EXPECT_TRUE(box->exists("/sys/bus/scsi/devices/host1"));
    EXPECT_FALSE(box->exists("/sys/bus/scsi/devices/1:0:0:0"));

    EXPECT_EQ(act("usb", {"2", "on"}), "");
    EXPECT_EQ(act("usb", {"1", "off"}), "");
    EXPECT_EQ(act("sata", {"1", "on"}), "");
    EXPECT_TRUE(box->exists("/sys/bus/usb/devices/2-1"));
    EXPECT_TRUE(box->exists("/sys/bus/usb/devices/2-1:1.0"));
    EXPECT_FALSE(box->exists("/sys/bus/usb/devices/1-1"));
    EXPECT_FALSE(box->exists("/sys/bus/usb/devices/1-1:1.0"));
    EXPECT_TRUE(box->exists("/sys/bus/scsi/devices/1:0:0:0"));

    // Ports the board does not have change nothing and say so in the trace.
    EXPECT_FALSE(boxsim::net::usb(*box, 3, true));
    EXPECT_FALSE(boxsim::net::sata(*box, 2, true));
    EXPECT_EQ(box->trace().find("event").back()["result"], "no such host");
    EXPECT_EQ(box->trace().count("event"), 5u);
}

TEST_F(SimNet, HdmiDriverRequest)
{
    json p = fast_profile();
    p["hdmi"] = json::parse(R"({"state": 7})");
    start(p);
    int fd = os::open("/dev/hdmi_cec", O_RDWR);
    ASSERT_GE(fd, 0);
    int32_t word = 0;
    EXPECT_EQ(os::ioctl(fd, box_abi::HDMI_CEC_GET_STATE, &word), 0);
    EXPECT_EQ(word, 7);
    EXPECT_EQ(os::ioctl(fd, box_abi::HDMI_CEC_GET_STATE, 0UL), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(os::ioctl(fd, 241, &word), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(act("hdmi", {"fail"}), "");
    EXPECT_EQ(os::ioctl(fd, box_abi::HDMI_CEC_GET_STATE, &word), -1);
    EXPECT_EQ(errno, EIO);
    os::close(fd);
    EXPECT_EQ(act("hdmi", {"none"}), "");
    EXPECT_LT(os::open("/dev/hdmi_cec", O_RDWR), 0);
    EXPECT_EQ(act("hdmi", {"0x80000001"}), "");
    fd = os::open("/dev/hdmi_cec", O_RDWR);
    EXPECT_EQ(os::ioctl(fd, box_abi::HDMI_CEC_GET_STATE, &word), 0);
    EXPECT_EQ(static_cast<uint32_t>(word), 0x80000001u);
    os::close(fd);
}

TEST_F(SimNet, FlashIsABlockDeviceOfItsSize)
{
    json p = fast_profile();
    p["flash"]["size"] = 4096;
    start(p);
    struct stat st;
    ASSERT_EQ(os::stat("/dev/mtdblock3", &st), 0);
    EXPECT_TRUE(S_ISBLK(st.st_mode));
    EXPECT_EQ(st.st_size, 4096);
    int fd = os::open("/dev/mtdblock3", O_RDWR | O_SYNC);
    ASSERT_GE(fd, 0);
    char buf[16] = "0123456789abcde";
    EXPECT_EQ(os::lseek(fd, 4090, SEEK_SET), 4090);
    EXPECT_EQ(os::write(fd, buf, 16), 6) << "a block device takes what fits";
    EXPECT_EQ(os::write(fd, buf, 16), -1);
    EXPECT_EQ(errno, ENOSPC);
    os::close(fd);
    EXPECT_EQ(boxsim::net::hex(boxsim::net::flash_read(*box, 4090, 16)), "303132333435");
}

// The flash as the MTD block layer makes it a block device: a write into
// part of an erase block is cached and reaches the flash on a flush (a write
// of a descriptor opened O_SYNC, a write into another block) or on the last
// close; a power cut half-way through an erase leaves the block erased.
TEST_F(SimNet, FlashWritesReachTheFlashAnEraseBlockAtATime)
{
    struct Case {
        const char *what;
        int sync;                 // O_SYNC on the writer
        bool second_open;         // another descriptor open while writing
        const char *cut;          // "flash cut" arguments, or null
        long long write_at;       // offset of a second write (-1: none)
        const char *after_write;  // block 0's first bytes once the writes returned
        const char *after_close;  // ... once the writer closed
        const char *after_all;    // ... once every descriptor closed
        int write_result, erases, cuts;
    } cases[] = {
        {"cached until the last close", 0, false, nullptr, -1, "ffffffff", "41424344", "41424344", 4, 1, 0},
        {"held by a second descriptor", 0, true, nullptr, -1, "ffffffff", "ffffffff", "41424344", 4, 1, 0},
        {"flushed by each O_SYNC write", O_SYNC, false, nullptr, -1, "41424344", "41424344", "41424344", 4, 1, 0},
        {"flushed by a write into another block", 0, false, nullptr, 4096, "41424344", "41424344", "41424344", 4, 2,
         0},
        {"cut during an O_SYNC write", O_SYNC, false, "cut", -1, "ffffffff", "ffffffff", "ffffffff", -1, 1, 1},
        {"cut at the last close: nobody hears", 0, false, "cut", -1, "ffffffff", "ffffffff", "ffffffff", 4, 1, 1},
        {"second erase cut: the first went through", 0, false, "cut 2", 4096, "41424344", "41424344", "41424344", 4,
         2, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        json p = fast_profile();
        p["flash"]["size"] = 8192;
        p["flash"]["erase_block"] = 4096;
        p["flash"]["mac"] = nullptr;
        start(p);
        // Bytes 100 on of block 0 hold data the writes never touch.
        {
            int fd = os::open("/dev/mtdblock3", O_RDWR | O_SYNC);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(os::lseek(fd, 100, SEEK_SET), 100);
            ASSERT_EQ(os::write(fd, "keep", 4), 4);
            os::close(fd);
        }
        const int erases_before = box->describe()["flash"]["erases"];
        if (c.cut) {
            ASSERT_EQ(act("flash", c.cut[3] ? std::vector<std::string>{"cut", c.cut + 4}
                                            : std::vector<std::string>{"cut"}),
                      "");
        }
        auto first = [&] { return boxsim::net::hex(boxsim::net::flash_read(*box, 0, 4)); };
        int other = c.second_open ? os::open("/dev/mtdblock3", O_RDONLY) : -1;
        int fd = os::open("/dev/mtdblock3", O_RDWR | c.sync);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(os::write(fd, "ABCD", 4), c.write_result);
        if (c.write_result < 0) {
            EXPECT_EQ(errno, EIO);
        }
        char back[4] = {};
        if (c.write_result > 0) {
            // The writer reads what it wrote, wherever it is held.
            ASSERT_EQ(os::lseek(fd, 0, SEEK_SET), 0);
            EXPECT_EQ(os::read(fd, back, 4), 4);
            EXPECT_EQ(std::string(back, 4), "ABCD");
        }
        if (c.write_at >= 0) {
            ASSERT_EQ(os::lseek(fd, c.write_at, SEEK_SET), c.write_at);
            EXPECT_EQ(os::write(fd, "EFGH", 4), 4);
        }
        EXPECT_EQ(first(), c.after_write);
        EXPECT_EQ(os::close(fd), 0);
        EXPECT_EQ(first(), c.after_close);
        if (other >= 0)
            os::close(other);
        EXPECT_EQ(first(), c.after_all);
        json flash = box->describe()["flash"];
        EXPECT_EQ(flash["erases"].get<int>() - erases_before, c.erases);
        EXPECT_EQ(flash["cuts"], c.cuts);
        EXPECT_EQ(flash["cached"], false);
        // A cut block is erased whole: what the writes never touched is gone too.
        const bool cut_block0 = c.cuts && std::string(c.after_all) == "ffffffff";
        EXPECT_EQ(boxsim::net::hex(boxsim::net::flash_read(*box, 100, 4)), cut_block0 ? "ffffffff" : "6b656570");
        if (c.write_at >= 0 && !(c.cuts && !cut_block0)) {
            EXPECT_EQ(boxsim::net::hex(boxsim::net::flash_read(*box, 4096, 4)), "45464748");
        }
        if (c.cuts) {
            auto cuts = box->trace().find("device", "/dev/mtdblock3");
            ASSERT_EQ(cuts.size(), 1u);
            EXPECT_EQ(cuts[0]["event"], "power cut");
            EXPECT_EQ(cuts[0]["erase_block"], cut_block0 ? 0 : 1);
        }
    }
    start();
    for (auto bad : std::vector<std::vector<std::string>>{{}, {"cut", "0"}, {"cut", "x"}, {"cut", "1", "2"}, {"erase"}})
        EXPECT_NE(act("flash", bad), "") << testing::PrintToString(bad);
}

TEST_F(SimNet, ActionsCheckTheirArguments)
{
    start();
    for (auto bad : std::vector<std::pair<std::string, std::vector<std::string>>>{
             {"cable", {}},
             {"cable", {"plug", "99"}},
             {"cable", {"plug", "1000", "x"}},
             {"cable", {"unplug", "now"}},
             {"dhcp", {"lease"}},
             {"dhcp", {"lease", "192.168.1"}},
             {"dhcp", {"lease", "192.168.1.256"}},
             {"dhcp", {"lease", "1.2.3.4.5"}},
             {"dhcp", {"maybe"}},
             {"dhcp", {"client"}},
             {"dhcp", {"client", "dhclient"}},
             {"dhcp", {"client", "box", "stdin"}},
             {"dhcp", {"client", "box", "stdout", "background", "x"}},
             {"usb", {"1"}},
             {"usb", {"x", "on"}},
             {"usb", {"99", "on"}},
             {"usb", {"1", "yes"}},
             {"sata", {"-1", "on"}},
             {"hdmi", {}},
             {"hdmi", {"0x100000000"}},
             {"hdmi", {"abc"}},
         })
        EXPECT_NE(act(bad.first, bad.second), "") << bad.first << " " << testing::PrintToString(bad.second);
    EXPECT_EQ(box->trace().count("event"), 0u);

    EXPECT_EQ(act("cable", {"plug", "10000"}), "");
    json ev = box->trace().find("event").back();
    EXPECT_EQ(ev["what"], "cable plug");
    EXPECT_EQ(ev["speed"], 10000);
    EXPECT_EQ(boxsim::net::interface_state(*box).speed, 10000);
    EXPECT_EQ(act("cable", {"unplug"}), "");
    EXPECT_FALSE(boxsim::net::interface_state(*box).cable);
    EXPECT_EQ(act("dhcp", {"none"}), "");
    EXPECT_EQ(box->describe()["network"]["dhcp_server"], nullptr);
    EXPECT_EQ(act("dhcp", {"lease", "10.0.0.1"}), "");
    EXPECT_EQ(box->describe()["network"]["dhcp_server"], "10.0.0.1");
    EXPECT_EQ(act("dhcp", {"client", "busybox", "stderr", "foreground"}), "");
    EXPECT_EQ(box->describe()["network"]["dhcp_client"],
              json({{"words", "busybox"}, {"output", "stderr"}, {"background", false}}));
    EXPECT_EQ(act("dhcp", {"client", "none"}), "");
    EXPECT_EQ(box->describe()["network"]["dhcp_client"]["words"], "none");
}

TEST_F(SimNet, SnapshotShowsInterfaceAndFlashRecord)
{
    start();
    json st = box->describe();
    EXPECT_EQ(st["network"]["mac"], "02:1c:b4:10:00:01");
    EXPECT_EQ(st["network"]["operstate"], "up");
    EXPECT_EQ(st["network"]["up"], true);
    EXPECT_EQ(st["network"]["ip"], "");
    std::string rec = st["flash"]["mac_record"];
    EXPECT_EQ(rec.size(), 284u);
    EXPECT_TRUE(rec.starts_with("48574944000100080000a55a" "021cb4100001" "0000")) << rec;
    EXPECT_EQ(st["ports"]["hdmi"]["state"], 1);
}

} // namespace
} // namespace monitortest
