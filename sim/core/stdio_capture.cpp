#include "core/stdio_capture.h"

#include "core/box.h"
#include "core/clock.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace boxsim {

namespace {
std::mutex g_active_m;
StdioCapture *g_active = nullptr;
} // namespace

ssize_t StdioCapture::cookie_write(void *c, const char *buf, size_t n)
{
    auto *s = static_cast<Stream *>(c);
    std::lock_guard<std::mutex> g(g_active_m);
    if (g_active)
        g_active->take(*s, buf, n);
    return static_cast<ssize_t>(n);
}

// What a virtual-clock stream was given: echoed, logged, cut into lines.
void StdioCapture::take(Stream &s, const char *buf, size_t n)
{
    if (echo_ && s.saved >= 0)
        (void)!::write(s.saved, buf, n);
    if (s.log) {
        fwrite(buf, 1, n, s.log);
        fflush(s.log);
    }
    std::lock_guard<std::mutex> g(m_);
    s.partial.append(buf, n);
    size_t nl;
    while ((nl = s.partial.find('\n')) != std::string::npos) {
        emit(s, s.partial.substr(0, nl));
        s.partial.erase(0, nl + 1);
    }
    if (s.partial.size() > 65536) {
        emit(s, s.partial);
        s.partial.clear();
    }
}

void StdioCapture::flush_partial()
{
    std::lock_guard<std::mutex> g(m_);
    for (Stream *s : {&out_, &err_})
        if (!s->partial.empty()) {
            emit(*s, s->partial);
            s->partial.clear();
        }
}

StdioCapture::StdioCapture(Box &box, FILE *out_log, FILE *err_log, bool echo) : box_(box), echo_(echo)
{
    fflush(stdout);
    fflush(stderr);
    if (box.clock().virtual_time) {
        virtual_ = true;
        static bool hooked = [] {
            clock::on_advance([] {
                std::lock_guard<std::mutex> g(g_active_m);
                if (g_active)
                    g_active->flush_partial();
            });
            return true;
        }();
        (void)hooked;
        out_.log = out_log;
        out_.op = "stdout";
        out_.saved = dup(STDOUT_FILENO);
        err_.log = err_log;
        err_.op = "stderr";
        err_.saved = dup(STDERR_FILENO);
        cookie_io_functions_t io = {nullptr, cookie_write, nullptr, nullptr};
        out_.original = stdout;
        err_.original = stderr;
        out_.cookie = fopencookie(&out_, "w", io);
        err_.cookie = fopencookie(&err_, "w", io);
        {
            std::lock_guard<std::mutex> g(g_active_m);
            g_active = this;
        }
        if (out_.cookie) {
            setvbuf(out_.cookie, nullptr, _IONBF, 0);
            stdout = out_.cookie;
        }
        if (err_.cookie) {
            setvbuf(err_.cookie, nullptr, _IONBF, 0);
            stderr = err_.cookie;
        }
        return;
    }
    // Unbuffered, so a message without a newline ("unknown model..") is seen
    // at once and in order with the trace.
    setvbuf(stdout, nullptr, _IONBF, 0);
    out_.target = STDOUT_FILENO;
    out_.log = out_log;
    out_.op = "stdout";
    err_.target = STDERR_FILENO;
    err_.log = err_log;
    err_.op = "stderr";
    for (Stream *s : {&out_, &err_}) {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0)
            continue;
        s->saved = dup(s->target);
        dup2(p[1], s->target);
        ::close(p[1]);
        s->read_end = p[0];
        s->reader = std::thread([this, s] { pump(*s); });
    }
}

StdioCapture::~StdioCapture()
{
    fflush(stdout);
    fflush(stderr);
    if (virtual_) {
        if (out_.cookie)
            stdout = out_.original;
        if (err_.cookie)
            stderr = err_.original;
        flush_partial();
        {
            std::lock_guard<std::mutex> g(g_active_m);
            g_active = nullptr;
        }
        for (Stream *s : {&out_, &err_}) {
            if (s->cookie)
                fclose(s->cookie);
            if (s->saved >= 0)
                ::close(s->saved);
        }
        return;
    }
    for (Stream *s : {&out_, &err_}) {
        if (s->saved < 0)
            continue;
        // Putting the original back closes the pipe's last write end: the
        // reader sees the end of the stream and stops. The reader echoes to
        // the saved descriptor, so that is closed only once it has stopped.
        dup2(s->saved, s->target);
        if (s->reader.joinable())
            s->reader.join();
        ::close(s->saved);
        ::close(s->read_end);
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
}

void StdioCapture::emit(Stream &s, const std::string &line)
{
    box_.trace().record({{"op", s.op}, {"text", line}});
}

void StdioCapture::pump(Stream &s)
{
    char buf[4096];
    for (;;) {
        struct pollfd p = {s.read_end, POLLIN, 0};
        int r = ::poll(&p, 1, s.partial.empty() ? -1 : 100);
        if (r < 0 && errno == EINTR)
            continue;
        if (r == 0) {
            // A line without its newline has waited long enough: record it.
            emit(s, s.partial);
            s.partial.clear();
            continue;
        }
        ssize_t n = ::read(s.read_end, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (echo_ && s.saved >= 0)
            (void)!::write(s.saved, buf, static_cast<size_t>(n));
        if (s.log) {
            fwrite(buf, 1, static_cast<size_t>(n), s.log);
            fflush(s.log);
        }
        s.partial.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = s.partial.find('\n')) != std::string::npos) {
            emit(s, s.partial.substr(0, nl));
            s.partial.erase(0, nl + 1);
        }
        if (s.partial.size() > 65536) {
            emit(s, s.partial);
            s.partial.clear();
        }
    }
    if (!s.partial.empty())
        emit(s, s.partial);
    s.partial.clear();
}

void StdioCapture::drain()
{
    fflush(stdout);
    fflush(stderr);
    if (virtual_)
        return;  // every write was recorded as it was made
    // The readers are idle when nothing is left in the pipes.
    for (int i = 0; i < 100; ++i) {
        int pending = 0;
        for (Stream *s : {&out_, &err_})
            if (s->read_end >= 0) {
                struct pollfd p = {s->read_end, POLLIN, 0};
                pending += ::poll(&p, 1, 0) > 0;
            }
        if (!pending)
            break;
        usleep(2000);
    }
    usleep(5000);
}

} // namespace boxsim
