// Target command wrappers against a scripted monitor on the in-memory peer:
// request bytes, size limits, response allowances (seen as the poll bytes of
// a silent wait), and what each wrapper takes from the response.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "COMMS.h"
#include "FLCOMMON.h"
#include "HCMDFMT.h"
#include "MSG.h"
#include "mem_port.h"

namespace {

void Zero_Records()
{
    memset(&init_cmd, 0, sizeof init_cmd);
    memset(&echo_cmd, 0, sizeof echo_cmd);
    memset(&change_baud_cmd, 0, sizeof change_baud_cmd);
    memset(&read_cmd, 0, sizeof read_cmd);
    memset(&write_cmd, 0, sizeof write_cmd);
    memset(&id_cmd, 0, sizeof id_cmd);
    memset(&pgm_cmd, 0, sizeof pgm_cmd);
    memset(&erase_cmd, 0, sizeof erase_cmd);
}

// Packed fields are copied out before a matcher takes them by reference.
template <typename T>
T Val(T v)
{
    return v;
}

template <typename T>
Bytes As_Bytes(const T &rec, size_t len = sizeof(T))
{
    const BYTE *p = reinterpret_cast<const BYTE *>(&rec);
    return Bytes(p, p + len);
}

template <typename T>
T From_Bytes(const Bytes &b)
{
    T rec{};
    memcpy(&rec, b.data(), std::min(b.size(), sizeof rec));
    return rec;
}

class Wrappers : public ::testing::Test {
protected:
    std::vector<Bytes> requests;

