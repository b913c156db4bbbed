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
    Mem_Port().on_write = [&](const BYTE *, size_t) { Mem_Port().hang_up_at = 0, End_Held_Input(); };
    signal(SIGALRM, On_Watchdog);
    alarm(5);
    std::string out = Run_Terminal(&status);
    alarm(0);
    EXPECT_FALSE(watchdog_fired);
    // The port hangs up once the key is through: one notice, not silence; end of input ends it.
    EXPECT_EQ(out, "Start VT session on COM2 at 9600 baud.  Type ESC to exit ...\n\n"
                   "\nCOM2 (/mem/com2) hung up: Input/output error\n\n\nEnd terminal emulation\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(std::string(Mem_Port().tx.begin(), Mem_Port().tx.end()), "H");
    // One port open at a time: target, terminal (where the key goes), target again at its rate.
    EXPECT_EQ(Mem_Port().calls, "open /mem/com1 set 19200 purge drain close open /mem/com2 set 9600 purge write "
                                "close open /mem/com1 set 19200 purge");

    // A terminal port that will not open: the target port is opened again all
    // the same (and fails too here), each failure told once.
    Mem_Port().fail_set_state = true, Mem_Port().hang_up_at = 0xFFFFFFFF, Mem_Port().calls.clear();
    const std::string fail = ": Input/output error\n\nOperation FAILED!  Failure SetCommState\n\n";
    EXPECT_EQ(Run_Terminal(&status), "COM2 is /mem/com2" + fail + "COM1 is /mem/com1" + fail);
    EXPECT_EQ(status, E_REPORTED);
    EXPECT_EQ(Mem_Port().calls, "drain close open /mem/com2 close open /mem/com1 close");
    Shutdown_Comms_Link(&status);
    Mem_Port_Remove();
}

}  // namespace
