// boxsim: the system's rescue front end on a simulated box.
#include "box.h"
#include "stdio_capture.h"

#include "app/status.h"
#include "app/testui.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <string>

int main(int argc, char **argv)
{
    std::string box_name = "default";
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--box") && i + 1 < argc) {
            box_name = argv[++i];
        } else if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) {
            printf("usage: boxsim [--box NAME|FILE]\n");
            return 0;
        } else {
            fprintf(stderr, "boxsim: unknown option '%s' (see --help)\n", argv[i]);
            return 2;
        }
    }
    std::string err;
    auto box = boxsim::Box::from_profile(box_name, err);
    if (!box) {
        fprintf(stderr, "boxsim: %s\n", err.c_str());
        return 2;
    }
    int status = testui_main();
    fflush(stdout);
    // The system's tasks are never joined; end the process with them.
    _exit(status);
}
