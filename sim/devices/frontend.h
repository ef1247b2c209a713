// The simulated frontends /dev/dvb0.frontend0..3, the kernel's NIM list
// /proc/bus/nim_sockets and the mode files /proc/stb/frontend/N/mode of
// combined cable/terrestrial tuners. What a tuner locks to follows from the
// radio model (radio_model.h); a locked frontend publishes its channel in
// RadioFeed (radio.h) for the demultiplexers.
//
// Profile keys:
//   "tuners": [{"type": "DVB-S2", "name": "BCM4506 (internal)", "input": "factory",
//               "acquire_ms": 300, "device": true, "fail": ["FE_READ_SNR"]}, ...]
//       one entry per frontend, in frontend order. type: DVB-S, DVB-S2, DVB-C,
//       DVB-T, DVB-T2, or the combined DVB-C/T and DVB-C/T2 (with a mode file:
//       0 cable, 1 terrestrial). device false: listed, but no device node.
//       fail: requests that fail with EIO. acquire_ms: the time from DTV_TUNE
//       to lock; absent, what a demodulator of the tuned delivery system takes
//       (frontend.cpp, lock_ms: DVB-S 400 ms at 28 MS/s, DVB-S2 400 ms, 800 ms
//       at an SNR of 60 % or less, DVB-C 300 ms, 1000 ms with QAM_AUTO, DVB-T
//       1000 ms, DVB-T2 2000 ms). Every DTV_TUNE starts the acquisition again.
//       snr_request false: a driver with DVBv5 statistics only, whose old
//       FE_READ_SNR request dvb-core refuses (EOPNOTSUPP). strength_jitter_pct:
//       each FE_READ_SIGNAL_STRENGTH of a received channel wanders by up to
//       this many percent (the same sequence every run).
//
// A satellite tuner's LNB line carries a DiSEqC 1.0 committed switch,
// powered by the LNB supply (radio_model.h, an input's "switch"): a message
// sent while the supply is off is lost; the trace's "switch" member and the
// state's "diseqc_switch" say what it heard and the port it selects.
//   "inputs": {"factory": {...}}   what each antenna input receives (radio_model.h)
//   "nim_sockets": "..."          the NIM list as given (null: no list at all);
//                                 absent: made from "tuners" as the kernel does
//
// Every request is decoded into the trace: properties by their DTV_ names with
// values, DiSEqC messages as hex bytes, voltage and tone by name.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <optional>

namespace boxsim {

class Box;

namespace frontend {

// The antenna cable of frontend `fe` out (false) or in (true).
bool signal(Box &box, int fe, bool on);
// The readings of the channel frontend `fe` receives, in percent (for the
// rest of the run).
bool readings(Box &box, int fe, int snr_pct, int strength_pct);
// The demodulator reports this status word whatever it receives (nullopt:
// its own again). For tests of the status decoding.
bool force_status(Box &box, int fe, std::optional<uint32_t> word);
// Whether frontend `fe` is locked now.
bool locked(Box &box, int fe);
// The state of frontend `fe` as the snapshot shows it (null if none).
nlohmann::json state(Box &box, int fe);

} // namespace frontend
} // namespace boxsim
