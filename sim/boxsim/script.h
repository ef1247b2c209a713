// Scenario scripts: what happens to the box from outside, and when.
//
// One action per line, `AT ACTION ARGS...`, where AT is the time since the
// box started ("0", "1.5s", "250ms") and ACTION is one of the registered
// actions (core/box.h: register_action). `#` starts a comment. The same action
// lines, without the time, are what the web front panel and its HTTP API
// send, so a session driven by hand can be written down and replayed.
//
// A line `AT expect ...` is an expectation instead (boxsim/expect.h). Lines
// `box NAME|FILE` and `front-end NAME` before the first timed line say which
// box profile and front end the script is written for.
//
// This file also registers the actions that belong to the run itself rather
// than to a device: `snapshot NAME`, `restart FRONT-END` and `quit`. What they do depends
// on who runs the box (the boxsim tool writes files and ends the system's
// front end), so they call the run's hooks (RunHooks below).
#pragma once

#include "boxsim/expect.h"
#include "core/box.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace boxsim {

// A time of a script line in milliseconds: "0", "1.5s", "250ms". Anything
// but zero needs its unit. nullopt for anything else, negative values and
// times beyond a day.
std::optional<int64_t> parse_time_ms(std::string_view text);

// The words of a line up to its comment; empty for a blank or comment line.
std::vector<std::string> split_action_words(std::string_view line);

// One action line without its time ("cable plug 1000"), checked against the
// registered actions. On failure returns nullopt and says why in `err`.
struct ParsedAction {
    std::string name;
    std::vector<std::string> args;
    std::string text;  // the words joined by single spaces
    ActionRun run;
};
std::optional<ParsedAction> parse_action(std::string_view line, std::string &err);

struct ScriptStep {
    int64_t at_ms = 0;
    int line = 0;  // 1-based line number in the file
    ParsedAction action;
    int expect = -1;  // an expectation (index into Script::expectations) instead of an action
};

struct Script {
    std::string file;
    std::vector<ScriptStep> steps;  // in file order, times never decreasing
    std::vector<Expectation> expectations;
    // What the script is written for (empty: not said), and their lines.
    std::string box, front_end;
    int box_line = 0, front_end_line = 0;
    // Names of the snapshots the script takes, in order.
    std::vector<std::string> snapshots() const;
    bool has_quit() const;
};

// Parses a whole script; every line is checked before anything runs. On
// failure returns nullopt with `err` as "FILE:LINE: message".
std::optional<Script> parse_script(std::string_view text, const std::string &file, std::string &err);
// Reads and parses a script file.
std::optional<Script> load_script(const std::string &path, std::string &err);

// A snapshot name becomes part of file names: letters, digits, '-', '_' and
// '.', not starting with '.', at most 64 characters, and not "final" (the
// snapshot taken when the run ends).
bool valid_snapshot_name(std::string_view name, std::string &err);

// What the run does for `snapshot` and `quit`. The boxsim tool sets them;
// where they are not set (a unit test's box) the actions only leave their
// trace.
struct RunHooks {
    std::function<void(Box &, const std::string &name)> snapshot;
    std::function<void(Box &)> quit;
    // Reboots the box into the named front end (the tool knows which exist).
    std::function<void(Box &, const std::string &front_end)> restart;
};
void set_run_hooks(Box &box, RunHooks hooks);

// Runs an action as the scenario or the web front panel does: records it in
// the trace ({"op":"action","text":...,"from":...}) and runs it.
void run_action(Box &box, const ParsedAction &action, const std::string &from);

} // namespace boxsim
