// The card-slot monitors: answers to reset, removal and re-insertion, and
// the CI slots' poll report.
#include "console_test_util.h"

#include "console/cards.h"
#include "devices/cards.h"
#include "platform/os.h"

#include <fcntl.h>

namespace {

using namespace consoletest;

class Cards : public ConsoleTest {
protected:
    // The readers opened as the task opens them.
    void open_readers(int (&fds)[2])
    {
        for (int n = 0; n < 2; ++n) {
            std::string path = "/dev/sci" + std::to_string(n);
            g_status.sci_present[n] = box->exists(path) ? 1 : 0;
            fds[n] = os::open(path.c_str(), O_RDWR);
        }
    }
};

TEST_F(Cards, OnlyAValidFirstByteCountsAsAnAnswer)
{
    start({{"cards", {{"readers", {0, 1}}}}});
    int fds[2];
    open_readers(fds);
    const struct {
        const char *atr;
        int answered;
    } cases[] = {{"3B9F96801FC78031E073FE211B", 1}, {"3F77180000C1", 1}, {"0011", 0}, {"", 0}, {"3C01", 0}};
    for (const auto &c : cases) {
        boxsim::cards::insert(*box, 0, c.atr);
        g_status.sci_atr[0] = 0;
        int resets = boxsim::cards::resets(*box, 0);
        sci_pass(fds);
        EXPECT_EQ(g_status.sci_card[0], 1) << c.atr;
        EXPECT_EQ(g_status.sci_atr[0], c.answered) << c.atr;
        EXPECT_EQ(boxsim::cards::resets(*box, 0), resets + 1) << c.atr;
        // A card without an answer is reset again on the next pass; one
        // that answered is left alone.
        sci_pass(fds);
        EXPECT_EQ(boxsim::cards::resets(*box, 0), resets + 2 - c.answered) << c.atr;
    }
    // Removed: no card, no answer; put back: reset once more.
    boxsim::cards::insert(*box, 0, "3B00");
    sci_pass(fds);
    ASSERT_EQ(g_status.sci_atr[0], 1);
    boxsim::cards::remove(*box, 0);
    sci_pass(fds);
    EXPECT_EQ(g_status.sci_card[0], 0);
    EXPECT_EQ(g_status.sci_atr[0], 0);
    int resets = boxsim::cards::resets(*box, 0);
    boxsim::cards::insert(*box, 0, "3B00");
    sci_pass(fds);
    EXPECT_EQ(boxsim::cards::resets(*box, 0), resets + 1);
    EXPECT_EQ(g_status.sci_atr[0], 1);
    // The empty reader 1 was asked for its card every pass, never reset.
    EXPECT_EQ(boxsim::cards::resets(*box, 1), 0);
    EXPECT_EQ(g_status.sci_card[1], 0);
}

TEST_F(Cards, TasksFindTheirDevicesOnceAndCloseThemOnQuit)
{
    start({{"cards", {{"readers", {1}}, {"inserted", {{"1", "3B021450"}}}}}, {"ci", {{"slots", {1}}, {"modules", {1}}}}}, 3);
    run(task_sci);
    run(task_ci);
    ASSERT_TRUE(boxtest::eventually([] { return g_status.sci_atr[1] == 1 && g_status.ci_module[1] == 1; }, 3s));
    EXPECT_EQ(g_status.sci_present[0], 0);
    EXPECT_EQ(g_status.ci_present[0], 0);
    EXPECT_EQ(g_status.sci_present[1], 1);
    EXPECT_EQ(g_status.ci_present[1], 1);
    // The CI slot got its reset once; the module leaves: POLLPRI, no module.
    size_t ci_resets = 0;
    for (const auto &e : box->trace().find("ioctl", "/dev/ci1"))
        ci_resets += e.value("name", "") == "CI_IOCTL_RESET";
    EXPECT_EQ(ci_resets, 1u);
    boxsim::cards::ci_module(*box, 1, false);
    ASSERT_TRUE(boxtest::eventually([] { return g_status.ci_module[1] == 0; }, 2s));

    g_status.quit = 1;
    for (auto &t : threads)
        boxsim::clock::join(t);
    threads.clear();
    EXPECT_EQ(box->trace().count("close", "/dev/sci1"), 1u);
    EXPECT_EQ(box->trace().count("close", "/dev/ci1"), 1u);
    EXPECT_EQ(box->trace().count("close", "/dev/sci0"), 0u);  // never opened
}

} // namespace
