// The DVR playback input /dev/dvb0.dvr4 and the audio test file.
//
// The input is write-only. It holds what it is given in a bounded buffer
// that the A/V clock passes on to demultiplexer 4 at the profile's rate, as
// the decoder consumes it: a write takes what fits (short when nearly full,
// blocking while full unless O_NONBLOCK), poll reports POLLOUT from one
// packet of room. Everything passed on is checked as a transport stream;
// a write that begins with the first bytes written since the input was
// opened starts the file again, which the check is told, so that a looped
// recording's continuity breaks at its start are not taken for damage.
// An input whose rate is "unlimited" passes every write on at once: a
// consumer that is never behind, for measuring what feeds it.
#include "devices/av.h"

#include <fcntl.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

namespace boxsim {

namespace {

constexpr size_t kPacket = 188;
constexpr unsigned char kSync = 0x47;
constexpr int kNullPid = 0x1FFF;
constexpr int kAudioPid = 103;
constexpr int kPatPid = 0;
constexpr int kLastTablePid = 0x1F;  // PIDs up to here carry PSI and SI tables
// Faults traced one by one; the counters go on beyond.
constexpr uint64_t kTracedFaults = 50;

class DvrNode : public Device {
public:
    DvrNode(Box &box, AvState &s) : box_(box), s_(s) {}

    int open(OpenFile &of) override
    {
        if ((of.flags & O_ACCMODE) != O_WRONLY)
            return -EINVAL;  // a playback input: written only
        std::lock_guard<std::mutex> g(s_.m);
        if (s_.dvr.writers > 0)
            return -EBUSY;
        ++s_.dvr.writers;
        s_.dvr.head.clear();  // whatever is written next is a file's start
        return 0;
    }

    void release(OpenFile &) override
    {
        std::lock_guard<std::mutex> g(s_.m);
        --s_.dvr.writers;
    }

    ssize_t write(OpenFile &of, const void *buf, size_t len) override
    {
        if (len == 0)
            return 0;
        std::unique_lock<std::mutex> g(s_.m);
        const auto *bytes = static_cast<const unsigned char *>(buf);
        if (s_.dvr.unlimited) {
            note_start(bytes, len);
            dvr_pass_on(box_, s_, bytes, len, box_.now_ms());
            return static_cast<ssize_t>(len);
        }
        if (s_.dvr.room() == 0) {
            if (of.flags & O_NONBLOCK)
                return -EAGAIN;
            g.unlock();
            box_.wait_change(
                [this] {
                    std::lock_guard<std::mutex> g2(s_.m);
                    return s_.dvr.room() > 0 || box_.stopping();
                },
                clock::kNever, "DVR input full");
            g.lock();
            if (s_.dvr.room() == 0)
                return -EINTR;
        }
        size_t n = std::min(len, s_.dvr.room());
        note_start(bytes, n);
        s_.dvr.buffer.append(static_cast<const char *>(buf), n);
        return static_cast<ssize_t>(n);
    }

    short poll(OpenFile &, short events) override
    {
        std::lock_guard<std::mutex> g(s_.m);
        return s_.dvr.room() >= DvrInput::kRoom ? (events & POLLOUT_) : 0;
    }

    void describe_write(const void *, size_t, json &) const override {}

private:
    // Tells the check where the `n` bytes about to be taken begin the file
    // again (caller holds s_.m). The first write since the open is a start;
    // a later one is when it begins with that write's first packets (all of
    // them, or at least the first whole packet of a short write).
    void note_start(const unsigned char *p, size_t n)
    {
        DvrInput &d = s_.dvr;
        const uint64_t at = d.check.bytes + d.buffer.size();
        if (d.head.empty()) {
            d.head.assign(reinterpret_cast<const char *>(p), std::min(n, DvrInput::kHead));
            d.check.starts_again_at(at);
            return;
        }
        size_t m = std::min(n, d.head.size());
        if ((m == d.head.size() || m >= kPacket) && memcmp(p, d.head.data(), m) == 0)
            d.check.starts_again_at(at);
    }

