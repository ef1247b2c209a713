// Audio decoder 0 (/dev/dvb0.audio0) and video decoders 0 and 1
// (/dev/dvb0.video0, video1), and the A/V module: installing every A/V
// device, the state snapshot, and the trace lines that say what is decoding.
//
// A decoder takes one read-write open at a time (EBUSY otherwise), as the
// Linux DVB decoders do; closing it stops it. What it decodes follows from
// the filters of the demultiplexers that feed it (demux.cpp).
#include "devices/av.h"
#include "devices/radio.h"

#include "platform/box_abi.h"

#include <fcntl.h>

#include <cstring>

namespace boxsim {

namespace {

constexpr const char *kStates[] = {"stopped", "playing", "paused"};

// Counts read-write opens of a decoder; refuses a second one.
int open_writer(AvState &s, int &writers, const OpenFile &of)
{
    if ((of.flags & O_ACCMODE) == O_RDONLY)
        return 0;
    std::lock_guard<std::mutex> g(s.m);
    if (writers > 0)
        return -EBUSY;
    ++writers;
    return 0;
}

bool is_writer(const OpenFile &of) { return (of.flags & O_ACCMODE) != O_RDONLY; }

// What the decoders share: requests by DVB name in the trace, only a
// read-write open may control the decoder, and a request that took effect
// is announced to the state's watchers.
class DecoderNode : public Device {
public:
    DecoderNode(Box &box, AvState &s) : box_(box), s_(s) {}

    int ioctl(OpenFile &of, unsigned long req, unsigned long arg, json &ev) override
    {
        const char *name = box_abi::request_name("dvb", static_cast<uint32_t>(req));
        if (!name)
            return -ENOTTY;
        ev["name"] = name;
        if (!is_writer(of))
            return -EPERM;
        int r = request(static_cast<uint32_t>(req), arg, ev);
        if (r == 0)
            av_note_changes(box_, s_);
        return r;
    }

protected:
    virtual int request(uint32_t req, unsigned long arg, json &ev) = 0;

    Box &box_;
    AvState &s_;
};

class AudioNode : public DecoderNode {
public:
    AudioNode(Box &box, AvState &s) : DecoderNode(box, s) {}

    int open(OpenFile &of) override { return open_writer(s_, s_.audio.writers, of); }
    void release(OpenFile &of) override
    {
        if (!is_writer(of))
            return;
        {
            std::lock_guard<std::mutex> g(s_.m);
            --s_.audio.writers;
            s_.audio.state = kStates[0];
        }
        av_note_changes(box_, s_);
    }

private:
    int request(uint32_t req, unsigned long arg, json &ev) override
    {
        AudioDecoder &a = s_.audio;
        std::lock_guard<std::mutex> g(s_.m);
        switch (req) {
        case box_abi::AUDIO_STOP: a.state = "stopped"; return 0;
        case box_abi::AUDIO_PLAY: a.state = "playing"; return 0;
        case box_abi::AUDIO_PAUSE:
            if (a.state == "playing")
                a.state = "paused";
            return 0;
        case box_abi::AUDIO_CONTINUE:
            if (a.state == "paused")
                a.state = "playing";
            return 0;
        case box_abi::AUDIO_CLEAR_BUFFER: return 0;
        case box_abi::AUDIO_SELECT_SOURCE:
            ev["source"] = arg;
            if (arg != AUDIO_SOURCE_DEMUX && arg != AUDIO_SOURCE_MEMORY)
                return -EINVAL;
            a.source = static_cast<int>(arg);
            return 0;
        case box_abi::AUDIO_SET_BYPASS_MODE:
            ev["bypass"] = arg;
            if (arg > 1)
                return -EINVAL;
            a.bypass = static_cast<int>(arg);
            return 0;
        case box_abi::AUDIO_SET_MUTE:
            ev["mute"] = arg;
            a.mute = arg != 0;
            return 0;
        case box_abi::AUDIO_SET_MIXER: {
            if (!arg)
                return -EFAULT;
            audio_mixer_t m;
            memcpy(&m, reinterpret_cast<void *>(arg), sizeof m);
            ev["left"] = m.volume_left;
            ev["right"] = m.volume_right;
            if (m.volume_left > 255 || m.volume_right > 255)
                return -EINVAL;
            a.left = m.volume_left;
            a.right = m.volume_right;
            return 0;
        }
        }
        return -ENOTTY;
    }
};

class VideoNode : public DecoderNode {
public:
    VideoNode(Box &box, AvState &s, int n) : DecoderNode(box, s), n_(n) {}

