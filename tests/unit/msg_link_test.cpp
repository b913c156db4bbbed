// Message link and command wrappers on the in-memory peer, and the virtual board's link.
#include <gtest/gtest.h>
#include <cstring>
#include "COMMS.h"
#include "FLCOMMON.h"
#include "HCMDFMT.h"
#include "mem_port.h"
#include "vboard.h"

namespace {
typedef Mem_Link_Test MsgLink;

// The n-th whole frame the host sends gets replies[n].
void Reply_Each_Frame(std::vector<Bytes> replies)
{
    Mem_Port_On_Frames([replies, n = size_t(0)](const Bytes &) mutable {
        if (n < replies.size()) Mem_Port_Deliver(replies[n++]);
    });
}

// The frame with its byte at `at` (counted from the end when negative) set to v.
Bytes With(Bytes f, int at, BYTE v)
{
    f[at < 0 ? f.size() + at : at] = v;
    return f;
}

TEST_F(MsgLink, SenderRetriesThreeTimesWithinTheAllowanceAndCountsEveryReply)
{
    const Bytes abc = Mem_Frame(0, {'a', 'b', 'c'});
    const Bytes ack = {MSG_ACK}, nak = {MSG_NAK};
    // early: queued before the send, never the reply. Counters in COMMS_STATUS_STRUCT order.
    struct {
        Bytes early;
        std::vector<Bytes> replies;
        WORD allow, status;
        size_t frames;
        COMMS_STATUS_STRUCT counters;
    } cases[] = {
        {{}, {ack}, 65535, E_OK, 1, {0, 1, 0, 0, 1, 0, 0, 0, 0, 0}},
        {{}, {nak, nak, nak}, 65535, E_NOT_RESPONDING, 3, {0, 3, 0, 0, 0, 3, 0, 3, 0, 0}},
        {{}, {}, 65535, E_NOT_RESPONDING, 3, {0, 3, 0, 0, 0, 0, 0, 3, 12, 12}},
        {{}, {}, 22, E_TIME, 1, {0, 1, 0, 1, 0, 0, 0, 0, 4, 4}},
        {{}, {ack}, 2, E_TIME, 0, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {{}, {{0x41, 0x41, MSG_ACK}}, 65535, E_OK, 1, {0, 1, 0, 0, 1, 0, 2, 0, 0, 0}},
        {{}, {{1, 2, 3, 4}, ack}, 65535, E_OK, 2, {0, 2, 0, 0, 1, 0, 4, 1, 0, 0}},
        {ack, {}, 22, E_TIME, 1, {0, 1, 0, 1, 0, 0, 0, 0, 4, 4}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        SetUp();
        Clear_Comms_Status();
        Reply_Each_Frame(c.replies);
        Mem_Port_Deliver(c.early);
        WORD s = 0xFFFF, sent = Tx_Message("abc", 3, c.allow, &s);
        Bytes frames; // every retransmission is the same frame, sequence number included
        for (size_t i = 0; i < c.frames; i++) frames.insert(frames.end(), abc.begin(), abc.end());
        EXPECT_EQ(std::make_tuple(sent, s, Mem_Port().tx),
                  std::make_tuple(WORD(c.frames ? 16 : 0), c.status, frames));
        EXPECT_EQ(memcmp(&comms_status, &c.counters, sizeof c.counters), 0);
        EXPECT_NEAR(Comms_GetTime(), 51.0 * c.counters.send_rx_timeout_count,
                    c.counters.send_rx_timeout_count);
    }
    SetUp();
    WORD s = 0;
    EXPECT_EQ(Tx_Message(Bytes(MSG_MAX_DATA + 1).data(), MSG_MAX_DATA + 1, 65535, &s), 0);
    EXPECT_TRUE(s != E_OK && Mem_Port().tx.empty()); // it would not fit a frame
    Reply_Each_Frame({ack, ack});                    // a new message takes the next sequence number
    Tx_Message("abc", 3, 65535, &s);
    Tx_Message("abc", 3, 65535, &s);
    EXPECT_EQ(Bytes(Mem_Port().tx.begin() + 16, Mem_Port().tx.end()),
              Mem_Frame(1, {'a', 'b', 'c'}));
}

TEST_F(MsgLink, ReceiverAcksGoodFramesNaksBadOnesAndPollsThroughSilence)
{
    const WORD NONE = 0xFFFF, OK = E_OK, TIME = E_TIME;
    const Bytes abc = Mem_Frame(0, {'a', 'b', 'c'}), no_end(abc.begin(), abc.end() - 1),
                ab = Mem_Frame(3, {'a', 'b'}), z = Mem_Frame(0, {'z'});
    const Bytes too_long = With(abc, 1, 26), abc_data(abc.begin() + 4, abc.end()); // size +10
    const Bytes PPNP = {MSG_POLL, MSG_POLL, MSG_NAK, MSG_POLL};
    const Bytes A = {MSG_ACK}, NNA = {MSG_NAK, MSG_NAK, MSG_ACK}, ok = Mem_Frame(1, {'o', 'k'});
    // The last part arrives at `at`; replies: what the receiver sent; stored: the buffer after.
    struct {
        std::vector<Bytes> stream;
        DWORD at;
        WORD size, allowance, ret, status;
        Bytes replies, stored;
        DWORD ms;
    } cases[] = {
        {{Mem_Frame(7, {'h', 'i'})}, 0, 8, 6000, 2, OK, A, {'h', 'i'}, 0},
        {{Mem_Frame(0, {})}, 0, 1, 6000, 0, OK, A, {}, 0},
        // Sizes 12 and 2094, with room for the largest frame: refused for their size alone.
        {{{2, 12, 0}, {2, 0x2E, 8}, ok}, 0, 2100, 6000, 2, OK, A, {'o', 'k'}, 0},
        // The checksum wrong for the data, then the inverse wrong for the checksum: NAKs.
        {{With(ab, 5, 'c'), With(ab, -2, 0), ab}, 0, 2, 6000, 2, OK, NNA, {'a', 'b'}, 0},
        {{With(z, -1, 4), Mem_Frame(0, {'y'})}, 0, 1, 6000, 1, OK, A, {'y'}, 0},
        // One byte longer than the buffer; then start characters inside; then noise, 500 ms each.
        {{Mem_Frame(0, Bytes(5, 0x55))}, 0, 4, 200, NONE, TIME, {}, {}, 0},
        {{Mem_Frame(0, Bytes(MSG_MAX_DATA, 2))}, 0, 15, 300, NONE, TIME, {}, {}, 0},
        {{{0x55, 0x66, 0x77}, Mem_Frame(0, {'q'})}, 0, 1, 150, NONE, TIME, {}, {}, 0},
        {{Bytes{MSG_CAN}}, 0, 4, 6000, NONE, OK, {}, {}, 0},
        // A frame broken off is given up after 1 s and its resend taken, else ends 2 s on.
        {{too_long, abc}, 1500, 16, 6000, 3, OK, A, abc_data, 1500},
        {{no_end, abc}, 1500, 3, 6000, 3, OK, A, {'a', 'b', 'c'}, 1500},
        {{no_end}, 0, 3, 6000, NONE, TIME, Bytes(3, MSG_POLL), {'a', 'b', 'c'}, 3005},
        {{}, 0, 4, 6000, NONE, TIME, Bytes(119, MSG_POLL), {}, 60000},
        // The wait counter runs on across a bad frame: two reads left, not four.
        {{With(z, -9, 0)}, 1100, 1, 200, NONE, TIME, PPNP, {'z'}, 2100},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        SetUp();
        for (const Bytes &part : c.stream)
            Mem_Port_Deliver(part, &part == &c.stream.back() ? c.at : 0);
        Bytes buf(std::max<size_t>(c.size, 16), 0xEE), stored = c.stored;
        stored.resize(buf.size(), 0xEE);
        WORD s = 0x1234, got = Rx_Message(buf.data(), c.size, c.allowance, &s);
        EXPECT_EQ(std::make_tuple(got, s, Mem_Port().tx, buf),
                  std::make_tuple(c.ret, c.status, c.replies, stored));
        EXPECT_TRUE(Comms_GetTime() >= c.ms && Comms_GetTime() <= c.ms + c.ms / 200 + 2);
    }
}

typedef Mem_Link_Test Wrappers;

// A cancelled or short answer is no init: the markers stay.
TEST_F(Wrappers, InitTakesOnlyAWholeAnswer)
{
    WORD id = 0, ver = 0, s = 0;
    DWORD boot = 0x000FFF00;
    const struct {
        Bytes answer;
        WORD status;
        const char *said;
    } cases[] = {{{MSG_CAN}, E_NOT_RESPONDING, ""},
                 {Mem_Frame(0, {0x03, 0x00}), E_NOT_RESPONDING, ""}, // no status
                 {Mem_Frame(0, {0x03, 0x00, 0x00}), E_REPORTED,
                  "Init response carries 3 bytes; 15 expected\n"}};
    for (const auto &c : cases) {
        Mem_Port_On_Frames([&c](const Bytes &) {
            Mem_Port_Deliver({MSG_ACK});
            Mem_Port_Deliver(c.answer);
        });
        s = 0;
        EXPECT_EQ(Stdout_Of([&] { Init_Command(&id, &ver, &boot, &s); }), c.said);
        EXPECT_TRUE(s == c.status && id == 0xFFFF && ver == 0xFFFF && boot == 0x000FFF00u) << s;
    }
}

// An honest monitor's read RAM answer, spoiled per case: nothing unproven reaches the buffer.
TEST_F(Wrappers, ReadRamTakesOnlyProvenData)
{
    Bytes memory(5000);
    for (size_t i = 0; i < memory.size(); i++) memory[i] = static_cast<BYTE>(i * 7);
    typedef READ_RAM_CMD_STRUCT R;
    struct {
        DWORD asked;
        std::function<void(R *, size_t *)> spoil;
        WORD status;
        size_t stored;
        std::string said;
    } cases[] = {
        {5000, nullptr, E_OK, 2048, ""}, // one block at most
        {16, [](R *r, size_t *) { r->data_checksum ^= 1; }, E_MSG_CHECKSUM, 0, ""},
        {0, nullptr, E_INVALID_PARAM, 0, ""},
        {0, [](R *r, size_t *) { r->data_checksum = 5; }, E_MSG_CHECKSUM, 0, ""},
        {8, [](R *r, size_t *) { r->cmd_data_size = 0xFFFFFFF0; }, E_REPORTED, 0,
         "Read RAM response claims 4294967280 data bytes; 8 asked, 8 received\n"},
        // the stale record still holds the right 8 bytes: only the length can tell
        {8, [](R *, size_t *n) { *n = 4; }, E_REPORTED, 0,
         "Read RAM response claims 8 data bytes; 8 asked, 4 received\n"},
        // too long: skipped
        {8, [](R *r, size_t *n) { *n = r->cmd_data_size = 32; }, E_TIME, 0, ""},
        // fewer bytes than asked, their checksum right: the rest of the buffer would stay stale
        {8,
         [](R *r, size_t *n) {
             *n = r->cmd_data_size = 4;
             r->data_checksum = 0 + 7 + 14 + 21;
         },
         E_REPORTED, 0, "Read RAM response claims 4 data bytes; 8 asked, 4 received\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        SetUp();
        size_t request_size = 0;
        Mem_Port_Monitor([&](const Bytes &req) {
            R r = {};
            request_size = req.size();
            memcpy(&r, req.data(), 15);
            size_t n = r.cmd_data_size =
                std::min(DWORD(r.cmd_data_size), static_cast<DWORD>(memory.size()));
            memcpy(r.data, memory.data(), n);
            r.data_checksum = Mem_Sum(Bytes(memory.begin(), memory.begin() + n));
            if (c.spoil) c.spoil(&r, &n);
            return Bytes(reinterpret_cast<BYTE *>(&r), reinterpret_cast<BYTE *>(&r) + 15 + n);
        });
        Bytes out(std::max<DWORD>(c.asked, 1), 0xEE),
            expect(memory.begin(), memory.begin() + c.stored);
        WORD s = 0;
        EXPECT_EQ(Stdout_Of([&] { Read_RAM(0x20000, c.asked, out.data(), &s); }), c.said);
        EXPECT_EQ(std::make_pair(s, request_size), std::make_pair(c.status, size_t(15)));
        expect.resize(out.size(), 0xEE);
        EXPECT_EQ(out, expect);
    }
}

// The virtual board's link (board 3) driven directly on a microsecond clock.
struct Board_Line {
    uint64_t now = 1000000;
    vboard::LINK_SETUP setup{
        {1, 0x0251, 0x03FFA000}, 9600, false, 0, 0, 0, 0, false, 1, 0, "", 0, 0};
    Board_Line()
    {
        EXPECT_TRUE(vboard::Mem_Init(3));
        vboard::Link_Init(&setup);
    }
    void Send(const Bytes &b) { vboard::Link_Receive(b.data(), b.size(), 9600, now); }
    void Advance(uint64_t us) { vboard::Link_Timer(now += us); }
    Bytes Take()
    {
        Bytes out(8192);
        out.resize(vboard::Link_Take_Output(out.data(), out.size(), 9600, now));
        return out;
    }
};

const Bytes init_frame = Mem_Frame(5, With(Bytes(sizeof(INIT_CMD_STRUCT)), 0, INIT_CMD));

// An answer not acknowledged or refused is sent three times in all, then only on a poll.
TEST(BoardLink, AnswerIsResentOnNakOrSilenceThreeSendsInAll)
{
    using vboard::ACK_WAIT_US;
    Board_Line board;
    board.Send(init_frame);
    Bytes out = board.Take();
    ASSERT_EQ(out.size(), 1 + 13 + sizeof(INIT_CMD_STRUCT));
    const Bytes frame(out.begin() + 1, out.end());
    EXPECT_TRUE(out[0] == MSG_ACK && frame[3] == 5); // the request's sequence number
    board.Advance(ACK_WAIT_US - 10000);
    EXPECT_TRUE(board.Take().empty());
    board.Advance(20000);
    EXPECT_EQ(board.Take(), frame); // no ACK in time
    board.Send({MSG_NAK});
    EXPECT_EQ(board.Take(), frame);
    board.Send({MSG_NAK});
    board.Advance(3 * ACK_WAIT_US);
    EXPECT_TRUE(board.Take().empty() && vboard::Link_Counts()->responses_sent == 3 &&
                vboard::Link_Counts()->give_ups == 1);
    board.Send({MSG_POLL});
    EXPECT_EQ(board.Take(), frame);
    board.Send(init_frame);
    board.Take();
    board.Send({MSG_ACK});
    board.Advance(2 * ACK_WAIT_US);
    EXPECT_TRUE(board.Take().empty());
}

// A wrong complement gets a NAK, a missing end nothing, a frame broken off is dropped after the
// gap; write data off its checksum or shorter than its count is refused and not stored.
TEST(BoardLink, DefectiveFramesAndUnprovenWriteDataAreRefused)
{
    const Bytes cut(init_frame.begin(), init_frame.begin() + 8);
    for (const auto &[frame, reply] :
         {std::make_pair(With(init_frame, -2, init_frame.end()[-2] ^ 1), Bytes{MSG_NAK}),
          std::make_pair(With(init_frame, -1, 0), Bytes{})}) {
        Board_Line board;
        board.Send(frame);
        EXPECT_EQ(board.Take(), reply);
    }
    Board_Line board;
    board.Send(cut);
    board.Advance(vboard::FRAME_GAP_US + 1);
    board.Send(init_frame);
    EXPECT_EQ(board.Take().size(), 1 + 13 + sizeof(INIT_CMD_STRUCT));
    for (auto [sum, length] : {std::make_pair(7, 4), std::make_pair(6, 3)}) {
        WRITE_RAM_CMD_STRUCT w = {WRITE_RAM_CMD, 0, 4, 0x20000, DWORD(sum), {1, 2, 3, 0}};
        BYTE resp[vboard::MAX_RECORD], ram[4];
        vboard::CMD_OUTCOME outcome = {};
        vboard::Execute_Request(reinterpret_cast<BYTE *>(&w),
                                WORD(offsetof(WRITE_RAM_CMD_STRUCT, data) + length),
                                &board.setup.mon, resp, &outcome);
        EXPECT_TRUE(resp[1] == vboard::ST_BAD_PARAM && resp[2] == 0) << length;
        vboard::Mem_Read(0x20000, 4, ram);
        EXPECT_EQ(Bytes(ram, ram + 4), Bytes(4, 0));
    }
}
} // namespace
