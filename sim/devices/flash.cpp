// The flash partition /dev/mtdblock3 as a block device: the box keeps its
// network identity there (the MAC record at offset 0). The image may live in
// a file so that what the system programs survives the simulated box.
//
// The device is what the MTD block layer (mtdblock) makes of a NOR or NAND
// partition: flash is erased a whole erase block at a time, so a write into
// part of a block goes into a cache of that block (read from the flash
// first), and the cache reaches the flash, erase first, then program, when
// a write goes to another block, when the device is flushed (fsync, or every
// write of a descriptor opened O_SYNC) and when its last descriptor closes.
// An error at the last close reaches nobody, as on Linux. A power cut in the
// middle of an erase leaves the block erased (every byte 0xFF).
#include "core/box.h"
#include "devices/net.h"
#include "devices/profile_keys.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace boxsim {

namespace {

constexpr size_t kRecordSize = 142;
constexpr size_t kDefaultSize = 128 * 1024;  // one erase block: the identity partition

struct FlashState {
    std::mutex m;
    bool present = false;
    std::vector<unsigned char> data;  // what the flash chips hold
    std::string file;
    bool fail_read = false;
    bool fail_write = false;
    int writes = 0;
    std::string save_error;

    size_t erase_size = kDefaultSize;
    // mtdblock's cache: one erase block, read from the flash by the first
    // write into it and changed since.
    enum class Cache { empty, dirty } cache_state = Cache::empty;
    size_t cache_block = 0;
    std::vector<unsigned char> cache;
    int opens = 0;
    int erases = 0;       // erase-and-program cycles begun
    int cut_in = 0;       // the erase this many erases from now is cut (0: none)
    int cuts = 0;
    std::vector<int> cut_blocks;
    std::vector<json> events;  // trace lines to record once the lock is let go
};

std::vector<unsigned char> unhex(const std::string &text, bool &ok)
{
    std::vector<unsigned char> out;
    ok = text.size() % 2 == 0;
    for (size_t i = 0; ok && i < text.size(); i += 2) {
        unsigned v = 0;
        ok = sscanf(text.substr(i, 2).c_str(), "%2x", &v) == 1 && isxdigit(static_cast<unsigned char>(text[i])) &&
             isxdigit(static_cast<unsigned char>(text[i + 1]));
        out.push_back(static_cast<unsigned char>(v));
    }
    return out;
}

// The record as the box's factory writes it: the 12 bytes of the header, the
// address in eight slots, filler and the doubled checksum.
void put_record(std::vector<unsigned char> &data, const std::vector<unsigned char> &header, const unsigned char mac[6])
{
    std::fill(data.begin(), data.begin() + kRecordSize, 0xFF);
    std::copy(header.begin(), header.begin() + std::min<size_t>(12, header.size()), data.begin());
    for (int s = 0; s < 8; ++s) {
        std::copy(mac, mac + 6, data.begin() + 12 + s * 8);
        data[12 + s * 8 + 6] = 0;
        data[12 + s * 8 + 7] = 0;
    }
    unsigned sum = 0;
    for (size_t i = 0; i < 140; ++i)
        sum += data[i];
    data[140] = data[141] = static_cast<unsigned char>(sum);
}

// Writes the image next to its file and moves it into place, so a run that
// ends half-way leaves the old image.
bool save(FlashState &f)
{
    if (f.file.empty())
        return true;
    std::string tmp = f.file + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(f.data.data()), static_cast<std::streamsize>(f.data.size()));
        if (!out) {
            f.save_error = "cannot write " + tmp;
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(tmp, f.file, ec);
    if (ec)
        f.save_error = "cannot replace " + f.file + ": " + ec.message();
    return !ec;
}

// Erases one block and programs it with `bytes` (caller holds f.m). A cut
// armed for this erase leaves the block erased and fails with EIO.
int erase_write(FlashState &f, size_t block, const unsigned char *bytes)
{
    unsigned char *at = f.data.data() + block * f.erase_size;
    ++f.erases;
    if (f.cut_in > 0 && --f.cut_in == 0) {
        std::fill(at, at + f.erase_size, 0xFF);
        ++f.cuts;
        f.cut_blocks.push_back(static_cast<int>(block));
        f.events.push_back({{"op", "device"},
                            {"path", "/dev/mtdblock3"},
                            {"event", "power cut"},
                            {"erase_block", block},
                            {"erased", true}});
        save(f);
        return -EIO;
    }
    memcpy(at, bytes, f.erase_size);
    ++f.writes;
    return save(f) ? 0 : -EIO;
}

// Records what happened under the lock, after letting it go: a listener of
// the trace may look at the state, which takes the lock.
void record_events(Box &box, FlashState &f, std::unique_lock<std::mutex> &g)
{
    std::vector<json> events = std::move(f.events);
    f.events.clear();
    g.unlock();
    for (auto &e : events)
        box.trace().record(std::move(e));
}

// Writes the cached block out if it was changed; an EIO empties the cache,
// as mtdblock does, so a failed block is not written again and again.
int write_cached(FlashState &f)
{
    if (f.cache_state != FlashState::Cache::dirty)
        return 0;
    int r = erase_write(f, f.cache_block, f.cache.data());
    if (r == 0 || r == -EIO)
        f.cache_state = FlashState::Cache::empty;
    return r;
}

class FlashNode : public Device {
public:
    FlashNode(Box &box, FlashState &f) : box_(box), f_(f) {}
    mode_t kind() const override { return S_IFBLK; }
    off_t size() const override
    {
        std::lock_guard<std::mutex> g(f_.m);
        return static_cast<off_t>(f_.data.size());
    }
    int open(OpenFile &) override
    {
        std::lock_guard<std::mutex> g(f_.m);
        ++f_.opens;
        return 0;
    }
    // The last close writes the cache out; nobody hears of an error then.
    void release(OpenFile &) override
    {
        std::unique_lock<std::mutex> g(f_.m);
        if (--f_.opens > 0)
            return;
        write_cached(f_);
        f_.cache_state = FlashState::Cache::empty;
        record_events(box_, f_, g);
    }
    ssize_t read(OpenFile &of, void *buf, size_t len) override
    {
        if ((of.flags & O_ACCMODE) == O_WRONLY)
            return -EBADF;
        std::lock_guard<std::mutex> g(f_.m);
        if (f_.fail_read)
            return -EIO;
        if (of.offset >= static_cast<off_t>(f_.data.size()))
            return 0;
        size_t n = std::min(len, f_.data.size() - static_cast<size_t>(of.offset));
        // What the cache holds is what the device reads.
        for (size_t done = 0; done < n;) {
            const size_t pos = static_cast<size_t>(of.offset) + done, block = pos / f_.erase_size;
            const size_t in_block = std::min(n - done, (block + 1) * f_.erase_size - pos);
            const bool cached = f_.cache_state != FlashState::Cache::empty && f_.cache_block == block;
            const unsigned char *from = cached ? f_.cache.data() + (pos - block * f_.erase_size) : f_.data.data() + pos;
            memcpy(static_cast<unsigned char *>(buf) + done, from, in_block);
            done += in_block;
        }
        of.offset += static_cast<off_t>(n);
        return static_cast<ssize_t>(n);
    }
    // A block device takes what fits before its end and then reports ENOSPC.
    // A write of a descriptor opened O_SYNC flushes the cache before it
    // returns, and fails with the flush's error.
    ssize_t write(OpenFile &of, const void *buf, size_t len) override
    {
        if ((of.flags & O_ACCMODE) == O_RDONLY)
            return -EBADF;
        std::unique_lock<std::mutex> g(f_.m);
        ssize_t r = write_locked(of, buf, len);
        record_events(box_, f_, g);
        return r;
    }
    void describe_write(const void *buf, size_t len, json &ev) const override
    {
        const auto *p = static_cast<const unsigned char *>(buf);
        ev["hex"] = net::hex(std::vector<unsigned char>(p, p + std::min<size_t>(len, 256)));
    }

private:
    ssize_t write_locked(OpenFile &of, const void *buf, size_t len)
    {
        if (f_.fail_write)
            return -EIO;
        if (of.offset >= static_cast<off_t>(f_.data.size()))
            return len ? -ENOSPC : 0;
        size_t n = std::min(len, f_.data.size() - static_cast<size_t>(of.offset));
        const auto *src = static_cast<const unsigned char *>(buf);
        for (size_t done = 0; done < n;) {
            const size_t pos = static_cast<size_t>(of.offset) + done, block = pos / f_.erase_size;
            const size_t start = block * f_.erase_size;
            const size_t size = std::min(n - done, start + f_.erase_size - pos);
            if (size == f_.erase_size) {
                // A whole block goes to the flash at once, past the cache.
                if (f_.cache_state != FlashState::Cache::empty && f_.cache_block == block)
                    f_.cache_state = FlashState::Cache::empty;
                if (int r = erase_write(f_, block, src + done); r < 0)
                    return r;
            } else {
                if (f_.cache_state != FlashState::Cache::empty && f_.cache_block != block) {
                    if (int r = write_cached(f_); r < 0)
                        return r;
                    f_.cache_state = FlashState::Cache::empty;
                }
                if (f_.cache_state == FlashState::Cache::empty) {
                    f_.cache.assign(f_.data.begin() + static_cast<std::ptrdiff_t>(start),
                                    f_.data.begin() + static_cast<std::ptrdiff_t>(start + f_.erase_size));
                    f_.cache_block = block;
                }
                memcpy(f_.cache.data() + (pos - start), src + done, size);
                f_.cache_state = FlashState::Cache::dirty;
            }
            done += size;
        }
        of.offset += static_cast<off_t>(n);
        if ((of.flags & O_SYNC) == O_SYNC) {
            if (int r = write_cached(f_); r < 0)
                return r;
        }
        return static_cast<ssize_t>(n);
    }

