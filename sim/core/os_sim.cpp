// The simulated box's backend of the platform facade. Every call acts on the
// current Box and is recorded in its trace.
#include "platform/os.h"

#include "app/task.h"
#include "core/box.h"
#include "core/clock.h"
#include "core/faults.h"
#include "core/shell.h"

#include <cerrno>
#include <csignal>
#include <cxxabi.h>
#include <dlfcn.h>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <algorithm>
#include <map>
#include <mutex>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

using boxsim::Box;
using boxsim::json;

namespace {

Box *box_or_fail()
{
    Box *b = Box::current();
    if (!b)
        errno = ENODEV;
    return b;
}

int fail(int err)
{
    errno = err;
    return -1;
}

void note_result(json &ev, long result, int err)
{
    ev["result"] = result;
    if (result < 0)
        ev["errno"] = boxsim::errno_name(err);
}

std::string hex(unsigned long v)
{
    char buf[32];
    snprintf(buf, sizeof buf, "0x%lx", v);
    return buf;
}

// The command's standard output as seen by os::system: the process's own.
class StdoutIo : public boxsim::ShellIo {
public:
    bool out(std::string_view text) override
    {
        // Through the stream, which the output capture may have replaced.
        bool ok = fwrite(text.data(), 1, text.size(), stdout) == text.size();
        fflush(stdout);
        return ok;
    }
};

// The pipe between a command's standard output and the system's popen
// stream, as the kernel's pipe behaves: its read end is a descriptor of the
// box (poll and read work on it), reads block until something was written or
// the writer is gone (then 0), poll gives POLLHUP once the writer is gone,
// a writer waits while 64 KiB are unread, and a write after the last reader
// has gone fails: the command dies of SIGPIPE there.
class Pipe : public boxsim::Node {
public:
    static constexpr size_t kCapacity = 65536;
    static constexpr short kPollHup = 0x010;

    explicit Pipe(Box &box) : box_(box) {}
    mode_t kind() const override { return S_IFIFO; }

    ssize_t read(boxsim::OpenFile &of, void *buf, size_t len) override
    {
        for (;;) {
            size_t n = 0;
            bool was_full = false;
            {
                std::lock_guard<std::mutex> g(m_);
                if (!data_.empty()) {
                    was_full = data_.size() >= kCapacity;
                    n = std::min(len, data_.size());
                    memcpy(buf, data_.data(), n);
                    data_.erase(0, n);
                } else if (write_closed_) {
                    return 0;
                } else if (of.flags & O_NONBLOCK) {
                    return -EAGAIN;
                }
            }
            if (n > 0) {
                if (was_full)
                    box_.changed();  // a writer waiting for room looks again
                return static_cast<ssize_t>(n);
            }
            if (box_.stopping())
                return 0;
            // A signal whose handler has no SA_RESTART ends the wait.
            if (boxsim::clock::signal_arrived())
                return -EINTR;
            box_.wait_change([this] { return readable() || box_.stopping(); }, boxsim::clock::kNever, "pipe read");
        }
    }

    short poll(boxsim::OpenFile &, short events) override
    {
        std::lock_guard<std::mutex> g(m_);
        short r = data_.empty() ? 0 : static_cast<short>(events & POLLIN_);
        if (write_closed_)
            r |= kPollHup;
        return r;
    }

    // The last reference to the read end went (pclose, or the system closed it).
    void release(boxsim::OpenFile &) override
    {
        {
            std::lock_guard<std::mutex> g(m_);
            read_closed_ = true;
        }
        box_.changed();
    }

    // The command's side. False when it cannot write: `killed` holds, or the
    // reader has gone (then `broken` is set: SIGPIPE).
    bool write(std::string_view text, const std::function<bool()> &killed)
    {
        while (!text.empty()) {
            box_.wait_change(
                [&] {
                    std::lock_guard<std::mutex> g(m_);
                    return data_.size() < kCapacity || read_closed_ || killed() || box_.stopping();
                },
                boxsim::clock::kNever, "pipe write");
            {
                std::lock_guard<std::mutex> g(m_);
                if (read_closed_) {
                    broken_ = true;
                    return false;
                }
                if (killed() || box_.stopping())
                    return false;
                size_t n = std::min(text.size(), kCapacity - data_.size());
                data_.append(text.substr(0, n));
                text.remove_prefix(n);
            }
            box_.changed();
        }
        return true;
    }
    void close_write()
    {
        {
            std::lock_guard<std::mutex> g(m_);
            write_closed_ = true;
        }
        box_.changed();
    }
    bool broken() const
    {
        std::lock_guard<std::mutex> g(m_);
        return broken_;
    }

private:
    bool readable() const
    {
        std::lock_guard<std::mutex> g(m_);
        return !data_.empty() || write_closed_;
    }

