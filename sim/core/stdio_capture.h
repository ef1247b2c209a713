// Captures the process's standard output and error while the system runs on
// the simulated box: every line goes into the trace ("stdout"/"stderr"), to an
// optional log file, and on to where it would have gone.
//
// On the real clock the descriptors 1 and 2 become pipes read by a thread of
// their own. On the virtual clock stdout and stderr become streams whose
// writes are recorded at once by the writing thread, so each line has its
// place in the trace and its time on the box's clock; a line without its
// newline is recorded when the clock next moves.
#pragma once

#include <cstdio>
#include <string>
#include <mutex>
#include <thread>

namespace boxsim {

class Box;

class StdioCapture {
public:
    // `out_log`/`err_log` may be null; `echo` passes the text on to the
    // original descriptors.
    StdioCapture(Box &box, FILE *out_log, FILE *err_log, bool echo);
    ~StdioCapture();
    StdioCapture(const StdioCapture &) = delete;
    StdioCapture &operator=(const StdioCapture &) = delete;

    // Flushes stdio and waits until everything written so far is recorded.
    void drain();

    // Records lines without their newline (the virtual clock moved).
    void flush_partial();

private:
    struct Stream {
        FILE *original = nullptr;  // virtual clock: the stream replaced
        FILE *cookie = nullptr;
        int target = -1;     // 1 or 2
        int saved = -1;      // the original descriptor
        int read_end = -1;
        FILE *log = nullptr;
        const char *op = "";
        std::thread reader;
        std::string partial;
    };
    void pump(Stream &s);
    void emit(Stream &s, const std::string &line);
    void take(Stream &s, const char *buf, size_t n);
    static ssize_t cookie_write(void *c, const char *buf, size_t n);

    Box &box_;
    bool echo_;
    bool virtual_ = false;
    std::mutex m_;  // virtual clock: the partial lines
    Stream out_, err_;
};

} // namespace boxsim
