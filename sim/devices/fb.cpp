// The simulated framebuffer driver /dev/fb0.
//
// It behaves like the box's framebuffer driver: the standard screen
// information requests with the Linux records, memory of smem_len bytes that
// the system maps and draws into, and the driver's own manual presentation:
// after FBIO_SET_MANUAL_BLIT nothing is shown until FBIO_BLIT copies the
// first page to the presented frame, which is what a person sees on the TV.
// The driver presents only on FBIO_BLIT; without the manual switch the real
// driver would also show memory as it is drawn, which no test relies on.
#include "devices/fb.h"
#include "devices/profile_keys.h"
#include "devices/video_plane.h"

#include "core/box.h"
#include "core/image.h"
#include "core/sanitizer.h"
#include "platform/box_abi.h"

#include <linux/fb.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace boxsim {

namespace {

constexpr const char *kPath = "/dev/fb0";
constexpr uint32_t kDefaultMemory = 1280u * 1440u * 4u;

std::string hex64(uint64_t v)
{
    char buf[20];
    snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
    return buf;
}

// A colour field of `bits` bits scaled to 8 bits (full field, full byte).
uint8_t widen(uint32_t v, uint32_t bits)
{
    if (bits == 0)
        return 0;
    if (bits >= 8)
        return static_cast<uint8_t>(v >> (bits - 8));
    uint32_t max = (1u << bits) - 1;
    return static_cast<uint8_t>((v * 255 + max / 2) / max);
}

void set_layout(fb_var_screeninfo &v)
{
    auto set = [](fb_bitfield &f, uint32_t off, uint32_t len) {
        f.offset = off;
        f.length = len;
        f.msb_right = 0;
    };
    if (v.bits_per_pixel == 16) {
        set(v.transp, 15, 1);
        set(v.red, 10, 5);
        set(v.green, 5, 5);
        set(v.blue, 0, 5);
    } else {
        set(v.transp, 24, 8);
        set(v.red, 16, 8);
        set(v.green, 8, 8);
        set(v.blue, 0, 8);
    }
}

// The driver's state, one per box.
struct FbState {
    std::mutex m;
    uint32_t memory = kDefaultMemory;
    bool installed = false;
    // The driver has registered the device: on a static /dev the node is
    // there before, and opening it fails with ENODEV until then.
    bool loaded = true;
    // The device memory, what mmap hands out: zero (black) until drawn, and
    // made only when first mapped or presented, since most boxes of the
    // tests never draw and a zeroed 7 MB block per box cost more than the
    // rest of their start.
    struct FreeMemory {
        void operator()(unsigned char *p) const { free(p); }
    };
    std::unique_ptr<unsigned char, FreeMemory> mem;
    unsigned char *memory_bytes()
    {
        if (!mem)
            mem.reset(static_cast<unsigned char *>(calloc(memory, 1)));
        return mem.get();
    }
    fb_var_screeninfo var{};
    fb_fix_screeninfo fix{};
    bool manual = false;
    bool single_page_only = false;
    uint32_t force_bpp = 0;
    bool refuse_modes = false;
    uint32_t line_align = 0;     // line_length rounded up to a multiple of this
    uint32_t round_xres = 0;     // xres rounded up to a multiple of this
    uint32_t round_yres = 0;     // yres rounded up to a multiple of this
    bool smem_per_mode = false;  // smem_len is what the mode set uses
    std::map<std::string, int> failures;  // request name -> errno

    // Presented frame: the page's bytes as FBIO_BLIT found them, with the
    // mode they were drawn in and a hash per row; turned into a picture only
    // when one is asked for.
    long blits = 0;
    fb_var_screeninfo shown_var{};
    uint32_t shown_line = 0;
    std::vector<unsigned char> shown_raw;
    std::vector<uint64_t> row_hashes;
    uint64_t shown_hash = 0;
    long picture_blit = 0;  // the blit `picture` was made from
    std::vector<uint32_t> picture;
    // Per row of the presented frame: copied by a blit since `picture` was
    // made, so that only such rows are made again; and the mode `picture`
    // was made in.
    std::vector<char> picture_stale;
    fb_var_screeninfo picture_var{};

