// The virtual board's rules that a wrong board would let the end-to-end runs pass wrongly: flash
// is programmed only from erased bits within one block, and an answer is resent on NAK or silence,
// three sends in all.
#include <gtest/gtest.h>

#include "HCMDFMT.h"
#include "mem_port.h"
#include "vboard.h"

using namespace vboard;

namespace {

WORD Program(DWORD dest, const Bytes &data) // through the RAM work area
{
    EXPECT_EQ(Mem_Write_Ram(0x20000, data.data(), DWORD(data.size())), ST_OK);
    return Mem_Program(dest, 0x20000, DWORD(data.size()));
}

Bytes Read(DWORD addr, DWORD len)
{
    Bytes out(len);
    EXPECT_EQ(Mem_Read(addr, len, out.data()), ST_OK);
    return out;
}

// A host that forgot an erase, or a piece across a block's end, must not pass unseen.
TEST(BoardFlash, ProgramsOnlyErasedBitsWithinOneBlockAndErasesWholeBlocks)
{
    ASSERT_TRUE(Mem_Init(3));
    ASSERT_EQ(Program(0x03FFA000, {0xF0, 0x0F, 0xAA, 0xFF}), ST_OK);
    EXPECT_EQ(Program(0x03FFA000, {0x30, 0x01, 0x82, 0x7F}), ST_OK); // clears more bits
    EXPECT_EQ(Program(0x03FFA000, {0x00, 0x00, 0x00, 0xFF}),
              ST_UNERASED); // sets one: nothing written
    EXPECT_EQ(Read(0x03FFA000, 4), (Bytes{0x30, 0x01, 0x82, 0x7F}));
    EXPECT_EQ(Program(0x03FF9FF0, Bytes(32, 0)), ST_BAD_PARAM); // straddles two blocks
    EXPECT_EQ(Read(0x03FF9FF0, 16), Bytes(16, 0xFF));
    EXPECT_EQ(Mem_Erase(0x03FFA000, 0x1000), ST_BAD_PARAM); // part of the block
    EXPECT_EQ(Mem_Erase(0x03FFA010, 0x2000), ST_BAD_PARAM); // not its start
    EXPECT_EQ(Mem_Erase(0x03FFA000, 0x2000), ST_OK);
    EXPECT_EQ(Read(0x03FFA000, 4), Bytes(4, 0xFF));
}

// An answer not acknowledged in time or refused is sent again, three sends in all; a poll after
// that still gets it; an acknowledged answer is never sent again.
TEST(BoardLink, AnswerIsResentOnNakOrSilenceThreeSendsInAll)
{
    ASSERT_TRUE(Mem_Init(3));
    LINK_SETUP setup{{1, 0x0251, 0x03FFA000}, 9600, false, 0, 0, 0, 0, false, 1, 0, "", 0, 0};
    Link_Init(&setup);
    uint64_t now = 1000000;
    auto send = [&now](const Bytes &b) { Link_Receive(b.data(), b.size(), 9600, now); };
    auto advance = [&now](uint64_t us) { Link_Timer(now += us); };
    auto take = [&now] {
        Bytes out(8192);
        out.resize(Link_Take_Output(out.data(), out.size(), 9600, now));
        return out;
    };
    Bytes init(sizeof(INIT_CMD_STRUCT), 0);
    init[0] = INIT_CMD;
    init = Mem_Frame(5, init);
    send(init);
    Bytes out = take();
    ASSERT_EQ(out.size(), 1 + 13 + sizeof(INIT_CMD_STRUCT));
    const Bytes frame(out.begin() + 1, out.end());
    EXPECT_TRUE(out[0] == MSG_ACK && frame[3] == 5); // the request's sequence number
    advance(ACK_WAIT_US - 10000);
    EXPECT_TRUE(take().empty());
    advance(20000);
    EXPECT_EQ(take(), frame); // no ACK in time
    send({MSG_NAK});
    EXPECT_EQ(take(), frame);
    send({MSG_NAK});
    advance(3 * ACK_WAIT_US);
    EXPECT_TRUE(take().empty() && Link_Counts()->responses_sent == 3 &&
                Link_Counts()->give_ups == 1);
    send({MSG_POLL});
    EXPECT_EQ(take(), frame);
    send(init);
    take();
    send({MSG_ACK});
    advance(2 * ACK_WAIT_US);
    EXPECT_TRUE(take().empty());
}

} // namespace
