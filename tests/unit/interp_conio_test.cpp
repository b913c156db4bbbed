// Key polls on a piped standard input: ESC is a key, anything else stays for
// the line reader; nothing blocks.
#include <gtest/gtest.h>

#include <unistd.h>

#include "CONIO.h"
#include "FLCOMMON.h"

namespace {

TEST(ConsoleOnAPipe, PollsNeverStealLineCharacters)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(dup2(fds[0], STDIN_FILENO), STDIN_FILENO);
    close(fds[0]);
    int w = fds[1];
    ASSERT_FALSE(Con_Is_Tty());

    EXPECT_FALSE(Con_Kbhit());   // nothing written yet: returns at once
    const char first[] = "\x1b" "ab\n";
    ASSERT_EQ(write(w, first, 4), 4);
    EXPECT_TRUE(Con_Kbhit());
    EXPECT_EQ(Con_Getch(), CON_ESC);
    EXPECT_FALSE(Con_Kbhit());   // 'a' is pending, not a key
    EXPECT_FALSE(User_Abort());

    char line[255];
    bool too_long = true;
    ASSERT_TRUE(Con_Read_Line(line, sizeof line, &too_long));
    EXPECT_STREQ(line, "ab");
    EXPECT_FALSE(too_long);

    ASSERT_EQ(write(w, "\x1b", 1), 1);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(User_Abort());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n");

    ASSERT_EQ(write(w, "Nyx\n", 4), 4);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(User_Confirmed("Go?", true));
    EXPECT_TRUE(User_Confirmed("Go?", false));
    EXPECT_FALSE(User_Confirmed("Go?", false));   // any other key: the default
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Go? [y]: N\nGo? [n]: y\nGo? [n]: x\n");

    const char long_line[] = "0123456789\r\n01234\r\nabc";
    ASSERT_EQ(write(w, long_line, sizeof long_line - 1), (ssize_t)sizeof long_line - 1);
    close(w);
    char small[6];
    ASSERT_TRUE(Con_Read_Line(line, sizeof line, &too_long));   // the "\n" left by the answers
    EXPECT_STREQ(line, "");
    ASSERT_TRUE(Con_Read_Line(small, sizeof small, &too_long));
    EXPECT_STREQ(small, "01234");
    EXPECT_TRUE(too_long);
    ASSERT_TRUE(Con_Read_Line(small, sizeof small, &too_long));   // CR past a full buffer
    EXPECT_STREQ(small, "01234");
    EXPECT_FALSE(too_long);
    ASSERT_TRUE(Con_Read_Line(line, sizeof line, &too_long));
    EXPECT_STREQ(line, "abc");
    EXPECT_FALSE(Con_Read_Line(line, sizeof line, &too_long));
    EXPECT_EQ(Con_Getch(), CON_EOF);
    EXPECT_FALSE(Con_Kbhit());
    testing::internal::CaptureStdout();
    EXPECT_TRUE(User_Confirmed("Go?", true));   // end of input: the default
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Go? [y]: \n");
}

}  // namespace