    // A driver that loads late: the node appears from this thread.
    std::mutex appear_m;
    CondVar appear_cv;
    bool stop = false;
    std::thread appear;

    ~FbState()
    {
        // Box parts go before the file tree and the trace, so the thread may
        // still add the node while it is told to stop.
        {
            std::lock_guard<std::mutex> g(appear_m);
            stop = true;
        }
        appear_cv.notify_all();
        boxsim::clock::join(appear);
    }

    int failure(const std::string &name)
    {
        auto it = failures.find(name);
        return it == failures.end() ? 0 : it->second;
    }

    // The line length of a mode: its pixels' bytes, padded to the driver's
    // alignment.
    uint32_t line_for(const fb_var_screeninfo &v) const
    {
        uint64_t line = static_cast<uint64_t>(v.xres_virtual) * (v.bits_per_pixel / 8);
        if (line_align > 1)
            line = (line + line_align - 1) / line_align * line_align;
        return line > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(line);
    }

    void set_fix_for_mode()
    {
        fix.line_length = line_for(var);
        fix.visual = FB_VISUAL_TRUECOLOR;
        // A driver that allocates memory per mode reports what this mode
        // takes; mmap then reaches no further.
        if (smem_per_mode)
            fix.smem_len = static_cast<uint32_t>(
                std::min<uint64_t>(static_cast<uint64_t>(fix.line_length) * var.yres_virtual, memory));
    }

    // Copies the visible page to the presented frame (caller holds m).
    //
    // Every blit pays for this, and most blits present a page that differs
    // from the last one in a few rows or not at all. So the frame is kept
    // row by row with a hash per row: a row that compares equal to what is
    // shown costs one memcmp, and only changed rows are copied and hashed
    // again. The frame's hash is the hash of its row hashes and the mode, so
    // it depends on the presented bytes alone, never on the blits before.
    void present()
    {
        const uint32_t line = fix.line_length;
        const uint64_t start = static_cast<uint64_t>(var.yoffset) * line;
        uint64_t end = start + static_cast<uint64_t>(var.yres) * line;
        if (end > memory)
            end = memory;  // rows past the memory stay black
        const unsigned char *base = memory_bytes();
        const size_t size = base && end > start ? static_cast<size_t>(end - start) : 0;
        const size_t row_len = line ? line : (size ? size : 1);
        const size_t rows = (size + row_len - 1) / row_len;
        const unsigned char *page = base + (size ? start : 0);
        const bool same_layout = shown_raw.size() == size && shown_line == line && row_hashes.size() == rows;
        shown_var = var;
        shown_line = line;
        if (!same_layout) {
            shown_raw.assign(page, page + size);
            row_hashes.assign(rows, 0);
            picture_stale.assign(rows, 1);
        }
        // Rows are compared a band at a time first: one memcmp call per band
        // of unchanged rows instead of one per row.
        constexpr size_t kBand = 16;
        for (size_t band = 0; band < rows; band += kBand) {
            const size_t band_at = band * row_len, band_len = std::min(kBand * row_len, size - band_at);
            if (same_layout && same_bytes(shown_raw.data() + band_at, page + band_at, band_len))
                continue;
            for (size_t r = band; r < std::min(rows, band + kBand); ++r) {
                const size_t at = r * row_len, len = std::min(row_len, size - at);
                if (same_layout && same_bytes(shown_raw.data() + at, page + at, len))
                    continue;
                memcpy(shown_raw.data() + at, page + at, len);
                row_hashes[r] = hash_bytes(page + at, len, r);
                picture_stale[r] = 1;
            }
        }
        const uint64_t seed = (static_cast<uint64_t>(var.xres) << 48) ^ (static_cast<uint64_t>(var.yres) << 32) ^
                              (static_cast<uint64_t>(var.bits_per_pixel) << 24) ^
                              (static_cast<uint64_t>(var.red.offset) << 16) ^ (var.transp.length << 8) ^ line;
        shown_hash = hash_bytes(reinterpret_cast<const unsigned char *>(row_hashes.data()),
                                row_hashes.size() * sizeof(uint64_t), seed ^ size);
        ++blits;
    }