    Box &box_;
    AvState &s_;
};

// ---------------------------------------------------------------------------
// Making the audio test file.

void put_packet(std::string &out, std::map<int, int> &cc, int pid, bool start, const unsigned char *payload,
                size_t len, bool first, bool mark)
{
    // Header, then an adaptation field where the first packet of a PID marks
    // its discontinuity or the payload needs stuffing.
    unsigned char pkt[kPacket];
    memset(pkt, 0xFF, sizeof pkt);
    pkt[0] = kSync;
    pkt[1] = static_cast<unsigned char>((start ? 0x40 : 0) | ((pid >> 8) & 0x1F));
    pkt[2] = static_cast<unsigned char>(pid & 0xFF);
    int &c = cc[pid];
    size_t room = kPacket - 4;
    bool adapt = first || len < room;
    size_t at = 4;
    if (adapt) {
        size_t af_len = room - len - 1;  // bytes after the length byte
        if (af_len == 0 && first)
            af_len = 1;  // a flags byte is needed to carry the mark
        pkt[4] = static_cast<unsigned char>(af_len);
        if (af_len > 0)
            pkt[5] = first && mark ? 0x80 : 0x00;
        at = 5 + af_len;
    }
    size_t take = std::min(len, kPacket - at);
    pkt[3] = static_cast<unsigned char>((adapt ? 0x30 : 0x10) | (c & 0x0F));
    c = (c + 1) & 0x0F;
    memcpy(pkt + at, payload, take);
    out.append(reinterpret_cast<const char *>(pkt), kPacket);
}

// Splits a PES packet or section into transport packets of `pid`.
void put_payload(std::string &out, std::map<int, int> &cc, std::map<int, bool> &seen, int pid, const std::string &data,
                 bool mark)
{
    size_t off = 0;
    bool start = true;
    while (off < data.size()) {
        bool first = !seen[pid];
        seen[pid] = true;
        size_t room = kPacket - 4 - (first ? 2 : 0);
        size_t n = std::min(room, data.size() - off);
        put_packet(out, cc, pid, start, reinterpret_cast<const unsigned char *>(data.data()) + off, n, first, mark);
        off += n;
        start = false;
    }
}

uint32_t crc32_mpeg(const unsigned char *d, size_t n)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t k = 0; k < n; ++k) {
        crc ^= static_cast<uint32_t>(d[k]) << 24;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

uint32_t crc32_mpeg(const std::string &d)
{
    return crc32_mpeg(reinterpret_cast<const unsigned char *>(d.data()), d.size());
}

std::string section(std::string body)
{
    std::string s;
    s += '\0';  // pointer field
    std::string sec = body;
    uint32_t crc = crc32_mpeg(sec);
    for (int i = 3; i >= 0; --i)
        sec += static_cast<char>((crc >> (8 * i)) & 0xFF);
    return s + sec;
}

std::string bytes(std::initializer_list<int> v)
{
    std::string s;
    for (int b : v)
        s += static_cast<char>(b);
    return s;
}

} // namespace

std::string make_audio_ts(int frames, int pad_to_packets, AudioTsForm form)
{
    std::string out;
    std::map<int, int> cc;
    std::map<int, bool> seen;
    const bool mark = form.marks_discontinuity;
    const int pmt = form.pmt_pid & 0x1FFF;
    // PAT: programme 1 at the PMT PID; PMT: MPEG-1 audio (type 3) on PID 103,
    // which also carries the PCR.
    put_payload(out, cc, seen, kPatPid,
                section(bytes({0x00, 0xB0, 13, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x01, 0xE0 | (pmt >> 8),
                               pmt & 0xFF})),
                mark);
    put_payload(out, cc, seen, pmt,
                section(bytes({0x02, 0xB0, 18, 0x00, 0x01, 0xC1, 0x00, 0x00, 0xE0, kAudioPid, 0xF0, 0x00, 0x03,
                               0xE0, kAudioPid, 0xF0, 0x00})),
                mark);
    constexpr int kFrameBytes = 384;  // 144 * 128000 / 48000
    for (int i = 0; i < frames; ++i) {
        uint64_t pts = 90000ull * 1152 * static_cast<uint64_t>(i) / 48000 + 90000;
        std::string pes = bytes({0x00, 0x00, 0x01, 0xC0});
        int len = 3 + 5 + kFrameBytes;
        pes += static_cast<char>(len >> 8);
        pes += static_cast<char>(len & 0xFF);
        pes += bytes({0x80, 0x80, 0x05});
        pes += static_cast<char>(0x21 | ((pts >> 29) & 0x0E));
        pes += static_cast<char>((pts >> 22) & 0xFF);
        pes += static_cast<char>(0x01 | ((pts >> 14) & 0xFE));
        pes += static_cast<char>((pts >> 7) & 0xFF);
        pes += static_cast<char>(0x01 | ((pts << 1) & 0xFE));
        // MPEG-1 Layer II, no CRC, 128 kbit/s, 48 kHz, stereo; all bit
        // allocations zero: silence.
        std::string frame(kFrameBytes, '\0');
        frame[0] = static_cast<char>(0xFF);
        frame[1] = static_cast<char>(0xFD);
        frame[2] = static_cast<char>(0x84);
        frame[3] = 0x00;
        pes += frame;
        put_payload(out, cc, seen, kAudioPid, pes, mark);
    }
    static const unsigned char null_payload[kPacket] = {};
    while (out.size() / kPacket < static_cast<size_t>(pad_to_packets))
        put_packet(out, cc, kNullPid, false, null_payload, kPacket - 4, false, false);
    return out;
}

// ---------------------------------------------------------------------------
// Checking what passes.

namespace {

// The length of the MPEG audio frame whose header is at `h`, or 0 when it is
// no valid header.
size_t mpeg_audio_frame(const unsigned char *h)
{
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0)
        return 0;
    int version = (h[1] >> 3) & 3;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    int layer = (h[1] >> 1) & 3;    // 3 I, 2 II, 1 III
    int br = h[2] >> 4, sr = (h[2] >> 2) & 3, pad = (h[2] >> 1) & 1;
    if (version == 1 || layer == 0 || br == 0 || br == 15 || sr == 3)
        return 0;
    static const int rates1[3][15] = {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // layer I
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // layer II
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // layer III
    };
    static const int rates2[2][15] = {
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},  // layer I
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},       // layers II, III
    };
    static const int srates[3] = {44100, 48000, 32000};
    int li = 3 - layer;  // 0 I, 1 II, 2 III
    int kbps = version == 3 ? rates1[li][br] : rates2[li == 0 ? 0 : 1][br];
    int rate = srates[sr] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    if (li == 0)
        return static_cast<size_t>((12 * kbps * 1000 / rate + pad) * 4);
    int factor = (li == 2 && version != 3) ? 72 : 144;
    return static_cast<size_t>(factor * kbps * 1000 / rate + pad);
}

} // namespace

