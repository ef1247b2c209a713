// The demultiplexers /dev/dvb0.demux0, demux1 and demux4. Every open handle
// carries one PES filter; the device's source (a front end or the DVR input)
// is shared by its handles. The requests are refused as the Linux demux
// refuses them: a start before a filter is set, a PID above 0x1FFF or a
// second decoder filter of one type on the same device at start.
#include "devices/av.h"
#include "devices/radio.h"

#include "platform/box_abi.h"

#include <cstring>

namespace boxsim {

namespace {

constexpr uint16_t kMaxPid = 0x1FFF;
constexpr int kSourceDvr0 = kDmxSourceDvr0;

const char *pes_type_name(int t)
{
    switch (t) {
    case DMX_PES_AUDIO0: return "audio0";
    case DMX_PES_VIDEO0: return "video0";
    case DMX_PES_TELETEXT0: return "teletext0";
    case DMX_PES_SUBTITLE0: return "subtitle0";
    case DMX_PES_PCR0: return "pcr0";
    case DMX_PES_AUDIO1: return "audio1";
    case DMX_PES_VIDEO1: return "video1";
    case DMX_PES_PCR1: return "pcr1";
    case DMX_PES_OTHER: return "other";
    default: return nullptr;
    }
}

// The kind of a decoder PES type: 0 audio, 1 video, 4 PCR (as in the
// enumeration, which repeats in groups of five per decoder).
int pes_kind(int t) { return t < DMX_PES_OTHER ? t % 5 : -1; }

std::string source_name(int source)
{
    if (source == kSourceDvr0)
        return "dvr";
    return "frontend " + std::to_string(source);
}

class DemuxNode : public Device {
public:
    DemuxNode(Box &box, AvState &s, int n) : box_(box), s_(s), n_(n) {}

    int open(OpenFile &of) override
    {
        auto f = std::make_shared<PesFilter>();
        f->demux = n_;
        of.state = f;
        std::lock_guard<std::mutex> g(s_.m);
        s_.demux[n_].filters.push_back(f);
        return 0;
    }

    void release(OpenFile &of) override
    {
        {
            std::lock_guard<std::mutex> g(s_.m);
            auto &list = s_.demux[n_].filters;
            std::erase_if(list, [&](const std::weak_ptr<PesFilter> &w) {
                auto p = w.lock();
                return !p || p == of.state;
            });
        }
        of.state.reset();
        av_note_changes(box_, s_);
    }

    int ioctl(OpenFile &of, unsigned long req, unsigned long arg, json &ev) override
    {
        const char *name = box_abi::request_name("dvb", static_cast<uint32_t>(req));
        auto f = std::static_pointer_cast<PesFilter>(of.state);
        if (!name || !f)
            return -ENOTTY;
        ev["name"] = name;
        int r = request(*f, static_cast<uint32_t>(req), arg, ev);
        if (r == 0)
            av_note_changes(box_, s_);
        return r;
    }

private:
    int request(PesFilter &f, uint32_t req, unsigned long arg, json &ev)
    {
        void *p = reinterpret_cast<void *>(arg);
        std::lock_guard<std::mutex> g(s_.m);
        switch (req) {
        case box_abi::DMX_SET_SOURCE: {
            if (!p)
                return -EFAULT;
            int src;
            memcpy(&src, p, sizeof src);
            ev["source"] = src;
            if (!((src >= kDmxSourceFront0 && src <= kDmxSourceFront3) || src == kSourceDvr0))
                return -EINVAL;
            s_.demux[n_].source = src;
            return 0;
        }
        case box_abi::DMX_SET_PES_FILTER: {
            if (!p)
                return -EFAULT;
            dmx_pes_filter_params params;
            memcpy(&params, p, sizeof params);
            ev["pid"] = params.pid;
            ev["input"] = static_cast<int>(params.input);
            ev["output"] = static_cast<int>(params.output);
            ev["pes_type"] = static_cast<int>(params.pes_type);
            ev["flags"] = params.flags;
            if (!pes_type_name(params.pes_type) || params.input > DMX_IN_DVR || params.output > DMX_OUT_TSDEMUX_TAP)
                return -EINVAL;
            // A filter set again stops first, as the Linux demux does.
            f.started = false;
            f.p = params;
            f.set = true;
            if (params.flags & DMX_IMMEDIATE_START)
                return start(f);
            return 0;
        }
        case box_abi::DMX_START:
            return start(f);
        case box_abi::DMX_STOP:
            f.started = false;
            return 0;
        }
        return -ENOTTY;
    }