    int open(OpenFile &of) override { return open_writer(s_, s_.video[n_].writers, of); }
    void release(OpenFile &of) override
    {
        if (!is_writer(of))
            return;
        {
            std::lock_guard<std::mutex> g(s_.m);
            --s_.video[n_].writers;
            if (s_.video[n_].playing)
                stop(false);
        }
        av_note_changes(box_, s_);
    }

private:
    int request(uint32_t req, unsigned long arg, json &ev) override
    {
        VideoDecoder &v = s_.video[n_];
        std::lock_guard<std::mutex> g(s_.m);
        switch (req) {
        case box_abi::VIDEO_SELECT_SOURCE:
            ev["source"] = arg;
            if (arg != VIDEO_SOURCE_DEMUX && arg != VIDEO_SOURCE_MEMORY)
                return -EINVAL;
            v.source = static_cast<int>(arg);
            return 0;
        case box_abi::VIDEO_SET_STREAMTYPE:
            ev["stream_type"] = arg;
            if (arg > 15)
                return -EINVAL;
            v.stream_type = static_cast<int>(arg);
            return 0;
        case box_abi::VIDEO_PLAY:
            if (!v.playing)
                v.play_ms = box_.now_ms();
            v.playing = true;
            v.blanked = false;
            v.frozen_ms = -1;
            if (n_ == 0)
                s_.still.clear();  // live video takes the place of the still
            return 0;
        case box_abi::VIDEO_STOP:
            ev["blank"] = arg;
            stop(arg != 0);
            return 0;
        }
        return -ENOTTY;
    }

    // Caller holds the lock. Without blanking the last frame stays.
    void stop(bool blank)
    {
        VideoDecoder &v = s_.video[n_];
        if (v.playing && !blank) {
            v.frozen = decoder_feed(box_, s_, "video" + std::to_string(n_));
            v.frozen_ms = box_.now_ms() - v.play_ms;
        }
        v.playing = false;
        if (blank) {
            v.blanked = true;
            v.frozen_ms = -1;
            if (n_ == 0)
                s_.still.clear();
        }
    }

