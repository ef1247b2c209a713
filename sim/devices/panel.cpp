// The simulated front panel: graphic LCD, text display, LEDs and the key
// pictures the panel's software ships under /root/bmp/.
#include "devices/panel.h"

#include "core/box.h"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <fcntl.h>
#include <mutex>

namespace boxsim {

namespace {

// Every text the display and every value the LEDs were given is kept; a run
// of days would still stay far below this, and beyond it the oldest go.
constexpr size_t kHistoryLimit = 100000;

struct PanelState {
    std::mutex m;
    std::optional<LcdFrame> last;
    uint64_t frames = 0;
    uint64_t bad_frames = 0;
    std::string display;
    std::vector<std::string> display_history;
    std::array<int, 2> leds{0, 0};
    std::vector<LedWrite> led_history;
};

template <class T> void keep(std::vector<T> &history, T item)
{
    if (history.size() >= kHistoryLimit)
        history.erase(history.begin(), history.begin() + static_cast<long>(kHistoryLimit / 2));
    history.push_back(std::move(item));
}

// A value of a geometry file (hexadecimal text), 0 when it holds none.
int read_hex(Box &box, const char *path)
{
    std::string s = box.read_file(path);
    char *end = nullptr;
    long v = strtol(s.c_str(), &end, 16);
    if (end == s.c_str() || v < 0 || v > 1 << 20)
        return 0;
    return static_cast<int>(v);
}

struct Geometry {
    int xres, yres, bpp;
    size_t frame_len() const
    {
        return static_cast<size_t>(xres) * static_cast<size_t>(yres) * static_cast<size_t>(bpp) / 8;
    }
};

Geometry geometry(Box &box)
{
    return {read_hex(box, "/proc/stb/lcd/xres"), read_hex(box, "/proc/stb/lcd/yres"),
            read_hex(box, "/proc/stb/lcd/bpp")};
}

std::string hash_text(uint64_t h)
{
    char buf[24];
    snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

// /dev/lcd0: takes whole frames of the geometry its files give.
class LcdDevice : public Device {
public:
    explicit LcdDevice(Box &box) : box_(box) {}

    ssize_t write(OpenFile &of, const void *buf, size_t len) override
    {
        if ((of.flags & O_ACCMODE) == O_RDONLY)
            return -EBADF;
        Geometry g = geometry(box_);
        auto &st = box_.part<PanelState>();
        {
            std::lock_guard<std::mutex> lock(st.m);
            if (len == 0 || len != g.frame_len()) {
                ++st.bad_frames;
                return -EINVAL;
            }
            // Into the last frame's own memory: frames keep their size, and
            // the console writes the same white frame after nearly every
            // key once its button test is done, so a frame equal to the last
            // one is neither copied nor hashed again.
            const auto *p = static_cast<const uint8_t *>(buf);
            const bool same = st.last && st.last->xres == g.xres && st.last->yres == g.yres &&
                              st.last->bpp == g.bpp && st.last->bytes.size() == len &&
                              same_bytes(st.last->bytes.data(), p, len);
            LcdFrame &f = st.last ? *st.last : st.last.emplace();
            if (!same) {
                f.xres = g.xres;
                f.yres = g.yres;
                f.bpp = g.bpp;
                f.bytes.assign(p, p + len);
                f.hash = frame_hash(p, len);
            }
            f.number = ++st.frames;
        }
        box_.changed();
        return static_cast<ssize_t>(len);
    }

    // Frames go into the trace as their number and hash, never as bytes.
    void describe_write(const void *buf, size_t len, json &ev) const override
    {
        Geometry g = geometry(box_);
        if (len == 0 || len != g.frame_len()) {
            ev["bad_frame"] = true;
            ev["expected"] = g.frame_len();
            return;
        }
        // Mostly the frame just taken: its hash is known, and comparing
        // costs less than hashing.
        const auto *p = static_cast<const uint8_t *>(buf);
        auto &st = box_.part<PanelState>();
        std::lock_guard<std::mutex> lock(st.m);
        const bool last = st.last && st.last->bytes.size() == len && same_bytes(st.last->bytes.data(), p, len);
        ev["hash"] = hash_text(last ? st.last->hash : frame_hash(p, len));
        ev["frame"] = st.frames;
    }

private:
    Box &box_;
};

// /dev/mcu: a short text display; every write is one text.
class DisplayDevice : public Device {
public:
    explicit DisplayDevice(Box &box) : box_(box) {}

    ssize_t write(OpenFile &of, const void *buf, size_t len) override
    {
        if ((of.flags & O_ACCMODE) == O_RDONLY)
            return -EBADF;
        std::string text(static_cast<const char *>(buf), len);
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        if (!text.empty() && text.back() == '\r')
            text.pop_back();
        auto &st = box_.part<PanelState>();
        {
            std::lock_guard<std::mutex> lock(st.m);
            st.display = text;
            keep(st.display_history, text);
        }
        box_.trace().record({{"op", "display"}, {"text", text}});
        box_.changed();
        return static_cast<ssize_t>(len);
    }

private:
    Box &box_;
};

void install_led(Box &box, int led, int initial)
{
    std::string path = "/proc/stb/fp/led" + std::to_string(led) + "_pattern";
    auto f = box.add_file(path, std::to_string(initial) + "\n");
    Box *b = &box;
    f->on_write = [b, led](const std::string &content) {
        char *end = nullptr;
        long v = strtol(content.c_str(), &end, 10);
        if (end == content.c_str())
            return;  // no number: the driver keeps its pattern
        auto &st = b->part<PanelState>();
        {
            std::lock_guard<std::mutex> lock(st.m);
            st.leds[static_cast<size_t>(led)] = static_cast<int>(v);
            keep(st.led_history, LedWrite{led, static_cast<int>(v)});
        }
        b->trace().record({{"op", "led"}, {"led", led}, {"value", v}});
        b->changed();
    };
    auto &st = box.part<PanelState>();
    std::lock_guard<std::mutex> lock(st.m);
    st.leds[static_cast<size_t>(led)] = initial;
}

// The BMP file of one key's picture at one panel size, drawn and encoded
// once per process, when a box first reads it.
std::string key_picture_file(int width, int height, const std::string &key)
{
    static std::mutex m;
    static std::map<std::string, std::string> made;
    std::string name = std::to_string(width) + "_" + key;
    std::lock_guard<std::mutex> lock(m);
    auto it = made.find(name);
    if (it == made.end())
        it = made.emplace(name, encode_bmp24(key_picture(key, width, height))).first;
    return it->second;
}

void install_panel(Box &box, const json &profile)
{
    if (!profile.is_object())
        return;
    if (profile.contains("lcd") && profile["lcd"].is_object()) {
        const json &lcd = profile["lcd"];
        auto value = [&](const char *key, int fallback) {
            return lcd.contains(key) && lcd[key].is_number_integer() ? lcd[key].get<int>() : fallback;
        };
        const struct {
            const char *path;
            int value;
        } files[] = {{"/proc/stb/lcd/xres", value("xres", 400)},
                     {"/proc/stb/lcd/yres", value("yres", 240)},
                     {"/proc/stb/lcd/bpp", value("bpp", 16)}};
        for (const auto &f : files) {
            char text[16];
            snprintf(text, sizeof text, "%x\n", static_cast<unsigned>(f.value));
            box.add_file(f.path, text)->read_only = true;
        }
        box.add_node("/dev/lcd0", std::make_shared<LcdDevice>(box));
        // The pictures of both panel widths the panel's software ships.
        const struct {
            int width, height;
        } sets[] = {{400, 240}, {220, 176}};
        for (const auto &set : sets)
            for (const auto &key : key_picture_names())
                box.add_file("/root/bmp/lcd" + std::to_string(set.width) + "_" + key + ".bmp")
                    ->set_content_later([set, key] { return key_picture_file(set.width, set.height, key); });
    }
    box.add_node("/dev/mcu", std::make_shared<DisplayDevice>(box));
    std::array<int, 2> initial{0, 0};
    if (profile.contains("leds") && profile["leds"].is_array())
        for (size_t i = 0; i < 2 && i < profile["leds"].size(); ++i)
            if (profile["leds"][i].is_number_integer())
                initial[i] = profile["leds"][i].get<int>();
    install_led(box, 0, initial[0]);
    install_led(box, 1, initial[1]);
}

void describe_panel(Box &box, json &state)
{
    Geometry g = geometry(box);
    auto &st = box.part<PanelState>();
    std::lock_guard<std::mutex> lock(st.m);
    json lcd = {{"xres", g.xres}, {"yres", g.yres}, {"bpp", g.bpp}, {"frames", st.frames},
                {"bad_frames", st.bad_frames}};
    if (st.last)
        lcd["hash"] = hash_text(st.last->hash);
    state["lcd"] = lcd;
    state["display"] = {{"text", st.display}, {"writes", st.display_history.size()}};
    state["leds"] = {st.leds[0], st.leds[1]};
}

inline uint8_t widen5(unsigned v) { return static_cast<uint8_t>((v << 3) | (v >> 2)); }
inline uint8_t widen6(unsigned v) { return static_cast<uint8_t>((v << 2) | (v >> 4)); }

BOXSIM_REGISTER({
    register_module({"panel", 100, install_panel, describe_panel});
    register_picture("lcd", [](Box &box) -> std::optional<Image> {
        auto f = lcd_frame(box);
        if (!f)
            return std::nullopt;
        return lcd_decode(*f);
    }, [](Box &box) -> std::optional<uint64_t> {
        // The last frame's hash (the panel's size does not change). None: 0.
        auto &st = box.part<PanelState>();
        std::lock_guard<std::mutex> lock(st.m);
        return st.last ? st.last->hash : 0;
    });
});

} // namespace

uint64_t frame_hash(const uint8_t *data, size_t len) { return hash_bytes(data, len); }

std::optional<LcdFrame> lcd_frame(Box &box)
{
    auto &st = box.part<PanelState>();
    std::lock_guard<std::mutex> lock(st.m);
    return st.last;
}

uint64_t lcd_frame_count(Box &box)
{
    auto &st = box.part<PanelState>();
    std::lock_guard<std::mutex> lock(st.m);
    return st.frames;
}

uint64_t lcd_bad_frame_count(Box &box)
{
    auto &st = box.part<PanelState>();
    std::lock_guard<std::mutex> lock(st.m);
    return st.bad_frames;
}

Image lcd_decode(const LcdFrame &f)
{
    Image img;
    img.width = f.xres;
    img.height = f.yres;
    size_t n = static_cast<size_t>(f.xres) * static_cast<size_t>(f.yres);
    img.argb.assign(n, 0xFF000000u);
    for (size_t i = 0; i < n; ++i) {
        uint32_t r = 0, g = 0, b = 0;
        if (f.bpp == 16 && i * 2 + 1 < f.bytes.size()) {
            unsigned v = (static_cast<unsigned>(f.bytes[i * 2]) << 8) | f.bytes[i * 2 + 1];
            r = widen5(v >> 11);
            g = widen6((v >> 5) & 0x3F);
            b = widen5(v & 0x1F);
        } else if (f.bpp == 24 && i * 3 + 2 < f.bytes.size()) {
            r = f.bytes[i * 3];
            g = f.bytes[i * 3 + 1];
            b = f.bytes[i * 3 + 2];
        }
        img.argb[i] = 0xFF000000u | (r << 16) | (g << 8) | b;
    }
    return img;
}

std::string display_text(Box &box)
{
    auto &st = box.part<PanelState>();
    std::lock_guard<std::mutex> lock(st.m);
    return st.display;
}

std::vector<std::string> display_history(Box &box)
{
    auto &st = box.part<PanelState>();
    std::lock_guard<std::mutex> lock(st.m);
    return st.display_history;
}

std::array<int, 2> led_values(Box &box)
{
    auto &st = box.part<PanelState>();
    std::lock_guard<std::mutex> lock(st.m);
    return st.leds;
}

std::vector<LedWrite> led_history(Box &box)
{
    auto &st = box.part<PanelState>();
    std::lock_guard<std::mutex> lock(st.m);
    return st.led_history;
}

} // namespace boxsim
