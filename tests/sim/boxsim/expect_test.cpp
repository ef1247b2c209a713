// Expectations of scenario scripts: the lines they take and refuse, state
// values and their comparisons, golden pictures, and a run's verdict over a
// box whose output, trace and state the test makes.
#include "boxsim/expect.h"
#include "boxsim/script.h"
#include "sim_test.h"

#include <fstream>
#include <sstream>

using boxsim::Expectation;
using boxsim::ExpectRun;
using boxsim::Image;
using boxsim::json;
using boxsim::parse_script;

namespace {

Image plain(int w, int h, uint32_t argb)
{
    Image img;
    img.width = w;
    img.height = h;
    img.argb.assign(static_cast<size_t>(w) * h, argb);
    return img;
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The box's own build has no PNG library: golden files cannot be read there.
#if BOXSIM_HAVE_PNG
#define NEEDS_PNG() (void)0
#else
#define NEEDS_PNG() GTEST_SKIP() << "no PNG library in this build"
#endif

} // namespace

TEST(ExpectParse, ReadsEachConditionWithQuotesNamesAndWindows)
{
    std::string err;
    auto s = parse_script("box z1\n"
                          "front-end console\n"
                          "0 expect stdout \"Lease of 192.168.1.20\" within 10s\n"
                          "1s expect ok: trace op=ioctl cmd=\"echo -ok- > /dev/mcu # not a comment\" n=3\n"
                          "1s expect state devices.tuners.0.locked == true within 1.5s  # a comment\n"
                          "2s expect state status.volume >= 5\n"
                          "2s expect state devices.panel.text_display matches \"^8{4}$\"\n"
                          "2s expect state status.channel_text == \"say \\\"hi\\\"\"\n"
                          "3s expect picture tv tv.png tolerance 0.5\n",
                          "/some/dir/t.box", err);
    ASSERT_TRUE(s) << err;
    EXPECT_EQ(s->box, "z1");
    EXPECT_EQ(s->front_end, "console");
    ASSERT_EQ(s->expectations.size(), 7u);
    ASSERT_EQ(s->steps.size(), 7u);
    EXPECT_EQ(s->steps[1].expect, 1);

    const Expectation &out = s->expectations[0];
    EXPECT_EQ(out.kind, Expectation::Kind::Stdout);
    EXPECT_EQ(out.text, "Lease of 192.168.1.20");
    EXPECT_EQ(out.within_ms, 10000);
    EXPECT_EQ(out.line, 3);
    // Unnamed, it is called by its condition, written as it would be again.
    EXPECT_EQ(out.name, "stdout \"Lease of 192.168.1.20\" within 10s");
    EXPECT_EQ(out.file_stem(), "line3");

    const Expectation &tr = s->expectations[1];
    EXPECT_EQ(tr.name, "ok");
    EXPECT_EQ(tr.file_stem(), "ok");
    ASSERT_EQ(tr.fields.size(), 3u);
    EXPECT_EQ(tr.fields[1], (std::pair<std::string, std::string>{"cmd", "echo -ok- > /dev/mcu # not a comment"}));
    EXPECT_FALSE(tr.within_ms);
    EXPECT_EQ(tr.window_start(), 0);  // without a window, any line up to its time counts
    EXPECT_EQ(tr.deadline(), 1000);

    EXPECT_EQ(s->expectations[2].path, "devices.tuners.0.locked");
    EXPECT_EQ(s->expectations[2].deadline(), 2500);
    EXPECT_EQ(s->expectations[3].op, Expectation::Op::Ge);
    EXPECT_EQ(s->expectations[3].number, 5);
    ASSERT_TRUE(s->expectations[4].regex);
    EXPECT_EQ(s->expectations[5].value, "say \"hi\"");
    EXPECT_TRUE(s->expectations[5].value_quoted);
    EXPECT_EQ(s->expectations[6].golden, "/some/dir/tv.png");
    EXPECT_DOUBLE_EQ(s->expectations[6].tolerance_pct, 0.5);
}

TEST(ExpectParse, RefusesBadLinesWithTheirLineNumber)
{
    const std::pair<const char *, const char *> cases[] = {
        {"1s expect", "needs a condition"},
        {"1s expect smell \"burnt\"", "unknown condition"},
        {"1s expect stdout two words", "takes one text"},
        {"1s expect stdout \"open", "quote is not closed"},
        {"1s expect trace op", "is not FIELD=VALUE"},
        {"1s expect state status..ip == 1", "bad path"},
        {"1s expect state status.ip =~ 1", "unknown operator"},
        {"1s expect state status.volume < loud", "compares numbers"},
        {"1s expect state status.volume > \"5\"", "compares numbers"},
        {"1s expect state status.mac_text matches \"([\"", "bad regular expression"},
        {"1s expect state status.mac_text matches \"(0)\\1\"", "bad regular expression"},  // no back-references
        {"1s expect state status.ip == 1 within soon", "after within"},
        {"1s expect picture vcr a.png", "unknown picture"},
        {"1s expect picture tv a.bmp", "no .png"},
        {"1s expect picture tv a.png tolerance 120", "percentage"},
        {"1s expect bad/name: stdout x", "name"},
        {"1s expect a: stdout x\n2s expect a: stdout y", "already taken on line 1"},
        {"0 cable plug\nbox z1", "before the first timed line"},
        {"box z1\nbox z3", "already said on line 1"},
    };
    for (const auto &[text, what] : cases) {
        std::string err;
        EXPECT_FALSE(parse_script(text, "s.box", err)) << text;
        EXPECT_NE(err.find(what), std::string::npos) << text << " -> " << err;
        int lines = static_cast<int>(std::count(text, text + strlen(text), '\n')) + 1;
        EXPECT_EQ(err.rfind("s.box:" + std::to_string(lines) + ": ", 0), 0u) << err;
    }
}

TEST(ExpectState, FindsValuesByPathAndComparesThemByKind)
{
    json st = json::parse(R"({"status":{"ip":"192.168.1.20","volume":35,"mute":0,"text":"0000"},
        "devices":{"tuners":[{"locked":false},{"locked":true,"snr":81.5}],"leds":[1,0],"panel":{"text_display":"8888"}}})");
    EXPECT_EQ(boxsim::state_value(st, "devices.tuners.1.snr"), json(81.5));
    EXPECT_FALSE(boxsim::state_value(st, "devices.tuners.2.locked"));
    EXPECT_FALSE(boxsim::state_value(st, "status.ip.0"));
    EXPECT_FALSE(boxsim::state_value(st, "devices.tuners.x"));

