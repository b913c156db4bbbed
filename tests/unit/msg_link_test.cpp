// Message link over the in-memory peer: exact frames, sequence numbers, the
// sender's retry/allowance rules with their counters, and the receiver's
// handling of good, defective and absent frames.
#include <gtest/gtest.h>

#include <cstring>

#include "COMMS.h"
#include "MSG.h"
#include "mem_port.h"

namespace {

class MsgLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        Mem_Port_Install(0);
        Clear_Comms_Status();
        WORD s = 0xFFFF;
        Init_Message_Link(0, 9600, &s);
        ASSERT_EQ(s, E_OK);
    }
    void TearDown() override
    {
        WORD s;
        Shutdown_Message_Link(&s);
        Mem_Port_Remove();
    }
    // The peer answers every frame with these bytes, once the frame is whole.
    void Reply_Each_Frame(std::vector<Bytes> replies)
    {
        auto idx = std::make_shared<size_t>(0);
        Mem_Port_On_Frames([replies, idx](const Bytes &) {
            if (*idx < replies.size()) Mem_Port_Deliver(replies[(*idx)++]);
        });
    }
    std::vector<Bytes> Sent_Frames()
    {
        std::vector<Bytes> frames;
        Mem_Port_On_Frames([&frames](const Bytes &f) { frames.push_back(f); });
        Mem_Port().on_write(Mem_Port().tx.data(), Mem_Port().tx.size());
        return frames;
    }
    static size_t Count(const Bytes &b, BYTE v) { return std::count(b.begin(), b.end(), v); }
};

// ---- sender ----------------------------------------------------------------------

TEST_F(MsgLink, FirstFrameForAbcIsExact)
{
    Reply_Each_Frame({{MSG_ACK}});
    WORD s = 0xFFFF;
    EXPECT_EQ(Tx_Message("abc", 3, 65535, &s), 16);
    EXPECT_EQ(s, E_OK);
    Bytes expect = {0x02, 0x10, 0x00, 0x00, 0x61, 0x62, 0x63, 0x38,
                    0x01, 0x00, 0x00, 0xC7, 0xFE, 0xFF, 0xFF, 0x03};
    EXPECT_EQ(Mem_Port().tx, expect);
    EXPECT_EQ(comms_status.send_msg_count, 1u);
    EXPECT_EQ(comms_status.send_rx_ack_count, 1u);
    EXPECT_EQ(comms_status.send_retry_count, 0u);
}

TEST_F(MsgLink, SequenceWrapsAfter256AndRepeatsOnRetransmission)
{
    Mem_Port_On_Frames([](const Bytes &) { Mem_Port_Deliver({MSG_ACK}); });
    WORD s;
    for (int i = 0; i < 256; i++) Tx_Message("x", 1, 65535, &s);
    Mem_Port().tx.clear();
    Reply_Each_Frame({{MSG_NAK}, {MSG_ACK}});
    Tx_Message("y", 1, 65535, &s);  // the 257th message
    EXPECT_EQ(s, E_OK);
    std::vector<Bytes> frames = Sent_Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], Mem_Frame(0, {'y'}));
    EXPECT_EQ(frames[1], frames[0]);
    EXPECT_EQ(msg_seq_num, 1);
}

TEST_F(MsgLink, InitRestartsSequenceButKeepsCounters)
{
    Mem_Port_On_Frames([](const Bytes &) { Mem_Port_Deliver({MSG_ACK}); });
    WORD s;
    Tx_Message("x", 1, 65535, &s);
    Init_Message_Link(0, 9600, &s);
    EXPECT_EQ(msg_seq_num, 0);
    EXPECT_EQ(comms_status.send_msg_count, 1u);
}

TEST_F(MsgLink, AllowanceOfTwoSendsNothing)
{
    WORD s = 0;
    EXPECT_EQ(Tx_Message("abc", 3, 2, &s), 0);
    EXPECT_EQ(s, E_TIME);
    EXPECT_TRUE(Mem_Port().tx.empty());
    EXPECT_EQ(comms_status.send_no_timeout_count, 1u);
    EXPECT_EQ(comms_status.send_msg_count, 0u);
    EXPECT_EQ(msg_seq_num, 0);
}

