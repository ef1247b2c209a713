#include "boxsim/script.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace boxsim {

namespace {

constexpr int64_t kMaxTimeMs = 24LL * 3600 * 1000;

bool all_digits(std::string_view s)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

std::string join(const std::vector<std::string> &words, size_t from = 0)
{
    std::string out;
    for (size_t i = from; i < words.size(); ++i) {
        if (i > from)
            out += ' ';
        out += words[i];
    }
    return out;
}

std::string known_actions()
{
    std::string out;
    for (const auto &kv : actions()) {
        if (!out.empty())
            out += ", ";
        out += kv.first;
    }
    return out;
}

std::string format_time(int64_t ms)
{
    if (ms % 1000 == 0)
        return std::to_string(ms / 1000) + "s";
    return std::to_string(ms) + "ms";
}

struct HookSlot {
    std::mutex m;
    RunHooks hooks;
};

RunHooks hooks_of(Box &box)
{
    auto &slot = box.part<HookSlot>();
    std::lock_guard<std::mutex> g(slot.m);
    return slot.hooks;
}

} // namespace

std::optional<int64_t> parse_time_ms(std::string_view text)
{
    if (text == "0")
        return 0;
    int64_t scale;
    std::string_view num;
    if (text.ends_with("ms")) {
        scale = 1;
        num = text.substr(0, text.size() - 2);
    } else if (text.ends_with("s")) {
        scale = 1000;
        num = text.substr(0, text.size() - 1);
    } else {
        return std::nullopt;
    }
    std::string_view whole = num, frac;
    if (size_t dot = num.find('.'); dot != std::string_view::npos) {
        whole = num.substr(0, dot);
        frac = num.substr(dot + 1);
        // Seconds take up to three decimals; milliseconds are whole.
        if (scale == 1 || !all_digits(frac) || frac.size() > 3)
            return std::nullopt;
    }
    if (!all_digits(whole) || whole.size() > 9)
        return std::nullopt;
    int64_t ms = std::stoll(std::string(whole)) * scale;
    for (size_t i = 0, unit = 100; i < frac.size(); ++i, unit /= 10)
        ms += (frac[i] - '0') * static_cast<int64_t>(unit);
    if (ms > kMaxTimeMs)
        return std::nullopt;
    return ms;
}

std::vector<std::string> split_action_words(std::string_view line)
{
    if (size_t hash = line.find('#'); hash != std::string_view::npos)
        line = line.substr(0, hash);
    std::vector<std::string> words;
    std::string cur;
    for (char c : line) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (!cur.empty())
                words.push_back(std::move(cur));
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty())
        words.push_back(std::move(cur));
    return words;
}

std::optional<ParsedAction> parse_action(std::string_view line, std::string &err)
{
    auto words = split_action_words(line);
    if (words.empty()) {
        err = "no action given";
        return std::nullopt;
    }
    for (const auto &w : words)
        for (unsigned char c : w)
            if (c < 0x20 || c == 0x7f) {
                err = "control character in the action line";
                return std::nullopt;
            }
    const auto &table = actions();
    auto it = table.find(words[0]);
    if (it == table.end()) {
        err = "unknown action '" + words[0] + "' (known: " + known_actions() + ")";
        return std::nullopt;
    }
    std::vector<std::string> args(words.begin() + 1, words.end());
    std::string why;
    std::optional<ActionRun> run = it->second.parse ? it->second.parse(args, why) : std::nullopt;
    if (!run || !*run) {
        err = words[0] + ": " + (why.empty() ? "bad arguments" : why);
        if (!it->second.usage.empty())
            err += " (usage: " + it->second.usage + ")";
        return std::nullopt;
    }
    ParsedAction a;
    a.name = words[0];
    a.args = std::move(args);
    a.text = join(words);
    a.run = std::move(*run);
    return a;
}

std::vector<std::string> Script::snapshots() const
{
    std::vector<std::string> names;
    for (const auto &s : steps)
        if (s.expect < 0 && s.action.name == "snapshot" && !s.action.args.empty())
            names.push_back(s.action.args[0]);
    return names;
}

bool Script::has_quit() const
{
    for (const auto &s : steps)
        if (s.expect < 0 && s.action.name == "quit")
            return true;
    return false;
}

