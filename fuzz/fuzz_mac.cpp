// Streams of random 16-byte input records through the MAC entry task, typed
// on a plugged USB keyboard. A programming request may come only from two
// entries that agree and begin with the maker's prefix.
#include "fuzz_box.h"

#include "app/startup.h"
#include "app/status.h"
#include "console/mac_entry.h"
#include "devices/input.h"

#include <cstring>
#include <thread>

namespace {

constexpr size_t kMaxRecords = 64;
constexpr int kKeyboard = 2;  // the default box's keyboard appears as event 2

} // namespace

namespace {

std::thread g_task;

void end_task()
{
    g_status.quit = 1;
    boxsim::input::inject(fuzzbox::box(), kKeyboard, 0, 0, 0);  // wakes its wait
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
    g_task = boxsim::clock::spawn("task_mac", [] { task_mac(nullptr, nullptr); });
    atexit(end_task);
    if (!boxsim::input::keyboard(fuzzbox::box(), true))
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzbox::next_input();
    boxsim::Box &box = fuzzbox::box();
    // The task is idle here (the last input's records are all taken).
    memset(g_status.mac_entry, 0, sizeof g_status.mac_entry);
    memset(g_status.mac_confirm, 0, sizeof g_status.mac_confirm);
    g_status.mac_request = 0;
    size_t records = size / 16 < kMaxRecords ? size / 16 : kMaxRecords;
    for (size_t i = 0; i < records; ++i) {
        const uint8_t *r = data + 16 * i;
        uint16_t type, code;
        int32_t value;
        memcpy(&type, r + 8, 2);
        memcpy(&code, r + 10, 2);
        memcpy(&value, r + 12, 4);
        boxsim::input::inject(box, kKeyboard, type, code, value);
    }

    // A marker record after them: once it is taken, every record before it
    // has been handled.
    boxsim::input::inject(box, kKeyboard, 0, 0, 0);
    FUZZ_CHECK(fuzzbox::run_until([&] { return boxsim::input::pending(box, kKeyboard) == 0; }));

    static const unsigned char kPrefix[3] = {0x02, 0x47, 0x58};
    bool zero_entry = true, zero_confirm = true;
    for (int k = 0; k < 6; ++k) {
        zero_entry = zero_entry && g_status.mac_entry[k] == 0;
        zero_confirm = zero_confirm && g_status.mac_confirm[k] == 0;
    }
    // An address is stored only once complete, and it begins with the prefix.
    FUZZ_CHECK(zero_entry || memcmp(g_status.mac_entry, kPrefix, 3) == 0);
    FUZZ_CHECK(zero_confirm || memcmp(g_status.mac_confirm, kPrefix, 3) == 0);
    if (g_status.mac_request) {
        FUZZ_CHECK(!zero_entry && !zero_confirm);
        FUZZ_CHECK(memcmp(g_status.mac_entry, g_status.mac_confirm, 6) == 0);
    }
    return 0;
}
