// What an antenna input receives, and what a tuner gets out of it for one
// tune. Satellite transponders reach the tuner through LNBs, which turn
// their downlink frequency into an intermediate frequency (IF) and pass only
// the polarisation the supply voltage selects (13 V vertical, 18 V
// horizontal) and, for a universal LNB, the band the 22 kHz tone selects.
// Cable and terrestrial channels arrive at their own frequency.
//
// Profile form of an input (every channel may carry "snr" and "strength" in
// percent, and the services of radio.h):
//   {"lnbs": [{"name": "C-band", "low_mhz": 3400, "high_mhz": 4200, "lo_mhz": 5150},
//             {"name": "Ku universal", "low_mhz": 10700, "high_mhz": 12750,
//              "lo_mhz": 9750, "lo_high_mhz": 10600, "switch_mhz": 11700}],
//    "channels": [{"system": "DVB-S", "mhz": 4000, "pol": "H", "sr": 28125000,
//                  "modulation": "QPSK"},
//                 {"system": "DVB-C", "mhz": 466, "sr": 6900000, "modulation": "QAM256"},
//                 {"system": "DVB-T", "mhz": 546, "bandwidth_mhz": 8}],
//    "sat_tolerance_khz": 2000, "rf_tolerance_khz": 500,
//    "switch": {"port": "A"}}
// "switch": the dish's LNBs hang on this port (A to D) of a DiSEqC 1.0
// committed switch between them and the tuner: satellite channels arrive
// only while the switch selects that port. The switch is powered by the LNB
// supply, and takes the committed-switch byte of a DiSEqC message (option
// and position choose the port; the polarisation and band bits are latched
// as sent, the LNB is still steered by the supply's voltage and tone).
#pragma once

#include "devices/radio.h"

#include <cstdint>
#include <string>
#include <vector>

namespace boxsim::radio {

struct Lnb {
    std::string name;
    int low_mhz = 0;      // downlink band it converts
    int high_mhz = 0;
    int lo_mhz = 0;       // local oscillator (the low band's, for a universal LNB)
    int lo_high_mhz = 0;  // universal LNB: oscillator of the high band (tone on)
    int switch_mhz = 0;   // universal LNB: first frequency of the high band

    bool universal() const { return lo_high_mhz > 0 && switch_mhz > 0; }
};

struct Channel {
    int system = 0;      // fe_delivery_system
    int mhz = 0;         // downlink (satellite) or radio frequency
    char pol = 'H';      // satellite: 'H' or 'V'
    int symbol_rate = 0; // satellite and cable, symbols per second
    int modulation = -1; // fe_modulation; -1: whatever is asked
    int bandwidth_hz = 0;
    int snr_pct = 80;
    int strength_pct = 75;
    std::vector<Service> services;

    // "4000 MHz H, 28125 kS/s, DVB-S"
    std::string label() const;
};

struct Input {
    std::vector<Lnb> lnbs;
    std::vector<Channel> channels;
    int sat_tolerance_khz = 2000;
    int rf_tolerance_khz = 500;
    int switch_port = -1;  // 0 to 3 (A to D): behind a committed switch; -1: none
};

// Parses an input; entries it cannot read are named in `err` and left out.
Input input_from_json(const json &j, std::string &err);

// Delivery system numbers and their names ("DVB-S2" <-> SYS_DVBS2).
int system_from_name(const std::string &name);  // -1 if unknown
const char *system_name(int system);             // "SYS_?" if unknown
int modulation_from_name(const std::string &name);
const char *modulation_name(int modulation);
bool is_satellite(int system);

// One tune as the driver holds it: frequency in kHz for satellite (the IF),
// in Hz for every other system.
struct Tune {
    int system = 0;
    uint32_t frequency = 0;
    uint32_t symbol_rate = 0;
    int modulation = 0;
    uint32_t bandwidth_hz = 0;
};

// What the LNB supply does: fe_sec_voltage (0 13 V, 1 18 V, 2 off) and
// fe_sec_tone_mode (0 on, 1 off).
struct Supply {
    int voltage = 2;
    int tone = 1;
    int switch_port = 0;  // the port a committed switch on the line selects
};

struct Reception {
    const Channel *carrier = nullptr;  // a channel lies at the tuned frequency
    bool receivable = false;           // ... and the tuner can demodulate it
    std::string why;                   // what stands in the way, for people
};

// What a tuner that demodulates `systems` gets from `in` for this tune.
Reception receive(const Input &in, const std::vector<int> &systems, const Tune &tune, const Supply &supply);

} // namespace boxsim::radio