    // Caller holds the lock.
    int start(PesFilter &f)
    {
        if (!f.set)
            return -EINVAL;
        if (f.p.pid > kMaxPid)
            return -EINVAL;
        if (f.p.output == DMX_OUT_DECODER) {
            if (f.p.pes_type >= DMX_PES_OTHER)
                return -EINVAL;
            for (auto &w : s_.demux[n_].filters) {
                auto other = w.lock();
                if (other && other.get() != &f && other->started && other->p.output == DMX_OUT_DECODER &&
                    other->p.pes_type == f.p.pes_type)
                    return -EBUSY;
            }
        }
        f.started = true;
        f.start_seq = ++s_.seq;
        return 0;
    }

    Box &box_;
    AvState &s_;
    int n_;
};

// The demultiplexers that feed a decoder, in the order they are looked at.
std::vector<int> feeders(const std::string &decoder)
{
    if (decoder == "video1")
        return {1};
    return {0, 4};
}

} // namespace

void install_demux(Box &box, AvState &s)
{
    for (int n : {0, 1, 4}) {
        s.demux[n].source = n == 4 ? kSourceDvr0 : n;
        box.add_node("/dev/dvb0.demux" + std::to_string(n), std::make_shared<DemuxNode>(box, s, n));
    }
}

json decoder_feed(Box &box, AvState &s, const std::string &decoder)
{
    int kind = decoder[0] == 'a' ? DMX_PES_AUDIO0 : DMX_PES_VIDEO0;
    std::shared_ptr<PesFilter> best, pcr;
    for (int n : feeders(decoder)) {
        for (auto &w : s.demux[n].filters) {
            auto f = w.lock();
            if (!f || !f->started || f->p.output != DMX_OUT_DECODER)
                continue;
            int k = pes_kind(f->p.pes_type);
            if (k == kind && (!best || f->start_seq > best->start_seq))
                best = f;
        }
    }
    if (!best)
        return nullptr;
    for (auto &w : s.demux[best->demux].filters) {
        auto f = w.lock();
        if (f && f->started && f->p.output == DMX_OUT_DECODER && pes_kind(f->p.pes_type) == DMX_PES_PCR0)
            pcr = f;
    }
    int source = s.demux[best->demux].source;
    int pid = best->p.pid;
    json j = {{"demux", best->demux}, {"input", source_name(source)}, {"pid", pid}};
    if (pcr)
        j["pcr_pid"] = pcr->p.pid;
    bool present = false;
    if (source == kSourceDvr0) {
        // The DVR input carries what the pump wrote: present while packets
        // of the PID went on within the last second.
        auto it = s.dvr.check.pid_packets.find(pid);
        present = it != s.dvr.check.pid_packets.end() && it->second > 0 && s.dvr.last_pass_ms >= 0 &&
                  box.now_ms() - s.dvr.last_pass_ms < 1000;
    } else if (auto ch = (s.radio ? *s.radio : box.part<RadioFeed>()).get(source)) {
        j["channel"] = ch->label;
        for (const auto &svc : ch->services) {
            bool match = kind == DMX_PES_AUDIO0 ? svc.audio_pid == pid : svc.video_pid == pid;
            if (!match)
                continue;
            present = true;
            j["service"] = svc.name;
            j["service_stream_type"] = svc.stream_type;
            if (pcr)
                j["pcr_present"] = svc.pcr_pid == pcr->p.pid;
            if (kind == DMX_PES_VIDEO0) {
                j["audio_pid"] = svc.audio_pid;
                j["frontend"] = source;
            }
            break;
        }
    } else {
        j["channel"] = nullptr;  // front end not locked: no stream at all
    }
    j["present"] = present;
    return j;
}

} // namespace boxsim
