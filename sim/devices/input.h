// The simulated input devices: /dev/event0 to /dev/event4 with their names
// under /sys/class/input/eventN/device/name, as the input core and evdev show
// them.
//
// Profile key (every member optional):
//   "input": {
//     "devices": [ {"event": 0, "name": "corvane-fp front panel keys", "role": "panel"},
//                  {"event": 1, "name": "corvane-rc remote control", "role": "remote"} ],
//     "keyboard": {"event": 2, "name": "USB Keyboard", "plugged": false,
//                  "typing": 150}
//   }
// Without the key the box has the front panel at event 0, the remote control
// at event 1 and an unplugged USB keyboard that appears as event 2.
// "typing" is how fast the person at the keyboard types: milliseconds from
// one key to the next (20 to 2000, default 150), or "scanner" for a barcode
// scanner that sends a key every 4 ms.
//
// As evdev does it, each open of a node is a client of its own: it gets only
// the events that arrive while it is open, in a buffer of 64 records. A
// record that would fill the buffer drops everything unread: the client then
// finds SYN_DROPPED followed by the newest record. Reads give whole records
// of complete reports only (up to the report's SYN_REPORT); reads of fewer
// than 16 bytes are refused (EINVAL); an empty queue gives EAGAIN to a
// non-blocking read and blocks a blocking one; poll reports POLLIN while a
// report waits. An unplugged device's nodes vanish; handles still open on it
// then read ENODEV and poll POLLERR | POLLHUP.
//
// Records come as the drivers send them. The front panel and the remote: a
// key record and SYN_REPORT; a held key repeats (value 2, its SYN_REPORT of
// value 1) after 250 ms and every 33 ms, as the input core's auto-repeat does. The USB keyboard, as
// HID reports: MSC_SCAN with the key's usage code before each key record,
// SYN_REPORT after each report; a shifted character at scanner speed has the
// shift and the key in one report. The input core drops a press of a key
// that is down and a release of one that is up.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace boxsim {

class Box;

namespace input {

enum class Role { Panel, Remote, Keyboard, Other };

// Record types and codes beyond the key records.
constexpr uint16_t kEvSyn = 0, kEvKey = 1, kEvMsc = 4;
constexpr uint16_t kSynReport = 0, kSynDropped = 3, kMscScan = 4;
// Records a client's buffer holds (evdev's smallest buffer).
constexpr size_t kClientBuffer = 64;
// The input core's auto-repeat.
constexpr int kRepeatDelayMs = 250, kRepeatPeriodMs = 33;
// The scanner's time from one key to the next.
constexpr int kScannerKeyMs = 4;

// Presses a key on the device of this role: the press now, and the release
// now too, or, while held for `repeats` auto-repeats, after them. False when
// the box has no such device plugged.
bool press(Box &box, Role role, int code, int repeats = 0);
// Puts one raw record into the buffer of every client of event device N, as
// if evdev had passed it on (tests of odd input and of what overflow leaves).
bool inject(Box &box, int event, uint16_t type, uint16_t code, int32_t value);
// Plugs or unplugs the USB keyboard; false when the box has none.
bool keyboard(Box &box, bool plugged);
// Types the text on the USB keyboard as a person does: plugged first when
// needed, the first key once the system has the keyboard open (or after 5 s
// without), then a key every `key_ms` (0: the profile's speed; kScannerKeyMs
// or less: a scanner). Texts typed one after the other are typed in turn.
// Digits, letters (capitals with shift), ':' (shift and semicolon), ';',
// ' ', '\n'. False when a character has no key or there is no keyboard.
bool type_text(Box &box, const std::string &text, int key_ms = 0);
// True while keys of a typed text or of a held key are still to come.
bool busy(Box &box);

// The key code of a key name ("POWER", "KEY_POWER", "1", "VOLUMEUP") or of
// a decimal code; nullopt for neither.
std::optional<int> key_code(const std::string &name);

// Records waiting in the buffers of device N's clients, not read yet.
size_t pending(Box &box, int event);
// Clients (open handles) of device N.
size_t clients(Box &box, int event);
// Times a client of device N lost its unread records to a full buffer.
uint64_t overflows(Box &box, int event);

} // namespace input
} // namespace boxsim
