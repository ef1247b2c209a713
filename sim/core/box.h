// The simulated box: an in-memory stand-in for the box's kernel, drivers and
// shell, which the platform facade (os.h) talks to on a development machine.
//
// A Box holds a file tree of plain files, directories and device nodes, a
// descriptor table, the trace of everything the system did, and the state of
// each device model ("parts"). Device models register themselves as modules:
// each installs its nodes from the box profile when a Box is made, and may add
// scenario actions and entries to the state snapshot.
//
// This is the core of the simulated box (sim/core): it knows no device model.
// The device models (sim/devices) build on it, and the boxsim tool
// (sim/boxsim) on both.
#pragma once

#include "core/clock.h"
#include "core/trace.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <typeindex>
#include <vector>

namespace boxsim {

using json = nlohmann::json;
class Box;

// One open file description: what a successful os::open made. Several
// references may share it (FileRef): the descriptor that named it, a call of
// the system still under way on it, a shell command that inherited it. The
// driver's release runs when the last reference goes, as the kernel's does.
struct OpenFile {
    std::shared_ptr<class Node> node;
    std::string path;
    int flags = 0;
    off_t offset = 0;
    std::string snapshot;         // generated files: the content as it was at open
    std::shared_ptr<void> state;  // device models: per-open state
    int64_t opened_ns = 0;        // on the box's clock
    std::atomic<int> refs{0};     // FileRefs that hold it
    std::atomic<bool> orphan{false};  // its box is torn down: no driver to release it
};

// A reference to an open file description; the last one to go releases it.
class FileRef {
public:
    FileRef() = default;
    explicit FileRef(std::shared_ptr<OpenFile> of) : of_(std::move(of))
    {
        if (of_)
            of_->refs.fetch_add(1);
    }
    FileRef(const FileRef &o) : FileRef(o.of_) {}
    FileRef(FileRef &&o) noexcept : of_(std::move(o.of_)) {}
    FileRef &operator=(FileRef o) noexcept
    {
        std::swap(of_, o.of_);
        return *this;
    }
    ~FileRef() { reset(); }
    void reset();
    OpenFile *get() const { return of_.get(); }
    OpenFile *operator->() const { return of_.get(); }
    OpenFile &operator*() const { return *of_; }
    explicit operator bool() const { return of_ != nullptr; }
    const std::shared_ptr<OpenFile> &shared() const { return of_; }

private:
    std::shared_ptr<OpenFile> of_;
};

// A node of the file tree. Operations return a result >= 0 or a negative
// errno value, as a driver does inside the kernel.
class Node {
public:
    virtual ~Node() = default;
    virtual mode_t kind() const = 0;  // S_IFREG, S_IFDIR or S_IFCHR
    virtual off_t size() const { return 0; }
    virtual int open(OpenFile &) { return 0; }
    virtual void release(OpenFile &) {}
    virtual ssize_t read(OpenFile &, void *, size_t) { return -EINVAL; }
    virtual ssize_t write(OpenFile &, const void *, size_t) { return -EINVAL; }
    // `ev` is the trace event of this request: add decoded arguments to it.
    virtual int ioctl(OpenFile &, unsigned long, unsigned long, json &) { return -ENOTTY; }
    // Ready events for poll; blocking waits use Box::wait_change.
    virtual short poll(OpenFile &, short events) { return events & (POLLIN_ | POLLOUT_); }
    virtual void *mmap(OpenFile &, size_t, off_t, int &err)
    {
        err = ENODEV;
        return nullptr;
    }
    // Fills a trace event for a write of these bytes (default: the text).
    virtual void describe_write(const void *buf, size_t len, json &ev) const;

    static constexpr short POLLIN_ = 0x001;
    static constexpr short POLLOUT_ = 0x004;
};

class Directory : public Node {
public:
    mode_t kind() const override;
    ssize_t read(OpenFile &, void *, size_t) override { return -EISDIR; }
};

// A plain file: /proc and /sys attributes, pictures, value files.
class File : public Node {
public:
    explicit File(std::string content = {}) : data_(std::move(content)) {}
    mode_t kind() const override;
    off_t size() const override;
    int open(OpenFile &) override;
    ssize_t read(OpenFile &, void *, size_t) override;
    ssize_t write(OpenFile &, const void *, size_t) override;

