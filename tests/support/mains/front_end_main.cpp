// Test programs that run a whole front end: the system's tasks are never
// joined (on the box they end with the process), so the program ends the way
// the box's process does, without running static destructors under tasks
// that may still be between two passes.
#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    fflush(stdout);
    fflush(stderr);
    _exit(result);
}