    Box &box_;
    mutable std::mutex m_;
    std::string data_;
    bool write_closed_ = false;
    bool read_closed_ = false;
    bool broken_ = false;
};

// The command's standard output as seen by os::popen: the pipe's write end.
class PipeIo : public boxsim::ShellIo {
public:
    explicit PipeIo(std::shared_ptr<Pipe> pipe) : pipe_(std::move(pipe)) {}
    bool out(std::string_view text) override { return pipe_->write(text, [this] { return ended(); }); }

private:
    std::shared_ptr<Pipe> pipe_;
};

struct PopenJob {
    std::string cmd;
    std::shared_ptr<Pipe> pipe;
    std::shared_ptr<PipeIo> io;
    boxsim::FileRef file;  // the read end, for the stream's own reads
    int fd = -1;           // its descriptor in the system's table
    int stdio_fileno = -1;  // the number glibc gave the cookie stream
    std::thread thread;
    int status = 0;
    bool killed = false;
};

std::mutex g_jobs_m;
std::map<FILE *, std::unique_ptr<PopenJob>> g_jobs;

// The stream's reads go to the pipe directly (stdio's own reads are not the
// system's calls and are not traced); its close lets go of the read end.
ssize_t pipe_read(void *c, char *buf, size_t size)
{
    auto *job = static_cast<PopenJob *>(c);
    if (!job->file)
        return -1;
    // The stream's read(2) may wait, and a signal may interrupt it (fgets
    // then returns NULL with the stream's error set, as on a box).
    boxsim::clock::InterruptScope signals(boxsim::clock::Interruptible::Restartable);
    ssize_t n;
    for (;;) {
        n = job->pipe->read(*job->file, buf, size);
        if (!signals.interrupted() || n > 0 || !signals.restart())
            break;
        signals.reset();
    }
    if (n < 0 || (n == 0 && signals.interrupted())) {
        errno = n < 0 ? static_cast<int>(-n) : EINTR;
        return -1;
    }
    return n;
}
int pipe_close(void *c)
{
    auto *job = static_cast<PopenJob *>(c);
    if (Box *box = Box::current(); box && job->fd >= 0 && box->fd_get(job->fd).get() == job->file.get())
        box->fd_close(job->fd);
    job->file.reset();
    return 0;
}

// A name for the process table, as killall finds it: the command's first
// word without its directory.
std::string process_name(const std::string &cmd)
{
    auto words = boxsim::split_words(cmd);
    if (words.empty())
        return {};
    const std::string &w = words[0];
    size_t slash = w.rfind('/');
    return slash == std::string::npos ? w : w.substr(slash + 1);
}

// fopen on the box: a stdio stream over a descriptor of the box.
ssize_t cookie_read(void *c, char *buf, size_t size)
{
    ssize_t n = os::read(static_cast<int>(reinterpret_cast<intptr_t>(c)), buf, size);
    return n < 0 ? -1 : n;
}
ssize_t cookie_write(void *c, const char *buf, size_t size)
{
    ssize_t n = os::write(static_cast<int>(reinterpret_cast<intptr_t>(c)), buf, size);
    return n < 0 ? 0 : n;
}
int cookie_seek(void *c, off64_t *pos, int whence)
{
    off_t r = os::lseek(static_cast<int>(reinterpret_cast<intptr_t>(c)), static_cast<off_t>(*pos), whence);
    if (r < 0)
        return -1;
    *pos = r;
    return 0;
}
int cookie_close(void *c) { return os::close(static_cast<int>(reinterpret_cast<intptr_t>(c))); }

} // namespace

