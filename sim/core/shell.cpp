#include "core/shell.h"

#include "core/box.h"
#include "core/faults.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <thread>
#include <unistd.h>


namespace boxsim {

bool ShellIo::err(std::string_view text)
{
    fwrite(text.data(), 1, text.size(), stderr);
    fflush(stderr);
    return true;
}

bool ShellIo::sleep_ms(int ms)
{
    int64_t deadline = clock::now_ns() + static_cast<int64_t>(ms) * 1000000;
    Box *box = Box::current();
    if (!box) {
        clock::sleep_until(deadline);
        return !ended();
    }
    box->wait_change([this] { return ended(); }, deadline, "shell sleep");
    return !ended();
}

void ShellIo::end()
{
    ended_ = true;
    if (Box *box = Box::current())
        box->changed();
}

namespace {

std::map<std::string, Command> &command_map()
{
    static std::map<std::string, Command> map;
    return map;
}

// The descriptors the command running on this thread inherited: a command
// that goes to the background keeps them.
thread_local const std::vector<FileRef> *t_inherited = nullptr;

struct ProcessTable {
    std::mutex m;
    std::vector<Process> procs;
};

// Output redirected into a file of the box.
class FileIo : public ShellIo {
public:
    FileIo(FileRef of, ShellIo &outer) : of_(std::move(of)), outer_(outer) {}
    bool out(std::string_view text) override
    {
        return of_->node->write(*of_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    bool err(std::string_view text) override { return outer_.err(text); }

private:
    FileRef of_;
    ShellIo &outer_;
};

int builtin_echo(Box &, ShellIo &io, const std::vector<std::string> &argv)
{
    bool newline = true;
    size_t i = 1;
    if (i < argv.size() && argv[i] == "-n") {
        newline = false;
        ++i;
    }
    std::string text;
    for (size_t first = i; i < argv.size(); ++i) {
        if (i > first)
            text += ' ';
        text += argv[i];
    }
    if (newline)
        text += '\n';
    io.out(text);
    return 0;
}

int builtin_cat(Box &box, ShellIo &io, const std::vector<std::string> &argv)
{
    int status = 0;
    for (size_t i = 1; i < argv.size(); ++i) {
        int err = 0;
        FileRef of = box.open_file(argv[i], O_RDONLY, err);
        if (!of) {
            io.err("cat: can't open '" + argv[i] + "': " + strerror(err) + "\n");
            status = 1;
            continue;
        }
        char buf[4096];
        for (;;) {
            ssize_t n = of->node->read(*of, buf, sizeof buf);
            if (n <= 0)
                break;
            if (!io.out(std::string_view(buf, static_cast<size_t>(n))))
                break;
        }
    }
    return status;
}

int builtin_killall(Box &box, ShellIo &io, const std::vector<std::string> &argv)
{
    std::vector<std::string> names;
    for (size_t i = 1; i < argv.size(); ++i)
        if (argv[i].empty() || argv[i][0] != '-')
            names.push_back(argv[i]);
    if (names.empty()) {
        io.err("killall: usage: killall [-SIGNAL] NAME...\n");
        return 1;
    }
    int status = 0;
    for (const auto &n : names)
        if (kill_processes(box, n) == 0) {
            io.err("killall: " + n + ": no process killed\n");
            status = 1;
        }
    return status;
}

int builtin_true(Box &, ShellIo &, const std::vector<std::string> &) { return 0; }
int builtin_sleep(Box &, ShellIo &io, const std::vector<std::string> &argv)
{
    int ms = argv.size() > 1 ? static_cast<int>(atof(argv[1].c_str()) * 1000) : 0;
    io.sleep_ms(ms);
    return 0;
}

BOXSIM_REGISTER({
    register_command("echo", builtin_echo);
    register_command("cat", builtin_cat);
    register_command("killall", builtin_killall);
    register_command("true", builtin_true);
    register_command("sleep", builtin_sleep);
});

// Runs one simple command (words, with redirections already taken out).
int run_simple(Box &box, std::vector<std::string> words, ShellIo &io)
{
    std::string target;
    bool append = false;
    bool err_to_null = false;
    std::vector<std::string> argv;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string &w = words[i];
        if (w == ">" || w == ">>" || w == "1>") {
            append = w == ">>";
            if (i + 1 < words.size())
                target = words[++i];
        } else if (w.size() > 1 && w[0] == '>' && w != ">>") {
            append = w.starts_with(">>");
            target = w.substr(append ? 2 : 1);
        } else if (w == "2>/dev/null" || w == "2>&1") {
            err_to_null = w == "2>/dev/null";
        } else {
            argv.push_back(w);
        }
    }
    (void)err_to_null;
    if (argv.empty())
        return 0;
    std::string name = argv[0];
    // Commands are found by their base name, as on the box's PATH.
    std::string base = name.substr(name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1);
    // A command made to fail or to be missing never runs.
    if (auto hit = fault_check(box, "command", base)) {
        if (hit->hang) {
            // A command that does not answer for a while, then goes on.
            fault_hang(box, *hit);
        } else {
            if (hit->missing)
                io.err("sh: " + name + ": not found\n");
            return hit->status;
        }
    }
    auto &cmds = command_map();
    auto it = cmds.find(name);
    if (it == cmds.end())
        it = cmds.find(base);
    if (it == cmds.end()) {
        io.err("sh: " + name + ": not found\n");
        return 127;
    }
    if (target.empty())
        return it->second(box, io, argv);

    int flags = O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC);
    // The shell's own file access is not the system's: it is not traced
    // (the command line is), but the device behind the file sees the write.
    int err = 0;
    FileRef of = box.open_file(target, flags, err);
    if (!of) {
        io.err("sh: can't create " + target + ": " + strerror(err) + "\n");
        return 1;
    }
    FileIo fio(std::move(of), io);
    return it->second(box, fio, argv);
}

} // namespace

void register_command(const std::string &name, Command cmd) { command_map()[name] = std::move(cmd); }

std::vector<std::string> split_words(const std::string &line)
{
    std::vector<std::string> words;
    std::string cur;
    bool have = false;
    char quote = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (quote) {
            if (c == quote)
                quote = 0;
            else if (c == '\\' && quote == '"' && i + 1 < line.size())
                cur += line[++i];
            else
                cur += c;
        } else if (c == '\'' || c == '"') {
            quote = c;
            have = true;
        } else if (c == '\\' && i + 1 < line.size()) {
            cur += line[++i];
            have = true;
        } else if (c == ' ' || c == '\t' || c == '\n') {
            if (have)
                words.push_back(cur);
            cur.clear();
            have = false;
        } else if (c == ';' || c == '&' || c == '|') {
            if (have)
                words.push_back(cur);
            cur.clear();
            have = false;
            std::string op(1, c);
            if (i + 1 < line.size() && line[i + 1] == c && c != ';')
                op += line[++i];
            words.push_back(op);
        } else {
            cur += c;
            have = true;
        }
    }
    if (have)
        words.push_back(cur);
    return words;
}

