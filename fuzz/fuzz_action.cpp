// HTTP action bodies of random bytes as the web panel's action call takes
// them: the body through boxsim's parser and, when it is an action, run on
// the box (cables, servers, keys, cards, tuners' signals, faults ...). No
// front end runs; what an action leaves queued is taken away afterwards.
#include "fuzz_box.h"

#include "boxsim/script.h"
#include "core/faults.h"
#include "platform/os.h"

#include <cstdio>
#include <fcntl.h>

#include <string>
#include <string_view>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzbox::box();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzbox::next_input();
    boxsim::Box &box = fuzzbox::box();
    std::string_view body(reinterpret_cast<const char *>(data), size);
    std::string err;
    auto action = boxsim::parse_action(body, err);
    if (!action) {
        FUZZ_CHECK(!err.empty());
        return 0;
    }
    FUZZ_CHECK(action->run != nullptr);
    FUZZ_CHECK(!action->name.empty());
    boxsim::run_action(box, *action, "web");
    // Nobody reads the input devices here: drop what the action queued.
    boxsim::clear_faults(box);
    for (int ev = 0; ev < 5; ++ev) {
        char path[32];
        snprintf(path, sizeof path, "/dev/event%d", ev);
        int fd = os::open(path, O_RDONLY | O_NONBLOCK);
        if (fd < 0)
            continue;
        unsigned char record[16];
        while (os::read(fd, record, sizeof record) == sizeof record) {
        }
        os::close(fd);
    }
    return 0;
}