namespace os {

int stat(const char *path, struct ::stat *st)
{
    boxsim::clock::facade_call("stat");
    Box *box = box_or_fail();
    if (!box || !path)
        return fail(box ? EFAULT : ENODEV);
    int err = 0;
    auto node = boxsim::fault_vanished(*box, path) ? nullptr : box->lookup(path);
    if (auto hit = boxsim::fault_check(*box, "stat", path); hit && !hit->hang)
        err = hit->error;
    else if (hit)
        boxsim::fault_hang(*box, *hit);
    if (!err && !node)
        err = ENOENT;
    json ev = {{"op", "stat"}, {"path", path}};
    note_result(ev, err ? -1 : 0, err);
    box->trace().record(std::move(ev));
    if (err)
        return fail(err);
    memset(st, 0, sizeof *st);
    st->st_mode = node->kind() | (node->kind() == S_IFDIR ? 0755 : 0644);
    st->st_size = node->size();
    st->st_nlink = 1;
    return 0;
}

int access(const char *path, int mode)
{
    boxsim::clock::facade_call("access");
    Box *box = box_or_fail();
    if (!box || !path)
        return fail(box ? EFAULT : ENODEV);
    (void)mode;
    bool ok = box->exists(path) && !boxsim::fault_vanished(*box, path);
    json ev = {{"op", "access"}, {"path", path}};
    note_result(ev, ok ? 0 : -1, ENOENT);
    box->trace().record(std::move(ev));
    return ok ? 0 : fail(ENOENT);
}

int open(const char *path, int flags, mode_t)
{
    boxsim::clock::facade_call("open");
    Box *box = box_or_fail();
    if (!box || !path)
        return fail(box ? EFAULT : ENODEV);
    int err = 0;
    int fd = -1;
    if (boxsim::fault_vanished(*box, path) && !(flags & O_CREAT)) {
        err = ENOENT;  // the node has gone with its device
    } else if (auto hit = boxsim::fault_check(*box, "open", path, 0, flags); hit && !hit->hang) {
        err = hit->error;
    } else {
        if (hit)
            boxsim::fault_hang(*box, *hit);
        fd = box->fd_open(path, flags, err);
    }
    json ev = {{"op", "open"}, {"path", path}};
    int acc = flags & O_ACCMODE;
    ev["mode"] = acc == O_RDONLY ? "r" : acc == O_WRONLY ? "w" : "rw";
    if (flags & O_NONBLOCK)
        ev["nonblock"] = true;
    if (flags & O_CLOEXEC)
        ev["cloexec"] = true;
    note_result(ev, fd, err);
    box->trace().record(std::move(ev));
    return fd < 0 ? fail(err) : fd;
}

int close(int fd)
{
    boxsim::clock::facade_call("close");
    Box *box = box_or_fail();
    if (!box)
        return -1;
    auto of = box->fd_get(fd);
    if (!of)
        return fail(EBADF);
    // A failing close still closes: Linux frees the number before it
    // reports the error, so the descriptor must not be closed again.
    int err = 0;
    if (auto hit = boxsim::fault_check(*box, "close", of->path, 0, of->flags); hit && !hit->hang)
        err = hit->error;
    else if (hit)
        boxsim::fault_hang(*box, *hit);
    json ev = {{"op", "close"}, {"path", of->path}};
    if (err)
        note_result(ev, -1, err);
    box->trace().record(std::move(ev));
    box->fd_close(fd);
    return err ? fail(err) : 0;
}

// A call of the driver that may wait, under the signals the box sends: on a
// blocking descriptor a signal that comes while it waits ends it with EINTR
// (restarted when the handler has SA_RESTART), unless bytes were transferred
// already; a non-blocking descriptor never waits.
template <class Driver>
static ssize_t interruptible(int flags, Driver driver)
{
    boxsim::clock::InterruptScope signals((flags & O_NONBLOCK) ? boxsim::clock::Interruptible::No
                                                               : boxsim::clock::Interruptible::Restartable);
    for (;;) {
        ssize_t n = driver();
        if (!signals.interrupted() || n > 0)
            return n;
        if (!signals.restart())
            return -EINTR;
        signals.reset();
    }
}

// A read or write on an open descriptor through the faults asked for on its
// path: a device that vanished (ENODEV), the fault's error, a hang, the
// driver given fewer bytes (a short transfer, whole input events only), or
// the driver as the caller asked.
template <class Transfer>
static ssize_t transfer(Box &box, const char *call, const boxsim::OpenFile &of, size_t count, Transfer driver)
{
    if (boxsim::fault_dead(box, of))
        return -ENODEV;
    auto hit = boxsim::fault_check(box, call, of.path, 0, of.flags);
    if (hit && hit->hang)
        boxsim::fault_hang(box, *hit);
    else if (hit && !hit->short_transfer)
        return -hit->error;
    size_t len = hit && hit->short_transfer ? boxsim::short_count(of.path, count) : count;
    return interruptible(of.flags, [&] { return driver(len); });
}

ssize_t read(int fd, void *buf, size_t count)
{
    boxsim::clock::facade_call("read");
    Box *box = box_or_fail();
    if (!box)
        return -1;
    // Held for the whole call: a close by another thread while it waits
    // frees the number, not the file.
    boxsim::FileRef of = box->fd_hold(fd);
    if (!of)
        return fail(EBADF);
    ssize_t n = transfer(*box, "read", *of, count, [&](size_t len) { return of->node->read(*of, buf, len); });
    if (n < 0)
        return fail(static_cast<int>(-n));
    if (n > 0) {
        json ev = {{"op", "read"}, {"path", of->path}, {"len", n}};
        of->node->describe_write(buf, static_cast<size_t>(n), ev);
        box->trace().record(std::move(ev));
    }
    return n;
}

ssize_t write(int fd, const void *buf, size_t count)
{
    boxsim::clock::facade_call("write");
    Box *box = box_or_fail();
    if (!box)
        return -1;
    boxsim::FileRef of = box->fd_hold(fd);
    if (!of)
        return fail(EBADF);
    ssize_t n = transfer(*box, "write", *of, count, [&](size_t len) { return of->node->write(*of, buf, len); });
    json ev = {{"op", "write"}, {"path", of->path}, {"len", count}};
    of->node->describe_write(buf, count, ev);
    note_result(ev, n, static_cast<int>(-n));
    box->trace().record(std::move(ev));
    return n < 0 ? fail(static_cast<int>(-n)) : n;
}

off_t lseek(int fd, off_t offset, int whence)
{
    boxsim::clock::facade_call("lseek");
    Box *box = box_or_fail();
    if (!box)
        return -1;
    auto of = box->fd_get(fd);
    if (!of)
        return fail(EBADF);
    off_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? of->offset : of->node->size();
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END)
        return fail(EINVAL);
    if (base + offset < 0)
        return fail(EINVAL);
    of->offset = base + offset;
    return of->offset;
}

