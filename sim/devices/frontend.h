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
//       fail: requests that fail with EIO.
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