void TsChecker::feed(const unsigned char *p, size_t n, const std::function<void(json)> &note)
{
    bytes += n;
    carry_.append(reinterpret_cast<const char *>(p), n);
    const uint64_t base = bytes - carry_.size();  // stream offset of carry_[0]
    size_t at = 0;
    while (carry_.size() - at >= kPacket) {
        const auto *pk = reinterpret_cast<const unsigned char *>(carry_.data()) + at;
        if (pk[0] == kSync) {
            in_sync_ = true;
            while (!restarts_.empty() && restarts_.front() <= base + at) {
                restarts_.pop_front();
                ++epoch_;
                if (packets > 0)
                    ++wraps;
            }
            packet(pk, note);
            at += kPacket;
            continue;
        }
        // Out of step: skip to the next sync byte.
        size_t next = carry_.find(static_cast<char>(kSync), at + 1);
        size_t skipped = (next == std::string::npos ? carry_.size() : next) - at;
        lost_bytes += skipped;
        if (in_sync_) {
            ++sync_losses;
            if (sync_losses <= kTracedFaults)
                note({{"event", "sync_lost"}, {"at", bytes - (carry_.size() - at)}});
        }
        in_sync_ = false;
        at += skipped;
    }
    carry_.erase(0, at);
}

void TsChecker::packet(const unsigned char *p, const std::function<void(json)> &note)
{
    ++packets;
    int pid = ((p[1] & 0x1F) << 8) | p[2];
    bool start = p[1] & 0x40;
    int afc = (p[3] >> 4) & 3;
    int cc = p[3] & 0x0F;
    ++pid_packets[pid];
    size_t payload = 4;
    bool discontinuity = false;
    if (afc & 2) {
        size_t af = p[4];
        if (af > 183) {
            ++bad_packets;
            return;
        }
        if (af > 0)
            discontinuity = p[5] & 0x80;
        payload = 5 + af;
    }
    if (pid == kNullPid || !(afc & 1))
        return;
    // The first packet of a PID after the stream started again may break
    // its continuity: the file ended there and began anew.
    uint64_t &seen_in = pid_epoch_[pid];
    bool after_restart = seen_in != epoch_;
    seen_in = epoch_;
    auto it = last_cc_.find(pid);
    if (it != last_cc_.end() && !discontinuity && !after_restart && cc != ((it->second + 1) & 0x0F) &&
        cc != it->second) {
        ++cc_errors;
        if (cc_errors <= kTracedFaults)
            note({{"event", "continuity"}, {"pid", pid}, {"expected", (it->second + 1) & 0x0F}, {"got", cc}});
    }
    last_cc_[pid] = cc;
    if (pid == kPatPid && start)
        read_pat(p, payload);
    if (pid <= kLastTablePid || program_maps_.count(pid))
        return;  // tables, not PES
    if (start) {
        finish_pes(pid, note);
        pes_[pid].assign(reinterpret_cast<const char *>(p) + payload, kPacket - payload);
    } else if (auto &buf = pes_[pid]; !buf.empty() && buf.size() < 65536) {
        buf.append(reinterpret_cast<const char *>(p) + payload, kPacket - payload);
    }
}

