// The simulated box's shell: the small interpreter behind os::system and
// os::popen. It knows the command forms the system uses; device models add
// the commands of their own (udhcpc, ifconfig, showiframe) by registering
// them. Exit statuses are those a shell gives: 127 for an unknown command,
// 1 when a redirection target cannot be opened.
#pragma once

#include "core/box.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace boxsim {

class Box;

// A running command: where its standard output goes, and whether whoever
// reads it has gone away or it was killed.
class ShellIo {
public:
    virtual ~ShellIo() = default;
    // Writes to the command's standard output; false once nobody reads it.
    virtual bool out(std::string_view text) = 0;
    virtual bool err(std::string_view text);
    // Sleeps like the command would; false (early) when the command is ended.
    bool sleep_ms(int ms);
    bool ended() const { return ended_.load(); }
    void end();

protected:
    std::atomic<bool> ended_{false};
};

// A process the shell keeps running in the background (a daemon such as the
// DHCP client once it has a lease). killall ends it by name.
struct Process {
    std::string name;
    std::shared_ptr<ShellIo> io;
    std::vector<FileRef> fds;  // inherited from the system: held until it is killed
};

using Command = std::function<int(Box &, ShellIo &, const std::vector<std::string> &argv)>;
void register_command(const std::string &name, Command cmd);

// Runs one command line; returns its exit status (0 to 255).
int run_shell(Box &box, const std::string &line, ShellIo &io);
// The same, for a command that inherited these descriptors of the system
// (Box::fd_inherit when it was started): they are held until it ends, and a
// daemon it leaves behind holds them until it is killed.
int run_shell(Box &box, const std::string &line, ShellIo &io, std::vector<FileRef> inherited);

// Splits a command line into words (quotes and backslashes as a shell does).
std::vector<std::string> split_words(const std::string &line);

// Background processes of the box.
void add_process(Box &box, const std::string &name, std::shared_ptr<ShellIo> io);
int kill_processes(Box &box, const std::string &name);  // number ended
int count_processes(Box &box, const std::string &name);

} // namespace boxsim
