#include "core/box.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace boxsim {

// ---------------------------------------------------------------------------
// Nodes

void Node::describe_write(const void *buf, size_t len, json &ev) const
{
    const auto *p = static_cast<const unsigned char *>(buf);
    bool text = true;
    for (size_t i = 0; i < len && text; ++i)
        text = p[i] >= 0x20 || p[i] == '\n' || p[i] == '\r' || p[i] == '\t';
    if (text && len <= 4096)
        ev["text"] = std::string(reinterpret_cast<const char *>(p), len);
}

mode_t Directory::kind() const { return S_IFDIR; }
mode_t Device::kind() const { return S_IFCHR; }
mode_t File::kind() const { return S_IFREG; }

off_t File::size() const
{
    if (generate)
        return static_cast<off_t>(generate().size());
    std::lock_guard<std::mutex> g(m_);
    return static_cast<off_t>(data_locked().size());
}

std::string &File::data_locked() const
{
    if (fill_) {
        data_ = fill_();
        fill_ = nullptr;
    }
    return data_;
}

int File::open(OpenFile &of)
{
    int acc = of.flags & O_ACCMODE;
    if (read_only && acc != O_RDONLY)
        return -EACCES;
    if (generate) {
        of.snapshot = generate();
        return 0;
    }
    if ((of.flags & O_TRUNC) && acc != O_RDONLY) {
        std::lock_guard<std::mutex> g(m_);
        fill_ = nullptr;
        data_.clear();
    }
    return 0;
}

ssize_t File::read(OpenFile &of, void *buf, size_t len)
{
    if ((of.flags & O_ACCMODE) == O_WRONLY)
        return -EBADF;
    std::string local;
    const std::string *src = &of.snapshot;
    std::unique_lock<std::mutex> g(m_, std::defer_lock);
    if (!generate) {
        g.lock();
        src = &data_locked();
    }
    if (of.offset >= static_cast<off_t>(src->size()))
        return 0;
    size_t n = std::min(len, src->size() - static_cast<size_t>(of.offset));
    memcpy(buf, src->data() + of.offset, n);
    of.offset += static_cast<off_t>(n);
    return static_cast<ssize_t>(n);
}

ssize_t File::write(OpenFile &of, const void *buf, size_t len)
{
    if ((of.flags & O_ACCMODE) == O_RDONLY)
        return -EBADF;
    std::string now;
    {
        std::lock_guard<std::mutex> g(m_);
        data_locked();
        if (of.flags & O_APPEND)
            of.offset = static_cast<off_t>(data_.size());
        size_t end = static_cast<size_t>(of.offset) + len;
        if (end > data_.size())
            data_.resize(end, '\0');
        memcpy(data_.data() + of.offset, buf, len);
        of.offset += static_cast<off_t>(len);
        if (on_write)
            now = data_;
    }
    if (on_write)
        on_write(now);
    return static_cast<ssize_t>(len);
}

std::string File::content() const
{
    if (generate)
        return generate();
    std::lock_guard<std::mutex> g(m_);
    return data_locked();
}

void File::set_content_later(std::function<std::string()> make)
{
    std::lock_guard<std::mutex> g(m_);
    data_.clear();
    fill_ = std::move(make);
}

void File::set_content(std::string content)
{
    std::lock_guard<std::mutex> g(m_);
    fill_ = nullptr;
    data_ = std::move(content);
}

// ---------------------------------------------------------------------------
// Registries

namespace {
std::vector<Module> &module_list()
{
    static std::vector<Module> list;
    return list;
}
std::map<std::string, ActionInfo> &action_map()
{
    static std::map<std::string, ActionInfo> map;
    return map;
}
std::atomic<Box *> g_current{nullptr};
} // namespace

void register_module(Module m)
{
    auto &l = module_list();
    l.push_back(std::move(m));
    std::stable_sort(l.begin(), l.end(), [](const Module &a, const Module &b) { return a.order < b.order; });
}

const std::vector<Module> &modules() { return module_list(); }

void register_action(ActionInfo a)
{
    std::string name = a.name;
    action_map()[name] = std::move(a);
}

const std::map<std::string, ActionInfo> &actions() { return action_map(); }

// ---------------------------------------------------------------------------
// Box

Box::Box() : Box(json::object()) {}

