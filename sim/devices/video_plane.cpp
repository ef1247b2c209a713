// The video plane and the still picture.
//
// While video decoder 0 decodes a service that its stream carries, the
// plane shows a test picture naming it (front end, PIDs, stream type) with a
// clock running since play; after a stop without blanking the last frame
// stays; after a stop with blanking it is black. /usr/bin/showiframe puts a
// still picture in its place until video decoder 0 plays or blanks again.
// Video decoder 1 shows in the top right corner.
#include "devices/video_plane.h"

#include "core/shell.h"
#include "devices/av.h"

#include <algorithm>
#include <cstring>

namespace boxsim {

namespace {

// A 5 x 7 font of the characters the pictures use; each row is five bits,
// the leftmost the highest.
struct Glyph {
    char c;
    uint8_t rows[7];
};
constexpr Glyph kFont[] = {
    {'0', {14, 17, 19, 21, 25, 17, 14}}, {'1', {4, 12, 4, 4, 4, 4, 14}},     {'2', {14, 17, 1, 2, 4, 8, 31}},
    {'3', {31, 2, 4, 2, 1, 17, 14}},     {'4', {2, 6, 10, 18, 31, 2, 2}},    {'5', {31, 16, 30, 1, 1, 17, 14}},
    {'6', {6, 8, 16, 30, 17, 17, 14}},   {'7', {31, 1, 2, 4, 8, 8, 8}},      {'8', {14, 17, 17, 14, 17, 17, 14}},
    {'9', {14, 17, 17, 15, 1, 2, 12}},   {'A', {14, 17, 17, 31, 17, 17, 17}}, {'B', {30, 17, 17, 30, 17, 17, 30}},
    {'C', {14, 17, 16, 16, 16, 17, 14}}, {'D', {28, 18, 17, 17, 17, 18, 28}}, {'E', {31, 16, 16, 30, 16, 16, 31}},
    {'F', {31, 16, 16, 30, 16, 16, 16}}, {'G', {14, 17, 16, 23, 17, 17, 15}}, {'H', {17, 17, 17, 31, 17, 17, 17}},
    {'I', {14, 4, 4, 4, 4, 4, 14}},      {'J', {7, 2, 2, 2, 2, 18, 12}},     {'K', {17, 18, 20, 24, 20, 18, 17}},
    {'L', {16, 16, 16, 16, 16, 16, 31}}, {'M', {17, 27, 21, 21, 17, 17, 17}}, {'N', {17, 17, 25, 21, 19, 17, 17}},
    {'O', {14, 17, 17, 17, 17, 17, 14}}, {'P', {30, 17, 17, 30, 16, 16, 16}}, {'Q', {14, 17, 17, 17, 21, 18, 13}},
    {'R', {30, 17, 17, 30, 20, 18, 17}}, {'S', {15, 16, 16, 14, 1, 1, 30}},   {'T', {31, 4, 4, 4, 4, 4, 4}},
    {'U', {17, 17, 17, 17, 17, 17, 14}}, {'V', {17, 17, 17, 17, 17, 10, 4}},  {'W', {17, 17, 17, 21, 21, 21, 10}},
    {'X', {17, 17, 10, 4, 10, 17, 17}},  {'Y', {17, 17, 17, 10, 4, 4, 4}},    {'Z', {31, 1, 2, 4, 8, 16, 31}},
    {':', {0, 12, 12, 0, 12, 12, 0}},    {'.', {0, 0, 0, 0, 0, 12, 12}},      {'-', {0, 0, 0, 31, 0, 0, 0}},
    {'/', {1, 1, 2, 4, 8, 16, 16}},      {'(', {2, 4, 8, 8, 8, 4, 2}},        {')', {8, 4, 2, 2, 2, 4, 8}},
    {'+', {0, 4, 4, 31, 4, 4, 0}},       {',', {0, 0, 0, 0, 12, 4, 8}},       {'_', {0, 0, 0, 0, 0, 0, 31}},
};

const Glyph *glyph(char c)
{
    if (c >= 'a' && c <= 'z')
        c = static_cast<char>(c - 'a' + 'A');
    for (const auto &g : kFont)
        if (g.c == c)
            return &g;
    return nullptr;
}

void fill(Image &img, int x0, int y0, int w, int h, uint32_t c)
{
    const int x_from = std::max(0, x0), x_to = std::min(img.width, x0 + w);
    if (x_from >= x_to)
        return;
    for (int y = std::max(0, y0), y_to = std::min(img.height, y0 + h); y < y_to; ++y)
        std::fill_n(&img.argb[static_cast<size_t>(y) * img.width + x_from], x_to - x_from, c);
}

// Text at `scale` pixels per font dot; returns its width.
int text_width(const std::string &t, int scale) { return static_cast<int>(t.size()) * 6 * scale; }
void text(Image &img, int x, int y, const std::string &t, int scale, uint32_t c)
{
    for (char ch : t) {
        if (const Glyph *g = glyph(ch))
            for (int r = 0; r < 7; ++r)
                for (int b = 0; b < 5; ++b)
                    if (g->rows[r] & (16 >> b))
                        fill(img, x + b * scale, y + r * scale, scale, scale, c);
        x += 6 * scale;
    }
}
void text_centred(Image &img, int y, const std::string &t, int scale, uint32_t c)
{
    text(img, (img.width - text_width(t, scale)) / 2, y, t, scale, c);
}

Image black()
{
    Image img;
    img.width = kVideoWidth;
    img.height = kVideoHeight;
    img.argb.assign(static_cast<size_t>(kVideoWidth) * kVideoHeight, 0xFF000000u);
    return img;
}

std::string clock_text(int64_t ms)
{
    char buf[32];
    int64_t s = ms / 1000;
    snprintf(buf, sizeof buf, "%02d:%02d:%02d", static_cast<int>(s / 3600 % 100), static_cast<int>(s / 60 % 60),
             static_cast<int>(s % 60));
    return buf;
}

const char *stream_type_name(int t) { return t == 0 ? "MPEG-2" : t == 1 ? "H.264" : "TYPE ?"; }

// The test picture of a decoded service: colour bars, the service's name,
// where it comes from and the clock.
Image test_picture(const json &feed, int stream_type, int64_t clock_ms)
{
    Image img = black();
    static const uint32_t bars[] = {0xFFC0C0C0, 0xFFC0C000, 0xFF00C0C0, 0xFF00C000,
                                    0xFFC000C0, 0xFFC00000, 0xFF0000C0};
    int bw = kVideoWidth / 7 + 1;
    for (int i = 0; i < 7; ++i)
        fill(img, i * bw, 0, bw, 440, bars[i]);
    fill(img, 0, 440, kVideoWidth, 280, 0xFF101828);
    std::string name = feed.value("service", "?");
    text_centred(img, 470, name, 8, 0xFFFFFFFF);
    char line[160];
    snprintf(line, sizeof line, "FRONT END %d  VIDEO %d  AUDIO %d  PCR %d  %s", feed.value("frontend", -1),
             feed.value("pid", -1), feed.value("audio_pid", -1), feed.value("pcr_pid", -1),
             stream_type_name(stream_type));
    text_centred(img, 560, line, 3, 0xFFE0E0E0);
    text_centred(img, 610, clock_text(clock_ms), 6, 0xFFFFFF00);
    return img;
}

// A still picture: the shipped ones are named by their file.
Image still_picture(const std::string &path)
{
    Image img = black();
    for (int y = 0; y < kVideoHeight; ++y)
        fill(img, 0, y, kVideoWidth, 1, 0xFF000000u | static_cast<uint32_t>(0x20 + y * 0x60 / kVideoHeight));
    std::string base = path.substr(path.rfind('/') + 1);
    text_centred(img, 300, "STILL PICTURE", 6, 0xFFFFFFFF);
    text_centred(img, 380, base, 5, 0xFFB0C8FF);
    return img;
}

// What a decoder's test picture is made from: the service's feed, the
// stream type and the clock.
struct DecoderShows {
    json feed;
    int stream_type = 0;
    int64_t clock_ms = 0;
};

// What video decoder n shows (caller holds the lock), or nullopt for black.
std::optional<DecoderShows> decoder_shows(Box &box, AvState &s, int n)
{
    const VideoDecoder &v = s.video[n];
    if (v.playing) {
        json feed = decoder_feed(box, s, n ? "video1" : "video0");
        // A decoder set for another stream type than the service has shows
        // nothing, as a real one would.
        if (feed.is_null() || !feed.value("present", false) || feed.value("service_stream_type", -1) != v.stream_type)
            return std::nullopt;
        return DecoderShows{std::move(feed), v.stream_type, box.now_ms() - v.play_ms};
    }
    if (!v.blanked && v.frozen_ms >= 0 && v.frozen.is_object() && v.frozen.value("present", false) &&
        v.frozen.value("service_stream_type", -1) == v.stream_type)
        return DecoderShows{v.frozen, v.stream_type, v.frozen_ms};
    return std::nullopt;
}

std::optional<Image> decoder_picture(Box &box, AvState &s, int n)
{
    std::optional<DecoderShows> d = decoder_shows(box, s, n);
    if (!d)
        return std::nullopt;
    return test_picture(d->feed, d->stream_type, d->clock_ms);
}

// The words a decoder's picture is made from, for the plane's stamp; the
// clock by the second it shows.
std::string decoder_words(Box &box, AvState &s, int n)
{
    std::optional<DecoderShows> d = decoder_shows(box, s, n);
    if (!d)
        return "-";
    return d->feed.dump() + " " + std::to_string(d->stream_type) + " " + clock_text(d->clock_ms);
}

int cmd_showiframe(Box &box, ShellIo &io, const std::vector<std::string> &argv)
{
    if (!box.exists("/usr/bin/showiframe")) {
        io.err("sh: " + argv[0] + ": not found\n");
        return 127;
    }
    if (argv.size() < 2 || !box.file(argv[1])) {
        io.err("showiframe: cannot open " + (argv.size() < 2 ? std::string("(none)") : argv[1]) + "\n");
        return 1;
    }
    AvState &s = box.part<AvState>();
    {
        std::lock_guard<std::mutex> g(s.m);
        s.still = argv[1];
    }
    av_note_changes(box, s);
    return 0;
}

} // namespace

void install_stills(Box &box, const json &cfg)
{
    if (cfg.value("showiframe", true))
        box.add_file("/usr/bin/showiframe", "#!/bin/sh\n# shows an MPEG still picture on the video plane\n");
    json stills = cfg.value("stills", json::array({"/usr/share/bootlogo.mvi"}));
    if (!stills.is_array())
        return;
    for (const auto &p : stills)
        if (p.is_string() && p.get<std::string>().starts_with("/"))
            box.add_file(p.get<std::string>(), "MVI still picture\n");
}

std::optional<Image> video_plane_picture(Box &box)
{
    AvState &s = box.part<AvState>();
    std::lock_guard<std::mutex> g(s.m);
    if (!s.installed)
        return std::nullopt;
    std::optional<Image> main;
    if (!s.still.empty())
        main = still_picture(s.still);
    else
        main = decoder_picture(box, s, 0);
    std::optional<Image> pip = decoder_picture(box, s, 1);
    if (!main && !pip)
        return std::nullopt;
    Image out = main ? std::move(*main) : black();
    if (pip) {
        // A quarter-size picture with a white frame, 48 pixels in from the
        // top right corner.
        constexpr int w = kVideoWidth / 4, h = kVideoHeight / 4, x0 = kVideoWidth - w - 48, y0 = 48;
        fill(out, x0 - 3, y0 - 3, w + 6, h + 6, 0xFFFFFFFF);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                out.argb[static_cast<size_t>(y0 + y) * kVideoWidth + x0 + x] = pip->at(x * 4, y * 4);
    }
    return out;
}

std::optional<uint64_t> video_plane_stamp(Box &box)
{
    AvState &s = box.part<AvState>();
    std::lock_guard<std::mutex> g(s.m);
    if (!s.installed)
        return 0;
    // What video_plane_picture draws from, in the same order.
    std::string words = s.still.empty() ? decoder_words(box, s, 0) : "still " + s.still;
    words += "\n" + decoder_words(box, s, 1);
    if (words == "-\n-")
        return 0;
    return hash_bytes(reinterpret_cast<const unsigned char *>(words.data()), words.size()) | 1;
}

BOXSIM_REGISTER({ register_command("showiframe", cmd_showiframe); });

} // namespace boxsim
