// The kernel's NIM list of random bytes through the tuner monitor's
// detection (the monitor started with quit already set: it detects its
// tuners and ends). The tables must hold only what a NIM list can give.
#include "fuzz_box.h"

#include "app/status.h"
#include "tuner/frontend.h"
#include "tuner/tuner_monitor.h"

#include <cstring>
#include <string>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzbox::box("tetraplus");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzbox::next_input();
    boxsim::Box &box = fuzzbox::box("tetraplus");
    std::string list(reinterpret_cast<const char *>(data), size);
    box.add_file("/proc/bus/nim_sockets", list);
    for (int t = 0; t < 4; ++t) {
        tuner_system[t] = 0;
        tuner_mode[t] = 0;
        tuner_run[t] = 7;
        fd_tuner[t] = 5;
    }
    g_status.quit = 1;
    task_tuner(nullptr, nullptr);

    // A NUL ends a line for the monitor's string search: look only at what
    // it can see of each line.
    std::string seen;
    for (char c : list)
        seen += c ? c : '\n';
    bool any_type = seen.find("Type:") != std::string::npos;
    bool any_name = seen.find("Name:") != std::string::npos;
    for (int t = 0; t < 4; ++t) {
        int s = tuner_system[t], m = tuner_mode[t];
        FUZZ_CHECK(s == 0 || s == 1 || s == 3 || s == 5 || s == 6 || s == 16);
        FUZZ_CHECK(m == 0 || m == 10 || m == 65538);
        FUZZ_CHECK(s == 0 || any_type);
        FUZZ_CHECK(m == 0 || any_name);
        FUZZ_CHECK(tuner_run[t] == 0);
        FUZZ_CHECK(fd_tuner[t] == -1);
    }
    FUZZ_CHECK(vlt[0] == 2 && tone[0] == 1);
    g_status.quit = 0;
    return 0;
}
