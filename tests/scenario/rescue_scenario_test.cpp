// The rescue front end started on a simulated box: what the TV, the LCD, the
// text display and the LEDs show, and how the process ends on request.
#include "rescue_run.h"

#include "boxsim/script.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>

// This file's helpers in a namespace of its own: the folder's files compile
// as one unit, and their helpers of the same names stay apart.
namespace rescue_scenario_test {
namespace {

using namespace rescuetest;
using boxsim::json;

// Pictures of the run as PNG files: into $BOX_PICTURES_DIR when set (to
// look at them), else into a temporary directory that goes away.
void write_pictures(boxsim::Box &box, const std::string &tag)
{
#if !BOXSIM_HAVE_PNG
    // The box's own build has no PNG library; the pictures are checked by
    // their pixels elsewhere.
    (void)box;
    (void)tag;
    return;
#endif
    boxtest::TempDir tmp;
    const char *env = getenv("BOX_PICTURES_DIR");
    std::string dir = env && *env ? env : tmp.path();
    for (const char *name : {"tv", "lcd"}) {
        auto img = boxsim::picture(box, name);
        ASSERT_TRUE(img) << name;
        std::string path = dir + "/" + tag + "_" + name + ".png";
        ASSERT_TRUE(boxsim::write_png(*img, path)) << path;
        std::ifstream in(path, std::ios::binary);
        char sig[8] = {};
        in.read(sig, 8);
        EXPECT_EQ(std::string(sig, 8), std::string("\x89PNG\r\n\x1a\n", 8)) << path;
    }
}

// The default box with its cable out, or with no DHCP server on the wire.
json without_cable()
{
    json p = RescueRun::load("default");
    p["network"]["cable"] = false;
    return p;
}

json without_server()
{
    json p = RescueRun::load("default");
    p["network"]["cable"] = true;
    p["network"]["dhcp"]["lease"] = nullptr;
    return p;
}

// Runs a scenario action as the script and the web front panel do.
void act(boxsim::Box &box, const std::string &line)
{
    std::string err;
    auto a = boxsim::parse_action(line, err);
    ASSERT_TRUE(a) << err;
    a->run(box);
}

TEST(RescueScenario, WithoutCableTheBoxSaysUnpluggedEverywhere)
{
    RescueRun run(without_cable());
    ASSERT_TRUE(run.started);
    ASSERT_TRUE(run.passes(20));
    auto shown = run.shown();
    std::vector<std::string> first(shown.begin(), shown.begin() + 20);
    EXPECT_EQ(first, (std::vector<std::string>{"   h", "  ht", " htt", "http", "ttp_", "tp__", "p___", "___u",
                                                "__un", "_unp", "unpl", "nplu", "plug", "luge", "uged", "ged",
                                                "ed", "d", "", "   h"}));

    // Passes 1 to 5 of the LEDs: each dark once in turn, both lit between.
    using L = boxsim::LedWrite;
    auto leds = boxsim::led_history(*run.box);
    ASSERT_GE(leds.size(), 10u);
    std::vector<L> five(leds.begin(), leds.begin() + 10);
    EXPECT_EQ(five, (std::vector<L>{{0, 0}, {1, 1}, {0, 1}, {1, 1}, {0, 1}, {1, 0}, {0, 1}, {1, 1}, {0, 0}, {1, 1}}));

    auto lcd = boxsim::lcd_frame(*run.box);
    ASSERT_TRUE(lcd);
    EXPECT_EQ(lcd->bytes, rescue_lcd(400, 240, "unplugged"));
    // Boxes at 96 and 144, 48 rows high, a 24-row line centred in each.
    auto lit = lit_in_lines(*lcd, 108, 156);
    EXPECT_GT(lit.first, 100);
    EXPECT_GT(lit.second, 100);
    auto tv = boxsim::picture(*run.box, "tv");
    ASSERT_TRUE(tv);
    EXPECT_TRUE(tv_line_is(*tv, 300, "Your Corvane has booted into rescue mode.\n"));
    EXPECT_TRUE(tv_line_is(*tv, 340, "Please point your web browser to http://0.0.0.0\n"));
    EXPECT_TRUE(tv_black_around_lines(*tv));

    // The trace: the shell commands of a pass, LCD frames as numbered,
    // hashed whole frames, none refused.
    auto &trace = run.box->trace();
    EXPECT_TRUE(trace.contains([](const json &e) {
        return e.value("op", "") == "system" && e.value("cmd", "") == "echo '   h' > /dev/mcu" && e["status"] == 0;
    }));
    auto frames = trace.find("write", "/dev/lcd0");
    ASSERT_GE(frames.size(), 20u);
    for (const auto &f : frames) {
        EXPECT_EQ(f["len"], 400 * 240 * 2);
        EXPECT_TRUE(f.contains("hash") && f.contains("frame")) << f.dump();
        EXPECT_FALSE(f.contains("bad_frame"));
    }
    EXPECT_EQ(frames[0]["frame"], 1);
    EXPECT_EQ(boxsim::lcd_bad_frame_count(*run.box), 0u);

    write_pictures(*run.box, "unplugged");
}

TEST(RescueScenario, ALinkWithoutALeaseSaysPlugged)
{
    RescueRun run(without_server());
    ASSERT_TRUE(run.started);
    ASSERT_TRUE(run.until_lcd(rescue_lcd(400, 240, "plugged")));
    ASSERT_TRUE(run.passes(run.shown().size() + 3));
    // The display keeps scrolling the unplugged text, without a break.
    EXPECT_TRUE(scrolls_each_text_on(passes_in_trace(*run.box), "no address frame", "\x01 no address text"));
    auto tv = boxsim::picture(*run.box, "tv");
    ASSERT_TRUE(tv);
    EXPECT_TRUE(tv_line_is(*tv, 340, "Please point your web browser to http://0.0.0.0\n"));
}

TEST(RescueScenario, ALeaseIsShownAndALostLinkFallsBack)
{
    json profile = without_cable();
    RescueRun run(profile);
    ASSERT_TRUE(run.started);
    ASSERT_TRUE(run.passes(12));  // the unplugged text up to "plug"
    act(*run.box, "cable plug");
    act(*run.box, "dhcp lease 192.168.1.20");
    const auto url = rescue_lcd(400, 240, "http://192.168.1.20/");
    ASSERT_TRUE(run.until_lcd(url, 30s));
    // A whole turn of the 23-character address text, and a little more.
    ASSERT_TRUE(run.passes(run.shown().size() + 26));
    auto tv = boxsim::picture(*run.box, "tv");
    ASSERT_TRUE(tv);
    EXPECT_TRUE(tv_line_is(*tv, 340, "Please point your web browser to http://192.168.1.20\n"));
    write_pictures(*run.box, "lease");

    act(*run.box, "cable unplug");
    ASSERT_TRUE(run.until_lcd(rescue_lcd(400, 240, "unplugged")));
    ASSERT_TRUE(run.passes(run.shown().size() + 3));
    tv = boxsim::picture(*run.box, "tv");
    ASSERT_TRUE(tv);
    EXPECT_TRUE(tv_line_is(*tv, 340, "Please point your web browser to http://192.168.1.20\n"));

    // Every pass scrolled the text that belongs to what the LCD showed, each
    // text resuming where it had stopped.
    const std::string address = "   http___192_168_1_20_";
    auto passes = passes_in_trace(*run.box);
    // The address text from its start once the lease is shown, and round
    // again after its end (a pass caught between the two texts by the link
    // change counts for the text it showed).
    std::vector<std::string> on_address;
    EXPECT_TRUE(scrolls_each_text_on(passes, hash_of(url), address, &on_address));
    ASSERT_GE(on_address.size(), 25u);
    EXPECT_EQ(on_address[0], "   h");
    EXPECT_EQ(on_address[10], "192_");
    EXPECT_EQ(on_address[22], "_");
    EXPECT_EQ(on_address[23], "");
    EXPECT_EQ(on_address[24], "   h");
}

TEST(RescueScenario, TheSmallPanelGetsItsLinesInItsOwnBoxes)
{
    json profile = RescueRun::load("tetra");
    profile["network"]["cable"] = false;
    RescueRun run(profile);
    ASSERT_TRUE(run.started);
    ASSERT_TRUE(run.passes(1));
    ASSERT_TRUE(run.box->wait_for([&] { return boxsim::lcd_frame_count(*run.box) > 0; }, 5s));
    auto lcd = boxsim::lcd_frame(*run.box);
    ASSERT_TRUE(lcd);
    ASSERT_EQ(lcd->xres, 220);
    ASSERT_EQ(lcd->yres, 176);
    EXPECT_EQ(lcd->bytes, rescue_lcd(220, 176, "unplugged"));
    // Lit pixels only in the rows of the two text lines: boxes at 70 and
    // 105, 35 rows high, a 24-row line centred in each.
    auto lit = lit_in_lines(*lcd, 75, 110);
    EXPECT_GT(lit.first, 100);
    EXPECT_GT(lit.second, 100);
    write_pictures(*run.box, "small_panel");
}

// Drivers lay out and size their memory their own way: a line padded to an
// aligned pitch, memory allocated for the mode once it is set, a mode
// rounded up to what the hardware can show. The TV a viewer sees is the
// same on each (a rounded mode shows the same picture over its extra rows
// of black).
TEST(RescueScenario, TheTvIsTheSameWhateverTheDriversMemoryLayout)
{
    auto tv_of = [](const json &framebuffer, json *set_mode) -> std::optional<boxsim::Image> {
        json profile = without_cable();
        profile["framebuffer"] = framebuffer;
        RescueRun run(profile);
        EXPECT_TRUE(run.started);
        EXPECT_TRUE(run.passes(3));
        auto puts = run.box->trace().find("ioctl", "/dev/fb0");
        for (const auto &e : puts)
            if (e.value("name", "") == "FBIOPUT_VSCREENINFO" && e.value("result", -1) == 0)
                *set_mode = e["set"];
        return boxsim::picture(*run.box, "tv");
    };
    json mode;
    auto reference = tv_of(json::object(), &mode);
    ASSERT_TRUE(reference);
    ASSERT_EQ(reference->width, 1280);
    ASSERT_EQ(reference->height, 720);
    ASSERT_TRUE(tv_line_is(*reference, 300, "Your Corvane has booted into rescue mode.\n"));

    struct Case {
        const char *what;
        json framebuffer;
        int yres, yres_virtual;
    } cases[] = {
        {"lines padded to 8192 bytes (one page fits)", {{"line_align", 8192}}, 720, 720},
        {"lines padded to 6144 bytes, memory for two pages", {{"line_align", 2048}, {"memory", 6144 * 1440}}, 720, 1440},
        {"memory sized by the mode set", {{"smem_per_mode", true}}, 720, 1440},
        {"padded lines and memory sized by the mode",
         {{"line_align", 8192}, {"smem_per_mode", true}, {"memory", 8192 * 1440}}, 720, 1440},
        {"height rounded up to 32 rows", {{"round_mode", {{"yres", 32}}}, {"memory", 5120 * 1472}}, 736, 1472},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        auto tv = tv_of(c.framebuffer, &mode);
        ASSERT_TRUE(tv);
        EXPECT_EQ(mode["xres"], 1280);
        EXPECT_EQ(mode["yres"], c.yres);
        EXPECT_EQ(mode["yres_virtual"], c.yres_virtual);
        ASSERT_EQ(tv->width, 1280);
        ASSERT_EQ(tv->height, c.yres);
        size_t differing = 0, not_black = 0;
        for (int y = 0; y < c.yres; ++y)
            for (int x = 0; x < 1280; ++x) {
                if (y < 720)
                    differing += tv->at(x, y) != reference->at(x, y);
                else
                    not_black += tv->at(x, y) != 0xFF000000u;
            }
        EXPECT_EQ(differing, 0u);
        EXPECT_EQ(not_black, 0u);
    }
}

TEST(RescueScenario, AStopSignalEndsTheFrontEndWithinASecond)
{
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        RescueRun run("default");
        ASSERT_TRUE(run.started);
        auto t0 = boxsim::BoxSteadyClock::now();
        // To this thread, so that the handler has run when raise returns: a
        // signal to the process may be taken by another thread later, in the
        // host's time, while the box's clock runs on.
        ASSERT_EQ(raise(sig), 0);
        EXPECT_EQ(run.wait_return(5s), 0);
        auto took = std::chrono::duration_cast<std::chrono::milliseconds>(boxsim::BoxSteadyClock::now() - t0);
        EXPECT_LT(took.count(), 1500) << "main loop sleeps in 1000 ms steps";
        EXPECT_EQ(g_status.quit, 1);
        // The tasks leave too, each after the pass it is in.
        EXPECT_TRUE(run.tasks_ended(4s));
    }
}

} // namespace
} // namespace rescue_scenario_test
