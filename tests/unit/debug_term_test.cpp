// Terminal emulation over the in-memory serial peer, the target link up on
// COM1 at 19200 and the keys coming from a pipe on standard input.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include "COMMS.h"
#include "CONIO.h"
#include "FLCOMMON.h"
#include "flashu.h"
#include "mem_port.h"

namespace {

int held_input_w = -1;
volatile sig_atomic_t watchdog_fired = 0;
void End_Held_Input() { close(held_input_w), held_input_w = -1; }
void On_Watchdog(int) { watchdog_fired = 1, End_Held_Input(); }

std::string Run_Terminal(WORD *status)
{
    testing::internal::CaptureStdout();
    Emulate_Terminal(status);
    return testing::internal::GetCapturedStdout();
}

std::string Port() { return Mem_Port().path + " " + std::to_string(Mem_Port().baud); }

TEST(Terminal, HeldKeyAndFailingPortsWithTheTargetPortSetAsideAndRestored)
{
    Mem_Port_Install(0);
    setenv("TORVEX_COM1", "/mem/com1", 1);
    setenv("TORVEX_COM2", "/mem/com2", 1);
    vt_comm_port = 1;
    vt_baud_rate = 9600;
    WORD status = 0xFFFF;
    Init_Comms_Link(comm_port = 0, baud_rate = 19200, &status);
    ASSERT_EQ(status, 0);
    link_up = 1;

    // Echo's escape check looked at the H and held it back; nothing follows
    // in the pipe yet. The input ends once the H reaches the peer, or when
    // the watchdog finds that it never does.
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "H", 1), 1);
    dup2(p[0], STDIN_FILENO);
    held_input_w = p[1];
    ASSERT_FALSE(Con_Kbhit());
    std::string port_at_key;
    Mem_Port().on_write = [&](const BYTE *, size_t) { port_at_key = Port(), End_Held_Input(); };
    Mem_Port().fail_read = true;
    signal(SIGALRM, On_Watchdog);
    alarm(5);
    std::string out = Run_Terminal(&status);
    alarm(0);
    EXPECT_FALSE(watchdog_fired);
    // The port fails at every poll but is marked once; end of input ends it.
    EXPECT_EQ(out, "Start VT session on COM2 at 9600 baud.  Type ESC to exit ...\n\n"
                   "<<PQ=00FB>>\n\nEnd terminal emulation\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(std::string(Mem_Port().tx.begin(), Mem_Port().tx.end()), "H");
    EXPECT_EQ(port_at_key, "/mem/com2 9600");
    // One port open at a time: target, terminal, target again at its rate.
    EXPECT_EQ(Mem_Port().opens, 3);
    EXPECT_EQ(Mem_Port().closes, 2);
    EXPECT_EQ(Mem_Port().close_when_closed, 0);
    EXPECT_EQ(Port(), "/mem/com1 19200");

    // A terminal port that will not open: the target port is opened again all
    // the same (and fails too here), each failure told once.
    Mem_Port().fail_set_state = true;
    const std::string fail = ": Input/output error\n\nOperation FAILED!  Failure SetCommState\n\n";
    EXPECT_EQ(Run_Terminal(&status), "COM2 is /mem/com2" + fail + "COM1 is /mem/com1" + fail);
    EXPECT_EQ(status, E_REPORTED);
    EXPECT_EQ(Port(), "/mem/com1 19200");
    Shutdown_Comms_Link(&status);
    Mem_Port_Remove();
}

}  // namespace
