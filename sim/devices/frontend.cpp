// The box's frontends as a DVB frontend driver presents them, over the radio
// model: a tune locks after its acquisition time when, and only when, it
// reaches a channel the tuner can demodulate. Lock is worked out whenever the
// frontend is asked or the state is looked at, from the time that has passed.
#include "devices/frontend.h"
#include "devices/profile_keys.h"

#include "core/box.h"
#include "devices/radio.h"
#include "devices/radio_model.h"

#include "platform/box_abi.h"

#include <cstdio>
#include <fcntl.h>
#include <set>

namespace boxsim {

namespace {

constexpr int kMaxFrontends = 8;

struct TunerModel {
    int index = 0;
    std::string type;  // DVB-S2, DVB-C/T2, ...
    std::string name;
    std::string input;
    bool device = true;
    int acquire_ms = -1;  // -1: what a demodulator of its kind takes (lock_ms)
    std::set<std::string> fail;

    // Driver state.
    int mode = 0;  // combined tuners: the mode file, 0 cable, 1 terrestrial
    int writers = 0;
    int voltage = SEC_VOLTAGE_OFF;
    int tone = SEC_TONE_OFF;
    // The DiSEqC 1.0 committed switch on the LNB line, powered by the LNB
    // supply: its latched committed-switch bits (bit 0 high band, bit 1
    // horizontal, bit 2 position B, bit 3 option B), 0 at power-up.
    uint8_t committed = 0;
    int diseqc_heard = 0, diseqc_lost = 0;
    std::string diseqc_last;  // what the switch made of the last message
    radio::Tune cache;
    std::optional<radio::Tune> tuned;
    bool cable_in = true;
    std::optional<int> snr_pct, strength_pct;
    std::optional<uint32_t> forced;
    // A driver with DVBv5 statistics only: dvb-core answers the old SNR
    // request with EOPNOTSUPP. And a strength reading that wanders by up
    // to this many percent from read to read, as real ones do.
    bool old_snr_request = true;
    int strength_jitter_pct = 0;
    uint32_t jitter_state = 1;

    // What it gets from its input.
    radio::Reception rx;
    const radio::Channel *acquiring = nullptr;
    int64_t acquire_from = 0;
    bool locked = false;

    bool combined() const { return type == "DVB-C/T" || type == "DVB-C/T2"; }
    bool switch_powered() const { return voltage == SEC_VOLTAGE_13 || voltage == SEC_VOLTAGE_18; }
    int switch_port() const { return (committed >> 2) & 3; }
    bool satellite() const { return type == "DVB-S" || type == "DVB-S2"; }

