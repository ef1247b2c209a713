// The tuner monitor: detection from the NIM list and the mode files, the
// watch loop on the simulated box with its radio, and the tuner area.
#include "tuner_fixture.h"

#include "core/image.h"

namespace tunertest {
namespace {

constexpr uint32_t kGreen = 0x7F00FF00;
constexpr uint32_t kYellow = 0xFFFFFF00;

class TunerMonitor : public TunerTest {
protected:
    std::vector<int> systems() { return {tuner_system[0], tuner_system[1], tuner_system[2], tuner_system[3]}; }
    std::vector<int> modes() { return {tuner_mode[0], tuner_mode[1], tuner_mode[2], tuner_mode[3]}; }
    std::vector<int> stats() { return {tuner_stat[0], tuner_stat[1], tuner_stat[2], tuner_stat[3]}; }

    // Row 1 (its upper 30 rows, the rest lies under row 2) and row 2 show
    // these texts on this background. The monitor redraws the area every
    // pass, so a look that falls between its fill and its text is repeated.
    void expect_area(const char *row1, const char *row2, uint32_t background)
    {
        auto want1 = rendered_row(row1, background);
        want1.resize(500 * 30);
        auto want2 = rendered_row(row2, background);
        bool first = false, second = false;
        boxtest::eventually(
            [&] {
                first = pixels(700, 100, 500, 30) == want1;
                second = pixels(700, 130, 500, 40) == want2;
                return first && second;
            },
            6s);
        EXPECT_TRUE(first) << "row 1 is not \"" << row1 << "\"";
        EXPECT_TRUE(second) << "row 2 is not \"" << row2 << "\"";
        EXPECT_GT(count_of(want2, background), 0u);
    }
};

void parse(const std::string &text)
{
    int socket = 0;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        std::string line = text.substr(at, nl == std::string::npos ? std::string::npos : nl - at + 1);
        tuner_parse_nim_line(line.c_str(), &socket);
        at += line.size();
    }
}

TEST_F(TunerMonitor, NimListRules)
{
    struct Case {
        const char *list;
        std::vector<int> systems, modes;
    };
    const Case cases[] = {
        {"NIM Socket 1:\n\tType: DVB-S2\n\tName: Si2169 DVB-C/T2\n", {0, 6, 0, 0}, {0, 65538, 0, 0}},
        {"\tType: DVB-C\n\tName: CXD2837 DVB-C/T\nNIM Socket 2:\n\tType: DVB-T\n", {1, 0, 3, 0}, {10, 0, 0, 0}},
        {"NIM Socket 3:\n Type: DVB-T2\nNIM Socket 0:\n Type: DVB-S\n Name: BCM4501 DVB-S\n", {5, 0, 0, 16},
         {0, 0, 0, 0}},
        // A Type line with no standard it knows, and lines the parser passes over.
        {"NIM Socket 0:\n Type: ATSC\n Mode 1: DVB-T2\n Frontend_Device: 0\n I2C_Device: 1\n", {0, 0, 0, 0},
         {0, 0, 0, 0}},
        // Type before Name on one line: the first rule that matches wins.
        {"NIM Socket 2: Type: DVB-S2 Name: DVB-C/T2\n Type: DVB-C Name: DVB-C/T2\n", {0, 0, 1, 0}, {0, 0, 0, 0}},
        // A fifth socket: its lines do not land on the fourth.
        {"NIM Socket 3:\n Type: DVB-C\n Name: X DVB-C/T\nNIM Socket 4:\n Type: DVB-S2\n Name: Y\n", {0, 0, 0, 1},
         {0, 0, 0, 10}},
        {"NIM Socket 12:\n Type: DVB-S2\n", {0, 0, 0, 0}, {0, 0, 0, 0}},
    };
    for (const auto &c : cases) {
        for (int t = 0; t < 4; ++t)
            tuner_system[t] = tuner_mode[t] = 0;
        parse(c.list);
        EXPECT_EQ(systems(), c.systems) << c.list;
        EXPECT_EQ(modes(), c.modes) << c.list;
    }
}

TEST_F(TunerMonitor, DetectsTheTunersOfEveryBoxKind)
{
    struct Case {
        const char *box;
        std::vector<int> stat, systems, modes;
    };
    const Case cases[] = {
        {"rcplus", {1, 1, 0, 0}, {6, 1, 0, 0}, {0, 65538, 0, 0}},
        {"tetraplus", {1, 1, 1, 1}, {6, 6, 6, 6}, {0, 0, 0, 0}},
        {"netbox", {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}},
        {"maxsc", {1, 1, 0, 0}, {6, 1, 0, 0}, {0, 10, 0, 0}},
        {"z1", {1, 1, 0, 0}, {6, 16, 0, 0}, {0, 0, 0, 0}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.box);
        start(profile(c.box), false);
        // Leftovers of an earlier run must be overwritten or cleared.
        tuner_run[1] = 1;
        boxsim::File *mode = nullptr;
        if (auto f = box->file("/proc/stb/frontend/1/mode")) {
            f->set_content("1\n");
            mode = f.get();
        }
        run_monitor();
        EXPECT_EQ(stats(), c.stat);
        EXPECT_EQ(systems(), c.systems);
        EXPECT_EQ(modes(), c.modes);
        EXPECT_EQ(tuner_run[1], 0);
        EXPECT_EQ(tone[0], SEC_TONE_OFF);
        // Every mode file there is starts at cable.
        std::vector<std::string> echoes;
        for (const auto &e : box->trace().find("system"))
            echoes.push_back(e["cmd"]);
        EXPECT_EQ(echoes.size(), mode ? 1u : 0u);
        if (mode) {
            EXPECT_EQ(echoes[0], "echo 0 > /proc/stb/frontend/1/mode");
            EXPECT_EQ(mode->content(), "0\n");
        }
        stop_monitor();
        TearDown();
    }
}

TEST_F(TunerMonitor, GarbageNimListsLeaveTheTablesSane)
{
    std::string binary;
    for (int i = 0; i < 3000; ++i)
        binary += static_cast<char>((i * 97 + 13) & 0xff);
    const std::pair<json, std::vector<int>> lists[] = {
        {binary, {0, 0, 0, 0}},
        {std::string(5000, 'A') + "\n" + std::string(200, 'x') + "NIM Socket 2:\n Type: DVB-S2\n", {0, 0, 6, 0}},
        {"NIM Socket 9:\n Type: DVB-S2\nNIM Socket -1:\n Type: DVB-C\nNIM Socket 99999999999:\n Type: DVB-T\n",
         {0, 0, 0, 0}},
        {std::string("NIM Socket 1:\n Type: DVB-C") + std::string(400, '\0') + "\n", {0, 1, 0, 0}},
        {nullptr, {0, 0, 0, 0}},
    };
    for (const auto &[list, expect] : lists) {
        json p = profile("tetraplus");
        p["nim_sockets"] = list;
        start(p, false);
        run_monitor();
        EXPECT_EQ(systems(), expect);
        for (int t = 0; t < 4; ++t) {
            EXPECT_TRUE(tuner_mode[t] == 0 || tuner_mode[t] == 10 || tuner_mode[t] == 65538);
            EXPECT_EQ(tuner_stat[t], 1);
        }
        stop_monitor();
        TearDown();
    }
}

TEST_F(TunerMonitor, AreaIsClearWithNoTunerRunning)
{
    start(profile("tetra"));
    for (int i = 0; i < available / 4; ++i)
        lfb[i] = 0xDEADBEEF;
    draw_tuner_area();
    auto area = pixels(700, 100, 500, 100);
    EXPECT_EQ(count_of(area, 0x00000000), area.size());
    size_t outside = 0;
    for (int i = 0; i < available / 4; ++i)
        outside += lfb[i] != 0xDEADBEEF;
    EXPECT_EQ(outside, 500u * 100u);
}

TEST_F(TunerMonitor, AreaShowsTheLowestRunningTunerInPercent)
{
    start(profile("tetraplus"));
    status_store_text(g_status.channel_text, sizeof g_status.channel_text, "2.DVB-S2 : 11494H/22000/8PSK");
    tuner_run[1] = tuner_run[2] = 1;
    tuner_locked[1] = FE_HAS_LOCK;
    tuner_snr[1] = 65535;
    tuner_agc[1] = 32767;
    tuner_snr[2] = 1000;
    draw_tuner_area();
    expect_area("2.DVB-S2 : 11494H/22000/8PSK", "LOCKED/SNR100/AGC49", kGreen);
    EXPECT_EQ(count_of(pixels(700, 100, 500, 100), kYellow), 0u);

    tuner_run[1] = 0;
    draw_tuner_area();
    expect_area("2.DVB-S2 : 11494H/22000/8PSK", "UNLOCKED/SNR1/AGC0", kYellow);
}

// Key 1 for each satellite test channel, on the four-tuner box: each locks
// within two passes and shows green; switched off, the area clears and the
// frontend closes.
TEST_F(TunerMonitor, SatelliteTestChannelsLock)
{
    start(profile("tetraplus"));
    run_monitor();
    const std::pair<int, Channel> runs[] = {{0, kCBand}, {1, k8psk12}, {2, k8psk34}};
    const char *readings[] = {"LOCKED/SNR72/AGC80", "LOCKED/SNR65/AGC70", "LOCKED/SNR60/AGC68"};
    int i = 0;
    for (const auto &[t, ch] : runs) {
        SCOPED_TRACE(ch.text);
        switch_on(t, ch);
        ASSERT_TRUE(boxtest::eventually([t = t] { return tuner_locked[t] == FE_HAS_LOCK; }, 8s));
        EXPECT_EQ(tunes(t), 1u);
        ASSERT_TRUE(boxtest::eventually([&] { return count_of(pixels(700, 130, 500, 40), kGreen) > 0; }, 6s));
        expect_area(ch.text, readings[i++], kGreen);
#ifdef BOXSIM_HAVE_PNG
        // For people: the TV with the area, in the test's directory.
        fb_blit();
        auto tv = boxsim::picture(*box, "tv");
        ASSERT_TRUE(tv);
        EXPECT_TRUE(boxsim::write_png(*tv, "tuner-area-" + std::to_string(t) + ".png"));
#endif
        EXPECT_TRUE(boxsim::frontend::locked(*box, t));
        EXPECT_EQ(boxsim::frontend::state(*box, t)["open"], true);

        switch_off(t);
        ASSERT_TRUE(boxtest::eventually([t = t] { return fd_tuner[t] == -1; }, 6s));
        EXPECT_EQ(box->trace().count("close", "/dev/dvb0.frontend" + std::to_string(t)), 1u);
        EXPECT_TRUE(boxtest::eventually([&] { return count_of(pixels(700, 100, 500, 100), 0) == 500u * 100u; }, 6s));
        EXPECT_FALSE(boxsim::frontend::locked(*box, t)) << "a closed frontend sleeps";
    }
    EXPECT_EQ(out(), "");
}

TEST_F(TunerMonitor, CableAndTerrestrialOnTheCombinedTuner)
{
    start(profile("rcplus"));
    run_monitor();
    // Key 2 once: cable; twice: terrestrial with the mode file switched.
    switch_on(1, kCable);
    ASSERT_TRUE(boxtest::eventually([] { return tuner_locked[1] == FE_HAS_LOCK; }, 8s));
    ASSERT_TRUE(boxtest::eventually([&] { return count_of(pixels(700, 130, 500, 40), kGreen) > 0; }, 6s));
    expect_area(kCable.text, "LOCKED/SNR85/AGC90", kGreen);

    size_t before = tunes(1);
    FILE *f = os::fopen("/proc/stb/frontend/1/mode", "w");
    ASSERT_TRUE(f);
    fprintf(f, "%x", 1);
    fclose(f);
    tuner_system[1] = SYS_DVBT2;
    switch_on(1, kTerrestrial, 2);
    ASSERT_TRUE(boxtest::eventually([&] { return tunes(1) > before && tuner_locked[1] == FE_HAS_LOCK; }, 8s));
    EXPECT_EQ(requests(1, "FE_SET_PROPERTY").back()["receives"], "546 MHz, 8 MHz wide, DVB-T");
}

TEST_F(TunerMonitor, WithoutSupplyOrInTheWrongPolarisationItRetriesEveryPass)
{
    for (int voltage : {SEC_VOLTAGE_OFF, SEC_VOLTAGE_13}) {
        SCOPED_TRACE(voltage);
        start(profile("tetra"));
        run_monitor();
        Channel ch = kCBand;
        ch.vlt = voltage;
        switch_on(0, ch);
        // Tuned again in the next pass (the wait cut short as a key does).
        ASSERT_TRUE(boxtest::eventually([&] { return tunes(0) >= 1; }, 6s));
        BKNI_SetEvent(g_status.tuner_event);
        ASSERT_TRUE(boxtest::eventually([&] { return tunes(0) >= 2; }, 6s));
        EXPECT_EQ(tuner_locked[0], 0);
        EXPECT_TRUE(boxtest::eventually([&] { return count_of(pixels(700, 130, 500, 40), kYellow) > 0; }, 6s));
        expect_area(ch.text, "UNLOCKED/SNR0/AGC0", kYellow);
        EXPECT_EQ(requests(0, "FE_SET_PROPERTY").back().value("why", ""),
                  voltage == SEC_VOLTAGE_OFF ? "LNB supply off" : "polarisation V selected, transponder is H");
        EXPECT_EQ(count_of(pixels(700, 100, 500, 100), kGreen), 0u);
        stop_monitor();
        TearDown();
    }
}

TEST_F(TunerMonitor, OnlyFrequencyOrSystemRetuneALockedTuner)
{
    start(profile("tetra"));
    run_monitor();
    switch_on(0, k8psk12);
    ASSERT_TRUE(boxtest::eventually([] { return tuner_locked[0] == FE_HAS_LOCK; }, 8s));
    ASSERT_EQ(tunes(0), 1u);

    // Symbol rate, modulation, tone and bandwidth alone: measured, not tuned.
    sr[0] = 27500000;
    mod[0] = QPSK;
    bw[0] = 7000000;
    size_t reads = requests(0, "FE_READ_STATUS").size();
    BKNI_SetEvent(g_status.tuner_event);
    ASSERT_TRUE(boxtest::eventually([&] { return requests(0, "FE_READ_STATUS").size() >= reads + 2; }, 6s));
    EXPECT_EQ(tunes(0), 1u);
    EXPECT_EQ(tuner_locked[0], FE_HAS_LOCK);

    // A new frequency is tuned at once, with the settings stored by then.
    freq[0] = 1150000;
    BKNI_SetEvent(g_status.tuner_event);
    ASSERT_TRUE(boxtest::eventually([&] { return tunes(0) == 2; }, 6s));
    auto props = requests(0, "FE_SET_PROPERTY").back()["tune"];
    EXPECT_EQ(props["frequency"], 1150000);
    EXPECT_EQ(props["symbol_rate"], 27500000);
}

TEST_F(TunerMonitor, FailedOpenShowsUnlockedUntilTheTunerIsSelectedAgain)
{
    start(profile("tetra"));
    run_monitor();
    // Someone else controls the frontend: the monitor's open fails.
    int other = os::open("/dev/dvb0.frontend0", O_RDWR);
    ASSERT_GE(other, 0);
    switch_on(0, kCBand);
    ASSERT_TRUE(boxtest::eventually([&] { return count_of(pixels(700, 130, 500, 40), kYellow) > 0; }, 6s));
    expect_area(kCBand.text, "UNLOCKED/SNR0/AGC0", kYellow);
    // Each pass tries a tune and sets gui_event; the frontend is free again
    // after the first, yet no pass opens it while the tuner stays selected.
    for (int pass = 0; pass < 3; ++pass) {
        if (pass == 1)
            os::close(other);
        BKNI_SetEvent(g_status.tuner_event);
        ASSERT_EQ(BKNI_WaitForEvent(g_status.gui_event, 5000), BERR_SUCCESS) << pass;
    }
    EXPECT_EQ(fd_tuner[0], -1);
    EXPECT_EQ(tuner_locked[0], 0);
    EXPECT_TRUE(requests(0).empty());
    EXPECT_EQ(out(), "");
    auto opens = box->trace().find("open", "/dev/dvb0.frontend0");
    ASSERT_EQ(opens.size(), 2u);  // the other user's, then the monitor's one try
    EXPECT_EQ(opens[1]["errno"], "EBUSY");
    EXPECT_EQ(opens[1]["nonblock"], true);

    // Deselected and selected again, as a person at the box does: the open
    // is tried again and the tuner locks.
    switch_off(0);
    ASSERT_TRUE(boxtest::eventually([&] { return count_of(pixels(700, 100, 500, 100), 0) == 500u * 100u; }, 6s));
    switch_on(0, kCBand);
    EXPECT_TRUE(boxtest::eventually([] { return tuner_locked[0] == FE_HAS_LOCK; }, 8s));
    EXPECT_EQ(box->trace().find("open", "/dev/dvb0.frontend0").size(), 3u);
}

TEST_F(TunerMonitor, QuitClosesTheWatchedFrontend)
{
    start(profile("tetra"));
    run_monitor();
    switch_on(0, kCBand);
    ASSERT_TRUE(boxtest::eventually([] { return fd_tuner[0] >= 0; }, 6s));
    stop_monitor();
    EXPECT_EQ(fd_tuner[0], -1);
    EXPECT_EQ(box->trace().count("close", "/dev/dvb0.frontend0"), 1u);
}

} // namespace
} // namespace tunertest
