// The simulated box's Ethernet: eth0 with its cable and link as sysfs shows
// them, `ifconfig`, and the DHCP client `udhcpc` talking to a DHCP server
// that answers with an address, or does not.
#include "core/box.h"
#include "devices/net.h"
#include "core/shell.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace boxsim {

namespace {

using Clock = BoxSteadyClock;

struct NetState {
    std::mutex m;
    bool cable = true;
    int speed = 1000;
    bool up = true;
    int autoneg_ms = 1500;
    Clock::time_point carrier_at{};  // negotiation done from then on
    unsigned char mac[6] = {0x00, 0x1e, 0xa0, 0x00, 0x00, 0x01};
    bool has_ip = false;
    unsigned char ip[4] = {};

    // The DHCP server on the wire.
    bool server = true;
    unsigned char lease[4] = {192, 168, 1, 20};
    long lease_time = 86400;
    int answer_ms = 300;
    int discover_timeout_ms = 3000;
    int retries = 3;
    int retry_pause_ms = 20000;

    // Canned client output for tests.
    bool scripted = false;
    std::vector<std::string> script;
    int script_interval_ms = 0;

    // The DHCP client the box has: its words, where it writes them, and
    // whether it goes to the background once it holds a lease.
    net::ClientWords words = net::ClientWords::Box;
    bool to_stderr = false;
    bool background = true;

    // What the driver tells the kernel about the link (operstate).
    net::LinkReport report = net::LinkReport::Carrier;

    int foreground_clients = 0;
    // Clients gone to the background (the shell's process table holds them).
    std::vector<std::weak_ptr<ShellIo>> daemons;

