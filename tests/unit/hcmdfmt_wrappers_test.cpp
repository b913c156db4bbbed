// Target command wrappers against a scripted monitor on the in-memory peer: exact request records,
// what each wrapper takes from the response, read RAM's refusal of unproven data, response allowances.
#include <gtest/gtest.h>

#include <cstring>

#include "FLCOMMON.h"
#include "HCMDFMT.h"
#include "mem_port.h"

class Wrappers : public Mem_Link_Test {
protected:
    std::vector<Bytes> requests;
    // The monitor ACKs each request and answers with respond(request).
    void Monitor(std::function<Bytes(Bytes)> respond)
    {
        requests.clear();
        Mem_Port_Monitor([this, respond](const Bytes &req) { return requests.push_back(req), respond(req); });
    }
};

TEST_F(Wrappers, InitCommand)
{
    Monitor([](Bytes r) { return memcpy(&r[7], "\x02\x01\x50\x02\x00\xFF\x0F\x00", 8), r; });
    WORD id = 0, ver = 0, s = 0;
    DWORD boot = 0;
    Init_Command(&id, &ver, &boot, &s);
    Bytes first = {0x02, 0x1C, 0, 0, 0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                   0,    0,    0, 0, 0,    0x21, 0, 0, 0, 0xDE, 0xFF, 0xFF, 0xFF, 0x03};
    EXPECT_EQ(Bytes(Mem_Port().tx.begin(), Mem_Port().tx.begin() + 28), first);
    EXPECT_TRUE(s == E_OK && id == 0x0102 && ver == 0x0250 && boot == 0x000FFF00u);
    // CAN in place of the response: a cancelled command must not pass for done; the
    // markers stay, the boot address is not touched
    Mem_Port_On_Frames([](const Bytes &) { Mem_Port_Deliver({MSG_ACK, MSG_CAN}); });
    Init_Command(&id, &ver, &boot, &s);
    EXPECT_TRUE(s == E_NOT_RESPONDING && id == 0xFFFF && ver == 0xFFFF && boot == 0x000FFF00u);
    SetUp();
    testing::internal::CaptureStdout();
    Init_Command(&id, &ver, &boot, &(s = E_OPEN_COM));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Link init error during init.\n");
    EXPECT_TRUE(s == E_REPORTED && Mem_Port().tx.empty());
    // an answer too short to hold a status is no answer either; one too short for its fields is refused
    SetUp();
    Monitor([](Bytes) { return Bytes{0x03, 0x00}; });
    Init_Command(&id, &ver, &boot, &(s = 0));
    EXPECT_EQ(s, E_NOT_RESPONDING);
    Monitor([](Bytes r) { return r.resize(3), r; });
    testing::internal::CaptureStdout();
    Init_Command(&id, &ver, &boot, &(s = 0));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Init response carries 3 bytes; 15 expected\n");
    EXPECT_TRUE(s == E_REPORTED && id == 0xFFFF && ver == 0xFFFF && boot == 0x000FFF00u);
}

// The monitor answers every request with status 0x002B and its own values, which come back
// whatever the status. The record keeps that response, yet a second request goes out with status 0.
TEST_F(Wrappers, RequestRecordsStatusAndValues)
{
    Monitor([](Bytes r) {
        r[1] = 0x2B;
        if (r[0] == CHANGE_BAUD_CMD) r[7] = 0x80;
        if (r[0] == INPUT_PORT_CMD) r[11] = 0x5A;
        if (r[0] == GET_FLASH_ID_CMD) r[13] = 0x89, r[15] = 0xA7;
        return r;
    });
    struct { std::function<DWORD(WORD *)> run; Bytes request; DWORD value; } cases[] = {
        {[](WORD *s) { return Write_RAM(0x20000, 3, "abc", s), 0u; },
         {0x0B, 0, 0, 3, 0, 0, 0, 0, 0, 2, 0, 0x26, 0x01, 0, 0, 'a', 'b', 'c'}, 0},
        {[](WORD *s) { return Copy_RAM(0x30000, 0x20000, 0x8000, s), 0u; },
         {0x0C, 0, 0, 0, 0x80, 0, 0, 0, 0, 2, 0, 0, 0, 3, 0}, 0},
        {[](WORD *s) { return Program_Flash(0x17, 0xF0000, 0xF8000, 0xF8100, 0x20000, 0x100, s), 0u; },
         {0x17, 0, 0, 0, 1, 0, 0, 0x17, 0, 0, 0, 0x0F, 0, 0, 0x80, 0x0F, 0, 0, 0x81, 0x0F, 0, 0, 0, 2, 0}, 0},
        {[](WORD *s) { return Flash_Erase(0x0123, 0xF0000, 0xF8000, 0x8000, s), 0u; },
         {0x15, 0, 0, 0, 0, 0, 0, 0x23, 0x01, 0, 0, 0x0F, 0, 0, 0x80, 0x0F, 0, 0, 0x80, 0, 0}, 0},
        {[](WORD *s) { return DWORD(Echo_Msg("hello", 5, s)); }, {1, 0, 0, 5, 0, 0, 0, 'h', 'e', 'l', 'l', 'o'}, 0},
        {[](WORD *s) { return Change_Baud(0x2500, s); }, {0x02, 0, 0, 0, 0, 0, 0, 0, 0x25, 0, 0}, 0x2580},
        {[](WORD *s) { return Read_IO_Port(0x60, 2, s); }, {15, 0, 0, 0, 0, 0, 0, 0x60, 0, 2, 0, 0, 0, 0, 0}, 0x5A},
        {[](WORD *s) { WORD code, id; return Get_Flash_ID(0xF0000, &code, &id, s), DWORD(code << 16 | id); },
         {0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0F, 0, 0, 0, 0, 0}, 0x8900A7},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        WORD s = 0;
        DWORD value = c.run(&s);
        Bytes first = requests.back();
        c.run(&s);
        EXPECT_EQ(std::make_tuple(s, value, first, requests.back()[1] | requests.back()[2]),
                  std::make_tuple(WORD(0x2B), c.value, c.request, 0));
    }
    Monitor([](Bytes r) { return r[8] ^= 1, r; });
    WORD s;
    EXPECT_FALSE(Echo_Msg("hello", 5, &s));
    EXPECT_EQ(s, 0x1015);
}

