// The virtual board's end of the message link, driven byte by byte with a
// made-up clock.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "HCMDFMT.h"
#include "MSG.h"
#include "vboard.h"

using namespace vboard;

namespace {

using Bytes = std::vector<BYTE>;

Bytes Frame(const Bytes &data, BYTE seq)
{
    Bytes f;
    f.reserve(data.size() + 13);
    f.push_back(MSG_STX);
    f.push_back(BYTE((data.size() + 13) & 0xFF));
    f.push_back(BYTE((data.size() + 13) >> 8));
    f.push_back(seq);
    for (BYTE b : data) f.push_back(b);
    DWORD sum = 0;
    for (BYTE b : f) sum += b;
    DWORD inv = ~sum;
    for (int i = 0; i < 4; i++) f.push_back(BYTE(sum >> (8 * i)));
    for (int i = 0; i < 4; i++) f.push_back(BYTE(inv >> (8 * i)));
    f.push_back(MSG_ETX);
    return f;
}

template <typename T>
Bytes Record(const T &rec, size_t len = sizeof(T))
{
    const BYTE *p = reinterpret_cast<const BYTE *>(&rec);
    return Bytes(p, p + len);
}

Bytes Init_Request()
{
    INIT_CMD_STRUCT r{};
    r.id = INIT_CMD;
    return Record(r);
}

struct BoardLink : testing::Test {
    uint64_t now = 1000000;
    LINK_SETUP setup{{1, 0x0251, 0x03FFA000}, 9600, false, 0, 0, 0, 0, false, 1};

    void SetUp() override
    {
        ASSERT_TRUE(Mem_Init(3));
        Link_Init(&setup);
    }
    void Restart() { Link_Init(&setup); }
    void Send(const Bytes &b, DWORD host_baud = 9600) { Link_Receive(b.data(), b.size(), host_baud, now); }
    void Advance(uint64_t us)
    {
        now += us;
        Link_Timer(now);
    }
    Bytes Take(DWORD host_baud = 9600)
    {
        Bytes out(8192);
        out.resize(Link_Take_Output(out.data(), out.size(), host_baud, now));
        return out;
    }
};

// Splits "ACK, then a frame" and checks the frame is well formed.
Bytes Response_Record(const Bytes &out)
{
    EXPECT_GE(out.size(), 14u);
    if (out.size() < 14) return {};
    EXPECT_EQ(out[0], MSG_ACK);
    Bytes f(out.begin() + 1, out.end());
    WORD size = WORD(f[1] | (f[2] << 8));
    EXPECT_EQ(size, f.size());
    Bytes data(f.begin() + 4, f.end() - 9);
    EXPECT_EQ(Frame(data, f[3]), f) << "checksum, complement or end character wrong";
    return data;
}

TEST_F(BoardLink, IntactFrameGetsAckThenOneResponseFrame)
{
    Send(Frame(Init_Request(), 5));
    Bytes out = Take();
    Bytes rec = Response_Record(out);
    ASSERT_EQ(rec.size(), sizeof(INIT_CMD_STRUCT));
    INIT_CMD_STRUCT r;
    memcpy(&r, rec.data(), sizeof r);
    EXPECT_EQ(r.id, INIT_CMD);
    EXPECT_EQ(+r.program_version, 0x0251);
    EXPECT_EQ(out[1 + 3], 5) << "the response carries the request's sequence number";
    Send({MSG_ACK});
    Advance(2 * ACK_WAIT_US);
    EXPECT_TRUE(Take().empty()) << "an acknowledged response is not sent again";
}

TEST_F(BoardLink, DefectiveFramesGetNakOrNothing)
{
    Bytes bad_sum = Frame(Init_Request(), 0);
    bad_sum[6] ^= 0x01;
    bad_sum[bad_sum.size() - 9] ^= 0x01;  // checksum field still wrong for the data
    Send(bad_sum);
    EXPECT_EQ(Take(), Bytes{MSG_NAK});

    Bytes bad_inverse = Frame(Init_Request(), 0);
    bad_inverse[bad_inverse.size() - 5] ^= 0x80;
    Send(bad_inverse);
    EXPECT_EQ(Take(), Bytes{MSG_NAK});

    Bytes bad_end = Frame(Init_Request(), 0);
    bad_end.back() = 0x04;
    Send(bad_end);
    EXPECT_TRUE(Take().empty());

    Send({MSG_STX, 12, 0, 0});  // below the smallest frame
    Send({MSG_STX, 0x2E, 0x08, 0});  // 2094: above the largest
    Send({MSG_POLL, MSG_ACK, MSG_NAK, 0x00});
    EXPECT_TRUE(Take().empty());
    EXPECT_EQ(Link_Counts()->frames_nak, 2u);
    EXPECT_EQ(Link_Counts()->frames_ok, 0u);

    Send(Frame(Init_Request(), 1));  // the board still listens
    EXPECT_EQ(Take()[0], MSG_ACK);
}

TEST_F(BoardLink, EmptyFrameIsAcknowledged)
{
    Send(Frame({}, 0));
    Bytes out = Take();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out[0], MSG_ACK);
}

