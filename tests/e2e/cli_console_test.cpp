// TORVEX on a real terminal (a pseudo-terminal): lines in canonical mode, key
// reads in non-canonical no-echo mode only while they wait, and the terminal
// put back when the program is stopped by a signal in the middle of a key read.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "run_torvex.h"

namespace {

class Terminal_Session : public testing::Test {
protected:
    void SetUp() override
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        std::string slave_name = ptsname(master_);
        slave_ = open(slave_name.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave_, 0);
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            setsid();
            int fd = open(slave_name.c_str(), O_RDWR);
            dup2(fd, 0);
            dup2(fd, 1);
            dup2(fd, 2);
            unsetenv("FLASHOPT");
            if (chdir(dir_.path().c_str()) != 0) _exit(126);
            execl(TORVEX_BIN_DIR "/torvex", "torvex", (char *)nullptr);
            _exit(127);
        }
    }
    void TearDown() override
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(master_);
        close(slave_);
    }
    // Reads the terminal's output until `what` shows up (or 10 s pass).
    bool Wait_For(const std::string &what)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (seen_.find(what) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            struct pollfd p {master_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buf[1024];
            ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0) return false;
            seen_.append(buf, (size_t)n);
        }
        seen_.erase(0, seen_.find(what) + what.size());
        return true;
    }
    void Type(const std::string &text) { ASSERT_EQ(write(master_, text.data(), text.size()), (ssize_t)text.size()); }
    tcflag_t Local_Flags()
    {
        struct termios t;
        EXPECT_EQ(tcgetattr(slave_, &t), 0);
        return t.c_lflag & (ICANON | ECHO);
    }
    // The mode switch follows the prompt text by a moment.
    tcflag_t Flags_Settled(tcflag_t want)
    {
        for (int i = 0; i < 200 && Local_Flags() != want; i++) usleep(5000);
        return Local_Flags();
    }
    int Wait_Exit()
    {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

    Scratch_Dir dir_;
    int master_ = -1, slave_ = -1;
    pid_t pid_ = -1;
    std::string seen_;
};

TEST_F(Terminal_Session, KeyReadSwitchesModeOnlyWhileItWaits)
{
    ASSERT_TRUE(Wait_For("FLASH CMD: "));
    EXPECT_EQ(Local_Flags(), ICANON | ECHO);
    Type("gr=typed\n");
    ASSERT_TRUE(Wait_For("gr=typed\r\n"));   // echoed by the terminal itself
    ASSERT_TRUE(Wait_For("Group name set to TYPED"));
    ASSERT_TRUE(Wait_For("FLASH CMD: "));
    Type("help\n");
    ASSERT_TRUE(Wait_For("Display command options? [y]: "));
    EXPECT_EQ(Flags_Settled(0), 0u);
    Type("n");
    ASSERT_TRUE(Wait_For("n\r\n"));
    ASSERT_TRUE(Wait_For("FLASH CMD: "));
    EXPECT_EQ(Flags_Settled(ICANON | ECHO), ICANON | ECHO);
    Type("exit\n");
    int status = Wait_Exit();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Terminal_Session, SigtermDuringAKeyReadRestoresTheTerminal)
{
    ASSERT_TRUE(Wait_For("FLASH CMD: "));
    Type("help\n");
    ASSERT_TRUE(Wait_For("[y]: "));
    EXPECT_EQ(Flags_Settled(0), 0u);
    kill(pid_, SIGTERM);
    int status = Wait_Exit();
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(Local_Flags(), ICANON | ECHO);
}

TEST_F(Terminal_Session, CtrlCDuringAKeyReadRestoresTheTerminal)
{
    ASSERT_TRUE(Wait_For("FLASH CMD: "));
    Type("help\n");
    ASSERT_TRUE(Wait_For("[y]: "));
    ASSERT_EQ(Flags_Settled(0), 0u);
    Type("\x03");   // the terminal turns it into SIGINT
    int status = Wait_Exit();
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGINT);
    EXPECT_EQ(Local_Flags(), ICANON | ECHO);
}

TEST_F(Terminal_Session, EndOfInputTypedAtThePromptEnds)
{
    ASSERT_TRUE(Wait_For("FLASH CMD: "));
    Type("\x04");
    int status = Wait_Exit();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
