#include "boxsim/expect.h"

#include "boxsim/script.h"
#include "core/sanitizer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>

namespace boxsim {

struct Regex {
    std::regex re;
};

namespace {

// Trace lines of these operations change nothing a person sees: the state
// and the pictures are not looked at again for them.
bool passive_op(const std::string &op)
{
    static const std::set<std::string> passive = {"stdout", "stderr", "stat", "access", "open", "close", "read"};
    return passive.count(op) != 0;
}

std::string seconds_text(int64_t ms)
{
    char buf[32];
    if (ms % 1000 == 0)
        snprintf(buf, sizeof buf, "%llds", static_cast<long long>(ms / 1000));
    else
        snprintf(buf, sizeof buf, "%.3gs", static_cast<double>(ms) / 1000.0);
    return buf;
}

// A word as it would be written again: quoted when it must be.
std::string requote(const Word &w)
{
    bool plain = !w.quoted && !w.text.empty();
    for (char c : w.text)
        if (c == ' ' || c == '\t' || c == '"' || c == '#' || c == '\\')
            plain = false;
    if (plain)
        return w.text;
    // A trace field keeps its name outside the quotes.
    std::string out;
    std::string_view body = w.text;
    if (size_t eq = body.find('='); eq != std::string_view::npos && eq > 0 &&
                                    body.substr(0, eq).find_first_of(" \t\"") == std::string_view::npos) {
        out.append(body.substr(0, eq + 1));
        body = body.substr(eq + 1);
    }
    out += '"';
    for (char c : body) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

std::optional<double> as_number(const std::string &text)
{
    if (text.empty())
        return std::nullopt;
    char *end = nullptr;
    double v = strtod(text.c_str(), &end);
    if (*end || !std::isfinite(v) || text.find_first_of("xXnN") != std::string::npos)
        return std::nullopt;
    return v;
}

bool name_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.';
}

bool field_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// A value's text for comparing: a string as it is, anything else as JSON.
std::string value_text(const json &v)
{
    if (v.is_string())
        return v.get<std::string>();
    return v.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string shorten(std::string text, size_t max = 160)
{
    if (text.size() > max) {
        text.resize(max);
        text += "...";
    }
    return text;
}

std::string in_quotes(const std::string &text) { return "\"" + shorten(text) + "\""; }

const char *op_text(Expectation::Op op)
{
    switch (op) {
    case Expectation::Op::Eq: return "==";
    case Expectation::Op::Ne: return "!=";
    case Expectation::Op::Lt: return "<";
    case Expectation::Op::Le: return "<=";
    case Expectation::Op::Gt: return ">";
    case Expectation::Op::Ge: return ">=";
    case Expectation::Op::Contains: return "contains";
    case Expectation::Op::Matches: return "matches";
    }
    return "?";
}

// The value of a trace line's field as a script writes it.
bool field_matches(const json &ev, const std::string &field, const std::string &want)
{
    auto it = ev.find(field);
    return it != ev.end() && value_text(*it) == want;
}

} // namespace

bool split_quoted(std::string_view line, std::vector<Word> &words, std::string &err)
{
    words.clear();
    Word cur;
    bool in_word = false, in_quote = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\r' && c != '\n') {
            err = "control character in the line";
            return false;
        }
        if (c == 0x7f) {
            err = "control character in the line";
            return false;
        }
        if (in_quote) {
            if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
                cur.text += line[++i];
            } else if (c == '"') {
                in_quote = false;
            } else {
                cur.text += c;
            }
            continue;
        }
        if (c == '#')
            break;
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (in_word)
                words.push_back(std::move(cur));
            cur = Word();
            in_word = false;
            continue;
        }
        in_word = true;
        if (c == '"') {
            in_quote = true;
            cur.quoted = true;
        } else {
            cur.text += c;
        }
    }
    if (in_quote) {
        err = "a quote is not closed";
        return false;
    }
    if (in_word)
        words.push_back(std::move(cur));
    return true;
}

std::string Expectation::file_stem() const { return named ? name : "line" + std::to_string(line); }

