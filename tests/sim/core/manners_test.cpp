// The fault language says what Linux says: EAGAIN only on a non-blocking
// descriptor and EINTR only on a blocking one, a close that fails and still
// closes, hangs, devices that vanish and come back, signals that interrupt
// the system's waits, every error a call documents at a seeded rate, and a
// profile whose fault line asks for what Linux never does refused.
#include "boxsim/script.h"
#include "core/faults.h"
#include "core/shell.h"
#include "platform/os.h"
#include "sim_test.h"

#include <fcntl.h>
#include <set>
#include <sys/mman.h>

namespace manners_test {

using boxsim::json;
using boxtest::make_box;
using namespace std::chrono_literals;

void set_fault(boxsim::Box &box, const std::string &line)
{
    std::string err;
    auto rule = boxsim::parse_fault(boxsim::split_words(line), err);
    ASSERT_TRUE(rule) << line << ": " << err;
    boxsim::add_fault(box, *rule);
}

// A character device: reads wait until it is rung (then give one byte, or
// -EINTR when a signal came and the driver gives up waiting), writes take
// everything.
class Bell : public boxsim::Device {
public:
    explicit Bell(boxsim::Box &box) : box_(box) {}
    std::atomic<bool> rung{false};
    ssize_t read(boxsim::OpenFile &of, void *buf, size_t len) override
    {
        while (!rung) {
            if (of.flags & O_NONBLOCK)
                return -EAGAIN;
            if (box_.stopping() || boxsim::clock::signal_arrived())
                return -EINTR;
            box_.wait_change([this] { return rung.load() || box_.stopping(); }, boxsim::clock::kNever, "bell");
        }
        memset(buf, 'x', len);
        return static_cast<ssize_t>(len);
    }
    ssize_t write(boxsim::OpenFile &, const void *, size_t len) override { return static_cast<ssize_t>(len); }
    int ioctl(boxsim::OpenFile &, unsigned long, unsigned long, json &) override { return 0; }
    short poll(boxsim::OpenFile &, short events) override { return rung ? (events & POLLIN_) : 0; }
    void ring()
    {
        rung = true;
        box_.changed();
    }

private:
    boxsim::Box &box_;
};

struct Fixture {
    std::unique_ptr<boxsim::Box> box = make_box();
    std::shared_ptr<Bell> bell = std::make_shared<Bell>(*box);
    Fixture()
    {
        box->add_node("/dev/bell", bell);
        box->add_file("/proc/test/value", "12345678");
    }
};

// What one call gives on a descriptor opened blocking or not, under one
// fault line each.
TEST(FaultManners, ErrorsOnlyWhereLinuxGivesThem)
{
    struct Case {
        const char *fault;
        const char *call;  // read, write, ioctl
        int flags;
        int error;  // 0: the call works
    };
    const Case cases[] = {
        {"read /dev/bell EAGAIN", "read", O_RDONLY | O_NONBLOCK, EAGAIN},
        {"read /dev/bell EAGAIN", "write", O_RDWR | O_NONBLOCK, 0},
        {"write /dev/bell EAGAIN", "write", O_WRONLY, 0},  // never on a blocking descriptor
        {"write /dev/bell EAGAIN", "write", O_WRONLY | O_NONBLOCK, EAGAIN},
        {"write /dev/bell EINTR", "write", O_WRONLY, EINTR},
        {"write /dev/bell EINTR", "write", O_WRONLY | O_NONBLOCK, 0},  // a call that never waits
        {"ioctl /dev/bell * EAGAIN", "ioctl", O_RDWR, 0},
        {"ioctl /dev/bell * EAGAIN", "ioctl", O_RDWR | O_NONBLOCK, EAGAIN},
        {"ioctl /dev/bell * ETIMEDOUT", "ioctl", O_RDWR, ETIMEDOUT},
        {"write /dev/bell ENOSPC", "write", O_WRONLY, ENOSPC},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fault + std::string(" / ") + c.call + ((c.flags & O_NONBLOCK) ? " non-blocking" : " blocking"));
        Fixture f;
        f.bell->rung = true;
        set_fault(*f.box, c.fault);
        int fd = os::open("/dev/bell", c.flags);
        ASSERT_GE(fd, 0);
        char buf[4] = {};
        errno = 0;
        long r = std::string(c.call) == "read"    ? os::read(fd, buf, sizeof buf)
                 : std::string(c.call) == "write" ? os::write(fd, buf, sizeof buf)
                                                  : os::ioctl(fd, 0x1234);
        if (c.error) {
            EXPECT_EQ(r, -1);
            EXPECT_EQ(errno, c.error);
        } else {
            EXPECT_GE(r, 0);
        }
        os::close(fd);
    }
}

