// The termination path of the process layer: daemon_exit runs the hook the
// daemon registered, then ends the process with the given code.
#include <cstdio>
#include <gtest/gtest.h>
#include <unistd.h>

#include "command/process.h"

namespace {

void announcing_hook()
{
    fputs("termination hook ran\n", stderr);
    fflush(stderr);
}

TEST(ProcessDeathTest, TerminationRunsTheHookAndExitsWithTheCode)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    set_termination_hook(announcing_hook);
    EXPECT_EXIT(daemon_exit(EXIT_TEMPFAIL), ::testing::ExitedWithCode(EXIT_TEMPFAIL), "termination hook ran");
    set_termination_hook(nullptr);
    // Without a hook the process still ends with the code, saying nothing.
    EXPECT_EXIT(
        {
            daemon_exit(EXIT_NOPERM);
        },
        ::testing::ExitedWithCode(EXIT_NOPERM), "^$");
}

}  // namespace