    // Pixels [x0, x0 + n) of row y of the presented frame as 0xAARRGGBB;
    // black past the memory (caller holds m).
    void shown_row(int y, int x0, int n, uint32_t *out) const
    {
        const fb_var_screeninfo &v = shown_var;
        const size_t bpp = v.bits_per_pixel / 8;
        const unsigned char *bytes = shown_raw.data();
        const uint64_t size = shown_raw.size();
        const uint64_t row = static_cast<uint64_t>(y) * shown_line;
        for (int i = 0; i < n; ++i) {
            uint64_t at = row + static_cast<uint64_t>(x0 + i) * bpp;
            if (at + bpp > size) {
                std::fill(out + i, out + n, 0xFF000000u);
                return;
            }
            uint32_t px = 0;
            if (bpp == 4) {
                memcpy(&px, bytes + at, 4);
            } else {
                uint16_t s;
                memcpy(&s, bytes + at, 2);
                px = s;
            }
            uint32_t a = v.transp.length
                             ? widen((px >> v.transp.offset) & ((1u << v.transp.length) - 1), v.transp.length)
                             : 0xFF;
            uint32_t r = widen((px >> v.red.offset) & ((1u << v.red.length) - 1), v.red.length);
            uint32_t g = widen((px >> v.green.offset) & ((1u << v.green.length) - 1), v.green.length);
            uint32_t b = widen((px >> v.blue.offset) & ((1u << v.blue.length) - 1), v.blue.length);
            out[i] = (a << 24) | (r << 16) | (g << 8) | b;
        }
    }

    // The presented frame as 0xAARRGGBB pixels (caller holds m).
    //
    // The page and the TV ask for it after most blits, and a blit mostly
    // changes a few rows: while the mode is the one the picture was made in
    // and each row of the picture is read from a line of the frame of its
    // own (none past the memory), only the rows copied since are made again.
    const std::vector<uint32_t> &shown_picture()
    {
        if (picture_blit == blits)
            return picture;
        const int w = static_cast<int>(shown_var.xres), h = static_cast<int>(shown_var.yres);
        const fb_var_screeninfo &a = picture_var, &b = shown_var;
        auto same_field = [](const fb_bitfield &x, const fb_bitfield &y) {
            return x.offset == y.offset && x.length == y.length;
        };
        const bool rows_only = picture.size() == static_cast<size_t>(w) * h && a.xres == b.xres &&
                               a.yres == b.yres && a.bits_per_pixel == b.bits_per_pixel &&
                               same_field(a.red, b.red) && same_field(a.green, b.green) &&
                               same_field(a.blue, b.blue) && same_field(a.transp, b.transp) && shown_line != 0 &&
                               static_cast<uint64_t>(w) * (b.bits_per_pixel / 8) <= shown_line &&
                               picture_stale.size() == static_cast<size_t>(h);
        picture.resize(static_cast<size_t>(w) * h);
        for (int y = 0; y < h; ++y)
            if (!rows_only || picture_stale[static_cast<size_t>(y)])
                shown_row(y, 0, w, &picture[static_cast<size_t>(y) * w]);
        std::fill(picture_stale.begin(), picture_stale.end(), 0);
        picture_var = shown_var;
        picture_blit = blits;
        return picture;
    }
};

void note_mode(json &ev, const fb_var_screeninfo &v)
{
    ev["xres"] = v.xres;
    ev["yres"] = v.yres;
    ev["bpp"] = v.bits_per_pixel;
    ev["yres_virtual"] = v.yres_virtual;
}

class FbDevice : public Device {
public:
    explicit FbDevice(FbState &s) : s_(s) {}

    int open(OpenFile &) override
    {
        std::lock_guard<std::mutex> g(s_.m);
        return s_.loaded ? 0 : -ENODEV;
    }

