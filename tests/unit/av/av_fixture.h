// A fresh simulated box for the A/V functions, with fast DVR rates, a radio
// feed set by hand and helpers that read what the box saw.
#pragma once

#include "app/status.h"
#include "core/image.h"
#include "devices/av.h"
#include "devices/radio.h"
#include "devices/video_plane.h"
#include "sim_test.h"

#include <string>
#include <vector>

namespace avtest {

using boxsim::json;

// The C-band transponder and the cable channel as the tuners deliver them.
inline boxsim::LockedChannel cband()
{
    boxsim::LockedChannel ch{"4000 MHz H, 28125 kS/s, DVB-S", {}};
    ch.services = {{"C-band 1", 380, 381, 380, 0},
                   {"C-band 2", 4501, 4502, 4501, 0},
                   {"C-band 3", 167, 108, 167, 0},
                   {"C-band 4", 517, 700, 517, 0}};
    return ch;
}
inline boxsim::LockedChannel cable() { return {"466 MHz, 6900 kS/s, QAM-256", {{"Cable", 308, 103, 8190, 0}}}; }

class AvTest : public ::testing::Test {
protected:
    void make(json av = json::object())
    {
        json profile = {{"model", "rcplus"}, {"av", av}};
        box = boxtest::make_box_from(profile);
        cap = std::make_unique<boxsim::StdioCapture>(*box, nullptr, nullptr, false);
    }
    void lock(int fe, std::optional<boxsim::LockedChannel> ch)
    {
        box->part<boxsim::RadioFeed>().set(fe, std::move(ch));
        box->changed();
    }
    std::string out()
    {
        cap->drain();
        return boxtest::printed(*box, "stdout");
    }
    json av() { return box->describe()["av"]; }
    // "PATH NAME" of every request on the A/V devices, in order.
    std::vector<std::string> requests(size_t from = 0)
    {
        std::vector<std::string> r;
        auto ev = box->trace().find("ioctl");
        for (size_t i = from; i < ev.size(); ++i)
            r.push_back(ev[i].value("path", "") + " " + ev[i].value("name", "?"));
        return r;
    }
    json last(const std::string &name)
    {
        json found;
        for (auto &e : box->trace().find("ioctl"))
            if (e.value("name", "") == name)
                found = e;
        return found;
    }

    std::unique_ptr<boxsim::Box> box;
    std::unique_ptr<boxsim::StdioCapture> cap;
};

} // namespace avtest
