// The host's message link and command wrappers, in this process, against a
// torvex-target process over a pseudo-terminal.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include <poll.h>

#include "HCMDFMT.h"
#include "MSG.h"
#include "board_rig.h"

namespace {

const WORD COM1 = 0;

struct BoardLinkE2E : testing::Test {
    BOARD_PROC board;

    void Start(const std::vector<std::string> &args, DWORD host_baud = 9600)
    {
        std::string err;
        ASSERT_TRUE(Board_Start(&board, args, &err)) << err;
        setenv("TORVEX_COM1", board.link.c_str(), 1);
        Clear_Comms_Status();
        WORD status = 0;
        Init_Message_Link(COM1, host_baud, &status);
        ASSERT_EQ(status, 0);
    }
    void TearDown() override
    {
        WORD status = 0;
        Shutdown_Message_Link(&status);
        Board_Cleanup(&board);
    }
    std::vector<TRACE_EVENT> Stop_And_Trace()
    {
        Board_Stop(&board);
        return Board_Trace(board);
    }
};

TEST_F(BoardLinkE2E, InitAndRamRoundTripOverThePty)
{
    Start({"--prog-id", "9", "--version", "0240", "--boot-addr", "03FFC000"});
    WORD id = 0, version = 0, status = 0;
    DWORD boot = 0;
    Init_Command(&id, &version, &boot, &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(id, 9);
    EXPECT_EQ(version, 0x0240);
    EXPECT_EQ(boot, 0x03FFC000u);

    std::vector<BYTE> data(2048), back(2048, 0);
    std::mt19937 gen(7);
    for (BYTE &b : data) b = BYTE(gen());
    Write_RAM(0x20000, data.size(), data.data(), &status);
    ASSERT_EQ(status, 0);
    Read_RAM(0x20000, back.size(), back.data(), &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(back, data);

    Write_RAM(0x03F00000, 16, data.data(), &status);
    EXPECT_EQ(status, 0x800D) << "flash is not writable as RAM";

    WORD manu = 0, dev = 0;
    Get_Flash_ID(0x03FFC000, &manu, &dev, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(manu, 0x0101);
    EXPECT_EQ(dev, 0x00DA);

    EXPECT_EQ(comms_status.send_msg_count, 5u) << "one frame per command, no retries";
    EXPECT_EQ(comms_status.send_rx_ack_count, 5u);

    auto trace = Stop_And_Trace();
    auto frames = Events(trace, "rx_frame");
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(frames[0].Str("name"), "init");
    EXPECT_EQ(frames[1].Str("name"), "write_ram");
    EXPECT_EQ(frames[1].Num("len"), 2048);
    EXPECT_EQ(frames[1].Num("size"), 2048 + 15 + 13);
    EXPECT_EQ(frames[2].Num("addr"), 0x20000);
    EXPECT_EQ(Count_Events(trace, "tx_ack"), 5);
}

TEST_F(BoardLinkE2E, BoardStaysSilentUntilTheHostUsesItsRate)
{
    Start({"--baud", "19200"}, 9600);
    WORD id = 0, version = 0, status = 0;
    DWORD boot = 0;
    Init_Command(&id, &version, &boot, &status);
    EXPECT_EQ(status, 0x000B);
    EXPECT_EQ(comms_status.send_msg_count, 3u);
    EXPECT_EQ(comms_status.send_rx_ack_count, 0u);

    Init_Message_Link(COM1, 19200, &status);
    ASSERT_EQ(status, 0);
    Init_Command(&id, &version, &boot, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(version, 0x0251);

    Change_Baud(57600, &status);
    ASSERT_EQ(status, 0);
    poll(nullptr, 0, 20);
    Init_Message_Link(COM1, 57600, &status);
    Init_Command(&id, &version, &boot, &status);
    EXPECT_EQ(status, 0);

    auto trace = Stop_And_Trace();
    EXPECT_GT(Count_Events(trace, "garbage"), 0);
    auto bauds = Events(trace, "baud");
    ASSERT_EQ(bauds.size(), 1u);
    EXPECT_EQ(bauds[0].Num("from"), 19200);
    EXPECT_EQ(bauds[0].Num("to"), 57600);
}

TEST_F(BoardLinkE2E, NakFirstMakesTheHostRetransmit)
{
    Start({"--nak-first", "2"});
    WORD id = 0, version = 0, status = 0;
    DWORD boot = 0;
    Init_Command(&id, &version, &boot, &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(comms_status.send_msg_count, 3u);
    EXPECT_EQ(comms_status.send_rx_nak_count, 2u);
    EXPECT_EQ(comms_status.send_retry_count, 2u);
    EXPECT_EQ(comms_status.send_rx_ack_count, 1u);
}

TEST_F(BoardLinkE2E, LineFaultsCostRetriesButNeverData)
{
    Start({"--corrupt-rate", "0.0004", "--drop-rate", "0.0002", "--out-corrupt-rate", "0.0003",
           "--seed", "11"});
    std::mt19937 gen(3);
    std::vector<std::vector<BYTE>> blocks(24, std::vector<BYTE>(192));
    WORD status = 0;
    for (size_t i = 0; i < blocks.size(); i++) {
        for (BYTE &b : blocks[i]) b = BYTE(gen());
        Write_RAM(0x20000 + DWORD(i) * 192, 192, blocks[i].data(), &status);
        ASSERT_EQ(status, 0) << "block " << i;
    }
    for (size_t i = 0; i < blocks.size(); i++) {
        std::vector<BYTE> back(192, 0);
        Read_RAM(0x20000 + DWORD(i) * 192, 192, back.data(), &status);
        ASSERT_EQ(status, 0) << "block " << i;
        EXPECT_EQ(back, blocks[i]) << "block " << i;
    }
    EXPECT_GT(comms_status.send_retry_count, 0u) << "the faults must have cost retries";
    auto trace = Stop_And_Trace();
    EXPECT_GT(Count_Events(trace, "fault"), 0);
}

}  // namespace