    int ioctl(OpenFile &, unsigned long req, unsigned long arg, json &ev) override
    {
        const char *name = box_abi::request_name("fb", static_cast<uint32_t>(req));
        if (!name)
            return -ENOTTY;
        ev["name"] = name;
        std::lock_guard<std::mutex> g(s_.m);
        if (int err = s_.failure(name))
            return -err;
        void *p = reinterpret_cast<void *>(arg);
        switch (static_cast<uint32_t>(req)) {
        case box_abi::FBIOGET_VSCREENINFO:
            if (!p)
                return -EFAULT;
            memcpy(p, &s_.var, sizeof s_.var);
            note_mode(ev, s_.var);
            return 0;
        case box_abi::FBIOPUT_VSCREENINFO: {
            if (!p)
                return -EFAULT;
            fb_var_screeninfo want;
            memcpy(&want, p, sizeof want);
            note_mode(ev, want);
            int r = check_mode(want);
            if (r < 0)
                return r;
            s_.var = want;
            s_.set_fix_for_mode();
            memcpy(p, &s_.var, sizeof s_.var);  // what was set
            ev["set"] = json::object();
            note_mode(ev["set"], s_.var);
            return 0;
        }
        case box_abi::FBIOGET_FSCREENINFO:
            if (!p)
                return -EFAULT;
            memcpy(p, &s_.fix, sizeof s_.fix);
            ev["smem_len"] = s_.fix.smem_len;
            ev["line_length"] = s_.fix.line_length;
            return 0;
        case box_abi::FBIO_SET_MANUAL_BLIT: {
            if (!p)
                return -EFAULT;
            unsigned char v = *static_cast<unsigned char *>(p);
            s_.manual = v != 0;
            ev["value"] = v;
            return 0;
        }
        case box_abi::FBIO_BLIT:
            s_.present();
            ev["blit"] = s_.blits;
            ev["hash"] = hex64(s_.shown_hash);
            return 0;
        }
        return -ENOTTY;
    }

    void *mmap(OpenFile &, size_t len, off_t off, int &err) override
    {
        std::lock_guard<std::mutex> g(s_.m);
        if (int e = s_.failure("mmap")) {
            err = e;
            return nullptr;
        }
        // As fb_mmap: the memory the driver reports now, in whole pages.
        const uint64_t mappable = (static_cast<uint64_t>(s_.fix.smem_len) + 4095) / 4096 * 4096;
        if (len == 0 || off < 0 || static_cast<uint64_t>(off) + len > std::min<uint64_t>(mappable, s_.memory) ||
            off % 4096 != 0) {
            err = EINVAL;
            return nullptr;
        }
        unsigned char *base = s_.memory_bytes();
        if (!base) {
            err = ENOMEM;
            return nullptr;
        }
        return base + off;
    }

private:
    // What the driver accepts, adjusted the way Linux drivers adjust a mode:
    // a value that does not fit is rounded up, one too big is refused.
    int check_mode(fb_var_screeninfo &v)
    {
        if (s_.refuse_modes)
            return -EINVAL;
        if (s_.force_bpp)
            v.bits_per_pixel = s_.force_bpp;
        if (v.bits_per_pixel != 16 && v.bits_per_pixel != 32)
            return -EINVAL;
        if (v.xres == 0 || v.yres == 0 || v.xres > 8192 || v.yres > 8192)
            return -EINVAL;
        auto round_up = [](uint32_t value, uint32_t to) { return to > 1 ? (value + to - 1) / to * to : value; };
        const uint32_t asked_yres = v.yres;
        v.xres = round_up(v.xres, s_.round_xres);
        v.yres = round_up(v.yres, s_.round_yres);
        if (v.yres_virtual > asked_yres)  // pages of the rounded height
            v.yres_virtual = v.yres_virtual / asked_yres * v.yres;
        if (v.xres_virtual < v.xres)
            v.xres_virtual = v.xres;
        if (v.yres_virtual < v.yres)
            v.yres_virtual = v.yres;
        if (s_.single_page_only && v.yres_virtual > v.yres)
            return -EINVAL;
        uint64_t need = static_cast<uint64_t>(s_.line_for(v)) * v.yres_virtual;
        if (need > s_.memory)
            return -EINVAL;
        if (static_cast<uint64_t>(v.yoffset) + v.yres > v.yres_virtual || v.xoffset + v.xres > v.xres_virtual)
            return -EINVAL;
        set_layout(v);
        return 0;
    }