// A monitor holding `memory` answers read RAM honestly; each case then spoils the record or
// the count of data bytes it carries. Nothing unproven may reach the caller's exact-size buffer.
TEST_F(Wrappers, ReadRamTakesOnlyProvenData)
{
    Bytes memory(5000);
    for (size_t i = 0; i < memory.size(); i++) memory[i] = static_cast<BYTE>(i * 7);
    typedef READ_RAM_CMD_STRUCT R;
    struct { DWORD asked; std::function<void(R *, size_t *)> spoil; WORD status; size_t stored; std::string said; }
        cases[] = {
        {5000, nullptr, E_OK, 2048, ""},  // one block at most
        {16, [](R *r, size_t *) { r->data_checksum ^= 1; }, E_MSG_CHECKSUM, 0, ""},
        {0, nullptr, E_INVALID_PARAM, 0, ""},
        {0, [](R *r, size_t *) { r->data_checksum = 5; }, E_MSG_CHECKSUM, 0, ""},
        {8, [](R *r, size_t *) { r->cmd_data_size = 0xFFFFFFF0; }, E_REPORTED, 0,
         "Read RAM response claims 4294967280 data bytes; 8 asked, 8 received\n"},
        // the stale record still holds the right 8 bytes: only the length can tell
        {8, [](R *, size_t *n) { *n = 4; }, E_REPORTED, 0,
         "Read RAM response claims 8 data bytes; 8 asked, 4 received\n"},
        {8, [](R *r, size_t *n) { *n = r->cmd_data_size = 32; }, E_TIME, 0, ""},  // skipped: too long
        // fewer bytes than asked, their checksum right: the rest of the buffer would stay stale
        {8, [](R *r, size_t *n) { *n = r->cmd_data_size = 4, r->data_checksum = 0 + 7 + 14 + 21; }, E_REPORTED, 0,
         "Read RAM response claims 4 data bytes; 8 asked, 4 received\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        SetUp();
        Monitor([&](const Bytes &req) {
            R r = {};
            memcpy(&r, req.data(), 15);
            size_t n = r.cmd_data_size = std::min(DWORD(r.cmd_data_size), static_cast<DWORD>(memory.size()));
            memcpy(r.data, memory.data(), n);
            r.data_checksum = Mem_Sum(Bytes(memory.begin(), memory.begin() + n));
            if (c.spoil) c.spoil(&r, &n);
            return Bytes(reinterpret_cast<BYTE *>(&r), reinterpret_cast<BYTE *>(&r) + 15 + n);
        });
        std::vector<BYTE> out(std::max<DWORD>(c.asked, 1), 0xEE);
        testing::internal::CaptureStdout();
        WORD s = 0;
        Read_RAM(0x20000, c.asked, out.data(), &s);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.said);
        EXPECT_EQ(s, c.status);
        EXPECT_EQ(requests.at(0).size(), 15u);  // the answer tells how much was asked
        std::vector<BYTE> expect(memory.begin(), memory.begin() + c.stored);
        expect.resize(out.size(), 0xEE);
        EXPECT_EQ(out, expect);
    }
}

// The monitor ACKs and never answers: the host hunts for the start of the response for exactly
// the response allowance, in reads of 500 ms.
TEST_F(Wrappers, ResponseAllowances)
{
    static BYTE block[4000];
    struct { std::function<void(WORD *)> run; DWORD allowance; } cases[] = {
        {[](WORD *s) { Write_RAM(0x20000, 2048, block, s); }, 6876},
        {[](WORD *s) { Write_RAM(0x20000, 3000, block, s); }, 6876},
        {[](WORD *s) { Write_RAM(0x20000, 1786, block, s); }, 6003},
        {[](WORD *s) { Echo_Msg(block, 4000, s); }, 6850},
        {[](WORD *s) { Program_Flash(1, 0, 0, 0, 0x20000, 65536, s); }, 12400},
        {[](WORD *s) { Flash_Erase(1, 0, 0, 131072, s); }, 18800},
        {[](WORD *s) { Flash_Erase(1, 0, 0, 1023, s); }, 6000},
        {[](WORD *s) { Read_RAM(0, 4, block, s); }, 6000},
        {[](WORD *s) { WORD a, b; DWORD c; Init_Command(&a, &b, &c, s); }, 6000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        SetUp();
        DWORD acked = 0;
        Mem_Port_On_Frames([&](const Bytes &) { acked = Mem_Port().now, Mem_Port_Deliver({MSG_ACK}); });
        WORD s = 0;
        c.run(&s);
        EXPECT_EQ(s, E_TIME);
        EXPECT_EQ(Mem_Port().now - acked, (c.allowance + 49) / 50 * 501);
    }
}