    // Every delivery system the driver accepts.
    std::vector<int> all_systems() const
    {
        if (type == "DVB-S2")
            return {SYS_DVBS, SYS_DVBS2};
        if (type == "DVB-S")
            return {SYS_DVBS};
        if (type == "DVB-C")
            return {SYS_DVBC_ANNEX_A};
        if (type == "DVB-T")
            return {SYS_DVBT};
        if (type == "DVB-T2")
            return {SYS_DVBT, SYS_DVBT2};
        if (type == "DVB-C/T")
            return {SYS_DVBC_ANNEX_A, SYS_DVBT};
        if (type == "DVB-C/T2")
            return {SYS_DVBC_ANNEX_A, SYS_DVBT, SYS_DVBT2};
        return {};
    }
    // What it demodulates now: a combined tuner only the standard its mode
    // file selects.
    std::vector<int> systems() const
    {
        if (!combined())
            return all_systems();
        if (mode == 0)
            return {SYS_DVBC_ANNEX_A};
        if (mode == 1)
            return type == "DVB-C/T2" ? std::vector<int>{SYS_DVBT, SYS_DVBT2} : std::vector<int>{SYS_DVBT};
        return {};
    }
    // What the NIM list names as its type: a combined tuner starts as cable.
    std::string nim_type() const { return combined() ? "DVB-C" : type; }
    std::string system_now() const
    {
        if (!combined())
            return type;
        return mode == 0 ? "DVB-C" : mode == 1 ? (type == "DVB-C/T2" ? "DVB-T2" : "DVB-T") : "none";
    }
};

struct FrontendState {
    std::mutex m;
    std::vector<TunerModel> tuners;
    std::map<std::string, radio::Input> inputs;
};

// Trace lines and feed changes made under the state's lock, passed on after
// it is released.
struct Pending {
    std::vector<json> events;
    bool changed = false;
};

void flush(Box &box, Pending &p)
{
    for (auto &e : p.events)
        box.trace().record(std::move(e));
    if (p.changed)
        box.changed();
}

// A percentage as the 16-bit reading of the driver, rounded up so that the
// system's truncating percentage shows the same number again.
int raw(int pct) { return (pct * 65535 + 99) / 100; }

const char *voltage_name(int v)
{
    return v == SEC_VOLTAGE_13 ? "SEC_VOLTAGE_13" : v == SEC_VOLTAGE_18 ? "SEC_VOLTAGE_18" : "SEC_VOLTAGE_OFF";
}
const char *tone_name(int t) { return t == SEC_TONE_ON ? "SEC_TONE_ON" : "SEC_TONE_OFF"; }

// The committed-switch bits as people read them.
json committed_json(uint8_t bits)
{
    char byte[4];
    snprintf(byte, sizeof byte, "%X", bits & 0x0F);
    return {{"port", std::string(1, static_cast<char>('A' + ((bits >> 2) & 3)))},
            {"polarisation", bits & 2 ? "H" : "V"},
            {"band", bits & 1 ? "high" : "low"},
            {"bits", byte}};
}

// What the committed switch on the LNB line does with one DiSEqC message
// (framing, address, command, data), as DiSEqC 1.0 defines it: a command
// from the master to any device, any LNB or switcher, or any switcher;
// reset, power on, and "write N0" to the committed switches, whose data
// byte carries in its high nibble which of the four bits to write. A switch
// without supply hears nothing. Returns what became of the message.
std::string diseqc_to_switch(TunerModel &t, const uint8_t *msg, int len)
{
    if (!t.switch_powered()) {
        ++t.diseqc_lost;
        return "lost: LNB supply off";
    }
    ++t.diseqc_heard;
    const uint8_t framing = msg[0], address = msg[1], command = msg[2];
    if ((framing & 0xFE) != 0xE0 && (framing & 0xFE) != 0xE2)
        return "ignored: not a command from the master";
    if (address != 0x00 && address != 0x10 && address != 0x14 && address != 0x15)
        return "ignored: addressed to another device";
    switch (command) {
    case 0x00:
        t.committed = 0;
        return "reset";
    case 0x03:
        return "power on";
    case 0x38: {
        if (len < 4)
            return "ignored: write N0 without its data byte";
        const uint8_t mask = msg[3] >> 4, bits = msg[3] & 0x0F;
        t.committed = static_cast<uint8_t>((t.committed & ~mask) | (bits & mask));
        const json c = committed_json(t.committed);
        return "committed: port " + c["port"].get<std::string>() + ", " + c["polarisation"].get<std::string>() +
               ", " + c["band"].get<std::string>() + " band";
    }
    default:
        return "ignored: command not understood";
    }
}

std::string status_flags(uint32_t w)
{
    static const std::pair<uint32_t, const char *> bits[] = {
        {FE_HAS_SIGNAL, "SIGNAL"}, {FE_HAS_CARRIER, "CARRIER"}, {FE_HAS_VITERBI, "VITERBI"},
        {FE_HAS_SYNC, "SYNC"},     {FE_HAS_LOCK, "LOCK"},       {FE_TIMEDOUT, "TIMEDOUT"},
        {FE_REINIT, "REINIT"}};
    std::string s;
    for (const auto &[bit, name] : bits)
        if (w & bit)
            s += (s.empty() ? "" : "|") + std::string(name);
    return s;
}

const char *property_name(uint32_t cmd)
{
    switch (cmd) {
    case DTV_UNDEFINED: return "DTV_UNDEFINED";
    case DTV_TUNE: return "DTV_TUNE";
    case DTV_CLEAR: return "DTV_CLEAR";
    case DTV_FREQUENCY: return "DTV_FREQUENCY";
    case DTV_MODULATION: return "DTV_MODULATION";
    case DTV_BANDWIDTH_HZ: return "DTV_BANDWIDTH_HZ";
    case DTV_INVERSION: return "DTV_INVERSION";
    case DTV_DISEQC_MASTER: return "DTV_DISEQC_MASTER";
    case DTV_SYMBOL_RATE: return "DTV_SYMBOL_RATE";
    case DTV_INNER_FEC: return "DTV_INNER_FEC";
    case DTV_VOLTAGE: return "DTV_VOLTAGE";
    case DTV_TONE: return "DTV_TONE";
    case DTV_PILOT: return "DTV_PILOT";
    case DTV_ROLLOFF: return "DTV_ROLLOFF";
    case DTV_DELIVERY_SYSTEM: return "DTV_DELIVERY_SYSTEM";
    case DTV_CODE_RATE_HP: return "DTV_CODE_RATE_HP";
    case DTV_CODE_RATE_LP: return "DTV_CODE_RATE_LP";
    case DTV_GUARD_INTERVAL: return "DTV_GUARD_INTERVAL";
    case DTV_TRANSMISSION_MODE: return "DTV_TRANSMISSION_MODE";
    case DTV_HIERARCHY: return "DTV_HIERARCHY";
    case DTV_STREAM_ID: return "DTV_STREAM_ID";
    default: return "DTV_?";
    }
}

json tune_json(const radio::Tune &t)
{
    return {{"system", radio::system_name(t.system)},
            {"frequency", t.frequency},
            {"symbol_rate", t.symbol_rate},
            {"modulation", radio::modulation_name(t.modulation)},
            {"bandwidth", t.bandwidth_hz}};
}

// How long a demodulator takes from DTV_TUNE to lock on a channel it can
// demodulate, by delivery system, as the lock-wait budgets of the Linux
// drivers for such demodulators give it:
// - satellite: the demodulator and FEC time-outs of a normal search by
//   symbol rate (above 20 MS/s 300 + 100 ms, 10 to 20 MS/s 400 + 130 ms,
//   5 to 10 MS/s 700 + 250 ms, 2 to 5 MS/s 1000 + 550 ms, 1 to 2 MS/s
//   2500 + 1100 ms, below 4500 + 1700 ms); DVB-S2 at a low SNR (60 % or
//   less) needs the search twice;
// - cable: 300 ms with the constellation given; with QAM_AUTO each of the
//   five constellations is tried for 200 ms;
// - terrestrial: DVB-T with transmission mode and guard interval found
//   automatically 1000 ms; DVB-T2 (P1, then the L1 signalling over T2
//   frames of up to 250 ms) 2000 ms.
int lock_ms(const radio::Tune &tune, const radio::Channel &ch, int snr_pct)
{
    switch (tune.system) {
    case SYS_DVBS:
    case SYS_DVBS2: {
        static constexpr struct {
            uint32_t up_to_sr;
            int demod_ms, fec_ms;
        } budgets[] = {{1000000, 4500, 1700}, {2000000, 2500, 1100}, {5000000, 1000, 550},
                       {10000000, 700, 250},  {20000000, 400, 130},  {UINT32_MAX, 300, 100}};
        int ms = 0;
        for (const auto &b : budgets)
            if (tune.symbol_rate <= b.up_to_sr) {
                ms = b.demod_ms + b.fec_ms;
                break;
            }
        return tune.system == SYS_DVBS2 && snr_pct <= 60 ? 2 * ms : ms;
    }
    case SYS_DVBC_ANNEX_A:
        return tune.modulation == QAM_AUTO ? 5 * 200 : 300;
    case SYS_DVBT:
        return 1000;
    case SYS_DVBT2:
        return 2000;
    default:
        return ch.system == SYS_DVBT2 ? 2000 : 1000;
    }
}

int lock_ms(const TunerModel &t)
{
    if (t.acquire_ms >= 0 || !t.tuned || !t.rx.carrier)
        return t.acquire_ms >= 0 ? t.acquire_ms : 0;
    return lock_ms(*t.tuned, *t.rx.carrier, t.snr_pct.value_or(t.rx.carrier->snr_pct));
}

// Works out what the tuner gets now, and publishes a change of lock.
void update(Box &box, FrontendState &s, TunerModel &t, Pending &p)
{
    radio::Reception rx;
    if (!t.tuned) {
        rx.why = "not tuned";
    } else if (!t.cable_in) {
        rx.why = "antenna cable out";
    } else {
        static const radio::Input nothing;
        auto it = s.inputs.find(t.input);
        rx = radio::receive(it == s.inputs.end() ? nothing : it->second, t.systems(), *t.tuned,
                            {t.voltage, t.tone, t.switch_port()});
    }
    int64_t now = box.now_ms();
    if (!rx.receivable)
        t.acquiring = nullptr;
    else if (t.acquiring != rx.carrier) {
        t.acquiring = rx.carrier;
        t.acquire_from = now;
    }
    t.rx = rx;
    bool lock = rx.receivable && now - t.acquire_from >= lock_ms(t);
    if (lock == t.locked)
        return;
    t.locked = lock;
    if (t.index < RadioFeed::kFrontends) {
        if (lock)
            box.part<RadioFeed>().set(t.index, LockedChannel{rx.carrier->label(), rx.carrier->services});
        else
            box.part<RadioFeed>().set(t.index, std::nullopt);
    }
    json ev = {{"op", "frontend"}, {"fe", t.index}, {"event", lock ? "locked" : "lock lost"}};
    if (lock)
        ev["channel"] = rx.carrier->label();
    else if (!rx.why.empty())
        ev["why"] = rx.why;
    p.events.push_back(std::move(ev));
    p.changed = true;
}

uint32_t status_word(const TunerModel &t)
{
    if (t.forced)
        return *t.forced;
    if (t.locked)
        return FE_HAS_SIGNAL | FE_HAS_CARRIER | FE_HAS_VITERBI | FE_HAS_SYNC | FE_HAS_LOCK;
    if (t.rx.carrier)
        return FE_HAS_SIGNAL | (t.rx.receivable ? FE_HAS_CARRIER : 0);
    return 0;
}

int snr_raw(const TunerModel &t)
{
    return t.locked ? raw(t.snr_pct.value_or(t.rx.carrier->snr_pct)) : 0;
}
int strength_raw(const TunerModel &t)
{
    return t.rx.carrier ? raw(t.strength_pct.value_or(t.rx.carrier->strength_pct)) : 0;
}

// One property list, applied in its order as the DVB core does; the first
// property the driver refuses ends it.
int set_properties(Box &box, FrontendState &s, TunerModel &t, unsigned long arg, json &ev, Pending &p)
{
    auto *list = reinterpret_cast<const struct dtv_properties *>(arg);
    if (!list)
        return -EFAULT;
    if (list->num == 0 || list->num > DTV_IOCTL_MAX_MSGS)
        return -EINVAL;
    if (!list->props)
        return -EFAULT;
    // The whole list as the system sent it, before the driver looks at it.
    json props = json::array();
    for (uint32_t i = 0; i < list->num; ++i) {
        json one = {{"cmd", property_name(list->props[i].cmd)}};
        const uint32_t cmd = list->props[i].cmd;
        const uint32_t data = list->props[i].u.data;  // a packed record: copied out
        if (cmd != DTV_CLEAR && cmd != DTV_TUNE)
            one["data"] = data;
        props.push_back(one);
    }
    ev["properties"] = props;
    int result = 0;
    for (uint32_t i = 0; i < list->num && result == 0; ++i) {
        const struct dtv_property &pr = list->props[i];
        switch (pr.cmd) {
        case DTV_CLEAR: {
            int keep = t.cache.system;  // the delivery system stays
            t.cache = {};
            t.cache.system = keep;
            break;
        }
        case DTV_FREQUENCY: t.cache.frequency = pr.u.data; break;
        case DTV_MODULATION: t.cache.modulation = static_cast<int>(pr.u.data); break;
        case DTV_SYMBOL_RATE: t.cache.symbol_rate = pr.u.data; break;
        case DTV_BANDWIDTH_HZ: t.cache.bandwidth_hz = pr.u.data; break;
        case DTV_DELIVERY_SYSTEM: {
            auto all = t.all_systems();
            if (std::find(all.begin(), all.end(), static_cast<int>(pr.u.data)) == all.end())
                result = -EINVAL;
            else
                t.cache.system = static_cast<int>(pr.u.data);
            break;
        }
        case DTV_TUNE: {
            auto all = t.all_systems();
            if (t.cache.frequency == 0 || std::find(all.begin(), all.end(), t.cache.system) == all.end()) {
                result = -EINVAL;
                break;
            }
            t.tuned = t.cache;
            t.acquiring = nullptr;
            if (t.locked) {
                // A new tune drops the old lock at once.
                t.tuned.reset();
                update(box, s, t, p);
                t.tuned = t.cache;
            }
            update(box, s, t, p);
            ev["tune"] = tune_json(t.cache);
            ev["receives"] = t.rx.receivable ? json(t.rx.carrier->label()) : json(nullptr);
            if (!t.rx.why.empty())
                ev["why"] = t.rx.why;
            break;
        }
        default: break;  // settings the model does not act on
        }
    }
    return result;
}

int handle(Box &box, FrontendState &s, TunerModel &t, OpenFile &of, uint32_t req, unsigned long arg, json &ev,
           Pending &p)
{
    bool writable = (of.flags & O_ACCMODE) != O_RDONLY;
    update(box, s, t, p);
    switch (req) {
    case box_abi::FE_READ_STATUS: {
        if (!arg)
            return -EFAULT;
        uint32_t w = status_word(t);
        *reinterpret_cast<uint32_t *>(arg) = w;
        ev["status"] = w;
        ev["flags"] = status_flags(w);
        return 0;
    }
    case box_abi::FE_READ_SNR:
    case box_abi::FE_READ_SIGNAL_STRENGTH: {
        if (!arg)
            return -EFAULT;
        bool snr = req == box_abi::FE_READ_SNR;
        if (snr && !t.old_snr_request)
            return -EOPNOTSUPP;
        int v = snr ? snr_raw(t) : strength_raw(t);
        if (!snr && v > 0 && t.strength_jitter_pct > 0) {
            // The same wandering for the same run: a small generator per tuner.
            t.jitter_state = t.jitter_state * 1103515245u + 12345u;
            const int span = 2 * t.strength_jitter_pct + 1;
            const int pct = static_cast<int>((t.jitter_state >> 16) % static_cast<uint32_t>(span)) - t.strength_jitter_pct;
            v = std::clamp(v + pct * 65535 / 100, 0, 65535);
        }
        *reinterpret_cast<uint16_t *>(arg) = static_cast<uint16_t>(v);
        ev[snr ? "snr" : "strength"] = v;
        return 0;
    }
    case box_abi::FE_SET_VOLTAGE:
        if (!writable)
            return -EPERM;
        if (arg > SEC_VOLTAGE_OFF)
            return -EINVAL;
        ev["voltage"] = voltage_name(static_cast<int>(arg));
        {
            const bool was_powered = t.switch_powered();
            t.voltage = static_cast<int>(arg);
            // A switch that loses its supply comes back in its power-up state.
            if (t.satellite() && was_powered != t.switch_powered()) {
                if (!was_powered)
                    t.committed = 0;
                ev["switch"] = was_powered ? "unpowered" : "powered up: port A";
            }
        }
        update(box, s, t, p);
        return 0;
    case box_abi::FE_SET_TONE:
        if (!writable)
            return -EPERM;
        if (arg > SEC_TONE_OFF)
            return -EINVAL;
        ev["tone"] = tone_name(static_cast<int>(arg));
        if (!t.satellite())
            return -EOPNOTSUPP;
        t.tone = static_cast<int>(arg);
        update(box, s, t, p);
        return 0;
    case box_abi::FE_DISEQC_SEND_MASTER_CMD: {
        if (!writable)
            return -EPERM;
        auto *cmd = reinterpret_cast<const struct dvb_diseqc_master_cmd *>(arg);
        if (!cmd)
            return -EFAULT;
        if (cmd->msg_len < 3 || cmd->msg_len > 6)
            return -EINVAL;
        std::string hex;
        for (int i = 0; i < cmd->msg_len; ++i) {
            char b[4];
            snprintf(b, sizeof b, "%s%02X", i ? " " : "", cmd->msg[i]);
            hex += b;
        }
        ev["diseqc"] = hex;
        if (!t.satellite())
            return -EOPNOTSUPP;
        t.diseqc_last = diseqc_to_switch(t, cmd->msg, cmd->msg_len);
        ev["switch"] = t.diseqc_last;
        update(box, s, t, p);
        return 0;
    }
    case box_abi::FE_SET_PROPERTY:
        if (!writable)
            return -EPERM;
        return set_properties(box, s, t, arg, ev, p);
    default:
        return -ENOTTY;
    }
}

class FrontendNode : public Device {
public:
    FrontendNode(Box &box, int index) : box_(box), index_(index) {}