int ioctl(int fd, unsigned long request, unsigned long arg)
{
    boxsim::clock::facade_call("ioctl");
    Box *box = box_or_fail();
    if (!box)
        return -1;
    boxsim::FileRef of = box->fd_hold(fd);
    json ev = {{"op", "ioctl"}, {"req", hex(request)}};
    if (!of) {
        // A descriptor the box never gave out: the driver is never reached.
        ev["fd"] = fd;
        note_result(ev, -1, EBADF);
        box->trace().record(std::move(ev));
        return fail(EBADF);
    }
    ev["path"] = of->path;
    int r;
    if (boxsim::fault_dead(*box, *of)) {
        r = -ENODEV;
    } else if (auto hit = boxsim::fault_check(*box, "ioctl", of->path, request, of->flags);
               hit && !hit->hang) {
        r = -hit->error;
    } else {
        if (hit)
            boxsim::fault_hang(*box, *hit);
        r = interruptible(of->flags, [&] { return static_cast<ssize_t>(of->node->ioctl(*of, request, arg, ev)); });
    }
    note_result(ev, r < 0 ? -1 : r, -r);
    box->trace().record(std::move(ev));
    return r < 0 ? fail(-r) : r;
}

void *mmap(void *, size_t length, int, int, int fd, off_t offset)
{
    boxsim::clock::facade_call("mmap");
    Box *box = box_or_fail();
    if (!box)
        return MAP_FAILED;
    boxsim::FileRef of = box->fd_hold(fd);
    if (!of) {
        errno = EBADF;
        return MAP_FAILED;
    }
    int err = 0;
    void *p = nullptr;
    bool dead = boxsim::fault_dead(*box, *of);
    auto hit = dead ? std::nullopt : boxsim::fault_check(*box, "mmap", of->path);
    if (dead) {
        err = ENODEV;
    } else if (hit && !hit->hang) {
        err = hit->error;
    } else {
        if (hit)
            boxsim::fault_hang(*box, *hit);
        p = of->node->mmap(*of, length, offset, err);
    }
    json ev = {{"op", "mmap"}, {"path", of->path}, {"len", length}};
    note_result(ev, p ? 0 : -1, err);
    box->trace().record(std::move(ev));
    if (!p) {
        errno = err;
        return MAP_FAILED;
    }
    return p;
}

