// Terminal emulation over the in-memory serial peer, with the keys coming
// from a pipe on standard input: pieces of what arrives, typed keys, port
// markers, and the target port set aside and restored.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "COMMS.h"
#include "FLCOMMON.h"
#include "flashu.h"
#include "mem_port.h"

namespace {

// Standard input becomes a pipe that holds exactly these bytes, then ends.
void Feed_Stdin(const std::string &bytes)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], bytes.data(), bytes.size()), (ssize_t)bytes.size());
    close(p[1]);
    ASSERT_GE(dup2(p[0], STDIN_FILENO), 0);
    close(p[0]);
}

std::string Peer_Got() { return std::string(Mem_Port().tx.begin(), Mem_Port().tx.end()); }

class Terminal : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_stdin = dup(STDIN_FILENO);
        Mem_Port_Install(0);
        setenv("TORVEX_COM1", "/mem/com1", 1);
        setenv("TORVEX_COM2", "/mem/com2", 1);
        log_level = LOG_NORMAL;
        link_up = 0;
        comm_port = 0;
        baud_rate = 19200;
        vt_comm_port = 1;
        vt_baud_rate = 9600;
    }
    void TearDown() override
    {
        WORD s;
        Shutdown_Comms_Link(&s);
        Mem_Port_Remove();
        link_up = 0;
        log_level = LOG_NORMAL;
        dup2(saved_stdin, STDIN_FILENO);
        close(saved_stdin);
    }
    std::string Run(WORD *status)
    {
        testing::internal::CaptureStdout();
        Emulate_Terminal(status);
        return testing::internal::GetCapturedStdout();
    }
    int saved_stdin = -1;
};

const std::string HEAD = "Start VT session on COM2 at 9600 baud.  Type ESC to exit ...\n\n";
const std::string TAIL = "\n\nEnd terminal emulation\n";

TEST_F(Terminal, HundredBytesShowInTwoPiecesAndTypedKeysReachThePeer)
{
    // The peer answers the first key with 100 bytes at once; a zero byte at
    // offset 10 ends what the first piece prints, so the second piece shows
    // where the first one stopped.
    std::string burst;
    for (int i = 0; i < 100; i++) burst += char('a' + i % 26);
    burst[10] = '\0';
    bool sent = false;
    Mem_Port().on_write = [&](const BYTE *, size_t) {
        if (sent) return;
        sent = true;
        Mem_Port_Deliver(Bytes(burst.begin(), burst.end()));
    };
    Feed_Stdin("AB\x1b" "CD");
    WORD status = 0xFFFF;
    std::string out = Run(&status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, HEAD + burst.substr(0, 10) + burst.substr(79) + TAIL);
    // Escape is not sent and ends the session: the keys after it stay unread.
    EXPECT_EQ(Peer_Got(), "AB");
    EXPECT_EQ(Mem_Port().path, "/mem/com2");
    EXPECT_EQ(Mem_Port().baud, 9600u);
    EXPECT_EQ(Mem_Port().opens, 1);
    EXPECT_FALSE(Mem_Port().is_open);
}

TEST_F(Terminal, FailingPortShowsOneMarkerAndKeepsGoing)
{
    Mem_Port().fail_read = true;
    Feed_Stdin("XY\x1b");
    WORD status = 0xFFFF;
    std::string out = Run(&status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, HEAD + "<<PQ=00FB>>" + TAIL);
    EXPECT_EQ(Peer_Got(), "XY");
}

TEST_F(Terminal, LinkUpSetsTheTargetPortAsideAndRestoresIt)
{
    WORD status = 0xFFFF;
    Init_Comms_Link(0, 19200, &status);
    ASSERT_EQ(status, 0);
    link_up = 1;
    log_level = LOG_VERBOSE;
    Feed_Stdin("\x1b");
    std::string out = Run(&status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "Shutdown target communications link ...\nInitialize VT session ...\n" + HEAD +
                       "\n\nShutdown VT communications link ...\nInit target comms port\n"
                       "End terminal emulation\n");
    // One port open at a time: target, terminal, target again at its rate.
    EXPECT_EQ(Mem_Port().opens, 3);
    EXPECT_EQ(Mem_Port().closes, 2);
    EXPECT_EQ(Mem_Port().close_when_closed, 0);
    EXPECT_TRUE(Mem_Port().is_open);
    EXPECT_EQ(Mem_Port().path, "/mem/com1");
    EXPECT_EQ(Mem_Port().baud, 19200u);
    EXPECT_EQ(link_up, 1);
    EXPECT_EQ(Peer_Got(), "");
}

TEST_F(Terminal, SamePortForBothIsClosedAndReopenedAtEachRate)
{
    vt_comm_port = 0;
    WORD status = 0xFFFF;
    Init_Comms_Link(0, 19200, &status);
    link_up = 1;
    Feed_Stdin("Q\x1b");
    std::string out = Run(&status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "Start VT session on COM1 at 9600 baud.  Type ESC to exit ...\n\n" + TAIL);
    EXPECT_EQ(Peer_Got(), "Q");
    EXPECT_EQ(Mem_Port().opens, 3);
    EXPECT_EQ(Mem_Port().baud, 19200u);
    EXPECT_TRUE(Mem_Port().is_open);
}

TEST_F(Terminal, NoTerminalPortTouchesNothing)
{
    vt_comm_port = NO_PORT;
    link_up = 1;
    WORD status = 0;
    std::string out = Run(&status);
    EXPECT_EQ(out, "VT comms port not specified!\n");
    EXPECT_EQ(status, E_REPORTED);
    EXPECT_EQ(Mem_Port().opens, 0);
    EXPECT_EQ(Mem_Port().closes, 0);
}

TEST_F(Terminal, TerminalPortThatWillNotOpenStillRestoresTheTarget)
{
    WORD status = 0xFFFF;
    Init_Comms_Link(0, 19200, &status);
    link_up = 1;
    int opens_before = Mem_Port().opens;
    Mem_Port().fail_set_state = true;
    Feed_Stdin("\x1b");
    std::string out = Run(&status);
    EXPECT_EQ(status, E_REPORTED);
    // The terminal port fails, and so does the target port on the same
    // broken driver: each failure is told once.
    const std::string failed = "\nOperation FAILED!  Failure SetCommState\n\n";
    size_t first = out.find(failed);
    ASSERT_NE(first, std::string::npos) << out;
    size_t second = out.find(failed, first + failed.size());
    ASSERT_NE(second, std::string::npos) << out;
    EXPECT_EQ(out.find(failed, second + failed.size()), std::string::npos) << out;
    EXPECT_EQ(out.find("Start VT session"), std::string::npos);
    EXPECT_EQ(Mem_Port().opens, opens_before + 2);
    EXPECT_EQ(Mem_Port().path, "/mem/com1");
}

// Kept last: the console remembers the end of its input for good.
TEST_F(Terminal, EndOfInputEndsTheSessionLikeEscape)
{
    Feed_Stdin("HI");
    WORD status = 0xFFFF;
    std::string out = Run(&status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, HEAD + TAIL);
    EXPECT_EQ(Peer_Got(), "HI");
    EXPECT_FALSE(Mem_Port().is_open);
}

}  // namespace