    Box &box_;
    FlashState &f_;
};

void install_flash(Box &box, const json &profile)
{
    auto &f = box.part<FlashState>();
    json cfg = profile.is_object() && profile.contains("flash") && profile["flash"].is_object() ? profile["flash"]
                                                                                               : json::object();
    std::lock_guard<std::mutex> g(f.m);
    std::string bad;
    f.present = keys::get(cfg, "present", true, bad);
    if (!f.present) {
        keys::report(box, "flash", bad);
        return;
    }
    size_t size = kDefaultSize;
    if (cfg.contains("size") && cfg["size"].is_number_integer() && cfg["size"].get<long long>() > 0)
        size = static_cast<size_t>(std::min<long long>(cfg["size"].get<long long>(), 64LL << 20));
    f.data.assign(size, 0xFF);
    // The erase block: a whole number of them make the partition.
    f.erase_size = size;
    if (cfg.contains("erase_block") && cfg["erase_block"].is_number_integer()) {
        long long e = cfg["erase_block"].get<long long>();
        if (e >= 512 && e <= static_cast<long long>(size) && size % static_cast<size_t>(e) == 0)
            f.erase_size = static_cast<size_t>(e);
    } else if (size > kDefaultSize && size % kDefaultSize == 0) {
        f.erase_size = kDefaultSize;
    }
    if (cfg.contains("cut_erase") && cfg["cut_erase"].is_number_integer())
        f.cut_in = static_cast<int>(std::clamp<long long>(cfg["cut_erase"].get<long long>(), 0, 1000000));
    std::string fail = keys::get(cfg, "fail", std::string(), bad);
    f.fail_read = fail == "read";
    f.fail_write = fail == "write";

    bool ok = true;
    std::vector<unsigned char> header = unhex(keys::get(cfg, "header", std::string(), bad), ok);
    if (!ok)
        header.clear();
    unsigned char mac[6];
    if (size >= kRecordSize && cfg.contains("mac") && cfg["mac"].is_string() &&
        net::parse_mac(cfg["mac"].get<std::string>(), mac)) {
        header.resize(12, 0xFF);
        put_record(f.data, header, mac);
    }

    f.file = keys::get(cfg, "file", std::string(), bad);
    keys::report(box, "flash", bad);
    if (!f.file.empty()) {
        std::ifstream in(f.file, std::ios::binary);
        if (in) {
            std::vector<unsigned char> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            std::copy(image.begin(), image.begin() + std::min(image.size(), f.data.size()), f.data.begin());
        }
    }
    box.add_node("/dev/mtdblock3", std::make_shared<FlashNode>(box, f));
}

// The flash partition's keys, looked at before a box is made.
std::string check_flash(const json &profile)
{
    if (!profile.is_object() || !profile.contains("flash"))
        return "";
    const json &cfg = profile["flash"];
    if (!cfg.is_object())
        return "flash: not an object";
    using T = std::pair<const char *, std::string>;
    using N = std::pair<const char *, long long>;
    return keys::verdict("flash", keys::wrong(cfg, std::pair<const char *, bool>{"present", true}, T{"fail", ""},
                                              T{"header", ""}, T{"file", ""}, N{"size", 0}, N{"erase_block", 0},
                                              N{"cut_erase", 0}));
}

void describe_flash(Box &box, json &state)
{
    auto &f = box.part<FlashState>();
    std::lock_guard<std::mutex> g(f.m);
    json j = {{"present", f.present}};
    if (f.present) {
        j["size"] = f.data.size();
        j["writes"] = f.writes;
        j["erase_block"] = f.erase_size;
        j["erases"] = f.erases;
        j["cuts"] = f.cuts;
        j["cut_blocks"] = f.cut_blocks;
        j["cut_armed"] = f.cut_in;
        j["cached"] = f.cache_state == FlashState::Cache::dirty;
        std::vector<unsigned char> rec(f.data.begin(), f.data.begin() + std::min(kRecordSize, f.data.size()));
        j["mac_record"] = net::hex(rec);
        if (!f.file.empty())
            j["file"] = f.file;
        if (!f.save_error.empty())
            j["save_error"] = f.save_error;
    }
    state["flash"] = j;
}

} // namespace

