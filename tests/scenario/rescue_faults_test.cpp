// The rescue front end on a box whose drivers and shell fail for a while (the
// text display is written through the shell, so its fault is echo's):
// the system reports what its messages report, keeps running, and shows the
// address on every output once the faults have gone.
#include "rescue_run.h"

#include "core/stdio_capture.h"
#include "devices/panel.h"

namespace rescuetest {
namespace {

TEST(RescueUnderFaults, DriversAndClientFailForAWhileAndEverythingComesBack)
{
    json profile = RescueRun::load("default");
    // The faults strike the first time their call comes (the presentation's
    // once the test captures the messages), however slowly the build under
    // test starts the front end.
    profile["faults"] = {"ioctl /dev/fb0 FBIO_BLIT EIO after 1s for 6s", "write /dev/lcd0 EIO once", "command udhcpc missing once",
                         "command echo fail once"};
    RescueRun run(profile);
    ASSERT_TRUE(run.started);
    boxsim::StdioCapture capture(*run.box, nullptr, nullptr, true);

    ASSERT_TRUE(run.until_lcd(rescue_lcd(400, 240, "http://192.168.1.20/"), 30s))
        << "the LCD and the DHCP step recover";
    // The TV too, by the next pass that presents its page.
    EXPECT_TRUE(boxtest::eventually(
        [&] {
            auto tv = boxsim::picture(*run.box, "tv");
            if (tv && tv_line_is(*tv, 340, "Please point your web browser to http://192.168.1.20\n"))
                return true;
            run.passes(run.shown().size() + 1, 3s);
            return false;
        },
        15s));

    // Every fault fired, and a failed presentation was reported as such.
    std::map<std::string, int> fired;
    for (const auto &e : run.box->trace().find("fault"))
        fired[e["call"].get<std::string>() + " " + e.value("path", e.value("name", ""))]++;
    EXPECT_GE(fired["ioctl /dev/fb0"], 1);
    EXPECT_GE(fired["write /dev/lcd0"], 1);
    EXPECT_GE(fired["command udhcpc"], 1);
    EXPECT_GE(run.box->trace().count("pclose"), 2u) << "the port monitor tried the client again";
    EXPECT_GE(fired["command echo"], 1);
    capture.drain();
    EXPECT_NE(boxtest::printed(*run.box, "stderr").find("FBIO_BLIT: Input/output error"), std::string::npos);
    auto pcloses = run.box->trace().find("pclose");
    ASSERT_FALSE(pcloses.empty());
    EXPECT_EQ(pcloses.front()["status"], 127);
    EXPECT_EQ(g_status.quit, 0) << "the front end runs on";
}

} // namespace
} // namespace rescuetest