    // The wire: cable in, interface up, negotiation done. Frames pass.
    bool wire() const { return cable && up && Clock::now() >= carrier_at; }
    // The carrier as the driver reports it: one that never reports it
    // leaves the kernel's "carrier on" from the start.
    bool carrier() const { return report == net::LinkReport::None ? up : wire(); }
    // RFC 2863 state as the kernel derives it (Documentation/networking/operstates).
    std::string operstate() const
    {
        if (!up)
            return "down";
        switch (report) {
        case net::LinkReport::None: return "unknown";
        case net::LinkReport::Dormant: return wire() ? "dormant" : "down";
        default: return wire() ? "up" : "down";
        }
    }
    // A server on the wire hears the client: the link must pass frames (a
    // port waiting for 802.1X does not).
    bool reachable() const { return wire() && report != net::LinkReport::Dormant; }
};

NetState &state(Box &box) { return box.part<NetState>(); }

std::string ip_text(const unsigned char ip[4])
{
    char buf[20];
    snprintf(buf, sizeof buf, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    return buf;
}

// A sysfs attribute of the interface: made afresh at every open; a read fails
// with the error the driver gives (EINVAL for the speed of a downed device).
class NetAttr : public Node {
public:
    using Gen = std::function<int(std::string &)>;  // 0 or a negative errno
    explicit NetAttr(Gen gen) : gen_(std::move(gen)) {}
    mode_t kind() const override { return S_IFREG; }
    off_t size() const override { return 4096; }
    int open(OpenFile &of) override
    {
        if ((of.flags & O_ACCMODE) != O_RDONLY)
            return -EACCES;
        int err = gen_(of.snapshot);
        if (err < 0)
            of.state = std::make_shared<int>(err);
        return 0;
    }
    ssize_t read(OpenFile &of, void *buf, size_t len) override
    {
        if (of.state)
            return *std::static_pointer_cast<int>(of.state);
        if (of.offset >= static_cast<off_t>(of.snapshot.size()))
            return 0;
        size_t n = std::min(len, of.snapshot.size() - static_cast<size_t>(of.offset));
        memcpy(buf, of.snapshot.data() + of.offset, n);
        of.offset += static_cast<off_t>(n);
        return static_cast<ssize_t>(n);
    }

private:
    Gen gen_;
};

void add_attr(Box &box, const char *name, NetAttr::Gen gen)
{
    box.add_node(std::string("/sys/class/net/eth0/") + name, std::make_shared<NetAttr>(std::move(gen)));
}

// ---------------------------------------------------------------------------
// ifconfig: shows eth0, takes it up and down, changes its address.

std::string ifconfig_text(NetState &n)
{
    std::string hw = net::mac_text(n.mac);
    for (char &c : hw)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    std::string out = "eth0      Link encap:Ethernet  HWaddr " + hw + "\n";
    if (n.has_ip)
        out += "          inet addr:" + ip_text(n.ip) + "  Bcast:" + std::to_string(n.ip[0]) + "." +
               std::to_string(n.ip[1]) + "." + std::to_string(n.ip[2]) + ".255  Mask:255.255.255.0\n";
    out += "          ";
    if (n.up)
        out += "UP BROADCAST ";
    if (n.up && n.carrier())
        out += "RUNNING ";
    out += "MULTICAST  MTU:1500  Metric:1\n\n";
    return out;
}

int cmd_ifconfig(Box &box, ShellIo &io, const std::vector<std::string> &argv)
{
    auto &n = state(box);
    if (argv.size() > 1 && argv[1] != "eth0") {
        io.err("ifconfig: " + argv[1] + ": error fetching interface information: Device not found\n");
        return 1;
    }
    if (argv.size() <= 2) {
        std::string text;
        {
            std::lock_guard<std::mutex> g(n.m);
            text = ifconfig_text(n);
        }
        io.out(text);
        return 0;
    }
    int status = 0;
    for (size_t i = 2; i < argv.size(); ++i) {
        const std::string &w = argv[i];
        std::unique_lock<std::mutex> g(n.m);
        if (w == "up") {
            if (!n.up) {
                n.up = true;
                n.carrier_at = Clock::now() + std::chrono::milliseconds(n.autoneg_ms);
            }
        } else if (w == "down") {
            n.up = false;
        } else if (w == "hw" && i + 2 < argv.size() && argv[i + 1] == "ether") {
            unsigned char mac[6];
            const std::string &text = argv[i + 2];
            i += 2;
            if (!net::parse_mac(text, mac)) {
                g.unlock();
                io.err("ifconfig: invalid hw-addr " + text + "\n");
                return 1;
            }
            // The driver takes a new address only while the device is down.
            if (n.up) {
                g.unlock();
                io.err("ifconfig: SIOCSIFHWADDR: Device or resource busy\n");
                status = 1;
                continue;
            }
            memcpy(n.mac, mac, 6);
        } else if (w == "netmask" && i + 1 < argv.size()) {
            ++i;
        } else if (unsigned char ip[4]; net::parse_ipv4(w, ip)) {
            memcpy(n.ip, ip, 4);
            n.has_ip = true;
        } else {
            g.unlock();
            io.err("ifconfig: bad option '" + w + "'\n");
            return 1;
        }
    }
    box.changed();
    return status;
}

// ---------------------------------------------------------------------------
// udhcpc: the DHCP client. In the foreground it prints its progress; once it
// holds a lease it configures eth0 and goes to the background, which ends its
// output (or, told to stay in the foreground, holds its output open and
// renews at half the lease time). Without a server it keeps trying: a round
// of discovers a few seconds apart, then a long pause. Like a real client it
// does not watch the cable while it waits; the box's own client looks at the
// link before each discover and gives up when there is none. Its words are
// the box client's, busybox's, or none, on standard output or standard
// error. A write after its reader has gone ends it (SIGPIPE), as does a kill.

// A client in the background: its output goes nowhere; it holds the lease
// until it is killed.
class DaemonIo : public ShellIo {
public:
    bool out(std::string_view) override { return !ended(); }
    bool err(std::string_view) override { return !ended(); }
};

struct ClientCount {
    NetState &n;
    explicit ClientCount(NetState &s) : n(s)
    {
        std::lock_guard<std::mutex> g(n.m);
        ++n.foreground_clients;
    }
    ~ClientCount()
    {
        std::lock_guard<std::mutex> g(n.m);
        --n.foreground_clients;
    }
};

int run_script(Box &box, ShellIo &io, const std::vector<std::string> &pieces, int interval_ms)
{
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0 && interval_ms > 0 && !io.sleep_ms(interval_ms))
            return 1;
        if (!io.out(pieces[i]))
            return 1;
    }
    (void)box;
    return 0;
}

