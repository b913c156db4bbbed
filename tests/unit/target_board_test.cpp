// The virtual board: its memory rules, and its end of the message link driven
// byte by byte with a made-up clock.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "HCMDFMT.h"
#include "MSG.h"
#include "vboard.h"

using namespace vboard;

namespace {

using Bytes = std::vector<BYTE>;
const DWORD WORK = 0x20000;

Bytes Read(DWORD addr, DWORD len)
{
    Bytes out(len);
    EXPECT_EQ(Mem_Read(addr, len, out.data()), ST_OK);
    return out;
}

WORD Program(DWORD dest, const Bytes &data)  // through the RAM work area
{
    EXPECT_EQ(Mem_Write_Ram(WORK, data.data(), DWORD(data.size())), ST_OK);
    return Mem_Program(dest, WORK, DWORD(data.size()));
}

struct BoardMem : testing::Test {
    void SetUp() override { ASSERT_TRUE(Mem_Init(3)); }
};

TEST(BoardModels, BlocksAndFlashCodesOfEachBoard)
{
    const DWORD want[][5] = {{1, 7, 0x0089, 0x0070, 0x03F80000},
                             {2, 11, 0x0089, 0x009C, 0x03F00000},
                             {3, 19, 0x0101, 0x00DA, 0x03F00000},
                             {4, 35, 0x0101, 0x00C4, 0x03E00000}};
    for (const DWORD *w : want) {
        ASSERT_TRUE(Mem_Init(WORD(w[0])));
        WORD n = 0, manu = 0, dev = 0;
        const FLASH_BLOCK *b = Mem_Blocks(&n);
        Mem_Flash_Codes(&manu, &dev);
        EXPECT_TRUE(n == w[1] && manu == w[2] && dev == w[3] && b[0].addr == w[4]) << w[0];
        // Contiguous up to the top of the window, the tables' 8 K block second to last.
        for (WORD i = 1; i < n; i++) EXPECT_EQ(b[i].addr, b[i - 1].addr + b[i - 1].size);
        EXPECT_EQ(b[n - 1].addr + b[n - 1].size, 0x04000000u);
        EXPECT_TRUE(b[n - 2].addr == 0x03FFA000u && b[n - 2].size == 0x2000u);
    }
}

TEST_F(BoardMem, FlashIsErasedByWholeBlocksAndProgrammedOnlyFromErasedBits)
{
    ASSERT_EQ(Program(0x03FFA000, {0xF0, 0x0F, 0xAA, 0xFF}), ST_OK);
    EXPECT_EQ(Program(0x03FFA000, {0x30, 0x01, 0x82, 0x7F}), ST_OK);  // clears more bits
    // Setting a bit again needs an erase; then not one byte is written.
    EXPECT_EQ(Program(0x03FFA000, {0x00, 0x00, 0x00, 0xFF}), ST_UNERASED);
    EXPECT_EQ(Read(0x03FFA000, 4), (Bytes{0x30, 0x01, 0x82, 0x7F}));

    const Bytes zeros(32, 0);
    EXPECT_EQ(Program(0x03FF9FF0, zeros), ST_BAD_PARAM);  // straddles two blocks
    EXPECT_EQ(Read(0x03FF9FF0, 16), Bytes(16, 0xFF));
    EXPECT_EQ(Program(0x00030000, zeros), ST_FLASH_RAM);
    EXPECT_EQ(Program(0x00100000, zeros), ST_BAD_PARAM);  // nothing there
    EXPECT_EQ(Program(0xFFFFFFF0, zeros), ST_BAD_PARAM);  // wraps around
    EXPECT_EQ(Mem_Program(0x03FFA000, 0x0009FFF0, 32), ST_BAD_PARAM);  // source past RAM

    EXPECT_EQ(Mem_Erase(0x03FFA000, 0x1000), ST_BAD_PARAM);   // wrong size
    EXPECT_EQ(Mem_Erase(0x03FFA010, 0x2000), ST_BAD_PARAM);   // not the start
    EXPECT_EQ(Mem_Erase(0x00020000, 0x10000), ST_BAD_PARAM);  // RAM
    EXPECT_EQ(Read(0x03FFA000, 1)[0], 0x30);
    EXPECT_EQ(Mem_Erase(0x03FFA000, 0x2000), ST_OK);
    EXPECT_EQ(Read(0x03FFA000, 4), Bytes(4, 0xFF));
}

TEST_F(BoardMem, RamWritesAimedAtFlashFailWhileCopyAndCompareSpanBoth)
{
    const Bytes data = {9, 8, 7, 6, 5, 4, 3, 2};
    EXPECT_EQ(Mem_Write_Ram(0x03F10000, data.data(), 8), ST_BAD_WRITE);
    EXPECT_EQ(Mem_Write_Ram(0x0009FFFC, data.data(), 8), ST_BAD_WRITE);  // runs past RAM
    EXPECT_EQ(Mem_Fill_Ram(0x03F10000, 8, 0), ST_BAD_WRITE);
    EXPECT_EQ(Mem_Copy(0x03F10000, WORK, 8), ST_BAD_WRITE);
    EXPECT_EQ(Read(0x03F10000, 8), Bytes(8, 0xFF));
    EXPECT_EQ(Mem_Write_Ram(0x0009FFF8, data.data(), 8), ST_OK);  // last bytes of RAM

    ASSERT_EQ(Program(0x03F10000, data), ST_OK);
    ASSERT_EQ(Mem_Copy(0x30000, 0x03F10000, 8), ST_OK);  // flash into RAM
    EXPECT_EQ(Read(0x30000, 8), data);
    EXPECT_EQ(Mem_Compare(0x30000, 0x03F10000, 8), ST_OK);
    EXPECT_EQ(Mem_Compare(0x30000, 0x03F10000, 9), ST_COMPARE);  // 0xFF after the data
    EXPECT_EQ(Mem_Compare(0x30000, 0x00A00000, 8), ST_BAD_PARAM);

    EXPECT_EQ(Mem_Port_Read(0x3F8, 4), 0u);
    Mem_Port_Write(0x3F8, 4, 0xDEADBEEF);
    EXPECT_EQ(Mem_Port_Read(0x3F8, 2), 0xBEEFu);
}

template <typename T>
Bytes Request(T rec, BYTE id)
{
    rec.id = id;
    return Bytes(reinterpret_cast<const BYTE *>(&rec), reinterpret_cast<const BYTE *>(&rec + 1));
}

// ---- the link ----------------------------------------------------------------

Bytes Frame(const Bytes &data, BYTE seq)
{
    Bytes f = data;
    f.insert(f.begin(), {MSG_STX, BYTE(data.size() + 13), BYTE((data.size() + 13) >> 8), seq});
    DWORD sum = 0;
    for (BYTE b : f) sum += b;
    for (DWORD v : {sum, ~sum})
        for (int i = 0; i < 4; i++) f.push_back(BYTE(v >> (8 * i)));
    f.push_back(MSG_ETX);
    return f;
}

const Bytes INIT = Frame(Request(INIT_CMD_STRUCT{}, INIT_CMD), 5);

Bytes Change_Baud(DWORD baud)
{
    CHANGE_BAUD_CMD_STRUCT cb{};
    cb.baud_rate = baud;
    return Frame(Request(cb, CHANGE_BAUD_CMD), 0);
}

struct BoardLink : testing::Test {
    uint64_t now = 1000000;
    LINK_SETUP setup{{1, 0x0251, 0x03FFA000}, 9600, false, 0, 0, 0, 0, false, 1, 0, "", 0, 0};

