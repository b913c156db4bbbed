// End of standard input while the link is thought up but the board is gone:
// the program still ends, and says the tables were not written.
#include <gtest/gtest.h>

#include <unistd.h>

#include "flashu.h"

int Torvex_Main(int argc, char **argv);

namespace {

TEST(EndOfInput, FailedShutdownStillEndsWithAWarning)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(dup2(fds[0], STDIN_FILENO), STDIN_FILENO);
    close(fds[0]);
    close(fds[1]);
    link_up = 1;   // no port is open: every exchange fails
    char arg0[] = "torvex";
    char *argv[] = {arg0, nullptr};
    testing::internal::CaptureStdout();
    int rc = Torvex_Main(1, argv);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(exit_program, 1);
    const std::string tail = "End of input: flash tables NOT written to the target!\n";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    size_t first = out.find("FAILED!");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(out.find("FAILED!", first + 1), std::string::npos);   // reported once
    EXPECT_NE(out.find("FLASH CMD: \n"), std::string::npos);
}

}  // namespace
