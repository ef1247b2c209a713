// Scripts that check themselves, run as a user runs them: the verdict and
// its exit status, the reports, golden files written and compared, and
// boxsim test over a folder.
#ifdef BOXSIM_BINARY

#include "boxsim_process.h"
#include "core/image.h"

#include <filesystem>

using namespace std::chrono_literals;
using tooltest::BoxsimProcess;
using tooltest::read_file;
namespace fs = std::filesystem;
using boxsim::json;

// This file's helpers in a namespace of its own: the folder's files compile
// as one unit, and their helpers of the same names stay apart.
namespace expect_cli_test {
namespace {

struct Outcome {
    std::optional<int> status;
    std::string out, err;
};

Outcome run(const std::vector<std::string> &args, const std::string &dir)
{
    BoxsimProcess p(args, dir);
    EXPECT_TRUE(p.started());
    Outcome o;
    o.status = p.wait(60s);
    o.out = p.out();
    o.err = p.err();
    return o;
}

void write(const std::string &path, const std::string &text)
{
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text;
}

// The rescue display with its address: what holds, and one that cannot.
const char kLease[] = "# the box gets its address\n"
                      "0      dhcp lease 192.168.1.20\n"
                      "0      cable plug 1000\n"
                      "0      expect stdout \"Lease of 192.168.1.20\" within 3s\n"
                      "0      expect link: state status.eth_link == 1 within 3s\n"
                      "0      expect trace op=action text=\"cable plug 1000\" from=script within 1s\n"
                      "300ms  expect slow: state status.eth_speed == 10 within 500ms\n"
                      "2s     expect lcd: picture lcd golden/lcd.png within 1s\n";

} // namespace

TEST(ExpectCli, ARunGivesItsVerdictItsReportsAndStatusThree)
{
    boxtest::TempDir dir;
    std::string script = dir.file("t/lease.box");
    write(script, kLease);

    // The golden file does not exist yet: refused before anything runs.
    Outcome o = run({"--script", script, "--out", dir.file("out0")}, dir.path());
    EXPECT_EQ(o.status, 2) << o.err;
    EXPECT_NE(o.err.find(script + ":8: the golden file"), std::string::npos) << o.err;
    EXPECT_FALSE(fs::exists(dir.file("out0")));

    // Written with --update-golden; the rest is checked as always.
    o = run({"--script", script, "--out", dir.file("out1"), "--update-golden"}, dir.path());
    EXPECT_EQ(o.status, 3) << o.err;
    EXPECT_NE(o.err.find(script + ":8: wrote " + dir.file("t/golden/lcd.png")), std::string::npos) << o.err;
    EXPECT_TRUE(fs::exists(dir.file("t/golden/lcd.png")));
    // One line for what failed, with what was seen instead.
    EXPECT_NE(o.err.find(script + ":7: slow: timed out at 0.8s; status.eth_speed was 1000"), std::string::npos)
        << o.err;
    EXPECT_NE(o.err.find("4 of 5 expectations held"), std::string::npos) << o.err;

    json report = json::parse(read_file(dir.file("out1/expectations.json")), nullptr, false);
    ASSERT_TRUE(report.is_object());
    EXPECT_EQ(report["held"], 4);
    EXPECT_EQ(report["failed"], 1);
    ASSERT_EQ(report["expectations"].size(), 5u);
    EXPECT_EQ(report["expectations"][1]["name"], "link");
    EXPECT_EQ(report["expectations"][3]["result"], "failed");
    EXPECT_EQ(report["expectations"][3]["value"], 1000);
    EXPECT_EQ(report["expectations"][4]["result"], "written");
    // The run did not wait for its last time-out longer than needed.
    EXPECT_LT(report["t"].get<int>(), 3000 + 1500);
    std::string xml = read_file(dir.file("out1/report.xml"));
    EXPECT_NE(xml.find("tests=\"5\" failures=\"1\""), std::string::npos) << xml;
}

TEST(ExpectCli, TheTestCommandRunsAFolderAndChecksEveryScriptFirst)
{
    boxtest::TempDir dir;
    std::string folder = dir.file("suite");
    write(folder + "/lease.box", kLease);
    write(folder + "/sub/quiet.box", "box rcplus\n"
                                     "0  dhcp none\n"
                                     "0  cable unplug\n"
                                     "0  expect state status.ip == 0.0.0.0\n"
                                     // the DHCP step begun at start holds the
                                     // port monitor for up to 3 s
                                     "4500ms expect state status.eth_link == 0\n");
    write(folder + "/notes.txt", "not a script: only *.box files are run\n");
    // A broken script stops the whole run before anything runs.
    write(folder + "/zz/broken.box", "0 expect state status.ip ~ 1\n");
    Outcome o = run({"test", "--out", dir.file("out"), folder}, dir.path());
    EXPECT_EQ(o.status, 2) << o.err;
    EXPECT_NE(o.err.find(folder + "/zz/broken.box:1: expect state: unknown operator '~'"), std::string::npos) << o.err;
    EXPECT_FALSE(fs::exists(dir.file("out")));
    // So does a golden picture of another size than the box's LCD (400x240).
    fs::remove_all(folder + "/zz");
    boxsim::Image small;
    small.width = 40;
    small.height = 24;
    small.argb.assign(40 * 24, 0xFF000000u);
    fs::create_directories(folder + "/zz");
    ASSERT_TRUE(boxsim::write_png(small, folder + "/zz/small.png"));
    write(folder + "/zz/small.box", "0 expect picture lcd small.png\n");
    o = run({"test", "--out", dir.file("out"), folder}, dir.path());
    EXPECT_EQ(o.status, 2) << o.err;
    EXPECT_NE(o.err.find(folder + "/zz/small.box:1: the golden file " + folder +
                         "/zz/small.png has 40x24 pixels, the LCD of this box 400x240"),
              std::string::npos)
        << o.err;
    EXPECT_FALSE(fs::exists(dir.file("out")));
    fs::remove_all(folder + "/zz");

    ASSERT_EQ(run({"--script", folder + "/lease.box", "--out", dir.file("gold"), "--update-golden"}, dir.path()).status,
              3);
    o = run({"test", "-j", "2", "--out", dir.file("out"), folder}, dir.path());
    EXPECT_EQ(o.status, 3) << o.out << o.err;
    // A row per run, what failed in the run's words, and the sum.
    EXPECT_NE(o.out.find(folder + "/lease.box"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("FAILED"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("lease.box:7: slow: timed out"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find(folder + "/sub/quiet.box       -      2       0"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("1 of 2 runs passed (2 scripts x 1 seed); 6 expectations held, 1 failed"),
              std::string::npos)
        << o.out;
    EXPECT_TRUE(fs::exists(dir.file("out/sub_quiet/expectations.json")));
    std::string xml = read_file(dir.file("out/report.xml"));
    EXPECT_NE(xml.find("<testsuites tests=\"7\" failures=\"1\" errors=\"0\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("<testsuite name=\"" + folder + "/sub/quiet.box\" tests=\"2\" failures=\"0\""),
              std::string::npos)
        << xml;
}

} // namespace expect_cli_test

#endif