TEST_F(BoardLink, StalledFrameIsAbandonedSoTheRetransmissionIsTakenWhole)
{
    Bytes f = Frame(Init_Request(), 0);
    Send(Bytes(f.begin(), f.begin() + 10));  // the rest was lost on the line
    Advance(FRAME_GAP_US + 1000);
    Send(f);
    EXPECT_EQ(Take()[0], MSG_ACK);
}

TEST_F(BoardLink, WrongHostRateIsSilence)
{
    Send(Frame(Init_Request(), 0), 38400);
    Advance(2 * ACK_WAIT_US);
    EXPECT_TRUE(Take(38400).empty());
    EXPECT_EQ(Link_Counts()->frames_ok, 0u);
    EXPECT_GT(Link_Counts()->garbage_bytes, 0u);
    Send(Frame(Init_Request(), 0), 9600);
    EXPECT_EQ(Take()[0], MSG_ACK);
}

TEST_F(BoardLink, ChangeBaudAnswersAtOldRateThenSwitches)
{
    CHANGE_BAUD_CMD_STRUCT cb{};
    cb.id = CHANGE_BAUD_CMD;
    cb.baud_rate = 38400;
    Send(Frame(Record(cb), 0));
    EXPECT_EQ(Link_Baud(), 9600u) << "the answer goes out at the old rate";
    Bytes rec = Response_Record(Take(9600));
    ASSERT_EQ(rec.size(), sizeof cb);
    EXPECT_EQ(rec[1] | rec[2] << 8, 0);
    Send({MSG_ACK});
    EXPECT_EQ(Link_Baud(), 38400u);

    Send(Frame(Init_Request(), 0), 9600);  // host still at the old rate: garbage
    EXPECT_TRUE(Take(9600).empty());
    Send(Frame(Init_Request(), 0), 38400);
    EXPECT_EQ(Take(38400)[0], MSG_ACK);
}

TEST_F(BoardLink, ChangeBaudWhoseAckIsLostSwitchesWhenTheHostDoes)
{
    CHANGE_BAUD_CMD_STRUCT cb{};
    cb.id = CHANGE_BAUD_CMD;
    cb.baud_rate = 19200;
    Send(Frame(Record(cb), 0));
    Take();
    Send(Frame(Init_Request(), 1), 19200);
    EXPECT_EQ(Link_Baud(), 19200u);
    EXPECT_EQ(Take(19200)[0], MSG_ACK);
}

TEST_F(BoardLink, ShutdownReturnsToTheResetRate)
{
    CHANGE_BAUD_CMD_STRUCT cb{};
    cb.id = CHANGE_BAUD_CMD;
    cb.baud_rate = 57600;
    Send(Frame(Record(cb), 0));
    Take();
    Send({MSG_ACK});
    SHUTDOWN_CMD_STRUCT sd{};
    sd.id = SHUTDOWN_CMD;
    Send(Frame(Record(sd), 1), 57600);
    EXPECT_FALSE(Take(57600).empty());
    EXPECT_EQ(Link_Baud(), 57600u);
    Send({MSG_ACK}, 57600);
    EXPECT_EQ(Link_Baud(), 9600u);
}

TEST_F(BoardLink, ResponseIsResentOnNakAtMostThreeSendsInAll)
{
    Send(Frame(Init_Request(), 0));
    Bytes first = Take();
    Bytes frame(first.begin() + 1, first.end());
    Send({MSG_NAK});
    EXPECT_EQ(Take(), frame);
    Send({MSG_NAK});
    EXPECT_EQ(Take(), frame);
    Send({MSG_NAK});
    Advance(3 * ACK_WAIT_US);
    EXPECT_TRUE(Take().empty());
    EXPECT_EQ(Link_Counts()->responses_sent, 3u);
    EXPECT_EQ(Link_Counts()->give_ups, 1u);
}