    std::string content() const;
    void set_content(std::string content);

    // Content made afresh at every open, as a kernel attribute is.
    std::function<std::string()> generate;
    // Called with the whole new content after every write (driver side effects).
    std::function<void(const std::string &)> on_write;
    bool read_only = false;
    // The content is made by `make` when the file is first used, then kept
    // as if it had been written now: large files that most runs never read
    // (the panel's key pictures) cost nothing until one is.
    void set_content_later(std::function<std::string()> make);

private:
    // The content, made first if it is still to be made; m_ is held.
    std::string &data_locked() const;

    mutable std::mutex m_;
    mutable std::string data_;
    mutable std::function<std::string()> fill_;
};

// A device node; device models derive from it.
class Device : public Node {
public:
    mode_t kind() const override;
};

// ---------------------------------------------------------------------------
// Device-model modules and scenario actions.

struct Module {
    std::string name;
    int order = 100;  // lower installs first
    std::function<void(Box &, const json &profile)> install;
    // Adds this model's state to a snapshot (may be empty).
    std::function<void(Box &, json &state)> describe;
    // Checks this model's keys of a profile before a box is made of it:
    // "" when they are good, else what is wrong (Box::load_profile refuses
    // the profile with it). May be empty.
    std::function<std::string(const json &profile)> check;
};
void register_module(Module m);
const std::vector<Module> &modules();

// A scenario action: `AT NAME ARGS...` in scripts, the same name over HTTP.
using ActionRun = std::function<void(Box &)>;
// Checks the arguments; returns the action to run, or nullopt with `err` set.
using ActionParse =
    std::function<std::optional<ActionRun>(const std::vector<std::string> &args, std::string &err)>;
struct ActionInfo {
    std::string name;
    std::string usage;  // e.g. "cable plug [SPEED] | cable unplug"
    ActionParse parse;
};
void register_action(ActionInfo a);
const std::map<std::string, ActionInfo> &actions();

// Registration at static-initialisation time, from a module's own file. The
// registrar's name is numbered by __COUNTER__, not by line, so that files
// compiled together as one unit (the library's unity build) never repeat it.
struct Registrar {
    explicit Registrar(std::function<void()> f) { f(); }
};
#define BOXSIM_CONCAT2(a, b) a##b
#define BOXSIM_CONCAT(a, b) BOXSIM_CONCAT2(a, b)
#define BOXSIM_REGISTER(body) \
    static ::boxsim::Registrar BOXSIM_CONCAT(boxsim_registrar_, __COUNTER__)([] { body; })

// ---------------------------------------------------------------------------

class Box {
public:
    // An empty box: no profile, only the basic tree. Becomes the current box.
    Box();
    // A box made from a profile (JSON object). Becomes the current box. On
    // the virtual clock the thread that makes the box is its first thread.
    explicit Box(const json &profile, BoxClock clock = default_clock());
    ~Box();
    Box(const Box &) = delete;
    Box &operator=(const Box &) = delete;

    // Loads a profile by name (sim/boxes/NAME.json) or path. On failure
    // returns null and explains in `err`.
    static std::unique_ptr<Box> from_profile(const std::string &name_or_path, std::string &err,
                                             BoxClock clock = default_clock());
    static std::optional<json> load_profile(const std::string &name_or_path, std::string &err);
    static std::string boxes_dir();

    // The box the facade talks to (the last one made and not yet destroyed).
    static Box *current();

    const json &profile() const { return profile_; }
    Trace &trace() { return trace_; }

    // --- file tree (paths are absolute; parents are made as needed)
    std::shared_ptr<File> add_file(const std::string &path, std::string content = {});
    void add_node(const std::string &path, std::shared_ptr<Node> node);
    void add_dir(const std::string &path);
    void remove(const std::string &path);  // the node and everything below it
    std::shared_ptr<Node> lookup(const std::string &path) const;
    bool exists(const std::string &path) const;
    std::shared_ptr<File> file(const std::string &path) const;
    std::string read_file(const std::string &path) const;  // "" if not a plain file
    std::vector<std::string> list(const std::string &dir) const;  // child names