int munmap(void *, size_t) { return 0; }

int poll(struct pollfd *fds, nfds_t nfds, int timeout_ms)
{
    boxsim::clock::facade_call("poll");
    Box *box = box_or_fail();
    if (!box)
        return -1;
    // The files are taken when the call starts and held until it returns,
    // as the kernel's poll holds each file it waits on: a descriptor that
    // another thread closes meanwhile does not end the wait. Once a held
    // file is ready its number is looked at again; a number closed
    // meanwhile then reads POLLNVAL.
    std::vector<boxsim::FileRef> held(nfds);
    for (nfds_t i = 0; i < nfds; ++i)
        if (fds[i].fd >= 0)
            held[i] = box->fd_hold(fds[i].fd);
    for (nfds_t i = 0; i < nfds; ++i) {
        if (!held[i])
            continue;
        if (auto hit = boxsim::fault_check(*box, "poll", held[i]->path, 0, held[i]->flags)) {
            if (hit->hang) {
                boxsim::fault_hang(*box, *hit);
                break;
            }
            box->trace().record({{"op", "poll"}, {"path", held[i]->path}, {"result", -1},
                                 {"errno", boxsim::errno_name(hit->error)}});
            return fail(hit->error);
        }
    }
    auto scan = [&] {
        int ready = 0;
        for (nfds_t i = 0; i < nfds; ++i) {
            fds[i].revents = 0;
            if (fds[i].fd < 0)
                continue;
            if (!held[i])
                fds[i].revents = POLLNVAL;
            else if (boxsim::fault_dead(*box, *held[i]))
                fds[i].revents = POLLERR | POLLHUP;  // the device is gone
            else
                fds[i].revents = held[i]->node->poll(*held[i], fds[i].events);
            if (fds[i].revents != 0 && held[i] && box->fd_get(fds[i].fd) != held[i].shared())
                fds[i].revents = POLLNVAL;
            ready += fds[i].revents != 0;
        }
        return ready;
    };
    int ready = scan();
    if (ready || timeout_ms == 0)
        return ready;
    int64_t deadline = timeout_ms < 0 ? boxsim::clock::kNever
                                      : boxsim::clock::now_ns() + static_cast<int64_t>(timeout_ms) * 1000000;
    // A signal ends the wait with EINTR, whatever the handler's flags.
    boxsim::clock::InterruptScope signals(boxsim::clock::Interruptible::Always);
    box->wait_change([&] { return (ready = scan()) > 0; }, deadline, "poll");
    if (ready == 0 && signals.interrupted()) {
        box->trace().record({{"op", "poll"}, {"result", -1}, {"errno", "EINTR"}});
        return fail(EINTR);
    }
    return ready;
}

void sync()
{
    boxsim::clock::facade_call("sync");
    if (Box *box = Box::current())
        box->trace().record({{"op", "sync"}});
}

FILE *fopen(const char *path, const char *mode)
{
    if (!mode)
        return errno = EINVAL, nullptr;
    int flags;
    bool plus = strchr(mode, '+') != nullptr;
    switch (mode[0]) {
    case 'r': flags = plus ? O_RDWR : O_RDONLY; break;
    case 'w': flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC; break;
    case 'a': flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND; break;
    default: errno = EINVAL; return nullptr;
    }
    // "e", as the C library reads it: the descriptor is close-on-exec.
    if (strchr(mode, 'e'))
        flags |= O_CLOEXEC;
    int fd = os::open(path, flags, 0644);
    if (fd < 0)
        return nullptr;
    cookie_io_functions_t io = {cookie_read, cookie_write, cookie_seek, cookie_close};
    FILE *f = fopencookie(reinterpret_cast<void *>(static_cast<intptr_t>(fd)), mode, io);
    if (!f) {
        os::close(fd);
        return nullptr;
    }
    return f;
}