namespace {
std::mutex g_default_clock_m;
BoxClock g_default_clock;

// The clock is chosen before the trace takes its start.
int64_t start_clock(const BoxClock &c)
{
    if (c.virtual_time)
        clock::start_virtual(c.seed);
    return clock::now_ns();
}
} // namespace

void Box::set_default_clock(BoxClock c)
{
    std::lock_guard<std::mutex> g(g_default_clock_m);
    g_default_clock = c;
}

BoxClock Box::default_clock()
{
    std::lock_guard<std::mutex> g(g_default_clock_m);
    return g_default_clock;
}

Box::Box(const json &profile, BoxClock clock)
    : clock_(clock), profile_(profile), trace_(start_clock(clock))
{
    start_ns_ = clock::now_ns();
    // A reader that goes away must not kill the process: the shell's pipes
    // report EPIPE instead.
    signal(SIGPIPE, SIG_IGN);
    init_base();
    // The model word, as the box's info driver gives it.
    if (profile_.is_object() && profile_.contains("model") && profile_["model"].is_string())
        add_file("/proc/stb/info/cvmodel", profile_["model"].get<std::string>() + "\n");
    // Plain files the profile names directly.
    if (profile_.is_object() && profile_.contains("files") && profile_["files"].is_object())
        for (auto it = profile_["files"].begin(); it != profile_["files"].end(); ++it)
            if (it.value().is_string())
                add_file(it.key(), it.value().get<std::string>());
    previous_ = g_current.exchange(this);
    for (const auto &m : modules())
        if (m.install)
            m.install(*this, profile_);
}

Box::~Box()
{
    stopping_ = true;
    changed();
    // Descriptors still open when the box goes are not released: the
    // device models that would take them go first.
    {
        std::lock_guard<std::mutex> g(fd_m_);
        for (auto &slot : fds_)
            slot.second.file->orphan = true;
    }
    // The device models go first, while the rest of the box (tree, trace,
    // change notification) is still whole for their threads to finish with.
    std::map<std::type_index, std::shared_ptr<void>> parts;
    {
        std::lock_guard<std::mutex> g(parts_m_);
        parts.swap(parts_);
    }
    parts.clear();
    Box *self = this;
    g_current.compare_exchange_strong(self, previous_);
}

Box *Box::current() { return g_current.load(); }

void Box::init_base()
{
    for (const char *d : {"/dev", "/proc", "/proc/stb", "/sys", "/tmp", "/root", "/etc", "/usr/bin"})
        add_dir(d);
    add_file("/dev/null");
}

std::string Box::boxes_dir()
{
    if (const char *env = getenv("BOXSIM_BOXES"))
        return env;
    return std::string(BOXSIM_SOURCE_DIR) + "/sim/boxes";
}

