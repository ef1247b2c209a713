// Frontend control against the simulated frontends: the requests and
// property lists each delivery system sends, the switch sequence and its
// pauses, the status decoding and the messages of failing reads.
#include "tuner_fixture.h"

#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace tunertest {
namespace {

class FrontendControl : public TunerTest {};

std::vector<std::pair<std::string, int64_t>> property_list(const json &ev)
{
    std::vector<std::pair<std::string, int64_t>> out;
    for (const auto &p : ev["properties"])
        out.emplace_back(p["cmd"].get<std::string>(), p.value("data", int64_t{-1}));
    return out;
}

TEST_F(FrontendControl, SecondGenerationSatelliteTuneSwitchesThenSendsItsList)
{
    start(profile("tetraplus"), false);
    open_tuner(2);
    ASSERT_EQ(tuner_tune(2, 1612000, 22000000, SYS_DVBS2, PSK_8, SEC_VOLTAGE_18, SEC_TONE_OFF, 0), 0);

    auto req = requests(2);
    ASSERT_EQ(req.size(), 7u);
    std::vector<std::string> seen;
    for (const auto &e : req)
        seen.push_back(e["name"].get<std::string>() + " " +
                       e.value("tone", e.value("voltage", e.value("diseqc", std::string()))));
    EXPECT_EQ(seen, (std::vector<std::string>{"FE_SET_TONE SEC_TONE_OFF", "FE_DISEQC_SEND_MASTER_CMD E0 00 00",
                                              "FE_DISEQC_SEND_MASTER_CMD E0 00 03",
                                              "FE_DISEQC_SEND_MASTER_CMD E0 10 38 F2",
                                              "FE_SET_VOLTAGE SEC_VOLTAGE_18", "FE_SET_TONE SEC_TONE_OFF",
                                              "FE_SET_PROPERTY "}));
    // The switch's settling pauses lie between the requests.
    const int64_t pauses[] = {200, 50, 150, 50};
    for (int i = 0; i < 4; ++i)
        EXPECT_GE(req[i + 1]["t"].get<int64_t>() - req[i]["t"].get<int64_t>(), pauses[i]) << "after request " << i;

    // Clear, the eight settings in the driver's order, tune.
    EXPECT_EQ(property_list(req[6]),
              (std::vector<std::pair<std::string, int64_t>>{
                  {"DTV_CLEAR", -1}, {"DTV_INVERSION", 2}, {"DTV_FREQUENCY", 1612000}, {"DTV_DELIVERY_SYSTEM", 6},
                  {"DTV_MODULATION", 9}, {"DTV_SYMBOL_RATE", 22000000}, {"DTV_INNER_FEC", 9}, {"DTV_ROLLOFF", 1},
                  {"DTV_PILOT", 1}, {"DTV_TUNE", -1}}));
    // 1612 MHz behind the universal LNB's low band: 11362 MHz horizontal.
    EXPECT_EQ(req[6].value("receives", ""), "11362 MHz H, 22000 kS/s, DVB-S2");
    EXPECT_TRUE(boxtest::eventually([] { return tuner_read_status(2) == FE_HAS_LOCK; }, 2s));
    EXPECT_EQ(out("stderr"), "");
}

// Every other delivery system: what goes before the list, and the list.
TEST_F(FrontendControl, PropertyListsOfTheOtherSystems)
{
    struct Case {
        int tuner, freq, sr, sys, mod, bw;
        std::vector<std::string> before;  // requests before FE_SET_PROPERTY
        std::vector<std::pair<std::string, int64_t>> list;
        bool locks;
    };
    const std::vector<Case> cases = {
        {1, 466000, 6900000, SYS_DVBC_ANNEX_A, QAM_256, 8000000, {},
         {{"DTV_CLEAR", -1}, {"DTV_FREQUENCY", 466000000}, {"DTV_INVERSION", 2}, {"DTV_DELIVERY_SYSTEM", 1},
          {"DTV_SYMBOL_RATE", 6900000}, {"DTV_INNER_FEC", 9}, {"DTV_MODULATION", 5}, {"DTV_TUNE", -1}},
         true},
        {1, 546000000, 0, SYS_DVBT, 0, 8000000, {"FE_SET_VOLTAGE"},
         {{"DTV_CLEAR", -1}, {"DTV_DELIVERY_SYSTEM", 3}, {"DTV_FREQUENCY", 546000000}, {"DTV_INVERSION", 2},
          {"DTV_CODE_RATE_LP", 9}, {"DTV_CODE_RATE_HP", 9}, {"DTV_MODULATION", 6}, {"DTV_TRANSMISSION_MODE", 2},
          {"DTV_GUARD_INTERVAL", 4}, {"DTV_HIERARCHY", 4}, {"DTV_BANDWIDTH_HZ", 8000000}, {"DTV_TUNE", -1}},
         false},  // the combined tuner is in its cable mode
        {1, 626000000, 0, SYS_DVBT2, 0, 8000000, {"FE_SET_VOLTAGE"},
         {{"DTV_CLEAR", -1}, {"DTV_DELIVERY_SYSTEM", 16}, {"DTV_FREQUENCY", 626000000}, {"DTV_INVERSION", 2},
          {"DTV_CODE_RATE_LP", 9}, {"DTV_CODE_RATE_HP", 9}, {"DTV_MODULATION", 6}, {"DTV_TRANSMISSION_MODE", 2},
          {"DTV_GUARD_INTERVAL", 4}, {"DTV_HIERARCHY", 4}, {"DTV_BANDWIDTH_HZ", 8000000}, {"DTV_TUNE", -1}},
         false},
        {1, 57000000, 0, SYS_ATSC, VSB_8, 0, {},
         {{"DTV_CLEAR", -1}, {"DTV_DELIVERY_SYSTEM", 11}, {"DTV_FREQUENCY", 57000000}, {"DTV_INVERSION", 2},
          {"DTV_MODULATION", 7}, {"DTV_TUNE", -1}},
         false},
        {1, 466000, 6900000, 0, QAM_256, 0, {}, {{"DTV_CLEAR", -1}, {"DTV_TUNE", -1}}, false},
        {0, 1150000, 28125000, SYS_ISDBT, 0, 0, {}, {{"DTV_CLEAR", -1}, {"DTV_TUNE", -1}}, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("system " + std::to_string(c.sys));
        start(profile("rcplus"), false);
        open_tuner(c.tuner);
        tuner_tune(c.tuner, c.freq, c.sr, c.sys, c.mod, SEC_VOLTAGE_13, SEC_TONE_ON, c.bw);
        auto req = requests(c.tuner);
        ASSERT_EQ(req.size(), c.before.size() + 1);
        for (size_t i = 0; i < c.before.size(); ++i)
            EXPECT_EQ(req[i]["name"], c.before[i]);
        if (!c.before.empty()) {
            EXPECT_EQ(req[0]["voltage"], "SEC_VOLTAGE_13");
        }
        EXPECT_EQ(req.back()["name"], "FE_SET_PROPERTY");
        EXPECT_EQ(property_list(req.back()), c.list);
        EXPECT_EQ(boxtest::eventually([&] { return tuner_read_status(c.tuner) != 0; }, 300ms), c.locks);
        // The driver refuses a list without a frequency or of a system it
        // does not have, and the system says so.
        bool refused = req.back()["result"] == -1;
        EXPECT_EQ(out("stderr").find("FE_SET_PROPERTY failed: Invalid argument") != std::string::npos, refused);
        EXPECT_EQ(refused, c.sys == 0 || c.sys == SYS_ISDBT || c.sys == SYS_ATSC);
        TearDown();
    }
}

TEST_F(FrontendControl, ClosedTunerIsNeverAsked)
{
    start(profile("rcplus"), false);
    EXPECT_EQ(tuner_tune(0, 1150000, 28125000, SYS_DVBS, QPSK, SEC_VOLTAGE_18, SEC_TONE_OFF, 0), 0);
    EXPECT_EQ(tuner_set_voltage(0, SEC_VOLTAGE_13), 0);
    EXPECT_EQ(tuner_set_tone(0, SEC_TONE_ON), 0);
    EXPECT_EQ(tuner_read_status(0), 0);
    EXPECT_EQ(tuner_read_snr(0), 0);
    EXPECT_EQ(tuner_read_agc(0), 0);
    EXPECT_EQ(box->trace().count("ioctl"), 0u);
    EXPECT_EQ(out(), "");

    // Open, the supply and tone go out as asked, by name.
    open_tuner(0);
    tuner_set_voltage(0, SEC_VOLTAGE_18);
    tuner_set_tone(0, SEC_TONE_ON);
    auto req = requests(0);
    ASSERT_EQ(req.size(), 2u);
    EXPECT_EQ(req[0]["voltage"], "SEC_VOLTAGE_18");
    EXPECT_EQ(req[1]["tone"], "SEC_TONE_ON");
    EXPECT_EQ(boxsim::frontend::state(*box, 0)["voltage"], "SEC_VOLTAGE_18");
}

TEST_F(FrontendControl, StatusWordsAndReadingsAsTheSystemSeesThem)
{
    start(profile("rcplus"), false);
    open_tuner(0);
    const std::pair<uint32_t, int> words[] = {{31, 16}, {15, 0}, {16, 16}, {0, 0}, {0xFFFFFFFF, 16}, {0x3F, 16}};
    for (auto [word, expect] : words) {
        boxsim::frontend::force_status(*box, 0, word);
        EXPECT_EQ(tuner_read_status(0), expect) << word;
    }
    boxsim::frontend::force_status(*box, 0, std::nullopt);

    // Locked on the C-band transponder: the readings are the channel's.
    tuner_tune(0, 1150000, 28125000, SYS_DVBS, QPSK, SEC_VOLTAGE_18, SEC_TONE_OFF, 0);
    ASSERT_TRUE(boxtest::eventually([] { return tuner_read_status(0) == 16; }, 2s));
    EXPECT_EQ(tuner_read_snr(0), 47186);  // 72 %
    EXPECT_EQ(tuner_read_agc(0), 52428);  // 80 %
    boxsim::frontend::readings(*box, 0, 100, 1);
    EXPECT_EQ(tuner_read_snr(0), 65535);
    EXPECT_EQ(tuner_read_agc(0), 656);
    EXPECT_EQ(out(), "");
}

TEST_F(FrontendControl, FailingReadsReportTheirLineAndGiveZero)
{
    json p = profile("rcplus");
    p["tuners"][1]["fail"] = {"FE_READ_STATUS", "FE_READ_SNR", "FE_READ_SIGNAL_STRENGTH"};
    start(p, false);
    open_tuner(1);
    boxsim::frontend::force_status(*box, 1, 31);
    EXPECT_EQ(tuner_read_status(1), 0);
    EXPECT_EQ(tuner_read_snr(1), 0);
    EXPECT_EQ(tuner_read_agc(1), 0);
    // One line per failing read, each naming its function, request and own
    // line: "FUNCTION(), LINE=N, device=/dev/dvb0.frontend1, ioctl(REQUEST) ERROR!!! ".
    // A line counts when it is exactly that form, read back from its parts.
    std::string text = out();
    std::vector<std::string> seen;
    std::set<int> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        char fn[64] = "", req[64] = "";
        int line = -1;
        if (sscanf(l.c_str(), "%63[A-Za-z0-9_](), LINE=%d, device=/dev/dvb0.frontend1, ioctl(%63[A-Za-z0-9_])", fn,
                   &line, req) != 3 ||
            line < 0)
            continue;
        if (l != std::string(fn) + "(), LINE=" + std::to_string(line) + ", device=/dev/dvb0.frontend1, ioctl(" + req +
                     ") ERROR!!! ")
            continue;
        seen.push_back(std::string(fn) + " " + req);
        lines.insert(line);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"tuner_read_status FE_READ_STATUS", "tuner_read_snr FE_READ_SNR",
                                              "tuner_read_agc FE_READ_SIGNAL_STRENGTH"}))
        << text;
    EXPECT_EQ(lines.size(), 3u);
}

} // namespace
} // namespace tunertest
