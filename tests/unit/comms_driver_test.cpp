// Serial driver and terminal emulation on the in-memory peer, then the driver on a real pty.
#include <gtest/gtest.h>
#include <cstdio>
#include <ctime>
#include <type_traits>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include "COMMS.h"
#include "FLCOMMON.h"
#include "SERPORT.h"
#include "flashu.h"
#include "mem_port.h"

namespace {
// "count status clock" after a driver call that sets the status it is given (count 0 if void).
template <class F> std::string After(F call)
{
    WORD s = 0xFFFF;
    unsigned n = 0;
    if constexpr (std::is_void_v<decltype(call(&s))>)
        call(&s);
    else
        n = unsigned(call(&s));
    char t[40];
    snprintf(t, sizeof t, "%u %#x %u", n, s, Comms_GetTime());
    return t;
}
#define AFTER(call) After([&](WORD *status) { return call; })

WORD Open(WORD port = 0, DWORD baud = 9600)
{
    WORD s = 0xFFFF;
    Init_Comms_Link(port, baud, &s);
    return s;
}

class CommsDriver : public ::testing::Test {
protected:
    BYTE b[100] = {};
    WORD s = 0;
    void SetUp() override
    {
        Mem_Port_Install(1000);
        log_level = LOG_NORMAL;
    }
    void TearDown() override
    {
        Shutdown_Comms_Link(&s);
        Mem_Port_Remove();
        unsetenv("TORVEX_COM3");
    }
};

TEST_F(CommsDriver, ReceiveWaitsAtMostItsAllowanceAndKeepsWhatCameLate)
{
    EXPECT_EQ(Comms_GetTime(), 0u); // the clock starts with the driver
    ASSERT_EQ(Open(), E_OK);
    Mem_Port_Deliver({0x11}, 1500); // at the limit: in time
    EXPECT_EQ(AFTER(Rx_Data(b, 1, 50, status)), "1 0 500");
    Mem_Port_Deliver({0x22}, 2001); // one late: a time-out, the byte stays queued
    EXPECT_EQ(AFTER(Rx_Data(b + 1, 1, 50, status)), "0 0x1 1001");
    EXPECT_EQ(AFTER(Rx_Data(b + 1, 1, 50, status)), "1 0 1001");
    Mem_Port_Deliver({1}); // part of a block: a time-out, the part stays queued
    EXPECT_EQ(AFTER(Rx_Data(b + 2, 2, 5, status)), "0 0x1 1102");
    Mem_Port_Deliver({2, 3, 4, 5, 6});
    EXPECT_EQ(AFTER(Rx_Data(b + 2, 4, 5, status)), "4 0 1102"); // no wait for what is there
    EXPECT_EQ(AFTER(Comms_Read(b + 6, 50, status)), "2 0 1102");
    EXPECT_EQ(AFTER(Comms_Read(b + 8, 50, status)), "0 0 1102");
    EXPECT_EQ(Bytes(b, b + 9), Bytes({0x11, 0x22, 1, 2, 3, 4, 5, 6, 0}));
    Mem_Port().waits = 0;
    EXPECT_EQ(AFTER(Rx_Data(b, 2, 6000, status)), "0 0x1 121103"); // 120 s at no real cost
    EXPECT_LT(Mem_Port().waits, 10u);                              // blocked, no busy loop
}

// Output that stops moving fails in 5 s whatever the allowance, and is told each time.
TEST_F(CommsDriver, SendGivesUpWhenOutputStopsMoving)
{
    ASSERT_EQ(Open(), E_OK);
    BYTE ch = 'k';
    EXPECT_EQ(AFTER(Tx_Data("ab", 2, 0xFFFF, status)), "2 0 0");
    Mem_Port().hold_output = true; // accepted, never drained: a time-out
    EXPECT_EQ(AFTER(Tx_Data("xyz", 3, 5, status)), "0 0x1 151");
    EXPECT_EQ(AFTER(Comms_Write_Char(&ch, status)), "0 0 1152"); // a second at most
    testing::internal::CaptureStdout();
    EXPECT_EQ(AFTER(Tx_Data("ab", 2, 0xFFFF, status)), "0 0xfa 6153");
    EXPECT_EQ(AFTER(Comms_FlushFileBuffers(status)), "0 0xfa 11154");
    Mem_Port().hold_output = false;
    Mem_Port().out_queued = 0;
    Mem_Port().no_write_room = true; // at once, no retransmission
    EXPECT_EQ(AFTER(Tx_Message("a", 1, 0xFFFF, status)), "0 0xfa 16155");
    const std::string blocked = "\nCOM1 (/dev/ttyS0) blocked: nothing sent for 5 s\n";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), blocked + blocked + blocked);
    // A short allowance runs out first.
    EXPECT_EQ(AFTER(Tx_Data("ab", 2, 5, status)), "0 0x1 16256");
    Mem_Port().no_write_room = false;
    Mem_Port().out_queued = 10000;
    Mem_Port().trickle = true;
    // A flush that moves but does not finish is said, and the send goes on.
    testing::internal::CaptureStdout();
    EXPECT_EQ(AFTER(Tx_Message("a", 1, 22, status)), "14 0x1 26458");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Fehler bei FlushFileBuffers!!\n");
    EXPECT_EQ(Bytes(Mem_Port().tx.begin(), Mem_Port().tx.begin() + 8),
              Bytes({'a', 'b', 'x', 'y', 'z', 'k', 'a', 'b'}));
}

