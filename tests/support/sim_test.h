// Helpers for tests that run the system against a fresh simulated box.
#pragma once

#include "core/box.h"
#include "core/stdio_capture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

namespace boxtest {

using boxsim::Box;
using boxsim::json;

// The seed of the test's virtual clock (BOXSIM_SEED, or the default).
uint64_t test_seed();

// A box made from a named profile of sim/boxes (or an empty box for "").
std::unique_ptr<Box> make_box(const std::string &profile = "");
// A box made from a profile object.
std::unique_ptr<Box> make_box_from(const json &profile);

// With BOXSIM_TEST_OUT=DIR: the box writes its trace and timeline into DIR,
// and the test's first failed check the pictures and state shown then (see
// test_outputs.cpp). make_box and make_box_from call it.
void keep_outputs(Box &box);

// Polls `pred` every `step` of the box's clock until it holds or `timeout`
// passes. A costly `pred` (one that composes a picture) takes a longer step.
bool eventually(const std::function<bool()> &pred, std::chrono::milliseconds timeout,
                std::chrono::milliseconds step = std::chrono::milliseconds(5));

// The text the system printed, as the capture recorded it (stdout lines
// joined with '\n', a partial last line included).
std::string printed(Box &box, const char *stream = "stdout");

// A temporary directory on the real file system, removed at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

} // namespace boxtest
