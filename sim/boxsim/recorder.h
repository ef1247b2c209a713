// Save as test: what a person did at the front panel page, and what the box
// shows now, as a scenario script that checks itself.
//
// The script has the actions so far, then, at the present time, expectations
// of what the page shows: the text display, the LEDs, the address and link,
// each tuner's lock, each decoder's state, and the TV and LCD pictures
// against golden files taken now. Replayed with boxsim test it passes while
// the box behaves as it did.
#pragma once

#include "boxsim/session.h"

#include <string>
#include <utility>
#include <vector>

namespace boxsim::tool {

struct SavedTest {
    std::string name;  // the script's file name without .box, and the folder's
    // The files, by name: NAME.box, the golden pictures, profile.json for a
    // profile that is a file of its own.
    std::vector<std::pair<std::string, std::string>> files;
};

SavedTest save_test(Session &session, const std::string &name = "boxsim-test");

// The files in a folder NAME/ of a tar archive (POSIX ustar).
std::string tar_archive(const SavedTest &test);

// Writes the files into `dir` (made when missing). False with `err` set.
bool write_saved_test(const SavedTest &test, const std::string &dir, std::string &err);

} // namespace boxsim::tool
