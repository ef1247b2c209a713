// Runs the boxsim program as a user does, with its output in files.
#pragma once

#include "sim_test.h"

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace tooltest {

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class BoxsimProcess {
public:
    // Starts boxsim with `args`; its stdout and stderr go to files in `dir`.
    BoxsimProcess(const std::vector<std::string> &args, const std::string &dir)
        : out_path_(dir + "/boxsim.stdout"), err_path_(dir + "/boxsim.stderr")
    {
        std::vector<std::string> all = {BOXSIM_BINARY};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawn(&pid_, BOXSIM_BINARY, &fa, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~BoxsimProcess()
    {
        if (running()) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    BoxsimProcess(const BoxsimProcess &) = delete;
    BoxsimProcess &operator=(const BoxsimProcess &) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    bool running()
    {
        if (pid_ > 0 && !status_) {
            int st = 0;
            if (waitpid(pid_, &st, WNOHANG) == pid_)
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        }
        return pid_ > 0 && !status_;
    }

    // The exit status, once the process has ended within `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout)
    {
        boxtest::eventually([&] { return !running(); }, timeout);
        return status_;
    }

    void signal(int sig) { ::kill(pid_, sig); }

    std::string out() const { return read_file(out_path_); }
    std::string err() const { return read_file(err_path_); }

    // The port of the front panel, from the line boxsim prints when it serves.
    std::optional<int> served_port(std::chrono::milliseconds timeout)
    {
        const std::string mark = "front panel at http://127.0.0.1:";
        std::optional<int> port;
        boxtest::eventually(
            [&] {
                std::string o = out();
                size_t at = o.find(mark);
                if (at != std::string::npos && o.find('/', at + mark.size()) != std::string::npos)
                    port = atoi(o.c_str() + at + mark.size());
                return port.has_value() || !running();
            },
            timeout);
        return port;
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string out_path_, err_path_;
};

} // namespace tooltest
