// The simulated frontends and radio on their own, as a driver test would
// drive them: what locks and what does not, how a locked tuner follows its
// LNB supply, the antenna cable and the mode file, what reaches the
// demultiplexers, the NIM list, the trace, the actions and the snapshot.
#include "devices/frontend.h"
#include "devices/radio.h"
#include "devices/radio_model.h"
#include "platform/box_abi.h"
#include "platform/os.h"
#include "sim_test.h"

#include <fcntl.h>

#include <fstream>
#include <set>

namespace {

using boxsim::Box;
using boxsim::json;
using namespace std::chrono_literals;

json factory_input()
{
    std::string err;
    auto p = Box::load_profile("tetraplus", err);
    EXPECT_TRUE(p) << err;
    return p ? (*p)["inputs"]["factory"] : json::object();
}

TEST(RadioModel, WhatEachTuneReceives)
{
    std::string err;
    auto in = boxsim::radio::input_from_json(factory_input(), err);
    EXPECT_EQ(err, "");
    const std::vector<int> s2 = {SYS_DVBS, SYS_DVBS2}, cable = {SYS_DVBC_ANNEX_A}, t2 = {SYS_DVBT, SYS_DVBT2},
                           t = {SYS_DVBT};
    struct Case {
        const char *what;
        std::vector<int> systems;
        boxsim::radio::Tune tune;
        boxsim::radio::Supply supply;
        const char *carrier;  // label of the channel found, or null
        bool receivable;
    };
    const Case cases[] = {
        {"C-band at 18 V", s2, {SYS_DVBS, 1150000, 28125000, QPSK, 0}, {1, 1}, "4000 MHz H, 28125 kS/s, DVB-S", true},
        {"C-band 1.9 MHz off", s2, {SYS_DVBS, 1151900, 28125000, QPSK, 0}, {1, 1}, "4000 MHz H, 28125 kS/s, DVB-S",
         true},
        {"C-band 3 MHz off", s2, {SYS_DVBS, 1153000, 28125000, QPSK, 0}, {1, 1}, nullptr, false},
        {"C-band at 13 V", s2, {SYS_DVBS, 1150000, 28125000, QPSK, 0}, {0, 1}, nullptr, false},
        {"C-band as DVB-S2", s2, {SYS_DVBS2, 1150000, 28125000, QPSK, 0}, {1, 1}, "4000 MHz H, 28125 kS/s, DVB-S",
         false},
        {"C-band, wrong symbol rate", s2, {SYS_DVBS, 1150000, 27500000, QPSK, 0}, {1, 1},
         "4000 MHz H, 28125 kS/s, DVB-S", false},
        {"C-band on a cable tuner", cable, {SYS_DVBS, 1150000, 28125000, QPSK, 0}, {1, 1},
         "4000 MHz H, 28125 kS/s, DVB-S", false},
        {"11494 low band", s2, {SYS_DVBS2, 1744000, 22000000, PSK_8, 0}, {1, 1}, "11494 MHz H, 22000 kS/s, DVB-S2",
         true},
        {"11362 low band", s2, {SYS_DVBS2, 1612000, 22000000, PSK_8, 0}, {1, 1}, "11362 MHz H, 22000 kS/s, DVB-S2",
         true},
        {"11494 with the tone on", s2, {SYS_DVBS2, 1744000, 22000000, PSK_8, 0}, {1, 0}, nullptr, false},
        {"cable 466", cable, {SYS_DVBC_ANNEX_A, 466000000, 6900000, QAM_256, 0}, {2, 1},
         "466 MHz, 6900 kS/s, DVB-C", true},
        {"cable 474: nothing", cable, {SYS_DVBC_ANNEX_A, 474000000, 6900000, QAM_256, 0}, {2, 1}, nullptr, false},
        {"DVB-T on a T2 tuner", t2, {SYS_DVBT, 546000000, 0, QAM_AUTO, 8000000}, {0, 1},
         "546 MHz, 8 MHz wide, DVB-T", true},
        {"DVB-T2 on a T2 tuner", t2, {SYS_DVBT2, 626000000, 0, QAM_AUTO, 8000000}, {2, 1},
         "626 MHz, 8 MHz wide, DVB-T2", true},
        {"DVB-T2 on a T tuner", t, {SYS_DVBT2, 626000000, 0, QAM_AUTO, 8000000}, {2, 1},
         "626 MHz, 8 MHz wide, DVB-T2", false},
        {"ISDB-T with DVB-T", t2, {SYS_DVBT, 578000000, 0, QAM_AUTO, 6000000}, {2, 1},
         "578 MHz, 6 MHz wide, ISDB-T", false},
    };
    for (const auto &c : cases) {
        auto r = boxsim::radio::receive(in, c.systems, c.tune, c.supply);
        EXPECT_EQ(r.carrier ? r.carrier->label() : std::string("none"), c.carrier ? c.carrier : "none") << c.what;
        EXPECT_EQ(r.receivable, c.receivable) << c.what << ": " << r.why;
        EXPECT_EQ(r.why.empty(), c.receivable) << c.what;
    }
}

class SimFrontend : public ::testing::Test {
protected:
    void make(const json &tuners, const json &extra = json::object())
    {
        json p = {{"model", "rcplus"}, {"tuners", tuners}, {"inputs", {{"factory", factory_input()}}}};
        p.update(extra);
        box = boxtest::make_box_from(p);
    }
    int open_fe(int n, int flags = O_RDWR)
    {
        return os::open(("/dev/dvb0.frontend" + std::to_string(n)).c_str(), flags | O_NONBLOCK);
    }
    uint32_t status(int fd)
    {
        uint32_t w = 0xdead;
        EXPECT_EQ(os::ioctl(fd, box_abi::FE_READ_STATUS, &w), 0);
        return w;
    }
    int tune(int fd, std::vector<std::pair<uint32_t, uint32_t>> list)
    {
        std::vector<dtv_property> props(list.size());
        for (size_t i = 0; i < list.size(); ++i) {
            props[i].cmd = list[i].first;
            props[i].u.data = list[i].second;
        }
        dtv_properties p = {static_cast<uint32_t>(props.size()), props.data()};
        return os::ioctl(fd, box_abi::FE_SET_PROPERTY, &p);
    }
    int tune_sat(int fd, uint32_t khz, uint32_t system, uint32_t srate, uint32_t m)
    {
        return tune(fd, {{DTV_CLEAR, 0},
                         {DTV_FREQUENCY, khz},
                         {DTV_DELIVERY_SYSTEM, system},
                         {DTV_MODULATION, m},
                         {DTV_SYMBOL_RATE, srate},
                         {DTV_TUNE, 0}});
    }
    json last(const std::string &name)
    {
        json found;
        for (const auto &e : box->trace().find("ioctl"))
            if (e.value("name", "") == name)
                found = e;
        return found;
    }
    std::optional<boxsim::LockedChannel> feed(int n) { return box->part<boxsim::RadioFeed>().get(n); }