FILE *popen(const char *command, const char *mode)
{
    boxsim::clock::facade_call("popen");
    Box *box = box_or_fail();
    if (!box || !command || !mode)
        return nullptr;
    if (mode[0] != 'r') {
        errno = EINVAL;
        return nullptr;
    }
    // The pipe or the shell cannot be made (pipe(2) or fork(2) failed):
    // NULL with errno, as popen(3) gives it.
    if (auto hit = boxsim::fault_check(*box, "popen", process_name(command))) {
        boxsim::fault_hang(*box, *hit);
        if (hit->error) {
            box->trace().record({{"op", "popen"}, {"cmd", command}, {"errno", boxsim::errno_name(hit->error)}});
            errno = hit->error;
            return nullptr;
        }
    }
    // The descriptors the command inherits are those open now, at the fork,
    // but for the streams of earlier popen calls, which a child of popen
    // never keeps (POSIX).
    std::vector<boxsim::FileRef> inherited;
    for (auto &f : box->fd_inherit())
        if (!std::dynamic_pointer_cast<Pipe>(f->node))
            inherited.push_back(std::move(f));

    auto job = std::make_unique<PopenJob>();
    job->cmd = command;
    job->pipe = std::make_shared<Pipe>(*box);
    job->io = std::make_shared<PipeIo>(job->pipe);
    // The read end takes the lowest free descriptor of the system, as
    // pipe(2) gives it; close-on-exec with the mode's "e", as glibc does.
    // (The box names descriptors by path: the pipe has one for a moment.)
    static std::atomic<unsigned> serial{0};
    std::string tmp = "/proc/.pipe-" + std::to_string(serial++);
    box->add_node(tmp, job->pipe);
    int err = 0;
    job->fd = box->fd_open(tmp, O_RDONLY | (strchr(mode, 'e') ? O_CLOEXEC : 0), err);
    box->remove(tmp);
    if (job->fd < 0) {
        errno = err;
        return nullptr;
    }
    job->file = box->fd_hold(job->fd);
    job->file->path = "pipe:[" + job->cmd + "]";
    cookie_io_functions_t io = {pipe_read, nullptr, nullptr, pipe_close};
    FILE *f = fopencookie(job.get(), "r", io);
    if (!f) {
        box->fd_close(job->fd);
        return nullptr;
    }
    // fileno() of the stream names the read end, so that the system may
    // poll and read it as it would a real popen stream's. (glibc marks a
    // cookie stream with a negative number and never uses it for a call.)
    job->stdio_fileno = f->_fileno;
    f->_fileno = job->fd;
    box->trace().record({{"op", "popen"}, {"cmd", command}, {"fd", job->fd}});
    PopenJob *j = job.get();
    // killall finds the command by its name while it runs.
    boxsim::add_process(*box, process_name(job->cmd), job->io);
    job->thread = boxsim::clock::spawn("sh -c " + job->cmd, [box, j, inherited = std::move(inherited)]() mutable {
        j->status = boxsim::run_shell(*box, j->cmd, *j->io, std::move(inherited));
        j->killed = j->io->ended();
        j->pipe->close_write();
        j->io->end();  // gone from the process table
    });
    std::lock_guard<std::mutex> g(g_jobs_m);
    g_jobs[f] = std::move(job);
    return f;
}

int pclose(FILE *stream)
{
    boxsim::clock::facade_call("pclose");
    std::unique_ptr<PopenJob> job;
    {
        std::lock_guard<std::mutex> g(g_jobs_m);
        auto it = g_jobs.find(stream);
        if (it == g_jobs.end()) {
            errno = ECHILD;
            return -1;
        }
        job = std::move(it->second);
        g_jobs.erase(it);
    }
    // The read end goes; then, as pclose does, wait for the command to end:
    // it ends by itself, at its next write (SIGPIPE), or when killed. The
    // stream gets back glibc's mark of a cookie stream first: its number is
    // the box's descriptor, which fclose must not take for the process's own
    // (the race detector took it so, against the reader of the process's
    // descriptor of that number).
    stream->_fileno = job->stdio_fileno;
    fclose(stream);
    boxsim::clock::join(job->thread);
    // The wait status: the exit status, or the signal that ended it.
    int wait_status = job->killed ? SIGKILL : job->pipe->broken() ? SIGPIPE : (job->status & 0xff) << 8;
    if (Box *box = Box::current()) {
        json ev = {{"op", "pclose"}, {"cmd", job->cmd}};
        if (job->killed || job->pipe->broken())
            ev["signal"] = job->killed ? "SIGKILL" : "SIGPIPE";
        else
            ev["status"] = job->status;
        box->trace().record(std::move(ev));
    }
    return wait_status;
}

