// A simulated box for the port monitor, with the network quick enough for
// tests, the system's standard output captured into the trace, and the
// monitor task running on a thread of its own when a test asks for it.
#pragma once

#include "app/status.h"
#include "monitor/port.h"
#include "devices/net.h"
#include "sim_test.h"

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace monitortest {

using boxsim::Box;
using boxsim::json;
using namespace std::chrono_literals;

// A kind-3 box: cable in, a DHCP server that answers at once, a valid MAC
// record in flash. Tests change what they need.
inline json fast_profile()
{
    return json::parse(R"({
      "model": "rcplus",
      "network": {
        "cable": true, "speed": 1000, "up": true, "autoneg_ms": 0,
        "dhcp": { "lease": "192.168.1.20", "answer_ms": 20, "discover_timeout_ms": 60,
                  "retries": 3, "retry_pause_ms": 150 }
      },
      "usb": { "ports": { "1": "1-1", "2": "1-2" } },
      "sata": { "hosts": 0 },
      "hdmi": { "state": 1 },
      "flash": { "size": 131072, "header": "48574944000100080000a55a", "mac": "02:1c:b4:10:00:01" }
    })");
}

class MonitorTest : public ::testing::Test {
protected:
    void start(const json &profile = fast_profile(), ModelKind kind = 3)
    {
        // One box and one capture at a time: the old ones go first.
        capture.reset();
        box.reset();
        status_clear();
        g_status.model_kind = kind;
        box = boxtest::make_box_from(profile);
        capture = std::make_unique<boxsim::StdioCapture>(*box, nullptr, nullptr, true);
    }

    void run_task()
    {
        task = boxsim::clock::spawn("task", [] { task_port(nullptr, nullptr); });
    }

    void TearDown() override
    {
        g_status.quit = 1;
        boxsim::clock::join(task);
        capture.reset();
        box.reset();
    }

    // Everything the system printed so far, one entry per line.
    std::vector<std::string> printed_lines()
    {
        capture->drain();
        std::vector<std::string> out;
        for (const auto &e : box->trace().find("stdout"))
            out.push_back(e.value("text", ""));
        return out;
    }

    // Commands the system ran with system(), in order.
    std::vector<std::string> commands()
    {
        std::vector<std::string> out;
        for (const auto &e : box->trace().find("system"))
            out.push_back(e.value("cmd", ""));
        return out;
    }

    // Position of the first trace event that satisfies pred, or -1.
    long index_of(const std::function<bool(const json &)> &pred)
    {
        auto ev = box->trace().events();
        for (size_t i = 0; i < ev.size(); ++i)
            if (pred(ev[i]))
                return static_cast<long>(i);
        return -1;
    }

    // The DHCP client was started, its pipe closed and then any client in the
    // background killed, in that order.
    void expect_client_closed_then_killed()
    {
        long popen = index_of([](const json &e) { return e["op"] == "popen" && e["cmd"] == "udhcpc"; });
        long pclose = index_of([](const json &e) { return e["op"] == "pclose"; });
        long kill = index_of([](const json &e) { return e["op"] == "system" && e["cmd"] == "killall -9 udhcpc"; });
        EXPECT_GE(popen, 0);
        EXPECT_GT(pclose, popen);
        EXPECT_GT(kill, pclose);
    }

    // The DHCP client was started, then, reading stopped while it may still
    // run, killed before its pipe was closed (closing waits for it).
    void expect_client_killed_then_closed()
    {
        long popen = index_of([](const json &e) { return e["op"] == "popen" && e["cmd"] == "udhcpc"; });
        long pclose = index_of([](const json &e) { return e["op"] == "pclose"; });
        long kill = index_of([](const json &e) { return e["op"] == "system" && e["cmd"] == "killall -9 udhcpc"; });
        EXPECT_GE(popen, 0);
        EXPECT_GT(kill, popen);
        EXPECT_GT(pclose, kill);
    }

    std::string ip() const
    {
        return std::to_string(status_load_byte(&g_status.ip[0])) + "." +
               std::to_string(status_load_byte(&g_status.ip[1])) + "." +
               std::to_string(status_load_byte(&g_status.ip[2])) + "." +
               std::to_string(status_load_byte(&g_status.ip[3]));
    }

    std::string text(const char *field) const
    {
        char buf[256];
        status_copy_text(buf, sizeof buf, field, 256);
        return buf;
    }

    std::unique_ptr<Box> box;
    std::unique_ptr<boxsim::StdioCapture> capture;
    std::thread task;
};

} // namespace monitortest
