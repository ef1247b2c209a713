// The console's screen areas: boxes, texts and colours by the record and the
// board kind, and which areas present the screen.
#include "console_test_util.h"

#include "app/build_date.h"
#include "console/areas.h"
#include "tuner/frontend.h"
#include "tuner/tuner_monitor.h"

#include <cstring>

namespace {

using namespace consoletest;

class Areas : public ConsoleTest {};

TEST_F(Areas, ButtonBoxesShowWhatWasSeenAndSmallBoardsOnlyPower)
{
    start();
    g_status.buttons_seen = 65;
    draw_button_area();
    const struct {
        const char *text;
        uint32_t bg;
    } rows[] = {{">POWER<", kGreen}, {"MENU", kBlue}, {"EXIT", kBlue}, {"LEFT", kBlue},
                {"RIGHT", kBlue},    {"UP", kBlue},   {"DOWN", kBlue}, {">OK<", kGreen}};
    for (int i = 0; i < 8; ++i)
        EXPECT_TRUE(box_is(220, 60 + 45 * i, 150, 40, rows[i].text, rows[i].bg)) << rows[i].text;
    EXPECT_EQ(blits(), 1u);

    for (int i = 0; i < available / 4; ++i)
        lfb[i] = kPaint;
    g_status.model_kind = 7;
    draw_button_area();
    EXPECT_TRUE(box_is(220, 60, 150, 40, ">POWER<", kGreen));
    EXPECT_TRUE(untouched(220, 105, 150, 400));
    EXPECT_EQ(blits(), 1u);  // not presented
}

TEST_F(Areas, EthernetRowFollowsTheBoardsExpectedSpeed)
{
    start();
    const struct {
        int kind, link, speed;
        const char *text;
        uint32_t bg;
    } cases[] = {
        {4, 1, 100, "ETH0 100M", kYellow}, {3, 1, 100, "ETH0 100M", kGreen}, {4, 1, 1000, "ETH0 1G", kGreen},
        {3, 1, 1000, "ETH0 1G", kYellow},  {3, 1, 0, "ETH0 OK", kYellow},    {2, 1, 10, "ETH0 10M", kYellow},
        {3, 0, 100, "ETH0 NOK", kBlue},
    };
    for (const auto &c : cases) {
        g_status.model_kind = c.kind;
        g_status.eth_link = c.link;
        g_status.eth_speed = c.speed;
        draw_port_area();
        EXPECT_TRUE(box_is(60, 105, 150, 40, c.text, c.bg)) << c.kind << " " << c.speed;
    }
    EXPECT_EQ(blits(), sizeof cases / sizeof cases[0]);
}

TEST_F(Areas, PortRowsByBoardKind)
{
    start();
    g_status.hdmi = 7;
    g_status.usb[1] = 1;
    g_status.sata[0] = 1;
    g_status.model_kind = 7;
    draw_port_area();
    EXPECT_TRUE(box_is(60, 60, 150, 40, "HDMI OK", kGreen));
    EXPECT_TRUE(box_is(60, 150, 150, 40, "USB1 OK", kGreen));
    EXPECT_TRUE(box_is(60, 195, 150, 40, "USB2 NOK", kBlue));
    EXPECT_TRUE(box_is(60, 240, 150, 40, "eSATA OK", kGreen));
    EXPECT_TRUE(untouched(60, 285, 150, 45));

    // Kind 4: four USB ports from word 0, then both disks.
    g_status.model_kind = 4;
    g_status.usb[0] = 1;
    g_status.usb[1] = 0;
    g_status.hdmi = 0;
    draw_port_area();
    EXPECT_TRUE(box_is(60, 60, 150, 40, "HDMI NOK", kBlue));
    EXPECT_TRUE(box_is(60, 150, 150, 40, "USB1 OK", kGreen));
    EXPECT_TRUE(box_is(60, 195, 150, 40, "USB2 NOK", kBlue));
    EXPECT_TRUE(box_is(60, 285, 150, 40, "USB4 NOK", kBlue));
    EXPECT_TRUE(box_is(60, 330, 150, 40, "SATA OK", kGreen));
    EXPECT_TRUE(box_is(60, 375, 150, 40, "eSATA NOK", kBlue));

    // Kind 5: one USB row and nothing below it.
    for (int i = 0; i < available / 4; ++i)
        lfb[i] = kPaint;
    g_status.model_kind = 5;
    draw_port_area();
    EXPECT_TRUE(box_is(60, 150, 150, 40, "USB1 NOK", kBlue));
    EXPECT_TRUE(untouched(60, 195, 150, 300));
}

TEST_F(Areas, InfoRowsShowBuildUptimeTemperatureAndAddress)
{
    start();
    box->add_file("/proc/uptime", "90061.5 80000.00\n");
    box->file("/proc/stb/fp/temp_sensor")->set_content("21\n");
    status_store_text(g_status.mac_text, sizeof g_status.mac_text, "02:47:58:00:00:01");
    const unsigned char ip[4] = {192, 168, 1, 20};
    for (int i = 0; i < 4; ++i)
        status_store_byte(&g_status.ip[i], ip[i]);
    draw_info_area();

    ASSERT_EQ(strlen(builddate), 14u);
    for (int i = 0; i < 14; ++i)
        EXPECT_TRUE(builddate[i] >= '0' && builddate[i] <= '9');
    std::string build = std::string("TEST-UI : ") + std::string(builddate, 10);
    EXPECT_TRUE(box_is(700, 500, 500, 40, build.c_str(), kGreen));
    EXPECT_TRUE(box_is(700, 550, 500, 40, "UPTIME : 25:01:01 (TEMP 42 'C)", kGreen));
    EXPECT_TRUE(box_is(700, 600, 500, 40, "IP : 192.168.1.20 (02:47:58:00:00:01)", kGreen));

    // Another maker's address: grey. A pending programming: yellow.
    status_store_text(g_status.mac_text, sizeof g_status.mac_text, "00:11:22:33:44:55");
    draw_info_area();
    EXPECT_TRUE(box_is(700, 600, 500, 40, "IP : 192.168.1.20 (00:11:22:33:44:55)", kGrey));
    g_status.mac_request = 1;
    draw_info_area();
    EXPECT_TRUE(box_is(700, 600, 500, 40, "IP : 192.168.1.20 (FLASHING)", kYellow));

    // Unreadable files count as 0.
    box->remove("/proc/uptime");
    box->remove("/proc/stb/fp/temp_sensor");
    draw_info_area();
    EXPECT_TRUE(box_is(700, 550, 500, 40, "UPTIME : 00:00:00 (TEMP 0 'C)", kGreen));
    EXPECT_EQ(blits(), 4u);
}

TEST_F(Areas, CardColumnHasNoGapsAndLabelsReadersByKind)
{
    start();
    // Reader 0 with a card that has not answered, reader 1 empty.
    g_status.sci_present[0] = 1;
    g_status.sci_card[0] = 1;
    g_status.sci_present[1] = 1;
    g_status.model_kind = 2;
    draw_cas_area();
    EXPECT_TRUE(box_is(380, 60, 150, 40, "SCI1 NOK", kYellow));
    EXPECT_TRUE(box_is(380, 105, 150, 40, "SCI2 NOK", kBlue));

    g_status.model_kind = 3;
    draw_cas_area();
    EXPECT_TRUE(box_is(380, 60, 150, 40, "SCI1 NOK", kBlue));
    EXPECT_TRUE(box_is(380, 105, 150, 40, "SCI2 NOK", kYellow));

    // Only CI slot 1 and reader 0 on kind 3: CI2 first, then SCI2, no gap.
    for (int i = 0; i < available / 4; ++i)
        lfb[i] = kPaint;
    g_status.sci_present[1] = 0;
    g_status.sci_atr[0] = 1;
    g_status.ci_present[1] = 1;
    g_status.ci_module[1] = 1;
    draw_cas_area();
    EXPECT_TRUE(box_is(380, 60, 150, 40, "CI2 OK", kGreen));
    EXPECT_TRUE(box_is(380, 105, 150, 40, "SCI2 OK", kGreen));
    EXPECT_TRUE(untouched(380, 150, 150, 100));
    // Kind 7 puts the readers first.
    g_status.model_kind = 7;
    draw_cas_area();
    EXPECT_TRUE(box_is(380, 60, 150, 40, "SCI1 OK", kGreen));
    EXPECT_TRUE(box_is(380, 105, 150, 40, "CI2 OK", kGreen));
    size_t presented = blits();
    EXPECT_EQ(presented, 4u);

    // Kind 5 draws nothing and does not present; nothing present still does.
    for (int i = 0; i < available / 4; ++i)
        lfb[i] = kPaint;
    g_status.model_kind = 5;
    draw_cas_area();
    EXPECT_EQ(blits(), presented);
    g_status.model_kind = 2;
    g_status.sci_present[0] = 0;
    g_status.ci_present[1] = 0;
    draw_cas_area();
    EXPECT_TRUE(untouched(380, 60, 150, 400));
    EXPECT_EQ(blits(), presented + 1);
}

} // namespace

