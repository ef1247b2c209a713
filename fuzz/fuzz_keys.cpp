// Streams of random 16-byte input records through the console's key task:
// the records arrive on the front panel and the remote control (alternately)
// and the running task reads and handles them all. Whatever the codes, the
// status record stays within what keys can make of it.
#include "fuzz_box.h"

#include "app/startup.h"
#include "app/status.h"
#include "console/keys.h"
#include "devices/input.h"
#include "tuner/tuner_monitor.h"

#include <cstring>
#include <thread>

namespace {

// Records of one input: more would only repeat what fewer show.
constexpr size_t kMaxRecords = 48;

} // namespace

namespace {

std::thread g_task;

void end_task()
{
    g_status.quit = 1;
    boxsim::input::inject(fuzzbox::box(), 0, 0, 0, 0);  // wakes its wait
    boxsim::clock::join(g_task);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzbox::box();
    if (frontend_start() != 0)
        abort();
    // The task runs for the whole fuzz run and takes each input's records as
    // they come, as on the box; it is ended before the box goes at exit.
    g_task = boxsim::clock::spawn("task_event", [] { task_event(nullptr, nullptr); });
    atexit(end_task);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzbox::next_input();
    boxsim::Box &box = fuzzbox::box();
    size_t records = size / 16 < kMaxRecords ? size / 16 : kMaxRecords;
    for (size_t i = 0; i < records; ++i) {
        const uint8_t *r = data + 16 * i;
        uint16_t type, code;
        int32_t value;
        memcpy(&type, r + 8, 2);
        memcpy(&code, r + 10, 2);
        memcpy(&value, r + 12, 4);
        boxsim::input::inject(box, static_cast<int>(i % 2), type, code, value);
    }

    // A marker record after them on each device: once both are taken, every
    // record before them has been handled.
    boxsim::input::inject(box, 0, 0, 0, 0);
    boxsim::input::inject(box, 1, 0, 0, 0);
    FUZZ_CHECK(fuzzbox::run_until(
        [&] { return boxsim::input::pending(box, 0) == 0 && boxsim::input::pending(box, 1) == 0; }));

    int seen = g_status.buttons_seen, volume = g_status.volume, mute = g_status.mute;
    FUZZ_CHECK(seen >= 0 && seen <= 255);
    FUZZ_CHECK(volume >= 0 && volume <= 100);
    FUZZ_CHECK(mute == 0 || mute == 1);
    int running = 0;
    for (int t = 0; t < 4; ++t)
        running += tuner_run[t] != 0;
    FUZZ_CHECK(running <= 1);
    int sel = g_status.sat_channel_select;
    FUZZ_CHECK(sel == 0 || sel == 192 || sel == 1006);
    return 0;
}