int system(const char *command)
{
    boxsim::clock::facade_call("system");
    Box *box = box_or_fail();
    if (!box)
        return -1;
    if (!command)
        return 1;  // a shell is available
    // The shell cannot be started (fork failed): -1, as system(3) gives it.
    {
        auto words = boxsim::split_words(command);
        std::string name = words.empty() ? "" : words[0].substr(words[0].rfind('/') == std::string::npos ? 0 : words[0].rfind('/') + 1);
        if (auto hit = boxsim::fault_check(*box, "system", name)) {
            box->trace().record({{"op", "system"}, {"cmd", command}, {"result", -1}, {"errno", boxsim::errno_name(hit->error)}});
            return fail(hit->error);
        }
    }
    StdoutIo io;
    // The command inherits every descriptor not opened close-on-exec and
    // holds it until it ends.
    int status = boxsim::run_shell(*box, command, io, box->fd_inherit());
    box->trace().record({{"op", "system"}, {"cmd", command}, {"status", status}});
    return status << 8;
}

// ---------------------------------------------------------------------------
// Time and threads: the box's clock (sim/core/clock.h). On the real clock
// these forward to the C library; on the virtual clock every wait gives the
// turn to another of the box's threads.

namespace {

using boxsim::clock::kNever;

int64_t to_ns(const struct timespec &ts) { return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec; }

void from_ns(int64_t ns, struct timespec *ts)
{
    ts->tv_sec = static_cast<time_t>(ns / 1000000000LL);
    ts->tv_nsec = static_cast<long>(ns % 1000000000LL);
}

// Takes the mutex on the virtual clock: a held mutex gives up the turn.
int virtual_lock(pthread_mutex_t *mutex)
{
    for (;;) {
        int rc = ::pthread_mutex_trylock(mutex);
        if (rc != EBUSY)
            return rc;
        boxsim::clock::block(mutex, kNever, "pthread_mutex_lock");
    }
}

int virtual_unlock(pthread_mutex_t *mutex)
{
    int rc = ::pthread_mutex_unlock(mutex);
    boxsim::clock::wake_all(mutex);
    return rc;
}

} // namespace

int clock_gettime(clockid_t clock, struct timespec *ts)
{
    if (!ts)
        return fail(EFAULT);
    if (!boxsim::clock::is_virtual()) {
        // The real clock at the host's pace, or a clock its pace leaves alone.
        if (boxsim::clock::real_speed() == 1 || (clock != CLOCK_MONOTONIC && clock != CLOCK_REALTIME))
            return ::clock_gettime(clock, ts);
    } else {
        boxsim::clock::facade_call("clock_gettime");
    }
    from_ns(clock == CLOCK_REALTIME ? boxsim::clock::wall_ns() : boxsim::clock::now_ns(), ts);
    return 0;
}

int gettimeofday(struct timeval *tv)
{
    if (!tv)
        return fail(EFAULT);
    if (!boxsim::clock::is_virtual()) {
        if (boxsim::clock::real_speed() == 1)
            return ::gettimeofday(tv, nullptr);
    } else {
        boxsim::clock::facade_call("gettimeofday");
    }
    int64_t ns = boxsim::clock::wall_ns();
    tv->tv_sec = static_cast<time_t>(ns / 1000000000LL);
    tv->tv_usec = static_cast<suseconds_t>(ns % 1000000000LL / 1000);
    return 0;
}

int nanosleep(const struct timespec *request, struct timespec *remaining)
{
    int speed = boxsim::clock::real_speed();
    if (!boxsim::clock::participant() && (speed == 1 || !request))
        return ::nanosleep(request, remaining);
    if (!request || request->tv_nsec < 0 || request->tv_nsec > 999999999L || request->tv_sec < 0)
        return fail(EINVAL);
    if (!boxsim::clock::participant()) {
        // The real clock at another pace: the host sleeps that much shorter,
        // and the time left is the box's.
        struct timespec host;
        from_ns(boxsim::clock::host_wait_ns(to_ns(*request)), &host);
        int rc = ::nanosleep(&host, remaining);
        if (rc != 0 && remaining)
            from_ns(to_ns(*remaining) * speed, remaining);
        return rc;
    }
    boxsim::clock::facade_call("nanosleep");
    int64_t until = boxsim::clock::now_ns() + to_ns(*request);
    if (Box *box = Box::current()) {
        if (auto hit = boxsim::fault_check(*box, "nanosleep", "*")) {
            if (hit->hang) {
                boxsim::fault_hang(*box, *hit);
            } else {
                if (remaining)
                    *remaining = *request;
                return fail(hit->error);
            }
        }
    }
    // A signal ends the sleep early with EINTR and the time left.
    boxsim::clock::InterruptScope signals(boxsim::clock::Interruptible::Always);
    boxsim::clock::sleep_until(until);
    if (signals.interrupted()) {
        int64_t left = std::max<int64_t>(0, until - boxsim::clock::now_ns());
        if (remaining)
            from_ns(left, remaining);
        return fail(EINTR);
    }
    return 0;
}