std::optional<Expectation> parse_expect(const std::vector<Word> &all, const std::string &script_dir,
                                        std::string &err)
{
    static const char kConditions[] = "stdout, stderr, trace, state, picture";
    Expectation e;
    std::vector<Word> w = all;
    if (!w.empty() && !w[0].quoted && w[0].text.size() > 1 && w[0].text.back() == ':') {
        e.name = w[0].text.substr(0, w[0].text.size() - 1);
        e.named = true;
        if (e.name.size() > 64 || e.name[0] == '.' || !std::all_of(e.name.begin(), e.name.end(), name_char)) {
            err = "an expectation's name has 1 to 64 letters, digits, '-', '_' and '.', not starting with '.'";
            return std::nullopt;
        }
        w.erase(w.begin());
    }
    if (w.empty()) {
        err = "expect needs a condition (" + std::string(kConditions) + ")";
        return std::nullopt;
    }
    for (const auto &word : w)
        e.condition += (e.condition.empty() ? "" : " ") + requote(word);
    if (w.size() >= 2 && !w[w.size() - 2].quoted && w[w.size() - 2].text == "within") {
        auto ms = parse_time_ms(w.back().text);
        if (!ms || w.back().quoted) {
            err = "bad time '" + w.back().text + "' after within (use 500ms, 10s or 1.5s)";
            return std::nullopt;
        }
        e.within_ms = *ms;
        w.resize(w.size() - 2);
    }
    if (!e.named)
        e.name = e.condition;
    const std::string &what = w[0].text;
    auto usage = [&](const std::string &u) {
        err = "expect " + what + ": " + u;
        return std::nullopt;
    };
    if (w[0].quoted)
        return usage("unknown condition (known: " + std::string(kConditions) + ")");
    if (what == "stdout" || what == "stderr") {
        e.kind = what == "stdout" ? Expectation::Kind::Stdout : Expectation::Kind::Stderr;
        if (w.size() != 2 || w[1].text.empty())
            return usage("takes one text (in double quotes when it has spaces), e.g. expect " + what +
                         " \"RESCUE MODE\" within 5s");
        e.text = w[1].text;
    } else if (what == "trace") {
        e.kind = Expectation::Kind::Trace;
        if (w.size() < 2)
            return usage("takes FIELD=VALUE words, e.g. expect trace op=ioctl name=FE_SET_PROPERTY");
        for (size_t i = 1; i < w.size(); ++i) {
            size_t eq = w[i].text.find('=');
            std::string field = eq == std::string::npos ? "" : w[i].text.substr(0, eq);
            if (field.empty() || !std::all_of(field.begin(), field.end(), field_char))
                return usage("'" + w[i].text + "' is not FIELD=VALUE (a field name of letters, digits and '_')");
            e.fields.emplace_back(field, w[i].text.substr(eq + 1));
        }
    } else if (what == "state") {
        e.kind = Expectation::Kind::State;
        if (w.size() != 4)
            return usage("takes PATH OP VALUE, e.g. expect state status.ip == 192.168.1.20");
        e.path = w[1].text;
        bool ok = !e.path.empty() && e.path.front() != '.' && e.path.back() != '.' &&
                  e.path.find("..") == std::string::npos;
        for (char c : e.path)
            ok = ok && (field_char(c) || c == '-' || c == '.');
        if (!ok || w[1].quoted)
            return usage("bad path '" + e.path + "' (names and indexes joined by dots, e.g. devices.tuners.0.locked)");
        static const std::pair<const char *, Expectation::Op> ops[] = {
            {"==", Expectation::Op::Eq}, {"!=", Expectation::Op::Ne},        {"<", Expectation::Op::Lt},
            {"<=", Expectation::Op::Le}, {">", Expectation::Op::Gt},         {">=", Expectation::Op::Ge},
            {"contains", Expectation::Op::Contains}, {"matches", Expectation::Op::Matches}};
        bool found = false;
        for (const auto &[text, op] : ops)
            if (!w[2].quoted && w[2].text == text) {
                e.op = op;
                found = true;
            }
        if (!found)
            return usage("unknown operator '" + w[2].text + "' (==, !=, <, <=, >, >=, contains, matches)");
        e.value = w[3].text;
        e.value_quoted = w[3].quoted;
        if (!e.value_quoted)
            e.number = as_number(e.value);
        bool ordered = e.op == Expectation::Op::Lt || e.op == Expectation::Op::Le || e.op == Expectation::Op::Gt ||
                       e.op == Expectation::Op::Ge;
        if (ordered && !e.number)
            return usage(std::string("the operator ") + op_text(e.op) + " compares numbers; '" + e.value +
                         "' is not one");
        if (e.op == Expectation::Op::Matches) {
            // In the C++ library's polynomial mode: a pattern that would
            // backtrack for ever (nested repetitions, as "((x*)*)*y") is
            // decided in time that grows with the text, not exponentially;
            // the price is no back-references, refused here as a bad pattern.
            try {
                e.regex = std::make_shared<const Regex>(
                    Regex{std::regex(e.value, std::regex::ECMAScript | std::regex_constants::__polynomial)});
            } catch (const std::regex_error &x) {
                return usage("bad regular expression '" + e.value + "': " + x.what());
            }
        }
    } else if (what == "picture") {
        e.kind = Expectation::Kind::Picture;
        if (w.size() != 3 && !(w.size() == 5 && !w[3].quoted && w[3].text == "tolerance"))
            return usage("takes tv|osd|lcd FILE.png [tolerance PCT]");
        e.picture = w[1].text;
        if (e.picture != "tv" && e.picture != "osd" && e.picture != "lcd")
            return usage("unknown picture '" + e.picture + "' (tv, osd, lcd)");
        std::string file = w[2].text;
        if (file.size() < 5 || file.compare(file.size() - 4, 4, ".png") != 0)
            return usage("the golden file '" + file + "' is no .png file");
        e.golden = file[0] == '/' || script_dir.empty() ? file : script_dir + "/" + file;
        if (w.size() == 5) {
            auto pct = as_number(w[4].text);
            if (!pct || *pct < 0 || *pct > 100)
                return usage("tolerance takes a percentage from 0 to 100, not '" + w[4].text + "'");
            e.tolerance_pct = *pct;
        }
    } else {
        return usage("unknown condition (known: " + std::string(kConditions) + ")");
    }
    return e;
}

