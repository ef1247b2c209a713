// What the tuners deliver to the demultiplexers. The frontend model publishes,
// for each front end 0 to 3, the channel it is locked to (and clears it when
// the lock is lost); the demultiplexer models read it to know which services,
// and so which PIDs, the stream of a front end carries. Only a locked front
// end delivers a stream.
//
// A channel's services come from the box profile, with the channel:
//   "services": [{"name": "C-band 1", "video_pid": 380, "audio_pid": 381,
//                 "pcr_pid": 380, "stream_type": 0}]
// (stream_type as the system selects it for the video decoder: 0 MPEG-2,
// 1 H.264; a PID of -1 or a missing key: the service has no such stream).
#pragma once

#include "core/box.h"
#include "devices/profile_keys.h"

#include <array>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace boxsim {

struct Service {
    std::string name;
    int video_pid = -1;
    int audio_pid = -1;
    int pcr_pid = -1;
    int stream_type = 0;

    // Keys of the wrong type take their defaults and are named in `bad`.
    static Service from_json(const json &j, std::string &bad)
    {
        Service s;
        s.name = keys::get(j, "name", std::string(), bad);
        s.video_pid = keys::get(j, "video_pid", -1, bad);
        s.audio_pid = keys::get(j, "audio_pid", -1, bad);
        s.pcr_pid = keys::get(j, "pcr_pid", -1, bad);
        s.stream_type = keys::get(j, "stream_type", 0, bad);
        return s;
    }
    bool carries(int pid) const { return pid >= 0 && (pid == video_pid || pid == audio_pid || pid == pcr_pid); }
};

struct LockedChannel {
    std::string label;  // what the channel is, for people: "4000 MHz H, 28125 kS/s, DVB-S"
    std::vector<Service> services;

    // The service that carries this PID, or null.
    const Service *service_with(int pid) const
    {
        for (const auto &s : services)
            if (s.carries(pid))
                return &s;
        return nullptr;
    }
};

// Box part: box.part<RadioFeed>().
class RadioFeed {
public:
    static constexpr int kFrontends = 4;

    // Front end `fe` is locked to `ch` (or, with nullopt, delivers nothing).
    // Callers call Box::changed() afterwards so that waiting readers look again.
    void set(int fe, std::optional<LockedChannel> ch)
    {
        if (fe < 0 || fe >= kFrontends)
            return;
        std::lock_guard<std::mutex> g(m_);
        feeds_[fe] = std::move(ch);
        ++version_;
    }
    std::optional<LockedChannel> get(int fe) const
    {
        if (fe < 0 || fe >= kFrontends)
            return std::nullopt;
        std::lock_guard<std::mutex> g(m_);
        return feeds_[fe];
    }
    // Grows with every change, so a reader can tell that it must look again.
    uint64_t version() const
    {
        std::lock_guard<std::mutex> g(m_);
        return version_;
    }

private:
    mutable std::mutex m_;
    std::array<std::optional<LockedChannel>, kFrontends> feeds_;
    uint64_t version_ = 0;
};

} // namespace boxsim
