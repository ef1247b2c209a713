#include "kni/bkni.h"

#include "sim_test.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

namespace {

using Clock = boxsim::BoxSteadyClock;

// The kernel interface runs on a box's clock: the box is made before the
// tests, so every wait below is on the virtual clock, to the nanosecond.
class OnABox : public testing::Environment {
public:
    void SetUp() override { box_ = boxtest::make_box(); }

private:
    std::unique_ptr<boxsim::Box> box_;
};
const auto *const g_on_a_box = testing::AddGlobalTestEnvironment(new OnABox);

long elapsed_ms(Clock::time_point since)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

struct Event {
    BKNI_EventHandle h = nullptr;
    Event() { EXPECT_EQ(BKNI_CreateEvent(&h), BERR_SUCCESS); }
    ~Event() { BKNI_DestroyEvent(h); }
};

TEST(Event, ZeroTimeoutNeverWaitsAndConsumesTheSignal)
{
    Event e;
    auto t0 = Clock::now();
    EXPECT_EQ(BKNI_WaitForEvent(e.h, 0), BERR_TIMEOUT);
    BKNI_SetEvent(e.h);
    EXPECT_EQ(BKNI_WaitForEvent(e.h, 0), BERR_SUCCESS);
    // The wait consumed the signal: the event is clear again.
    EXPECT_EQ(BKNI_WaitForEvent(e.h, 0), BERR_TIMEOUT);
    EXPECT_LT(elapsed_ms(t0), 50);
}

TEST(Event, ShortAndNegativeTimeoutsWaitTheTenMillisecondMinimum)
{
    Event e;
    for (int timeout : {1, 9, -2, -1000}) {
        auto t0 = Clock::now();
        EXPECT_EQ(BKNI_WaitForEvent(e.h, timeout), BERR_TIMEOUT) << timeout;
        EXPECT_GE(elapsed_ms(t0), 10) << timeout;
    }
}

TEST(Event, SignalsDoNotCount)
{
    Event e;
    BKNI_SetEvent(e.h);
    BKNI_SetEvent(e.h);
    auto t0 = Clock::now();
    EXPECT_EQ(BKNI_WaitForEvent(e.h, 100), BERR_SUCCESS);
    EXPECT_LT(elapsed_ms(t0), 50);
    t0 = Clock::now();
    EXPECT_EQ(BKNI_WaitForEvent(e.h, 100), BERR_TIMEOUT);
    EXPECT_GE(elapsed_ms(t0), 100);
}

TEST(Event, SetFromAnotherTaskWakesAnInfiniteWait)
{
    Event e;
    std::thread t = boxsim::clock::spawn("t", [&] {
        boxsim::clock::sleep_for(std::chrono::milliseconds(30));
        BKNI_SetEvent(e.h);
    });
    EXPECT_EQ(BKNI_WaitForEvent(e.h, BKNI_INFINITE), BERR_SUCCESS);
    boxsim::clock::join(t);
}

TEST(Event, ResetClearsAPendingSignal)
{
    Event e;
    BKNI_SetEvent(e.h);
    BKNI_ResetEvent(e.h);
    EXPECT_EQ(BKNI_WaitForEvent(e.h, 0), BERR_TIMEOUT);
}

// A set that lands right at the deadline must still count: many short waits
// raced against sets; every set is seen by exactly one wait or stays pending.
TEST(Event, SetRacingTheDeadlineIsNeverLost)
{
    Event e;
    std::atomic<int> sets{0};
    std::atomic<bool> stop{false};
    std::thread setter = boxsim::clock::spawn("setter", [&] {
        while (!stop) {
            BKNI_SetEvent(e.h);
            ++sets;
            boxsim::clock::sleep_for(std::chrono::microseconds(9700));
        }
    });
    int got = 0;
    auto t0 = Clock::now();
    while (elapsed_ms(t0) < 400)
        got += BKNI_WaitForEvent(e.h, 10) == BERR_SUCCESS;
    stop = true;
    boxsim::clock::join(setter);
    got += BKNI_WaitForEvent(e.h, 0) == BERR_SUCCESS;
    // Signals do not count, so got <= sets; but a wait never times out while a
    // signal is pending, so nearly every set is seen.
    EXPECT_LE(got, sets.load());
    EXPECT_GE(got, sets.load() / 2);
}

TEST(TargetTime, NanosecondsCarryIntoSeconds)
{
    struct timespec now = {100, 999000000};
    struct timespec target;
    BKNI_P_AddMs(&target, &now, 1);
    EXPECT_EQ(target.tv_sec, 101);
    EXPECT_EQ(target.tv_nsec, 0);
    BKNI_P_AddMs(&target, &now, 2500);
    EXPECT_EQ(target.tv_sec, 103);
    EXPECT_EQ(target.tv_nsec, 499000000);
    now = {5, 0};
    BKNI_P_AddMs(&target, &now, 999);
    EXPECT_EQ(target.tv_sec, 5);
    EXPECT_EQ(target.tv_nsec, 999000000);
}

TEST(Sleep, ZeroReturnsAtOnceAndShortSleepsSleep)
{
    auto t0 = Clock::now();
    EXPECT_EQ(BKNI_Sleep(0), BERR_SUCCESS);
    EXPECT_LT(elapsed_ms(t0), 20);
    t0 = Clock::now();
    EXPECT_EQ(BKNI_Sleep(30), BERR_SUCCESS);
    EXPECT_GE(elapsed_ms(t0), 30);
}

// The tick wraps every 71.6 minutes; a delay across the wrap must end after
// the requested time, not after a whole turn of the counter.
std::atomic<uint32_t> g_fake_tick;
uint32_t fake_tick() { return g_fake_tick.fetch_add(7); }

TEST(Delay, AcrossTheWrapOfTheTick)
{
    g_fake_tick = 0xFFFFFF00u;
    BKNI_P_SetTickSource(fake_tick);
    BKNI_Delay(1000);
    uint32_t end = g_fake_tick.load();
    BKNI_P_SetTickSource(nullptr);
    uint32_t spent = end - 0xFFFFFF00u;
    EXPECT_GE(spent, 1000u);
    EXPECT_LT(spent, 1100u);
}

TEST(Delay, RealClockWaitsAtLeastTheRequest)
{
    auto t0 = Clock::now();
    BKNI_Delay(2000);
    EXPECT_GE(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count(), 2000);
}

TEST(Mutex, TryAcquireReportsAHeldMutexAsTimeout)
{
    BKNI_MutexHandle m = nullptr;
    ASSERT_EQ(BKNI_CreateMutex(&m), BERR_SUCCESS);
    ASSERT_EQ(BKNI_AcquireMutex(m), BERR_SUCCESS);
    BERR_Code other = BERR_SUCCESS;
    std::thread t = boxsim::clock::spawn("t", [&] { other = BKNI_TryAcquireMutex(m); });
    boxsim::clock::join(t);
    EXPECT_EQ(other, BERR_TIMEOUT);
    EXPECT_EQ(BKNI_ReleaseMutex(m), 0);
    EXPECT_EQ(BKNI_TryAcquireMutex(m), BERR_SUCCESS);
    EXPECT_EQ(BKNI_ReleaseMutex(m), 0);

    BKNI_MutexSettings s = {7};
    BKNI_GetMutexSettings(m, &s);
    EXPECT_EQ(s.suspended, 0);
    s.suspended = 1;
    EXPECT_EQ(BKNI_SetMutexSettings(m, &s), BERR_SUCCESS);
    BKNI_MutexSettings back = {0};
    BKNI_GetMutexSettings(m, &back);
    EXPECT_EQ(back.suspended, 1);
    BKNI_DestroyMutex(m);
}

TEST(Group, CapacityZeroIsRefusedAndSignalsAreCollected)
{
    BKNI_EventGroupHandle g = nullptr;
    ASSERT_EQ(BKNI_CreateEventGroup(&g), BERR_SUCCESS);
    Event a, b, c;
    BKNI_EventHandle out[3] = {};
    unsigned n = 99;
    EXPECT_EQ(BKNI_WaitForGroup(g, 0, out, 0, &n), BERR_INVALID_PARAMETER);

    ASSERT_EQ(BKNI_AddEventGroup(g, a.h), BERR_SUCCESS);
    ASSERT_EQ(BKNI_AddEventGroup(g, b.h), BERR_SUCCESS);
    ASSERT_EQ(BKNI_AddEventGroup(g, c.h), BERR_SUCCESS);
    EXPECT_EQ(BKNI_AddEventGroup(g, a.h), BERR_OS_ERROR);  // already a member

    EXPECT_EQ(BKNI_WaitForGroup(g, 0, out, 3, &n), BERR_TIMEOUT);
    EXPECT_EQ(n, 0u);

    BKNI_SetEvent(a.h);
    BKNI_SetEvent(c.h);
    EXPECT_EQ(BKNI_WaitForGroup(g, 100, out, 1, &n), BERR_SUCCESS);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(out[0], c.h);  // most recently added first
    EXPECT_EQ(BKNI_WaitForGroup(g, 100, out, 3, &n), BERR_SUCCESS);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(out[0], a.h);

    std::thread t = boxsim::clock::spawn("t", [&] {
        boxsim::clock::sleep_for(std::chrono::milliseconds(20));
        BKNI_SetEvent(b.h);
    });
    EXPECT_EQ(BKNI_WaitForGroup(g, BKNI_INFINITE, out, 3, &n), BERR_SUCCESS);
    boxsim::clock::join(t);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(out[0], b.h);

    EXPECT_EQ(BKNI_RemoveEventGroup(g, b.h), BERR_SUCCESS);
    EXPECT_EQ(BKNI_RemoveEventGroup(g, b.h), BERR_OS_ERROR);
    BKNI_SetEvent(b.h);
    EXPECT_EQ(BKNI_WaitForGroup(g, 10, out, 3, &n), BERR_TIMEOUT);
    // Destroying the group detaches the rest; they can join another group.
    BKNI_DestroyEventGroup(g);
    ASSERT_EQ(BKNI_CreateEventGroup(&g), BERR_SUCCESS);
    EXPECT_EQ(BKNI_AddEventGroup(g, a.h), BERR_SUCCESS);
    BKNI_DestroyEventGroup(g);
}

TEST(Group, AddingASignalledEventWakesTheGroup)
{
    BKNI_EventGroupHandle g = nullptr;
    ASSERT_EQ(BKNI_CreateEventGroup(&g), BERR_SUCCESS);
    Event a;
    BKNI_SetEvent(a.h);
    ASSERT_EQ(BKNI_AddEventGroup(g, a.h), BERR_SUCCESS);
    BKNI_EventHandle out[1];
    unsigned n = 0;
    EXPECT_EQ(BKNI_WaitForGroup(g, 0, out, 1, &n), BERR_SUCCESS);
    EXPECT_EQ(n, 1u);
    BKNI_DestroyEvent(a.h);  // unlinks itself from the group
    a.h = nullptr;
    EXPECT_EQ(BKNI_WaitForGroup(g, 0, out, 1, &n), BERR_TIMEOUT);
    BKNI_DestroyEventGroup(g);
    ASSERT_EQ(BKNI_CreateEvent(&a.h), BERR_SUCCESS);
}

TEST(Family, InitCountsUsersAndDumpFormatsLines)
{
    EXPECT_EQ(BKNI_Init(), BERR_SUCCESS);
    EXPECT_EQ(BKNI_Init(), BERR_SUCCESS);
    EXPECT_EQ(BKNI_Uninit(), 1);
    EXPECT_EQ(BKNI_Uninit(), 0);
    EXPECT_EQ(BKNI_GetMallocEntryInfo(nullptr, nullptr), BERR_NOT_SUPPORTED);

    const char data[] = "Hello, box!\x01\x7f_0123456789";
    testing::internal::CaptureStdout();
    BKNI_Dump(data, 20);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "0000: 48 65 6c 6c 6f 2c 20 62 6f 78 21 01 7f 5f 30 31     Hello, box!.._01\n"
              "0010: 32 33 34 35                                         2345\n");

    char buf[8];
    EXPECT_EQ(BKNI_Snprintf(buf, sizeof buf, "%d-%s", 42, "abcdefgh"), 11);
    EXPECT_STREQ(buf, "42-abcd");
}

TEST(FamilyDeathTest, FailEndsTheProcessAbnormallyWithItsMessage)
{
    EXPECT_DEATH(BKNI_Fail(), "BKNI_Fail is intentionally causing a segfault");
}

} // namespace