namespace net {

std::vector<unsigned char> flash_read(Box &box, size_t offset, size_t len)
{
    auto &f = box.part<FlashState>();
    std::lock_guard<std::mutex> g(f.m);
    if (offset >= f.data.size())
        return {};
    len = std::min(len, f.data.size() - offset);
    return std::vector<unsigned char>(f.data.begin() + offset, f.data.begin() + offset + len);
}

std::vector<unsigned char> flash_record(Box &box) { return flash_read(box, 0, kRecordSize); }

std::string flash_record_mac(Box &box)
{
    auto rec = flash_record(box);
    if (rec.size() < kRecordSize)
        return "";
    unsigned sum = 0;
    for (size_t i = 0; i < 140; ++i)
        sum += rec[i];
    if (rec[140] != (sum & 0xFF) || rec[141] != rec[140])
        return "";
    return mac_text(&rec[12]);
}

} // namespace net

// `flash cut [N]`: the N-th erase of the flash from now (default the next)
// is cut by a power loss.
std::optional<ActionRun> parse_flash(const std::vector<std::string> &a, std::string &err)
{
    int n = 1;
    bool ok = !a.empty() && a.size() <= 2 && a[0] == "cut";
    if (ok && a.size() == 2) {
        char *end = nullptr;
        long v = strtol(a[1].c_str(), &end, 10);
        ok = !a[1].empty() && *end == 0 && v >= 1 && v <= 1000000;
        n = static_cast<int>(v);
    }
    if (!ok) {
        err = "expected cut [N]: the N-th erase from now (default 1) is cut by a power loss";
        return std::nullopt;
    }
    return ActionRun([n](Box &box) {
        auto &f = box.part<FlashState>();
        bool present;
        {
            std::lock_guard<std::mutex> g(f.m);
            present = f.present;
            if (present)
                f.cut_in = n;
        }
        json ev = {{"op", "event"}, {"what", "flash cut"}, {"erase", n}};
        if (!present)
            ev["result"] = "no flash";
        box.trace().record(std::move(ev));
    });
}

BOXSIM_REGISTER({
    register_module({"flash", 40, install_flash, describe_flash, check_flash});
    register_action({"flash", "flash cut [N]   (the N-th erase of the flash from now, default the next, loses power half-way: the block reads back erased)",
                     parse_flash});
});

} // namespace boxsim
