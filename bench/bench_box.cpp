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
        // The drawing benchmarks read no events: a trace that grew by an
        // event a blit for the whole run moved the heap under them.
        b->trace().set_limit(1024);
        return b;
    }();
    return *box;
}

} // namespace boxbench
