// The box's A/V devices: demultiplexers 0, 1 and 4, audio decoder 0, video
// decoders 0 and 1, the DVR playback input 4, the video plane with its still
// picture (/usr/bin/showiframe), and the audio test file.
//
// Demultiplexer N takes the stream of a front end (0 to 3, from RadioFeed,
// so only a locked front end delivers anything) or of the DVR input (16).
// Its PES filters routed to a decoder feed that demultiplexer's decoders:
// demultiplexer 0 feeds audio 0 and video 0, demultiplexer 1 video 1, and
// the playback demultiplexer 4 audio 0 and video 0.
//
// Profile key (every member optional):
//   "av": {
//     "dvr_rate": 18800,       bytes per second the DVR input passes on (the
//                              decoder's pace; tests use fast rates;
//                              "unlimited": every write passes on at once)
//     "dvr_buffer": 65536,     bytes the DVR input holds before writes get short
//     "dvr_capture": 0,        keep this many passed-on bytes for tests
//     "showiframe": true,      false: the box has no /usr/bin/showiframe
//     "audio_file": "PATH",    a file of the development machine as /root/audio.ts
//     "audio_frames": 84,      frames of the generated /root/audio.ts (~2 s)
//     "stills": ["/usr/share/bootlogo.mvi"]   still pictures the box carries
//   }
#pragma once

#include "core/box.h"
#include "core/image.h"

#include <linux/dvb/dmx.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace boxsim {

class RadioFeed;

// Demultiplexer sources (the Linux dmx_source numbers): front ends 0 to 3,
// and the first DVR input.
constexpr int kDmxSourceFront0 = 0;
constexpr int kDmxSourceFront3 = 3;
constexpr int kDmxSourceDvr0 = 16;

// How a generated stream is laid out: the PID of its programme map, and
// whether the first packet of each PID marks a discontinuity (so that the
// file loops without a continuity break, as few muxers bother to do).
struct AudioTsForm {
    int pmt_pid = 0x100;
    bool marks_discontinuity = true;
};

// A generated MPEG-1 Layer II stream: PAT and PMT, then PES packets of PID
// 103 with one 384-byte frame each (48 kHz, 128 kbit/s), padded with null
// packets to `pad_to_packets` if that is more.
std::string make_audio_ts(int frames, int pad_to_packets = 0, AudioTsForm form = {});

// Checks a transport stream as it arrives: packet alignment (sync byte on
// every 188-byte boundary), continuity counters per PID, PES packets and the
// MPEG audio frames in their payload. PIDs 0 to 0x1F and the programme map
// PIDs the PAT names carry tables, not PES.
class TsChecker {
public:
    // Feeds bytes; `note` is called for each fault found (for the trace).
    void feed(const unsigned char *p, size_t n, const std::function<void(json)> &note);
    // The stream starts again at byte `at` of all bytes fed (a looped file
    // back at its beginning): the first packet of each PID from there on may
    // break its continuity without it being counted as an error.
    void starts_again_at(uint64_t at) { restarts_.push_back(at); }
    json describe() const;
    uint64_t bytes = 0, packets = 0, lost_bytes = 0, sync_losses = 0, cc_errors = 0, bad_packets = 0;
    std::map<int, uint64_t> pid_packets;
    uint64_t pes = 0, bad_pes = 0, audio_frames = 0, bad_frames = 0;
    uint64_t wraps = 0;  // times the stream started again after packets had passed

private:
    void packet(const unsigned char *p, const std::function<void(json)> &note);
    void read_pat(const unsigned char *p, size_t payload);
    void finish_pes(int pid, const std::function<void(json)> &note);
    std::string carry_;
    bool in_sync_ = true;
    std::map<int, int> last_cc_;
    std::map<int, std::string> pes_;
    std::set<int> program_maps_;        // from the latest PAT
    std::deque<uint64_t> restarts_;     // stream offsets still ahead
    uint64_t epoch_ = 0;                // restarts seen so far
    std::map<int, uint64_t> pid_epoch_; // the epoch of each PID's last packet
};

// One open demultiplexer handle's filter.
struct PesFilter {
    int demux = 0;
    bool set = false;
    bool started = false;
    dmx_pes_filter_params p{};
    uint64_t start_seq = 0;  // order of starts, the latest feeds a decoder
};