// What the client says at each step, in its words.
struct ClientText {
    net::ClientWords words;
    std::string discover() const
    {
        return words == net::ClientWords::Box ? "Sending discover...\n" : "udhcpc: broadcasting discover\n";
    }
    std::string select(const std::string &addr, const std::string &server) const
    {
        return words == net::ClientWords::Box ? "Sending select for " + addr + "...\n"
                                              : "udhcpc: broadcasting select for " + addr + ", server " + server + "\n";
    }
    std::string lease(const std::string &addr, const std::string &server, long lease_time) const
    {
        return words == net::ClientWords::Box
                   ? "Lease of " + addr + " obtained, lease time " + std::to_string(lease_time) + "\n"
                   : "udhcpc: lease of " + addr + " obtained from " + server + ", lease time " +
                         std::to_string(lease_time) + "\n";
    }
    std::string renew(const std::string &server) const
    {
        return words == net::ClientWords::Box ? "Sending renew...\n" : "udhcpc: sending renew to server " + server + "\n";
    }
};

int cmd_udhcpc(Box &box, ShellIo &io, const std::vector<std::string> &)
{
    auto &n = state(box);
    ClientCount count(n);
    net::ClientWords words;
    bool to_stderr, background;
    {
        std::unique_lock<std::mutex> g(n.m);
        if (n.scripted) {
            auto pieces = n.script;
            int interval = n.script_interval_ms;
            g.unlock();
            return run_script(box, io, pieces, interval);
        }
        words = n.words;
        to_stderr = n.to_stderr;
        background = n.background;
    }
    const ClientText text{words};
    // One message; false once the client is ended (killed, or its standard
    // output has no reader left).
    auto say = [&](const std::string &line) {
        if (words == net::ClientWords::None)
            return !io.ended();
        return (to_stderr ? io.err(line) : io.out(line)) && !io.ended();
    };
    // Waits until `t`; true when the wait was cut short (the client was ended).
    auto wait_until = [&](Clock::time_point t) {
        return box.wait_change([&] { return io.ended() || box.stopping(); }, Clock::ns(t), "udhcpc");
    };

    if (words == net::ClientWords::Busybox && !say("udhcpc: started, v1.35.0\n"))
        return 1;
    int sent = 0;
    for (;;) {
        if (io.ended() || box.stopping())
            return 1;
        if (words == net::ClientWords::Box) {
            bool link;
            {
                std::lock_guard<std::mutex> g(n.m);
                link = n.carrier();
            }
            if (!link) {
                say("eth0 cable unplugged, powering down\n");
                return 1;
            }
        }
        if (!say(text.discover()))
            return 1;
        ++sent;

        int answer_ms, timeout_ms, pause_ms, retries;
        bool answers;
        {
            std::lock_guard<std::mutex> g(n.m);
            answers = n.server && n.reachable();
            answer_ms = n.answer_ms;
            timeout_ms = n.discover_timeout_ms;
            pause_ms = n.retry_pause_ms;
            retries = n.retries;
        }
        auto sent_at = Clock::now();
        if (answers) {
            if (wait_until(sent_at + std::chrono::milliseconds(answer_ms)))
                continue;
            unsigned char lease[4];
            long lease_time;
            {
                std::lock_guard<std::mutex> g(n.m);
                answers = n.server && n.reachable();
                memcpy(lease, n.lease, 4);
                lease_time = n.lease_time;
            }
            if (answers) {
                std::string addr = ip_text(lease);
                const unsigned char srv[4] = {lease[0], lease[1], lease[2], 1};
                std::string server = ip_text(srv);
                if (!say(text.select(addr, server)))
                    return 1;
                if (wait_until(Clock::now() + std::chrono::milliseconds(answer_ms / 4 + 1)))
                    continue;
                if (!say(text.lease(addr, server, lease_time)))
                    return 1;
                {
                    std::lock_guard<std::mutex> g(n.m);
                    memcpy(n.ip, lease, 4);
                    n.has_ip = true;
                }
                box.trace().record({{"op", "net"}, {"what", "lease"}, {"ip", addr}, {"lease_time", lease_time}});
                box.changed();
                if (background) {
                    // To the background: the foreground command returns,
                    // which ends its output; the daemon lives on until killed.
                    auto daemon = std::make_shared<DaemonIo>();
                    {
                        std::lock_guard<std::mutex> g(n.m);
                        std::erase_if(n.daemons, [](const std::weak_ptr<ShellIo> &d) {
                            auto p = d.lock();
                            return !p || p->ended();
                        });
                        n.daemons.push_back(daemon);
                    }
                    add_process(box, "udhcpc", daemon);
                    return 0;
                }
                // In the foreground it holds its output open and renews.
                auto renew_after = std::chrono::seconds(std::max(1L, lease_time / 2));
                for (;;) {
                    if (wait_until(Clock::now() + renew_after))
                        return 1;
                    if (!say(text.renew(server)))
                        return 1;
                }
            }
        }
        if (wait_until(sent_at + std::chrono::milliseconds(timeout_ms)))
            continue;
        if (sent >= retries) {
            sent = 0;
            if (wait_until(Clock::now() + std::chrono::milliseconds(pause_ms)))
                continue;
        }
    }
}