    FbState &s_;
};

int errno_of(const std::string &request) { return request == "mmap" ? ENOMEM : EIO; }

void install_fb(Box &box, const json &profile)
{
    // Every box made from a profile has the driver; an empty box is bare.
    if (!profile.is_object() || profile.empty())
        return;
    json cfg = json::object();
    if (profile.is_object() && profile.contains("framebuffer") && profile["framebuffer"].is_object())
        cfg = profile["framebuffer"];
    // A static /dev: the node is made with the file system, whether or not
    // the driver ever comes.
    std::string bad;
    const bool static_node = keys::get(cfg, "static_node", false, bad);
    const bool present = keys::get(cfg, "present", true, bad);
    if (!present && !static_node) {
        keys::report(box, "framebuffer", bad);
        return;
    }

    FbState &s = box.part<FbState>();
    uint64_t memory = keys::get(cfg, "memory", static_cast<uint64_t>(kDefaultMemory), bad);
    if (memory < 4096 || memory > (1u << 28))
        memory = kDefaultMemory;
    s.memory = static_cast<uint32_t>(memory);
    s.installed = true;

    s.single_page_only = keys::get(cfg, "single_page_only", false, bad);
    s.force_bpp = keys::get(cfg, "force_bpp", 0u, bad);
    s.refuse_modes = keys::get(cfg, "refuse_modes", false, bad);
    s.line_align = std::min(keys::get(cfg, "line_align", 0u, bad), 1u << 20);
    const json round = keys::get(cfg, "round_mode", json::object(), bad);
    s.round_xres = std::min(keys::get(round, "xres", 0u, bad), 4096u);
    s.round_yres = std::min(keys::get(round, "yres", 0u, bad), 4096u);
    s.smem_per_mode = keys::get(cfg, "smem_per_mode", false, bad);

    const json mode = keys::get(cfg, "mode", json::object(), bad);
    s.var.xres = s.var.xres_virtual = std::clamp(keys::get(mode, "xres", 720u, bad), 1u, 8192u);
    s.var.yres = s.var.yres_virtual = std::clamp(keys::get(mode, "yres", 576u, bad), 1u, 8192u);
    s.var.bits_per_pixel = keys::get(mode, "bpp", 32u, bad) == 16 ? 16 : 32;
    if (static_cast<uint64_t>(s.line_for(s.var)) * s.var.yres > s.memory) {
        s.var.xres = s.var.xres_virtual = 720;
        s.var.yres = s.var.yres_virtual = 576;
    }
    set_layout(s.var);
    s.var.height = s.var.width = static_cast<uint32_t>(-1);  // physical size unknown
    snprintf(s.fix.id, sizeof s.fix.id, "boxfb");
    s.fix.smem_start = 0x10000000;
    s.fix.smem_len = s.memory;
    s.fix.type = FB_TYPE_PACKED_PIXELS;
    s.fix.accel = FB_ACCEL_NONE;
    s.set_fix_for_mode();

    if (cfg.contains("fail") && cfg["fail"].is_array())
        for (const auto &f : cfg["fail"])
            if (f.is_string())
                s.failures[f.get<std::string>()] = errno_of(f.get<std::string>());

    auto node = std::make_shared<FbDevice>(s);
    double after = keys::get(cfg, "appear_after_s", 0.0, bad);
    if (!(after < 1e6))
        after = 1e6;
    keys::report(box, "framebuffer", bad);
    if (static_node) {
        s.loaded = present && after <= 0;
        box.add_node(kPath, node);
        if (!present || after <= 0)
            return;
    } else if (after <= 0) {
        box.add_node(kPath, node);
        return;
    }
    auto delay_ms = static_cast<int64_t>(after * 1000);
    s.appear = boxsim::clock::spawn("fb driver load", [&s, &box, node, delay_ms, static_node] {
        std::unique_lock<std::mutex> g(s.appear_m);
        if (s.appear_cv.wait_for_ms(g, delay_ms, [&] { return s.stop; }, "fb driver load"))
            return;
        // Only the file tree and the trace: they outlive the box's parts.
        if (static_node) {
            {
                std::lock_guard<std::mutex> lock(s.m);
                s.loaded = true;
            }
            box.trace().record({{"op", "device"}, {"path", kPath}, {"event", "loaded"}});
            return;
        }
        box.add_node(kPath, node);
        box.trace().record({{"op", "device"}, {"path", kPath}, {"event", "appeared"}});
    });
}

// The framebuffer's keys, looked at before a box is made.
std::string check_fb(const json &profile)
{
    if (!profile.is_object() || !profile.contains("framebuffer"))
        return "";
    const json &cfg = profile["framebuffer"];
    if (!cfg.is_object())
        return "framebuffer: not an object";
    using P = std::pair<const char *, bool>;
    using U = std::pair<const char *, uint32_t>;
    std::string bad = keys::wrong(cfg, P{"static_node", false}, P{"present", true}, P{"single_page_only", false},
                                  P{"refuse_modes", false}, P{"smem_per_mode", false}, U{"force_bpp", 0u},
                                  U{"line_align", 0u}, std::pair<const char *, uint64_t>{"memory", 0},
                                  std::pair<const char *, double>{"appear_after_s", 0.0},
                                  std::pair<const char *, json>{"mode", json::object()},
                                  std::pair<const char *, json>{"round_mode", json::object()});
    for (const char *sub : {"mode", "round_mode"})
        if (cfg.contains(sub) && cfg[sub].is_object())
            bad = keys::also(bad, keys::wrong(cfg[sub], U{"xres", 0u}, U{"yres", 0u}, U{"bpp", 0u}));
    return keys::verdict("framebuffer", bad);
}

void describe_fb(Box &box, json &state)
{
    FbState &s = box.part<FbState>();
    if (!s.installed)
        return;
    std::lock_guard<std::mutex> g(s.m);
    json tv = {{"blits", s.blits},
               {"xres", s.var.xres},
               {"yres", s.var.yres},
               {"bpp", s.var.bits_per_pixel},
               {"yres_virtual", s.var.yres_virtual},
               {"manual", s.manual},
               {"present", box.exists(kPath)},
               {"loaded", s.loaded && box.exists(kPath)},
               {"line_length", s.fix.line_length},
               {"smem_len", s.fix.smem_len}};
    if (s.blits)
        tv["hash"] = hex64(s.shown_hash);
    state["tv"] = tv;
}

// The framebuffer alone, as presented by the last FBIO_BLIT.
std::optional<Image> osd_picture(Box &box)
{
    FbState &s = box.part<FbState>();
    std::lock_guard<std::mutex> g(s.m);
    if (!s.blits)
        return std::nullopt;
    Image img;
    img.width = static_cast<int>(s.shown_var.xres);
    img.height = static_cast<int>(s.shown_var.yres);
    img.argb = s.shown_picture();
    return img;
}

// One framebuffer pixel over one video pixel by the framebuffer's alpha
// (both straight, not premultiplied); the result is opaque where the video
// is.
uint32_t over(uint32_t osd, uint32_t video)
{
    uint32_t a = osd >> 24, va = video >> 24;
    if (a == 255 || va == 0)
        return osd;
    uint32_t out_a = a + va * (255 - a) / 255;
    if (out_a == 0)
        return 0;
    uint32_t px = out_a << 24;
    for (int sh = 0; sh <= 16; sh += 8) {
        uint32_t c = (osd >> sh) & 0xFF, vc = (video >> sh) & 0xFF;
        uint32_t v = (c * a + vc * va * (255 - a) / 255 + out_a / 2) / out_a;
        px |= std::min(v, 255u) << sh;
    }
    return px;
}

// The presented frame (osd_width x osd_height pixels) over the video
// picture `out`, scaled to it. `out` is the caller's alone; the frame is
// read under the driver's lock, and copied out with memcpy elsewhere (the
// picture "osd"), where the race detector checks it.
BOXSIM_PRIVATE_PIXELS void over_video(const std::vector<uint32_t> &osd, int osd_width, int osd_height, Image &out)
{
    // The column of the framebuffer under each column of the output, worked
    // out once: tests and the page compose the TV many times a second.
    std::vector<int> column(static_cast<size_t>(out.width));
    for (int x = 0; x < out.width; ++x)
        column[static_cast<size_t>(x)] = x * osd_width / out.width;
    for (int y = 0; y < out.height; ++y) {
        const uint32_t *src = &osd[static_cast<size_t>(y * osd_height / out.height) * osd_width];
        uint32_t *dst = &out.argb[static_cast<size_t>(y) * out.width];
        for (int x = 0; x < out.width; ++x) {
            // Opaque framebuffer pixels cover the video; fully transparent
            // ones leave it as it is (what over() gives for them, cheaper).
            uint32_t o = src[column[static_cast<size_t>(x)]], a = o >> 24;
            if (a == 255 || (a == 0 && (dst[x] >> 24) == 0))
                dst[x] = o;
            else if (a != 0)
                dst[x] = over(o, dst[x]);
        }
    }
}

// The TV as a viewer sees it: the framebuffer over the video plane, as the
// box's video output mixes them. The framebuffer is scaled to the output
// where its mode differs. With nothing on the video plane it is the
// framebuffer alone.
std::optional<Image> tv_picture(Box &box)
{
    std::optional<Image> video = video_plane_picture(box);
    if (!video)
        return osd_picture(box);
    FbState &s = box.part<FbState>();
    std::lock_guard<std::mutex> g(s.m);
    if (!s.blits)
        return video;
    // Read in place, not copied out as the picture "osd" is.
    over_video(s.shown_picture(), static_cast<int>(s.shown_var.xres), static_cast<int>(s.shown_var.yres), *video);
    return video;
}

} // namespace

