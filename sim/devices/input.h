// The simulated input devices: /dev/event0 to /dev/event4 with their names
// under /sys/class/input/eventN/device/name, as the input core shows them.
//
// Profile key (every member optional):
//   "input": {
//     "devices": [ {"event": 0, "name": "corvane-fp front panel keys", "role": "panel"},
//                  {"event": 1, "name": "corvane-rc remote control", "role": "remote"} ],
//     "keyboard": {"event": 2, "name": "USB Keyboard", "plugged": false}
//   }
// Without the key the box has the front panel at event 0, the remote control
// at event 1 and an unplugged USB keyboard that appears as event 2.
//
// Each device queues 16-byte records in the box's layout (two 32-bit time
// words, 16-bit type, 16-bit code, signed 32-bit value). A key press is the
// press (value 1), a report marker (EV_SYN), any repeats (value 2, each with
// its marker) and the release (value 0, with its marker). Reads of fewer than
// 16 bytes are refused (EINVAL); an empty queue gives EAGAIN to a
// non-blocking read and blocks a blocking one; poll reports POLLIN while a
// record waits. An unplugged device's nodes vanish; handles still open on it
// then read ENODEV and poll POLLERR | POLLHUP, as on a real box.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace boxsim {

class Box;

namespace input {

enum class Role { Panel, Remote, Keyboard, Other };

// Queues one key press on the device of this role (repeats: auto-repeat
// records while held). False when the box has no such device plugged.
bool press(Box &box, Role role, int code, int repeats = 0);
// Queues one raw record on event device N (tests of odd input).
bool inject(Box &box, int event, uint16_t type, uint16_t code, int32_t value);
// Plugs or unplugs the USB keyboard; false when the box has none.
bool keyboard(Box &box, bool plugged);
// Types the text on the USB keyboard (plugged first when needed): digits,
// letters (capitals with shift), ':' (shift and semicolon), ' ', '\n'.
// False when a character has no key or there is no keyboard.
bool type_text(Box &box, const std::string &text);

// The key code of a key name ("POWER", "KEY_POWER", "1", "VOLUMEUP") or of
// a decimal code; nullopt for neither.
std::optional<int> key_code(const std::string &name);

// Records queued on device N and not read yet.
size_t pending(Box &box, int event);

} // namespace input
} // namespace boxsim
