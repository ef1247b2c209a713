// The simulated conditional-access hardware: smart-card readers /dev/sci0 and
// /dev/sci1, and common-interface slots /dev/ci0 and /dev/ci1.
//
// Profile keys (every member optional):
//   "cards": {"readers": [0, 1], "inserted": {"0": "3B9F96801FC78031E073FE211B"}}
//       the readers the box has, and the cards in them at start with their
//       answer to reset as hex ("" for a card that never answers)
//   "ci": {"slots": [0, 1], "modules": [1]}
//       the CI slots the box has, and the slots with a module at start
// Without "cards" the box has both readers and no card; without "ci" it has
// no CI slot.
//
// A reader answers the card-detect request (SCI_IOCTL_CARD_DETECT) with 1 or
// 0 in the 32-bit word it is given. A reset (SCI_IOCTL_RESET, encoded as a
// write of a 32-bit word) reads the word its argument points to, and fails
// with EFAULT for a null pointer before it resets anything; a reset of an
// inserted card makes its answer readable a few milliseconds later; a read blocks
// until the answer is there and returns it, or ends with ETIMEDOUT after
// kAtrTimeoutMs when the card (or no card) does not answer, as a reader's
// answer timer does. A CI slot takes the reset request 0; poll reports
// POLLPRI while no module is inserted and nothing (the caller's time-out)
// while one is.
#pragma once

#include <optional>
#include <string>

namespace boxsim {

class Box;

namespace cards {

constexpr int kAtrTimeoutMs = 300;
constexpr int kAtrDelayMs = 20;

// Inserts a card with this answer to reset (hex; "" never answers), or
// removes it. False when the box has no such reader.
bool insert(Box &box, int reader, const std::string &atr_hex);
bool remove(Box &box, int reader);
// Inserts or removes a CI module; false when the box has no such slot.
bool ci_module(Box &box, int slot, bool inserted);

// Resets each reader has taken so far.
int resets(Box &box, int reader);

} // namespace cards
} // namespace boxsim
