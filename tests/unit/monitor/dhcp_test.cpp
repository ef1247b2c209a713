// The DHCP step against canned client output: what it records, where it stops
// reading, what it echoes, and how it ends the client.
#include "monitor_fixture.h"

#include "monitor/dhcp.h"

#include "platform/os.h"

#include <algorithm>
#include <atomic>

namespace monitortest {
namespace {

const std::string kDiscover = "Sending discover...\n";
const std::string kLease = "Lease of 192.168.1.20 obtained, lease time 86400\n";
const std::string kUnplugged = "eth0 cable unplugged, powering down\n";

class DhcpStep : public MonitorTest {
protected:
    void run(std::vector<std::string> pieces)
    {
        if (!box)
            start();
        boxsim::net::dhcp_script(*box, std::move(pieces));
        g_status.eth_link = 1;
        dhcp_step();
    }

    // The client was started, its pipe closed and then any client killed, in
    // that order, each once (its output had ended); or, when the step
    // stopped reading first, killed and then closed.
    void expect_client_ended(bool output_ended = true)
    {
        EXPECT_EQ(box->trace().count("popen"), 1u);
        EXPECT_EQ(box->trace().count("pclose"), 1u);
        if (output_ended)
            expect_client_closed_then_killed();
        else
            expect_client_killed_then_closed();
        EXPECT_EQ(commands(), std::vector<std::string>{"killall -9 udhcpc"});
    }
};

TEST_F(DhcpStep, LeaseAfterTwoDiscoversIsRecordedAndEveryLineEchoed)
{
    run({kDiscover, kDiscover, "Sending select for 192.168.1.20...\n", kLease});
    EXPECT_EQ(g_status.dhcp_done, 1);
    EXPECT_EQ(ip(), "192.168.1.20");
    EXPECT_EQ(g_status.eth_link, 1);
    expect_client_ended();
    // puts adds a line end of its own to each line, ignored ones included.
    EXPECT_EQ(printed_lines(), (std::vector<std::string>{"Sending discover...", "", "Sending discover...", "",
                                                         "Sending select for 192.168.1.20...", "",
                                                         "Lease of 192.168.1.20 obtained, lease time 86400", ""}));
}

TEST_F(DhcpStep, FourthDiscoverGivesUpAndStopsReading)
{
    start();
    const unsigned char old[4] = {10, 0, 0, 9};
    for (int i = 0; i < 4; ++i)
        status_store_byte(&g_status.ip[i], old[i]);
    run({kDiscover, kDiscover, kDiscover, kDiscover, kLease});
    EXPECT_EQ(g_status.dhcp_done, 0);
    EXPECT_EQ(ip(), "10.0.0.9") << "the lease line after the fourth discover is never read";
    expect_client_ended(false);
    auto lines = printed_lines();
    EXPECT_EQ(lines.size(), 8u);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Sending discover..."), 4);
}

TEST_F(DhcpStep, UnpluggedLineDropsTheLinkAndStopsAtOnce)
{
    run({kDiscover, kUnplugged, kLease});
    EXPECT_EQ(g_status.eth_link, 0);
    EXPECT_EQ(g_status.dhcp_done, 0);
    EXPECT_EQ(ip(), "0.0.0.0");
    expect_client_ended(false);
    EXPECT_EQ(printed_lines().back(), "");
    EXPECT_EQ(printed_lines()[2], "eth0 cable unplugged, powering down");
    EXPECT_EQ(printed_lines().size(), 4u);
}

TEST_F(DhcpStep, DiscoversAfterALeaseTakeItBackButKeepTheAddress)
{
    run({kLease, kDiscover, kDiscover, kDiscover});
    EXPECT_EQ(g_status.dhcp_done, 1) << "three discovers are not yet a give-up";

    run({kLease, kDiscover, kDiscover, kDiscover, kDiscover});
    EXPECT_EQ(g_status.dhcp_done, 0);
    EXPECT_EQ(ip(), "192.168.1.20");
}

TEST_F(DhcpStep, LinesAreComparedWholeWithoutTheirLineEnd)
{
    // Near misses count as nothing; a last line without its line end still counts.
    run({"Sending discover... \n", "sending discover...\n", "Sending discover....\n", "eth0 cable unplugged\n",
         kDiscover, kDiscover, kDiscover, "Sending discover..."});
    EXPECT_EQ(g_status.dhcp_done, 0);
    EXPECT_EQ(g_status.eth_link, 1);
    EXPECT_EQ(printed_lines().size(), 15u);  // the last line has no line end of its own
}

TEST_F(DhcpStep, LongLinesArriveInPiecesOfAtMost254Characters)
{
    // The piece after 254 characters is a discover line in its own right.
    std::string padded = std::string(254, 'x') + kDiscover;
    run({kDiscover, kDiscover, kDiscover, padded, kLease});
    EXPECT_EQ(g_status.dhcp_done, 0);
    auto lines = printed_lines();
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[6], std::string(254, 'x'));
    EXPECT_EQ(lines[7], "Sending discover...");