// ---------------------------------------------------------------------------
// Profile, snapshot, actions.

std::optional<net::ClientWords> words_of(const std::string &w)
{
    if (w == "box")
        return net::ClientWords::Box;
    if (w == "busybox")
        return net::ClientWords::Busybox;
    if (w == "none")
        return net::ClientWords::None;
    return std::nullopt;
}

const char *words_name(net::ClientWords w)
{
    return w == net::ClientWords::Box ? "box" : w == net::ClientWords::Busybox ? "busybox" : "none";
}

std::optional<net::LinkReport> report_of(const std::string &w)
{
    if (w == "carrier")
        return net::LinkReport::Carrier;
    if (w == "unknown")
        return net::LinkReport::None;
    if (w == "dormant")
        return net::LinkReport::Dormant;
    return std::nullopt;
}

void install_net(Box &box, const json &profile)
{
    auto &n = state(box);
    json cfg = profile.is_object() && profile.contains("network") && profile["network"].is_object()
                   ? profile["network"]
                   : json::object();
    json dhcp = cfg.contains("dhcp") && cfg["dhcp"].is_object() ? cfg["dhcp"] : json::object();
    std::string flash_mac = net::flash_record_mac(box);
    {
        std::lock_guard<std::mutex> g(n.m);
        n.cable = cfg.value("cable", true);
        n.speed = cfg.value("speed", 1000);
        n.up = cfg.value("up", true);
        n.autoneg_ms = std::clamp(cfg.value("autoneg_ms", 1500), 0, 60000);
        n.carrier_at = Clock::now();  // the link is negotiated by the time the system starts
        unsigned char mac[6];
        // The boot software takes the address from the flash record when it
        // is valid; otherwise the board's default address stays.
        if (!flash_mac.empty() && net::parse_mac(flash_mac, mac))
            memcpy(n.mac, mac, 6);
        else if (cfg.contains("mac") && cfg["mac"].is_string() && net::parse_mac(cfg["mac"].get<std::string>(), mac))
            memcpy(n.mac, mac, 6);

        if (dhcp.contains("lease")) {
            unsigned char ip[4];
            n.server = dhcp["lease"].is_string() && net::parse_ipv4(dhcp["lease"].get<std::string>(), ip);
            if (n.server)
                memcpy(n.lease, ip, 4);
        }
        n.lease_time = dhcp.value("lease_time", 86400L);
        n.answer_ms = std::clamp(dhcp.value("answer_ms", 300), 0, 60000);
        n.discover_timeout_ms = std::clamp(dhcp.value("discover_timeout_ms", 3000), 1, 600000);
        n.retries = std::clamp(dhcp.value("retries", 3), 1, 100);
        n.retry_pause_ms = std::clamp(dhcp.value("retry_pause_ms", 20000), 0, 600000);
        if (dhcp.contains("client") && dhcp["client"].is_object()) {
            const json &c = dhcp["client"];
            n.words = words_of(c.value("words", std::string("box"))).value_or(net::ClientWords::Box);
            n.to_stderr = c.value("output", std::string("stdout")) == "stderr";
            n.background = c.value("background", true);
        }
        n.report = report_of(cfg.value("operstate", std::string("carrier"))).value_or(net::LinkReport::Carrier);
    }

    box.add_dir("/sys/class/net/eth0");
    add_attr(box, "address", [&n](std::string &out) {
        std::lock_guard<std::mutex> g(n.m);
        out = net::mac_text(n.mac) + "\n";
        return 0;
    });
    add_attr(box, "operstate", [&n](std::string &out) {
        std::lock_guard<std::mutex> g(n.m);
        out = n.operstate() + "\n";
        return 0;
    });
    add_attr(box, "carrier", [&n](std::string &out) {
        std::lock_guard<std::mutex> g(n.m);
        if (!n.up)
            return -EINVAL;
        out = n.carrier() ? "1\n" : "0\n";
        return 0;
    });
    add_attr(box, "speed", [&n](std::string &out) {
        std::lock_guard<std::mutex> g(n.m);
        if (!n.up)
            return -EINVAL;
        out = n.wire() ? std::to_string(n.speed) + "\n" : "-1\n";
        return 0;
    });
}

