#include "boxsim/recorder.h"

#include "boxsim/expect.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>

namespace boxsim::tool {

namespace {

// How long after the saved moment the replay may take to show the same: a
// display that scrolls or LEDs that blink show each of their states within
// a few seconds.
constexpr const char *kWithin = "3s";

// A text as a script's quoted word.
std::string quote(const std::string &text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

bool printable(const std::string &text)
{
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f)
            return false;
    return true;
}

// A value as a script writes it: texts quoted, numbers and true/false bare.
std::optional<std::string> script_value(const json &v)
{
    if (v.is_boolean())
        return std::string(v.get<bool>() ? "true" : "false");
    if (v.is_number_integer())
        return std::to_string(v.get<int64_t>());
    if (v.is_string() && printable(v.get<std::string>()))
        return quote(v.get<std::string>());
    return std::nullopt;
}

std::string png_bytes(const Image &img)
{
    std::vector<unsigned char> out;
    if (!encode_png(img, out))
        return {};
    return std::string(out.begin(), out.end());
}

} // namespace

SavedTest save_test(Session &session, const std::string &name)
{
    SavedTest test;
    test.name = name;
    Box &box = session.box();
    int64_t now = box.now_ms();
    std::string t = std::to_string(now) + "ms";

    std::string script = "# boxsim test: the actions of a run on the front panel page, and what the box\n"
                         "# showed " + t + " after start. Replay: boxsim test FOLDER\n";
    // A profile given as a file goes with the test.
    std::string profile = session.profile_name();
    if (profile.find('/') != std::string::npos || profile.ends_with(".json")) {
        test.files.emplace_back("profile.json", session.profile().dump(2) + "\n");
        profile = "profile.json";
    }
    script += "box " + profile + "\n";
    script += std::string("front-end ") + session.first_front_end().name + "\n\n";
    std::istringstream actions(session.actions_as_script());
    std::string line;
    std::getline(actions, line);  // its own heading
    while (std::getline(actions, line))
        script += line + "\n";
    script += "\n# What was shown\n";

    json st = session.state();
    auto expect = [&](const std::string &what, const std::string &path) {
        auto v = state_value(st, path);
        if (!v)
            return;
        auto text = script_value(*v);
        if (!text)
            return;
        script += t + " expect " + what + ": state " + path + " == " + *text + " within " + kWithin + "\n";
    };
    expect("display", "devices.display.text");
    expect("led0", "devices.leds.0");
    expect("led1", "devices.leds.1");
    expect("ip", "status.ip");
    expect("link", "status.eth_link");
    if (auto tuners = state_value(st, "devices.tuners"); tuners && tuners->is_array())
        for (size_t i = 0; i < tuners->size(); ++i)
            expect("tuner" + std::to_string(i), "devices.tuners." + std::to_string(i) + ".locked");
    for (const char *dec : {"video0", "video1", "audio0"})
        expect(dec, std::string("devices.av.") + dec + ".state");

    // The pictures as they are now; the TV may show a running clock, so a
    // few pixels may differ.
    for (const auto &[which, tolerance] : {std::pair{"tv", "3"}, std::pair{"lcd", "1"}}) {
        bool shown = false;
        auto img = session.shown_picture(which, &shown);
        if (!img || !shown)
            continue;
        std::string bytes = png_bytes(*img);
        if (bytes.empty())
            continue;
        std::string file = name + "-" + which + ".png";
        test.files.emplace_back(file, std::move(bytes));
        script += t + " expect " + which + ": picture " + which + " " + file + " tolerance " + tolerance +
                  " within " + kWithin + "\n";
    }
    test.files.insert(test.files.begin(), {name + ".box", script});
    return test;
}

std::string tar_archive(const SavedTest &test)
{
    std::string out;
    for (const auto &[file, data] : test.files) {
        char h[512];
        memset(h, 0, sizeof h);
        std::string path = test.name + "/" + file;
        snprintf(h, 100, "%s", path.c_str());
        snprintf(h + 100, 8, "%07o", 0644);
        snprintf(h + 108, 8, "%07o", 0);
        snprintf(h + 116, 8, "%07o", 0);
        snprintf(h + 124, 12, "%011llo", static_cast<unsigned long long>(data.size()));
        snprintf(h + 136, 12, "%011llo", static_cast<unsigned long long>(time(nullptr)));
        h[156] = '0';
        memcpy(h + 257, "ustar", 6);
        memcpy(h + 263, "00", 2);
        // The checksum counts its own field as spaces.
        memset(h + 148, ' ', 8);
        unsigned sum = 0;
        for (unsigned char c : h)
            sum += c;
        snprintf(h + 148, 8, "%06o", sum);
        h[155] = ' ';
        out.append(h, sizeof h);
        out += data;
        out.append((512 - data.size() % 512) % 512, '\0');
    }
    out.append(1024, '\0');
    return out;
}

bool write_saved_test(const SavedTest &test, const std::string &dir, std::string &err)
{
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        err = "cannot create " + dir + ": " + ec.message();
        return false;
    }
    for (const auto &[file, data] : test.files)
        if (!write_file_atomic(dir + "/" + file, data)) {
            err = "cannot write " + dir + "/" + file;
            return false;
        }
    return true;
}

} // namespace boxsim::tool
