#include "sim_test.h"

#include <cstdlib>
#include <filesystem>
#include <thread>

namespace boxtest {

std::unique_ptr<Box> make_box(const std::string &profile)
{
    if (profile.empty())
        return std::make_unique<Box>();
    std::string err;
    auto box = Box::from_profile(profile, err);
    if (!box)
        ADD_FAILURE() << err;
    return box;
}

std::unique_ptr<Box> make_box_from(const json &profile) { return std::make_unique<Box>(profile); }

bool eventually(const std::function<bool()> &pred, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
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