    // --- open files and descriptors (used by the facade)
    // An open file description with no descriptor: the shell's and the
    // tool's own opens, which are another process's and take no number of
    // the system's.
    FileRef open_file(const std::string &path, int flags, int &err);
    // The lowest free descriptor number from 3 (0 to 2 are the standard
    // streams), as Linux gives it; EMFILE past kMaxFds. O_CLOEXEC marks the
    // descriptor close-on-exec.
    int fd_open(const std::string &path, int flags, int &err);
    std::shared_ptr<OpenFile> fd_get(int fd) const;
    // The description a descriptor names, held for as long as the reference
    // lives (a call under way keeps it when another thread closes the number).
    FileRef fd_hold(int fd) const;
    int fd_close(int fd);
    // What a command started now inherits: every description named by a
    // descriptor without close-on-exec.
    std::vector<FileRef> fd_inherit() const;
    // The descriptors open now, by number: path and close-on-exec.
    json fd_table() const;

    // --- state of the device models, one object per type, made on first use
    template <class T> T &part() { return *shared_part<T>(); }
    // The same object, kept alive for a holder that may outlive the box's
    // own reference (a model's thread that uses another model's part).
    template <class T> std::shared_ptr<T> shared_part()
    {
        std::lock_guard<std::mutex> g(parts_m_);
        auto &slot = parts_[std::type_index(typeid(T))];
        if (!slot)
            slot = std::make_shared<T>();
        return std::static_pointer_cast<T>(slot);
    }

    // --- change notification: device models call changed() when their state
    // moves; poll and blocking reads wait for it.
    void changed();
    // Called after every changed() on the thread that called it, with no lock
    // of the box held (a scenario's expectations look again). It must not
    // block. One hook at a time; null removes it.
    void set_change_hook(std::function<void()> hook);
    // Waits until pred() holds or the deadline (the box's clock, in
    // nanoseconds; clock::kNever for none) passes; returns pred(). `what`
    // names the wait in the report of a stuck run.
    bool wait_change(const std::function<bool()> &pred, int64_t deadline_ns, const char *what = "wait");
    bool wait_for(const std::function<bool()> &pred, std::chrono::milliseconds timeout, const char *what = "wait")
    {
        return wait_change(pred, clock::now_ns() + static_cast<int64_t>(timeout.count()) * 1000000, what);
    }
    // Sleeps on the box's clock; false (early) when the box is torn down.
    bool sleep_ms(int64_t ms)
    {
        wait_for([this] { return stopping(); }, std::chrono::milliseconds(ms), "sleep");
        return !stopping();
    }

    // Milliseconds since the box was made, on the box's clock.
    int64_t now_ms() const;
    // The box's clock (nanoseconds) `ms` milliseconds after the box was made.
    int64_t time_of_ms(int64_t ms) const { return start_ns_ + ms * 1000000; }
    // The clock the box runs on.
    const BoxClock &clock() const { return clock_; }
    // The clock of boxes made without one named (tests and tools set it once).
    static void set_default_clock(BoxClock c);
    static BoxClock default_clock();

    // A snapshot of every module's state.
    json describe();

    // Set when the box is being torn down; long-running simulator threads end.
    bool stopping() const { return stopping_.load(); }

    static constexpr int kFirstFd = 3;
    static constexpr int kMaxFds = 1024;  // RLIMIT_NOFILE's usual soft limit

private:
    void init_base();
    static std::string normalize(const std::string &path);

    BoxClock clock_;
    json profile_;
    Trace trace_;
    int64_t start_ns_ = 0;

    mutable std::mutex tree_m_;
    std::map<std::string, std::shared_ptr<Node>> tree_;

    struct FdSlot {
        FileRef file;
        bool cloexec = false;
    };
    mutable std::mutex fd_m_;
    std::map<int, FdSlot> fds_;

    std::mutex parts_m_;
    std::map<std::type_index, std::shared_ptr<void>> parts_;

    std::mutex change_m_;
    CondVar change_cv_;
    uint64_t generation_ = 0;
    std::shared_ptr<const std::function<void()>> change_hook_;

    std::atomic<bool> stopping_{false};
    Box *previous_ = nullptr;
};

// Errno names for the trace ("ENOENT").
const char *errno_name(int err);

} // namespace boxsim
