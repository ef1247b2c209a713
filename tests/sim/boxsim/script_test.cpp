// Scenario scripts: times, comments, errors with their line numbers, and the
// run's own actions.
#include "boxsim/script.h"
#include "sim_test.h"

#include <fstream>

using boxsim::parse_action;
using boxsim::parse_script;
using boxsim::parse_time_ms;
using boxsim::Script;

namespace {

// A device action of the test's own, so that the tests do not depend on
// which device models are linked: "lamp on|off [BRIGHTNESS]".
struct Lamp {
    std::atomic<int> on{-1};
    std::atomic<int> brightness{0};
};

BOXSIM_REGISTER({
    boxsim::register_action(
        {"testlamp", "testlamp on|off [BRIGHTNESS]",
         [](const std::vector<std::string> &args, std::string &err) -> std::optional<boxsim::ActionRun> {
             if (args.empty() || args.size() > 2 || (args[0] != "on" && args[0] != "off")) {
                 err = "expected on or off";
                 return std::nullopt;
             }
             int level = args.size() == 2 ? atoi(args[1].c_str()) : 100;
             bool on = args[0] == "on";
             return [on, level](boxsim::Box &box) {
                 box.part<Lamp>().on = on;
                 box.part<Lamp>().brightness = level;
             };
         }});
});

std::string err_of(const std::string &text)
{
    std::string err;
    auto s = parse_script(text, "s.txt", err);
    EXPECT_FALSE(s) << "parsed although it should not: " << text;
    return err;
}

} // namespace

TEST(ScriptTime, AcceptsSecondsMillisecondsAndZero)
{
    EXPECT_EQ(parse_time_ms("0"), 0);
    EXPECT_EQ(parse_time_ms("0s"), 0);
    EXPECT_EQ(parse_time_ms("0ms"), 0);
    EXPECT_EQ(parse_time_ms("1.5s"), 1500);
    EXPECT_EQ(parse_time_ms("250ms"), 250);
    EXPECT_EQ(parse_time_ms("2s"), 2000);
    EXPECT_EQ(parse_time_ms("0.001s"), 1);
    EXPECT_EQ(parse_time_ms("0.25s"), 250);
    EXPECT_EQ(parse_time_ms("86400s"), 86400000);
}

TEST(ScriptTime, RefusesWhatIsNotATime)
{
    // A bare number other than 0 has no unit: seconds or milliseconds would
    // be a guess.
    for (const char *t : {"", "5", "-1s", "1.5ms", "1.2345s", "s", "ms", "1e3s", "86401s", "1,5s", "1.s", ".5s",
                          " 1s", "1S", "10m", "99999999999s", "0x10ms"})
        EXPECT_FALSE(parse_time_ms(t)) << "'" << t << "'";
}

TEST(ScriptParse, ReadsTimesActionsAndArgumentsPastCommentsAndBlankLines)
{
    std::string err;
    auto s = parse_script("# lamp test\n"
                          "\n"
                          "0 testlamp on   # at once\n"
                          "\t1.5s   testlamp off\r\n"
                          "   # an indented comment\n"
                          "1500ms testlamp on 30\n"
                          "2s snapshot lit-1\n",
                          "lamp.txt", err);
    ASSERT_TRUE(s) << err;
    ASSERT_EQ(s->steps.size(), 4u);
    EXPECT_EQ(s->steps[0].at_ms, 0);
    EXPECT_EQ(s->steps[0].line, 3);
    EXPECT_EQ(s->steps[0].action.text, "testlamp on");
    EXPECT_EQ(s->steps[1].at_ms, 1500);
    EXPECT_EQ(s->steps[1].line, 4);
    EXPECT_EQ(s->steps[1].action.args, (std::vector<std::string>{"off"}));
    EXPECT_EQ(s->steps[2].line, 6);
    EXPECT_EQ(s->steps[2].action.args, (std::vector<std::string>{"on", "30"}));
    EXPECT_EQ(s->steps[3].action.name, "snapshot");
    EXPECT_EQ(s->snapshots(), (std::vector<std::string>{"lit-1"}));
    EXPECT_FALSE(s->has_quit());

    // The parsed actions do what their lines say.
    auto box = boxtest::make_box();
    for (const auto &step : s->steps)
        if (step.action.name == "testlamp")
            boxsim::run_action(*box, step.action, "script");
    EXPECT_EQ(box->part<Lamp>().on, 1);
    EXPECT_EQ(box->part<Lamp>().brightness, 30);
    auto recorded = box->trace().find("action");
    ASSERT_EQ(recorded.size(), 3u);
    EXPECT_EQ(recorded[1]["text"], "testlamp off");
    EXPECT_EQ(recorded[1]["from"], "script");
}

TEST(ScriptParse, AnEmptyOrCommentOnlyScriptHasNoSteps)
{
    std::string err;
    auto s = parse_script("# nothing happens\n\n   \n", "empty.txt", err);
    ASSERT_TRUE(s) << err;
    EXPECT_TRUE(s->steps.empty());
    s = parse_script("", "empty.txt", err);
    ASSERT_TRUE(s) << err;
    EXPECT_TRUE(s->steps.empty());
}