TEST(FaultManners, CloseThatFailsStillClosesStatAndSleeps)
{
    Fixture f;
    set_fault(*f.box, "close /proc/test/value EIO once");
    int fd = os::open("/proc/test/value", O_RDONLY);
    EXPECT_EQ(os::close(fd), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(os::close(fd), -1) << "the number was freed all the same";
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(os::open("/proc/test/value", O_RDONLY), fd);

    struct stat st;
    set_fault(*f.box, "stat /proc/test/value EACCES once");
    EXPECT_EQ(os::stat("/proc/test/value", &st), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(os::stat("/proc/test/value", &st), 0);

    set_fault(*f.box, "nanosleep * EINTR once");
    timespec ask{0, 200000000}, left{};
    EXPECT_EQ(os::nanosleep(&ask, &left), -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(left.tv_nsec, 200000000) << "nothing was slept";

    // A call that hangs for a while, then goes on as the driver does; a
    // command that hangs; a shell that cannot be started.
    set_fault(*f.box, "write /dev/bell hang 2s once");
    set_fault(*f.box, "command echo hang 1500ms once");
    set_fault(*f.box, "system ifconfig EAGAIN once");
    int bell = os::open("/dev/bell", O_WRONLY);
    auto t0 = boxsim::BoxSteadyClock::now();
    EXPECT_EQ(os::write(bell, "abc", 3), 3);
    EXPECT_GE(boxsim::BoxSteadyClock::now() - t0, 2s);
    t0 = boxsim::BoxSteadyClock::now();
    EXPECT_EQ(os::system("echo 1 > /tmp/x"), 0);
    EXPECT_GE(boxsim::BoxSteadyClock::now() - t0, 1500ms);
    EXPECT_EQ(f.box->read_file("/tmp/x"), "1\n");
    EXPECT_EQ(os::system("ifconfig eth0 up"), -1);
    EXPECT_EQ(errno, EAGAIN);
    set_fault(*f.box, "popen udhcpc EMFILE once");
    EXPECT_EQ(os::popen("udhcpc -f", "r"), nullptr);
    EXPECT_EQ(errno, EMFILE);
    os::close(bell);
}

// An unplugged device: its node is gone and every call on a descriptor of it
// fails with ENODEV, and poll says POLLERR|POLLHUP; plugged again, a new open
// works and the old descriptor stays dead.
TEST(FaultManners, ADeviceThatVanishesAndAppears)
{
    Fixture f;
    int fd = os::open("/dev/bell", O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    set_fault(*f.box, "vanish /dev/bell");
    char c;
    EXPECT_EQ(os::read(fd, &c, 1), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(os::write(fd, "x", 1), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(os::ioctl(fd, 0x1234), -1);
    EXPECT_EQ(errno, ENODEV);
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(os::poll(&p, 1, 1000), 1);
    EXPECT_EQ(p.revents, POLLERR | POLLHUP);
    EXPECT_EQ(os::open("/dev/bell", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    struct stat st;
    EXPECT_EQ(os::stat("/dev/bell", &st), -1);
    EXPECT_EQ(os::access("/dev/bell", F_OK), -1);

    set_fault(*f.box, "appear /dev/bell");
    int again = os::open("/dev/bell", O_RDWR | O_NONBLOCK);
    ASSERT_GE(again, 0);
    EXPECT_EQ(os::write(again, "x", 1), 1);
    EXPECT_EQ(os::write(fd, "x", 1), -1) << "the old descriptor stays dead";
    EXPECT_EQ(errno, ENODEV);
    os::close(fd);
    os::close(again);

    // For a while only.
    set_fault(*f.box, "vanish /dev/bell after 100ms for 200ms");
    EXPECT_GE(os::stat("/dev/bell", &st), 0);
    boxsim::clock::sleep_for_ms(150);
    EXPECT_EQ(os::stat("/dev/bell", &st), -1);
    boxsim::clock::sleep_for_ms(200);
    EXPECT_EQ(os::stat("/dev/bell", &st), 0);
}

// One system thread and what a signal does to its wait.
struct Waiter {
    std::function<long()> wait;
    long result = -2;
    int error = 0;
    int64_t t0 = 0;
    int64_t returned_ms = -1;  // when the call returned (set by `wait` when more follows it)
    pthread_t thread{};
    int64_t since_start_ms() const { return (boxsim::clock::now_ns() - t0) / 1000000; }
    static void *run(void *p)
    {
        auto *w = static_cast<Waiter *>(p);
        w->t0 = boxsim::clock::now_ns();
        w->result = w->wait();
        w->error = errno;
        if (w->returned_ms < 0)
            w->returned_ms = w->since_start_ms();
        return nullptr;
    }
};

TEST(FaultManners, SignalsInterruptTheWaitsLinuxInterrupts)
{
    struct Case {
        const char *what;
        const char *signal;
        long result;  // of the call
        int error;
        int64_t min_ms, max_ms;  // when it returned
    };
    const Case cases[] = {
        {"poll", "signal SIGALRM after 100ms", -1, EINTR, 90, 150},
        {"poll", "signal SIGALRM restart after 100ms", -1, EINTR, 90, 150},  // poll never restarts
        {"nanosleep", "signal SIGCHLD after 100ms", -1, EINTR, 90, 150},
        {"read", "signal SIGCHLD after 100ms", -1, EINTR, 90, 150},
        {"read", "signal SIGCHLD restart after 100ms", 1, 0, 290, 350},  // restarted: the ring at 300 ms
        {"cond", "signal SIGUSR1 after 100ms", 0, 0, 90, 150},           // a spurious wake-up
        {"fgets", "signal SIGCHLD after 100ms", 0, EINTR, 90, 150},      // NULL, the stream's error set
        {"fgets", "signal SIGCHLD restart after 100ms", 1, 0, 290, 350},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.what) + " / " + c.signal);
        Fixture f;
        int fd = os::open("/dev/bell", O_RDONLY);
        pthread_mutex_t m;
        pthread_cond_t cv;
        os::pthread_mutex_init(&m);
        os::pthread_cond_init(&cv, nullptr);
        timespec left{};
        Waiter w;
        std::string what = c.what;
        w.wait = [&]() -> long {
            if (what == "poll") {
                pollfd p{fd, POLLIN, 0};
                return os::poll(&p, 1, 5000);
            }
            if (what == "nanosleep") {
                timespec ask{1, 0};
                return os::nanosleep(&ask, &left);
            }
            if (what == "read") {
                char b;
                return os::read(fd, &b, 1);
            }
            if (what == "fgets") {
                // A command that writes a line once the bell rings.
                FILE *p = os::popen("ringer", "r");
                char line[16];
                long got = fgets(line, sizeof line, p) != nullptr;
                int e = errno;
                w.returned_ms = w.since_start_ms();  // pclose then waits for the command
                os::pclose(p);
                errno = e;
                return got;
            }
            os::pthread_mutex_lock(&m);
            long r = os::pthread_cond_wait(&cv, &m);
            os::pthread_mutex_unlock(&m);
            return r;
        };
        boxsim::register_command("ringer", [&f](boxsim::Box &box, boxsim::ShellIo &io, const std::vector<std::string> &) {
            box.wait_change([&] { return f.bell->rung.load() || box.stopping(); }, boxsim::clock::kNever, "ringer");
            io.out("ring\n");
            return 0;
        });
        set_fault(*f.box, c.signal);
        ASSERT_EQ(os::pthread_create(&w.thread, Waiter::run, &w), 0);
        boxsim::clock::sleep_for_ms(300);
        f.bell->ring();
        os::pthread_join(w.thread, nullptr);
        EXPECT_EQ(w.result, c.result);
        if (c.error) {
            EXPECT_EQ(w.error, c.error);
        }
        EXPECT_GE(w.returned_ms, c.min_ms);
        EXPECT_LE(w.returned_ms, c.max_ms);
        if (what == "nanosleep") {
            EXPECT_GE(left.tv_nsec, 800000000L) << "the time left";
        }
        auto sent = f.box->trace().find("signal");
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_TRUE(sent[0].contains("to")) << "it reached the system's thread";
        os::close(fd);
    }
}

// Every error the call documents for the kind of device, drawn from the
// seed; EAGAIN and EINTR as the descriptor allows; short only where the
// device allows it, and an input device's reads in whole events.
TEST(FaultManners, MannersDrawEveryDocumentedErrorAndNothingElse)
{
    Fixture f;
    f.bell->rung = true;
    auto outcomes = [&](int flags) {
        std::set<std::string> seen;
        boxsim::clear_faults(*f.box);
        int fd = os::open("/dev/bell", flags);
        set_fault(*f.box, "manners /dev/bell rate 100% seed 5");
        for (int i = 0; i < 400 && fd >= 0; ++i) {
            char buf[64];
            ssize_t n = os::read(fd, buf, sizeof buf);
            seen.insert(n < 0 ? boxsim::errno_name(errno) : n < 64 ? "short" : "whole");
        }
        if (fd >= 0)
            os::close(fd);
        return seen;
    };
    // A character device's read: EAGAIN EINTR EIO ETIMEDOUT, or short.
    EXPECT_EQ(outcomes(O_RDONLY | O_NONBLOCK), (std::set<std::string>{"EAGAIN", "EIO", "ETIMEDOUT", "short"}));
    EXPECT_EQ(outcomes(O_RDONLY), (std::set<std::string>{"EINTR", "EIO", "ETIMEDOUT", "short"}));
    for (int e : boxsim::manners_errors("read", "/dev/bell"))
        EXPECT_NE(e, EFAULT) << "a wrong caller's errors are left out";

    // An input device's reads are cut in whole 16-byte events.
    f.box->add_node("/dev/event7", f.bell);
    boxsim::clear_faults(*f.box);
    set_fault(*f.box, "read /dev/event7 short");
    int fd = os::open("/dev/event7", O_RDONLY | O_NONBLOCK);
    char buf[80];
    EXPECT_EQ(os::read(fd, buf, 80), 32);
    EXPECT_EQ(os::read(fd, buf, 16), 16) << "one event is never cut";
    os::close(fd);
}

TEST(FaultManners, AScriptOrProfileWhoseFaultLineLinuxNeverGivesIsRefused)
{
    // A script: one message naming the file and the line; nothing runs.
    std::string err;
    EXPECT_TRUE(boxsim::parse_script("0 fault poll /dev/event0 EINTR once\n", "ok.box", err)) << err;
    EXPECT_FALSE(boxsim::parse_script("0 cable plug\n1s fault poll /dev/event0 EIO\n", "bad.box", err));
    EXPECT_NE(err.find("bad.box:2:"), std::string::npos) << err;
    EXPECT_NE(err.find("poll on an input device never fails with EIO"), std::string::npos) << err;

    // A profile: the same, by the line's place in the list.
    boxtest::TempDir dir;
    auto write_profile = [&](const std::string &name, const json &faults) {
        std::string path = dir.file(name);
        FILE *out = fopen(path.c_str(), "w");
        fputs(json{{"model", "rcplus"}, {"faults", faults}}.dump().c_str(), out);
        fclose(out);
        return path;
    };
    EXPECT_TRUE(boxsim::Box::load_profile(write_profile("good.json", json::array({"read /dev/event0 EAGAIN rate 5%"})), err)) << err;
    EXPECT_FALSE(boxsim::Box::load_profile(
        write_profile("bad.json", json::array({"open /dev/lcd0 EIO once", "read /proc/stb/fp/version EAGAIN"})), err));
    EXPECT_NE(err.find("faults[1]"), std::string::npos) << err;
    EXPECT_NE(err.find("read /proc/stb/fp/version EAGAIN"), std::string::npos) << err;
    EXPECT_NE(err.find("non-blocking"), std::string::npos) << err;
}

} // namespace manners_test
