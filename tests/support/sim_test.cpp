#include "sim_test.h"

#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <thread>

namespace boxtest {

// Tests run the box on its virtual clock: a task that sleeps half a second
// takes no time, and the same seed (BOXSIM_SEED, or the default) gives the
// same run.
uint64_t test_seed() { return boxsim::clock::seed_from_env(); }

namespace {
const bool g_virtual_clock = [] {
    Box::set_default_clock({true, test_seed()});
    return true;
}();
} // namespace

std::unique_ptr<Box> make_box(const std::string &profile)
{
    if (profile.empty())
        return std::make_unique<Box>();
    std::string err;
    auto box = Box::from_profile(profile, err);
    if (!box)
        ADD_FAILURE() << err;
    else
        keep_outputs(*box);
    return box;
}

std::unique_ptr<Box> make_box_from(const json &profile)
{
    auto box = std::make_unique<Box>(profile);
    keep_outputs(*box);
    return box;
}

bool eventually(const std::function<bool()> &pred, std::chrono::milliseconds timeout, std::chrono::milliseconds step)
{
    auto deadline = boxsim::BoxSteadyClock::now() + timeout;
    while (boxsim::BoxSteadyClock::now() < deadline) {
        if (pred())
            return true;
        boxsim::clock::sleep_for(step);
    }
    return pred();
}

std::string printed(Box &box, const char *stream)
{
    std::string out;
    for (const auto &e : box.trace().find(stream)) {
        if (!out.empty())
            out += '\n';
        out += e.value("text", "");
    }
    return out;
}

TempDir::TempDir()
{
    char tmpl[] = "/tmp/boxtest-XXXXXX";
    const char *p = mkdtemp(tmpl);
    path_ = p ? p : "/tmp";
}

TempDir::~TempDir()
{
    std::error_code ec;
    if (path_ != "/tmp")
        std::filesystem::remove_all(path_, ec);
}

} // namespace boxtest
