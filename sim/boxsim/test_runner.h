// boxsim test: runs scenario scripts with expectations as a test suite, each
// script in a boxsim process of its own, several at a time, and writes one
// JUnit report for them all.
#pragma once

namespace boxsim::tool {

// `boxsim test ARGS...` (argv[0] is "test"). Returns the exit status: 0 when
// every run passed, 3 when one failed, 2 for a bad command line or script.
int run_tests(int argc, char **argv);

} // namespace boxsim::tool
