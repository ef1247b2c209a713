// Descriptors as Linux hands them out: the lowest free number, reused at
// once; a device released on its last reference (a descriptor, a call under
// way, a shell command that inherited it); poll that holds what it waits on.
#include "platform/os.h"
#include "core/shell.h"
#include "sim_test.h"

#include <fcntl.h>
#include <thread>

namespace fds_test {

using boxsim::json;
using boxtest::make_box;

// A device with one writer at a time (as a frontend, a decoder or the DVR
// input), whose reads wait until it is rung, and which counts its releases.
class Latch : public boxsim::Device {
public:
    explicit Latch(boxsim::Box &box) : box_(box) {}
    std::atomic<int> writers{0}, releases{0};
    std::atomic<bool> rung{false};

    int open(boxsim::OpenFile &of) override
    {
        if ((of.flags & O_ACCMODE) == O_RDONLY)
            return 0;
        if (writers > 0)
            return -EBUSY;
        ++writers;
        return 0;
    }
    void release(boxsim::OpenFile &of) override
    {
        ++releases;
        if ((of.flags & O_ACCMODE) != O_RDONLY)
            --writers;
    }
    ssize_t read(boxsim::OpenFile &, void *buf, size_t len) override
    {
        box_.wait_change([this] { return rung.load() || box_.stopping(); }, boxsim::clock::kNever, "latch read");
        if (len == 0)
            return 0;
        static_cast<char *>(buf)[0] = 'x';
        return 1;
    }
    short poll(boxsim::OpenFile &, short events) override { return rung ? (events & POLLIN) : 0; }
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
    std::shared_ptr<Latch> latch = std::make_shared<Latch>(*box);
    Fixture()
    {
        box->add_node("/dev/latch", latch);
        box->add_file("/tmp/a");
        box->add_file("/tmp/b");
    }
};

TEST(Descriptors, LowestFreeNumberReusedAtOnceUpToTheLimit)
{
    Fixture f;
    int a = os::open("/tmp/a", O_RDONLY);
    int b = os::open("/tmp/b", O_RDONLY);
    int c = os::open("/dev/latch", O_RDONLY);
    EXPECT_EQ(a, 3) << "0 to 2 are the standard streams";
    EXPECT_EQ(b, 4);
    EXPECT_EQ(c, 5);
    EXPECT_EQ(os::close(b), 0);
    EXPECT_EQ(os::open("/tmp/a", O_RDONLY), 4) << "a closed number is handed out again at once";
    EXPECT_EQ(os::close(a), 0);
    int again = os::open("/tmp/b", O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(again, 3);
    // A stale copy of a closed number now reaches another file.
    char buf[4];
    EXPECT_EQ(os::read(again, buf, sizeof buf), 0);

    std::vector<int> opened;
    int fd;
    while ((fd = os::open("/tmp/a", O_RDONLY)) >= 0)
        opened.push_back(fd);
    EXPECT_EQ(errno, EMFILE);
    EXPECT_EQ(opened.back(), boxsim::Box::kMaxFds - 1);
    os::close(opened[10]);
    EXPECT_EQ(os::open("/tmp/a", O_RDONLY), opened[10]);

    json table = f.box->fd_table();
    EXPECT_EQ(table["3"]["path"], "/tmp/b");
    EXPECT_EQ(table["3"]["cloexec"], true);
    EXPECT_EQ(table["5"]["cloexec"], false);
}

TEST(Descriptors, OpenLineOfTheTraceNamesTheFlagsThatMatter)
{
    Fixture f;
    os::open("/tmp/a", O_RDONLY);
    os::open("/dev/latch", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    FILE *s = os::fopen("/tmp/b", "we");
    ASSERT_NE(s, nullptr);
    fclose(s);
    auto opens = f.box->trace().find("open");
    ASSERT_EQ(opens.size(), 3u);
    EXPECT_EQ(opens[0]["mode"], "r");
    EXPECT_FALSE(opens[0].contains("cloexec"));
    EXPECT_FALSE(opens[0].contains("nonblock"));
    EXPECT_EQ(opens[1]["mode"], "rw");
    EXPECT_EQ(opens[1]["nonblock"], true);
    EXPECT_EQ(opens[1]["cloexec"], true);
    EXPECT_EQ(opens[2]["mode"], "w");
    EXPECT_EQ(opens[2]["cloexec"], true);
}

// A command started while a descriptor is open without close-on-exec holds
// it until it ends: the device is not released by the system's close, and
// an exclusive device refuses a second writer meanwhile. A daemon the
// command leaves behind holds it until it is killed.
TEST(Descriptors, ShellCommandsHoldWhatTheyInheritUntilTheyEnd)
{
    Fixture f;
    std::atomic<bool> go{false};
    boxsim::register_command("waiter", [&](boxsim::Box &box, boxsim::ShellIo &io, const std::vector<std::string> &) {
        box.wait_change([&] { return go.load() || io.ended(); }, boxsim::clock::kNever, "waiter");
        return 0;
    });
    boxsim::register_command("daemon", [](boxsim::Box &box, boxsim::ShellIo &, const std::vector<std::string> &) {
        struct Quiet : boxsim::ShellIo {
            bool out(std::string_view) override { return true; }
        };
        boxsim::add_process(box, "daemon", std::make_shared<Quiet>());
        return 0;
    });

    struct Case {
        const char *what;
        int flags;        // of the system's open
        const char *cmd;  // started while it is open
        int busy_after_close;  // reopen as writer after the system's close: errno, or 0 for success
    };
    const Case cases[] = {
        {"inherited by a running command", O_RDWR, "waiter", EBUSY},
        {"close-on-exec: not inherited", O_RDWR | O_CLOEXEC, "waiter", 0},
        {"inherited by a daemon", O_RDWR, "daemon", EBUSY},
        {"close-on-exec, daemon", O_RDWR | O_CLOEXEC, "daemon", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        go = false;
        int releases = f.latch->releases;
        int fd = os::open("/dev/latch", c.flags);
        ASSERT_GE(fd, 0);
        FILE *p = os::popen(c.cmd, "r");
        ASSERT_NE(p, nullptr);
        // The command runs; the system closes its descriptor.
        boxsim::clock::sleep_for_ms(10);
        EXPECT_EQ(os::close(fd), 0);
        int again = os::open("/dev/latch", O_RDWR);
        if (c.busy_after_close) {
            EXPECT_EQ(again, -1);
            EXPECT_EQ(errno, c.busy_after_close);
            EXPECT_EQ(f.latch->releases, releases) << "released while the command still holds it";
        } else {
            EXPECT_GE(again, 0);
            os::close(again);
        }
        go = true;
        f.box->changed();
        char line[16];
        EXPECT_EQ(fgets(line, sizeof line, p), nullptr);
        os::pclose(p);
        os::system("killall daemon");
        // Once the command (and its daemon) ended the device is free.
        again = os::open("/dev/latch", O_RDWR);
        EXPECT_GE(again, 0);
        os::close(again);
        EXPECT_EQ(f.latch->writers, 0);
    }

    // os::system holds them while it runs, too.
    int fd = os::open("/dev/latch", O_RDWR);
    EXPECT_EQ(os::system("daemon"), 0);
    os::close(fd);
    EXPECT_EQ(os::open("/dev/latch", O_RDWR), -1);
    EXPECT_EQ(errno, EBUSY);
    os::system("killall daemon");
    fd = os::open("/dev/latch", O_RDWR);
    EXPECT_GE(fd, 0);
    os::close(fd);
}

// A thread blocked in a read holds the file until the call returns; poll on
// a descriptor another thread closed keeps waiting, and when what it held
// is ready the closed number reads POLLNVAL.
TEST(Descriptors, CallsUnderWayHoldTheirFile)
{
    Fixture f;
    int fd = os::open("/dev/latch", O_RDWR);
    ssize_t got = -2;
    std::thread reader = boxsim::clock::spawn("reader", [&] {
        char c;
        got = os::read(fd, &c, 1);
    });
    boxsim::clock::sleep_for_ms(50);
    EXPECT_EQ(os::close(fd), 0);
    EXPECT_EQ(f.latch->releases, 0) << "the blocked read still holds it";
    EXPECT_EQ(os::open("/dev/latch", O_RDWR), -1);
    EXPECT_EQ(errno, EBUSY);
    f.latch->ring();
    boxsim::clock::join(reader);
    EXPECT_EQ(got, 1) << "the read returns what the device gave";
    EXPECT_EQ(f.latch->releases, 1);
    EXPECT_EQ(f.latch->writers, 0);

    f.latch->rung = false;
    fd = os::open("/dev/latch", O_RDONLY);
    int polled = -2;
    short revents = 0;
    int64_t returned_ms = -1;
    auto t0 = boxsim::BoxSteadyClock::now();
    std::thread poller = boxsim::clock::spawn("poller", [&] {
        pollfd p{fd, POLLIN, 0};
        polled = os::poll(&p, 1, 1000);
        revents = p.revents;
        returned_ms = std::chrono::duration_cast<std::chrono::milliseconds>(boxsim::BoxSteadyClock::now() - t0).count();
    });
    boxsim::clock::sleep_for_ms(100);
    os::close(fd);
    boxsim::clock::sleep_for_ms(200);
    EXPECT_EQ(polled, -2) << "poll still waits after the close";
    EXPECT_EQ(f.latch->releases, 1) << "and holds the file";
    f.latch->ring();
    boxsim::clock::join(poller);
    EXPECT_EQ(polled, 1);
    EXPECT_EQ(revents, POLLNVAL);
    EXPECT_LT(returned_ms, 1000);
    EXPECT_EQ(f.latch->releases, 2);

    // Without a wake of what it holds, poll runs to its time-out.
    f.latch->rung = false;
    fd = os::open("/dev/latch", O_RDONLY);
    t0 = boxsim::BoxSteadyClock::now();
    poller = boxsim::clock::spawn("poller", [&] {
        pollfd p{fd, POLLIN, 0};
        polled = os::poll(&p, 1, 300);
        returned_ms = std::chrono::duration_cast<std::chrono::milliseconds>(boxsim::BoxSteadyClock::now() - t0).count();
    });
    boxsim::clock::sleep_for_ms(50);
    os::close(fd);
    f.box->changed();  // something else of the box moves
    boxsim::clock::join(poller);
    EXPECT_EQ(polled, 0);
    EXPECT_GE(returned_ms, 300);
}

} // namespace fds_test
