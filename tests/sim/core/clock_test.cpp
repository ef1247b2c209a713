// The virtual clock's reports of a run that cannot go on: every thread waits
// with no deadline, or one thread runs without ever reaching the box. Both
// end the process with status 4 and name each thread and what it waits on.
#include "kni/bkni.h"
#include "platform/os.h"
#include "sim_test.h"

#include <gtest/gtest.h>

#include <cstdlib>

// The threads' functions are named in the report by their symbols.
extern "C" void *waits_for_the_event(void *event)
{
    BKNI_WaitForEvent(static_cast<BKNI_EventHandle>(event), BKNI_INFINITE);
    return nullptr;
}

extern "C" void *never_reaches_the_box(void *)
{
    volatile bool forever = true;
    while (forever) {
    }
    return nullptr;
}

namespace {

// The child that dies runs the test program again from its start, so that no
// thread of an earlier test is in it; the box's own build runs under a
// user-mode emulator that cannot start the program again, and there the
// child is forked instead (ctest runs every test in a process of its own, so
// no other thread is there to be lost by the fork).
void die_in_a_fresh_process()
{
#if defined(__mips__)
    GTEST_FLAG_SET(death_test_style, "fast");
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
#endif
}

TEST(StuckRunDeathTest, EveryThreadWaitingForEverIsNamedWithItsCall)
{
    die_in_a_fresh_process();
    EXPECT_EXIT(
        {
            auto box = boxtest::make_box();
            BKNI_EventHandle event = nullptr;
            BKNI_CreateEvent(&event);
            pthread_t t;
            os::pthread_create(&t, waits_for_the_event, event);
            os::pthread_join(t, nullptr);
        },
        testing::ExitedWithCode(4),
        "every thread waits and none has a deadline\n"
        ".*main: waits in pthread_join waits_for_the_event\n"
        ".*waits_for_the_event: waits in pthread_cond_wait");
}

TEST(StuckRunDeathTest, AThreadThatNeverReachesTheBoxIsNamedAfterItsTime)
{
    die_in_a_fresh_process();
    EXPECT_EXIT(
        {
            setenv("BOXSIM_STUCK_SECONDS", "0.5", 1);
            auto box = boxtest::make_box();
            pthread_t t;
            os::pthread_create(&t, never_reaches_the_box, nullptr);
            os::pthread_join(t, nullptr);
        },
        testing::ExitedWithCode(4),
        "thread never_reaches_the_box ran for more than 0.5 s of wall time without reaching the box");
}

} // namespace