    void SetUp() override
    {
        Mem_Port_Install(0);
        Zero_Records();
        WORD s;
        Init_Message_Link(0, 9600, &s);
        ASSERT_EQ(s, E_OK);
    }
    void TearDown() override
    {
        WORD s;
        Shutdown_Message_Link(&s);
        Mem_Port_Remove();
    }
    // The monitor answers each request with respond(request).
    void Monitor(std::function<Bytes(const Bytes &)> respond)
    {
        auto *reqs = &requests;
        Mem_Port_Monitor([reqs, respond](const Bytes &req) {
            reqs->push_back(req);
            return respond(req);
        });
    }
    // Acknowledges and then stays silent: the host waits its response allowance.
    void Silent_After_Ack()
    {
        Monitor([](const Bytes &) { return Bytes(); });
    }
    // Silent 500 ms reads of the response wait = polls + 1.
    static size_t Response_Reads()
    {
        const Bytes &tx = Mem_Port().tx;
        return static_cast<size_t>(std::count(tx.begin(), tx.end(), MSG_POLL)) + 1;
    }
    // Reads needed to use up an allowance of a 10 ms units.
    static size_t Reads_For(DWORD a) { return (a + 49) / 50; }
};

// ---- records and exact requests ----------------------------------------------------

TEST_F(Wrappers, FirstInitRequestIsExact)
{
    Monitor([](const Bytes &req) {
        INIT_CMD_STRUCT r = From_Bytes<INIT_CMD_STRUCT>(req);
        r.program_id = 0x0102;
        r.program_version = 0x0250;
        r.boot_phys_address = 0x000FFF00;
        return As_Bytes(r);
    });
    WORD id = 0, ver = 0, s = 0;
    DWORD boot = 0;
    Init_Command(&id, &ver, &boot, &s);
    EXPECT_EQ(s, E_OK);
    Bytes expect = {0x02, 0x1C, 0x00, 0x00, 0x03};
    expect.insert(expect.end(), 14, 0x00);
    Bytes tail = {0x21, 0x00, 0x00, 0x00, 0xDE, 0xFF, 0xFF, 0xFF, 0x03};
    expect.insert(expect.end(), tail.begin(), tail.end());
    ASSERT_GE(Mem_Port().tx.size(), 28u);
    EXPECT_EQ(Bytes(Mem_Port().tx.begin(), Mem_Port().tx.begin() + 28), expect);
    EXPECT_EQ(id, 0x0102);
    EXPECT_EQ(ver, 0x0250);
    EXPECT_EQ(boot, 0x000FFF00u);
}

TEST_F(Wrappers, InitToSilentTargetLeavesMarkersAndBootAddress)
{
    WORD id = 1, ver = 1, s = 0;
    DWORD boot = 0x1234;
    Init_Command(&id, &ver, &boot, &s);
    EXPECT_EQ(s, E_NOT_RESPONDING);
    EXPECT_EQ(id, 0xFFFF);
    EXPECT_EQ(ver, 0xFFFF);
    EXPECT_EQ(boot, 0x1234u);
}

TEST_F(Wrappers, InitWithoutResponseTimesOutAfterSixtySeconds)
{
    Silent_After_Ack();
    WORD id, ver, s = 0;
    DWORD boot = 0;
    Init_Command(&id, &ver, &boot, &s);
    EXPECT_EQ(s, E_TIME);
    EXPECT_EQ(Response_Reads(), Reads_For(6000));
    EXPECT_EQ(id, 0xFFFF);
}

TEST_F(Wrappers, InitEnteredWithFailureReportsAndReturns)
{
    testing::internal::CaptureStdout();
    WORD id = 0, ver = 0, s = E_OPEN_COM;
    DWORD boot = 0;
    Init_Command(&id, &ver, &boot, &s);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Link init error during init.\n");
    EXPECT_EQ(s, E_REPORTED);
    EXPECT_TRUE(Mem_Port().tx.empty());
}

TEST_F(Wrappers, WriteRamOfAbc)
{
    Monitor([](const Bytes &req) { return req; });
    WORD s;
    Write_RAM(0x20000, 3, "abc", &s);
    EXPECT_EQ(s, E_OK);
    ASSERT_EQ(requests.size(), 1u);
    const Bytes &r = requests[0];
    ASSERT_EQ(r.size(), 18u);
    EXPECT_EQ(r[0], WRITE_RAM_CMD);
    WRITE_RAM_CMD_STRUCT w = From_Bytes<WRITE_RAM_CMD_STRUCT>(r);
    EXPECT_EQ(Val(w.status), 0);
    EXPECT_EQ(Val(w.cmd_data_size), 3u);
    EXPECT_EQ(Val(w.phys_address), 0x20000u);
    EXPECT_EQ(Val(w.data_checksum), 0x126u);
    EXPECT_EQ(memcmp(w.data, "abc", 3), 0);
}

TEST_F(Wrappers, MonitorStatusIsPassedOnAndRequestsCarryZeroStatus)
{
    Monitor([](const Bytes &req) {
        Bytes resp = req;
        resp[1] = 0x2B;
        return resp;
    });
    WORD s;
    Write_RAM(0x20000, 3, "abc", &s);
    EXPECT_EQ(s, 0x002B);
    Write_RAM(0x20000, 3, "abc", &s);  // record holds the last response
    EXPECT_EQ(requests.at(1)[1], 0);
    EXPECT_EQ(requests.at(1)[2], 0);
}

TEST_F(Wrappers, FixedRecordRequests)
{
    Monitor([](const Bytes &req) { return req; });
    WORD s;
    Copy_RAM(0x30000, 0x20000, 0x8000, &s);
    Compare_RAM(0x40000, 0x50000, 16, &s);
    Set_RAM(0x20000, 0x10000, 0xFF, &s);
    Write_IO_Port(0x80, 1, 0xAB, &s);
    Program_Flash(0x17, 0xF0000, 0xF8000, 0xF8100, 0x20000, 0x100, &s);
    Flash_Erase(0x0123, 0xF0000, 0xF8000, 0x8000, &s);
    Shutdown_Cmd_Resp(&s);
    ASSERT_EQ(requests.size(), 7u);
    EXPECT_EQ(requests[0], Bytes({0x0C, 0, 0, 0x00, 0x80, 0, 0, 0x00, 0x00, 0x02, 0, 0x00, 0x00, 0x03, 0}));
    EXPECT_EQ(requests[1][0], COMPARE_RAM_CMD);
    EXPECT_EQ(requests[1].size(), 15u);
    EXPECT_EQ(requests[2], Bytes({0x0E, 0, 0, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0xFF}));
    EXPECT_EQ(requests[3], Bytes({0x10, 0, 0, 0, 0, 0, 0, 0x80, 0, 1, 0, 0xAB, 0, 0, 0}));
    PROGRAM_FLASH_CMD_STRUCT p = From_Bytes<PROGRAM_FLASH_CMD_STRUCT>(requests[4]);
    EXPECT_EQ(requests[4].size(), 25u);
    EXPECT_EQ(Val(p.id), PROGRAM_FLASH_CMD);
    EXPECT_EQ(Val(p.flash_type_id), 0x17);
    EXPECT_EQ(Val(p.cmd_data_size), 0x100u);
    EXPECT_EQ(Val(p.flash_dest_address), 0xF8100u);
    EXPECT_EQ(Val(p.src_phys_address), 0x20000u);
    ERASE_FLASH_CMD_STRUCT e = From_Bytes<ERASE_FLASH_CMD_STRUCT>(requests[5]);
    EXPECT_EQ(requests[5].size(), 21u);
    EXPECT_EQ(Val(e.flash_type_id), 0x0123);
    EXPECT_EQ(Val(e.cmd_data_size), 0u);
    EXPECT_EQ(Val(e.flash_block_size), 0x8000u);
    EXPECT_EQ(requests[6], Bytes({0x04, 0, 0, 0, 0, 0, 0}));
}

// ---- values taken from responses ----------------------------------------------------

TEST_F(Wrappers, ResponseFieldsReturned)
{
    Monitor([](const Bytes &req) {
        Bytes r = req;
        if (req[0] == CHANGE_BAUD_CMD) r[7] = 0x80;                 // 0x2580 -> 0x2580 | low byte
        if (req[0] == INPUT_PORT_CMD) r[11] = 0x5A;                 // io_value
        if (req[0] == GET_FLASH_ID_CMD) { r[13] = 0x89; r[15] = 0xA7; }
        return r;
    });
    WORD s;
    EXPECT_EQ(Change_Baud(0x2500, &s), 0x2580u);
    EXPECT_EQ(Read_IO_Port(0x60, 1, &s), 0x5Au);
    EXPECT_EQ(requests[1][0], INPUT_PORT_CMD);
    WORD code = 0, id = 0;
    Get_Flash_ID(0xF0000, &code, &id, &s);
    EXPECT_EQ(s, E_OK);
    EXPECT_EQ(code, 0x89);
    EXPECT_EQ(id, 0xA7);
    EXPECT_EQ(Val(From_Bytes<GET_FLASH_ID_CMD_STRUCT>(requests[2]).flash_base_address), 0xF0000u);
}

TEST_F(Wrappers, FlashIdAfterFailedExchangeStillReturnsRecordCodes)
{
    WORD code = 1, id = 1, s;
    Get_Flash_ID(0xF0000, &code, &id, &s);
    EXPECT_EQ(s, E_NOT_RESPONDING);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(id, 0);
}

TEST_F(Wrappers, EchoComparesData)
{
    bool spoil = false;
    Monitor([&spoil](const Bytes &req) {
        Bytes r = req;
        if (spoil && r.size() > 7) r[8] ^= 1;
        return r;
    });
    WORD s;
    EXPECT_TRUE(Echo_Msg("hello", 5, &s));
    EXPECT_EQ(s, E_OK);
    EXPECT_EQ(requests[0].size(), 12u);
    spoil = true;
    EXPECT_FALSE(Echo_Msg("hello", 5, &s));
    EXPECT_EQ(s, 0x1015);
}

TEST_F(Wrappers, CancelInPlaceOfResponseIsAFailedExchange)
{
    Mem_Port_On_Frames([](const Bytes &) { Mem_Port_Deliver({MSG_ACK, MSG_CAN}); });
    WORD s = 0;
    Flash_Erase(1, 0xF0000, 0xF8000, 0x8000, &s);
    EXPECT_EQ(s, E_NOT_RESPONDING);
    Write_RAM(0x20000, 3, "abc", &s);
    EXPECT_EQ(s, E_NOT_RESPONDING);
}

// ---- read RAM ------------------------------------------------------------------------

// A monitor holding `memory` at 0x20000 that answers read RAM honestly.
static Bytes Read_Answer(const Bytes &req, const Bytes &memory)
{
    READ_RAM_CMD_STRUCT r = From_Bytes<READ_RAM_CMD_STRUCT>(req);
    DWORD n = std::min(Val(r.cmd_data_size), static_cast<DWORD>(memory.size()));
    r.cmd_data_size = n;
    memcpy(r.data, memory.data(), n);
    r.data_checksum = Mem_Sum(Bytes(memory.begin(), memory.begin() + n));
    return As_Bytes(r, 15 + n);
}

TEST_F(Wrappers, ReadRamLimitsToOneBlock)
{
    Bytes memory(5000);
    for (size_t i = 0; i < memory.size(); i++) memory[i] = static_cast<BYTE>(i * 7);
    Monitor([&memory](const Bytes &req) { return Read_Answer(req, memory); });
    std::vector<BYTE> out(5000, 0xEE);
    WORD s;
    Read_RAM(0x20000, 5000, out.data(), &s);
    EXPECT_EQ(s, E_OK);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].size(), 15u);
    EXPECT_EQ(Val(From_Bytes<READ_RAM_CMD_STRUCT>(requests[0]).cmd_data_size), 2048u);
    EXPECT_EQ(memcmp(out.data(), memory.data(), 2048), 0);
    EXPECT_EQ(out[2048], 0xEE);
}

