// Expectations of scenario scripts: lines that check what the box did
// instead of doing something to it.
//
//   AT expect [NAME:] CONDITION [within DURATION]
//
// CONDITION is one of
//   stdout TEXT, stderr TEXT     a line containing TEXT is printed
//   trace FIELD=VALUE...         a trace line with all these fields
//   state PATH OP VALUE          a value of the run's state by dotted path
//   picture tv|osd|lcd FILE.png [tolerance PCT]
//                                the picture shown equals a golden file
//
// Without `within` the condition must hold at AT (a line or trace line
// counts when it came at any time up to AT); with it, at some moment from AT
// to AT + DURATION (a line counts when it came in that window). Words with
// spaces are written in double quotes, `\"` for a quote inside.
//
// A run looks at its expectations when the box's state changes (a trace line
// is recorded, a device model calls Box::changed()), never on a timer of its
// own, so it works the same on any clock the box runs on. The state and the
// pictures are looked at by a checker thread of the box's own: on the virtual
// clock it takes its turn before the clock moves on.
#pragma once

#include "core/box.h"
#include "core/clock.h"
#include "core/image.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace boxsim {

struct Script;
// A compiled `matches` pattern; only expect.cpp sees the regular expression
// library, which is heavy to read and instantiate.
struct Regex;

// A word of an expectation line: quotes removed, and whether any of it was
// quoted (a quoted value is always a text).
struct Word {
    std::string text;
    bool quoted = false;
};
// Splits a line into words as the shell would for double quotes: `"a b"` is
// one word, `\"` and `\\` inside quotes are a quote and a backslash, `#`
// outside quotes starts a comment. False with `err` set for a quote left open
// or a control character.
bool split_quoted(std::string_view line, std::vector<Word> &words, std::string &err);

struct Expectation {
    enum class Kind { Stdout, Stderr, Trace, State, Picture };
    enum class Op { Eq, Ne, Lt, Le, Gt, Ge, Contains, Matches };

    std::string name;       // as given, or the condition as written
    bool named = false;
    std::string condition;  // the condition and its window, as written
    int line = 0;
    int64_t at_ms = 0;
    std::optional<int64_t> within_ms;
    Kind kind = Kind::Stdout;

    std::string text;                                         // stdout, stderr
    std::vector<std::pair<std::string, std::string>> fields;  // trace
    std::string path;                                         // state, dotted
    Op op = Op::Eq;
    std::string value;  // state: the value as written
    bool value_quoted = false;
    std::optional<double> number;  // the value as a number, when it is one
    std::shared_ptr<const Regex> regex;
    std::string picture;  // tv, osd, lcd
    std::string golden;   // the golden file's path
    double tolerance_pct = 0;
    std::shared_ptr<const Image> golden_image;  // set by load_goldens

    // The window in box time: lines and trace lines from window_start()
    // count, up to deadline().
    int64_t window_start() const { return within_ms ? at_ms : 0; }
    int64_t deadline() const { return at_ms + within_ms.value_or(0); }
    // The start of the names of the files a failure writes: the name when one
    // was given, else "lineN".
    std::string file_stem() const;
};

// Parses the words after `expect`. `script_dir` is the folder golden files
// are found relative to. On failure returns nullopt with `err` set.
std::optional<Expectation> parse_expect(const std::vector<Word> &words, const std::string &script_dir,
                                        std::string &err);

// Reads the golden file of every picture expectation of the script. A golden
// file that is missing or not a PNG is an error naming the line; with
// `update` a missing one is not (the run writes it). On failure returns false
// with `err` as "FILE:LINE: message".
bool load_goldens(Script &script, bool update, std::string &err);

// A value of a state by dotted path ("devices.tuners.0.locked"; array
// elements by index); nullopt where there is no such value.
std::optional<json> state_value(const json &state, const std::string &path);
// Whether `actual` compares to the expectation's value by its operator:
// numbers as numbers, anything else by its text (a string as it is,
// true/false/null as written in JSON).
bool state_holds(const Expectation &e, const json &actual);

// How far two pictures of the same size are apart: the pixels where a colour
// channel differs by more than kPixelThreshold (alpha is not shown on a TV and
// does not count).
constexpr int kPixelThreshold = 16;
struct PictureDiff {
    bool same_size = false;
    size_t differing = 0;
    size_t pixels = 0;
    double percent() const { return pixels ? 100.0 * static_cast<double>(differing) / static_cast<double>(pixels) : 0; }
};
PictureDiff compare_pictures(const Image &actual, const Image &golden);
// The actual picture dimmed to grey, with the differing pixels in red.
Image diff_picture(const Image &actual, const Image &golden);

