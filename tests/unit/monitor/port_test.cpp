// One pass of the port monitor against the simulated box: ports by board
// kind, HDMI, the interface's address, link and speed, MAC requests, and
// when the DHCP step runs.
#include "monitor_fixture.h"

#include "monitor/macprog.h"
#include "platform/os.h"

#include <cstring>

namespace monitortest {
namespace {

class PortCycle : public MonitorTest {
protected:
    // A box with the cable out, so that no DHCP step runs in these passes.
    void start_unplugged(ModelKind kind)
    {
        json p = fast_profile();
        p["network"]["cable"] = false;
        start(p, kind);
    }

    std::vector<int> usb() const { return {g_status.usb[0], g_status.usb[1], g_status.usb[2], g_status.usb[3]}; }
    std::vector<int> sata() const { return {g_status.sata[0], g_status.sata[1]}; }
};

TEST_F(PortCycle, PortPresenceFollowsTheBoardKind)
{
    struct Case {
        ModelKind kind;
        std::vector<int> usb;
        std::vector<int> sata;
    };
    // Present: hub ports 1-1 and 2-2, buses 3 and 6 (port 1), SCSI host 0.
    // Hub kinds see ports 1 and 2; kind 4 sees buses 1 (none), 2 via its
    // companion 6, and 3; kind 2 looks at nothing; SATA only on 4 and 6 to 8.
    const Case cases[] = {
        {2, {0, 0, 0, 0}, {0, 0}}, {3, {0, 1, 1, 0}, {0, 0}}, {5, {0, 1, 1, 0}, {0, 0}},
        {4, {1, 1, 1, 0}, {1, 0}}, {6, {0, 1, 1, 0}, {1, 0}}, {7, {0, 1, 1, 0}, {1, 0}},
        {8, {0, 1, 1, 0}, {1, 0}}, {9, {0, 0, 0, 0}, {0, 0}},
    };
    for (const auto &c : cases) {
        start_unplugged(c.kind);
        for (const char *d : {"1-1", "2-2", "3-1", "6-1"})
            box->add_dir(std::string("/sys/bus/usb/devices/") + d);
        box->add_dir("/sys/bus/scsi/devices/0:0:0:0");
        port_cycle();
        EXPECT_EQ(usb(), c.usb) << "kind " << c.kind;
        EXPECT_EQ(sata(), c.sata) << "kind " << c.kind;
    }
}

TEST_F(PortCycle, WordsNotTestedKeepTheirValues)
{
    start_unplugged(3);
    g_status.sata[0] = 1;  // kind 3 has no SATA: the monitor must leave the word alone
    g_status.usb[3] = 1;   // tested on kind 3 and absent: cleared
    port_cycle();
    EXPECT_EQ(sata(), (std::vector<int>{1, 0}));
    EXPECT_EQ(g_status.usb[3], 0);

    start_unplugged(2);
    g_status.usb[1] = 1;
    box->add_dir("/sys/bus/usb/devices/1-1");
    port_cycle();
    EXPECT_EQ(usb(), (std::vector<int>{0, 1, 0, 0}));
}

TEST_F(PortCycle, DevicesComeAndGoWithTheSimulatedPorts)
{
    json p = fast_profile();
    p["network"]["cable"] = false;
    p["usb"] = json::parse(R"({"ports": {"1": "1-1", "2": "2-1", "3": "3-1", "4": "4-1"}, "attached": [2]})");
    p["sata"] = json::parse(R"({"hosts": 2, "attached": [0]})");
    start(p, 4);
    port_cycle();
    EXPECT_EQ(usb(), (std::vector<int>{0, 1, 0, 0}));
    EXPECT_EQ(sata(), (std::vector<int>{1, 0}));

    EXPECT_TRUE(boxsim::net::usb(*box, 4, true));
    EXPECT_TRUE(boxsim::net::usb(*box, 2, false));
    EXPECT_TRUE(boxsim::net::sata(*box, 1, true));
    EXPECT_TRUE(boxsim::net::sata(*box, 0, false));
    port_cycle();
    EXPECT_EQ(usb(), (std::vector<int>{0, 0, 0, 1}));
    EXPECT_EQ(sata(), (std::vector<int>{0, 1}));
}

TEST_F(PortCycle, HdmiWordMissingDriverAndFailingRequest)
{
    start_unplugged(3);
    boxsim::net::hdmi_word(*box, 0x1234);
    port_cycle();
    EXPECT_EQ(g_status.hdmi, 0x1234);

    boxsim::net::hdmi_absent(*box);
    port_cycle();
    EXPECT_EQ(g_status.hdmi, 0x1234) << "a missing driver keeps the last value";

    boxsim::net::hdmi_fail(*box);
    port_cycle();
    EXPECT_EQ(g_status.hdmi, 0);

    // Each pass opens and closes the driver again.
    EXPECT_EQ(box->trace().count("open", "/dev/hdmi_cec"), 3u);
    EXPECT_EQ(box->trace().count("close", "/dev/hdmi_cec"), 2u);
}

// The interface's operstate and speed files as the kernel may write them:
// each file's text against the word the monitor takes from it.
TEST_F(PortCycle, LinkStateAndSpeedTexts)
{
    start_unplugged(3);
    g_status.dhcp_done = 1;
    struct Case {
        const char *file, *text;
        int want;
        const char *carrier = nullptr;  // the carrier file's text; null: none
    };
    // "unknown": a driver that reports no link state; its carrier tells.
    const Case cases[] = {
        {"operstate", "up\n", 1},  {"operstate", "down\n", 0}, {"operstate", "dormant\n", 0, "1\n"},
        {"operstate", "", 0},      {"operstate", "  up", 1},    {"operstate", "unknown\n", 1, "1\n"},
        {"operstate", "unknown\n", 0, "0\n"}, {"operstate", "unknown\n", 0}, {"operstate", "unknown\n", 0, ""},
        {"operstate", "lowerlayerdown\n", 0, "1\n"}, {"speed", "10000\n", 1000},
        {"speed", "1000\n", 1000}, {"speed", "100\n", 100},     {"speed", "10\n", 10},
        {"speed", "", 0},          {"speed", "-1\n", 0},       {"speed", "2500\n", 0},
    };
    for (const Case &c : cases) {
        const bool link = std::string(c.file) == "operstate";
        box->remove("/sys/class/net/eth0/carrier");
        if (c.carrier)
            box->add_file("/sys/class/net/eth0/carrier", c.carrier);
        box->add_file(std::string("/sys/class/net/eth0/") + c.file, c.text);
        port_cycle();
        EXPECT_EQ(link ? g_status.eth_link.load() : g_status.eth_speed.load(), c.want)
            << c.file << " \"" << c.text << '"';
    }
    box->remove("/sys/class/net/eth0/operstate");
    port_cycle();
    EXPECT_EQ(g_status.eth_link, 0);
    EXPECT_EQ(text(g_status.operstate_text), "");
}

TEST_F(PortCycle, LinkAndSpeedFollowTheCableAndTheInterface)
{
    start_unplugged(3);
    g_status.dhcp_done = 1;
    port_cycle();
    EXPECT_EQ(g_status.eth_link, 0);
    EXPECT_EQ(g_status.eth_speed, 0);

    boxsim::net::cable_plug(*box, 100);
    port_cycle();
    EXPECT_EQ(g_status.eth_link, 1);
    EXPECT_EQ(g_status.eth_speed, 100);
    EXPECT_EQ(text(g_status.speed_text), "100");

    // A downed interface reports no speed at all (the read fails).
    EXPECT_EQ(os::system("ifconfig eth0 down"), 0);
    port_cycle();
    EXPECT_EQ(g_status.eth_link, 0);
    EXPECT_EQ(g_status.eth_speed, 0);
    EXPECT_EQ(text(g_status.speed_text), "");
}

TEST_F(PortCycle, MacTextIsTheInterfaceAddressUpperCased)
{
    start_unplugged(3);
    port_cycle();
    EXPECT_EQ(text(g_status.mac_text), "02:1C:B4:10:00:01");

    box->remove("/sys/class/net/eth0/address");
    port_cycle();
    EXPECT_EQ(text(g_status.mac_text), "");

    // A word longer than the field is cut, never written past it.
    box->add_file("/sys/class/net/eth0/address", std::string(1000, 'a') + "\n");
    port_cycle();
    EXPECT_EQ(text(g_status.mac_text), std::string(255, 'A'));
}

void set_entry(const unsigned char entry[6], const unsigned char confirm[6])
{
    for (int i = 0; i < 6; ++i) {
        status_store_byte(&g_status.mac_entry[i], entry[i]);
        status_store_byte(&g_status.mac_confirm[i], confirm[i]);
    }
}

TEST_F(PortCycle, IncompleteMacRequestsStayPending)
{
    start_unplugged(3);
    auto before = boxsim::net::flash_record(*box);
    const unsigned char zero_start[6] = {0, 0, 0, 0xAA, 0xBB, 0xCC};
    const unsigned char good[6] = {0x00, 0x11, 0x22, 0xAA, 0xBB, 0xCC};
    const unsigned char other[6] = {0x00, 0x11, 0x22, 0xAA, 0xBB, 0xCD};

    set_entry(zero_start, zero_start);
    g_status.mac_request = 1;
    port_cycle();
    port_cycle();
    EXPECT_EQ(g_status.mac_request, 1);

    set_entry(good, other);
    port_cycle();
    EXPECT_EQ(g_status.mac_request, 1);

    EXPECT_TRUE(commands().empty());
    EXPECT_EQ(box->trace().count("open", "/dev/mtdblock3"), 0u);
    EXPECT_EQ(boxsim::net::flash_record(*box), before);
}

TEST_F(PortCycle, ConfirmedMacRequestIsProgrammedOnceAndCleared)
{
    start_unplugged(3);
    // One non-zero byte among the first three is enough.
    const unsigned char addr[6] = {0x00, 0x00, 0x01, 0x0A, 0x0B, 0x0C};
    set_entry(addr, addr);
    g_status.mac_request = 1;
    port_cycle();
    EXPECT_EQ(g_status.mac_request, 0);
    EXPECT_EQ(boxsim::net::flash_record_mac(*box), "00:00:01:0a:0b:0c");
    EXPECT_EQ(commands().size(), 3u);

    // The interface now carries the address, and nothing is programmed again.
    port_cycle();
    EXPECT_EQ(text(g_status.mac_text), "00:00:01:0A:0B:0C");
    EXPECT_EQ(commands().size(), 3u);
}

TEST_F(PortCycle, DhcpStepRunsOnlyWithTheLinkUpAndNoLease)
{
    start(fast_profile(), 3);
    g_status.dhcp_done = 1;
    port_cycle();
    port_cycle();
    EXPECT_EQ(g_status.eth_link, 1);
    EXPECT_EQ(box->trace().count("popen"), 0u);

    // Even a pulled and replugged cable starts no step while the lease stands.
    boxsim::net::cable_unplug(*box);
    port_cycle();
    boxsim::net::cable_plug(*box, 1000);
    port_cycle();
    EXPECT_EQ(box->trace().count("popen"), 0u);

    g_status.dhcp_done = 0;
    boxsim::net::cable_unplug(*box);
    port_cycle();
    EXPECT_EQ(box->trace().count("popen"), 0u) << "no step while the link is down";

    boxsim::net::cable_plug(*box, 1000);
    port_cycle();
    EXPECT_EQ(box->trace().count("popen"), 1u);
    EXPECT_EQ(g_status.dhcp_done, 1);
    EXPECT_EQ(ip(), "192.168.1.20");
}

} // namespace
} // namespace monitortest