TEST_F(Wrappers, ReadRamChecksumMismatchLeavesBufferUntouched)
{
    Monitor([](const Bytes &req) {
        Bytes r = Read_Answer(req, Bytes(16, 0x42));
        r[11] ^= 0x01;
        return r;
    });
    std::vector<BYTE> out(16, 0xEE);
    WORD s;
    Read_RAM(0x20000, 16, out.data(), &s);
    EXPECT_EQ(s, E_REPORTED);
    EXPECT_EQ(out, std::vector<BYTE>(16, 0xEE));
}

TEST_F(Wrappers, ReadRamOfNothing)
{
    DWORD checksum = 0;
    Monitor([&checksum](const Bytes &req) {
        READ_RAM_CMD_STRUCT r = From_Bytes<READ_RAM_CMD_STRUCT>(req);
        r.data_checksum = checksum;
        return As_Bytes(r, 15);
    });
    BYTE out[1];
    WORD s;
    Read_RAM(0x20000, 0, out, &s);
    EXPECT_EQ(s, E_INVALID_PARAM);
    checksum = 5;
    Read_RAM(0x20000, 0, out, &s);
    EXPECT_EQ(s, E_REPORTED);
}

TEST_F(Wrappers, ReadRamResponseClaimingMoreThanAskedIsRefused)
{
    Monitor([](const Bytes &req) {
        READ_RAM_CMD_STRUCT r = From_Bytes<READ_RAM_CMD_STRUCT>(req);
        r.cmd_data_size = 0xFFFFFFF0;  // frame carries only what was asked
        r.data_checksum = 0;
        return As_Bytes(r, 15 + 8);
    });
    std::unique_ptr<BYTE[]> out(new BYTE[8]);
    memset(out.get(), 0xEE, 8);
    testing::internal::CaptureStdout();
    WORD s;
    Read_RAM(0x20000, 8, out.get(), &s);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(s, E_REPORTED);
    EXPECT_NE(printed.find("Read RAM response claims 4294967280 data bytes; 8 asked"), std::string::npos)
        << printed;
    EXPECT_EQ(out[0], 0xEE);
}