    // 255 characters: the discover text no longer starts a piece.
    start();
    run({kDiscover, kDiscover, kDiscover, std::string(255, 'x') + kDiscover});
    EXPECT_EQ(box->trace().count("pclose"), 1u);
    auto lines2 = printed_lines();
    EXPECT_EQ(lines2.back(), "");
    EXPECT_EQ(lines2[lines2.size() - 2], "xSending discover...");
}

TEST_F(DhcpStep, LeaseLineForms)
{
    struct Case {
        std::string line;
        std::string ip;
    };
    const Case cases[] = {
        {"Lease of 10.1.2.3 obtained, lease time 600\n", "10.1.2.3"},
        // Low eight bits of each number; what does not parse keeps its byte.
        {"Lease of 300.1.2.259 obtained\n", "44.1.2.3"},
        {"Lease of 8.8.x.9 obtained\n", "8.8.7.7"},
        {"Lease of obtained\n", "7.7.7.7"},
        {"Lease of 99999999999999999999999.1.2.3 obtained\n", "255.1.2.3"},
        {"Lease of -1.2.3.4 obtained\n", "255.2.3.4"},
        // A prefix before the message does not hide the address.
        {"udhcpc: Lease of 172.16.0.5 obtained, lease time 3600\n", "172.16.0.5"},
    };
    for (const auto &c : cases) {
        start();
        for (int i = 0; i < 4; ++i)
            status_store_byte(&g_status.ip[i], 7);
        run({c.line});
        EXPECT_EQ(ip(), c.ip) << c.line;
        EXPECT_EQ(g_status.dhcp_done, 1) << c.line;
    }
    // "obtained" is needed as well.
    start();
    run({"Lease of 10.1.2.3 pending\n"});
    EXPECT_EQ(g_status.dhcp_done, 0);
    EXPECT_EQ(ip(), "0.0.0.0");
}

TEST_F(DhcpStep, GarbageOutputLeavesTheRecordSane)
{
    std::string binary;
    for (int i = 0; i < 600; ++i)
        binary += static_cast<char>((i * 37) & 0xff);
    run({binary, "\n", std::string(100 * 1024, 'L') + "Lease of 1.2.3.4 obtained\n",
         std::string("Lease of \0 1.2.3.4 obtained\n", 28), "Lease of 65536.65537.x obtained\n",
         "Lease of 192.168.1.77 obtained, lease time 86400\n"});
    EXPECT_EQ(g_status.dhcp_done, 1);
    EXPECT_EQ(ip(), "192.168.1.77");
    EXPECT_EQ(g_status.eth_link, 1);
    expect_client_ended();
    // The 100 KB line arrived as 254-character pieces, each echoed.
    auto lines = printed_lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string(254, 'L')), 403);
    for (const auto &l : lines)
        EXPECT_LE(l.size(), 254u);
}

// Clients as they may be on a box: whatever one does, the step returns
// within its reading time (the port monitor's other work waits for it), and
// no client is left running in the foreground.
TEST_F(DhcpStep, NoClientHoldsThePortMonitorForLongerThanAFewSeconds)
{
    using boxsim::net::ClientWords;
    struct Case {
        const char *what;
        ClientWords words;
        bool to_stderr, background, server;
        int done;
        const char *ip;
        const char *on_stderr;  // a line the client wrote on the system's standard error
    };
    const Case cases[] = {
        {"the box's client in the foreground after its lease", ClientWords::Box, false, false, true, 1, "192.168.1.20", nullptr},
        {"a silent client that never ends", ClientWords::None, false, false, true, 0, "0.0.0.0", nullptr},
        {"busybox on standard error, to the background after its lease", ClientWords::Busybox, true, true, true, 0,
         "0.0.0.0", "udhcpc: lease of 192.168.1.20 obtained from 192.168.1.1, lease time 86400"},
        {"busybox on standard output, in the foreground", ClientWords::Busybox, false, false, true, 0, "0.0.0.0", nullptr},
        {"the box's client without a server", ClientWords::Box, false, true, false, 0, "0.0.0.0", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        // A real client's timing: an offer after 300 ms, discovers 3 s apart,
        // 20 s between rounds.
        json p = fast_profile();
        p["network"]["dhcp"] = {{"lease", c.server ? json("192.168.1.20") : json(nullptr)}, {"answer_ms", 300}};
        start(p);
        boxsim::net::dhcp_client(*box, c.words, c.to_stderr, c.background);
        g_status.eth_link = 1;
        int64_t t0 = box->now_ms();
        std::atomic<bool> returned{false};
        std::thread step = boxsim::clock::spawn("step", [&] {
            dhcp_step();
            returned = true;
        });
        EXPECT_TRUE(boxtest::eventually([&] { return returned.load(); }, 6s));
        int64_t took = box->now_ms() - t0;
        if (!returned)
            os::system("killall -9 udhcpc");  // a step that waits on: end its client, so that it returns
        boxsim::clock::join(step);
        EXPECT_LE(took, 3100);
        EXPECT_EQ(g_status.dhcp_done, c.done);
        EXPECT_EQ(ip(), c.ip);
        EXPECT_EQ(boxsim::net::dhcp_clients(*box), 0) << "a client left running";
        EXPECT_EQ(box->trace().count("pclose"), 1u);
        if (c.on_stderr) {
            capture->drain();
            EXPECT_NE(boxtest::printed(*box, "stderr").find(c.on_stderr), std::string::npos);
        }
    }
}

} // namespace
} // namespace monitortest