    struct Case {
        const char *line;
        bool holds;
    } cases[] = {
        {"state status.ip == 192.168.1.20", true},
        {"state status.ip != 192.168.1.20", false},
        {"state status.volume == 35.0", true},
        {"state status.volume > 30", true},
        {"state status.volume <= 30", false},
        {"state status.text == 0000", true},  // a text compares as written, not as the number 0
        {"state status.text == 0", false},
        {"state devices.tuners.1.locked == true", true},
        {"state devices.tuners.0.locked == \"false\"", true},  // true/false as written in JSON
        {"state devices.tuners.0.locked == 0", false},
        {"state status.ip contains 168.1", true},
        {"state devices.leds contains 1", true},
        {"state devices.leds contains 7", false},
        {"state devices.tuners.1 contains snr", true},
        {"state devices.panel.text_display matches ^8+$", true},
        {"state status.ip matches ^10\\.", false},
        // Nested repetitions that a backtracking matcher takes minutes over
        // on this short text: decided at once.
        {"state status.ip matches \"((x*)*)*y|(.*.*.*.*.*.*.*.*)*z\"", false},
        {"state status.ip > 5", false},  // not a number: never ordered
    };
    for (const auto &c : cases) {
        std::vector<boxsim::Word> words;
        std::string err;
        ASSERT_TRUE(boxsim::split_quoted(c.line, words, err)) << err;
        auto e = boxsim::parse_expect(words, "", err);
        ASSERT_TRUE(e) << c.line << ": " << err;
        auto v = boxsim::state_value(st, e->path);
        ASSERT_TRUE(v) << c.line;
        EXPECT_EQ(boxsim::state_holds(*e, *v), c.holds) << c.line;
    }
}