struct DemuxState {
    int source = 0;  // 0..3 front end, 16 DVR
    std::vector<std::weak_ptr<PesFilter>> filters;
};

struct AudioDecoder {
    int writers = 0;  // read-write opens (one at a time)
    int source = 0;   // 0 demux, 1 memory
    int bypass = 0;
    std::string state = "stopped";  // stopped, playing, paused
    unsigned left = 0, right = 0;   // attenuation
    bool mute = false;
};

struct VideoDecoder {
    int writers = 0;
    int source = 0;
    int stream_type = 0;
    bool playing = false;
    bool blanked = true;    // nothing shown (never played, or stopped with blanking)
    int64_t play_ms = 0;    // when play began, for the picture's clock
    int64_t frozen_ms = -1; // clock of the frame kept after a stop without blanking
    json frozen;            // what that frame showed
};

// Bytes held in arrival order. Taking from the front moves a read position
// instead of the rest of the bytes, which are moved down only once the
// taken part is as long as what is left: the DVR input passes on a packet
// or two every 10 ms from up to 64 KB held.
class HeldBytes {
public:
    size_t size() const { return bytes_.size() - at_; }
    bool empty() const { return size() == 0; }
    const char *data() const { return bytes_.data() + at_; }
    void append(const char *p, size_t n) { bytes_.append(p, n); }
    void take(size_t n)
    {
        at_ += std::min(n, size());
        if (at_ >= size()) {
            bytes_.erase(0, at_);
            at_ = 0;
        }
    }

private:
    std::string bytes_;
    size_t at_ = 0;
};

struct DvrInput {
    int writers = 0;
    size_t capacity = 65536;
    double rate = 18800;  // bytes per second
    bool unlimited = false;  // every write passes on at once
    HeldBytes buffer;     // held, not yet passed on
    double credit = 0;
    int64_t last_ms = 0;
    int64_t last_pass_ms = -1;  // when bytes last went on
    size_t capture_limit = 0;
    std::string captured;
    TsChecker check;
    // The first bytes written since the input was opened: the start of the
    // file being played. A later write that begins with them starts it again.
    std::string head;
    static constexpr size_t kHead = 4 * 188;
    static constexpr size_t kRoom = 188;  // POLLOUT from one packet of room
    size_t room() const { return buffer.size() >= capacity ? 0 : capacity - buffer.size(); }
};

// Box part: everything of the A/V devices, under one lock.
struct AvState {
    std::mutex m;
    bool installed = false;
    std::map<int, DemuxState> demux;  // 0, 1, 4
    AudioDecoder audio;
    VideoDecoder video[2];
    DvrInput dvr;
    std::string still;  // the still picture shown, "" none
    uint64_t seq = 0;
    std::shared_ptr<RadioFeed> radio;  // what the front ends deliver (held: the clock thread reads it)
    std::map<std::string, json> traced;  // last decoding line per decoder ("still": its path or "-")

    // Timer thread: passes the DVR input on and notices what changed.
    std::thread clock;
    bool stop = false;
    ~AvState();
};

// What a decoder gets (caller holds AvState::m): "decoder" is "audio0",
// "video0" or "video1". Fills input, pid, pcr_pid, present, service, ...
json decoder_feed(Box &box, AvState &s, const std::string &decoder);
// The whole A/V state as the snapshot shows it.
json av_describe(Box &box);
// Records a "decoding" trace line for every decoder whose state changed.
void av_note_changes(Box &box);
void av_note_changes(Box &box, AvState &s);
// The bytes the DVR input passed on (up to "dvr_capture").
std::string dvr_passed(Box &box);

// Shared by the device files.
void install_demux(Box &box, AvState &s);
void install_decoders(Box &box, AvState &s);
void install_dvr(Box &box, AvState &s, const json &cfg);
void install_stills(Box &box, const json &cfg);
// Passes on what the DVR input may by now (caller holds AvState::m); true
// when room for a packet appeared.
bool dvr_pass(Box &box, AvState &s, int64_t now_ms);
// Passes bytes on to demultiplexer 4: kept for tests up to "dvr_capture" and
// checked (caller holds AvState::m).
void dvr_pass_on(Box &box, AvState &s, const unsigned char *p, size_t n, int64_t now_ms);

} // namespace boxsim