    std::unique_ptr<Box> box;
};

TEST_F(SimFrontend, LockFollowsTheSupplyAndTheCable)
{
    make(json::array({{{"type", "DVB-S2"}, {"input", "factory"}, {"acquire_ms", 150}}}));
    int fd = open_fe(0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(os::ioctl(fd, box_abi::FE_SET_VOLTAGE, SEC_VOLTAGE_18), 0);
    EXPECT_EQ(os::ioctl(fd, box_abi::FE_SET_TONE, SEC_TONE_OFF), 0);
    ASSERT_EQ(tune_sat(fd, 1150000, SYS_DVBS, 28125000, QPSK), 0);

    // Acquiring: signal and carrier, not yet lock, nothing delivered.
    EXPECT_EQ(status(fd), FE_HAS_SIGNAL | FE_HAS_CARRIER);
    EXPECT_FALSE(feed(0));
    ASSERT_TRUE(boxtest::eventually([&] { return status(fd) == 0x1F; }, 2s));
    ASSERT_TRUE(feed(0));
    EXPECT_EQ(feed(0)->label, "4000 MHz H, 28125 kS/s, DVB-S");
    ASSERT_EQ(feed(0)->services.size(), 4u);
    EXPECT_EQ(feed(0)->service_with(381)->name, "C-band 1");
    EXPECT_EQ(feed(0)->service_with(700)->video_pid, 517);

    // 13 V turns the LNB to vertical: the lock goes at once, the stream too.
    uint64_t v = box->part<boxsim::RadioFeed>().version();
    EXPECT_EQ(os::ioctl(fd, box_abi::FE_SET_VOLTAGE, SEC_VOLTAGE_13), 0);
    EXPECT_FALSE(feed(0));
    EXPECT_GT(box->part<boxsim::RadioFeed>().version(), v);
    EXPECT_EQ(status(fd), 0u);
    // Back to 18 V, the demodulator finds it again after its acquisition.
    EXPECT_EQ(os::ioctl(fd, box_abi::FE_SET_VOLTAGE, SEC_VOLTAGE_18), 0);
    EXPECT_NE(status(fd), 0x1Fu);
    EXPECT_TRUE(boxtest::eventually([&] { return status(fd) == 0x1F; }, 2s));

    // The antenna cable out and in again; then readings set from outside.
    EXPECT_TRUE(boxsim::frontend::signal(*box, 0, false));
    EXPECT_EQ(status(fd), 0u);
    uint16_t snr = 1, strength = 1;
    EXPECT_EQ(os::ioctl(fd, box_abi::FE_READ_SNR, &snr), 0);
    EXPECT_EQ(os::ioctl(fd, box_abi::FE_READ_SIGNAL_STRENGTH, &strength), 0);
    EXPECT_EQ(snr + strength, 0);
    EXPECT_TRUE(boxsim::frontend::signal(*box, 0, true));
    EXPECT_TRUE(boxtest::eventually([&] { return status(fd) == 0x1F; }, 2s));
    EXPECT_TRUE(boxsim::frontend::readings(*box, 0, 100, 50));
    EXPECT_EQ(os::ioctl(fd, box_abi::FE_READ_SNR, &snr), 0);
    EXPECT_EQ(os::ioctl(fd, box_abi::FE_READ_SIGNAL_STRENGTH, &strength), 0);
    EXPECT_EQ(snr, 65535);
    EXPECT_EQ(strength * 100 / 65535, 50);

    // The last close puts the frontend to sleep.
    os::close(fd);
    EXPECT_FALSE(feed(0));
    auto st = boxsim::frontend::state(*box, 0);
    EXPECT_EQ(st["voltage"], "SEC_VOLTAGE_OFF");
    EXPECT_EQ(st["open"], false);
    EXPECT_EQ(st["locked"], false);
}

// How long a tune takes to lock when the profile gives no time: what a
// demodulator of the delivery system takes, from the moment of DTV_TUNE;
// a new DTV_TUNE starts the acquisition again.
TEST_F(SimFrontend, LockTimesByDeliverySystem)
{
    struct Case {
        const char *what;
        const char *type;
        std::vector<std::pair<uint32_t, uint32_t>> props;
        int voltage;
        int snr_pct;  // readings set from outside; -1: the channel's own
        int lock_ms;
    } cases[] = {
        {"DVB-S QPSK 28125 kS/s", "DVB-S2",
         {{DTV_FREQUENCY, 1150000}, {DTV_DELIVERY_SYSTEM, SYS_DVBS}, {DTV_MODULATION, QPSK},
          {DTV_SYMBOL_RATE, 28125000}},
         SEC_VOLTAGE_18, -1, 400},
        {"DVB-S2 8PSK 22000 kS/s at 65 % SNR", "DVB-S2",
         {{DTV_FREQUENCY, 1744000}, {DTV_DELIVERY_SYSTEM, SYS_DVBS2}, {DTV_MODULATION, PSK_8},
          {DTV_SYMBOL_RATE, 22000000}},
         SEC_VOLTAGE_18, -1, 400},
        {"DVB-S2 8PSK 22000 kS/s at 60 % SNR", "DVB-S2",
         {{DTV_FREQUENCY, 1612000}, {DTV_DELIVERY_SYSTEM, SYS_DVBS2}, {DTV_MODULATION, PSK_8},
          {DTV_SYMBOL_RATE, 22000000}},
         SEC_VOLTAGE_18, -1, 800},
        {"DVB-S2 at 20 % SNR", "DVB-S2",
         {{DTV_FREQUENCY, 1744000}, {DTV_DELIVERY_SYSTEM, SYS_DVBS2}, {DTV_MODULATION, PSK_8},
          {DTV_SYMBOL_RATE, 22000000}},
         SEC_VOLTAGE_18, 20, 800},
        {"DVB-C QAM-256", "DVB-C",
         {{DTV_FREQUENCY, 466000000}, {DTV_DELIVERY_SYSTEM, SYS_DVBC_ANNEX_A}, {DTV_MODULATION, QAM_256},
          {DTV_SYMBOL_RATE, 6900000}},
         SEC_VOLTAGE_OFF, -1, 300},
        {"DVB-C automatic QAM", "DVB-C",
         {{DTV_FREQUENCY, 466000000}, {DTV_DELIVERY_SYSTEM, SYS_DVBC_ANNEX_A}, {DTV_MODULATION, QAM_AUTO},
          {DTV_SYMBOL_RATE, 6900000}},
         SEC_VOLTAGE_OFF, -1, 1000},
        {"DVB-T automatic mode", "DVB-T2",
         {{DTV_DELIVERY_SYSTEM, SYS_DVBT}, {DTV_FREQUENCY, 546000000}, {DTV_MODULATION, QAM_AUTO},
          {DTV_BANDWIDTH_HZ, 8000000}},
         SEC_VOLTAGE_OFF, -1, 1000},
        {"DVB-T2", "DVB-T2",
         {{DTV_DELIVERY_SYSTEM, SYS_DVBT2}, {DTV_FREQUENCY, 626000000}, {DTV_MODULATION, QAM_AUTO},
          {DTV_BANDWIDTH_HZ, 8000000}},
         SEC_VOLTAGE_OFF, -1, 2000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        make(json::array({{{"type", c.type}, {"input", "factory"}}}));
        int fd = open_fe(0);
        ASSERT_GE(fd, 0);
        if (c.voltage != SEC_VOLTAGE_OFF) {
            ASSERT_EQ(os::ioctl(fd, box_abi::FE_SET_VOLTAGE, c.voltage), 0);
            ASSERT_EQ(os::ioctl(fd, box_abi::FE_SET_TONE, SEC_TONE_OFF), 0);
        }
        if (c.snr_pct >= 0)
            boxsim::frontend::readings(*box, 0, c.snr_pct, 50);
        auto props = c.props;
        props.insert(props.begin(), {DTV_CLEAR, 0});
        props.push_back({DTV_TUNE, 0});
        // Tuned twice, half the lock time apart: the second tune starts over.
        ASSERT_EQ(tune(fd, props), 0);
        boxsim::clock::sleep_for_ms(c.lock_ms / 2);
        ASSERT_EQ(tune(fd, props), 0);
        const int64_t tuned = box->now_ms();
        EXPECT_EQ(boxsim::frontend::state(*box, 0)["lock_ms"], c.lock_ms);
        boxsim::clock::sleep_for_ms(c.lock_ms - 1);
        EXPECT_EQ(status(fd) & FE_HAS_LOCK, 0u) << box->now_ms() - tuned;
        boxsim::clock::sleep_for_ms(1);
        EXPECT_EQ(status(fd), 0x1Fu) << box->now_ms() - tuned;
        os::close(fd);
    }
}

// The DiSEqC 1.0 committed switch between the tuner and a dish on its port
// B: powered by the LNB supply, steered by the committed-switch byte of the
// messages it hears, back at port A whenever its supply comes back.
TEST_F(SimFrontend, DiseqcSwitchFollowsItsSupplyAndTheCommittedByte)
{
    json input = factory_input();
    input["switch"] = {{"port", "B"}};
    make(json::array({{{"type", "DVB-S2"}, {"input", "dish"}, {"acquire_ms", 0}}}), {{"inputs", {{"dish", input}}}});
    int fd = open_fe(0);
    ASSERT_GE(fd, 0);
    struct Step {
        const char *what;
        std::vector<uint8_t> msg;  // a DiSEqC message, or empty
        int voltage;               // or -1
        const char *switch_says;   // the trace's "switch" of the step
        const char *port;
        bool powered, locked;
        int heard, lost;
    } steps[] = {
        {"message without supply", {0xE0, 0x10, 0x38, 0xF6}, -1, "lost: LNB supply off", "A", false, false, 0, 1},
        {"supply on", {}, SEC_VOLTAGE_18, "powered up: port A", "A", true, false, 0, 1},
        {"option A, position B, H, low", {0xE0, 0x10, 0x38, 0xF6}, -1, "committed: port B, H, low band", "B", true,
         true, 1, 1},
        {"18 V again changes nothing", {}, SEC_VOLTAGE_18, nullptr, "B", true, true, 1, 1},
        {"reset", {0xE0, 0x00, 0x00}, -1, "reset", "A", true, false, 2, 1},
        {"position B through the mask alone", {0xE0, 0x10, 0x38, 0x44}, -1, "committed: port B, V, low band", "B",
         true, true, 3, 1},
        {"to an LNB only: not for the switch", {0xE0, 0x11, 0x38, 0xF0}, -1,
         "ignored: addressed to another device", "B", true, true, 4, 1},
        {"a reply request from the master is a command too", {0xE2, 0x10, 0x38, 0xF1}, -1,
         "committed: port A, V, high band", "A", true, false, 5, 1},
        {"power on", {0xE0, 0x00, 0x03}, -1, "power on", "A", true, false, 6, 1},
        {"back to B", {0xE0, 0x10, 0x38, 0xF4}, -1, "committed: port B, V, low band", "B", true, true, 7, 1},
        {"supply off: unpowered", {}, SEC_VOLTAGE_OFF, "unpowered", "B", false, false, 7, 1},
        {"supply back: power-up port A", {}, SEC_VOLTAGE_18, "powered up: port A", "A", true, false, 7, 1},
    };
    ASSERT_EQ(tune_sat(fd, 1612000, SYS_DVBS2, 22000000, PSK_8), 0);  // 11362 MHz H, low band
    for (const auto &st : steps) {
        SCOPED_TRACE(st.what);
        if (!st.msg.empty()) {
            dvb_diseqc_master_cmd cmd{};
            std::copy(st.msg.begin(), st.msg.end(), cmd.msg);
            cmd.msg_len = static_cast<uint8_t>(st.msg.size());
            ASSERT_EQ(os::ioctl(fd, box_abi::FE_DISEQC_SEND_MASTER_CMD, &cmd), 0);
            EXPECT_EQ(last("FE_DISEQC_SEND_MASTER_CMD").value("switch", ""), st.switch_says);
        } else {
            ASSERT_EQ(os::ioctl(fd, box_abi::FE_SET_VOLTAGE, st.voltage), 0);
            EXPECT_EQ(last("FE_SET_VOLTAGE").value("switch", ""), st.switch_says ? st.switch_says : "");
        }
        json sw = boxsim::frontend::state(*box, 0)["diseqc_switch"];
        EXPECT_EQ(sw["port"], st.port);
        EXPECT_EQ(sw["powered"], st.powered);
        EXPECT_EQ(sw["heard"], st.heard);
        EXPECT_EQ(sw["lost"], st.lost);
        EXPECT_EQ((status(fd) & FE_HAS_LOCK) != 0, st.locked) << boxsim::frontend::state(*box, 0).dump();
    }
    auto st = boxsim::frontend::state(*box, 0);
    EXPECT_EQ(st["why"], "DiSEqC switch on port A, the dish is on port B");
}

// Readings as some real drivers give them: no answer to the old SNR
// request, a strength that wanders from read to read.
TEST_F(SimFrontend, ReadingsOfADriverWithNewStatisticsOnlyAndAWanderingStrength)
{
    make(json::array({{{"type", "DVB-S2"}, {"input", "factory"}, {"acquire_ms", 0}, {"snr_request", false},
                       {"strength_jitter_pct", 2}}}));
    int fd = open_fe(0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(os::ioctl(fd, box_abi::FE_SET_VOLTAGE, SEC_VOLTAGE_18), 0);
    ASSERT_EQ(tune_sat(fd, 1150000, SYS_DVBS, 28125000, QPSK), 0);
    ASSERT_EQ(status(fd), 0x1Fu);
    uint16_t v = 7;
    EXPECT_EQ(os::ioctl(fd, box_abi::FE_READ_SNR, &v), -1);
    EXPECT_EQ(errno, EOPNOTSUPP);
    std::set<int> seen;
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(os::ioctl(fd, box_abi::FE_READ_SIGNAL_STRENGTH, &v), 0);
        const int pct = v * 100 / 65535;
        EXPECT_GE(pct, 80 - 3);
        EXPECT_LE(pct, 80 + 2);
        seen.insert(v);
    }
    EXPECT_GE(seen.size(), 3u) << "the reading wanders";
}

TEST_F(SimFrontend, DriverManners)
{
    make(json::array({{{"type", "DVB-S2"}, {"input", "factory"}, {"fail", {"FE_READ_SNR"}}},
                      {{"type", "DVB-C"}, {"input", "factory"}, {"device", false}}}));
    EXPECT_FALSE(box->exists("/dev/dvb0.frontend1"));
    int fd = open_fe(0);
    ASSERT_GE(fd, 0);
    // One controlling opener; readers may look on but not steer.
    EXPECT_EQ(open_fe(0), -1);
    EXPECT_EQ(errno, EBUSY);
    int reader = open_fe(0, O_RDONLY);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(os::ioctl(reader, box_abi::FE_SET_VOLTAGE, SEC_VOLTAGE_13), -1);
    EXPECT_EQ(errno, EPERM);
    status(reader);

    uint16_t v;
    EXPECT_EQ(os::ioctl(fd, box_abi::FE_READ_SNR, &v), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(os::ioctl(fd, box_abi::FE_SET_VOLTAGE, 3UL), -1);
    EXPECT_EQ(errno, EINVAL);
    dvb_diseqc_master_cmd bad = {{0xE0, 0x10}, 7};
    EXPECT_EQ(os::ioctl(fd, box_abi::FE_DISEQC_SEND_MASTER_CMD, &bad), -1);
    EXPECT_EQ(errno, EINVAL);

    // The trace names everything.
    dvb_diseqc_master_cmd cmd = {{0xE0, 0x10, 0x38, 0xF2}, 4};
    EXPECT_EQ(os::ioctl(fd, box_abi::FE_DISEQC_SEND_MASTER_CMD, &cmd), 0);
    EXPECT_EQ(last("FE_DISEQC_SEND_MASTER_CMD")["diseqc"], "E0 10 38 F2");
    EXPECT_EQ(os::ioctl(fd, box_abi::FE_SET_TONE, SEC_TONE_ON), 0);
    EXPECT_EQ(last("FE_SET_TONE")["tone"], "SEC_TONE_ON");
    EXPECT_EQ(os::ioctl(fd, box_abi::FE_SET_VOLTAGE, SEC_VOLTAGE_18), 0);
    EXPECT_EQ(last("FE_SET_VOLTAGE")["voltage"], "SEC_VOLTAGE_18");
    EXPECT_EQ(tune(fd, {{DTV_CLEAR, 0}, {DTV_PILOT, 1}, {DTV_ROLLOFF, 1}, {DTV_TUNE, 0}}), -1);
    EXPECT_EQ(last("FE_SET_PROPERTY")["properties"],
              json::parse(R"([{"cmd":"DTV_CLEAR"},{"cmd":"DTV_PILOT","data":1},{"cmd":"DTV_ROLLOFF","data":1},
                              {"cmd":"DTV_TUNE"}])"));
    boxsim::frontend::force_status(*box, 0, 0x1B);
    status(fd);
    EXPECT_EQ(last("FE_READ_STATUS")["flags"], "SIGNAL|CARRIER|SYNC|LOCK");
}

TEST_F(SimFrontend, NimListAsTheKernelWritesIt)
{
    make(json::array({{{"type", "DVB-S2"}, {"input", "factory"}},
                      {{"type", "DVB-C/T"}, {"input", "factory"}, {"name", "CXD2837 DVB-C/T (internal)"}}}));
    EXPECT_EQ(box->read_file("/proc/bus/nim_sockets"),
              "NIM Socket 0:\n\tType: DVB-S2\n\tName: BCM4506 DVB-S2 (internal)\n\tFrontend_Device: 0\n"
              "\tI2C_Device: 0\n\tHas_Outputs: no\n"
              "NIM Socket 1:\n\tType: DVB-C\n\tMode 0: DVB-C\n\tMode 1: DVB-T\n"
              "\tName: CXD2837 DVB-C/T (internal)\n\tFrontend_Device: 1\n\tI2C_Device: 1\n\tHas_Outputs: no\n");
    make(json::array({{{"type", "DVB-S2"}}}), {{"nim_sockets", nullptr}});
    EXPECT_FALSE(box->exists("/proc/bus/nim_sockets"));
    EXPECT_TRUE(box->exists("/dev/dvb0.frontend0"));
    make(json::array({{{"type", "DVB-S2"}}}), {{"nim_sockets", "NIM Socket 7:\n"}});
    EXPECT_EQ(box->read_file("/proc/bus/nim_sockets"), "NIM Socket 7:\n");
}

TEST_F(SimFrontend, SignalActionAndSnapshot)
{
    make(json::array({{{"type", "DVB-S2"}, {"input", "factory"}, {"acquire_ms", 0}}}));
    const auto &signal = boxsim::actions().at("signal");
    std::string err;
    for (auto bad : std::vector<std::vector<std::string>>{
             {}, {"0"}, {"0", "up"}, {"8", "on"}, {"-1", "off"}, {"0", "snr", "101", "strength", "5"},
             {"0", "snr", "5", "strength"}, {"x", "on"}}) {
        err.clear();
        EXPECT_FALSE(signal.parse(bad, err));
        EXPECT_FALSE(err.empty());
    }
    auto off = signal.parse({"0", "off"}, err);
    auto levels = signal.parse({"0", "snr", "40", "strength", "90"}, err);
    ASSERT_TRUE(off && levels);

    int fd = open_fe(0);
    os::ioctl(fd, box_abi::FE_SET_VOLTAGE, SEC_VOLTAGE_18);
    os::ioctl(fd, box_abi::FE_SET_TONE, SEC_TONE_OFF);
    tune_sat(fd, 1744000, SYS_DVBS2, 22000000, PSK_8);
    (*levels)(*box);
    json t = box->describe()["tuners"][0];
    EXPECT_EQ(t, json::parse(R"({"frontend":0,"present":true,"type":"DVB-S2","system":"DVB-S2","mode":null,
        "open":true,"last_tune":{"system":"DVB-S2","frequency":1744000,"symbol_rate":22000000,
        "modulation":"8PSK","bandwidth":0},"voltage":"SEC_VOLTAGE_18","tone":"SEC_TONE_OFF","signal":true,
        "locked":true,"lock_ms":0,"snr":40,"strength":90,"channel":"11494 MHz H, 22000 kS/s, DVB-S2",
        "diseqc_switch":{"port":"A","polarisation":"V","band":"low","bits":"0","powered":true,"heard":0,"lost":0,
        "last":""}})"));
    (*off)(*box);
    t = box->describe()["tuners"][0];
    EXPECT_EQ(t["locked"], false);
    EXPECT_EQ(t["signal"], false);
    EXPECT_EQ(t["why"], "antenna cable out");
    EXPECT_TRUE(box->trace().contains([](const json &e) { return e["op"] == "frontend" && e["event"] == "lock lost"; }));
    EXPECT_FALSE(boxsim::frontend::signal(*box, 5, true));
}

} // namespace

namespace {

// A profile key of the wrong type: a profile file with it is refused
// before a box is made, naming it; a box made from such a profile object
// all the same names it in the trace and takes the key's default.
TEST(SimProfileKeys, KeysOfTheWrongTypeAreRefusedOrNamed)
{
    struct Case {
        json patch;  // merged into the default profile
        const char *path, *error;
    } cases[] = {
        {{{"framebuffer", {{"line_align", "x"}, {"mode", {{"xres", -5}}}}}}, "framebuffer", "line_align, xres"},
        {{{"framebuffer", {{"present", 0}}}}, "framebuffer", "present"},
        {{{"flash", {{"present", "yes"}, {"file", 7}}}}, "flash", "present, file"},
        {{{"tuners", {{{"type", 5}, {"acquire_ms", "slow"}}}}}, "tuners/0", "type, acquire_ms"},
        {{{"inputs", {{"factory", {{"switch", {{"port", 2}}}}}}}}, "inputs/factory", "a switch needs a \"port\""},
        {{{"inputs", {{"factory", {{"channels", {{{"system", "DVB-C"}, {"mhz", "466"}}}}}}}}}, "inputs/factory",
         "defaults taken: mhz"},
    };
    boxtest::TempDir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.patch.dump());
        std::string err;
        auto profile = Box::load_profile("default", err);
        ASSERT_TRUE(profile) << err;
        profile->merge_patch(c.patch);

        const std::string file = dir.file("bad.json");
        {
            std::ofstream out(file);
            out << profile->dump();
        }
        EXPECT_FALSE(Box::load_profile(file, err));
        EXPECT_NE(err.find(std::string(c.path) + ": "), std::string::npos) << err;
        EXPECT_NE(err.find(c.error), std::string::npos) << err;

        auto box = boxtest::make_box_from(*profile);
        json found;
        for (const auto &e : box->trace().find("device"))
            if (e.value("path", "").ends_with(c.path))
                found = e;
        ASSERT_TRUE(found.is_object());
        EXPECT_NE(found.value("error", "").find(c.error), std::string::npos) << found.dump();
        EXPECT_TRUE(box->describe().is_object());
    }
}

} // namespace