int run_shell(Box &box, const std::string &line, ShellIo &io, std::vector<FileRef> inherited)
{
    // Held until the command ends (they go with `inherited`), and by a
    // daemon it leaves behind until that is killed.
    const std::vector<FileRef> *outer = t_inherited;
    t_inherited = &inherited;
    int status = run_shell(box, line, io);
    t_inherited = outer;
    return status;
}

int run_shell(Box &box, const std::string &line, ShellIo &io)
{
    std::vector<std::string> words = split_words(line);
    int status = 0;
    std::vector<std::string> cmd;
    std::string join = ";";
    auto flush = [&](const std::string &next) {
        bool run = join == ";" || join == "&" || (join == "&&" && status == 0) || (join == "||" && status != 0);
        if (run && !cmd.empty())
            status = run_simple(box, cmd, io);
        cmd.clear();
        join = next;
    };
    for (auto &w : words) {
        if (w == ";" || w == "&&" || w == "||" || w == "&")
            flush(w);
        else if (w == "|")
            flush(";");  // pipelines are not used by the system; run the parts in turn
        else
            cmd.push_back(w);
    }
    flush(";");
    return status & 0xff;
}

void add_process(Box &box, const std::string &name, std::shared_ptr<ShellIo> io)
{
    auto &t = box.part<ProcessTable>();
    std::lock_guard<std::mutex> g(t.m);
    // Forget processes that have ended.
    std::erase_if(t.procs, [](const Process &p) { return p.io->ended(); });
    t.procs.push_back({name, std::move(io), t_inherited ? *t_inherited : std::vector<FileRef>{}});
}

int kill_processes(Box &box, const std::string &name)
{
    auto &t = box.part<ProcessTable>();
    std::vector<std::shared_ptr<ShellIo>> victims;
    std::vector<Process> gone;  // their descriptors go once the table's lock is left
    {
        std::lock_guard<std::mutex> g(t.m);
        for (auto &p : t.procs)
            if (p.name == name && !p.io->ended())
                victims.push_back(p.io);
        for (auto it = t.procs.begin(); it != t.procs.end();) {
            if (it->name == name || it->io->ended()) {
                gone.push_back(std::move(*it));
                it = t.procs.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto &v : victims)
        v->end();
    return static_cast<int>(victims.size());
}

int count_processes(Box &box, const std::string &name)
{
    auto &t = box.part<ProcessTable>();
    std::lock_guard<std::mutex> g(t.m);
    int n = 0;
    for (auto &p : t.procs)
        n += p.name == name && !p.io->ended();
    return n;
}

} // namespace boxsim
