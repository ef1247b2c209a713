// The console's descriptors against the box's other users of them: the DHCP
// client the port task starts again and again while no server answers, the
// file pump beside the key task, the tuner monitor beside the key task.
#include "console_run.h"

#include "av/tsfile.h"
#include "boxsim/script.h"
#include "platform/box_abi.h"
#include "devices/net.h"
#include "tuner/frontend.h"
#include "tuner/tuner_monitor.h"

namespace console_descriptors_test {
namespace {

using namespace consolerun;

void press(boxsim::Box &box, const std::string &key)
{
    std::string err;
    auto a = boxsim::parse_action("key " + key, err);
    ASSERT_TRUE(a) << err;
    boxsim::run_action(box, *a, "test");
}

size_t count_of(boxsim::Box &box, const char *op, const std::string &what)
{
    size_t n = 0;
    box.trace().for_each([&](const json &e) {
        if (e.value("op", "") == op && (e.value("cmd", "") == what || e.value("path", "") == what))
            ++n;
    });
    return n;
}

// The result of the last open of `path`, or -2 when there was none.
int last_open(boxsim::Box &box, const std::string &path)
{
    int r = -2;
    box.trace().for_each([&](const json &e) {
        if (e.value("op", "") == "open" && e.value("path", "") == path)
            r = e.value("result", -2);
    });
    return r;
}

// Waits until the port task has started the DHCP client once more, so that
// the client runs now and inherited whatever was open.
bool fresh_client(boxsim::Box &box)
{
    size_t before = count_of(box, "popen", "udhcpc");
    return boxtest::eventually([&] { return count_of(box, "popen", "udhcpc") > before; }, 10s);
}

// No server answers: the client sends its discovers 800 ms apart, the port
// task ends it after four and starts it again a second later.
json silent_server_profile()
{
    json profile = ConsoleRun::profile("default");
    profile["network"]["autoneg_ms"] = 0;
    profile["network"]["dhcp"] = {{"lease", nullptr}, {"discover_timeout_ms", 800}, {"retries", 10}, {"retry_pause_ms", 400}};
    return profile;
}

// A tuner switched off and on, the decoders it feeds, and the DVR input of
// the audio file, each closed and opened again while a client started
// meanwhile runs: every reopen finds its device free.
TEST(ConsoleDescriptors, TheDhcpClientHoldsNoDeviceOfTheConsole)
{
    ConsoleRun run(silent_server_profile());
    ASSERT_TRUE(run.started);
    boxsim::Box &box = *run.box;
    ASSERT_TRUE(boxtest::eventually([] { return tuner_system[0] != 0; }, 5s));

    press(box, "1");
    ASSERT_TRUE(boxtest::eventually([] { return tuner_locked[0] != 0; }, 5s));
    ASSERT_TRUE(fresh_client(box));
    size_t closes = count_of(box, "close", "/dev/dvb0.frontend0");
    size_t opens = count_of(box, "open", "/dev/dvb0.frontend0");
    press(box, "1");
    ASSERT_TRUE(boxtest::eventually([&] { return count_of(box, "close", "/dev/dvb0.frontend0") > closes; }, 3s));
    press(box, "1");
    ASSERT_TRUE(boxtest::eventually([&] { return count_of(box, "open", "/dev/dvb0.frontend0") > opens; }, 3s));
    EXPECT_GE(last_open(box, "/dev/dvb0.frontend0"), 0) << "the frontend is held by the DHCP client";
    EXPECT_GE(last_open(box, "/dev/dvb0.video0"), 0) << "the video decoder is held by the DHCP client";
    EXPECT_GE(last_open(box, "/dev/dvb0.audio0"), 0) << "the audio decoder is held by the DHCP client";
    EXPECT_TRUE(boxtest::eventually([] { return tuner_locked[0] != 0; }, 5s)) << "the tuner locks again";

    press(box, "8");
    ASSERT_TRUE(boxtest::eventually([] { return g_status.tsfile_playing == 1; }, 3s));
    ASSERT_TRUE(fresh_client(box));
    press(box, "8");
    ASSERT_TRUE(boxtest::eventually([] { return g_status.tsfile_playing == 0; }, 3s));
    opens = count_of(box, "open", "/dev/dvb0.dvr4");
    press(box, "8");
    ASSERT_TRUE(boxtest::eventually([&] { return count_of(box, "open", "/dev/dvb0.dvr4") > opens; }, 3s));
    EXPECT_GE(last_open(box, "/dev/dvb0.dvr4"), 0) << "the DVR input is held by the DHCP client";
    auto frames = [&] { return box.describe()["av"]["dvr4"]["check"].value("audio_frames", 0); };
    int before = frames();
    EXPECT_TRUE(boxtest::eventually([&] { return frames() > before + 10; }, 3s)) << "the file plays again";

    // Every descriptor the console opened is close-on-exec.
    box.trace().for_each([&](const json &e) {
        if (e.value("op", "") == "open" && e.value("result", -1) >= 0) {
            EXPECT_EQ(e.value("cloexec", false), true) << e.dump();
        }
    });
}

// A frontend that notes which thread made each of its requests, and
// otherwise is the box's own.
class FrontendSpy : public boxsim::Device {
public:
    explicit FrontendSpy(std::shared_ptr<boxsim::Node> real) : real_(std::move(real)) {}
    int open(boxsim::OpenFile &of) override { return real_->open(of); }
    void release(boxsim::OpenFile &of) override { real_->release(of); }
    short poll(boxsim::OpenFile &of, short events) override { return real_->poll(of, events); }
    int ioctl(boxsim::OpenFile &of, unsigned long req, unsigned long arg, json &ev) override
    {
        {
            std::lock_guard<std::mutex> g(m_);
            by_[static_cast<uint32_t>(req)].push_back(std::this_thread::get_id());
        }
        return real_->ioctl(of, req, arg, ev);
    }
    std::vector<std::thread::id> callers(uint32_t req)
    {
        std::lock_guard<std::mutex> g(m_);
        return by_[req];
    }

private:
    std::shared_ptr<boxsim::Node> real_;
    std::mutex m_;
    std::map<uint32_t, std::vector<std::thread::id>> by_;
};

// Keys 5 and 6 change the supply and the tone of the running tuner; the
// tuner monitor, which alone opens and closes the frontend, applies them.
// The key task never uses a frontend descriptor that the monitor may close
// under it.
TEST(ConsoleDescriptors, OnlyTheTunerMonitorUsesTheFrontend)
{
    json profile = ConsoleRun::profile("default");
    profile["network"]["autoneg_ms"] = 0;
    ConsoleRun run(profile);
    ASSERT_TRUE(run.started);
    boxsim::Box &box = *run.box;
    auto spy = std::make_shared<FrontendSpy>(box.lookup("/dev/dvb0.frontend0"));
    box.add_node("/dev/dvb0.frontend0", spy);
    ASSERT_TRUE(boxtest::eventually([] { return tuner_system[0] != 0; }, 5s));
    press(box, "1");
    ASSERT_TRUE(boxtest::eventually([] { return tuner_locked[0] != 0; }, 5s));
    size_t voltages = spy->callers(box_abi::FE_SET_VOLTAGE).size();
    size_t tones = spy->callers(box_abi::FE_SET_TONE).size();
    press(box, "5");
    press(box, "6");
    EXPECT_TRUE(boxtest::eventually([&] { return spy->callers(box_abi::FE_SET_VOLTAGE).size() > voltages; }, 2s));
    EXPECT_TRUE(boxtest::eventually([&] { return spy->callers(box_abi::FE_SET_TONE).size() > tones; }, 2s));
    auto monitor = spy->callers(box_abi::FE_READ_STATUS);
    ASSERT_FALSE(monitor.empty());
    for (uint32_t req : {box_abi::FE_SET_VOLTAGE, box_abi::FE_SET_TONE, box_abi::FE_READ_STATUS})
        for (auto id : spy->callers(req))
            EXPECT_EQ(id, monitor[0]) << "request " << req << " from a task other than the tuner monitor";
    // From 18 V the key switches the supply off: the LNB, unpowered, loses the lock.
    EXPECT_TRUE(boxtest::eventually([&] { return tuner_locked[0] == 0; }, 3s));
}

} // namespace
} // namespace console_descriptors_test