// The keys of the network's driver and DHCP client that take words, looked
// at before a box is made: a word the model does not know refuses the
// profile.
std::string check_net(const json &profile)
{
    if (!profile.is_object() || !profile.contains("network"))
        return "";
    const json &cfg = profile["network"];
    if (!cfg.is_object())
        return "network: not an object";
    std::string bad;
    auto word = [&](const json &obj, const char *key, std::initializer_list<const char *> known) {
        if (!obj.is_object() || !obj.contains(key))
            return;
        const json &v = obj[key];
        bool ok = v.is_string() && std::any_of(known.begin(), known.end(), [&](const char *k) { return v == k; });
        if (!ok)
            bad += (bad.empty() ? "" : ", ") + std::string(key);
    };
    word(cfg, "operstate", {"carrier", "unknown", "dormant"});
    if (cfg.contains("dhcp") && cfg["dhcp"].is_object() && cfg["dhcp"].contains("client")) {
        const json &c = cfg["dhcp"]["client"];
        if (!c.is_object()) {
            bad += (bad.empty() ? "" : ", ") + std::string("client");
        } else {
            word(c, "words", {"box", "busybox", "none"});
            word(c, "output", {"stdout", "stderr"});
            if (c.contains("background") && !c["background"].is_boolean())
                bad += (bad.empty() ? "" : ", ") + std::string("background");
        }
    }
    return bad.empty() ? "" : "network: keys of the wrong type or value: " + bad;
}

void describe_net(Box &box, json &st)
{
    auto i = net::interface_state(box);
    auto &n = state(box);
    json dhcp, client;
    {
        std::lock_guard<std::mutex> g(n.m);
        dhcp = n.scripted ? json("script") : n.server ? json(ip_text(n.lease)) : json(nullptr);
        client = {{"words", words_name(n.words)},
                  {"output", n.to_stderr ? "stderr" : "stdout"},
                  {"background", n.background}};
    }
    st["network"] = {{"cable", i.cable},       {"speed", i.speed},     {"operstate", i.operstate},
                     {"carrier", i.carrier},   {"mac", i.mac},         {"up", i.up},
                     {"ip", i.ip},             {"dhcp_server", dhcp},  {"dhcp_clients", net::dhcp_clients(box)},
                     {"dhcp_client", client}};
}

