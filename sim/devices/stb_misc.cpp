// The box's small driver files that the test console reads and writes:
//   /proc/stb/fp/oled_brightness  front-panel brightness (0 at boot)
//   /proc/stb/fp/temp_sensor      the board's temperature sensor (21 at boot)
//   /proc/uptime                  seconds since boot and idle seconds, following
//                                 the box's clock
//   /proc/stb/dbg                 the panel driver's debug commands: "dev_lcd
//                                 white" paints the LCD white
// A profile sets other values at boot through "files" (which come first);
// "uptime_at_start_s" (a number) says how long the box had been up when the
// simulation began.
#include "core/box.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <vector>

namespace boxsim {

namespace {

void add_default(Box &box, const std::string &path, const std::string &content)
{
    if (!box.exists(path))
        box.add_file(path, content);
}

// The white frame, made once per size: the console paints the LCD white
// after nearly every key once the button test is complete.
struct WhiteFrame {
    std::mutex m;
    std::shared_ptr<const std::vector<uint8_t>> bytes;
};

// What the driver does for "dev_lcd white": a white frame of the panel's
// geometry into the LCD, the way the driver itself would paint it.
void lcd_white(Box &box)
{
    auto hex = [&](const char *p) { return static_cast<int>(strtol(box.read_file(p).c_str(), nullptr, 16)); };
    int xres = hex("/proc/stb/lcd/xres"), yres = hex("/proc/stb/lcd/yres"), bpp = hex("/proc/stb/lcd/bpp");
    if (xres <= 0 || yres <= 0 || (bpp != 16 && bpp != 24) || xres > 4096 || yres > 4096)
        return;
    const size_t len = static_cast<size_t>(xres) * yres * bpp / 8;
    std::shared_ptr<const std::vector<uint8_t>> frame;
    {
        WhiteFrame &white = box.part<WhiteFrame>();
        std::lock_guard<std::mutex> g(white.m);
        if (!white.bytes || white.bytes->size() != len)
            white.bytes = std::make_shared<const std::vector<uint8_t>>(len, 0xFF);
        frame = white.bytes;
    }
    int err = 0;
    // The shell command's own open: no descriptor of the system's.
    if (FileRef of = box.open_file("/dev/lcd0", O_WRONLY, err))
        of->node->write(*of, frame->data(), frame->size());
}

void install_stb_misc(Box &box, const json &profile)
{
    add_default(box, "/proc/stb/fp/oled_brightness", "0\n");
    add_default(box, "/proc/stb/fp/temp_sensor", "21\n");
    double base = 0;
    if (profile.is_object() && profile.contains("uptime_at_start_s") && profile["uptime_at_start_s"].is_number())
        base = profile["uptime_at_start_s"].get<double>();
    Box *b = &box;
    auto up = box.add_file("/proc/uptime");
    up->read_only = true;
    up->generate = [b, base] {
        double t = base + static_cast<double>(b->now_ms()) / 1000.0;
        char text[64];
        snprintf(text, sizeof text, "%.2f %.2f\n", t, t * 0.9);
        return std::string(text);
    };
    auto dbg = box.add_file("/proc/stb/dbg");
    dbg->on_write = [b](const std::string &content) {
        std::string cmd = content;
        while (!cmd.empty() && (cmd.back() == '\n' || cmd.back() == ' '))
            cmd.pop_back();
        b->trace().record({{"op", "dbg"}, {"cmd", cmd}});
        if (cmd == "dev_lcd white")
            lcd_white(*b);
    };
}

BOXSIM_REGISTER({ register_module({"stb_misc", 150, install_stb_misc, nullptr}); });

} // namespace
} // namespace boxsim