// JUnit XML, the form CI systems read test reports in.
struct JunitCase {
    std::string name, classname;
    double seconds = 0;
    bool failed = false, error = false;
    std::string message, detail;
};
struct JunitSuite {
    std::string name;
    double seconds = 0;
    std::vector<JunitCase> cases;
};
std::string junit_xml(const std::vector<JunitSuite> &suites);
std::string xml_escape(std::string_view text);

// One run's expectations as the box runs: what held, when, and what was seen
// instead.
class ExpectRun {
public:
    struct Sources {
        std::function<json()> state;                                      // the run's state
        std::function<std::optional<Image>(const std::string &)> picture;  // a picture as shown
        // A stamp that stays the same while the picture shown does; nullopt
        // (or no function): it cannot tell, and the picture is made.
        std::function<std::optional<uint64_t>(const std::string &)> stamp = {};
    };
    struct Result {
        enum class Outcome { Pending, Held, Failed, Written } outcome = Outcome::Pending;
        bool opened = false;
        int64_t held_t = -1;  // box time it held
        std::string seen;     // what was seen instead (the last value, the nearest line)
        int seen_score = -1;  // trace: fields of the nearest line that matched
        json seen_value;      // state: the last value (null: no such value)
        bool seen_missing = false;
        PictureDiff diff;
        std::shared_ptr<const Image> actual;  // picture: the last one looked at
        std::string why;                      // a failure, as the verdict line says it
        std::string diff_file;                // written diff picture
    };

    // `update_golden`: picture expectations write the picture shown into
    // their golden file instead of comparing.
    ExpectRun(Box &box, const Script &script, Sources sources, bool update_golden);
    ~ExpectRun();
    ExpectRun(const ExpectRun &) = delete;
    ExpectRun &operator=(const ExpectRun &) = delete;

    // Starts listening to the box.
    void start();
    // The script has reached expectation `index` (its line's time).
    void open(size_t index);
    // Every line of the script has run; `all_held` is called once when every
    // expectation has held (the run may then end early).
    void script_done(std::function<void()> all_held);
    // The latest deadline of any expectation (0 without any).
    int64_t last_deadline() const;
    // Under update_golden, a picture with a window is written at its end,
    // when what it shows has settled: the earliest such time before
    // `before` (or `before` when there is none), and the writing of what is
    // due by `now`.
    int64_t next_golden_due(int64_t before) const;
    void write_due_goldens(int64_t now);
    bool empty() const { return exp_.empty(); }

    // The run is ending at box time `end_ms`: a last look, and what has not
    // held fails.
    void finish(int64_t end_ms);

    size_t held() const;
    size_t failed() const;
    std::vector<Result> results() const;
    const std::vector<Expectation> &expectations() const { return exp_; }
    // Messages of the golden files written under --update-golden.
    std::vector<std::string> written() const;

    // Writes expectations.json, report.xml and, for each failed picture,
    // NAME-expected.png, NAME-actual.png and NAME-diff.png into `dir`.
    bool write_reports(const std::string &dir, const std::string &suite, int64_t end_ms, double wall_s,
                       std::string &err);
    // One line per failed expectation: "FILE:LINE: NAME: why".
    std::vector<std::string> failure_lines() const;

private:
    void on_event(const json &ev);
    void mark(int64_t t);
    void checker();
    void look(bool final_look, int64_t end_ms);
    void evaluate(size_t i, const json *state, const std::shared_ptr<const Image> *pic, int64_t held_t,
                  bool instant);
    void maybe_all_held();
    void write_golden(size_t i);

    Box &box_;
    std::string file_;
    std::vector<Expectation> exp_;
    Sources src_;
    bool update_;

    mutable std::mutex m_;  // guards what follows; never held while calling out
    CondVar cv_;            // on the box's clock: the checker is one of the box's threads
    std::vector<Result> res_;
    // Per picture expectation, the stamp of the picture it was last judged
    // on: the same stamp, the same picture, the same verdict.
    std::vector<std::optional<uint64_t>> judged_;
    std::vector<std::string> written_;
    bool dirty_ = false;
    bool stopping_ = false;
    bool done_ = false;
    bool all_held_called_ = false;
    std::function<void()> all_held_;
    int64_t last_mark_ = 0;  // box time of the latest change
    int listener_ = 0;
    std::thread thread_;
};

} // namespace boxsim
