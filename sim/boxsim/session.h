// One run of boxsim: the simulated box, the system's front end running on it,
// the files the run writes, and how the run ends.
#pragma once

#include "core/box.h"
#include "core/image.h"
#include "boxsim/script.h"
#include "boxsim/timeline.h"
#include "core/stdio_capture.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace boxsim::tool {

// The front ends the tool can run, by the name --front-end takes.
struct FrontEnd {
    const char *name;
    int (*entry)();
    const char *about;
};
const std::vector<FrontEnd> &front_ends();
const FrontEnd *find_front_end(const std::string &name);
// Whether every front end a script names (its front-end line, its restart
// actions) exists; false with `err` as "FILE:LINE: message".
bool check_front_ends(const Script &script, std::string &err);
// Whether the golden files of the script's LCD pictures have the size of the
// profile's LCD (the TV's size is the mode the system sets, seen as it runs).
bool check_golden_sizes(const Script &script, const json &profile, std::string &err);

// Why a run ended.
enum class EndReason { None, Quit, Seconds, ScriptDone, Signal };

// Messages of the tool itself go to the terminal the tool was started from,
// never into the captured output of the system.
void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void say_out(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Keeps the original standard output and error for say(); call before the
// system's output is captured.
void keep_terminal();

// Writes `data` to `path` through a temporary file and a rename, so a reader
// never sees a half-written file.
bool write_file_atomic(const std::string &path, const std::string &data);

class Session {
public:
    Session(json profile, std::string profile_name, const FrontEnd &front_end, std::string out_dir);
    ~Session() = default;

    // Creates the output directory and opens the logs (as .part files until
    // the run ends). False with `err` set when that fails.
    bool open_outputs(std::string &err);
    // Makes the box, captures the system's output and starts the front end.
    void start();

    Box &box() { return *box_; }
    bool has_outputs() const { return !out_dir_.empty(); }
    const std::string &out_dir() const { return out_dir_; }
    const std::string &profile_name() const { return profile_name_; }
    const json &profile() const { return profile_; }
    // The front end the run started with (a restart may have changed it).
    const FrontEnd &first_front_end() const { return *first_fe_; }

    // Everything a person would want to know about the box now: the status
    // record by field names, the device models' state, the LEDs, the flash
    // MAC record, the front end.
    json state();

    // A picture ("tv", "osd", "lcd") as a snapshot writes it: black while
    // nothing was shown on the TV, dark while the LCD was never written;
    // nullopt for a box without that picture. `shown` tells which it was.
    std::optional<Image> shown_picture(const std::string &name, bool *shown = nullptr);

    // Writes NAME-tv.png, NAME-lcd.png and NAME-state.json. False with `err`
    // set when there is no output directory or a file cannot be written.
    bool snapshot(const std::string &name, std::string &err);

    // Sets the status record's quit flag and waits for the front end to end.
    void quit_front_end();
    bool front_end_running() const { return fe_running_.load(); }
    const FrontEnd &front_end() const { return *fe_.load(); }

    // Restarts the box into `to` with the same profile, as a person reboots
    // it: the running front end is asked to quit, every thread it started is
    // waited for, and `to` starts on the same box (the hardware keeps what
    // is plugged in). False with `err` set when the run is ending, another
    // restart is under way, or the old front end's threads do not end.
    bool restart(const FrontEnd &to, std::string &err);

    // Actions as they ran, for the replay script of the web front panel.
    std::string actions_as_script();

    // Ending the run: any thread may ask; main waits.
    void request_end(EndReason why);
    // Waits for a request to end, or until the deadline; then returns
    // Seconds without ending the run yet.
    EndReason wait_end(std::optional<int64_t> deadline_ns);
    // Waits until `at_ms` on the box's clock or until the run ends; true when
    // the time has come.
    bool wait_until_box_time(int64_t at_ms);

    // The run's timeline (timeline.json with --out; kept in a temporary file
    // otherwise, for the front panel's download).
    TimelineFile *timeline() { return timeline_.get(); }

    // Counts a failure that must show in the exit status.
    void note_failure() { failures_++; }
    int failures() const { return failures_.load(); }

    // Writes the final snapshot, stops capturing and closes the outputs.
    void finish();

private:
    void front_end_thread(int generation);
    void start_front_end();
    std::optional<Image> blank_lcd() const;

    json profile_;
    std::string profile_name_;
    const FrontEnd *first_fe_;
    std::atomic<const FrontEnd *> fe_;
    // Each start of a front end is one generation; its threads carry the
    // generation in their name, which the threads they start inherit.
    std::atomic<int> generation_{0};
    std::mutex restart_m_;
    std::string out_dir_;

    std::unique_ptr<Box> box_;
    std::unique_ptr<StdioCapture> capture_;
    std::unique_ptr<TimelineFile> timeline_;
    FILE *trace_f_ = nullptr;
    FILE *out_f_ = nullptr;
    FILE *err_f_ = nullptr;

    std::atomic<bool> fe_running_{false};
    std::atomic<int> fe_status_{-1};
    std::atomic<int64_t> fe_ended_ms_{-1};

    std::mutex snapshot_m_;
    std::mutex actions_m_;
    std::vector<std::pair<int64_t, std::string>> actions_run_;
    int listener_ = 0;

    std::mutex end_m_;
    CondVar end_cv_;
    EndReason end_ = EndReason::None;
    std::atomic<int> failures_{0};
};

} // namespace boxsim::tool