TEST_F(BoardLink, ResponseIsResentWhenNoAckComes)
{
    Send(Frame(Init_Request(), 0));
    Bytes first = Take();
    Advance(ACK_WAIT_US - 10000);
    EXPECT_TRUE(Take().empty());
    Advance(20000);
    EXPECT_EQ(Take(), Bytes(first.begin() + 1, first.end()));
}

TEST_F(BoardLink, NakFirstRejectsThatManyIntactFrames)
{
    setup.nak_first = 2;
    Restart();
    Bytes f = Frame(Init_Request(), 0);
    Send(f);
    EXPECT_EQ(Take(), Bytes{MSG_NAK});
    Send(f);
    EXPECT_EQ(Take(), Bytes{MSG_NAK});
    Send(f);
    EXPECT_EQ(Take()[0], MSG_ACK);
}

TEST_F(BoardLink, SilentBoardSendsNothing)
{
    setup.silent = true;
    Restart();
    Send(Frame(Init_Request(), 0));
    Advance(3 * ACK_WAIT_US);
    EXPECT_TRUE(Take().empty());
    EXPECT_EQ(Link_Counts()->frames_ok, 1u);
}

TEST_F(BoardLink, PacingAcksAtOnceAndSpacesTheResponseAtTheWireRate)
{
    setup.pace = true;
    Restart();
    const uint64_t byte_us = 10000000 / 9600;  // 1041 us
    Send(Frame(Init_Request(), 0));  // 28 bytes on the wire
    EXPECT_EQ(Take(), Bytes{MSG_ACK});
    EXPECT_GT(Link_Wait_Ms(now), 28);
    Advance(29 * byte_us);  // request and ACK have crossed the wire
    EXPECT_EQ(Take().size(), 1u);
    Advance(10 * byte_us);
    EXPECT_EQ(Take().size(), 10u);
    Advance(30 * byte_us);
    EXPECT_EQ(Take().size(), 17u);
}

TEST_F(BoardLink, FaultInjectionIsReproducibleFromTheSeed)
{
    setup.out_corrupt_rate = 0.3;
    setup.seed = 42;
    auto run = [&] {
        Restart();
        Send(Frame(Init_Request(), 0));
        return Take();
    };
    Bytes a = run(), b = run();
    EXPECT_EQ(a, b);
    setup.seed = 43;
    EXPECT_NE(run(), a);
}

TEST_F(BoardLink, DroppedBytesNeverLetADamagedFrameThrough)
{
    setup.drop_rate = 0.05;
    Restart();
    Bytes f = Frame(Init_Request(), 0);
    int acks = 0;
    for (int i = 0; i < 200; i++) {
        Send(f);
        Bytes out = Take();
        if (!out.empty() && out[0] == MSG_ACK) {
            acks++;
            Send({MSG_ACK});
        }
        Advance(FRAME_GAP_US + 1000);
        Take();
    }
    // A frame with a byte missing is never complete before the next one
    // starts, so every ACK belongs to a frame that arrived whole.
    EXPECT_EQ(DWORD(acks), Link_Counts()->frames_ok);
    EXPECT_GT(acks, 20);
    EXPECT_LT(acks, 200);
}

TEST_F(BoardLink, SurvivesRandomGarbageWithoutAnsweringIt)
{
    std::mt19937 gen(2024);
    size_t fed = 0;
    Bytes out;
    while (fed < 10000) {
        size_t chunk = std::uniform_int_distribution<size_t>(1, 64)(gen);
        Bytes b(chunk);
        for (BYTE &x : b) x = BYTE(gen());
        // Lean towards start characters and plausible sizes so frames get
        // parsed deep, not just skipped while hunting.
        if (gen() % 4 == 0) b[0] = MSG_STX, b.size() > 2 ? b[2] = 0 : 0;
        Send(b);
        fed += chunk;
        Advance(gen() % 3 ? 0 : FRAME_GAP_US / 2);
        Bytes got = Take();
        out.insert(out.end(), got.begin(), got.end());
    }
    for (BYTE b : out) EXPECT_EQ(b, MSG_NAK) << "only NAK may answer garbage";
    EXPECT_EQ(Link_Counts()->frames_ok, 0u);
    EXPECT_GT(Link_Counts()->frames_skipped + Link_Counts()->frames_nak, 10u);

    Advance(FRAME_GAP_US + 1000);
    Send(Frame(Init_Request(), 0));
    EXPECT_EQ(Take()[0], MSG_ACK) << "the board still works afterwards";
}

}  // namespace
