// The simulated input devices as an evdev driver gives them: records in the
// box's layout, non-blocking reads and poll, plugging and unplugging, and
// the scenario actions that press and type.
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

std::vector<Rec> drain(int fd)
{
    std::vector<Rec> out;
    Rec r;
    while (os::read(fd, &r, sizeof r) == static_cast<ssize_t>(sizeof r))
        out.push_back(r);
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

TEST(SimInput, RecordsPollAndNonBlockingReadsAsAnEventDevice)
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

    ASSERT_TRUE(boxsim::input::press(*box, Role::Remote, 352, 2));
    EXPECT_EQ(os::poll(&p, 1, 0), 1);
    EXPECT_EQ(p.revents, POLLIN);
    // Too small for a record: refused, nothing taken.
    char small[8];
    EXPECT_EQ(os::read(fd, small, sizeof small), -1);
    EXPECT_EQ(errno, EINVAL);
    auto recs = drain(fd);
    // Press, two repeats, release; each with its report marker.
    ASSERT_EQ(recs.size(), 8u);
    const int values[] = {1, 2, 2, 0};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(recs[2 * i].type, 1);
        EXPECT_EQ(recs[2 * i].code, 352);
        EXPECT_EQ(recs[2 * i].value, values[i]);
        EXPECT_EQ(recs[2 * i + 1].type, 0);
    }
    EXPECT_EQ(os::poll(&p, 1, 0), 0);
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

TEST(SimInput, KeyboardComesAndGoesAndTypesWithShift)
{
    auto box = boxtest::make_box_from({{"model", "rcplus"}});
    EXPECT_EQ(run_action(*box, "type", {"aB:"}), "ok");
    ASSERT_TRUE(box->exists("/dev/event2"));
    EXPECT_EQ(box->read_file("/sys/class/input/event2/device/name"), "USB Keyboard\n");
    int fd = os::open("/dev/event2", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    std::vector<std::pair<int, int>> keys;
    for (const auto &r : drain(fd))
        if (r.type == 1)
            keys.emplace_back(r.code, r.value);
    // a; shift B; shift colon (semicolon key); Enter.
    std::vector<std::pair<int, int>> expect = {{30, 1}, {30, 0}, {42, 1}, {48, 1}, {48, 0}, {42, 0}, {42, 1},
                                               {39, 1}, {39, 0}, {42, 0}, {28, 1}, {28, 0}};
    EXPECT_EQ(keys, expect);

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
        {"type", {"a#"}, false},        {"type", {}, false},
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
