// The flash partition /dev/mtdblock3 as a block device: the box keeps its
// network identity there (the MAC record at offset 0). The image may live in
// a file so that what the system programs survives the simulated box.
#include "core/box.h"
#include "devices/net.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
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
    std::vector<unsigned char> data;
    std::string file;
    bool fail_read = false;
    bool fail_write = false;
    int writes = 0;
    std::string save_error;
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

class FlashNode : public Device {
public:
    explicit FlashNode(FlashState &f) : f_(f) {}
    mode_t kind() const override { return S_IFBLK; }
    off_t size() const override
    {
        std::lock_guard<std::mutex> g(f_.m);
        return static_cast<off_t>(f_.data.size());
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
        memcpy(buf, f_.data.data() + of.offset, n);
        of.offset += static_cast<off_t>(n);
        return static_cast<ssize_t>(n);
    }
    // A block device takes what fits before its end and then reports ENOSPC.
    ssize_t write(OpenFile &of, const void *buf, size_t len) override
    {
        if ((of.flags & O_ACCMODE) == O_RDONLY)
            return -EBADF;
        std::lock_guard<std::mutex> g(f_.m);
        if (f_.fail_write)
            return -EIO;
        if (of.offset >= static_cast<off_t>(f_.data.size()))
            return len ? -ENOSPC : 0;
        size_t n = std::min(len, f_.data.size() - static_cast<size_t>(of.offset));
        memcpy(f_.data.data() + of.offset, buf, n);
        of.offset += static_cast<off_t>(n);
        ++f_.writes;
        if (!save(f_))
            return -EIO;
        return static_cast<ssize_t>(n);
    }
    void describe_write(const void *buf, size_t len, json &ev) const override
    {
        const auto *p = static_cast<const unsigned char *>(buf);
        ev["hex"] = net::hex(std::vector<unsigned char>(p, p + std::min<size_t>(len, 256)));
    }

private:
    FlashState &f_;
};

void install_flash(Box &box, const json &profile)
{
    auto &f = box.part<FlashState>();
    json cfg = profile.is_object() && profile.contains("flash") && profile["flash"].is_object() ? profile["flash"]
                                                                                               : json::object();
    std::lock_guard<std::mutex> g(f.m);
    f.present = cfg.value("present", true);
    if (!f.present)
        return;
    size_t size = kDefaultSize;
    if (cfg.contains("size") && cfg["size"].is_number_integer() && cfg["size"].get<long long>() > 0)
        size = static_cast<size_t>(std::min<long long>(cfg["size"].get<long long>(), 64LL << 20));
    f.data.assign(size, 0xFF);
    std::string fail = cfg.value("fail", "");
    f.fail_read = fail == "read";
    f.fail_write = fail == "write";

    bool ok = true;
    std::vector<unsigned char> header = unhex(cfg.value("header", ""), ok);
    if (!ok)
        header.clear();
    unsigned char mac[6];
    if (size >= kRecordSize && cfg.contains("mac") && cfg["mac"].is_string() &&
        net::parse_mac(cfg["mac"].get<std::string>(), mac)) {
        header.resize(12, 0xFF);
        put_record(f.data, header, mac);
    }

    f.file = cfg.value("file", "");
    if (!f.file.empty()) {
        std::ifstream in(f.file, std::ios::binary);
        if (in) {
            std::vector<unsigned char> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            std::copy(image.begin(), image.begin() + std::min(image.size(), f.data.size()), f.data.begin());
        }
    }
    box.add_node("/dev/mtdblock3", std::make_shared<FlashNode>(f));
}

void describe_flash(Box &box, json &state)
{
    auto &f = box.part<FlashState>();
    std::lock_guard<std::mutex> g(f.m);
    json j = {{"present", f.present}};
    if (f.present) {
        j["size"] = f.data.size();
        j["writes"] = f.writes;
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

BOXSIM_REGISTER({ register_module({"flash", 40, install_flash, describe_flash}); });

} // namespace boxsim