TEST_F(Wrappers, ReadRamResponseClaimingMoreThanItCarriedIsRefused)
{
    Monitor([](const Bytes &req) {
        READ_RAM_CMD_STRUCT r = From_Bytes<READ_RAM_CMD_STRUCT>(req);
        r.cmd_data_size = 8;
        r.data_checksum = 0;  // stale zero bytes would match it
        return As_Bytes(r, 15 + 4);
    });
    BYTE out[8];
    memset(out, 0xEE, sizeof out);
    testing::internal::CaptureStdout();
    WORD s;
    Read_RAM(0x20000, 8, out, &s);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(s, E_REPORTED);
    EXPECT_NE(printed.find("4 received"), std::string::npos) << printed;
    EXPECT_EQ(out[0], 0xEE);
}

TEST_F(Wrappers, ReadRamResponseLongerThanAskedIsNotStored)
{
    Monitor([](const Bytes &req) {
        READ_RAM_CMD_STRUCT r = From_Bytes<READ_RAM_CMD_STRUCT>(req);
        r.cmd_data_size = 32;
        return As_Bytes(r, 15 + 32);
    });
    BYTE out[8];
    WORD s;
    Read_RAM(0x20000, 8, out, &s);
    EXPECT_EQ(s, E_TIME);  // skipped like a frame of bad length
}

// ---- response allowances -----------------------------------------------------------

