#include "boxsim/session.h"

#include "app/console.h"
#include "app/status.h"
#include "app/task.h"
#include "app/testui.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <filesystem>
#include <set>
#include <unistd.h>

namespace boxsim::tool {

namespace {

FILE *g_term_out = stdout;
FILE *g_term_err = stderr;

void vsay(FILE *f, const char *fmt, va_list ap)
{
    vfprintf(f, fmt, ap);
    fflush(f);
}

std::string hex_bytes(const unsigned char *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

std::string status_text(const char *field, size_t size)
{
    std::vector<char> buf(size + 1, '\0');
    status_copy_text(buf.data(), buf.size(), field, size);
    return std::string(buf.data());
}

std::string status_hex(const unsigned char *field, size_t n)
{
    unsigned char buf[16];
    for (size_t i = 0; i < n && i < sizeof buf; ++i)
        buf[i] = status_load_byte(field + i);
    return hex_bytes(buf, n);
}

template <size_t N> json words(const status_int (&a)[N])
{
    json arr = json::array();
    for (const auto &w : a)
        arr.push_back(w.load());
    return arr;
}

// The status record by its field names. Event handles are left out: they are
// pointers that say nothing to a reader.
json status_json()
{
    const StatusRecord &s = g_status;
    json j = json::object();
    j["eth_link"] = s.eth_link.load();
    j["eth_speed"] = s.eth_speed.load();
    j["dhcp_done"] = s.dhcp_done.load();
    j["usb"] = words(s.usb);
    j["sata"] = words(s.sata);
    j["hdmi"] = s.hdmi.load();
    j["mac_request"] = s.mac_request.load();
    j["mac_text"] = status_text(s.mac_text, sizeof s.mac_text);
    j["operstate_text"] = status_text(s.operstate_text, sizeof s.operstate_text);
    j["speed_text"] = status_text(s.speed_text, sizeof s.speed_text);
    j["mac_entry"] = status_hex(s.mac_entry, sizeof s.mac_entry);
    j["mac_confirm"] = status_hex(s.mac_confirm, sizeof s.mac_confirm);
    char ip[20];
    snprintf(ip, sizeof ip, "%u.%u.%u.%u", status_load_byte(&s.ip[0]), status_load_byte(&s.ip[1]),
             status_load_byte(&s.ip[2]), status_load_byte(&s.ip[3]));
    j["ip"] = ip;
    j["sci_present"] = words(s.sci_present);
    j["sci_card"] = words(s.sci_card);
    j["sci_atr"] = words(s.sci_atr);
    j["ci_present"] = words(s.ci_present);
    j["ci_module"] = words(s.ci_module);
    j["buttons_seen"] = s.buttons_seen.load();
    j["sat_channel_select"] = s.sat_channel_select.load();
    j["volume"] = s.volume.load();
    j["mute"] = s.mute.load();
    j["quit"] = s.quit.load();
    j["tsfile_playing"] = s.tsfile_playing.load();
    j["model_kind"] = s.model_kind.load();
    j["channel_text"] = status_text(s.channel_text, sizeof s.channel_text);
    return j;
}

json led_value(Box &box, const char *path)
{
    if (!box.file(path))
        return nullptr;
    std::string text = box.read_file(path);
    char *end = nullptr;
    long v = strtol(text.c_str(), &end, 10);
    if (end == text.c_str())
        return text;
    return v;
}

// The MAC record at the start of the flash partition, read the way the box's
// boot loader would, past the system (not traced).
json flash_mac_record(Box &box)
{
    constexpr size_t kRecord = 142;
    int err = 0;
    int fd = box.fd_open("/dev/mtdblock3", O_RDONLY, err);
    if (fd < 0)
        return nullptr;
    unsigned char buf[kRecord];
    size_t got = 0;
    if (auto of = box.fd_get(fd)) {
        while (got < kRecord) {
            ssize_t n = of->node->read(*of, buf + got, kRecord - got);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
    }
    box.fd_close(fd);
    return hex_bytes(buf, got);
}

Image blank(int w, int h)
{
    Image img;
    img.width = w;
    img.height = h;
    img.argb.assign(static_cast<size_t>(w) * h, 0xFF000000u);
    return img;
}

// How long a restart waits for the old front end's tasks to end: a port
// monitor pass with the DHCP client running takes a few seconds.
constexpr std::chrono::seconds kRestartWait{20};
constexpr size_t kTraceKept = 4096;  // trace events held in memory

std::string front_end_thread_name(int generation) { return "boxsim-fe" + std::to_string(generation); }

// The threads of this process whose name is `name`.
} // namespace

const std::vector<FrontEnd> &front_ends()
{
    static const std::vector<FrontEnd> list = {
        {"rescue", testui_main, "the rescue front end: rescue display and port monitor"},
        {"console", console_main, "the factory test console: keys, tuners, A/V, card slots, MAC entry"},
    };
    return list;
}

const FrontEnd *find_front_end(const std::string &name)
{
    for (const auto &f : front_ends())
        if (name == f.name)
            return &f;
    return nullptr;
}

bool check_front_ends(const Script &script, std::string &err)
{
    if (!script.front_end.empty() && !find_front_end(script.front_end)) {
        err = script.file + ":" + std::to_string(script.front_end_line) + ": unknown front end '" + script.front_end + "'";
        return false;
    }
    for (const auto &step : script.steps)
        if (step.expect < 0 && step.action.name == "restart" && !find_front_end(step.action.args.at(0))) {
            err = script.file + ":" + std::to_string(step.line) + ": restart: unknown front end '" +
                  step.action.args[0] + "'";
            return false;
        }
    return true;
}

bool check_golden_sizes(const Script &script, const json &profile, std::string &err)
{
    if (!profile.contains("lcd") || !profile["lcd"].is_object())
        return true;
    int w = profile["lcd"].value("xres", 0), h = profile["lcd"].value("yres", 0);
    for (const auto &e : script.expectations)
        if (e.kind == Expectation::Kind::Picture && e.picture == "lcd" && e.golden_image &&
            (e.golden_image->width != w || e.golden_image->height != h)) {
            err = script.file + ":" + std::to_string(e.line) + ": the golden file " + e.golden + " has " +
                  std::to_string(e.golden_image->width) + "x" + std::to_string(e.golden_image->height) +
                  " pixels, the LCD of this box " + std::to_string(w) + "x" + std::to_string(h);
            return false;
        }
    return true;
}

void keep_terminal()
{
    int o = dup(STDOUT_FILENO), e = dup(STDERR_FILENO);
    if (o >= 0) {
        fcntl(o, F_SETFD, FD_CLOEXEC);
        if (FILE *f = fdopen(o, "w"))
            g_term_out = f;
    }
    if (e >= 0) {
        fcntl(e, F_SETFD, FD_CLOEXEC);
        if (FILE *f = fdopen(e, "w"))
            g_term_err = f;
    }
}

void say(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsay(g_term_err, fmt, ap);
    va_end(ap);
}

void say_out(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsay(g_term_out, fmt, ap);
    va_end(ap);
}

bool write_file_atomic(const std::string &path, const std::string &data)
{
    std::string tmp = path + ".part";
    FILE *f = fopen(tmp.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    ok = (fclose(f) == 0) && ok;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        remove(tmp.c_str());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------

Session::Session(json profile, std::string profile_name, const FrontEnd &front_end, std::string out_dir)
    : profile_(std::move(profile)), profile_name_(std::move(profile_name)), first_fe_(&front_end), fe_(&front_end),
      out_dir_(std::move(out_dir))
{
}

bool Session::open_outputs(std::string &err)
{
    if (out_dir_.empty())
        return true;
    std::error_code ec;
    std::filesystem::create_directories(out_dir_, ec);
    if (ec || !std::filesystem::is_directory(out_dir_)) {
        err = "cannot create output directory " + out_dir_ + (ec ? ": " + ec.message() : "");
        return false;
    }
    // The logs grow while the run goes on; they get their names when it ends.
    for (auto [slot, name] : {std::pair{&trace_f_, "trace.jsonl"}, {&out_f_, "stdout.log"}, {&err_f_, "stderr.log"}}) {
        std::string path = out_dir_ + "/" + name + ".part";
        *slot = fopen(path.c_str(), "w");
        if (!*slot) {
            err = "cannot write " + path + ": " + strerror(errno);
            for (FILE **f : {&trace_f_, &out_f_, &err_f_})
                if (*f) {
                    fclose(*f);
                    *f = nullptr;
                }
            for (const char *n : {"trace.jsonl", "stdout.log", "stderr.log"})
                remove((out_dir_ + "/" + n + ".part").c_str());
            return false;
        }
    }
    return true;
}

namespace {
json clock_state(Box &box)
{
    if (!box.clock().virtual_time) {
        json j = {{"kind", "real"}};
        if (clock::real_speed() != 1)
            j["speed"] = clock::real_speed();
        return j;
    }
    return {{"kind", "virtual"}, {"seed", box.clock().seed}, {"switch_chance", clock::switch_probability()}};
}
} // namespace

void Session::start()
{
    box_ = std::make_unique<Box>(profile_);
    json clock_line = clock_state(*box_);
    clock_line["op"] = "clock";
    box_->trace().record(std::move(clock_line));
    if (trace_f_) {
        // With what the device models recorded while the box was being made.
        box_->trace().set_sink(trace_f_, true);
    }
    // The tool reads nothing back from the trace in memory (the file and the
    // page's log have it all): a run that goes on for hours keeps only a
    // short tail, so its memory stays flat.
    box_->trace().set_limit(kTraceKept);
    // The timeline: the lines recorded while the box was made, then every
    // line as it comes.
    timeline_ = std::make_unique<TimelineFile>(*box_, has_outputs() ? out_dir_ + "/timeline.json" : std::string());
    listener_ = box_->trace().add_listener([this](const json &ev) {
        if (ev.value("op", "") != "action")
            return;
        std::lock_guard<std::mutex> g(actions_m_);
        actions_run_.emplace_back(ev.value("t", int64_t{0}), ev.value("text", ""));
    });
    set_run_hooks(*box_, {
                             [this](Box &, const std::string &name) {
                                 std::string err;
                                 if (!snapshot(name, err)) {
                                     say("boxsim: snapshot %s: %s\n", name.c_str(), err.c_str());
                                     note_failure();
                                 }
                             },
                             [this](Box &) {
                                 quit_front_end();
                                 request_end(EndReason::Quit);
                             },
                             [this](Box &, const std::string &name) {
                                 const FrontEnd *to = find_front_end(name);
                                 std::string err = to ? "" : "no front end " + name;
                                 if (!to || !restart(*to, err)) {
                                     say("boxsim: restart %s: %s\n", name.c_str(), err.c_str());
                                     note_failure();
                                 }
                             },
                         });
    capture_ = std::make_unique<StdioCapture>(*box_, out_f_, err_f_, true);
    start_front_end();
}

void Session::start_front_end()
{
    fe_running_ = true;
    int gen = ++generation_;
    clock::spawn(std::string("front end ") + fe_.load()->name, [this, gen] { front_end_thread(gen); }).detach();
}

void Session::front_end_thread(int generation)
{
    // Named before the front end starts anything: its tasks inherit the name.
    pthread_setname_np(pthread_self(), front_end_thread_name(generation).c_str());
    const FrontEnd &fe = *fe_.load();
    int status = fe.entry();
    fe_status_ = status;
    fe_ended_ms_ = box_->now_ms();
    box_->trace().record({{"op", "front_end_ended"}, {"name", fe.name}, {"status", status}});
    {
        std::lock_guard<std::mutex> g(end_m_);
        fe_running_ = false;
    }
    end_cv_.notify_all();
    if (!g_status.quit.load())
        say("boxsim: the %s front end ended by itself (status %d) after %lld ms\n", fe.name, status,
            static_cast<long long>(fe_ended_ms_.load()));
}

void Session::quit_front_end()
{
    // The front end clears the status record as its first step: a quit that
    // comes before that would be wiped out, so the flag is set again until
    // the front end has ended. Its main loop looks at the flag once a second;
    // finding the framebuffer can take ten.
    auto deadline = clock::now_ns() + 15 * 1000000000LL;
    std::unique_lock<std::mutex> g(end_m_);
    while (fe_running_) {
        g_status.quit = 1;
        if (clock::now_ns() >= deadline) {
            say("boxsim: the %s front end did not end within 15 s of quit\n", front_end().name);
            note_failure();
            return;
        }
        end_cv_.wait_for_ms(g, 100, [this] { return !fe_running_; }, "front end quit");
    }
}

bool Session::restart(const FrontEnd &to, std::string &err)
{
    std::unique_lock<std::mutex> one(restart_m_, std::try_to_lock);
    if (!one.owns_lock()) {
        err = "a restart is already under way";
        return false;
    }
    auto ending = [this] {
        std::lock_guard<std::mutex> g(end_m_);
        return end_ != EndReason::None;
    };
    if (ending()) {
        err = "the run is ending";
        return false;
    }
    const FrontEnd &from = front_end();
    box_->trace().record({{"op", "restart"}, {"from", from.name}, {"to", to.name}});
    quit_front_end();
    if (fe_running_) {
        err = std::string("the ") + from.name + " front end did not end";
        return false;
    }
    // The front end may return before its tasks have seen quit (the rescue
    // start-up does not wait for them); a task of the old run still going
    // when the new one clears the status record would run on beside it.
    auto deadline = clock::now_ns() + std::chrono::duration_cast<std::chrono::nanoseconds>(kRestartWait).count();
    while (BKNI_TasksRunning() > 0) {
        if (clock::now_ns() >= deadline) {
            err = std::string("the tasks of the ") + from.name + " front end did not end within " +
                  std::to_string(kRestartWait.count()) + " s; the box stays off";
            return false;
        }
        std::unique_lock<std::mutex> g(end_m_);
        if (end_cv_.wait_for_ms(g, 20, [this] { return end_ != EndReason::None; }, "restart")) {
            err = "the run is ending";
            return false;
        }
    }
    if (ending()) {
        err = "the run is ending";
        return false;
    }
    // A reboot loses what the system held in memory: the record is clear
    // before the new front end runs (it clears it again as its first step).
    status_clear();
    fe_ = &to;
    start_front_end();
    box_->trace().record({{"op", "front_end_started"}, {"name", to.name}});
    return true;
}

std::string Session::actions_as_script()
{
    std::lock_guard<std::mutex> g(actions_m_);
    std::string out = "# boxsim scenario: the actions of a run on the box profile '" + profile_name_ + "'\n";
    std::set<std::string> snapshots;
    for (const auto &[t, text] : actions_run_) {
        // A script takes each snapshot name once; a name taken again by hand
        // is kept as a comment, to be renamed for a replay.
        bool again = text.starts_with("snapshot ") && !snapshots.insert(text).second;
        out += (again ? "# " : "") + std::to_string(t) + "ms " + text + (again ? "   (name taken before)" : "") + "\n";
    }
    return out;
}

void Session::request_end(EndReason why)
{
    {
        std::lock_guard<std::mutex> g(end_m_);
        if (end_ == EndReason::None)
            end_ = why;
    }
    end_cv_.notify_all();
}

EndReason Session::wait_end(std::optional<int64_t> deadline)
{
    std::unique_lock<std::mutex> g(end_m_);
    auto ended = [this] { return end_ != EndReason::None; };
    if (deadline) {
        // The caller ends the run once the script has caught up.
        if (!end_cv_.wait_until(g, *deadline, ended, "end of the run"))
            return EndReason::Seconds;
    } else {
        end_cv_.wait(g, ended, "end of the run");
    }
    return end_;
}

bool Session::wait_until_box_time(int64_t at_ms)
{
    auto target = box_->time_of_ms(at_ms);
    std::unique_lock<std::mutex> g(end_m_);
    return !end_cv_.wait_until(g, target, [this] { return end_ != EndReason::None; }, "next scenario action");
}

json Session::state()
{
    Box &box = *box_;
    json j = json::object();
    j["t"] = box.now_ms();
    j["box"] = {{"profile", profile_name_},
                {"model", profile_.value("model", "")},
                {"description", profile_.value("description", "")}};
    j["clock"] = clock_state(box);
    bool running = fe_running_.load();
    json known = json::array();
    for (const auto &f : front_ends())
        known.push_back(f.name);
    j["front_end"] = {{"name", front_end().name}, {"running", running}, {"starts", generation_.load()},
                      {"known", known}};
    if (!running) {
        j["front_end"]["exit_status"] = fe_status_.load();
        j["front_end"]["ended_t"] = fe_ended_ms_.load();
    }
    j["status"] = status_json();
    j["flash_mac_record"] = flash_mac_record(box);
    try {
        j["devices"] = box.describe();
    } catch (const std::exception &e) {
        j["devices"] = {{"error", e.what()}};
    }
    // The LEDs as the front panel's driver holds them; where no driver
    // reports them, what the system last wrote to their pattern files.
    if (!j["devices"].contains("leds"))
        j["leds"] = {{"led0_pattern", led_value(box, "/proc/stb/fp/led0_pattern")},
                     {"led1_pattern", led_value(box, "/proc/stb/fp/led1_pattern")}};
    return j;
}

std::optional<Image> Session::blank_lcd() const
{
    if (!profile_.contains("lcd") || !profile_["lcd"].is_object())
        return std::nullopt;
    int w = profile_["lcd"].value("xres", 0), h = profile_["lcd"].value("yres", 0);
    if (w <= 0 || h <= 0 || w > 4096 || h > 4096)
        return std::nullopt;
    return blank(w, h);
}

std::optional<Image> Session::shown_picture(const std::string &name, bool *shown)
{
    // A TV that was never given a frame shows black; an LCD that was never
    // written stays dark. The state says which it was.
    std::optional<Image> img = picture(*box_, name);
    if (shown)
        *shown = img.has_value();
    if (img)
        return img;
    if (name == "lcd")
        return blank_lcd();
    if (name == "tv" || name == "osd")
        return blank(1280, 720);
    return std::nullopt;
}

bool Session::snapshot(const std::string &name, std::string &err)
{
    if (!has_outputs()) {
        err = "no output directory (start boxsim with --out DIR)";
        return false;
    }
    std::lock_guard<std::mutex> g(snapshot_m_);
    json st = state();
    json pics = json::object();
    bool ok = true;
    std::string base = out_dir_ + "/" + name;

    for (const char *which : {"tv", "osd", "lcd"}) {
        bool shown = false;
        std::optional<Image> img = shown_picture(which, &shown);
        pics[which] = {{"shown", shown}};
        if (!img)
            continue;
        if (std::string(which) != "osd") {
            pics[which]["width"] = img->width;
            pics[which]["height"] = img->height;
        }
        std::string path = base + "-" + which + ".png";
        if (!write_png(*img, path)) {
            ok = false;
            err = "cannot write " + path;
        }
    }

    st["snapshot"] = name;
    st["pictures"] = pics;
    if (!write_file_atomic(base + "-state.json", st.dump(2, ' ', false, json::error_handler_t::replace) + "\n")) {
        ok = false;
        err = "cannot write " + base + "-state.json";
    }
    box_->trace().record({{"op", "snapshot"}, {"name", name}, {"ok", ok}});
    return ok;
}

void Session::finish()
{
    if (has_outputs()) {
        std::string err;
        if (!snapshot("final", err)) {
            say("boxsim: final snapshot: %s\n", err.c_str());
            note_failure();
        }
    }
    // Everything the system printed so far reaches the logs and the trace.
    capture_.reset();
    if (timeline_) {
        std::string err;
        if (!timeline_->close(err)) {
            say("boxsim: %s\n", err.c_str());
            note_failure();
        }
    }
    if (box_) {
        box_->trace().remove_listener(listener_);
        box_->trace().set_sink(nullptr);
    }
    for (auto [slot, name] : {std::pair{&trace_f_, "trace.jsonl"}, {&out_f_, "stdout.log"}, {&err_f_, "stderr.log"}}) {
        if (!*slot)
            continue;
        bool ok = fclose(*slot) == 0;
        *slot = nullptr;
        std::string path = out_dir_ + "/" + name;
        if (!ok || rename((path + ".part").c_str(), path.c_str()) != 0) {
            say("boxsim: cannot write %s\n", path.c_str());
            note_failure();
        }
    }
}

} // namespace boxsim::tool
