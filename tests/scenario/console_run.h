// The factory test console running on a simulated box, and what a person
// would see of it.
#pragma once

#include "app/console.h"
#include "app/status.h"
#include "core/image.h"
#include "devices/fb.h"
#include "kni/bkni.h"
#include "screen_check.h"
#include "sim_test.h"

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

namespace consolerun {

using boxsim::json;
using namespace std::chrono_literals;

class ConsoleRun {
public:
    explicit ConsoleRun(const json &profile) : box(boxtest::make_box_from(profile))
    {
        main_ = boxsim::clock::spawn("main", [this] {
            status_ = console_main();
            returned_ = true;
        });
        // Started once the screen task has presented its first areas.
        started = boxtest::eventually([this] { return blits() >= 2; }, 15s);
    }
    static json profile(const std::string &name)
    {
        std::string err;
        auto j = boxsim::Box::load_profile(name, err);
        EXPECT_TRUE(j) << err;
        return j ? *j : json::object();
    }
    ConsoleRun(const ConsoleRun &) = delete;
    ConsoleRun &operator=(const ConsoleRun &) = delete;
    ~ConsoleRun()
    {
        g_status.quit = 1;
        boxsim::clock::join(main_);
        // The tasks are never joined; the box stays for their last touches.
        (void)box.release();
    }

    // Waits for console_main to return; its status, or -1 when it did not.
    int wait_return(std::chrono::milliseconds timeout)
    {
        if (!boxtest::eventually([this] { return returned_.load(); }, timeout))
            return -1;
        boxsim::clock::join(main_);
        return status_;
    }

    size_t blits() const { return boxsim::fb_presented_frames(*box); }

    // Whether the presented TV shows this box of an area: `bg` with `text`
    // centred in black. The console draws its areas opaque in a 1280 x 720
    // mode, and an opaque pixel of that mode is what the TV shows there, so
    // only the area's own pixels of the framebuffer are read, never the
    // whole TV composed.
    bool tv_box_is(int x, int y, int w, int h, const char *text, uint32_t bg)
    {
        auto area = boxsim::fb_presented_area(*box, x, y, w, h);
        if (!area || area->mode_width != 1280 || area->mode_height != 720)
            return false;
        const std::vector<uint32_t> &ref = area_picture(x, y, w, h, text, bg);
        for (int row = 0; row < h; ++row)
            for (int col = 0; col < w; ++col) {
                uint32_t px = area->pixels.at(col, row);
                if ((px >> 24) != 0xFF || (px & 0xFFFFFF) != (ref[static_cast<size_t>(row) * 1280 + x + col] & 0xFFFFFF))
                    return false;
            }
        return true;
    }

    // Looked at every 50 ms, and again only after a new frame was
    // presented.
    bool until_tv_box(int x, int y, int w, int h, const char *text, uint32_t bg, std::chrono::milliseconds t = 5s)
    {
        size_t looked_at = 0;
        return boxtest::eventually(
            [&] {
                size_t frames = blits();
                if (frames == looked_at)
                    return false;
                looked_at = frames;
                return tv_box_is(x, y, w, h, text, bg);
            },
            t, kPictureStep);
    }
    static constexpr std::chrono::milliseconds kPictureStep{50};

    // Device nodes the system opened and not closed again, by path.
    std::map<std::string, int> open_devices() const
    {
        std::map<std::string, int> open;
        box->trace().for_each([&](const json &e) {
            std::string op = e.value("op", "");
            std::string path = e.contains("path") && e["path"].is_string() ? e["path"].get<std::string>() : "";
            if (!path.starts_with("/dev/"))
                return;
            if (op == "open" && e.value("result", -1) >= 0)
                ++open[path];
            else if (op == "close" && --open[path] == 0)
                open.erase(path);
        });
        return open;
    }

    std::unique_ptr<boxsim::Box> box;
    bool started = false;

private:
    // The rows of the screen as the area of that text would draw them, made
    // once per area. The text lands in its box alone, at any height alike,
    // so the box's rows are enough; the surface keeps the screen's width,
    // which picks the font.
    const std::vector<uint32_t> &area_picture(int x, int y, int w, int h, const char *text, uint32_t bg)
    {
        std::string key = std::to_string(x) + "," + std::to_string(y) + "," + std::to_string(w) + "," +
                          std::to_string(h) + "," + std::to_string(bg) + "," + text;
        auto it = areas_.find(key);
        if (it != areas_.end())
            return it->second;
        std::vector<uint32_t> ref(1280u * h, bg);
        boxtest::with_font([&] {
            BMF_DrawText(ref.data(), 1280, h, 32, x, 0, w, h, text, BMF_ALIGN_CENTER, 0xFF000000, bg);
        });
        return areas_.emplace(key, std::move(ref)).first->second;
    }
    std::map<std::string, std::vector<uint32_t>> areas_;
    std::thread main_;
    std::atomic<bool> returned_{false};
    int status_ = -1;
};

// Writes a picture next to the test's other outputs, for a person to look at.
inline void save(boxsim::Box &box, const char *picture, const std::string &file)
{
    if (auto img = boxsim::picture(box, picture))
        boxsim::write_png(*img, file);
}

} // namespace consolerun
