// Target command wrappers against a scripted monitor on the in-memory peer: refusals of cancelled,
// short, changed and unproven answers, response allowances.
#include <gtest/gtest.h>

#include <cstring>

#include "FLCOMMON.h"
#include "HCMDFMT.h"
#include "mem_port.h"

namespace {

typedef Mem_Link_Test Wrappers;

// A cancelled or short answer must not pass for an init: the markers stay, the boot address is
// not touched; a link that failed to open (a status on the way in) sends nothing.
TEST_F(Wrappers, InitTakesOnlyAWholeAnswer)
{
    WORD id = 0, ver = 0, s = 0;
    DWORD boot = 0;
    Mem_Port_Monitor([](Bytes r) {
        memcpy(&r[7], "\x02\x01\x50\x02\x00\xFF\x0F\x00", 8);
        return r;
    });
    Init_Command(&id, &ver, &boot, &s);
    EXPECT_TRUE(s == E_OK && id == 0x0102 && ver == 0x0250 && boot == 0x000FFF00u);
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
    SetUp();
    s = E_OPEN_COM;
    EXPECT_EQ(Stdout_Of([&] { Init_Command(&id, &ver, &boot, &s); }),
              "Link init error during init.\n");
    EXPECT_TRUE(s == E_REPORTED && Mem_Port().tx.empty());
}

// An echo that comes back changed fails as a mismatch though the monitor's status is 0.
TEST_F(Wrappers, EchoThatComesBackChangedIsAMismatch)
{
    Mem_Port_Monitor([](Bytes r) {
        r[8] ^= 1;
        return r;
    });
    WORD s;
    EXPECT_FALSE(Echo_Msg("hello", 5, &s));
    EXPECT_EQ(s, 0x1015);
}

// Fewer bytes than asked, their checksum right: the rest of the buffer would stay stale.
void Shorten_To_Four(READ_RAM_CMD_STRUCT *r, size_t *n)
{
    *n = r->cmd_data_size = 4;
    r->data_checksum = 0 + 7 + 14 + 21;
}

// A monitor holding `memory` answers read RAM honestly; each case then spoils the record or
// the count of data bytes it carries. Nothing unproven may reach the caller's exact-size buffer.
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
        {8, Shorten_To_Four, E_REPORTED, 0,
         "Read RAM response claims 4 data bytes; 8 asked, 4 received\n"},
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
        EXPECT_EQ(s, c.status);
        EXPECT_EQ(request_size, 15u); // the answer tells how much was asked
        expect.resize(out.size(), 0xEE);
        EXPECT_EQ(out, expect);
    }
}

// The monitor ACKs and never answers: the host hunts for the start of the response for exactly
// the response allowance, in reads of 500 ms.
TEST_F(Wrappers, HostHuntsForAResponseForExactlyItsAllowance)
{
    static BYTE block[4000];
    struct {
        std::function<void(WORD *)> run;
        DWORD allowance;
    } cases[] = {
        {[](WORD *s) { Write_RAM(0x20000, 3000, block, s); }, 6876},
        {[](WORD *s) { Echo_Msg(block, 4000, s); }, 6850},
        {[](WORD *s) { Program_Flash(1, 0, 0, 0, 0x20000, 65536, s); }, 12400},
        {[](WORD *s) { Flash_Erase(1, 0, 0, 131072, s); }, 18800},
        {[](WORD *s) { Flash_Erase(1, 0, 0, 1023, s); }, 6000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        SetUp();
        DWORD acked = 0;
        Mem_Port_On_Frames([&](const Bytes &) {
            acked = Mem_Port().now;
            Mem_Port_Deliver({MSG_ACK});
        });
        WORD s = 0;
        c.run(&s);
        EXPECT_EQ(s, E_TIME);
        EXPECT_EQ(Mem_Port().now - acked, (c.allowance + 49) / 50 * 501);
    }
}

} // namespace
