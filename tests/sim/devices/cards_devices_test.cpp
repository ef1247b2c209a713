// The simulated card readers, CI slots and small driver files.
#include "devices/cards.h"
#include "devices/panel.h"
#include "platform/box_abi.h"
#include "platform/os.h"
#include "sim_test.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>

namespace {

using namespace std::chrono_literals;

TEST(SimCards, ReaderAnswersResetOnlyWithACardThatAnswers)
{
    auto box = boxtest::make_box_from({{"cards", {{"readers", {0}}, {"inserted", {{"0", "3F01"}}}}}});
    EXPECT_FALSE(box->exists("/dev/sci1"));
    int fd = os::open("/dev/sci0", O_RDWR);
    ASSERT_GE(fd, 0);
    int32_t word = -1;
    ASSERT_EQ(os::ioctl(fd, box_abi::SCI_IOCTL_CARD_DETECT, &word), 0);
    EXPECT_EQ(word, 1);
    EXPECT_EQ(os::ioctl(fd, box_abi::SCI_IOCTL_CARD_DETECT, 0UL), -1);
    EXPECT_EQ(errno, EFAULT);
    // The reset reads its 32-bit word: a null pointer resets nothing.
    EXPECT_EQ(os::ioctl(fd, box_abi::SCI_IOCTL_RESET, 0UL), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(boxsim::cards::resets(*box, 0), 0);
    int32_t zero = 0;
    ASSERT_EQ(os::ioctl(fd, box_abi::SCI_IOCTL_RESET, &zero), 0);
    unsigned char atr[33] = {};
    EXPECT_EQ(os::read(fd, atr, sizeof atr), 2);  // blocks until the answer is there
    EXPECT_EQ(atr[0], 0x3F);
    // Nothing more without a new reset: the answer timer runs out.
    auto t0 = boxsim::BoxSteadyClock::now();
    EXPECT_EQ(os::read(fd, atr, sizeof atr), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_GE(boxsim::BoxSteadyClock::now() - t0, std::chrono::milliseconds(boxsim::cards::kAtrTimeoutMs - 20));

    // A card that never answers, and no card at all.
    boxsim::cards::insert(*box, 0, "");
    os::ioctl(fd, box_abi::SCI_IOCTL_RESET, &zero);
    EXPECT_EQ(os::read(fd, atr, sizeof atr), -1);
    boxsim::cards::remove(*box, 0);
    os::ioctl(fd, box_abi::SCI_IOCTL_CARD_DETECT, &word);
    EXPECT_EQ(word, 0);
    EXPECT_EQ(os::ioctl(fd, box_abi::SCI_IOCTL_RESET, &zero), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(boxsim::cards::resets(*box, 0), 3);
    EXPECT_EQ(os::ioctl(fd, 0x1234, 0UL), -1);
    EXPECT_EQ(errno, ENOTTY);
    os::close(fd);
}

TEST(SimCards, CiSlotReportsPriorityWhileEmpty)
{
    auto box = boxtest::make_box_from({{"ci", {{"slots", {0, 1}}, {"modules", {1}}}}});
    int fd0 = os::open("/dev/ci0", O_RDWR | O_NONBLOCK), fd1 = os::open("/dev/ci1", O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd0, 0);
    ASSERT_GE(fd1, 0);
    EXPECT_EQ(os::ioctl(fd0, box_abi::CI_IOCTL_RESET), 0);
    struct pollfd p[2] = {{fd0, POLLIN | POLLPRI | POLLOUT, 0}, {fd1, POLLIN | POLLPRI | POLLOUT, 0}};
    EXPECT_EQ(os::poll(p, 2, 0), 1);
    EXPECT_EQ(p[0].revents, POLLPRI);
    EXPECT_EQ(p[1].revents, 0);
    boxsim::cards::ci_module(*box, 0, true);
    boxsim::cards::ci_module(*box, 1, false);
    EXPECT_EQ(os::poll(p, 2, 0), 1);
    EXPECT_EQ(p[0].revents, 0);
    EXPECT_EQ(p[1].revents, POLLPRI);
    // Without a "ci" key the box has no slots; "cards" absent gives both readers.
    auto bare = boxtest::make_box_from({{"model", "tetra"}});
    EXPECT_FALSE(bare->exists("/dev/ci0"));
    EXPECT_TRUE(bare->exists("/dev/sci0") && bare->exists("/dev/sci1"));
}

TEST(SimMisc, UptimeFollowsTheClockAndDebugCommandPaintsTheLcd)
{
    auto box = boxtest::make_box_from({{"lcd", {{"xres", 220}, {"yres", 176}, {"bpp", 16}}}, {"uptime_at_start_s", 90000}});
    auto uptime = [&] { return std::stod(box->read_file("/proc/uptime")); };
    double first = uptime();
    EXPECT_GE(first, 90000.0);
    ASSERT_TRUE(boxtest::eventually([&] { return uptime() >= first + 0.1; }, 2s));
    EXPECT_EQ(box->read_file("/proc/stb/fp/temp_sensor"), "21\n");
    EXPECT_EQ(box->read_file("/proc/stb/fp/oled_brightness"), "0\n");
    EXPECT_EQ(os::system("echo dev_lcd other > /proc/stb/dbg"), 0);
    EXPECT_FALSE(boxsim::lcd_frame(*box));
    EXPECT_EQ(os::system("echo dev_lcd white > /proc/stb/dbg"), 0);
    auto f = boxsim::lcd_frame(*box);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->bytes.size(), 220u * 176 * 2);
    EXPECT_TRUE(std::all_of(f->bytes.begin(), f->bytes.end(), [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(box->trace().count("dbg"), 2u);
    // Frames equal to the last one and frames that differ: each is counted,
    // kept whole, and named in the trace and the state by its own bytes.
    std::vector<uint8_t> grey(220u * 176 * 2, 0x5A);
    auto hex = [](uint64_t h) {
        char text[24];
        snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
        return std::string(text);
    };
    std::vector<std::pair<uint64_t, uint64_t>> seen;  // number, hash
    for (int step = 0; step < 4; ++step) {
        if (step == 2) {
            int fd = os::open("/dev/lcd0", O_WRONLY);
            ASSERT_GE(fd, 0);
            EXPECT_EQ(os::write(fd, grey.data(), grey.size()), static_cast<ssize_t>(grey.size()));
            os::close(fd);
        } else if (step > 0) {
            EXPECT_EQ(os::system("echo dev_lcd white > /proc/stb/dbg"), 0);
        }
        auto now = boxsim::lcd_frame(*box);
        ASSERT_TRUE(now);
        const std::vector<uint8_t> &want = step == 2 ? grey : f->bytes;
        EXPECT_TRUE(now->bytes == want) << "step " << step;
        EXPECT_EQ(now->hash, boxsim::frame_hash(want.data(), want.size())) << "step " << step;
        EXPECT_EQ(box->describe()["lcd"]["hash"], hex(now->hash));
        seen.emplace_back(now->number, now->hash);
    }
    EXPECT_EQ(seen[1].first, seen[0].first + 1);
    EXPECT_EQ(seen[3].first, seen[0].first + 3);
    EXPECT_EQ(seen[1].second, seen[0].second);
    EXPECT_NE(seen[2].second, seen[1].second);
    EXPECT_EQ(seen[3].second, seen[0].second);
    auto writes = box->trace().find("write", "/dev/lcd0");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0]["hash"], hex(seen[2].second));
    // Values a profile gives at boot are kept.
    auto warm = boxtest::make_box_from({{"files", {{"/proc/stb/fp/temp_sensor", "35\n"}}}});
    EXPECT_EQ(warm->read_file("/proc/stb/fp/temp_sensor"), "35\n");
}

} // namespace
