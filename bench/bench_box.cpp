#include "bench_box.h"

#include "app/startup.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace boxbench {

boxsim::Box &drawing_box()
{
    static std::unique_ptr<boxsim::Box> box = [] {
        std::string err;
        auto b = boxsim::Box::from_profile("default", err);
        if (!b || frontend_start() != 0) {
            std::fprintf(stderr, "box_bench: no simulated box: %s\n", err.c_str());
            std::exit(1);
        }
        return b;
    }();
    return *box;
}

} // namespace boxbench
