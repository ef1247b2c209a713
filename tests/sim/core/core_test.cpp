// The simulated box's core: file tree, descriptors, streams, shell, trace.
#include "platform/os.h"
#include "core/shell.h"
#include "sim_test.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <thread>

namespace {

using boxsim::json;
using boxtest::make_box;

TEST(Files, OpenReadWriteSeekAndTheirErrors)
{
    auto box = make_box();
    box->add_file("/proc/stb/fp/led0_pattern", "0\n");
    int fd = os::open("/proc/stb/fp/led0_pattern", O_RDWR);
    ASSERT_GE(fd, boxsim::Box::kFirstFd);
    char buf[8] = {};
    EXPECT_EQ(os::read(fd, buf, sizeof buf), 2);
    EXPECT_EQ(os::read(fd, buf, sizeof buf), 0);
    EXPECT_EQ(os::lseek(fd, 0, SEEK_SET), 0);
    EXPECT_EQ(os::write(fd, "1", 1), 1);
    EXPECT_EQ(box->read_file("/proc/stb/fp/led0_pattern"), "1\n");
    EXPECT_EQ(os::close(fd), 0);
    EXPECT_EQ(os::close(fd), -1);
    EXPECT_EQ(errno, EBADF);

    EXPECT_EQ(os::open("/dev/nothing", O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(os::open("/no/dir/file", O_WRONLY | O_CREAT), -1);
    EXPECT_EQ(errno, ENOENT);
    // A real descriptor number is not the box's.
    EXPECT_EQ(os::read(0, buf, 1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(os::ioctl(3, 0x22), -1);
    EXPECT_EQ(errno, EBADF);

    // Plain files have no driver requests and cannot be mapped.
    fd = os::open("/proc/stb/fp/led0_pattern", O_RDONLY);
    EXPECT_EQ(os::ioctl(fd, 240), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(os::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0), MAP_FAILED);
    os::close(fd);
}

TEST(Files, TreeAddsParentsAndRemovesWholeSubtrees)
{
    auto box = make_box();
    box->add_file("/sys/bus/test/devices/1-1/product", "Disk\n");
    struct stat st;
    EXPECT_EQ(os::stat("/sys/bus/test/devices/1-1", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(os::stat("/sys/bus/test/devices/1-1/product", &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, 5);
    EXPECT_EQ(box->list("/sys/bus/test/devices"), std::vector<std::string>{"1-1"});
    box->remove("/sys/bus/test/devices/1-1");
    EXPECT_EQ(os::stat("/sys/bus/test/devices/1-1/product", &st), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(box->exists("/sys/bus/test/devices"));
    // Paths are normalised.
    box->add_file("/a/b/../c//d", "x");
    EXPECT_EQ(box->read_file("/a/c/d"), "x");
}

TEST(Files, GeneratedAttributesAreFixedAtOpen)
{
    auto box = make_box();
    int n = 0;
    auto f = box->add_file("/proc/uptime");
    f->generate = [&n] { return std::to_string(++n) + ".00 0.00\n"; };
    FILE *a = os::fopen("/proc/uptime", "r");
    ASSERT_NE(a, nullptr);
    float v = 0;
    EXPECT_EQ(fscanf(a, "%f", &v), 1);
    fclose(a);
    EXPECT_FLOAT_EQ(v, 1.0f);
    a = os::fopen("/proc/uptime", "r");
    EXPECT_EQ(fscanf(a, "%f", &v), 1);
    fclose(a);
    EXPECT_FLOAT_EQ(v, 2.0f);
}

// Content made on first use behaves as if it had been there from the start,
// whichever call reaches it first, and is made once.
TEST(Files, ContentMadeLaterIsMadeOnceByWhicheverCallComesFirst)
{
    auto box = make_box();
    int made = 0;
    auto later = [&made] {
        ++made;
        return std::string("BMpicture");
    };
    struct stat st;
    char buf[16] = {};

    box->add_file("/root/a.bmp")->set_content_later(later);
    EXPECT_EQ(made, 0) << "nothing made before a use";
    ASSERT_EQ(os::stat("/root/a.bmp", &st), 0);
    EXPECT_EQ(st.st_size, 9);
    int fd = os::open("/root/a.bmp", O_RDONLY);
    EXPECT_EQ(os::read(fd, buf, sizeof buf), 9);
    EXPECT_STREQ(buf, "BMpicture");
    os::close(fd);
    EXPECT_EQ(made, 1);

    // A write into the middle keeps the rest; an append lands after it.
    box->add_file("/root/b.bmp")->set_content_later(later);
    fd = os::open("/root/b.bmp", O_WRONLY);
    ASSERT_EQ(os::lseek(fd, 2, SEEK_SET), 2);
    EXPECT_EQ(os::write(fd, "XY", 2), 2);
    os::close(fd);
    EXPECT_EQ(box->read_file("/root/b.bmp"), "BMXYcture");
    fd = os::open("/root/b.bmp", O_WRONLY | O_APPEND);
    EXPECT_EQ(os::write(fd, "!", 1), 1);
    os::close(fd);
    EXPECT_EQ(box->read_file("/root/b.bmp"), "BMXYcture!");

    // Truncated or replaced before any read: never made.
    box->add_file("/root/c.bmp")->set_content_later(later);
    fd = os::open("/root/c.bmp", O_WRONLY | O_TRUNC);
    EXPECT_EQ(os::write(fd, "new", 3), 3);
    os::close(fd);
    EXPECT_EQ(box->read_file("/root/c.bmp"), "new");
    auto d = box->add_file("/root/d.bmp");
    d->set_content_later(later);
    d->set_content("set");
    EXPECT_EQ(box->read_file("/root/d.bmp"), "set");
    EXPECT_EQ(made, 2);
}

TEST(Streams, FopenWorksWithStdioAndWriteHooksSeeTheContent)
{
    auto box = make_box();
    std::string seen;
    auto f = box->add_file("/proc/stb/fp/oled_brightness", "0");
    f->on_write = [&seen](const std::string &c) { seen = c; };
    FILE *w = os::fopen("/proc/stb/fp/oled_brightness", "w");
    ASSERT_NE(w, nullptr);
    fprintf(w, "%d", 127);
    EXPECT_EQ(fclose(w), 0);
    EXPECT_EQ(seen, "127");
    FILE *r = os::fopen("/proc/stb/fp/oled_brightness", "r");
    char line[16];
    ASSERT_NE(fgets(line, sizeof line, r), nullptr);
    EXPECT_STREQ(line, "127");
    fclose(r);
    EXPECT_EQ(os::fopen("/proc/none", "r"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    auto opens = box->trace().find("open", "/proc/stb/fp/oled_brightness");
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0]["mode"], "w");
    EXPECT_EQ(opens[1]["mode"], "r");
}

TEST(Shell, EchoRedirectionCatAndExitStatuses)
{
    auto box = make_box();
    box->add_dir("/proc/stb/fp");
    EXPECT_EQ(os::system("echo 127 > /proc/stb/fp/oled_brightness"), 0);
    EXPECT_EQ(box->read_file("/proc/stb/fp/oled_brightness"), "127\n");
    EXPECT_EQ(os::system("echo -n 'a  b' >>/proc/stb/fp/oled_brightness"), 0);
    EXPECT_EQ(box->read_file("/proc/stb/fp/oled_brightness"), "127\na  b");
    // Unknown commands and unopenable targets, as a shell answers.
    EXPECT_EQ(os::system("frobnicate now"), 127 << 8);
    EXPECT_NE(os::system("echo 1 > /no/such/dir/file"), 0);
    EXPECT_EQ(os::system("false_cmd; echo ok > /tmp/x"), 0);
    EXPECT_EQ(box->read_file("/tmp/x"), "ok\n");
    auto sys = box->trace().find("system");
    ASSERT_EQ(sys.size(), 5u);
    EXPECT_EQ(sys[0]["cmd"], "echo 127 > /proc/stb/fp/oled_brightness");
    EXPECT_EQ(sys[2]["status"], 127);
    EXPECT_EQ(boxsim::split_words("echo \"a b\" 'c d' e\\ f>x"),
              (std::vector<std::string>{"echo", "a b", "c d", "e f>x"}));
}

TEST(Shell, PopenDeliversOutputOverTimeAndPcloseWaitsForTheCommand)
{
    auto box = make_box();
    std::atomic<int> written{0};
    std::atomic<bool> ended_in_sleep{false};
    boxsim::register_command("ticker", [&](boxsim::Box &, boxsim::ShellIo &io, const std::vector<std::string> &) {
        for (int i = 0; i < 100; ++i) {
            if (!io.out("tick " + std::to_string(i) + "\n"))
                break;
            ++written;
            if (!io.sleep_ms(50)) {
                ended_in_sleep = true;
                break;
            }
        }
        return 0;
    });
    FILE *p = os::popen("ticker", "r");
    ASSERT_NE(p, nullptr);
    // The stream names the pipe's read end, a descriptor of the box.
    int fd = fileno(p);
    ASSERT_GE(fd, 3);
    struct pollfd pfd = {fd, POLLIN, 0};
    EXPECT_EQ(os::poll(&pfd, 1, 1000), 1);
    EXPECT_EQ(pfd.revents, POLLIN);
    char line[64];
    ASSERT_NE(fgets(line, sizeof line, p), nullptr);
    EXPECT_STREQ(line, "tick 0\n");
    ASSERT_NE(fgets(line, sizeof line, p), nullptr);
    EXPECT_STREQ(line, "tick 1\n");
    // pclose waits for the command: it ends at its next write, of SIGPIPE,
    // and the wait status says so.
    auto t0 = boxsim::BoxSteadyClock::now();
    EXPECT_EQ(os::pclose(p), SIGPIPE);
    auto waited = boxsim::BoxSteadyClock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(40));
    EXPECT_LT(waited, std::chrono::milliseconds(100));
    EXPECT_FALSE(ended_in_sleep);
    EXPECT_EQ(written, 2);
    EXPECT_EQ(box->trace().count("popen"), 1u);
    EXPECT_EQ(box->trace().find("pclose")[0]["signal"], "SIGPIPE");

    // Read through its descriptor, the output ends with POLLHUP and 0; a
    // command killed meanwhile ends of SIGKILL.
    p = os::popen("ticker", "r");
    fd = fileno(p);
    char buf[64];
    EXPECT_EQ(os::read(fd, buf, sizeof buf), 7);
    EXPECT_EQ(boxsim::kill_processes(*box, "ticker"), 1);
    pfd = {fd, POLLIN, 0};
    EXPECT_EQ(os::poll(&pfd, 1, 1000), 1);
    EXPECT_TRUE(pfd.revents & POLLHUP);
    EXPECT_EQ(os::read(fd, buf, sizeof buf), 0);
    EXPECT_EQ(os::pclose(p), SIGKILL);
    EXPECT_TRUE(ended_in_sleep);

    p = os::popen("cat /none", "r");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(fgets(line, sizeof line, p), nullptr);
    EXPECT_EQ(os::pclose(p), 1 << 8);
}

TEST(Shell, KillallEndsBackgroundProcessesByName)
{
    auto box = make_box();
    struct Quiet : boxsim::ShellIo {
        bool out(std::string_view) override { return true; }
    };
    auto daemon = std::make_shared<Quiet>();
    boxsim::add_process(*box, "udhcpc", daemon);
    EXPECT_EQ(boxsim::count_processes(*box, "udhcpc"), 1);
    EXPECT_EQ(os::system("killall -9 udhcpc"), 0);
    EXPECT_TRUE(daemon->ended());
    EXPECT_EQ(boxsim::count_processes(*box, "udhcpc"), 0);
    EXPECT_EQ(os::system("killall -9 udhcpc"), 1 << 8);  // nothing left to kill
}

// A device that becomes readable when the box says so.
class Doorbell : public boxsim::Device {
public:
    std::atomic<bool> rung{false};
    short poll(boxsim::OpenFile &, short events) override { return rung ? (events & POLLIN) : 0; }
};

TEST(Poll, WaitsForADeviceChangeOrTheTimeout)
{
    auto box = make_box();
    auto bell = std::make_shared<Doorbell>();
    box->add_node("/dev/bell", bell);
    int fd = os::open("/dev/bell", O_RDONLY);
    struct pollfd p = {fd, POLLIN, 0};
    auto t0 = boxsim::BoxSteadyClock::now();
    EXPECT_EQ(os::poll(&p, 1, 60), 0);
    EXPECT_GE(boxsim::BoxSteadyClock::now() - t0, std::chrono::milliseconds(60));
    std::thread t = boxsim::clock::spawn("t", [&] {
        boxsim::clock::sleep_for(std::chrono::milliseconds(30));
        bell->rung = true;
        box->changed();
    });
    EXPECT_EQ(os::poll(&p, 1, 5000), 1);
    EXPECT_EQ(p.revents, POLLIN);
    boxsim::clock::join(t);
    struct pollfd bad = {12345, POLLIN, 0};
    EXPECT_EQ(os::poll(&bad, 1, 0), 1);
    EXPECT_EQ(bad.revents, POLLNVAL);
    os::close(fd);
}

TEST(Trace, RecordsTimeOpAndResults)
{
    auto box = make_box();
    os::open("/dev/missing", O_RDWR);
    auto ev = box->trace().find("open");
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_TRUE(ev[0].contains("t"));
    EXPECT_EQ(ev[0]["path"], "/dev/missing");
    EXPECT_EQ(ev[0]["result"], -1);
    EXPECT_EQ(ev[0]["errno"], "ENOENT");
    // The sink gets one JSON object per line, "t" first.
    char *buf = nullptr;
    size_t len = 0;
    FILE *sink = open_memstream(&buf, &len);
    box->trace().set_sink(sink);
    os::system("echo hi > /tmp/t");
    box->trace().set_sink(nullptr);
    fclose(sink);
    std::string line(buf, len);
    free(buf);
    EXPECT_EQ(line.rfind("{\"t\":", 0), 0u) << line;
    json j = json::parse(line);
    EXPECT_EQ(j["op"], "system");
    EXPECT_EQ(j["status"], 0);

    // A limit keeps the newest events; 0 keeps none, and the sink still
    // gets every one.
    box->trace().set_limit(16);
    for (int i = 0; i < 40; ++i)
        os::open("/dev/missing", O_RDWR);
    EXPECT_LE(box->trace().events().size(), 16u);
    EXPECT_GE(box->trace().count("open"), 12u);
    sink = open_memstream(&buf, &len);
    box->trace().set_sink(sink);
    box->trace().set_limit(0);
    os::open("/dev/missing", O_RDWR);
    os::open("/dev/missing", O_RDWR);
    box->trace().set_sink(nullptr);
    fclose(sink);
    std::string lines(buf, len);
    free(buf);
    EXPECT_TRUE(box->trace().events().empty());
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2) << lines;
}

TEST(Profiles, ModelWordAndFilesComeFromTheProfile)
{
    std::string err;
    auto box = boxsim::Box::from_profile("rcplus", err);
    ASSERT_TRUE(box) << err;
    EXPECT_EQ(box->read_file("/proc/stb/info/cvmodel"), "rcplus\n");
    EXPECT_EQ(boxsim::Box::from_profile("no-such-box", err), nullptr);
    EXPECT_NE(err.find("no-such-box"), std::string::npos);
    boxtest::TempDir dir;
    FILE *f = fopen(dir.file("bad.json").c_str(), "w");
    fputs("{ not json", f);
    fclose(f);
    EXPECT_EQ(boxsim::Box::from_profile(dir.file("bad.json"), err), nullptr);
    EXPECT_NE(err.find("not a JSON object"), std::string::npos);
    auto custom = boxtest::make_box_from(json{{"model", "maxsc"}, {"files", {{"/etc/issue", "box\n"}}}});
    EXPECT_EQ(custom->read_file("/etc/issue"), "box\n");
}

TEST(Profiles, EveryShippedProfileLoadsAndNamesAKnownBoardOrSaysItIsUnknown)
{
    int known = 0;
    for (const char *name : {"tetra", "rcplus", "tetraplus", "netbox", "maxsc", "z1", "z3", "default", "unknown"}) {
        std::string err;
        auto j = boxsim::Box::load_profile(name, err);
        ASSERT_TRUE(j) << err;
        EXPECT_TRUE(j->contains("model")) << name;
        known += j->value("model", "") != "ufs922";
    }
    EXPECT_EQ(known, 8);
}

} // namespace
