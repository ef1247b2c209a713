#include "devices/radio_model.h"
#include "devices/profile_keys.h"

#include "platform/box_abi.h"

#include <cstdlib>

namespace boxsim::radio {

namespace {

struct Named {
    int value;
    const char *name;
};

constexpr Named kSystems[] = {
    {SYS_UNDEFINED, "undefined"}, {SYS_DVBC_ANNEX_A, "DVB-C"}, {SYS_DVBC_ANNEX_B, "DVB-C/B"},
    {SYS_DVBT, "DVB-T"},          {SYS_DSS, "DSS"},            {SYS_DVBS, "DVB-S"},
    {SYS_DVBS2, "DVB-S2"},        {SYS_DVBH, "DVB-H"},         {SYS_ISDBT, "ISDB-T"},
    {SYS_ISDBS, "ISDB-S"},        {SYS_ISDBC, "ISDB-C"},       {SYS_ATSC, "ATSC"},
    {SYS_ATSCMH, "ATSC-MH"},      {SYS_DTMB, "DTMB"},          {SYS_CMMB, "CMMB"},
    {SYS_DAB, "DAB"},             {SYS_DVBT2, "DVB-T2"},       {SYS_TURBO, "TURBO"},
    {SYS_DVBC_ANNEX_C, "DVB-C/C"},
};

constexpr Named kModulations[] = {
    {QPSK, "QPSK"},       {QAM_16, "QAM16"},   {QAM_32, "QAM32"},   {QAM_64, "QAM64"},
    {QAM_128, "QAM128"},  {QAM_256, "QAM256"}, {QAM_AUTO, "QAM_AUTO"}, {VSB_8, "VSB8"},
    {VSB_16, "VSB16"},    {PSK_8, "8PSK"},     {APSK_16, "16APSK"}, {APSK_32, "32APSK"},
    {DQPSK, "DQPSK"},
};

template <size_t N> int value_of(const Named (&table)[N], const std::string &name)
{
    for (const auto &e : table)
        if (name == e.name)
            return e.value;
    return -1;
}

template <size_t N> const char *name_of(const Named (&table)[N], int value, const char *unknown)
{
    for (const auto &e : table)
        if (e.value == value)
            return e.name;
    return unknown;
}

const Lnb *lnb_for(const Input &in, int mhz)
{
    for (const auto &l : in.lnbs)
        if (mhz >= l.low_mhz && mhz <= l.high_mhz)
            return &l;
    return nullptr;
}

int64_t distance(int64_t a, int64_t b) { return a > b ? a - b : b - a; }

// A satellite channel's place at the LNB output: its IF in kHz, or -1 when
// no LNB of the input converts it.
int64_t if_khz(const Input &in, const Channel &ch, bool &high_band)
{
    const Lnb *l = lnb_for(in, ch.mhz);
    if (!l)
        return -1;
    high_band = l->universal() && ch.mhz >= l->switch_mhz;
    int lo = high_band ? l->lo_high_mhz : l->lo_mhz;
    return distance(ch.mhz, lo) * 1000;
}

} // namespace

int system_from_name(const std::string &name) { return value_of(kSystems, name); }
const char *system_name(int system) { return name_of(kSystems, system, "SYS_?"); }
int modulation_from_name(const std::string &name) { return value_of(kModulations, name); }
const char *modulation_name(int modulation) { return name_of(kModulations, modulation, "?"); }
bool is_satellite(int system) { return system == SYS_DVBS || system == SYS_DVBS2; }

std::string Channel::label() const
{
    std::string s = std::to_string(mhz) + " MHz";
    if (is_satellite(system))
        s += std::string(" ") + pol;
    if (symbol_rate > 0 && bandwidth_hz == 0)
        s += ", " + std::to_string(symbol_rate / 1000) + " kS/s";
    if (bandwidth_hz > 0)
        s += ", " + std::to_string(bandwidth_hz / 1000000) + " MHz wide";
    return s + ", " + system_name(system);
}

Input input_from_json(const json &j, std::string &err)
{
    Input in;
    if (!j.is_object()) {
        err = "an input is an object with \"lnbs\" and \"channels\"";
        return in;
    }
    std::string bad;
    in.sat_tolerance_khz = keys::get(j, "sat_tolerance_khz", in.sat_tolerance_khz, bad);
    in.rf_tolerance_khz = keys::get(j, "rf_tolerance_khz", in.rf_tolerance_khz, bad);
    if (j.contains("switch")) {
        const json &sw = j["switch"];
        std::string port = keys::get(sw, "port", std::string(), bad);
        if (port.size() == 1 && port[0] >= 'A' && port[0] <= 'D')
            in.switch_port = port[0] - 'A';
        else
            err = "a switch needs a \"port\" A, B, C or D";
    }
    for (const auto &l : j.value("lnbs", json::array())) {
        if (!l.is_object() || !l.contains("lo_mhz")) {
            err = "an LNB needs \"lo_mhz\"";
            continue;
        }
        Lnb lnb;
        lnb.name = keys::get(l, "name", std::string(), bad);
        lnb.low_mhz = keys::get(l, "low_mhz", 0, bad);
        lnb.high_mhz = keys::get(l, "high_mhz", 0, bad);
        lnb.lo_mhz = keys::get(l, "lo_mhz", 0, bad);
        lnb.lo_high_mhz = keys::get(l, "lo_high_mhz", 0, bad);
        lnb.switch_mhz = keys::get(l, "switch_mhz", 0, bad);
        in.lnbs.push_back(lnb);
    }
    for (const auto &c : j.value("channels", json::array())) {
        int system = c.is_object() ? system_from_name(keys::get(c, "system", std::string(), bad)) : -1;
        if (system < 0 || !c.contains("mhz")) {
            err = "a channel needs a known \"system\" and \"mhz\"";
            continue;
        }
        Channel ch;
        ch.system = system;
        ch.mhz = keys::get(c, "mhz", 0, bad);
        std::string pol = keys::get(c, "pol", std::string("H"), bad);
        ch.pol = pol == "V" ? 'V' : 'H';
        ch.symbol_rate = keys::get(c, "sr", 0, bad);
        ch.modulation = c.contains("modulation") ? modulation_from_name(keys::get(c, "modulation", std::string(), bad)) : -1;
        ch.bandwidth_hz = std::clamp(keys::get(c, "bandwidth_mhz", 0, bad), 0, 100) * 1000000;
        ch.snr_pct = std::clamp(keys::get(c, "snr", ch.snr_pct, bad), 0, 100);
        ch.strength_pct = std::clamp(keys::get(c, "strength", ch.strength_pct, bad), 0, 100);
        for (const auto &s : c.value("services", json::array()))
            if (s.is_object())
                ch.services.push_back(Service::from_json(s, bad));
        in.channels.push_back(std::move(ch));
    }
    if (!bad.empty() && err.empty())
        err = "keys of the wrong type, defaults taken: " + bad;
    return in;
}

Reception receive(const Input &in, const std::vector<int> &systems, const Tune &tune, const Supply &supply)
{
    Reception r;
    const bool sat = is_satellite(tune.system);
    if (sat && supply.voltage != SEC_VOLTAGE_13 && supply.voltage != SEC_VOLTAGE_18) {
        r.why = "LNB supply off";
        return r;
    }
    if (sat && in.switch_port >= 0 && supply.switch_port != in.switch_port) {
        r.why = std::string("DiSEqC switch on port ") + static_cast<char>('A' + supply.switch_port) +
                ", the dish is on port " + static_cast<char>('A' + in.switch_port);
        return r;
    }
    r.why = "nothing at this frequency";
    for (const auto &ch : in.channels) {
        if (is_satellite(ch.system) != sat)
            continue;
        if (sat) {
            bool high = false;
            int64_t at = if_khz(in, ch, high);
            if (at < 0 || distance(at, tune.frequency) > in.sat_tolerance_khz)
                continue;
            // The tuner looks where this transponder would be; the LNB
            // passes it only in the right polarisation and band.
            char pol = supply.voltage == SEC_VOLTAGE_13 ? 'V' : 'H';
            if (ch.pol != pol) {
                r.why = "polarisation ";
                r.why += pol;
                r.why += " selected, transponder is ";
                r.why += ch.pol;
                continue;
            }
            const Lnb *l = lnb_for(in, ch.mhz);
            if (l->universal() && high != (supply.tone == SEC_TONE_ON)) {
                r.why = high ? "high band needs the 22 kHz tone" : "low band needs the tone off";
                continue;
            }
        } else if (distance(static_cast<int64_t>(ch.mhz) * 1000000, tune.frequency) >
                   static_cast<int64_t>(in.rf_tolerance_khz) * 1000) {
            continue;
        }
        r.carrier = &ch;
        break;
    }
    if (!r.carrier)
        return r;

    const Channel &ch = *r.carrier;
    bool fits = false;
    for (int s : systems)
        fits = fits || s == tune.system;
    if (!fits)
        r.why = std::string("the tuner does not demodulate ") + system_name(tune.system) + " now";
    else if (tune.system != ch.system)
        r.why = std::string("the channel is ") + system_name(ch.system);
    else if (ch.symbol_rate > 0 && ch.bandwidth_hz == 0 &&
             distance(tune.symbol_rate, ch.symbol_rate) > ch.symbol_rate / 100)
        r.why = "symbol rate does not fit";
    else if (ch.bandwidth_hz > 0 && tune.bandwidth_hz != static_cast<uint32_t>(ch.bandwidth_hz))
        r.why = "bandwidth does not fit";
    else if (ch.modulation >= 0 && tune.modulation != ch.modulation && tune.modulation != QAM_AUTO)
        r.why = "modulation does not fit";
    else {
        r.receivable = true;
        r.why.clear();
    }
    return r;
}

} // namespace boxsim::radio