bool load_goldens(Script &script, bool update, std::string &err)
{
    for (auto &e : script.expectations) {
        if (e.kind != Expectation::Kind::Picture)
            continue;
        std::error_code ec;
        if (update && !std::filesystem::exists(e.golden, ec))
            continue;
        std::string why;
        if (!std::filesystem::exists(e.golden, ec)) {
            err = script.file + ":" + std::to_string(e.line) + ": the golden file " + e.golden +
                  " does not exist (--update-golden writes it)";
            return false;
        }
        auto img = read_png(e.golden, why);
        if (!img) {
            err = script.file + ":" + std::to_string(e.line) + ": golden file: " + why;
            return false;
        }
        e.golden_image = std::make_shared<const Image>(std::move(*img));
    }
    return true;
}

std::optional<json> state_value(const json &state, const std::string &path)
{
    const json *cur = &state;
    size_t from = 0;
    while (from <= path.size()) {
        size_t dot = path.find('.', from);
        std::string key = path.substr(from, dot == std::string::npos ? std::string::npos : dot - from);
        if (cur->is_object()) {
            auto it = cur->find(key);
            if (it == cur->end())
                return std::nullopt;
            cur = &*it;
        } else if (cur->is_array()) {
            if (key.empty() || key.size() > 9 ||
                !std::all_of(key.begin(), key.end(), [](char c) { return c >= '0' && c <= '9'; }))
                return std::nullopt;
            size_t index = std::stoul(key);
            if (index >= cur->size())
                return std::nullopt;
            cur = &(*cur)[index];
        } else {
            return std::nullopt;
        }
        if (dot == std::string::npos)
            break;
        from = dot + 1;
    }
    return *cur;
}

bool state_holds(const Expectation &e, const json &actual)
{
    using Op = Expectation::Op;
    bool numeric = e.number && actual.is_number();
    double a = numeric ? actual.get<double>() : 0, b = e.number.value_or(0);
    switch (e.op) {
    case Op::Eq: return numeric ? a == b : value_text(actual) == e.value;
    case Op::Ne: return numeric ? a != b : value_text(actual) != e.value;
    case Op::Lt: return numeric && a < b;
    case Op::Le: return numeric && a <= b;
    case Op::Gt: return numeric && a > b;
    case Op::Ge: return numeric && a >= b;
    case Op::Contains:
        if (actual.is_array())
            return std::any_of(actual.begin(), actual.end(), [&](const json &x) {
                return (e.number && x.is_number()) ? x.get<double>() == b : value_text(x) == e.value;
            });
        if (actual.is_object())
            return actual.contains(e.value);
        return value_text(actual).find(e.value) != std::string::npos;
    case Op::Matches: return e.regex && std::regex_search(value_text(actual), e.regex->re);
    }
    return false;
}

namespace {

inline bool pixel_differs(uint32_t p, uint32_t q)
{
    for (int sh = 0; sh <= 16; sh += 8) {
        int d = static_cast<int>((p >> sh) & 0xFF) - static_cast<int>((q >> sh) & 0xFF);
        if (d > kPixelThreshold || d < -kPixelThreshold)
            return true;
    }
    return false;
}

} // namespace

