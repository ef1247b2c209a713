// The tuner monitor: finds the box's tuners in the kernel's NIM list, then
// watches the one tuner the console's keys switched on (tunes it, measures
// lock, SNR and signal strength about once a second) and draws the tuner
// area of the TV screen.
#pragma once

#include "app/task.h"

#include <atomic>
#include <cstdint>

// Per-tuner tables, index = tuner 0 to 3.
//   tuner_stat    1 when the tuner's frontend device exists
//   tuner_system  delivery system the tuner receives (0: no tuner)
//   tuner_mode    0 single standard; 10 combined cable/terrestrial;
//                 65538 combined cable/second-generation terrestrial
//   tuner_run     non-zero while switched on (combined: 1 cable, 2 terrestrial)
//   tuner_locked  16 when locked, else 0
//   tuner_snr, tuner_agc   last readings, 0 to 65535
extern std::atomic<int32_t> tuner_stat[4], tuner_system[4], tuner_mode[4], tuner_run[4], tuner_locked[4],
    tuner_snr[4], tuner_agc[4];

// Supply changes the console's keys ask for (kSupplyVoltage, kSupplyTone):
// the tuner monitor applies vlt[] and tone[] to the tuner it watches, on its
// own descriptor. Only the monitor opens, uses and closes fd_tuner, so a
// request never reaches a descriptor it has closed meanwhile (a number that
// the next open of any device gets again).
extern std::atomic<int32_t> tuner_supply_request;
constexpr int32_t kSupplyVoltage = 1, kSupplyTone = 2;

// Task body; returns when the status record's quit is set.
void task_tuner(BKNI_TaskHandle task, void *data);
// Draws the tuner area (700, 100, 500 x 100); shown by the next fb_blit.
void draw_tuner_area();

// One line of the NIM list applied to the tables; `socket` is the socket the
// lines belong to (-1: a socket this box does not watch), updated by headers.
void tuner_parse_nim_line(const char *line, int *socket);
