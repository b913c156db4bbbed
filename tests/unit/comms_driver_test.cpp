// Serial driver over the in-memory peer: time-outs on the virtual clock,
// queue handling, open/close sequencing and the failure statuses.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

#include "COMMS.h"
#include "FLCOMMON.h"
#include "MSG.h"
#include "MYTIME.h"
#include "mem_port.h"

namespace {

class CommsDriver : public ::testing::Test {
protected:
    void SetUp() override
    {
        Mem_Port_Install(1000);
        log_level = LOG_NORMAL;
    }
    void TearDown() override
    {
        WORD s;
        Shutdown_Comms_Link(&s);
        Mem_Port_Remove();
        unsetenv("TORVEX_COM1");
        unsetenv("TORVEX_COM3");
    }
    void Open()
    {
        WORD s = 0xFFFF;
        Init_Comms_Link(0, 9600, &s);
        ASSERT_EQ(s, E_OK);
    }
};

TEST_F(CommsDriver, ClockStartsAtZeroAndFollowsPlatform)
{
    EXPECT_EQ(Comms_GetTime(), 0u);
    Mem_Port().now += 1234;
    EXPECT_EQ(Comms_GetTime(), 1234u);
}

TEST_F(CommsDriver, RxTimeoutLeavesLateByteForNextRead)
{
    Open();
    BYTE b = 0;
    WORD s;
    DWORD t0 = Comms_GetTime();
    EXPECT_EQ(Rx_Data(&b, 1, 50, &s), 0);
    EXPECT_EQ(s, E_TIME);
    DWORD waited = Comms_GetTime() - t0;
    EXPECT_GT(waited, 500u);
    EXPECT_LE(waited, 502u);
    Mem_Port_Deliver({0x5A});
    EXPECT_EQ(Rx_Data(&b, 1, 50, &s), 1);
    EXPECT_EQ(s, E_OK);
    EXPECT_EQ(b, 0x5A);
}

TEST_F(CommsDriver, RxByteAtTheLimitIsInTimeOneLaterIsNot)
{
    Open();
    BYTE b = 0;
    WORD s;
    DWORD start = Mem_Port().now;
    Mem_Port_Deliver_At(start + 500, {0x11});
    EXPECT_EQ(Rx_Data(&b, 1, 50, &s), 1);
    EXPECT_EQ(s, E_OK);

    start = Mem_Port().now;
    Mem_Port_Deliver_At(start + 501, {0x22});
    EXPECT_EQ(Rx_Data(&b, 1, 50, &s), 0);
    EXPECT_EQ(s, E_TIME);
    EXPECT_EQ(Mem_Port().rx.size(), 1u);  // arrived, but too late: stays queued
}

TEST_F(CommsDriver, RxPartialArrivalTimesOutAndKeepsBytes)
{
    Open();
    Mem_Port_Deliver({0x01});
    BYTE buf[2] = {0, 0};
    WORD s;
    EXPECT_EQ(Rx_Data(buf, 2, 5, &s), 0);
    EXPECT_EQ(s, E_TIME);
    EXPECT_EQ(Mem_Port().rx.size(), 1u);
    EXPECT_EQ(buf[0], 0);
}

TEST_F(CommsDriver, RxTakesExactlyWhatWasAskedAtOnce)
{
    Open();
    Mem_Port_Deliver({1, 2, 3, 4, 5, 6});
    BYTE buf[4];
    WORD s;
    DWORD t0 = Comms_GetTime();
    EXPECT_EQ(Rx_Data(buf, 4, 5, &s), 4);
    EXPECT_EQ(s, E_OK);
    EXPECT_EQ(Comms_GetTime(), t0);
    EXPECT_EQ(buf[3], 4);
    EXPECT_EQ(Mem_Port().rx.size(), 2u);
}

TEST_F(CommsDriver, RxFailedReadIsReadError)
{
    Open();
    Mem_Port_Deliver({1});
    Mem_Port().fail_read = true;
    BYTE b;
    WORD s;
    EXPECT_EQ(Rx_Data(&b, 1, 5, &s), 0);
    EXPECT_EQ(s, E_READ_COMM);
}

TEST_F(CommsDriver, RxLongAllowanceCostsNoRealTime)
{
    Open();
    BYTE b[2];
    WORD s;
    EXPECT_EQ(Rx_Data(b, 2, 6000, &s), 0);  // 120 s on the virtual clock
    EXPECT_EQ(s, E_TIME);
    EXPECT_GE(Comms_GetTime(), 120000u);
    EXPECT_LT(Mem_Port().waits, 10u);  // blocked, did not poll in a loop
}

TEST_F(CommsDriver, RxSurvivesClockWrap)
{
    Open();
    Mem_Port().now -= 100;  // driver clock just below 2^32
    EXPECT_GT(Comms_GetTime(), 0xFFFFFF00u);
    DWORD start = Mem_Port().now;
    Mem_Port_Deliver_At(start + 300, {0x33});
    BYTE b;
    WORD s;
    EXPECT_EQ(Rx_Data(&b, 1, 50, &s), 1);
    EXPECT_EQ(s, E_OK);
    EXPECT_EQ(Rx_Data(&b, 1, 50, &s), 0);
    EXPECT_EQ(s, E_TIME);
    EXPECT_LE(Mem_Port().now - start, 300u + 502u);
}

TEST_F(CommsDriver, TxUndrainedQueueIsTimeoutButBytesWereAccepted)
{
    Open();
    Mem_Port().hold_output = true;
    WORD s;
    EXPECT_EQ(Tx_Data("xyz", 3, 5, &s), 0);
    EXPECT_EQ(s, E_TIME);
    EXPECT_EQ(Mem_Port().tx, (Bytes{'x', 'y', 'z'}));
    EXPECT_GT(Comms_GetTime(), 150u);
}

TEST_F(CommsDriver, TxStatuses)
{
    Open();
    WORD s;
    EXPECT_EQ(Tx_Data("ab", 2, 0xFFFF, &s), 2);
    EXPECT_EQ(s, E_OK);
    Mem_Port().fail_write = true;
    EXPECT_EQ(Tx_Data("ab", 2, 0xFFFF, &s), 0);
    EXPECT_EQ(s, E_WRITE_COMM);
    Mem_Port().fail_write = false;
    Mem_Port().no_write_room = true;  // never accepted: bounded by the allowance
    EXPECT_EQ(Tx_Data("ab", 2, 5, &s), 0);
    EXPECT_EQ(s, E_TIME);
}

TEST_F(CommsDriver, WriteCharWaitsAtMostASecondForDrain)
{
    Open();
    BYTE ch = 'k';
    WORD s;
    Mem_Port().hold_output = true;
    Comms_Write_Char(&ch, &s);
    EXPECT_EQ(s, E_OK);
    EXPECT_GT(Comms_GetTime(), 1000u);
    EXPECT_LE(Comms_GetTime(), 1002u);
    Mem_Port().fail_write = true;
    Comms_Write_Char(&ch, &s);
    EXPECT_EQ(s, E_WRITE_COMM);
}

TEST_F(CommsDriver, ReadTakesWhatIsThereWithoutWaiting)
{
    Open();
    BYTE buf[100];
    WORD s = 0xFFFF;
    EXPECT_EQ(Comms_Read(buf, sizeof buf, &s), 0);
    EXPECT_EQ(s, E_OK);
    Mem_Port_Deliver(Bytes(100, 0x77));
    EXPECT_EQ(Comms_Read(buf, 79, &s), 79);
    EXPECT_EQ(Mem_Port().rx.size(), 21u);
    EXPECT_EQ(Comms_GetTime(), 0u);
    Mem_Port().fail_read = true;
    EXPECT_EQ(Comms_Read(buf, 79, &s), 0);
    EXPECT_EQ(s, E_READ_COMM);
}

TEST_F(CommsDriver, ClearInputAndFlush)
{
    Open();
    Mem_Port_Deliver({1, 2, 3});
    Comms_ClearInputBuffer();
    EXPECT_TRUE(Mem_Port().rx.empty());
    WORD s;
    Comms_FlushFileBuffers(&s);
    EXPECT_EQ(s, E_OK);
    Mem_Port().hold_output = true;
    Mem_Port().out_queued = 1;
    Comms_FlushFileBuffers(&s);
    EXPECT_EQ(s, E_TIME);
}

TEST_F(CommsDriver, FailedFlushIsReportedAndSendCarriesOn)
{
    Open();
    Mem_Port().hold_output = true;
    Mem_Port().out_queued = 1;
    Mem_Port().on_write = [](const BYTE *, size_t) {  // line frees up after the flush
        Mem_Port().hold_output = false;
        Mem_Port().out_queued = 0;
    };
    testing::internal::CaptureStdout();
    WORD s;
    Tx_Message("a", 1, 22, &s);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Fehler bei FlushFileBuffers!!\n");
    EXPECT_FALSE(Mem_Port().tx.empty());
}

TEST_F(CommsDriver, DevicePathFromEnvironmentOrDefault)
{
    WORD s;
    unsetenv("TORVEX_COM3");
    Init_Comms_Link(2, 19200, &s);
    EXPECT_EQ(s, E_OK);
    EXPECT_EQ(Mem_Port().path, "/dev/ttyS2");
    EXPECT_EQ(Mem_Port().baud, 19200u);
    setenv("TORVEX_COM3", "/tmp/board-b", 1);
    Init_Comms_Link(2, 48000, &s);
    EXPECT_EQ(s, E_OK);
    EXPECT_EQ(Mem_Port().path, "/tmp/board-b");
    EXPECT_EQ(Mem_Port().baud, 48000u);
}

TEST_F(CommsDriver, UnsupportedPortIsRefusedWithoutEndingTheProgram)
{
    for (WORD bad : {WORD(4), WORD(NOCOMMS), WORD(NO_PORT)}) {
        testing::internal::CaptureStdout();
        WORD s = 0;
        Init_Comms_Link(bad, 9600, &s);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(s, E_REPORTED);
        EXPECT_EQ(out, "Unsupported COM port #" + std::to_string(bad) + ".\n");
        EXPECT_EQ(comOpen, 0);
        EXPECT_EQ(Mem_Port().opens, 0);
    }
}

TEST_F(CommsDriver, ReopenClosesFirstAndNothingClosesTwice)
{
    Open();
    Open();  // the peer refuses a second open while the first is held
    EXPECT_EQ(Mem_Port().opens, 2);
    EXPECT_EQ(Mem_Port().closes, 1);
    WORD s;
    Shutdown_Comms_Link(&s);
    EXPECT_EQ(s, E_OK);
    Shutdown_Comms_Link(&s);
    Open();
    EXPECT_EQ(Mem_Port().closes, 2);
    EXPECT_EQ(Mem_Port().close_when_closed, 0);
    EXPECT_EQ(comOpen, 1);
}

TEST_F(CommsDriver, EachConfigurationStepHasItsStatusAndLeavesPortClosed)
{
    struct Case {
        bool MEM_PORT_STATE::*flag;
        WORD status;
    } cases[] = {
        {&MEM_PORT_STATE::fail_get_state, E_GET_STATE},
        {&MEM_PORT_STATE::fail_setup, E_SETUP_COMM},
        {&MEM_PORT_STATE::fail_set_state, E_SET_STATE},
        {&MEM_PORT_STATE::fail_purge, E_PURGE},
    };
    for (const Case &c : cases) {
        Mem_Port_Install(0);
        Mem_Port().*(c.flag) = true;
        testing::internal::CaptureStdout();
        WORD s = 0;
        Init_Comms_Link(0, 9600, &s);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(s, c.status);
        EXPECT_EQ(comOpen, 0);
        EXPECT_FALSE(Mem_Port().is_open);
        EXPECT_NE(out.find("COM1 is /dev/ttyS0: Input/output error"), std::string::npos) << out;
    }
}

TEST_F(CommsDriver, OpenFailureSaysWhichDeviceAndWhy)
{
    char path[] = "/tmp/torvex-comXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    setenv("TORVEX_COM1", path, 1);
    Mem_Port().fail_open_errno = EACCES;
    testing::internal::CaptureStdout();
    WORD s = 0;
    Init_Comms_Link(0, 9600, &s);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(s, E_OPEN_COM);
    EXPECT_EQ(out.rfind(std::string("COM1 is ") + path + ": Permission denied (join group ", 0), 0u)
        << out;
    EXPECT_NE(out.find("which owns the device)\n"), std::string::npos);

    log_level = LOG_ALWAYS;  // the explanation is a level-1 line
    testing::internal::CaptureStdout();
    Init_Comms_Link(0, 9600, &s);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    unlink(path);
}

TEST_F(CommsDriver, CloseFailureStatus)
{
    Open();
    Mem_Port().fail_close = true;
    WORD s;
    Shutdown_Comms_Link(&s);
    EXPECT_EQ(s, E_CLOSE_COMM);
    EXPECT_EQ(comOpen, 0);
}

TEST_F(CommsDriver, DelayOnTheDriverClock)
{
    DWORD t0 = Comms_GetTime();
    delay(0);
    EXPECT_EQ(Comms_GetTime(), t0);
    EXPECT_EQ(Mem_Port().waits, 0u);
    delay(20);
    EXPECT_GE(Comms_GetTime() - t0, 20u);
    delay(750);
    EXPECT_GE(Comms_GetTime() - t0, 770u);
    EXPECT_LE(Comms_GetTime() - t0, 771u);
}

}  // namespace