// Both pictures are read only: the one looked at is the caller's, the
// golden one is never written once loaded.
BOXSIM_PRIVATE_PIXELS PictureDiff compare_pictures(const Image &actual, const Image &golden)
{
    PictureDiff d;
    d.pixels = golden.argb.size();
    d.same_size = actual.width == golden.width && actual.height == golden.height &&
                  actual.argb.size() == golden.argb.size();
    if (!d.same_size)
        return d;
    const uint32_t *p = actual.argb.data(), *q = golden.argb.data();
    for (size_t i = 0, n = golden.argb.size(); i < n; ++i)
        // Equal colours (the most of any picture) are passed over at once.
        if (((p[i] ^ q[i]) & 0xFFFFFFu) != 0 && pixel_differs(p[i], q[i]))
            d.differing++;
    return d;
}

Image diff_picture(const Image &actual, const Image &golden)
{
    Image out = actual;
    for (auto &px : out.argb)
        px |= 0xFF000000u;
    bool same = actual.width == golden.width && actual.height == golden.height &&
                actual.argb.size() == golden.argb.size();
    for (size_t i = 0; i < out.argb.size(); ++i) {
        uint32_t p = actual.argb[i];
        if (same && pixel_differs(p, golden.argb[i])) {
            out.argb[i] = 0xFFFF0000u;
            continue;
        }
        // The rest grey and faint, so that the red stands out.
        uint32_t y = (((p >> 16) & 0xFF) * 3 + ((p >> 8) & 0xFF) * 6 + (p & 0xFF)) / 10;
        y = 160 + y * 95 / 255;
        out.argb[i] = 0xFF000000u | y << 16 | y << 8 | y;
    }
    return out;
}

std::string xml_escape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default:
            // XML 1.0 has no place for most control characters.
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
                out += '?';
            else
                out += static_cast<char>(c);
        }
    }
    return out;
}

std::string junit_xml(const std::vector<JunitSuite> &suites)
{
    size_t tests = 0, failures = 0, errors = 0;
    double total = 0;
    for (const auto &s : suites) {
        total += s.seconds;
        for (const auto &c : s.cases) {
            tests++;
            failures += c.failed;
            errors += c.error;
        }
    }
    char num[64];
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    snprintf(num, sizeof num, "%.3f", total);
    out += "<testsuites tests=\"" + std::to_string(tests) + "\" failures=\"" + std::to_string(failures) +
           "\" errors=\"" + std::to_string(errors) + "\" time=\"" + num + "\">\n";
    for (const auto &s : suites) {
        size_t f = 0, e = 0;
        for (const auto &c : s.cases) {
            f += c.failed;
            e += c.error;
        }
        snprintf(num, sizeof num, "%.3f", s.seconds);
        out += "  <testsuite name=\"" + xml_escape(s.name) + "\" tests=\"" + std::to_string(s.cases.size()) +
               "\" failures=\"" + std::to_string(f) + "\" errors=\"" + std::to_string(e) + "\" time=\"" + num +
               "\">\n";
        for (const auto &c : s.cases) {
            snprintf(num, sizeof num, "%.3f", c.seconds);
            out += "    <testcase name=\"" + xml_escape(c.name) + "\" classname=\"" + xml_escape(c.classname) +
                   "\" time=\"" + num + "\"";
            if (!c.failed && !c.error) {
                out += "/>\n";
                continue;
            }
            const char *tag = c.error ? "error" : "failure";
            out += ">\n      <" + std::string(tag) + " message=\"" + xml_escape(c.message) + "\">" +
                   xml_escape(c.detail) + "</" + tag + ">\n    </testcase>\n";
        }
        out += "  </testsuite>\n";
    }
    out += "</testsuites>\n";
    return out;
}

// ---------------------------------------------------------------------------

ExpectRun::ExpectRun(Box &box, const Script &script, Sources sources, bool update_golden)
    : box_(box), file_(script.file), exp_(script.expectations), src_(std::move(sources)), update_(update_golden),
      res_(exp_.size()), judged_(exp_.size())
{
}