int pthread_create(pthread_t *thread, void *(*start)(void *), void *arg)
{
    std::string name;
    if (boxsim::clock::is_virtual()) {
        boxsim::clock::facade_call("pthread_create");
        // The task layer starts every task through one routine: name the task by its function.
        name = boxsim::clock::function_name(reinterpret_cast<void *>(start));
        if (name == "pthreadProc" && arg) {
            name = boxsim::clock::function_name(reinterpret_cast<void *>(static_cast<BKNI_TaskHandle>(arg)->function));
            if (name.empty())
                name = "task";
        }
    }
    return boxsim::clock::thread_create(thread, start, arg, name);
}

int pthread_cancel(pthread_t thread) { return boxsim::clock::thread_cancel(thread); }
int pthread_join(pthread_t thread, void **result) { return boxsim::clock::thread_join(thread, result); }
int pthread_mutex_init(pthread_mutex_t *mutex) { return ::pthread_mutex_init(mutex, nullptr); }
int pthread_mutex_destroy(pthread_mutex_t *mutex) { return ::pthread_mutex_destroy(mutex); }

int pthread_mutex_lock(pthread_mutex_t *mutex)
{
    if (!boxsim::clock::participant())
        return ::pthread_mutex_lock(mutex);
    boxsim::clock::facade_call("pthread_mutex_lock");
    return virtual_lock(mutex);
}

int pthread_mutex_trylock(pthread_mutex_t *mutex)
{
    boxsim::clock::facade_call("pthread_mutex_trylock");
    return ::pthread_mutex_trylock(mutex);
}

int pthread_mutex_unlock(pthread_mutex_t *mutex)
{
    if (!boxsim::clock::is_virtual())
        return ::pthread_mutex_unlock(mutex);
    return virtual_unlock(mutex);
}

int pthread_cond_init(pthread_cond_t *cond, const pthread_condattr_t *attr) { return ::pthread_cond_init(cond, attr); }
int pthread_cond_destroy(pthread_cond_t *cond) { return ::pthread_cond_destroy(cond); }

int pthread_cond_signal(pthread_cond_t *cond)
{
    boxsim::clock::wake_one(cond);
    return ::pthread_cond_signal(cond);
}

int pthread_cond_broadcast(pthread_cond_t *cond)
{
    boxsim::clock::wake_all(cond);
    return ::pthread_cond_broadcast(cond);
}

int pthread_cond_wait(pthread_cond_t *cond, pthread_mutex_t *mutex)
{
    if (!boxsim::clock::participant())
        return ::pthread_cond_wait(cond, mutex);
    boxsim::clock::facade_call("pthread_cond_wait");
    virtual_unlock(mutex);
    boxsim::clock::block(cond, kNever, "pthread_cond_wait");
    virtual_lock(mutex);
    return 0;
}

int pthread_cond_timedwait(pthread_cond_t *cond, pthread_mutex_t *mutex, const struct timespec *deadline)
{
    if (!boxsim::clock::participant()) {
        if (boxsim::clock::real_speed() == 1 || !deadline || deadline->tv_nsec < 0 || deadline->tv_nsec > 999999999L)
            return ::pthread_cond_timedwait(cond, mutex, deadline);
        // The real clock at another pace: the deadline (on the monotonic
        // clock, as the system's conditions take it) as the host's.
        struct timespec host;
        from_ns(boxsim::clock::host_time_ns(to_ns(*deadline)), &host);
        return ::pthread_cond_timedwait(cond, mutex, &host);
    }
    if (!deadline || deadline->tv_nsec < 0 || deadline->tv_nsec > 999999999L)
        return EINVAL;
    boxsim::clock::facade_call("pthread_cond_timedwait");
    virtual_unlock(mutex);
    int64_t until = to_ns(*deadline);
    bool woken = boxsim::clock::now_ns() < until && boxsim::clock::block(cond, until, "pthread_cond_timedwait");
    virtual_lock(mutex);
    return woken ? 0 : ETIMEDOUT;
}

} // namespace os
