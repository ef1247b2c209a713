// MAC entry: an operator types the box's new Ethernet MAC address twice on a
// keyboard plugged into the box (any input device but the box's own front
// panel and remote control). Two consecutive entries that agree and begin
// with the maker's prefix raise mac_request; the port monitor then programs
// the address.
#pragma once

#include "app/task.h"

#include <cstdint>

constexpr int kMacDevices = 3;
constexpr int kMacDigits = 12;

void task_mac(BKNI_TaskHandle task, void *data);

// The entry in progress, kept by the task.
struct MacEntryState {
    uint8_t digits[kMacDigits];
    int count;
    uint8_t entries;  // completed entries, modulo 256
};

// Handles one key press of the entry (Linux key code): echoes it, appends a
// digit and checks it against the maker prefix, and stores a completed
// entry in mac_entry or mac_confirm.
void mac_key(MacEntryState &state, int code);