    void SetUp() override
    {
        ASSERT_TRUE(Mem_Init(3));
        Link_Init(&setup);
    }
    void Send(const Bytes &b, DWORD baud = 9600) { Link_Receive(b.data(), b.size(), baud, now); }
    void Advance(uint64_t us) { Link_Timer(now += us); }
    Bytes Take(DWORD host_baud = 9600)
    {
        Bytes out(8192);
        out.resize(Link_Take_Output(out.data(), out.size(), host_baud, now));
        return out;
    }
};

TEST_F(BoardLink, AnswerIsOneFrameResentOnNakOrSilenceThreeSendsInAll)
{
    Send(INIT);
    Bytes out = Take();
    ASSERT_EQ(out.size(), 1 + 13 + sizeof(INIT_CMD_STRUCT));
    EXPECT_EQ(out[0], MSG_ACK);
    Bytes frame(out.begin() + 1, out.end());
    EXPECT_EQ(frame[3], 5) << "the request's sequence number";

    Advance(ACK_WAIT_US - 10000);
    EXPECT_TRUE(Take().empty());
    Advance(20000);
    EXPECT_EQ(Take(), frame) << "no ACK in time";
    Send({MSG_NAK});
    EXPECT_EQ(Take(), frame);
    Send({MSG_NAK});
    Advance(3 * ACK_WAIT_US);
    EXPECT_TRUE(Take().empty());
    EXPECT_TRUE(Link_Counts()->responses_sent == 3 && Link_Counts()->give_ups == 1);
    Send({MSG_POLL});
    EXPECT_EQ(Take(), frame) << "a host still polling gets the answer again";

    Send(INIT);
    Take();
    Send({MSG_ACK});
    Advance(2 * ACK_WAIT_US);
    EXPECT_TRUE(Take().empty()) << "an acknowledged answer is not sent again";
}

TEST_F(BoardLink, BadChecksumsGetNakOtherDefectsNothing)
{
    Bytes bad_sum = INIT, bad_inverse = INIT, bad_end = INIT;
    bad_sum[6] ^= 0x01;
    bad_sum[bad_sum.size() - 9] ^= 0x01;  // checksum field still wrong for the data
    bad_inverse[bad_inverse.size() - 5] ^= 0x80;
    bad_end.back() = 0x04;
    Send(bad_sum);
    EXPECT_EQ(Take(), Bytes{MSG_NAK});
    Send(bad_inverse);
    EXPECT_EQ(Take(), Bytes{MSG_NAK});
    Send(bad_end);
    Send({MSG_STX, 12, 0, 0});       // below the smallest frame
    Send({MSG_STX, 0x2E, 0x08, 0});  // 2094: above the largest
    Send({MSG_POLL, MSG_ACK, MSG_NAK, 0x00});
    Send(Bytes(INIT.begin(), INIT.begin() + 10));  // the rest was lost on the line
    Advance(FRAME_GAP_US + 1000);
    EXPECT_TRUE(Take().empty());
    EXPECT_EQ(Link_Counts()->frames_ok, 0u);
    Send(INIT);  // the stalled frame was abandoned: the retransmission is taken whole
    EXPECT_EQ(Take()[0], MSG_ACK);
}

TEST_F(BoardLink, WrongHostRateIsSilenceAndChangeBaudAnswersBeforeSwitching)
{
    Send(INIT, 38400);
    Advance(2 * ACK_WAIT_US);
    EXPECT_TRUE(Take(38400).empty());
    EXPECT_EQ(Link_Counts()->frames_ok, 0u);

    Send(Change_Baud(38400));
    EXPECT_EQ(Take(9600).size(), 1 + 13 + sizeof(CHANGE_BAUD_CMD_STRUCT)) << "at the old rate";
    EXPECT_EQ(Link_Baud(), 9600u);
    Send({MSG_ACK});
    EXPECT_EQ(Link_Baud(), 38400u);
    Send(INIT, 9600);
    EXPECT_TRUE(Take(9600).empty());

    // The host's ACK of the next change is lost; its first frame at the new
    // rate shows the answer got through.
    Send(Change_Baud(19200), 38400);
    Take(38400);
    Send(INIT, 19200);
    EXPECT_EQ(Link_Baud(), 19200u);
    EXPECT_EQ(Take(19200)[0], MSG_ACK);
}

TEST_F(BoardLink, PacingAcksAtOnceAndSpacesTheAnswerAtTheWireRate)
{
    setup.pace = true;
    Link_Init(&setup);
    const uint64_t byte_us = 10000000 / 9600;
    Send(INIT);  // 28 bytes on the wire
    EXPECT_EQ(Take(), Bytes{MSG_ACK});
    EXPECT_GT(Link_Wait_Ms(now), 28);
    Advance(29 * byte_us);  // request and ACK have crossed the wire
    EXPECT_EQ(Take().size(), 1u);
    Advance(10 * byte_us);
    EXPECT_EQ(Take().size(), 10u);
    Advance(30 * byte_us);
    EXPECT_EQ(Take().size(), 17u);
}

TEST_F(BoardLink, SurvivesRandomGarbageWithoutAnsweringIt)
{
    std::mt19937 gen(2024);
    Bytes out;
    for (size_t fed = 0; fed < 10000;) {
        Bytes b(std::uniform_int_distribution<size_t>(1, 64)(gen));
        for (BYTE &x : b) x = BYTE(gen());
        // Lean towards start characters and plausible sizes so frames get
        // parsed deep, not just skipped while hunting.
        if (gen() % 4 == 0) b[0] = MSG_STX, b.size() > 2 ? b[2] = 0 : 0;
        Send(b);
        fed += b.size();
        Advance(gen() % 3 ? 0 : FRAME_GAP_US / 2);
        Bytes got = Take();
        out.insert(out.end(), got.begin(), got.end());
    }
    EXPECT_EQ(out, Bytes(out.size(), MSG_NAK)) << "only NAK may answer garbage";
    EXPECT_EQ(Link_Counts()->frames_ok, 0u);
    EXPECT_GT(Link_Counts()->frames_skipped + Link_Counts()->frames_nak, 10u);
    Advance(FRAME_GAP_US + 1000);
    Send(INIT);
    EXPECT_EQ(Take()[0], MSG_ACK) << "the board still works afterwards";
}

}  // namespace