ExpectRun::~ExpectRun()
{
    {
        std::lock_guard<std::mutex> g(m_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable())
        clock::join(thread_);
    if (listener_)
        box_.trace().remove_listener(listener_);
    box_.set_change_hook(nullptr);
}

void ExpectRun::start()
{
    if (exp_.empty())
        return;
    listener_ = box_.trace().add_listener([this](const json &ev) { on_event(ev); });
    // What the box recorded before (the system starts with the box): a line
    // seen twice counts once, at its time.
    for (const auto &ev : box_.trace().events())
        on_event(ev);
    box_.set_change_hook([this] { mark(box_.now_ms()); });
    thread_ = clock::spawn("expect", [this] { checker(); });
}

void ExpectRun::mark(int64_t t)
{
    // Runs on whichever thread changed the box: only a note and a wake-up.
    {
        std::lock_guard<std::mutex> g(m_);
        last_mark_ = std::max(last_mark_, t);
        dirty_ = true;
    }
    cv_.notify_one();
}

void ExpectRun::on_event(const json &ev)
{
    const std::string op = ev.value("op", "");
    int64_t t = ev.value("t", int64_t{0});
    bool any_held = false;
    {
        std::lock_guard<std::mutex> g(m_);
        for (size_t i = 0; i < exp_.size(); ++i) {
            const Expectation &e = exp_[i];
            Result &r = res_[i];
            if (r.outcome != Result::Outcome::Pending || (r.held_t >= 0 && t >= r.held_t) || t < e.window_start() ||
                t > e.deadline())
                continue;
            if (e.kind == Expectation::Kind::Stdout || e.kind == Expectation::Kind::Stderr) {
                if (op != (e.kind == Expectation::Kind::Stdout ? "stdout" : "stderr"))
                    continue;
                std::string text = ev.value("text", "");
                if (text.find(e.text) != std::string::npos) {
                    r.held_t = t;
                    any_held = true;
                    // An expectation that is not open yet holds when its line is reached.
                    if (r.opened)
                        r.outcome = Result::Outcome::Held;
                } else {
                    r.seen = "last line " + in_quotes(text);
                }
            } else if (e.kind == Expectation::Kind::Trace) {
                int score = 0;
                for (const auto &[field, want] : e.fields)
                    score += field_matches(ev, field, want);
                if (score == static_cast<int>(e.fields.size())) {
                    r.held_t = t;
                    any_held = true;
                    if (r.opened)
                        r.outcome = Result::Outcome::Held;
                } else if (score > 0 && score >= r.seen_score) {
                    r.seen_score = score;
                    r.seen = "nearest " + shorten(Trace::format(ev), 300);
                }
            }
        }
    }
    if (!passive_op(op) || any_held)
        mark(t);
}

// A picture looked at, held once: the expectations judged on it and the
// report of a failure share it rather than copying a whole TV each.
static std::shared_ptr<const Image> shared_picture(std::optional<Image> img)
{
    return img ? std::make_shared<const Image>(std::move(*img)) : nullptr;
}

void ExpectRun::open(size_t index)
{
    if (index >= exp_.size())
        return;
    const Expectation &e = exp_[index];
    int64_t now = box_.now_ms();
    if (e.kind == Expectation::Kind::Picture && update_) {
        {
            std::lock_guard<std::mutex> g(m_);
            res_[index].opened = true;
        }
        if (!e.within_ms)
            write_golden(index);
        return;
    }
    if (e.kind == Expectation::Kind::State || e.kind == Expectation::Kind::Picture) {
        {
            std::lock_guard<std::mutex> g(m_);
            res_[index].opened = true;
        }
        json st;
        std::shared_ptr<const Image> pic;
        if (e.kind == Expectation::Kind::State) {
            st = src_.state();
        } else {
            // The stamp before the picture: a change in between is looked
            // at again.
            std::optional<uint64_t> stamp = src_.stamp ? src_.stamp(e.picture) : std::nullopt;
            pic = shared_picture(src_.picture(e.picture));
            std::lock_guard<std::mutex> g(m_);
            judged_[index] = stamp;
        }
        // Reached late behind a slow action, what holds now still counts.
        evaluate(index, e.kind == Expectation::Kind::State ? &st : nullptr,
                 e.kind == Expectation::Kind::Picture ? &pic : nullptr, std::min(now, e.deadline()), !e.within_ms);
    } else {
        std::lock_guard<std::mutex> g(m_);
        Result &r = res_[index];
        r.opened = true;
        if (r.held_t >= 0)
            r.outcome = Result::Outcome::Held;
        else if (!e.within_ms)
            r.outcome = Result::Outcome::Failed;
    }
    maybe_all_held();
}

void ExpectRun::write_golden(size_t i)
{
    const Expectation &e = exp_[i];
    {
        std::lock_guard<std::mutex> g(m_);
        if (!res_[i].opened || res_[i].outcome != Result::Outcome::Pending)
            return;
    }
    int64_t now = box_.now_ms();
    std::optional<Image> pic = src_.picture(e.picture);
    std::error_code ec;
    if (auto parent = std::filesystem::path(e.golden).parent_path(); !parent.empty())
        std::filesystem::create_directories(parent, ec);
    bool ok = pic && write_png(*pic, e.golden);
    {
        std::lock_guard<std::mutex> g(m_);
        Result &r = res_[i];
        if (ok) {
            r.outcome = Result::Outcome::Written;
            r.held_t = now;
            written_.push_back(file_ + ":" + std::to_string(e.line) + ": wrote " + e.golden);
        } else {
            r.outcome = Result::Outcome::Failed;
            r.why = "cannot write the golden file " + e.golden;
        }
    }
    maybe_all_held();
}

int64_t ExpectRun::next_golden_due(int64_t before) const
{
    if (!update_)
        return before;
    std::lock_guard<std::mutex> g(m_);
    int64_t due = before;
    for (size_t i = 0; i < exp_.size(); ++i)
        if (exp_[i].kind == Expectation::Kind::Picture && exp_[i].within_ms && res_[i].opened &&
            res_[i].outcome == Result::Outcome::Pending)
            due = std::min(due, exp_[i].deadline());
    return due;
}

void ExpectRun::write_due_goldens(int64_t now)
{
    if (!update_)
        return;
    for (size_t i = 0; i < exp_.size(); ++i)
        if (exp_[i].kind == Expectation::Kind::Picture && exp_[i].deadline() <= now)
            write_golden(i);
}

// With m_ not held. `held_t`: the box time the condition is taken to hold at
// if it holds on what was looked at; `instant`: a failure is final.
void ExpectRun::evaluate(size_t i, const json *state, const std::shared_ptr<const Image> *pic, int64_t held_t,
                         bool instant)
{
    const Expectation &e = exp_[i];
    bool holds = false;
    std::lock_guard<std::mutex> g(m_);
    Result &r = res_[i];
    if (r.outcome != Result::Outcome::Pending)
        return;
    if (state) {
        auto v = state_value(*state, e.path);
        r.seen_missing = !v;
        r.seen_value = v ? *v : json();
        holds = v && state_holds(e, *v);
        r.seen = v ? e.path + " was " + shorten(v->dump(-1, ' ', false, json::error_handler_t::replace))
                   : e.path + ": no such value";
    } else if (pic) {
        if (!*pic) {
            r.seen = "nothing shown on " + e.picture;
        } else if (e.golden_image) {
            r.actual = *pic;
            r.diff = compare_pictures(**pic, *e.golden_image);
            char buf[160];
            if (!r.diff.same_size) {
                snprintf(buf, sizeof buf, "the %s shows %dx%d pixels, the golden file has %dx%d", e.picture.c_str(),
                         (*pic)->width, (*pic)->height, e.golden_image->width, e.golden_image->height);
            } else {
                holds = r.diff.percent() <= e.tolerance_pct && (e.tolerance_pct > 0 || r.diff.differing == 0);
                snprintf(buf, sizeof buf, "%zu pixels (%.2f %%) differ (tolerance %g %%)", r.diff.differing,
                         r.diff.percent(), e.tolerance_pct);
            }
            r.seen = buf;
        }
    }
    if (holds && (instant || held_t <= e.deadline())) {
        r.outcome = Result::Outcome::Held;
        r.held_t = std::max(held_t, e.at_ms);
    } else if (instant) {
        r.outcome = Result::Outcome::Failed;
    }
}

void ExpectRun::look(bool final_look, int64_t end_ms)
{
    // What is open and waits for the state or a picture.
    int64_t mark_t = 0;
    bool need_state = false;
    std::set<std::string> need_pics;
    std::vector<size_t> open;
    {
        std::lock_guard<std::mutex> g(m_);
        mark_t = last_mark_;
        for (size_t i = 0; i < exp_.size(); ++i) {
            const Expectation &e = exp_[i];
            const Result &r = res_[i];
            if (!r.opened || r.outcome != Result::Outcome::Pending)
                continue;
            // Past its window, only a change from within it counts.
            if (!final_look && mark_t > e.deadline())
                continue;
            if (e.kind == Expectation::Kind::State) {
                need_state = true;
                open.push_back(i);
            } else if (e.kind == Expectation::Kind::Picture && !update_) {
                need_pics.insert(e.picture);
                open.push_back(i);
            }
        }
    }
    if (open.empty())
        return;
    json st = need_state ? src_.state() : json();
    // A picture is made only for an expectation that has not yet been
    // judged on what it shows now (the last look judges every one again).
    std::map<std::string, std::optional<uint64_t>> stamps;
    for (const auto &name : need_pics)
        stamps[name] = src_.stamp ? src_.stamp(name) : std::nullopt;
    std::map<std::string, std::shared_ptr<const Image>> pics;
    int64_t held_t = final_look ? std::min(mark_t, end_ms) : mark_t;
    for (size_t i : open) {
        const Expectation &e = exp_[i];
        if (e.kind == Expectation::Kind::State) {
            evaluate(i, &st, nullptr, held_t, false);
            continue;
        }
        const std::optional<uint64_t> &stamp = stamps[e.picture];
        {
            std::lock_guard<std::mutex> g(m_);
            if (!final_look && stamp && judged_[i] == stamp)
                continue;
            judged_[i] = stamp;
        }
        auto pic = pics.find(e.picture);
        if (pic == pics.end())
            pic = pics.emplace(e.picture, shared_picture(src_.picture(e.picture))).first;
        evaluate(i, nullptr, &pic->second, held_t, false);
    }
}

void ExpectRun::checker()
{
    for (;;) {
        {
            std::unique_lock<std::mutex> g(m_);
            cv_.wait(g, [this] { return dirty_ || stopping_; }, "expectations");
            if (stopping_)
                return;
            dirty_ = false;
        }
        look(false, 0);
        maybe_all_held();
    }
}

void ExpectRun::maybe_all_held()
{
    std::function<void()> call;
    {
        std::lock_guard<std::mutex> g(m_);
        if (!done_ || all_held_called_)
            return;
        for (const auto &r : res_)
            if (r.outcome != Result::Outcome::Held && r.outcome != Result::Outcome::Written)
                return;
        all_held_called_ = true;
        call = all_held_;
    }
    if (call)
        call();
}

void ExpectRun::script_done(std::function<void()> all_held)
{
    {
        std::lock_guard<std::mutex> g(m_);
        done_ = true;
        all_held_ = std::move(all_held);
    }
    maybe_all_held();
}

int64_t ExpectRun::last_deadline() const
{
    int64_t last = 0;
    for (const auto &e : exp_)
        last = std::max(last, e.deadline());
    return last;
}

void ExpectRun::finish(int64_t end_ms)
{
    {
        std::lock_guard<std::mutex> g(m_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable())
        clock::join(thread_);
    if (listener_) {
        box_.trace().remove_listener(listener_);
        listener_ = 0;
    }
    box_.set_change_hook(nullptr);
    // Golden files whose window the run cut short are written as they are now.
    if (update_)
        for (size_t i = 0; i < exp_.size(); ++i)
            if (exp_[i].kind == Expectation::Kind::Picture)
                write_golden(i);
    look(true, end_ms);
    std::lock_guard<std::mutex> g(m_);
    for (size_t i = 0; i < exp_.size(); ++i) {
        const Expectation &e = exp_[i];
        Result &r = res_[i];
        if (r.outcome == Result::Outcome::Held || r.outcome == Result::Outcome::Written)
            continue;
        if (r.outcome == Result::Outcome::Pending && r.opened && r.held_t >= 0 && r.held_t <= e.deadline()) {
            r.outcome = Result::Outcome::Held;
            continue;
        }
        r.outcome = Result::Outcome::Failed;
        if (!r.why.empty())
            continue;
        std::string when;
        if (!r.opened)
            when = "not reached: the run ended at " + seconds_text(end_ms) + ", before its line at " +
                   seconds_text(e.at_ms);
        else if (e.within_ms && end_ms < e.deadline())
            when = "the run ended at " + seconds_text(end_ms) + ", before its time-out at " +
                   seconds_text(e.deadline());
        else if (e.within_ms)
            when = "timed out at " + seconds_text(e.deadline());
        else
            when = "did not hold at " + seconds_text(e.at_ms);
        std::string seen = r.seen;
        if (seen.empty()) {
            switch (e.kind) {
            case Expectation::Kind::Stdout:
            case Expectation::Kind::Stderr:
                seen = std::string("nothing printed on ") + (e.kind == Expectation::Kind::Stdout ? "stdout" : "stderr") +
                       (e.within_ms ? " in that window" : " before it");
                break;
            case Expectation::Kind::Trace: seen = "no trace line with any of these fields"; break;
            default: break;
            }
        }
        r.why = when + (seen.empty() ? "" : "; " + seen);
    }
}

size_t ExpectRun::held() const
{
    std::lock_guard<std::mutex> g(m_);
    return std::count_if(res_.begin(), res_.end(), [](const Result &r) {
        return r.outcome == Result::Outcome::Held || r.outcome == Result::Outcome::Written;
    });
}

size_t ExpectRun::failed() const
{
    std::lock_guard<std::mutex> g(m_);
    return std::count_if(res_.begin(), res_.end(), [](const Result &r) { return r.outcome == Result::Outcome::Failed; });
}

std::vector<ExpectRun::Result> ExpectRun::results() const
{
    std::lock_guard<std::mutex> g(m_);
    return res_;
}

std::vector<std::string> ExpectRun::written() const
{
    std::lock_guard<std::mutex> g(m_);
    return written_;
}

std::vector<std::string> ExpectRun::failure_lines() const
{
    std::lock_guard<std::mutex> g(m_);
    std::vector<std::string> lines;
    for (size_t i = 0; i < exp_.size(); ++i) {
        if (res_[i].outcome != Result::Outcome::Failed)
            continue;
        std::string line = file_ + ":" + std::to_string(exp_[i].line) + ": " + exp_[i].name + ": " + res_[i].why;
        if (!res_[i].diff_file.empty())
            line += "; diff " + res_[i].diff_file;
        lines.push_back(line);
    }
    return lines;
}

bool ExpectRun::write_reports(const std::string &dir, const std::string &suite, int64_t end_ms, double wall_s,
                              std::string &err)
{
    std::lock_guard<std::mutex> g(m_);
    bool ok = true;
    json list = json::array();
    JunitSuite js;
    js.name = suite;
    js.seconds = wall_s;
    size_t held = 0, failed = 0;
    for (size_t i = 0; i < exp_.size(); ++i) {
        const Expectation &e = exp_[i];
        Result &r = res_[i];
        bool is_failed = r.outcome == Result::Outcome::Failed;
        if (is_failed && e.kind == Expectation::Kind::Picture && e.golden_image && r.actual) {
            std::string base = dir + "/" + e.file_stem();
            bool pics = write_png(*e.golden_image, base + "-expected.png") && write_png(*r.actual, base + "-actual.png") &&
                        write_png(diff_picture(*r.actual, *e.golden_image), base + "-diff.png");
            if (pics) {
                r.diff_file = base + "-diff.png";
            } else {
                ok = false;
                err = "cannot write " + base + "-diff.png";
            }
        }
        const char *outcome = r.outcome == Result::Outcome::Written ? "written" : is_failed ? "failed" : "held";
        json j = {{"name", e.name}, {"line", e.line}, {"condition", e.condition}, {"at", e.at_ms},
                  {"result", outcome}};
        if (e.within_ms)
            j["within"] = *e.within_ms;
        if (is_failed) {
            failed++;
            j["timeout"] = e.deadline();
            j["why"] = r.why;
        } else {
            held++;
            j["held_t"] = r.held_t;
        }
        if (is_failed && !r.seen.empty())
            j["seen"] = r.seen;
        if (e.kind == Expectation::Kind::State && r.opened)
            j["value"] = r.seen_missing ? json() : r.seen_value;
        if (e.kind == Expectation::Kind::Picture) {
            j["golden"] = e.golden;
            if (r.diff.same_size)
                j["differing_pct"] = r.diff.percent();
            if (!r.diff_file.empty())
                j["diff"] = r.diff_file;
        }
        list.push_back(j);
        JunitCase c;
        c.name = e.file_stem() == e.name ? e.name : "line " + std::to_string(e.line) + ": " + e.name;
        c.classname = suite;
        c.failed = is_failed;
        c.message = r.why;
        c.detail = file_ + ":" + std::to_string(e.line) + ": " + r.why +
                   (r.diff_file.empty() ? "" : "\ndiff picture: " + r.diff_file);
        js.cases.push_back(std::move(c));
    }
    json report = {{"script", file_}, {"t", end_ms},  {"held", held},
                   {"failed", failed}, {"wall_s", wall_s}, {"expectations", list}};
    auto write = [&](const std::string &path, const std::string &data) {
        std::string tmp = path + ".part";
        FILE *f = fopen(tmp.c_str(), "wb");
        bool w = f && fwrite(data.data(), 1, data.size(), f) == data.size();
        w = (f && fclose(f) == 0) && w;
        if (!w || rename(tmp.c_str(), path.c_str()) != 0) {
            remove(tmp.c_str());
            ok = false;
            err = "cannot write " + path;
        }
    };
    write(dir + "/expectations.json", report.dump(2, ' ', false, json::error_handler_t::replace) + "\n");
    write(dir + "/report.xml", junit_xml({js}));
    return ok;
}

} // namespace boxsim