TEST_F(Wrappers, ResponseAllowances)
{
    struct Case {
        const char *what;
        std::function<void(WORD *)> run;
        DWORD allowance;
    };
    static BYTE block[2048];
    Case cases[] = {
        {"write 2048", [](WORD *s) { Write_RAM(0x20000, 2048, block, s); }, 6876},
        {"write 1785", [](WORD *s) { Write_RAM(0x20000, 1785, block, s); }, 6000},
        {"write 1786", [](WORD *s) { Write_RAM(0x20000, 1786, block, s); }, 6003},
        {"echo 2048", [](WORD *s) { Echo_Msg(block, 4000, s); }, 6850},
        {"program 65536", [](WORD *s) { Program_Flash(1, 0, 0, 0, 0x20000, 65536, s); }, 12400},
        {"erase 131072", [](WORD *s) { Flash_Erase(1, 0, 0, 131072, s); }, 18800},
        {"erase 4 GiB", [](WORD *s) { Flash_Erase(1, 0, 0, 0xFFFFFFFF, s); },
         static_cast<WORD>(6000 + 100u * (0xFFFFFFFFu / 1024u))},
        {"read", [](WORD *s) { BYTE b[4]; Read_RAM(0, 4, b, s); }, 6000},
        {"shutdown", [](WORD *s) { Shutdown_Cmd_Resp(s); }, 6000},
    };
    for (const Case &c : cases) {
        SetUp();
        Silent_After_Ack();
        WORD s = 0;
        c.run(&s);
        EXPECT_EQ(s, E_TIME) << c.what;
        EXPECT_EQ(Response_Reads(), Reads_For(c.allowance)) << c.what;
        TearDown();
    }
}

// The monitor starts a response frame and stalls before its first data byte:
// the host waits exactly the response allowance for that byte, then hunts
// again and polls after 500 ms. The allowance shows to the 10 ms unit.
TEST_F(Wrappers, ExactResponseAllowances)
{
    struct Case {
        const char *what;
        std::function<void(WORD *)> run;
        DWORD allowance;
    };
    static BYTE block[2048];
    Case cases[] = {
        {"write 2048", [](WORD *s) { Write_RAM(0x20000, 2048, block, s); }, 6876},
        {"write 1785", [](WORD *s) { Write_RAM(0x20000, 1785, block, s); }, 6000},
        {"program 65536", [](WORD *s) { Program_Flash(1, 0, 0, 0, 0x20000, 65536, s); }, 12400},
        {"erase 131072", [](WORD *s) { Flash_Erase(1, 0, 0, 131072, s); }, 18800},
        {"erase 1023", [](WORD *s) { Flash_Erase(1, 0, 0, 1023, s); }, 6000},
        {"init", [](WORD *s) { WORD a, b; DWORD c; Init_Command(&a, &b, &c, s); }, 6000},
    };
    for (const Case &c : cases) {
        SetUp();
        DWORD stalled_at = 0, first_poll_at = 0;
        Mem_Port_On_Frames([&stalled_at](const Bytes &) {
            stalled_at = Mem_Port().now;
            Mem_Port_Deliver({MSG_ACK, MSG_STX, 14, 0, 0});
        });
        auto frames = Mem_Port().on_write;
        Mem_Port().on_write = [frames, &first_poll_at](const BYTE *b, size_t n) {
            if (n == 1 && b[0] == MSG_POLL && first_poll_at == 0) first_poll_at = Mem_Port().now;
            frames(b, n);
        };
        WORD s = 0;
        c.run(&s);
        EXPECT_EQ(s, E_TIME) << c.what;
        EXPECT_EQ(first_poll_at - stalled_at, c.allowance * 10 + 1 + 501) << c.what;
        TearDown();
    }
}

TEST_F(Wrappers, EchoAndWriteLimitToOneBlock)
{
    Monitor([](const Bytes &req) { return req; });
    std::vector<BYTE> big(3000, 0x31);
    WORD s;
    Write_RAM(0x20000, 3000, big.data(), &s);
    EXPECT_EQ(s, E_OK);
    EXPECT_TRUE(Echo_Msg(big.data(), 3000, &s));
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].size(), 15u + 2048u);
    EXPECT_EQ(Val(From_Bytes<WRITE_RAM_CMD_STRUCT>(requests[0]).cmd_data_size), 2048u);
    EXPECT_EQ(requests[1].size(), 7u + 2048u);
}

}  // namespace