std::optional<json> Box::load_profile(const std::string &name_or_path, std::string &err)
{
    std::string path = name_or_path;
    bool is_path = name_or_path.find('/') != std::string::npos ||
                   (name_or_path.size() > 5 && name_or_path.ends_with(".json"));
    if (!is_path)
        path = boxes_dir() + "/" + name_or_path + ".json";
    std::ifstream in(path);
    if (!in) {
        err = is_path ? "cannot read box profile " + path
                      : "unknown box profile '" + name_or_path + "' (no " + path + ")";
        return std::nullopt;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    json j = json::parse(ss.str(), nullptr, false, true);
    if (j.is_discarded() || !j.is_object()) {
        err = "box profile " + path + " is not a JSON object";
        return std::nullopt;
    }
    // Each model checks its keys (the fault lines among them), so that a
    // bad profile is refused before anything runs.
    for (const auto &m : modules()) {
        if (!m.check)
            continue;
        std::string why = m.check(j);
        if (!why.empty()) {
            err = "box profile " + path + ": " + why;
            return std::nullopt;
        }
    }
    return j;
}

std::unique_ptr<Box> Box::from_profile(const std::string &name_or_path, std::string &err, BoxClock clock)
{
    auto j = load_profile(name_or_path, err);
    if (!j)
        return nullptr;
    return std::make_unique<Box>(*j, clock);
}

std::string Box::normalize(const std::string &path)
{
    std::string out;
    std::vector<std::string> parts;
    std::string cur;
    for (char c : path + "/") {
        if (c == '/') {
            if (cur == "..") {
                if (!parts.empty())
                    parts.pop_back();
            } else if (!cur.empty() && cur != ".") {
                parts.push_back(cur);
            }
            cur.clear();
        } else {
            cur += c;
        }
    }
    for (auto &p : parts)
        out += "/" + p;
    return out.empty() ? "/" : out;
}

void Box::add_dir(const std::string &path)
{
    std::string p = normalize(path);
    std::lock_guard<std::mutex> g(tree_m_);
    for (size_t pos = 1; pos != std::string::npos;) {
        size_t next = p.find('/', pos);
        std::string prefix = next == std::string::npos ? p : p.substr(0, next);
        auto &slot = tree_[prefix];
        if (!slot)
            slot = std::make_shared<Directory>();
        pos = next == std::string::npos ? next : next + 1;
    }
}

void Box::add_node(const std::string &path, std::shared_ptr<Node> node)
{
    std::string p = normalize(path);
    size_t slash = p.rfind('/');
    if (slash > 0)
        add_dir(p.substr(0, slash));
    std::lock_guard<std::mutex> g(tree_m_);
    tree_[p] = std::move(node);
}

std::shared_ptr<File> Box::add_file(const std::string &path, std::string content)
{
    auto f = std::make_shared<File>(std::move(content));
    add_node(path, f);
    return f;
}

void Box::remove(const std::string &path)
{
    std::string p = normalize(path);
    std::lock_guard<std::mutex> g(tree_m_);
    tree_.erase(p);
    std::string prefix = p + "/";
    for (auto it = tree_.lower_bound(prefix); it != tree_.end() && it->first.starts_with(prefix);)
        it = tree_.erase(it);
}

std::shared_ptr<Node> Box::lookup(const std::string &path) const
{
    std::string p = normalize(path);
    std::lock_guard<std::mutex> g(tree_m_);
    auto it = tree_.find(p);
    return it == tree_.end() ? nullptr : it->second;
}

bool Box::exists(const std::string &path) const { return lookup(path) != nullptr; }

std::shared_ptr<File> Box::file(const std::string &path) const
{
    return std::dynamic_pointer_cast<File>(lookup(path));
}

std::string Box::read_file(const std::string &path) const
{
    auto f = file(path);
    return f ? f->content() : std::string();
}

std::vector<std::string> Box::list(const std::string &dir) const
{
    std::string prefix = normalize(dir);
    if (prefix != "/")
        prefix += "/";
    std::vector<std::string> out;
    std::lock_guard<std::mutex> g(tree_m_);
    for (auto it = tree_.lower_bound(prefix); it != tree_.end() && it->first.starts_with(prefix); ++it) {
        std::string rest = it->first.substr(prefix.size());
        if (!rest.empty() && rest.find('/') == std::string::npos)
            out.push_back(rest);
    }
    return out;
}

void FileRef::reset()
{
    if (!of_)
        return;
    std::shared_ptr<OpenFile> of = std::move(of_);
    if (of->refs.fetch_sub(1) == 1 && !of->orphan.load())
        of->node->release(*of);
}

FileRef Box::open_file(const std::string &path, int flags, int &err)
{
    std::string p = normalize(path);
    auto node = lookup(p);
    int acc = flags & O_ACCMODE;
    if (!node) {
        if (!(flags & O_CREAT)) {
            err = ENOENT;
            return {};
        }
        size_t slash = p.rfind('/');
        auto parent = lookup(slash == 0 ? "/" : p.substr(0, slash));
        if (slash != 0 && (!parent || parent->kind() != S_IFDIR)) {
            err = parent ? ENOTDIR : ENOENT;
            return {};
        }
        node = add_file(p);
    } else if (node->kind() == S_IFDIR && acc != O_RDONLY) {
        err = EISDIR;
        return {};
    }
    auto of = std::make_shared<OpenFile>();
    of->node = node;
    of->path = p;
    of->flags = flags;
    of->opened_ns = clock::now_ns();
    int r = node->open(*of);
    if (r < 0) {
        err = -r;
        return {};
    }
    return FileRef(std::move(of));
}

int Box::fd_open(const std::string &path, int flags, int &err)
{
    {
        // A full table fails before the driver is asked.
        std::lock_guard<std::mutex> g(fd_m_);
        if (fds_.size() >= static_cast<size_t>(kMaxFds - kFirstFd)) {
            err = EMFILE;
            return -1;
        }
    }
    FileRef file = open_file(path, flags, err);
    if (!file)
        return -1;
    std::unique_lock<std::mutex> g(fd_m_);
    int fd = kFirstFd;
    for (const auto &slot : fds_) {
        if (slot.first != fd)
            break;
        ++fd;
    }
    if (fd >= kMaxFds) {
        g.unlock();
        err = EMFILE;
        return -1;  // `file` goes, and the driver releases it
    }
    fds_[fd] = FdSlot{std::move(file), (flags & O_CLOEXEC) != 0};
    return fd;
}

std::shared_ptr<OpenFile> Box::fd_get(int fd) const
{
    std::lock_guard<std::mutex> g(fd_m_);
    auto it = fds_.find(fd);
    return it == fds_.end() ? nullptr : it->second.file.shared();
}

FileRef Box::fd_hold(int fd) const
{
    std::lock_guard<std::mutex> g(fd_m_);
    auto it = fds_.find(fd);
    return it == fds_.end() ? FileRef() : it->second.file;
}

int Box::fd_close(int fd)
{
    FileRef file;
    {
        std::lock_guard<std::mutex> g(fd_m_);
        auto it = fds_.find(fd);
        if (it == fds_.end())
            return -EBADF;
        file = std::move(it->second.file);
        fds_.erase(it);
    }
    // The number is free at once; the description goes with its last
    // reference (here, unless a call or a command still holds it).
    file.reset();
    return 0;
}

std::vector<FileRef> Box::fd_inherit() const
{
    std::vector<FileRef> out;
    std::lock_guard<std::mutex> g(fd_m_);
    for (const auto &slot : fds_)
        if (!slot.second.cloexec)
            out.push_back(slot.second.file);
    return out;
}

json Box::fd_table() const
{
    json out = json::object();
    std::lock_guard<std::mutex> g(fd_m_);
    for (const auto &slot : fds_)
        out[std::to_string(slot.first)] = {{"path", slot.second.file->path}, {"cloexec", slot.second.cloexec}};
    return out;
}

void Box::changed()
{
    std::shared_ptr<const std::function<void()>> hook;
    {
        std::lock_guard<std::mutex> g(change_m_);
        ++generation_;
        hook = change_hook_;
    }
    change_cv_.notify_all();
    if (hook)
        (*hook)();
}

void Box::set_change_hook(std::function<void()> hook)
{
    std::lock_guard<std::mutex> g(change_m_);
    change_hook_ = hook ? std::make_shared<const std::function<void()>>(std::move(hook)) : nullptr;
}

bool Box::wait_change(const std::function<bool()> &pred, int64_t deadline, const char *what)
{
    std::unique_lock<std::mutex> g(change_m_);
    for (;;) {
        uint64_t gen = generation_;
        g.unlock();
        if (pred())
            return true;
        // The run ends, or a signal interrupts the call that waits here.
        if (stopping_ || clock::interrupted_now())
            return false;
        g.lock();
        if (generation_ != gen)
            continue;
        if (change_cv_.wait_until(g, deadline, [&] { return generation_ != gen; }, what) == false) {
            g.unlock();
            return pred();
        }
    }
}

int64_t Box::now_ms() const
{
    return (clock::now_ns() - start_ns_) / 1000000;
}

json Box::describe()
{
    json state = json::object();
    for (const auto &m : modules())
        if (m.describe)
            m.describe(*this, state);
    return state;
}

const char *errno_name(int err)
{
    switch (err) {
    case 0: return "OK";
    case EPERM: return "EPERM";
    case ENOENT: return "ENOENT";
    case EINTR: return "EINTR";
    case EIO: return "EIO";
    case ENXIO: return "ENXIO";
    case EBADF: return "EBADF";
    case EAGAIN: return "EAGAIN";
    case ENOMEM: return "ENOMEM";
    case EACCES: return "EACCES";
    case EFAULT: return "EFAULT";
    case EBUSY: return "EBUSY";
    case EEXIST: return "EEXIST";
    case ENODEV: return "ENODEV";
    case ENOTDIR: return "ENOTDIR";
    case EISDIR: return "EISDIR";
    case EINVAL: return "EINVAL";
    case ENOSPC: return "ENOSPC";
    case ENOTTY: return "ENOTTY";
    case EPIPE: return "EPIPE";
    case ETIMEDOUT: return "ETIMEDOUT";
    case EOPNOTSUPP: return "EOPNOTSUPP";
    case EMFILE: return "EMFILE";
    case EROFS: return "EROFS";
    case EOVERFLOW: return "EOVERFLOW";
    case ECHILD: return "ECHILD";
    default: return "E?";
    }
}

} // namespace boxsim