// Unknown ports are refused; what is queued leaves before a close or re-open, or after 5 s goes.
TEST_F(CommsDriver, OpenDrainsBeforeEveryCloseAndRefusesUnknownPorts)
{
    for (WORD bad : {WORD(4), WORD(NOCOMMS), WORD(NO_PORT)}) // refused, the program goes on
        EXPECT_EQ(Stdout_Of([&] { EXPECT_EQ(Open(bad), E_REPORTED); }),
                  "Unsupported COM port #" + std::to_string(bad) + ".\n");
    EXPECT_EQ(Open(2, 19200), E_OK); // no TORVEX_COM3: the default device
    EXPECT_EQ(Open(2, 19200), E_OK); // closes before it re-opens
    Shutdown_Comms_Link(&s);
    Shutdown_Comms_Link(&s);
    Open(0, 9600);
    Tx_Data("x", 1, 5, &s);
    Open(0, 38400);
    Mem_Port().hold_output = true;
    Tx_Data("x", 1, 5, &s);
    Shutdown_Comms_Link(&s);
    EXPECT_EQ(Mem_Port().calls,
              "open /dev/ttyS2 set 19200 purge drain close open /dev/ttyS2 set 19200 purge drain "
              "close open /dev/ttyS0 set 9600 purge write drain close open /dev/ttyS0 set 38400 "
              "purge write purge close");
    EXPECT_TRUE(s == E_OK && comOpen == 0 && Comms_GetTime() == 5052u);
    ASSERT_EQ(Open(), E_OK);
    Mem_Port().fail_close = true;
    Shutdown_Comms_Link(&s);
    EXPECT_TRUE(s == E_CLOSE_COMM && comOpen == 0);
}

TEST_F(CommsDriver, EachFailingOpenStepIsExplainedAndLeavesThePortClosed)
{
    setenv("TORVEX_COM3", "/dev/null", 1); // a real device, open to all: no group would help
    const std::string com3 = "COM3 is /dev/null: ", eio = com3 + "Input/output error\n";
    struct {
        int open_errno;
        bool MEM_PORT_STATE::*step;
        WORD status;
        std::string said;
    } cases[] = {
        {EACCES, nullptr, E_OPEN_COM, com3 + "Permission denied\n"},
        {EWOULDBLOCK, nullptr, E_OPEN_COM, // the lock is held by another program
         com3 + "Device or resource busy (in use by another program)\n"},
        {0, &MEM_PORT_STATE::fail_get_state, E_GET_STATE, eio},
        {0, &MEM_PORT_STATE::fail_setup, E_SETUP_COMM, eio},
        {0, &MEM_PORT_STATE::fail_set_state, E_SET_STATE, eio},
        {0, &MEM_PORT_STATE::fail_purge, E_PURGE, eio},
    };
    for (const auto &c : cases) {
        Mem_Port_Install(0);
        Mem_Port().fail_open_errno = c.open_errno;
        if (c.step) Mem_Port().*(c.step) = true;
        EXPECT_EQ(Stdout_Of([&] { s = Open(2); }).substr(0, c.said.size()), c.said);
        EXPECT_TRUE(s == c.status && comOpen == 0 && !Mem_Port().is_open);
    }
}

// The exclusive flag refuses another open, or the lock is taken.
bool Locked_By_Someone(const std::string &path)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    bool locked = fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0;
    if (fd >= 0) close(fd);
    return locked;
}

// Over a real pseudo-terminal (the test holds the master side).
TEST(CommsPty, ExclusiveWhileOpenAndSilenceWaitsBlocked)
{
    Serport_Install(nullptr);
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    const std::string pts = ptsname(master);
    setenv("TORVEX_COM1", pts.c_str(), 1);
    ASSERT_EQ(Open(0, 9600), E_OK);
    EXPECT_TRUE(Locked_By_Someone(pts));
    WORD s;
    BYTE buf[1];
    std::clock_t cpu0 = std::clock(); // 300 ms of silence, blocked in poll
    DWORD t0 = Comms_GetTime();
    EXPECT_TRUE(Rx_Data(buf, 1, 30, &s) == 0 && s == E_TIME && Comms_GetTime() - t0 > 300u);
    EXPECT_LT(std::clock() - cpu0, CLOCKS_PER_SEC / 20);
    Shutdown_Comms_Link(&s);
    EXPECT_TRUE(s == E_OK && !Locked_By_Someone(pts));
    close(master);
    unsetenv("TORVEX_COM1");
}
} // namespace
