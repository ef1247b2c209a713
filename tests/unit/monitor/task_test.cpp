// The port monitor task running on the simulated box as it runs on the box:
// the cable and DHCP server as a person would have them, and what the
// monitor records and leaves behind.
#include "monitor_fixture.h"

namespace monitortest {
namespace {

class PortTask : public MonitorTest {};

TEST_F(PortTask, LeaseFromTheServerReachesTheRecordWithinASecond)
{
    json p = fast_profile();
    p["network"]["dhcp"]["answer_ms"] = 300;
    start(p);
    run_task();

    ASSERT_TRUE(box->trace().wait_for(
        [](const json &e) { return e["op"] == "stdout" && e.value("text", "").starts_with("Lease of 192.168.1.20"); },
        10s));
    EXPECT_TRUE(boxtest::eventually([&] { return g_status.dhcp_done == 1 && ip() == "192.168.1.20"; }, 1s));
    EXPECT_EQ(g_status.eth_link, 1);
    EXPECT_EQ(g_status.eth_speed, 1000);

    // popen, pclose, then the background client killed; the client's lines
    // echoed in their order (the capture records them on a thread of its own,
    // so their place among the calls is not fixed).
    ASSERT_TRUE(box->trace().wait_for([](const json &e) { return e["op"] == "system"; }, 2s));
    expect_client_closed_then_killed();
    auto lines = printed_lines();
    EXPECT_EQ(lines, (std::vector<std::string>{"Sending discover...", "", "Sending select for 192.168.1.20...", "",
                                               "Lease of 192.168.1.20 obtained, lease time 86400", ""}));
    EXPECT_EQ(box->trace().find("system")[0]["status"], 0) << "the client in the background was there to kill";
    EXPECT_EQ(boxsim::net::dhcp_clients(*box), 0);
    EXPECT_EQ(boxsim::net::interface_state(*box).ip, "192.168.1.20");

    // The lease stands: a pulled cable shows as link down, and no new client
    // runs when it is back.
    boxsim::net::cable_unplug(*box);
    EXPECT_TRUE(boxtest::eventually([] { return g_status.eth_link == 0; }, 3s));
    boxsim::net::cable_plug(*box, 100);
    EXPECT_TRUE(boxtest::eventually([] { return g_status.eth_link == 1 && g_status.eth_speed == 100; }, 3s));
    EXPECT_EQ(box->trace().count("popen"), 1u);
    EXPECT_EQ(g_status.dhcp_done, 1);
}

TEST_F(PortTask, RetriesUntilAServerAnswers)
{
    json p = fast_profile();
    p["network"]["dhcp"]["lease"] = nullptr;
    start(p);
    run_task();

    // The first step gives up on its fourth discover and ends the client,
    // which still waits for an offer, before it closes the pipe.
    ASSERT_TRUE(box->trace().wait_for([](const json &e) { return e["op"] == "pclose"; }, 5s));
    EXPECT_EQ(g_status.dhcp_done, 0);
    EXPECT_EQ(box->trace().find("system")[0]["status"], 0) << "the client was there to kill";
    EXPECT_EQ(box->trace().find("pclose")[0]["signal"], "SIGKILL");
    EXPECT_EQ(box->trace().count("stdout"), 8u) << "four discover lines, each with puts' own line end";
    EXPECT_EQ(boxsim::net::dhcp_clients(*box), 0);

    boxsim::net::dhcp_lease(*box, "10.1.2.3");
    EXPECT_TRUE(boxtest::eventually([&] { return g_status.dhcp_done == 1 && ip() == "10.1.2.3"; }, 5s));
    EXPECT_GE(box->trace().count("popen"), 2u);
}

TEST_F(PortTask, CablePulledWhileTheClientWaits)
{
    json p = fast_profile();
    p["network"]["dhcp"]["lease"] = nullptr;
    p["network"]["dhcp"]["discover_timeout_ms"] = 30000;
    start(p);
    run_task();
    ASSERT_TRUE(box->trace().wait_for(
        [](const json &e) { return e["op"] == "stdout" && e["text"] == "Sending discover..."; }, 5s));
    EXPECT_EQ(g_status.eth_link, 1);
    auto t0 = box->now_ms();

    // The client does not watch the cable: it waits on for its offer. The
    // step ends it once its reading time is up; the next cycle reads the
    // link down.
    boxsim::net::cable_unplug(*box);
    ASSERT_TRUE(box->trace().wait_for([](const json &e) { return e["op"] == "pclose"; }, 5s));
    EXPECT_LE(box->now_ms() - t0, 3100);
    EXPECT_EQ(box->trace().find("pclose")[0]["signal"], "SIGKILL");
    EXPECT_TRUE(boxtest::eventually([] { return g_status.eth_link == 0; }, 2s));
    EXPECT_EQ(g_status.dhcp_done, 0);
    EXPECT_EQ(boxsim::net::dhcp_clients(*box), 0);

    // While the cable is out no client runs; once it is back and a server
    // answers, the address comes.
    auto cycles = [&] { return box->trace().count("open", "/sys/class/net/eth0/operstate"); };
    size_t seen = cycles();
    ASSERT_TRUE(boxtest::eventually([&] { return cycles() >= seen + 2; }, 5s));
    EXPECT_EQ(g_status.eth_link, 0);
    EXPECT_EQ(box->trace().count("popen"), 1u);
    boxsim::net::dhcp_lease(*box, "192.168.7.9");
    boxsim::net::cable_plug(*box, 1000);
    EXPECT_TRUE(boxtest::eventually([&] { return g_status.dhcp_done == 1 && ip() == "192.168.7.9"; }, 5s));
}

TEST_F(PortTask, KeepsWatchingAfterGarbageFromTheClient)
{
    start();
    std::string binary;
    for (int i = 0; i < 4096; ++i)
        binary += static_cast<char>((i * 131 + 7) & 0xff);
    boxsim::net::dhcp_script(*box,
                             {binary, std::string(100 * 1024, '9') + "\n", "Lease of 999.-5..7 obtained\n",
                              "Lease of 1.2.3.4.5.6 obtained\n", std::string(300, '\0') + "\n"},
                             5);
    run_task();
    ASSERT_TRUE(box->trace().wait_for([](const json &e) { return e["op"] == "system"; }, 10s));
    EXPECT_EQ(g_status.dhcp_done, 1);
    EXPECT_EQ(ip(), "1.2.3.4");
    char mac[256];
    status_copy_text(mac, sizeof mac, g_status.mac_text, sizeof g_status.mac_text);
    EXPECT_STREQ(mac, "02:1C:B4:10:00:01");

    // Still running: a USB stick plugged in now is seen.
    boxsim::net::usb(*box, 2, true);
    EXPECT_TRUE(boxtest::eventually([] { return g_status.usb[2] == 1; }, 3s));
}

TEST_F(PortTask, EnteredAddressIsProgrammedWhileTheLinkStands)
{
    start();
    run_task();
    ASSERT_TRUE(boxtest::eventually([] { return g_status.dhcp_done == 1; }, 5s));
    const unsigned char addr[6] = {0x02, 0xAB, 0xCD, 0x00, 0x00, 0x42};
    for (int i = 0; i < 6; ++i) {
        status_store_byte(&g_status.mac_entry[i], addr[i]);
        status_store_byte(&g_status.mac_confirm[i], addr[i]);
    }
    g_status.mac_request = 1;
    EXPECT_TRUE(boxtest::eventually([&] { return g_status.mac_request == 0; }, 3s));
    EXPECT_TRUE(boxtest::eventually([&] { return text(g_status.mac_text) == "02:AB:CD:00:00:42"; }, 3s));
    EXPECT_EQ(boxsim::net::flash_record_mac(*box), "02:ab:cd:00:00:42");
    EXPECT_TRUE(boxtest::eventually([] { return g_status.eth_link == 1; }, 3s));
    EXPECT_EQ(g_status.dhcp_done, 1);
}

} // namespace
} // namespace monitortest