uint64_t fb_presented_frames(Box &box)
{
    FbState &s = box.part<FbState>();
    std::lock_guard<std::mutex> g(s.m);
    return static_cast<uint64_t>(s.blits);
}

std::optional<PresentedArea> fb_presented_area(Box &box, int x, int y, int w, int h)
{
    FbState &s = box.part<FbState>();
    std::lock_guard<std::mutex> g(s.m);
    const int mode_w = static_cast<int>(s.shown_var.xres), mode_h = static_cast<int>(s.shown_var.yres);
    if (!s.blits || x < 0 || y < 0 || w <= 0 || h <= 0 || x > mode_w - w || y > mode_h - h)
        return std::nullopt;
    PresentedArea area{mode_w, mode_h, Image{}};
    area.pixels.width = w;
    area.pixels.height = h;
    area.pixels.argb.resize(static_cast<size_t>(w) * h);
    for (int row = 0; row < h; ++row)
        s.shown_row(y + row, x, w, &area.pixels.argb[static_cast<size_t>(row) * w]);
    return area;
}

void fb_set_failure(Box &box, const std::string &request, int err)
{
    FbState &s = box.part<FbState>();
    std::lock_guard<std::mutex> g(s.m);
    if (err)
        s.failures[request] = err;
    else
        s.failures.erase(request);
}

// The TV's stamp: the presented frame's and the video plane's together; the
// frame's alone while the plane shows nothing, as the picture is then the
// frame alone.
static std::optional<uint64_t> tv_stamp(Box &box)
{
    std::optional<uint64_t> video = video_plane_stamp(box);
    if (!video)
        return std::nullopt;
    FbState &s = box.part<FbState>();
    std::lock_guard<std::mutex> g(s.m);
    const uint64_t frame = s.blits ? s.shown_hash : 0;
    if (*video == 0)
        return frame;
    const uint64_t both[2] = {frame, *video};
    return hash_bytes(reinterpret_cast<const unsigned char *>(both), sizeof both, 1) | 1;
}

BOXSIM_REGISTER({
    register_module({"framebuffer", 50, install_fb, describe_fb, check_fb});
    register_picture("tv", tv_picture, tv_stamp);
    // The presented frame's hash, over its bytes and mode: what the trace
    // names a frame by. No frame: 0.
    register_picture("osd", osd_picture, [](Box &box) -> std::optional<uint64_t> {
        FbState &s = box.part<FbState>();
        std::lock_guard<std::mutex> g(s.m);
        return s.blits ? s.shown_hash : 0;
    });
});

} // namespace boxsim