std::optional<ActionRun> parse_cable(const std::vector<std::string> &args, std::string &err)
{
    if (args.size() == 1 && args[0] == "unplug")
        return ActionRun([](Box &box) { net::cable_unplug(box); });
    if (!args.empty() && args[0] == "plug" && args.size() <= 2) {
        int speed = 1000;
        if (args.size() == 2) {
            const std::string &s = args[1];
            bool digits = !s.empty() && s.size() <= 6 && std::all_of(s.begin(), s.end(), ::isdigit);
            speed = digits ? atoi(s.c_str()) : 0;
            if (speed != 10 && speed != 100 && speed != 1000 && speed != 2500 && speed != 10000) {
                err = "speed must be 10, 100, 1000, 2500 or 10000";
                return std::nullopt;
            }
        }
        return ActionRun([speed](Box &box) { net::cable_plug(box, speed); });
    }
    err = "expected plug [SPEED] or unplug";
    return std::nullopt;
}

std::optional<ActionRun> parse_dhcp(const std::vector<std::string> &args, std::string &err)
{
    if (args.size() == 1 && args[0] == "none")
        return ActionRun([](Box &box) { net::dhcp_none(box); });
    if (!args.empty() && args[0] == "client") {
        std::optional<net::ClientWords> words = args.size() > 1 ? words_of(args[1]) : std::nullopt;
        bool to_stderr = false, background = true, ok = words.has_value() && args.size() <= 4;
        for (size_t i = 2; ok && i < args.size(); ++i) {
            if (args[i] == "stdout" || args[i] == "stderr")
                to_stderr = args[i] == "stderr";
            else if (args[i] == "background" || args[i] == "foreground")
                background = args[i] == "background";
            else
                ok = false;
        }
        if (!ok) {
            err = "expected client box|busybox|none [stdout|stderr] [background|foreground]";
            return std::nullopt;
        }
        net::ClientWords w = *words;
        return ActionRun([w, to_stderr, background](Box &box) { net::dhcp_client(box, w, to_stderr, background); });
    }
    unsigned char ip[4];
    if (args.size() == 2 && args[0] == "lease" && net::parse_ipv4(args[1], ip)) {
        std::string addr = args[1];
        return ActionRun([addr](Box &box) { net::dhcp_lease(box, addr); });
    }
    err = "expected lease A.B.C.D, none, or client box|busybox|none [stdout|stderr] [background|foreground]";
    return std::nullopt;
}

} // namespace

