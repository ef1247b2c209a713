// The box's USB and SATA connectors as sysfs shows them, and the HDMI-CEC
// driver. A device attached to a port appears under /sys/bus/usb/devices or
// /sys/bus/scsi/devices and vanishes again when it is taken away.
#include "core/box.h"
#include "devices/net.h"

#include "platform/box_abi.h"

#include <map>
#include <set>

namespace boxsim {

namespace {

struct PortState {
    std::mutex m;
    std::map<int, std::string> usb_ports;  // connector number -> sysfs device name
    std::set<int> usb_on;
    int sata_hosts = 0;
    std::set<int> sata_on;
    bool hdmi_present = true;
    bool hdmi_fail = false;
    int32_t hdmi_word = 1;
};

constexpr const char *kUsbDir = "/sys/bus/usb/devices/";
constexpr const char *kScsiDir = "/sys/bus/scsi/devices/";

// A USB stick: the device and its one interface, as the hub driver adds them.
void add_usb_device(Box &box, const std::string &name)
{
    std::string dev = kUsbDir + name;
    box.add_dir(dev);
    box.add_file(dev + "/idVendor", "0781\n");
    box.add_file(dev + "/idProduct", "5567\n");
    box.add_file(dev + "/product", "Mass Storage\n");
    box.add_file(dev + "/speed", "480\n");
    box.add_dir(dev + ":1.0");
    box.add_file(dev + ":1.0/bInterfaceClass", "08\n");
}

void remove_usb_device(Box &box, const std::string &name)
{
    box.remove(kUsbDir + name);
    box.remove(kUsbDir + name + ":1.0");
}

// A disk: its target and the logical unit 0 that the SCSI layer adds.
void add_disk(Box &box, int host)
{
    std::string h = std::to_string(host);
    box.add_dir(kScsiDir + std::string("target") + h + ":0:0");
    std::string lun = kScsiDir + h + ":0:0:0";
    box.add_dir(lun);
    box.add_file(lun + "/vendor", "ATA     \n");
    box.add_file(lun + "/model", "ST1000LM024 HN-M\n");
    box.add_file(lun + "/type", "0\n");
}

void remove_disk(Box &box, int host)
{
    std::string h = std::to_string(host);
    box.remove(kScsiDir + std::string("target") + h + ":0:0");
    box.remove(kScsiDir + h + ":0:0:0");
}

class HdmiCecNode : public Device {
public:
    explicit HdmiCecNode(PortState &p) : p_(p) {}
    int ioctl(OpenFile &, unsigned long request, unsigned long arg, json &ev) override
    {
        if (request != box_abi::HDMI_CEC_GET_STATE)
            return -ENOTTY;
        ev["name"] = "HDMI_CEC_GET_STATE";
        std::lock_guard<std::mutex> g(p_.m);
        if (p_.hdmi_fail)
            return -EIO;
        if (arg == 0)
            return -EFAULT;
        *reinterpret_cast<int32_t *>(arg) = p_.hdmi_word;
        ev["state"] = p_.hdmi_word;
        return 0;
    }

private:
    PortState &p_;
};

void set_hdmi_node(Box &box, PortState &p, bool present)
{
    if (present)
        box.add_node("/dev/hdmi_cec", std::make_shared<HdmiCecNode>(p));
    else
        box.remove("/dev/hdmi_cec");
}

std::vector<int> int_list(const json &j)
{
    std::vector<int> out;
    if (j.is_array())
        for (const auto &v : j)
            if (v.is_number_integer())
                out.push_back(v.get<int>());
    return out;
}

void install_ports(Box &box, const json &profile)
{
    auto &p = box.part<PortState>();
    auto section = [&](const char *key) {
        return profile.is_object() && profile.contains(key) && profile[key].is_object() ? profile[key]
                                                                                        : json::object();
    };
    json usb_cfg = section("usb");
    json sata_cfg = section("sata");
    json hdmi_cfg = section("hdmi");

    std::lock_guard<std::mutex> g(p.m);
    if (usb_cfg.contains("ports") && usb_cfg["ports"].is_object()) {
        for (auto it = usb_cfg["ports"].begin(); it != usb_cfg["ports"].end(); ++it) {
            int n = atoi(it.key().c_str());
            if (n > 0 && it.value().is_string())
                p.usb_ports[n] = it.value().get<std::string>();
        }
    } else {
        for (int n = 1; n <= 2; ++n)
            p.usb_ports[n] = "1-" + std::to_string(n);
    }
    // The root hub of every bus a connector hangs off.
    std::set<std::string> buses;
    for (const auto &[n, name] : p.usb_ports)
        buses.insert(name.substr(0, name.find('-')));
    box.add_dir(kUsbDir);
    for (const auto &b : buses)
        box.add_dir(kUsbDir + std::string("usb") + b);
    for (int n : int_list(usb_cfg.value("attached", json::array())))
        if (p.usb_ports.count(n) && p.usb_on.insert(n).second)
            add_usb_device(box, p.usb_ports[n]);

    p.sata_hosts = std::clamp(sata_cfg.value("hosts", 0), 0, 8);
    box.add_dir(kScsiDir);
    for (int h = 0; h < p.sata_hosts; ++h)
        box.add_dir(kScsiDir + std::string("host") + std::to_string(h));
    for (int h : int_list(sata_cfg.value("attached", json::array())))
        if (h >= 0 && h < p.sata_hosts && p.sata_on.insert(h).second)
            add_disk(box, h);

    p.hdmi_present = hdmi_cfg.value("present", true);
    if (hdmi_cfg.contains("state")) {
        if (hdmi_cfg["state"].is_number_integer())
            p.hdmi_word = hdmi_cfg["state"].get<int32_t>();
        else if (hdmi_cfg["state"] == "fail")
            p.hdmi_fail = true;
    }
    set_hdmi_node(box, p, p.hdmi_present);
}

void describe_ports(Box &box, json &state)
{
    auto &p = box.part<PortState>();
    std::lock_guard<std::mutex> g(p.m);
    json usb = json::object();
    for (const auto &[n, name] : p.usb_ports)
        usb[std::to_string(n)] = {{"path", kUsbDir + name}, {"attached", p.usb_on.count(n) > 0}};
    json sata = json::object();
    for (int h = 0; h < p.sata_hosts; ++h)
        sata[std::to_string(h)] = p.sata_on.count(h) > 0;
    json hdmi = {{"present", p.hdmi_present}};
    if (p.hdmi_fail)
        hdmi["state"] = "fail";
    else
        hdmi["state"] = p.hdmi_word;
    state["ports"] = {{"usb", usb}, {"sata", sata}, {"hdmi", hdmi}};
}

bool parse_int(const std::string &s, long long lo, long long hi, long long &out)
{
    if (s.empty() || s.size() > 12)
        return false;
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(s.c_str(), &end, 0);
    if (errno || *end || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

std::optional<ActionRun> parse_port_action(const char *what, int max, const std::vector<std::string> &args,
                                           std::string &err)
{
    long long n = 0;
    if (args.size() != 2 || !parse_int(args[0], 0, max, n) || (args[1] != "on" && args[1] != "off")) {
        err = std::string("expected a ") + what + " number 0 to " + std::to_string(max) + " and on or off";
        return std::nullopt;
    }
    bool on = args[1] == "on";
    int num = static_cast<int>(n);
    if (std::string(what) == "port")
        return ActionRun([num, on](Box &box) { net::usb(box, num, on); });
    return ActionRun([num, on](Box &box) { net::sata(box, num, on); });
}

} // namespace

namespace net {

bool usb(Box &box, int port, bool on)
{
    auto &p = box.part<PortState>();
    std::string name;
    bool known;
    {
        std::lock_guard<std::mutex> g(p.m);
        known = p.usb_ports.count(port) > 0;
        if (known) {
            name = p.usb_ports[port];
            bool changed = on ? p.usb_on.insert(port).second : p.usb_on.erase(port) > 0;
            if (changed) {
                if (on)
                    add_usb_device(box, name);
                else
                    remove_usb_device(box, name);
            }
        }
    }
    json ev = {{"op", "event"}, {"what", on ? "usb on" : "usb off"}, {"port", port}};
    if (known)
        ev["path"] = kUsbDir + name;
    else
        ev["result"] = "no such port";
    box.trace().record(std::move(ev));
    box.changed();
    return known;
}

bool sata(Box &box, int host, bool on)
{
    auto &p = box.part<PortState>();
    bool known;
    {
        std::lock_guard<std::mutex> g(p.m);
        known = host >= 0 && host < p.sata_hosts;
        if (known) {
            bool changed = on ? p.sata_on.insert(host).second : p.sata_on.erase(host) > 0;
            if (changed) {
                if (on)
                    add_disk(box, host);
                else
                    remove_disk(box, host);
            }
        }
    }
    json ev = {{"op", "event"}, {"what", on ? "sata on" : "sata off"}, {"host", host}};
    if (!known)
        ev["result"] = "no such host";
    box.trace().record(std::move(ev));
    box.changed();
    return known;
}

void hdmi_word(Box &box, int32_t word)
{
    auto &p = box.part<PortState>();
    {
        std::lock_guard<std::mutex> g(p.m);
        p.hdmi_word = word;
        p.hdmi_fail = false;
        if (!p.hdmi_present)
            set_hdmi_node(box, p, true);
        p.hdmi_present = true;
    }
    box.trace().record({{"op", "event"}, {"what", "hdmi"}, {"state", word}});
    box.changed();
}

void hdmi_fail(Box &box)
{
    auto &p = box.part<PortState>();
    {
        std::lock_guard<std::mutex> g(p.m);
        p.hdmi_fail = true;
        if (!p.hdmi_present)
            set_hdmi_node(box, p, true);
        p.hdmi_present = true;
    }
    box.trace().record({{"op", "event"}, {"what", "hdmi"}, {"state", "fail"}});
    box.changed();
}

void hdmi_absent(Box &box)
{
    auto &p = box.part<PortState>();
    {
        std::lock_guard<std::mutex> g(p.m);
        p.hdmi_present = false;
        set_hdmi_node(box, p, false);
    }
    box.trace().record({{"op", "event"}, {"what", "hdmi"}, {"state", "none"}});
    box.changed();
}

} // namespace net

BOXSIM_REGISTER({
    register_module({"ports", 60, install_ports, describe_ports});
    register_action({"usb", "usb N on|off",
                     [](const std::vector<std::string> &args, std::string &err) {
                         return parse_port_action("port", 15, args, err);
                     }});
    register_action({"sata", "sata N on|off",
                     [](const std::vector<std::string> &args, std::string &err) {
                         return parse_port_action("host", 7, args, err);
                     }});
    register_action({"hdmi", "hdmi WORD | hdmi fail | hdmi none",
                     [](const std::vector<std::string> &args, std::string &err) -> std::optional<ActionRun> {
                         long long v = 0;
                         if (args.size() == 1 && args[0] == "fail")
                             return ActionRun([](Box &box) { net::hdmi_fail(box); });
                         if (args.size() == 1 && args[0] == "none")
                             return ActionRun([](Box &box) { net::hdmi_absent(box); });
                         if (args.size() != 1 || !parse_int(args[0], INT32_MIN, UINT32_MAX, v)) {
                             err = "expected a 32-bit state word, fail or none";
                             return std::nullopt;
                         }
                         int32_t word = static_cast<int32_t>(static_cast<uint32_t>(v));
                         return ActionRun([word](Box &box) { net::hdmi_word(box, word); });
                     }});
});

} // namespace boxsim