TEST_F(MsgLink, ThreeNaksMeanNotResponding)
{
    Reply_Each_Frame({{MSG_NAK}, {MSG_NAK}, {MSG_NAK}});
    WORD s;
    EXPECT_EQ(Tx_Message("abc", 3, 65535, &s), 16);
    EXPECT_EQ(s, E_NOT_RESPONDING);
    EXPECT_EQ(Sent_Frames().size(), 3u);
    EXPECT_EQ(comms_status.send_msg_count, 3u);
    EXPECT_EQ(comms_status.send_rx_nak_count, 3u);
    EXPECT_EQ(comms_status.send_retry_count, 3u);
    EXPECT_EQ(comms_status.send_rx_bad_status, 0u);
}

TEST_F(MsgLink, SilenceWithFullAllowanceIsThreeAttemptsOfFourReads)
{
    WORD s;
    Tx_Message("abc", 3, 65535, &s);
    EXPECT_EQ(s, E_NOT_RESPONDING);
    EXPECT_EQ(Sent_Frames().size(), 3u);
    EXPECT_EQ(comms_status.send_msg_count, 3u);
    EXPECT_EQ(comms_status.send_rx_timeout_count, 12u);
    EXPECT_EQ(comms_status.send_rx_bad_status, 12u);
    EXPECT_EQ(comms_status.send_retry_count, 3u);
    EXPECT_EQ(comms_status.send_total_timeout_count, 0u);
    EXPECT_GE(Comms_GetTime(), 600u);
    EXPECT_LE(Comms_GetTime(), 620u);
}

TEST_F(MsgLink, SilenceWithAllowance22GivesUpAfterFourReads)
{
    WORD s;
    EXPECT_EQ(Tx_Message("abc", 3, 22, &s), 16);
    EXPECT_EQ(s, E_TIME);
    EXPECT_EQ(Sent_Frames().size(), 1u);
    EXPECT_EQ(comms_status.send_rx_timeout_count, 4u);
    EXPECT_EQ(comms_status.send_total_timeout_count, 1u);
    EXPECT_EQ(comms_status.send_retry_count, 0u);
}

TEST_F(MsgLink, AllowanceOfSevenLastsTwoReads)
{
    WORD s;
    Tx_Message("abc", 3, 7, &s);  // 5 left, then 0
    EXPECT_EQ(s, E_TIME);
    EXPECT_EQ(comms_status.send_rx_timeout_count, 1u);
    Clear_Comms_Status();
    Tx_Message("abc", 3, 8, &s);  // 6 left: 1, then 0
    EXPECT_EQ(comms_status.send_rx_timeout_count, 2u);
}

TEST_F(MsgLink, SpuriousBytesBeforeAck)
{
    Reply_Each_Frame({{0x41, 0x41, MSG_ACK}});
    WORD s;
    Tx_Message("abc", 3, 65535, &s);
    EXPECT_EQ(s, E_OK);
    EXPECT_EQ(comms_status.send_rx_spurious_count, 2u);
    EXPECT_EQ(comms_status.send_rx_ack_count, 1u);
    EXPECT_EQ(comms_status.send_msg_count, 1u);
}

TEST_F(MsgLink, FourSpuriousBytesEndTheAttempt)
{
    Reply_Each_Frame({{1, 2, 3, 4}, {MSG_ACK}});
    WORD s;
    Tx_Message("abc", 3, 65535, &s);
    EXPECT_EQ(s, E_OK);
    EXPECT_EQ(comms_status.send_rx_spurious_count, 4u);
    EXPECT_EQ(comms_status.send_retry_count, 1u);
    EXPECT_EQ(comms_status.send_msg_count, 2u);
}

TEST_F(MsgLink, BytesBeforeTheTrailerAreNotTheReply)
{
    Mem_Port_Deliver({MSG_ACK});  // stale, purged before the trailer goes out
    WORD s;
    Tx_Message("abc", 3, 22, &s);
    EXPECT_EQ(s, E_TIME);
    EXPECT_EQ(comms_status.send_rx_ack_count, 0u);
}