TEST(ScriptParse, ErrorsNameTheFileAndTheLine)
{
    // The line number counts comment and blank lines.
    EXPECT_EQ(err_of("# header\n\n0 testlamp on\n1s frobnicate 3\n").rfind("s.txt:4: unknown action 'frobnicate'", 0),
              0u);
    EXPECT_NE(err_of("0 frobnicate\n").find("known: "), std::string::npos);

    std::string e = err_of("0 testlamp on\n0 testlamp dim\n");
    EXPECT_EQ(e.rfind("s.txt:2: testlamp: expected on or off", 0), 0u) << e;
    EXPECT_NE(e.find("usage: testlamp on|off [BRIGHTNESS]"), std::string::npos) << e;

    EXPECT_EQ(err_of("0 testlamp on\n5 testlamp off\n").rfind("s.txt:2: bad time '5'", 0), 0u);
    EXPECT_EQ(err_of("abc testlamp on\n").rfind("s.txt:1: bad time 'abc'", 0), 0u);
    EXPECT_EQ(err_of("testlamp on\n").rfind("s.txt:1: line starts with the action 'testlamp'", 0), 0u);
    EXPECT_EQ(err_of("0 testlamp on\n2s   # nothing\n").rfind("s.txt:2: no action after the time 2s", 0), 0u);
}

TEST(ScriptParse, RefusesTimesGoingBackActionsAfterQuitAndRepeatedSnapshots)
{
    std::string e = err_of("2s testlamp on\n1s testlamp off\n");
    EXPECT_EQ(e, "s.txt:2: time 1s is earlier than the line before (2s)");

    e = err_of("0 testlamp on\n1s quit\n2s testlamp off\n");
    EXPECT_EQ(e, "s.txt:3: nothing can follow quit (line 2)");

    e = err_of("0 snapshot a\n1s snapshot b\n2s snapshot a\n");
    EXPECT_EQ(e, "s.txt:3: snapshot 'a' is already taken on line 1");

    // The same time twice keeps file order.
    std::string err;
    auto s = parse_script("1s testlamp on\n1s testlamp off\n1s quit\n", "s.txt", err);
    ASSERT_TRUE(s) << err;
    EXPECT_EQ(s->steps[1].action.text, "testlamp off");
    EXPECT_TRUE(s->has_quit());
}

TEST(ScriptParse, SnapshotNamesCannotLeaveTheOutputDirectory)
{
    for (const char *name : {"../x", "a/b", ".hidden", "final", "sp ace*", "x\\y"}) {
        std::string e = err_of(std::string("0 snapshot ") + name + "\n");
        EXPECT_EQ(e.rfind("s.txt:1: snapshot: ", 0), 0u) << name << ": " << e;
    }
    EXPECT_NE(err_of("0 snapshot " + std::string(65, 'a') + "\n").find("1 to 64"), std::string::npos);
    EXPECT_NE(err_of("0 snapshot\n").find("takes one name"), std::string::npos);
    EXPECT_NE(err_of("0 snapshot a b\n").find("takes one name"), std::string::npos);
    EXPECT_NE(err_of("0 quit now\n").find("quit: takes no arguments"), std::string::npos);

    std::string err;
    EXPECT_TRUE(boxsim::valid_snapshot_name("after-lease_2.v1", err)) << err;
    EXPECT_TRUE(boxsim::valid_snapshot_name(std::string(64, 'z'), err)) << err;
}

TEST(ScriptParse, ControlCharactersInAnActionLineAreRefused)
{
    std::string err;
    EXPECT_FALSE(parse_action(std::string("snapshot a\x01"), err));
    EXPECT_NE(err.find("control character"), std::string::npos);
    EXPECT_FALSE(parse_action("   ", err));
    EXPECT_EQ(err, "no action given");
    auto a = parse_action("  testlamp   on  \t 7 ", err);
    ASSERT_TRUE(a) << err;
    EXPECT_EQ(a->text, "testlamp on 7");
}

TEST(ScriptFile, ReadsAFileAndNamesAMissingOne)
{
    boxtest::TempDir dir;
    std::string path = dir.file("scenario.txt");
    std::ofstream(path) << "0 testlamp on\n250ms frob\n";
    std::string err;
    EXPECT_FALSE(boxsim::load_script(path, err));
    EXPECT_EQ(err.rfind(path + ":2: unknown action 'frob'", 0), 0u) << err;

    EXPECT_FALSE(boxsim::load_script(dir.file("missing.txt"), err));
    EXPECT_EQ(err, "cannot read script " + dir.file("missing.txt") + ": No such file or directory");
}

TEST(RunActions, SnapshotAndQuitReachTheRunsHooksAndLeaveATrace)
{
    auto box = boxtest::make_box();
    std::string err;
    auto snap = parse_action("snapshot early", err);
    auto quit = parse_action("quit", err);
    ASSERT_TRUE(snap && quit) << err;

    // Without hooks (a plain box) they only leave their trace.
    boxsim::run_action(*box, *snap, "web");
    boxsim::run_action(*box, *quit, "web");
    EXPECT_EQ(box->trace().count("action"), 2u);

    std::vector<std::string> snapshots;
    int quits = 0;
    boxsim::set_run_hooks(*box, {[&](boxsim::Box &, const std::string &name) { snapshots.push_back(name); },
                                 [&](boxsim::Box &) { ++quits; }});
    boxsim::run_action(*box, *snap, "script");
    boxsim::run_action(*box, *quit, "script");
    EXPECT_EQ(snapshots, (std::vector<std::string>{"early"}));
    EXPECT_EQ(quits, 1);
    auto recorded = box->trace().find("action");
    ASSERT_EQ(recorded.size(), 4u);
    EXPECT_EQ(recorded[2]["text"], "snapshot early");
    EXPECT_EQ(recorded[3]["from"], "script");
}