namespace net {

void cable_plug(Box &box, int speed_mbps)
{
    auto &n = state(box);
    {
        std::lock_guard<std::mutex> g(n.m);
        if (!n.cable)
            n.carrier_at = Clock::now() + std::chrono::milliseconds(n.autoneg_ms);
        n.cable = true;
        n.speed = speed_mbps;
    }
    box.trace().record({{"op", "event"}, {"what", "cable plug"}, {"speed", speed_mbps}});
    box.changed();
}

void cable_unplug(Box &box)
{
    auto &n = state(box);
    {
        std::lock_guard<std::mutex> g(n.m);
        n.cable = false;
    }
    box.trace().record({{"op", "event"}, {"what", "cable unplug"}});
    box.changed();
}

bool dhcp_lease(Box &box, const std::string &address)
{
    unsigned char ip[4];
    if (!parse_ipv4(address, ip))
        return false;
    auto &n = state(box);
    {
        std::lock_guard<std::mutex> g(n.m);
        n.server = true;
        n.scripted = false;
        memcpy(n.lease, ip, 4);
    }
    box.trace().record({{"op", "event"}, {"what", "dhcp lease"}, {"ip", ip_text(ip)}});
    box.changed();
    return true;
}

void dhcp_none(Box &box)
{
    auto &n = state(box);
    {
        std::lock_guard<std::mutex> g(n.m);
        n.server = false;
        n.scripted = false;
    }
    box.trace().record({{"op", "event"}, {"what", "dhcp none"}});
    box.changed();
}

void dhcp_client(Box &box, ClientWords words, bool to_stderr, bool background)
{
    auto &n = state(box);
    {
        std::lock_guard<std::mutex> g(n.m);
        n.words = words;
        n.to_stderr = to_stderr;
        n.background = background;
        n.scripted = false;
    }
    box.trace().record({{"op", "event"}, {"what", "dhcp client"}, {"words", words_name(words)},
                        {"output", to_stderr ? "stderr" : "stdout"}, {"background", background}});
    box.changed();
}

void dhcp_script(Box &box, std::vector<std::string> pieces, int interval_ms)
{
    auto &n = state(box);
    size_t count = pieces.size();
    {
        std::lock_guard<std::mutex> g(n.m);
        n.scripted = true;
        n.script = std::move(pieces);
        n.script_interval_ms = interval_ms;
    }
    box.trace().record({{"op", "event"}, {"what", "dhcp script"}, {"pieces", count}});
    box.changed();
}

Interface interface_state(Box &box)
{
    auto &n = state(box);
    std::lock_guard<std::mutex> g(n.m);
    Interface i;
    i.cable = n.cable;
    i.speed = n.speed;
    i.up = n.up;
    i.carrier = n.up && n.carrier();
    i.operstate = n.operstate();
    i.mac = mac_text(n.mac);
    i.ip = n.has_ip ? ip_text(n.ip) : "";
    return i;
}

static int net_daemons(Box &box)
{
    auto &n = state(box);
    std::lock_guard<std::mutex> g(n.m);
    int count = 0;
    for (const auto &d : n.daemons)
        if (auto p = d.lock(); p && !p->ended())
            ++count;
    return count;
}

int dhcp_clients(Box &box)
{
    int fg;
    {
        auto &n = state(box);
        std::lock_guard<std::mutex> g(n.m);
        fg = n.foreground_clients;
    }
    return fg + net_daemons(box);
}

bool parse_mac(const std::string &text, unsigned char out[6])
{
    if (text.size() != 17)
        return false;
    for (int i = 0; i < 6; ++i) {
        const char *p = text.c_str() + i * 3;
        if (!isxdigit(static_cast<unsigned char>(p[0])) || !isxdigit(static_cast<unsigned char>(p[1])) ||
            (i < 5 && p[2] != ':'))
            return false;
        out[i] = static_cast<unsigned char>(std::stoi(std::string(p, 2), nullptr, 16));
    }
    return true;
}

bool parse_ipv4(const std::string &text, unsigned char out[4])
{
    int part = 0;
    unsigned value = 0;
    int digits = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        char c = i < text.size() ? text[i] : '.';
        if (c >= '0' && c <= '9') {
            value = value * 10 + static_cast<unsigned>(c - '0');
            if (++digits > 3 || value > 255)
                return false;
        } else if (c == '.' && digits > 0 && part < 4) {
            out[part++] = static_cast<unsigned char>(value);
            value = 0;
            digits = 0;
        } else {
            return false;
        }
    }
    return part == 4;
}

std::string mac_text(const unsigned char mac[6])
{
    char buf[18];
    snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return buf;
}

std::string hex(const std::vector<unsigned char> &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

} // namespace net

BOXSIM_REGISTER({
    register_module({"network", 50, install_net, describe_net, check_net});
    register_command("udhcpc", cmd_udhcpc);
    register_command("ifconfig", cmd_ifconfig);
    register_action({"cable", "cable plug [SPEED] | cable unplug", parse_cable});
    register_action({"dhcp", "dhcp lease A.B.C.D | dhcp none | dhcp client box|busybox|none [stdout|stderr] [background|foreground]", parse_dhcp});
});

} // namespace boxsim