    int open(OpenFile &of) override
    {
        if ((of.flags & O_ACCMODE) == O_RDONLY)
            return 0;
        auto &s = box_.part<FrontendState>();
        std::lock_guard<std::mutex> g(s.m);
        auto &t = s.tuners[static_cast<size_t>(index_)];
        if (t.writers > 0)
            return -EBUSY;  // one controlling opener at a time
        ++t.writers;
        return 0;
    }

    void release(OpenFile &of) override
    {
        if ((of.flags & O_ACCMODE) == O_RDONLY)
            return;
        auto &s = box_.part<FrontendState>();
        Pending p;
        {
            std::lock_guard<std::mutex> g(s.m);
            auto &t = s.tuners[static_cast<size_t>(index_)];
            if (--t.writers == 0) {
                // The last controlling close puts the frontend to sleep:
                // the LNB supply goes off and the tune is forgotten.
                t.voltage = SEC_VOLTAGE_OFF;
                t.tone = SEC_TONE_OFF;
                t.committed = 0;
                t.tuned.reset();
                update(box_, s, t, p);
            }
        }
        flush(box_, p);
    }

    int ioctl(OpenFile &of, unsigned long request, unsigned long arg, json &ev) override
    {
        auto req = static_cast<uint32_t>(request);
        const char *name = box_abi::request_name("dvb", req);
        if (!name || std::string(name).rfind("FE_", 0) != 0)
            return -ENOTTY;
        ev["name"] = name;
        auto &s = box_.part<FrontendState>();
        Pending p;
        int r;
        {
            std::lock_guard<std::mutex> g(s.m);
            auto &t = s.tuners[static_cast<size_t>(index_)];
            r = t.fail.count(name) ? -EIO : handle(box_, s, t, of, req, arg, ev, p);
        }
        flush(box_, p);
        return r;
    }

private:
    Box &box_;
    int index_;
};

// The NIM list as the kernel publishes it: a header per socket, then
// indented lines, some of which the system has no use for.
std::string nim_list(const std::vector<TunerModel> &tuners)
{
    std::string out;
    for (const auto &t : tuners) {
        std::string n = std::to_string(t.index);
        out += "NIM Socket " + n + ":\n";
        out += "\tType: " + t.nim_type() + "\n";
        if (t.combined()) {
            out += "\tMode 0: DVB-C\n";
            out += std::string("\tMode 1: ") + (t.type == "DVB-C/T2" ? "DVB-T2" : "DVB-T") + "\n";
        }
        out += "\tName: " + t.name + "\n";
        out += "\tFrontend_Device: " + n + "\n";
        out += "\tI2C_Device: " + n + "\n";
        out += "\tHas_Outputs: no\n";
    }
    return out;
}

std::string default_name(const std::string &type)
{
    if (type == "DVB-S2")
        return "BCM4506 DVB-S2 (internal)";
    if (type == "DVB-S")
        return "BCM4501 DVB-S (internal)";
    if (type == "DVB-C/T2")
        return "Si2169 DVB-C/T2 (internal)";
    if (type == "DVB-C/T")
        return "CXD2837 DVB-C/T (internal)";
    return "Si2168 " + type + " (internal)";
}

void install_frontend(Box &box, const json &profile)
{
    if (!profile.is_object())
        return;
    auto &s = box.part<FrontendState>();
    std::lock_guard<std::mutex> g(s.m);
    if (profile.contains("inputs") && profile["inputs"].is_object()) {
        for (auto it = profile["inputs"].begin(); it != profile["inputs"].end(); ++it) {
            std::string err;
            s.inputs[it.key()] = radio::input_from_json(it.value(), err);
            if (!err.empty())
                box.trace().record({{"op", "device"}, {"path", "inputs/" + it.key()}, {"error", err}});
        }
    }
    const json tuners = profile.value("tuners", json::array());
    for (size_t i = 0; i < tuners.size() && i < kMaxFrontends; ++i) {
        const json &j = tuners[i];
        if (!j.is_object())
            continue;
        TunerModel t;
        t.index = static_cast<int>(s.tuners.size());
        std::string bad;
        t.type = keys::get(j, "type", std::string("DVB-S2"), bad);
        t.name = keys::get(j, "name", default_name(t.type), bad);
        t.input = keys::get(j, "input", std::string(), bad);
        t.device = keys::get(j, "device", true, bad);
        t.acquire_ms = std::clamp(keys::get(j, "acquire_ms", -1, bad), -1, 60000);
        t.old_snr_request = keys::get(j, "snr_request", true, bad);
        t.strength_jitter_pct = std::clamp(keys::get(j, "strength_jitter_pct", 0, bad), 0, 50);
        t.jitter_state = static_cast<uint32_t>(t.index) + 1;
        for (const auto &f : j.value("fail", json::array()))
            if (f.is_string())
                t.fail.insert(f.get<std::string>());
        keys::report(box, ("tuners/" + std::to_string(t.index)).c_str(), bad);
        s.tuners.push_back(std::move(t));
    }
    for (const auto &t : s.tuners) {
        if (!t.device)
            continue;
        std::string n = std::to_string(t.index);
        box.add_node("/dev/dvb0.frontend" + n, std::make_shared<FrontendNode>(box, t.index));
        if (!t.combined())
            continue;
        auto mode = box.add_file("/proc/stb/frontend/" + n + "/mode", "0\n");
        int index = t.index;
        mode->on_write = [&box, index](const std::string &content) {
            auto &st = box.part<FrontendState>();
            Pending p;
            {
                std::lock_guard<std::mutex> lock(st.m);
                auto &tm = st.tuners[static_cast<size_t>(index)];
                tm.mode = static_cast<int>(strtol(content.c_str(), nullptr, 16));
                update(box, st, tm, p);
            }
            flush(box, p);
        };
    }
    if (profile.contains("nim_sockets")) {
        if (profile["nim_sockets"].is_string())
            box.add_file("/proc/bus/nim_sockets", profile["nim_sockets"].get<std::string>())->read_only = true;
    } else {
        box.add_file("/proc/bus/nim_sockets", nim_list(s.tuners))->read_only = true;
    }
}

// The tuners' and the inputs' keys, looked at before a box is made.
std::string check_frontend(const json &profile)
{
    if (!profile.is_object())
        return "";
    if (profile.contains("tuners")) {
        if (!profile["tuners"].is_array())
            return "tuners: not a list";
        size_t i = 0;
        for (const auto &j : profile["tuners"]) {
            using T = std::pair<const char *, std::string>;
            using I = std::pair<const char *, int>;
            std::string bad =
                j.is_object() ? keys::wrong(j, T{"type", ""}, T{"name", ""}, T{"input", ""},
                                            std::pair<const char *, bool>{"device", true}, I{"acquire_ms", 0},
                                            std::pair<const char *, bool>{"snr_request", true},
                                            I{"strength_jitter_pct", 0})
                              : std::string("not an object");
            if (!bad.empty())
                return keys::verdict("tuners/" + std::to_string(i), bad);
            ++i;
        }
    }
    if (profile.contains("inputs") && profile["inputs"].is_object())
        for (auto it = profile["inputs"].begin(); it != profile["inputs"].end(); ++it) {
            std::string err;
            radio::input_from_json(it.value(), err);
            if (!err.empty())
                return "inputs/" + it.key() + ": " + err;
        }
    return "";
}

json tuner_state(Box &box, FrontendState &s, TunerModel &t, Pending &p)
{
    update(box, s, t, p);
    json j = {{"frontend", t.index},
              {"present", t.device},
              {"type", t.type},
              {"system", t.system_now()},
              {"mode", t.combined() ? json(t.mode) : json(nullptr)},
              {"open", t.writers > 0},
              {"last_tune", t.tuned ? tune_json(*t.tuned) : json(nullptr)},
              {"voltage", voltage_name(t.voltage)},
              {"tone", tone_name(t.tone)},
              {"signal", t.cable_in},
              {"locked", t.locked},
              {"lock_ms", t.rx.receivable ? json(lock_ms(t)) : json(nullptr)},
              {"snr", snr_raw(t) * 100 / 65535},
              {"strength", strength_raw(t) * 100 / 65535},
              {"channel", t.rx.carrier ? json(t.rx.carrier->label()) : json(nullptr)}};
    if (!t.rx.why.empty())
        j["why"] = t.rx.why;
    if (t.satellite()) {
        json sw = committed_json(t.committed);
        sw["powered"] = t.switch_powered();
        sw["heard"] = t.diseqc_heard;
        sw["lost"] = t.diseqc_lost;
        sw["last"] = t.diseqc_last;
        j["diseqc_switch"] = sw;
    }
    return j;
}

void describe_frontend(Box &box, json &state)
{
    auto &s = box.part<FrontendState>();
    Pending p;
    json list = json::array();
    {
        std::lock_guard<std::mutex> g(s.m);
        for (auto &t : s.tuners)
            list.push_back(tuner_state(box, s, t, p));
    }
    flush(box, p);
    state["tuners"] = list;
}

// Runs `f` on frontend `fe` under the lock; false if there is none.
bool with_tuner(Box &box, int fe, const std::function<void(FrontendState &, TunerModel &, Pending &)> &f)
{
    auto &s = box.part<FrontendState>();
    Pending p;
    bool found = false;
    {
        std::lock_guard<std::mutex> g(s.m);
        if (fe >= 0 && static_cast<size_t>(fe) < s.tuners.size()) {
            found = true;
            f(s, s.tuners[static_cast<size_t>(fe)], p);
        }
    }
    flush(box, p);
    return found;
}

bool parse_number(const std::string &w, int lo, int hi, int &out)
{
    char *end = nullptr;
    errno = 0;
    long v = strtol(w.c_str(), &end, 10);
    if (w.empty() || *end || errno || v < lo || v > hi)
        return false;
    out = static_cast<int>(v);
    return true;
}

std::optional<ActionRun> parse_signal(const std::vector<std::string> &args, std::string &err)
{
    int fe = 0, snr = 0, strength = 0;
    if (args.size() == 2 && parse_number(args[0], 0, kMaxFrontends - 1, fe) && (args[1] == "on" || args[1] == "off")) {
        bool on = args[1] == "on";
        return ActionRun([fe, on](Box &box) { frontend::signal(box, fe, on); });
    }
    if (args.size() == 5 && parse_number(args[0], 0, kMaxFrontends - 1, fe) && args[1] == "snr" &&
        parse_number(args[2], 0, 100, snr) && args[3] == "strength" && parse_number(args[4], 0, 100, strength))
        return ActionRun([fe, snr, strength](Box &box) { frontend::readings(box, fe, snr, strength); });
    err = "expected a frontend number 0 to 7 and on or off, or snr PCT strength PCT (0 to 100)";
    return std::nullopt;
}

} // namespace

namespace frontend {

bool signal(Box &box, int fe, bool on)
{
    bool found = with_tuner(box, fe, [&](FrontendState &s, TunerModel &t, Pending &p) {
        t.cable_in = on;
        update(box, s, t, p);
    });
    json ev = {{"op", "event"}, {"what", on ? "signal on" : "signal off"}, {"fe", fe}};
    if (!found)
        ev["result"] = "no such frontend";
    box.trace().record(std::move(ev));
    return found;
}

bool readings(Box &box, int fe, int snr_pct, int strength_pct)
{
    bool found = with_tuner(box, fe, [&](FrontendState &, TunerModel &t, Pending &) {
        t.snr_pct = std::clamp(snr_pct, 0, 100);
        t.strength_pct = std::clamp(strength_pct, 0, 100);
    });
    json ev = {{"op", "event"}, {"what", "signal readings"}, {"fe", fe}, {"snr", snr_pct}, {"strength", strength_pct}};
    if (!found)
        ev["result"] = "no such frontend";
    box.trace().record(std::move(ev));
    box.changed();
    return found;
}

bool force_status(Box &box, int fe, std::optional<uint32_t> word)
{
    return with_tuner(box, fe, [&](FrontendState &, TunerModel &t, Pending &) { t.forced = word; });
}

bool locked(Box &box, int fe)
{
    bool lock = false;
    with_tuner(box, fe, [&](FrontendState &s, TunerModel &t, Pending &p) {
        update(box, s, t, p);
        lock = t.locked;
    });
    return lock;
}

json state(Box &box, int fe)
{
    json j;
    with_tuner(box, fe, [&](FrontendState &s, TunerModel &t, Pending &p) { j = tuner_state(box, s, t, p); });
    return j;
}

} // namespace frontend

BOXSIM_REGISTER({
    register_module({"frontend", 70, install_frontend, describe_frontend, check_frontend});
    register_action({"signal", "signal N off|on | signal N snr PCT strength PCT  (N: frontend 0-3)", parse_signal});
});

} // namespace boxsim