TEST_F(MsgLink, ChecksumAndCounters)
{
    WORD s = 0;
    EXPECT_EQ(Calc_Checksum("abc", 3, &s), 0x126u);
    EXPECT_EQ(s, E_OK);
    EXPECT_EQ(Calc_Checksum("abc", 0, &s), 0u);
    EXPECT_EQ(s, E_INVALID_PARAM);
    BYTE ff[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(Calc_Checksum(ff, 4, &s), 0x3FCu);  // bytes are unsigned
    comms_status.send_msg_count = 0xFFFFFFFF;
    Reply_Each_Frame({{MSG_ACK}});
    Tx_Message("a", 1, 65535, &s);
    EXPECT_EQ(comms_status.send_msg_count, 0u);  // wraps silently
    Clear_Comms_Status();
    COMMS_STATUS_STRUCT zero{};
    EXPECT_EQ(memcmp(&comms_status, &zero, sizeof zero), 0);
}

TEST_F(MsgLink, OversizedMessageIsRefused)
{
    std::vector<BYTE> big(MSG_MAX_DATA + 1, 0);
    WORD s;
    EXPECT_EQ(Tx_Message(big.data(), static_cast<WORD>(big.size()), 65535, &s), 0);
    EXPECT_NE(s, E_OK);
    EXPECT_TRUE(Mem_Port().tx.empty());
}

// ---- receiver -------------------------------------------------------------------

TEST_F(MsgLink, GoodFrameIsStoredAndAcknowledged)
{
    Mem_Port_Deliver(Mem_Frame(7, {'h', 'i'}));
    BYTE buf[8] = {};
    WORD s = 0xFFFF;
    EXPECT_EQ(Rx_Message(buf, sizeof buf, 6000, &s), 2);
    EXPECT_EQ(s, E_OK);
    EXPECT_EQ(buf[0], 'h');
    EXPECT_EQ(Mem_Port().tx, (Bytes{MSG_ACK}));
}

TEST_F(MsgLink, EmptyFrameIsAcknowledged)
{
    Mem_Port_Deliver(Mem_Frame(0, {}));
    BYTE buf[1];
    WORD s = 0xFFFF;
    EXPECT_EQ(Rx_Message(buf, sizeof buf, 6000, &s), 0);
    EXPECT_EQ(s, E_OK);
    EXPECT_EQ(Mem_Port().tx, (Bytes{MSG_ACK}));
}

TEST_F(MsgLink, BadLengthsAreSkippedWithoutReply)
{
    Mem_Port_Deliver({0x02, 0x0C, 0x00});  // msg_size 12
    Mem_Port_Deliver({0x02, 0x2E, 0x08});  // msg_size 2094
    Mem_Port_Deliver(Mem_Frame(1, {'o', 'k'}));
    BYTE buf[4];
    WORD s;
    EXPECT_EQ(Rx_Message(buf, sizeof buf, 6000, &s), 2);
    EXPECT_EQ(s, E_OK);
    EXPECT_EQ(Mem_Port().tx, (Bytes{MSG_ACK}));
}

TEST_F(MsgLink, ChecksumDefectsGetNak)
{
    Bytes d = {'a', 'b'};
    DWORD sum = 0x02 + 15 + 0 + 3 + 'a' + 'b';
    Mem_Port_Deliver(Mem_Frame_Raw(0x02, 15, 3, d, sum + 1, ~(sum + 1), 0x03));  // wrong sum
    Mem_Port_Deliver(Mem_Frame_Raw(0x02, 15, 3, d, sum, ~sum ^ 0x100, 0x03));     // wrong complement
    Mem_Port_Deliver(Mem_Frame(3, d));
    BYTE buf[2];
    WORD s;
    EXPECT_EQ(Rx_Message(buf, sizeof buf, 6000, &s), 2);
    EXPECT_EQ(s, E_OK);
    EXPECT_EQ(Mem_Port().tx, (Bytes{MSG_NAK, MSG_NAK, MSG_ACK}));
}

TEST_F(MsgLink, WrongEndCharacterIsSkippedWithoutReply)
{
    Bytes d = {'z'};
    DWORD sum = 0x02 + 14 + 'z';
    Mem_Port_Deliver(Mem_Frame_Raw(0x02, 14, 0, d, sum, ~sum, 0x04));
    Mem_Port_Deliver(Mem_Frame(0, d));
    BYTE buf[1];
    WORD s;
    EXPECT_EQ(Rx_Message(buf, sizeof buf, 6000, &s), 1);
    EXPECT_EQ(Mem_Port().tx, (Bytes{MSG_ACK}));
}

TEST_F(MsgLink, FrameLongerThanBufferIsSkippedAndNothingWrittenPastIt)
{
    Mem_Port_Deliver(Mem_Frame(0, Bytes(10, 0x55)));
    BYTE buf[8];
    memset(buf, 0xEE, sizeof buf);
    WORD s;
    EXPECT_EQ(Rx_Message(buf, 4, 200, &s), 0xFFFF);
    EXPECT_EQ(s, E_TIME);
    for (BYTE b : buf) EXPECT_EQ(b, 0xEE);
    EXPECT_EQ(Count(Mem_Port().tx, MSG_ACK) + Count(Mem_Port().tx, MSG_NAK), 0u);
}

TEST_F(MsgLink, SilentLinePollsEveryHalfSecondAndGivesUpAfterSixtySeconds)
{
    BYTE buf[4];
    WORD s;
    EXPECT_EQ(Rx_Message(buf, sizeof buf, 6000, &s), 0xFFFF);
    EXPECT_EQ(s, E_TIME);
    EXPECT_EQ(Mem_Port().tx, Bytes(119, MSG_POLL));  // after every read but the last
    EXPECT_GE(Comms_GetTime(), 120u * 500u);
    EXPECT_LE(Comms_GetTime(), 120u * 502u);
}

TEST_F(MsgLink, NoiseCostsHalfASecondEachEvenAtOnce)
{
    Mem_Port_Deliver({0x55, 0x66, 0x77});
    Mem_Port_Deliver(Mem_Frame(0, {'q'}));
    BYTE buf[1];
    WORD s;
    EXPECT_EQ(Rx_Message(buf, 1, 150, &s), 0xFFFF);  // third noise byte uses it up
    EXPECT_EQ(s, E_TIME);
    EXPECT_EQ(Comms_GetTime(), 0u);
    EXPECT_TRUE(Mem_Port().tx.empty());  // noise gets no poll byte
    EXPECT_EQ(Rx_Message(buf, 1, 150, &s), 1);
    EXPECT_EQ(s, E_OK);
}

TEST_F(MsgLink, WaitCounterIsNotResetByABadFrame)
{
    // Two silent reads (100), a bad frame, then silence: the running counter
    // allows two more reads (one more poll); a fresh one would allow four.
    Mem_Port_Deliver_At(1100, Mem_Frame_Raw(0x02, 14, 0, {'z'}, 0, 0, 0x03));
    BYTE buf[1];
    WORD s;
    EXPECT_EQ(Rx_Message(buf, 1, 200, &s), 0xFFFF);
    EXPECT_EQ(s, E_TIME);
    EXPECT_EQ(Count(Mem_Port().tx, MSG_POLL), 3u);
    EXPECT_EQ(Count(Mem_Port().tx, MSG_NAK), 1u);
}

TEST_F(MsgLink, CancelEndsTheWaitWithoutStoring)
{
    Mem_Port_Deliver({MSG_CAN});
    BYTE buf[4] = {9, 9, 9, 9};
    WORD s = 0xFFFF;
    EXPECT_EQ(Rx_Message(buf, sizeof buf, 6000, &s), 0xFFFF);
    EXPECT_EQ(s, E_OK);
    EXPECT_EQ(buf[0], 9);
}

TEST_F(MsgLink, TruncatedFrameTimesOutPerByte)
{
    Bytes f = Mem_Frame(0, {'a', 'b', 'c'});
    f.resize(f.size() - 3);
    Mem_Port_Deliver(f);
    BYTE buf[3];
    WORD s;
    EXPECT_EQ(Rx_Message(buf, sizeof buf, 100, &s), 0xFFFF);
    EXPECT_EQ(s, E_TIME);
    EXPECT_EQ(buf[2], 'c');  // bytes already stored stay
}

}  // namespace