    int n_;
};

// One decoder's state, as the snapshot and the trace show it (caller holds
// the lock).
json decoder_json(Box &box, AvState &s, const std::string &name)
{
    json j;
    if (name == "audio0") {
        const AudioDecoder &a = s.audio;
        j = {{"open", a.writers > 0},
             {"state", a.state},
             {"source", a.source == AUDIO_SOURCE_DEMUX ? "demux" : "memory"},
             {"bypass", a.bypass},
             {"attenuation", {a.left, a.right}},
             {"mute", a.mute}};
    } else {
        const VideoDecoder &v = s.video[name == "video1" ? 1 : 0];
        j = {{"open", v.writers > 0},
             {"state", v.playing ? "playing" : "stopped"},
             {"source", v.source == VIDEO_SOURCE_DEMUX ? "demux" : "memory"},
             {"stream_type", v.stream_type},
             {"blanked", v.blanked}};
    }
    j["feed"] = decoder_feed(box, s, name);
    return j;
}

} // namespace

AvState::~AvState()
{
    {
        std::lock_guard<std::mutex> g(m);
        stop = true;
    }
    boxsim::clock::join(clock);
}

void av_note_changes(Box &box) { av_note_changes(box, box.part<AvState>()); }

void av_note_changes(Box &box, AvState &s)
{
    std::vector<json> lines;
    {
        std::lock_guard<std::mutex> g(s.m);
        if (!s.installed)
            return;
        for (const char *name : {"audio0", "video0", "video1"}) {
            // Compared as values: this runs on every request to a decoder
            // or filter, and a change is rare.
            json d = decoder_json(box, s, name);
            json &last = s.traced[name];
            if (last == d)
                continue;
            last = d;
            d["op"] = "decoding";
            d["decoder"] = name;
            lines.push_back(std::move(d));
        }
        std::string still = s.still.empty() ? "-" : s.still;
        if (s.traced["still"] != still) {
            s.traced["still"] = still;
            lines.push_back({{"op", "decoding"}, {"decoder", "still"}, {"path", s.still.empty() ? json() : json(s.still)}});
        }
    }
    for (auto &l : lines)
        box.trace().record(std::move(l));
    box.changed();
}

json av_describe(Box &box)
{
    AvState &s = box.part<AvState>();
    std::lock_guard<std::mutex> g(s.m);
    if (!s.installed)
        return nullptr;
    json j = json::object();
    json dmx = json::object();
    for (auto &[n, d] : s.demux) {
        json filters = json::array();
        for (auto &w : d.filters)
            if (auto f = w.lock())
                filters.push_back({{"set", f->set},
                                   {"started", f->started},
                                   {"pid", f->p.pid},
                                   {"pes_type", static_cast<int>(f->p.pes_type)},
                                   {"output", static_cast<int>(f->p.output)}});
        std::string source = d.source == kDmxSourceDvr0 ? "dvr" : "frontend " + std::to_string(d.source);
        dmx[std::to_string(n)] = {{"source", source}, {"filters", filters}};
    }
    j["demux"] = dmx;
    for (const char *name : {"audio0", "video0", "video1"})
        j[name] = decoder_json(box, s, name);
    const DvrInput &dv = s.dvr;
    j["dvr4"] = {{"open", dv.writers > 0},
                 {"buffer", dv.capacity},
                 {"held", dv.buffer.size()},
                 {"rate", dv.rate},
                 {"check", dv.check.describe()}};
    j["still"] = s.still.empty() ? json() : json(s.still);
    return j;
}

namespace {

void install_av(Box &box, const json &profile)
{
    if (!profile.is_object() || profile.empty())
        return;
    json cfg = profile.value("av", json::object());
    if (!cfg.is_object())
        cfg = json::object();
    AvState &s = box.part<AvState>();
    s.radio = box.shared_part<RadioFeed>();
    install_demux(box, s);
    install_decoders(box, s);
    install_dvr(box, s, cfg);
    install_stills(box, cfg);
    {
        std::lock_guard<std::mutex> g(s.m);
        s.installed = true;
        s.dvr.last_ms = box.now_ms();
    }
    // The A/V clock: passes the DVR input on at its rate, and notices what
    // the radio or the passing of time changed in what is decoded.
    s.clock = boxsim::clock::spawn("A/V clock", [&box, &s] {
        uint64_t radio = 0;
        bool flowing = false;
        std::unique_lock<std::mutex> g(s.m);
        for (;;) {
            bool busy = !s.dvr.buffer.empty() || flowing;
            g.unlock();
            boxsim::clock::sleep_for_ms(busy ? 10 : 50);
            g.lock();
            // The box's parts may be going: nothing of the box is touched
            // once it is being torn down.
            if (s.stop || box.stopping())
                return;
            int64_t now = box.now_ms();
            bool room = dvr_pass(box, s, now);
            uint64_t v = s.radio->version();
            bool flows = s.dvr.last_pass_ms >= 0 && now - s.dvr.last_pass_ms < 1000;
            bool look = v != radio || flows != flowing;
            radio = v;
            flowing = flows;
            if (room || look) {
                g.unlock();
                if (look)
                    av_note_changes(box, s);
                else
                    box.changed();
                g.lock();
            }
        }
    });
}

void describe_av(Box &box, json &state)
{
    json j = av_describe(box);
    if (!j.is_null())
        state["av"] = j;
}

} // namespace

void install_decoders(Box &box, AvState &s)
{
    box.add_node("/dev/dvb0.audio0", std::make_shared<AudioNode>(box, s));
    for (int n : {0, 1})
        box.add_node("/dev/dvb0.video" + std::to_string(n), std::make_shared<VideoNode>(box, s, n));
}

BOXSIM_REGISTER({ register_module({"av", 60, install_av, describe_av}); });

} // namespace boxsim
