// Terminal emulation over the in-memory serial peer, the target link up on COM1 at 19200 and the
// keys coming from a pipe on standard input.
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
void End_Held_Input()
{
    close(held_input_w);
    held_input_w = -1;
}
void On_Watchdog(int)
{
    watchdog_fired = 1;
    End_Held_Input();
}

// A terminal port that hangs up is told once; one that fails to open still gets the target's port
// opened again, one port at a time (the way back at the target's rate shows end to end).
TEST(TerminalPorts, HungUpPortIsToldOnceAndTheTargetPortIsReopenedAfterAFailure)
{
    Mem_Port_Install(0);
    setenv("TORVEX_COM1", "/mem/com1", 1);
    setenv("TORVEX_COM2", "/mem/com2", 1);
    vt_comm_port = 1;
    vt_baud_rate = 9600;
    comm_port = 0;
    baud_rate = 19200;
    WORD status = 0xFFFF;
    Init_Comms_Link(comm_port, baud_rate, &status);
    ASSERT_EQ(status, 0);
    link_up = 1;
    // Echo's escape check looked at the H and held it back; nothing follows in the pipe yet. The
    // port hangs up once the H reaches the peer, which ends the input (or the watchdog does).
    int p[2];
    ASSERT_TRUE(pipe(p) == 0 && write(p[1], "H", 1) == 1 &&
                dup2(p[0], STDIN_FILENO) == STDIN_FILENO);
    held_input_w = p[1];
    ASSERT_FALSE(Con_Kbhit());
    Mem_Port().on_write = [&](const BYTE *, size_t) {
        Mem_Port().hang_up_at = 0;
        End_Held_Input();
    };
    signal(SIGALRM, On_Watchdog);
    alarm(5);
    std::string out = Stdout_Of([&] { Emulate_Terminal(&status); });
    alarm(0);
    EXPECT_FALSE(watchdog_fired);
    EXPECT_EQ(out, "Start VT session on COM2 at 9600 baud.  Type ESC to exit ...\n\n"
                   "\nCOM2 (/mem/com2) hung up: Input/output error\n\n\nEnd terminal emulation\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(std::string(Mem_Port().tx.begin(), Mem_Port().tx.end()), "H");
    Mem_Port().fail_set_state = true;
    Mem_Port().hang_up_at = 0xFFFFFFFF;
    Mem_Port().calls.clear();
    const std::string fail = ": Input/output error\n\nOperation FAILED!  Failure SetCommState\n\n";
    EXPECT_EQ(Stdout_Of([&] { Emulate_Terminal(&status); }),
              "COM2 is /mem/com2" + fail + "COM1 is /mem/com1" + fail);
    EXPECT_EQ(status, E_REPORTED);
    EXPECT_EQ(Mem_Port().calls, "drain close open /mem/com2 close open /mem/com1 close");
    Shutdown_Comms_Link(&status);
    Mem_Port_Remove();
}

} // namespace
