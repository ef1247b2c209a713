// Captures the process's standard output and error while the system runs on
// the simulated box: every line goes into the trace ("stdout"/"stderr"), to an
// optional log file, and on to where it would have gone.
#pragma once

#include <cstdio>
#include <string>
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

private:
    struct Stream {
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

    Box &box_;
    bool echo_;
    Stream out_, err_;
};

} // namespace boxsim