TEST(ExpectPicture, CountsPixelsBeyondTheThresholdAndReadsBackWhatWasWritten)
{
    NEEDS_PNG();
    Image golden = plain(40, 10, 0xFF102030);
    Image actual = golden;
    // Below the threshold in every channel: the same picture.
    for (int i = 0; i < 40; ++i)
        actual.argb[i] = 0xFF102030 + 0x00101010;
    // Alpha does not show.
    actual.argb[50] = 0x00102030;
    // Ten pixels beyond it, in one channel each.
    for (int i = 100; i < 110; ++i)
        actual.argb[i] = i % 2 ? 0xFF102030 + 0x00110000 : 0xFF102030 - 0x00000011;
    auto d = boxsim::compare_pictures(actual, golden);
    EXPECT_TRUE(d.same_size);
    EXPECT_EQ(d.differing, 10u);
    EXPECT_DOUBLE_EQ(d.percent(), 2.5);
    EXPECT_FALSE(boxsim::compare_pictures(plain(10, 40, 0xFF102030), golden).same_size);

    Image diff = boxsim::diff_picture(actual, golden);
    EXPECT_EQ(diff.at(100 % 40, 100 / 40), 0xFFFF0000u);
    EXPECT_NE(diff.at(0, 0), 0xFFFF0000u);

    // A PNG written and read back is the same picture (opaque).
    boxtest::TempDir dir;
    Image pic = plain(3, 2, 0xFF000000);
    pic.argb = {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFFFFFFFF, 0xFF123456, 0xFF000000};
    ASSERT_TRUE(boxsim::write_png(pic, dir.file("p.png")));
    std::string err;
    auto back = boxsim::read_png(dir.file("p.png"), err);
    ASSERT_TRUE(back) << err;
    EXPECT_EQ(back->width, 3);
    EXPECT_EQ(back->argb, pic.argb);
    // A file cut short, or no PNG at all, is refused with a reason.
    std::string bytes = slurp(dir.file("p.png"));
    std::ofstream(dir.file("cut.png"), std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    std::ofstream(dir.file("text.png")) << "not a picture";
    EXPECT_FALSE(boxsim::read_png(dir.file("cut.png"), err));
    EXPECT_NE(err.find("damaged"), std::string::npos) << err;
    EXPECT_FALSE(boxsim::read_png(dir.file("text.png"), err));
    EXPECT_NE(err.find("not a PNG"), std::string::npos) << err;

    // Golden files are read before a run; a missing one is an error unless
    // the run is to write it.
    std::string script = "1s expect picture lcd lcd.png\n";
    auto s = parse_script(script, dir.file("t.box"), err);
    ASSERT_TRUE(s) << err;
    EXPECT_FALSE(boxsim::load_goldens(*s, false, err));
    EXPECT_NE(err.find(":1: the golden file"), std::string::npos) << err;
    EXPECT_TRUE(boxsim::load_goldens(*s, true, err));
    std::ofstream(dir.file("lcd.png")) << "not a picture";
    EXPECT_FALSE(boxsim::load_goldens(*s, true, err));
}

// A run over a box without a system: the test prints, records trace lines,
// moves the state and changes the picture, as the box would.
TEST(ExpectRun, GivesEachExpectationItsVerdictByItsWindow)
{
    NEEDS_PNG();
    boxtest::TempDir dir;
    auto box = boxtest::make_box();
    Image shown = plain(8, 8, 0xFF000000);
    ASSERT_TRUE(boxsim::write_png(plain(8, 8, 0xFFFFFFFF), dir.file("white.png")));
    std::string err;
    auto s = parse_script("30ms expect early: stdout ready\n"            // printed before its line: holds
                          "30ms expect late: stdout \"never printed\" within 50ms\n"
                          "30ms expect window: stdout ready within 5s\n"  // before the window: does not count
                          "30ms expect lease: stdout \"Lease of\" within 5s\n"
                          "30ms expect req: trace op=ioctl name=FE_SET_PROPERTY within 5s\n"
                          "30ms expect vol: state status.volume >= 50 within 5s\n"
                          "30ms expect gone: state status.nothing == 1 within 5s\n"
                          "30ms expect now: state status.volume == 0\n"
                          "30ms expect white: picture tv white.png within 5s\n",
                          dir.file("t.box"), err);
    ASSERT_TRUE(s) << err;
    ASSERT_TRUE(boxsim::load_goldens(*s, false, err)) << err;
    std::mutex m;
    int volume = 0;
    // The picture's stamp moves with it; the run counts as a look each time
    // it reads the state, and makes the picture only for a new stamp.
    uint64_t stamp = 1;
    int looks = 0, made = 0;
    auto counts = [&] {
        std::lock_guard<std::mutex> g(m);
        return std::pair(looks, made);
    };
    ExpectRun::Sources src{[&] {
                               std::lock_guard<std::mutex> g(m);
                               ++looks;
                               return json{{"status", {{"volume", volume}}}};
                           },
                           [&](const std::string &) -> std::optional<Image> {
                               std::lock_guard<std::mutex> g(m);
                               ++made;
                               return shown;
                           },
                           [&](const std::string &) -> std::optional<uint64_t> {
                               std::lock_guard<std::mutex> g(m);
                               return stamp;
                           }};
    box->trace().record({{"op", "stdout"}, {"text", "box ready"}});
    // Its lines are reached when the box has run a little.
    ASSERT_TRUE(boxtest::eventually([&] { return box->now_ms() > 30; }, std::chrono::seconds(5)));
    ExpectRun run(*box, *s, src, false);
    run.start();
    for (size_t i = 0; i < s->expectations.size(); ++i)
        run.open(i);
    bool all_held = false;
    run.script_done([&] { all_held = true; });

    const auto opened = counts();
    box->trace().record({{"op", "ioctl"}, {"name", "FE_READ_STATUS"}});
    ASSERT_TRUE(boxtest::eventually([&] { return counts().first > opened.first; }, std::chrono::seconds(5)));
    EXPECT_EQ(counts().second, opened.second) << "the same stamp: the picture is not made again";
    box->trace().record({{"op", "stdout"}, {"text", "Lease of 10.0.0.2 obtained"}});
    box->trace().record({{"op", "ioctl"}, {"name", "FE_SET_PROPERTY"}, {"fd", 4001}});
    {
        std::lock_guard<std::mutex> g(m);
        volume = 55;
        shown = plain(8, 8, 0xFFFFFFFF);
        stamp = 2;
    }
    box->changed();  // a device model's state moved; no trace line
    EXPECT_TRUE(boxtest::eventually([&] { return run.held() == 6; }, std::chrono::seconds(5)));
    run.finish(box->now_ms());

    auto res = run.results();
    auto outcome = [&](const std::string &name) {
        for (size_t i = 0; i < s->expectations.size(); ++i)
            if (s->expectations[i].name == name)
                return res[i].outcome;
        ADD_FAILURE() << name;
        return ExpectRun::Result::Outcome::Pending;
    };
    using O = ExpectRun::Result::Outcome;
    EXPECT_EQ(outcome("early"), O::Held);
    EXPECT_EQ(outcome("late"), O::Failed);
    EXPECT_EQ(outcome("window"), O::Failed);
    EXPECT_EQ(outcome("lease"), O::Held);
    EXPECT_EQ(outcome("req"), O::Held);
    EXPECT_EQ(outcome("vol"), O::Held);
    EXPECT_EQ(outcome("gone"), O::Failed);
    EXPECT_EQ(outcome("now"), O::Held);
    EXPECT_EQ(outcome("white"), O::Held);
    EXPECT_FALSE(all_held);
    EXPECT_EQ(run.failed(), 3u);

    // The verdict says what was seen instead.
    auto lines = run.failure_lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("t.box:2: late: "), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("window: the run ended at "), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("before its time-out at 5.03s; last line \"Lease of 10.0.0.2 obtained\""),
              std::string::npos)
        << lines[1];
    EXPECT_NE(lines[2].find("gone: "), std::string::npos);
    EXPECT_NE(lines[2].find("no such value"), std::string::npos) << lines[2];

    ASSERT_TRUE(run.write_reports(dir.path(), "t", box->now_ms(), 0.5, err)) << err;
    json report = json::parse(slurp(dir.file("expectations.json")));
    EXPECT_EQ(report["held"], 6);
    EXPECT_EQ(report["failed"], 3);
    EXPECT_LT(report["expectations"][0]["held_t"].get<int>(), 30);
    EXPECT_EQ(report["expectations"][6]["value"], nullptr);
    std::string xml = slurp(dir.file("report.xml"));
    EXPECT_NE(xml.find("<testsuite name=\"t\" tests=\"9\" failures=\"3\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("last line &quot;Lease of 10.0.0.2 obtained&quot;</failure>"), std::string::npos) << xml;
}

TEST(ExpectRun, AFailedPictureLeavesTheGoldenTheActualAndTheDiff)
{
    NEEDS_PNG();
    boxtest::TempDir dir;
    auto box = boxtest::make_box();
    ASSERT_TRUE(boxsim::write_png(plain(16, 4, 0xFF00FF00), dir.file("green.png")));
    std::string err;
    auto s = parse_script("0 expect green: picture lcd green.png tolerance 10\n"
                          "0 expect picture lcd new.png\n",
                          dir.file("t.box"), err);
    ASSERT_TRUE(s) << err;
    ASSERT_TRUE(boxsim::load_goldens(*s, true, err)) << err;
    Image half = plain(16, 4, 0xFF00FF00);
    std::fill(half.argb.begin(), half.argb.begin() + 16, 0xFFFF00FF);  // a quarter differs
    ExpectRun::Sources src{[] { return json::object(); }, [&](const std::string &) { return std::optional(half); }};
    // The first compares; the second, whose golden file is missing, is written.
    {
        ExpectRun run(*box, *s, src, false);
        run.start();
        run.open(0);
        run.script_done(nullptr);
        run.finish(box->now_ms());
        ASSERT_TRUE(run.write_reports(dir.path(), "t", 0, 0, err)) << err;
        // The second line was never reached.
        ASSERT_EQ(run.failure_lines().size(), 2u);
        EXPECT_NE(run.failure_lines()[1].find("not reached"), std::string::npos);
        EXPECT_NE(run.failure_lines()[0].find("16 pixels (25.00 %) differ (tolerance 10 %); diff " +
                                             dir.file("green-diff.png")),
                  std::string::npos)
            << run.failure_lines()[0];
        auto diff = boxsim::read_png(dir.file("green-diff.png"), err);
        ASSERT_TRUE(diff) << err;
        EXPECT_EQ(diff->at(3, 0), 0xFFFF0000u);
        EXPECT_EQ(boxsim::read_png(dir.file("green-expected.png"), err)->at(3, 0), 0xFF00FF00u);
        EXPECT_EQ(boxsim::read_png(dir.file("green-actual.png"), err)->at(3, 0), 0xFFFF00FFu);
    }
    ExpectRun update(*box, *s, src, true);
    update.start();
    update.open(1);
    ASSERT_EQ(update.written().size(), 1u);
    EXPECT_NE(update.written()[0].find("wrote " + dir.file("new.png")), std::string::npos);
    auto written = boxsim::read_png(dir.file("new.png"), err);
    ASSERT_TRUE(written) << err;
    EXPECT_EQ(written->argb, half.argb);
}