namespace {

// The remote-control area reads the tuner tables.
class RcuArea : public ConsoleTest {
protected:
    void tuners(std::initializer_list<int> present)
    {
        for (int t = 0; t < 4; ++t) {
            tuner_stat[t] = 0;
            tuner_run[t] = 0;
            tuner_locked[t] = 0;
        }
        for (int t : present)
            tuner_stat[t] = 1;
    }
};

TEST_F(RcuArea, TunerRowAndSettingsByTheRunningTuner)
{
    start();
    tuners({0, 1, 3});
    tuner_system[1] = 6;
    tuner_run[1] = 1;
    sys[1] = 6;
    vlt[0] = 0;
    tone[0] = 0;
    box->file("/proc/stb/fp/oled_brightness")->set_content("64\n");
    draw_rcu_area();
    EXPECT_TRUE(box_is(60, 500, 150, 40, "1.OFF", kLightGrey));
    EXPECT_TRUE(box_is(220, 500, 150, 40, "2.DVB-S/S2", kYellow));  // on, not locked
    EXPECT_TRUE(untouched(380, 500, 150, 40));                       // no third front end
    EXPECT_TRUE(box_is(540, 500, 150, 40, "4.OFF", kLightGrey));
    EXPECT_TRUE(box_is(60, 550, 150, 40, "5.13V", kYellow));
    EXPECT_TRUE(box_is(220, 550, 150, 40, "6.22KHz", kYellow));
    EXPECT_TRUE(box_is(380, 550, 150, 40, "7.LED-25%", kYellow));
    EXPECT_EQ(blits(), 1u);

    // Locked; 18 V, tone off; full brightness.
    tuner_locked[1] = 16;
    vlt[0] = 1;
    tone[0] = 1;
    box->file("/proc/stb/fp/oled_brightness")->set_content("255\n");
    draw_rcu_area();
    EXPECT_TRUE(box_is(220, 500, 150, 40, "2.DVB-S/S2", kGreen));
    EXPECT_TRUE(box_is(60, 550, 150, 40, "5.18V", kYellow));
    EXPECT_TRUE(box_is(220, 550, 150, 40, "6.0KHz", kLightGrey));
    EXPECT_TRUE(box_is(380, 550, 150, 40, "7.LED-100%", kYellow));

    // A cable tuner: supply and tone boxes cleared; terrestrial: antenna text.
    tuner_run[1] = 0;
    tuner_run[3] = 1;
    tuner_system[3] = 1;
    sys[3] = 1;
    draw_rcu_area();
    EXPECT_TRUE(box_is(540, 500, 150, 40, "4.DVB-C", kYellow));
    EXPECT_TRUE(box_is(60, 550, 150, 40, nullptr, kClear));
    EXPECT_TRUE(box_is(220, 550, 150, 40, nullptr, kClear));
    tuner_system[3] = 16;
    sys[3] = 3;
    vlt[0] = 2;
    draw_rcu_area();
    EXPECT_TRUE(box_is(540, 500, 150, 40, "4.DVB-T/T2", kYellow));
    EXPECT_TRUE(box_is(60, 550, 150, 40, "5.0V", kLightGrey));
}

TEST_F(RcuArea, SmallBoardsHaveNoBrightnessBoxAndTheNetBoxNoSettings)
{
    start();
    tuners({0});
    tuner_run[0] = 1;
    tuner_system[0] = 3;
    sys[0] = 3;
    vlt[0] = 0;
    g_status.model_kind = 7;
    draw_rcu_area();
    EXPECT_TRUE(box_is(60, 500, 150, 40, "1.DVB-T", kYellow));
    EXPECT_TRUE(box_is(60, 550, 150, 40, "5.5V", kYellow));
    EXPECT_TRUE(box_is(220, 550, 150, 40, nullptr, kClear));
    EXPECT_TRUE(untouched(380, 550, 150, 40));
    EXPECT_EQ(blits(), 1u);
    for (int i = 0; i < available / 4; ++i)
        lfb[i] = kPaint;
    g_status.model_kind = 5;
    draw_rcu_area();
    EXPECT_TRUE(untouched(60, 550, 500, 40));
    EXPECT_EQ(blits(), 2u);
}

} // namespace