void TsChecker::read_pat(const unsigned char *p, size_t payload)
{
    // The section that begins in this packet, after its pointer field; a
    // PAT longer than one packet (some 40 programmes) is not followed.
    if (payload >= kPacket)
        return;
    size_t at = payload + 1 + p[payload];
    if (at + 8 > kPacket || p[at] != 0x00)
        return;
    size_t len = (static_cast<size_t>(p[at + 1] & 0x0F) << 8) | p[at + 2];
    if (len < 9 || at + 3 + len > kPacket || crc32_mpeg(p + at, 3 + len) != 0)
        return;
    program_maps_.clear();
    // Programme number and PID, four bytes each, up to the CRC; programme 0
    // names the network table's PID, a table as well.
    for (size_t e = at + 8; e + 4 <= at + 3 + len - 4; e += 4)
        program_maps_.insert((static_cast<int>(p[e + 2] & 0x1F) << 8) | p[e + 3]);
}

void TsChecker::finish_pes(int pid, const std::function<void(json)> &note)
{
    std::string &buf = pes_[pid];
    if (buf.empty())
        return;
    const auto *d = reinterpret_cast<const unsigned char *>(buf.data());
    if (buf.size() < 9 || d[0] != 0 || d[1] != 0 || d[2] != 1) {
        ++bad_pes;
        buf.clear();
        return;
    }
    ++pes;
    int sid = d[3];
    size_t len = (static_cast<size_t>(d[4]) << 8) | d[5];
    size_t end = len ? std::min(buf.size(), 6 + len) : buf.size();
    if (sid >= 0xC0 && sid <= 0xDF) {
        size_t at = 9 + d[8];
        while (at + 4 <= end) {
            size_t f = mpeg_audio_frame(d + at);
            if (f == 0) {
                ++bad_frames;
                if (bad_frames <= kTracedFaults)
                    note({{"event", "audio_frame"}, {"pid", pid}, {"at", at}});
                break;
            }
            ++audio_frames;
            at += f;
        }
    }
    buf.clear();
}

