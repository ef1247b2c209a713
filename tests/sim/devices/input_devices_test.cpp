// The simulated input devices as evdev gives them: records in the box's
// layout, one client per open with a bounded buffer, whole reports, poll,
// plugging and unplugging, and the scenario actions that press and type.
#include "devices/input.h"
#include "platform/box_abi.h"
#include "platform/os.h"
#include "sim_test.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <vector>

namespace {

using boxsim::input::Role;
using Rec = box_abi::InputEvent;
using namespace std::chrono_literals;

std::vector<Rec> drain(int fd)
{
    std::vector<Rec> out;
    Rec r;
    while (os::read(fd, &r, sizeof r) == static_cast<ssize_t>(sizeof r))
        out.push_back(r);
    return out;
}

// Records as (type, code, value).
std::vector<std::tuple<int, int, int>> fields(const std::vector<Rec> &recs)
{
    std::vector<std::tuple<int, int, int>> out;
    for (const auto &r : recs)
        out.emplace_back(r.type, r.code, r.value);
    return out;
}

std::string run_action(boxsim::Box &box, const std::string &name, std::vector<std::string> args)
{
    std::string err;
    auto run = boxsim::actions().at(name).parse(args, err);
    if (!run)
        return err;
    (*run)(box);
    return "ok";
}

constexpr int SYN = 0, KEY = 1, MSC = 4;

TEST(SimInput, AClientReadsWholeReportsAndAHeldKeyRepeatsOnTheBoxsClock)
{
    auto box = boxtest::make_box_from({{"model", "rcplus"}});
    EXPECT_EQ(box->read_file("/sys/class/input/event0/device/name"), "corvane-fp front panel keys\n");
    EXPECT_FALSE(box->exists("/dev/event2"));  // the keyboard starts unplugged
    int fd = os::open("/dev/event1", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    Rec r;
    EXPECT_EQ(os::read(fd, &r, sizeof r), -1);
    EXPECT_EQ(errno, EAGAIN);
    struct pollfd p = {fd, POLLIN, 0};
    EXPECT_EQ(os::poll(&p, 1, 0), 0);

    // Held for two repeats: the press at once, the repeats after the
    // input core's delay and period, then the release.
    auto t0 = boxsim::clock::now_ns();
    ASSERT_TRUE(boxsim::input::press(*box, Role::Remote, 352, 2));
    EXPECT_EQ(os::poll(&p, 1, 0), 1);
    EXPECT_EQ(p.revents, POLLIN);
    // Too small for a record: refused, nothing taken.
    char small[8];
    EXPECT_EQ(os::read(fd, small, sizeof small), -1);
    EXPECT_EQ(errno, EINVAL);
    // A read takes as many whole records as fit.
    Rec two[2];
    EXPECT_EQ(os::read(fd, two, sizeof two + 8), static_cast<ssize_t>(sizeof two));
    EXPECT_EQ(fields({two[0], two[1]}), (std::vector<std::tuple<int, int, int>>{{KEY, 352, 1}, {SYN, 0, 0}}));
    EXPECT_TRUE(boxsim::input::busy(*box));
    ASSERT_TRUE(boxtest::eventually([&] { return !boxsim::input::busy(*box); }, 2s));
    auto held_ms = (boxsim::clock::now_ns() - t0) / 1000000;
    EXPECT_GE(held_ms, 250 + 2 * 33);
    EXPECT_LT(held_ms, 250 + 3 * 33 + 10);
    // The core's repeats end their report with a SYN_REPORT of value 1.
    EXPECT_EQ(fields(drain(fd)), (std::vector<std::tuple<int, int, int>>{
                                     {KEY, 352, 2}, {SYN, 0, 1}, {KEY, 352, 2}, {SYN, 0, 1}, {KEY, 352, 0}, {SYN, 0, 0}}));
    EXPECT_EQ(os::poll(&p, 1, 0), 0);

    // Pressed again while held: the held key is let go first, its repeats end.
    boxsim::input::press(*box, Role::Remote, 103, 50);
    boxsim::input::press(*box, Role::Remote, 103);
    EXPECT_FALSE(boxsim::input::busy(*box));
    EXPECT_EQ(fields(drain(fd)), (std::vector<std::tuple<int, int, int>>{{KEY, 103, 1}, {SYN, 0, 0}, {KEY, 103, 0},
                                                                         {SYN, 0, 0}, {KEY, 103, 1}, {SYN, 0, 0},
                                                                         {KEY, 103, 0}, {SYN, 0, 0}}));

    // A blocking read waits for the next key.
    int bfd = os::open("/dev/event0", O_RDONLY);
    std::thread presser = boxsim::clock::spawn("presser", [&] {
        boxsim::clock::sleep_for(std::chrono::milliseconds(50));
        boxsim::input::press(*box, Role::Panel, 116);
    });
    EXPECT_EQ(os::read(bfd, &r, sizeof r), static_cast<ssize_t>(sizeof r));
    EXPECT_EQ(r.code, 116);
    boxsim::clock::join(presser);
    os::close(bfd);
    os::close(fd);
}

TEST(SimInput, EachOpenIsAClientThatSeesOnlyWhatComesWhileItIsOpen)
{
    auto box = boxtest::make_box_from({{"model", "rcplus"}});
    boxsim::input::press(*box, Role::Panel, 139);  // nobody has the panel open: lost
    EXPECT_EQ(boxsim::input::pending(*box, 0), 0u);
    int a = os::open("/dev/event0", O_RDONLY | O_NONBLOCK);
    EXPECT_TRUE(drain(a).empty());
    boxsim::input::press(*box, Role::Panel, 105);
    int b = os::open("/dev/event0", O_RDONLY | O_NONBLOCK);
    boxsim::input::press(*box, Role::Panel, 106);
    EXPECT_EQ(boxsim::input::clients(*box, 0), 2u);
    EXPECT_EQ(boxsim::input::pending(*box, 0), 8u + 4u);
    std::vector<int> seen_a, seen_b;
    for (const auto &r : drain(a))
        if (r.type == KEY && r.value == 1)
            seen_a.push_back(r.code);
    for (const auto &r : drain(b))
        if (r.type == KEY && r.value == 1)
            seen_b.push_back(r.code);
    EXPECT_EQ(seen_a, (std::vector<int>{105, 106}));
    EXPECT_EQ(seen_b, (std::vector<int>{106}));  // opened after the first key
    os::close(a);
    EXPECT_EQ(boxsim::input::clients(*box, 0), 1u);
    os::close(b);
    EXPECT_EQ(boxsim::input::clients(*box, 0), 0u);
}

TEST(SimInput, AFullBufferDropsWhatIsUnreadAndLeavesSynDropped)
{
    auto box = boxtest::make_box_from({{"model", "rcplus"}});
    int fd = os::open("/dev/event1", O_RDONLY | O_NONBLOCK);
    int other = os::open("/dev/event1", O_RDONLY | O_NONBLOCK);
    // Records of a report not yet ended cannot be read.
    for (int i = 0; i < 62; ++i)
        boxsim::input::inject(*box, 1, KEY, static_cast<uint16_t>(2 + i % 10), 1);
    struct pollfd p = {fd, POLLIN, 0};
    EXPECT_EQ(os::poll(&p, 1, 0), 0);
    Rec r;
    EXPECT_EQ(os::read(fd, &r, sizeof r), -1);
    EXPECT_EQ(errno, EAGAIN);
    // 63 records fit; the report's end makes them readable. The other
    // client reads its copy.
    boxsim::input::inject(*box, 1, SYN, 0, 0);
    EXPECT_EQ(drain(other).size(), 63u);
    // 63 unread and one more: the unread are dropped, SYN_DROPPED and the
    // newest record stay, readable once a report ends.
    boxsim::input::inject(*box, 1, MSC, 4, 0x7001e);
    EXPECT_EQ(boxsim::input::overflows(*box, 1), 1u);
    EXPECT_EQ(boxsim::input::pending(*box, 1), 2u + 1u);  // the other client holds the newest record
    EXPECT_EQ(os::poll(&p, 1, 0), 0);
    boxsim::input::inject(*box, 1, SYN, 0, 0);
    EXPECT_EQ(fields(drain(fd)),
              (std::vector<std::tuple<int, int, int>>{{SYN, 3, 0}, {MSC, 4, 0x7001e}, {SYN, 0, 0}}));
    EXPECT_EQ(fields(drain(other)), (std::vector<std::tuple<int, int, int>>{{MSC, 4, 0x7001e}, {SYN, 0, 0}}));
    EXPECT_EQ(box->trace().count("input"), 1u);
    os::close(fd);
    os::close(other);
}

// The keys (code, value) of the records, and the times of the reports.
struct Typed {
    std::vector<std::pair<int, int>> keys;
    std::vector<int> scans;     // MSC_SCAN values, one before each key record
    std::vector<int64_t> times; // ms of each report's SYN_REPORT
    size_t reports = 0;
};

Typed read_typed(const std::vector<Rec> &recs)
{
    Typed t;
    for (size_t i = 0; i < recs.size(); ++i) {
        const Rec &r = recs[i];
        if (r.type == KEY) {
            t.keys.emplace_back(r.code, r.value);
            EXPECT_TRUE(i > 0 && recs[i - 1].type == MSC && recs[i - 1].code == 4) << "no MSC_SCAN before key " << r.code;
        } else if (r.type == MSC) {
            t.scans.push_back(r.value);
        } else if (r.type == SYN && r.code == 0) {
            ++t.reports;
            t.times.push_back(int64_t(r.tv_sec) * 1000 + r.tv_usec / 1000);
        }
    }
    return t;
}

TEST(SimInput, TheKeyboardTypesOnceOpenAtThePersonsSpeedOrAScanners)
{
    auto box = boxtest::make_box_from({{"model", "rcplus"}, {"input", {{"keyboard", {{"event", 2}, {"name", "USB Keyboard"}, {"typing", 100}}}}}});
    EXPECT_EQ(run_action(*box, "type", {"aB:"}), "ok");
    ASSERT_TRUE(box->exists("/dev/event2"));
    EXPECT_EQ(box->read_file("/sys/class/input/event2/device/name"), "USB Keyboard\n");
    // The person waits until the system has the keyboard open.
    boxsim::clock::sleep_for_ms(300);
    EXPECT_TRUE(boxsim::input::busy(*box));
    auto opened = boxsim::clock::now_ns();
    int fd = os::open("/dev/event2", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(boxtest::eventually([&] { return !boxsim::input::busy(*box); }, 2s));
    Typed t = read_typed(drain(fd));
    // a; shift B; shift colon (semicolon key); Enter: a key each 100 ms.
    std::vector<std::pair<int, int>> expect = {{30, 1}, {30, 0}, {42, 1}, {48, 1}, {48, 0}, {42, 0}, {42, 1},
                                               {39, 1}, {39, 0}, {42, 0}, {28, 1}, {28, 0}};
    EXPECT_EQ(t.keys, expect);
    EXPECT_EQ(t.scans, (std::vector<int>{0x70004, 0x70004, 0x700e1, 0x70005, 0x70005, 0x700e1, 0x700e1, 0x70033,
                                         0x70033, 0x700e1, 0x70028, 0x70028}));
    EXPECT_EQ(t.reports, expect.size());  // a person: one key change a report
    ASSERT_EQ(t.times.size(), expect.size());
    EXPECT_GE(t.times.front(), (opened - box->time_of_ms(0)) / 1000000);
    EXPECT_GE(t.times.back() - t.times.front(), 300);
    EXPECT_EQ(box->trace().find("event").back().value("what", ""), "typed");

    // A scanner: a key every 4 ms, shift and key in one report.
    EXPECT_EQ(run_action(*box, "type", {"--scanner", "A1"}), "ok");
    ASSERT_TRUE(boxtest::eventually([&] { return !boxsim::input::busy(*box); }, 1s));
    t = read_typed(drain(fd));
    EXPECT_EQ(t.keys, (std::vector<std::pair<int, int>>{{42, 1}, {30, 1}, {42, 0}, {30, 0}, {2, 1}, {2, 0}, {28, 1}, {28, 0}}));
    EXPECT_EQ(t.reports, 6u);
    EXPECT_LE(t.times.back() - t.times.front(), 3 * boxsim::input::kScannerKeyMs);

    // Unplugged: the nodes go, the open handle reads ENODEV and polls a hang-up.
    EXPECT_EQ(run_action(*box, "keyboard", {"unplug"}), "ok");
    EXPECT_FALSE(box->exists("/dev/event2"));
    EXPECT_FALSE(box->exists("/sys/class/input/event2/device/name"));
    Rec r;
    EXPECT_EQ(os::read(fd, &r, sizeof r), -1);
    EXPECT_EQ(errno, ENODEV);
    struct pollfd p = {fd, POLLIN, 0};
    EXPECT_EQ(os::poll(&p, 1, 0), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    // Plugged back: a new device; the old handle stays dead.
    EXPECT_EQ(run_action(*box, "keyboard", {"plug"}), "ok");
    boxsim::input::press(*box, Role::Keyboard, 30);
    EXPECT_EQ(os::read(fd, &r, sizeof r), -1);
    EXPECT_EQ(errno, ENODEV);
    os::close(fd);
    EXPECT_EQ(os::open("/dev/event3", O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);

    // Nobody opens it: the person types anyway after a while, into nothing.
    EXPECT_EQ(run_action(*box, "type", {"1"}), "ok");
    ASSERT_TRUE(boxtest::eventually([&] { return !boxsim::input::busy(*box); }, 7s));
    EXPECT_EQ(box->trace().find("event").rbegin()[1].value("clients", -1), 0);
}

TEST(SimInput, ActionsCheckTheirWords)
{
    auto box = boxtest::make_box_from({{"model", "rcplus"}});
    const struct {
        const char *action;
        std::vector<std::string> args;
        bool ok;
    } cases[] = {
        {"key", {"POWER"}, true},       {"key", {"KEY_OK"}, true},   {"key", {"402"}, true},
        {"key", {"1", "5"}, true},      {"key", {"NOPE"}, false},    {"key", {"0x10"}, false},
        {"key", {"OK", "-1"}, false},   {"key", {}, false},          {"panel-key", {"MENU"}, true},
        {"keyboard", {"plug"}, true},   {"keyboard", {"on"}, false}, {"type", {"02:47:58"}, true},
        {"type", {"a#"}, false},        {"type", {}, false},         {"type", {"--scanner", "02"}, true},
        {"type", {"--scanner"}, false}, {"type", {"--ms", "50", "1"}, true}, {"type", {"--ms", "5", "1"}, false},
        {"type", {"--ms", "x", "1"}, false}, {"type", {"--ms"}, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(run_action(*box, c.action, c.args) == "ok", c.ok) << c.action << " " << (c.args.empty() ? "" : c.args[0]);
    EXPECT_EQ(boxsim::input::key_code("VOLUMEUP"), 115);
    EXPECT_EQ(boxsim::input::key_code("8"), 9);  // the digit key, not the code
    EXPECT_EQ(boxsim::input::key_code("768"), std::nullopt);
    // A box whose profile lists no keyboard cannot type.
    auto bare = boxtest::make_box_from({{"input", {{"devices", boxsim::json::array({{{"event", 0}, {"name", "corvane-fp"}, {"role", "panel"}}})}}}});
    EXPECT_FALSE(boxsim::input::type_text(*bare, "1"));
}

} // namespace