std::optional<Script> parse_script(std::string_view text, const std::string &file, std::string &err)
{
    Script script;
    script.file = file;
    std::map<std::string, int> snapshot_lines, expect_names;
    int quit_line = 0;
    std::string dir = std::filesystem::path(file).parent_path().string();
    int64_t last_ms = 0;
    int lineno = 0;
    auto fail = [&](const std::string &msg) {
        err = file + ":" + std::to_string(lineno) + ": " + msg;
        return std::nullopt;
    };
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        ++lineno;
        auto words = split_action_words(line);
        if (words.empty())
            continue;
        auto at = parse_time_ms(words[0]);
        if (!at && (words[0] == "box" || words[0] == "front-end")) {
            if (!script.steps.empty())
                return fail(words[0] + " is said before the first timed line");
            if (words.size() != 2)
                return fail(words[0] == "box" ? "box takes one profile name or file" : "front-end takes one name");
            bool is_box = words[0] == "box";
            if ((is_box ? script.box_line : script.front_end_line) != 0)
                return fail(words[0] + " is already said on line " +
                            std::to_string(is_box ? script.box_line : script.front_end_line));
            std::string value = words[1];
            // A profile file is found beside the script.
            if (is_box && (value.find('/') != std::string::npos || value.ends_with(".json")) && value[0] != '/' &&
                !dir.empty())
                value = dir + "/" + value;
            (is_box ? script.box : script.front_end) = value;
            (is_box ? script.box_line : script.front_end_line) = lineno;
            continue;
        }
        if (!at) {
            if (actions().count(words[0]))
                return fail("line starts with the action '" + words[0] + "': put the time first (e.g. 0 " +
                            words[0] + ")");
            return fail("bad time '" + words[0] + "' (use 0, 1.5s or 250ms, at most 24 hours)");
        }
        if (words.size() < 2)
            return fail("no action after the time " + words[0]);
        if (*at < last_ms)
            return fail("time " + words[0] + " is earlier than the line before (" + format_time(last_ms) + ")");
        if (quit_line)
            return fail("nothing can follow quit (line " + std::to_string(quit_line) + ")");
        if (words[1] == "expect") {
            std::vector<Word> quoted;
            std::string why;
            if (!split_quoted(line, quoted, why))
                return fail(why);
            if (quoted.size() < 2)
                return fail("expect needs a condition");
            quoted.erase(quoted.begin(), quoted.begin() + 2);
            auto e = parse_expect(quoted, dir, why);
            if (!e)
                return fail(why);
            if (e->named) {
                auto [it, fresh] = expect_names.emplace(e->name, lineno);
                if (!fresh)
                    return fail("the name '" + e->name + "' is already taken on line " + std::to_string(it->second));
            }
            e->line = lineno;
            e->at_ms = *at;
            last_ms = *at;
            ScriptStep step;
            step.at_ms = *at;
            step.line = lineno;
            step.expect = static_cast<int>(script.expectations.size());
            step.action.name = "expect";
            step.action.text = e->condition;
            script.expectations.push_back(std::move(*e));
            script.steps.push_back(std::move(step));
            continue;
        }
        std::string why;
        auto action = parse_action(join(words, 1), why);
        if (!action)
            return fail(why);
        if (action->name == "quit")
            quit_line = lineno;
        if (action->name == "snapshot") {
            auto [it, fresh] = snapshot_lines.emplace(action->args.at(0), lineno);
            if (!fresh)
                return fail("snapshot '" + action->args[0] + "' is already taken on line " +
                            std::to_string(it->second));
        }
        last_ms = *at;
        script.steps.push_back({*at, lineno, std::move(*action)});
    }
    return script;
}

std::optional<Script> load_script(const std::string &path, std::string &err)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        err = "cannot read script " + path + ": " + strerror(errno);
        return std::nullopt;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    if (in.bad()) {
        err = "cannot read script " + path;
        return std::nullopt;
    }
    return parse_script(ss.str(), path, err);
}

bool valid_snapshot_name(std::string_view name, std::string &err)
{
    if (name.empty() || name.size() > 64) {
        err = "a snapshot name has 1 to 64 characters";
        return false;
    }
    if (name[0] == '.') {
        err = "a snapshot name does not start with '.'";
        return false;
    }
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                  c == '_' || c == '.';
        if (!ok) {
            err = "a snapshot name has only letters, digits, '-', '_' and '.'";
            return false;
        }
    }
    if (name == "final") {
        err = "'final' is the snapshot taken at the end of the run";
        return false;
    }
    return true;
}

void set_run_hooks(Box &box, RunHooks hooks)
{
    auto &slot = box.part<HookSlot>();
    std::lock_guard<std::mutex> g(slot.m);
    slot.hooks = std::move(hooks);
}

void run_action(Box &box, const ParsedAction &action, const std::string &from)
{
    box.trace().record({{"op", "action"}, {"text", action.text}, {"from", from}});
    action.run(box);
}

// The run's own actions.
BOXSIM_REGISTER({
    register_action({"snapshot", "snapshot NAME",
                     [](const std::vector<std::string> &args, std::string &err) -> std::optional<ActionRun> {
                         if (args.size() != 1) {
                             err = "takes one name";
                             return std::nullopt;
                         }
                         if (!valid_snapshot_name(args[0], err))
                             return std::nullopt;
                         std::string name = args[0];
                         return [name](Box &box) {
                             if (auto h = hooks_of(box); h.snapshot)
                                 h.snapshot(box, name);
                         };
                     }});
    register_action({"restart", "restart rescue|console",
                     [](const std::vector<std::string> &args, std::string &err) -> std::optional<ActionRun> {
                         if (args.size() != 1 || args[0].empty() ||
                             args[0].find_first_not_of("abcdefghijklmnopqrstuvwxyz") != std::string::npos) {
                             err = "takes the name of a front end";
                             return std::nullopt;
                         }
                         std::string name = args[0];
                         return [name](Box &box) {
                             if (auto h = hooks_of(box); h.restart)
                                 h.restart(box, name);
                         };
                     }});
    register_action({"quit", "quit",
                     [](const std::vector<std::string> &args, std::string &err) -> std::optional<ActionRun> {
                         if (!args.empty()) {
                             err = "takes no arguments";
                             return std::nullopt;
                         }
                         return [](Box &box) {
                             if (auto h = hooks_of(box); h.quit)
                                 h.quit(box);
                         };
                     }});
});

} // namespace boxsim