json TsChecker::describe() const
{
    json pids = json::object();
    for (auto &[pid, n] : pid_packets)
        pids[std::to_string(pid)] = n;
    return {{"bytes", bytes},       {"packets", packets}, {"lost_bytes", lost_bytes},     {"sync_losses", sync_losses},
            {"cc_errors", cc_errors}, {"bad_packets", bad_packets}, {"pid_packets", pids}, {"pes", pes},
            {"bad_pes", bad_pes},   {"audio_frames", audio_frames}, {"bad_frames", bad_frames},
            {"wraps", wraps},       {"program_map_pids", program_maps_}};
}

void dvr_pass_on(Box &box, AvState &s, const unsigned char *p, size_t n, int64_t now_ms)
{
    DvrInput &d = s.dvr;
    if (d.captured.size() < d.capture_limit)
        d.captured.append(reinterpret_cast<const char *>(p), std::min(n, d.capture_limit - d.captured.size()));
    d.check.feed(p, n, [&box](json ev) {
        ev["op"] = "dvr";
        ev["path"] = "/dev/dvb0.dvr4";
        box.trace().record(std::move(ev));
    });
    d.last_pass_ms = now_ms;
}

bool dvr_pass(Box &box, AvState &s, int64_t now_ms)
{
    DvrInput &d = s.dvr;
    double dt = static_cast<double>(now_ms - d.last_ms) / 1000.0;
    d.last_ms = now_ms;
    if (d.buffer.empty()) {
        d.credit = 0;
        return false;
    }
    bool was_full = d.room() < DvrInput::kRoom;
    d.credit += d.rate * dt;
    size_t n = std::min(d.buffer.size(), static_cast<size_t>(d.credit));
    if (n == 0)
        return false;
    d.credit -= static_cast<double>(n);
    dvr_pass_on(box, s, reinterpret_cast<const unsigned char *>(d.buffer.data()), n, now_ms);
    d.buffer.take(n);
    return was_full && d.room() >= DvrInput::kRoom;
}

std::string dvr_passed(Box &box)
{
    AvState &s = box.part<AvState>();
    std::lock_guard<std::mutex> g(s.m);
    return s.dvr.captured;
}

void install_dvr(Box &box, AvState &s, const json &cfg)
{
    {
        std::lock_guard<std::mutex> g(s.m);
        const auto rate_it = cfg.find("dvr_rate");
        s.dvr.unlimited = rate_it != cfg.end() && *rate_it == "unlimited";
        double rate = rate_it != cfg.end() && rate_it->is_number() ? rate_it->get<double>() : 18800.0;
        s.dvr.rate = rate > 0 ? rate : 18800.0;
        uint64_t cap = cfg.value("dvr_buffer", uint64_t{65536});
        s.dvr.capacity = cap >= kPacket && cap <= (64u << 20) ? cap : 65536;
        uint64_t keep = cfg.value("dvr_capture", uint64_t{0});
        s.dvr.capture_limit = std::min<uint64_t>(keep, 256u << 20);
    }
    box.add_node("/dev/dvb0.dvr4", std::make_shared<DvrNode>(box, s));

    // The audio test file: one the profile names, or a generated one.
    std::string path = cfg.value("audio_file", "");
    if (path.empty()) {
        int frames = cfg.value("audio_frames", 84);
        box.add_file("/root/audio.ts", make_audio_ts(std::clamp(frames, 0, 100000)));
        return;
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in)
        box.add_file("/root/audio.ts", ss.str());
    else
        box.trace().record({{"op", "device"}, {"path", "/root/audio.ts"}, {"event", "missing"}, {"file", path}});
}

} // namespace boxsim
