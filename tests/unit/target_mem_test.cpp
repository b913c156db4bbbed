// The virtual board's memory rules and command records.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "HCMDFMT.h"
#include "vboard.h"

using namespace vboard;

namespace {

const DWORD WORK = 0x20000;

struct BoardMem : testing::Test {
    void SetUp() override { ASSERT_TRUE(Mem_Init(3)); }
    std::vector<BYTE> Read(DWORD addr, DWORD len)
    {
        std::vector<BYTE> out(len);
        EXPECT_EQ(Mem_Read(addr, len, out.data()), ST_OK);
        return out;
    }
};

TEST(BoardModels, BlocksAndFlashCodesOfEachBoard)
{
    struct {
        WORD board, blocks, manu, dev;
        DWORD first, size;
    } want[] = {{1, 7, 0x0089, 0x0070, 0x03F80000, 0x80000},
                {2, 11, 0x0089, 0x009C, 0x03F00000, 0x100000},
                {3, 19, 0x0101, 0x00DA, 0x03F00000, 0x100000},
                {4, 35, 0x0101, 0x00C4, 0x03E00000, 0x200000}};
    for (auto &w : want) {
        ASSERT_TRUE(Mem_Init(w.board));
        WORD count = 0, manu = 0, dev = 0;
        const FLASH_BLOCK *b = Mem_Blocks(&count);
        Mem_Flash_Codes(&manu, &dev);
        EXPECT_EQ(count, w.blocks) << "board " << w.board;
        EXPECT_EQ(manu, w.manu);
        EXPECT_EQ(dev, w.dev);
        EXPECT_EQ(Mem_Flash_First(), w.first);
        EXPECT_EQ(Mem_Flash_Size(), w.size);
        // Contiguous, ending at the top of the flash window, tables block present.
        for (WORD i = 1; i < count; i++) EXPECT_EQ(b[i].addr, b[i - 1].addr + b[i - 1].size);
        EXPECT_EQ(b[count - 1].addr + b[count - 1].size, 0x04000000u);
        EXPECT_EQ(b[count - 2].addr, 0x03FFA000u);
        EXPECT_EQ(b[count - 2].size, 0x2000u);
    }
    EXPECT_FALSE(Mem_Init(5));
}

TEST_F(BoardMem, EraseNeedsExactBlockStartAndSize)
{
    BYTE zero[16] = {};
    ASSERT_EQ(Mem_Write_Ram(WORK, zero, 16), ST_OK);
    ASSERT_EQ(Mem_Program(0x03FFA000, WORK, 16), ST_OK);
    EXPECT_EQ(Mem_Erase(0x03FFA000, 0x1000), ST_BAD_PARAM);   // wrong size
    EXPECT_EQ(Mem_Erase(0x03FFA010, 0x2000), ST_BAD_PARAM);   // not the start
    EXPECT_EQ(Mem_Erase(0x00020000, 0x10000), ST_BAD_PARAM);  // RAM
    EXPECT_EQ(Read(0x03FFA000, 1)[0], 0x00);
    EXPECT_EQ(Mem_Erase(0x03FFA000, 0x2000), ST_OK);
    EXPECT_EQ(Read(0x03FFA000, 16), std::vector<BYTE>(16, 0xFF));
}

TEST_F(BoardMem, ProgramOnlyClearsBitsAndIsAllOrNothing)
{
    const BYTE first[4] = {0xF0, 0x0F, 0xAA, 0xFF};
    ASSERT_EQ(Mem_Write_Ram(WORK, first, 4), ST_OK);
    ASSERT_EQ(Mem_Program(0x03FF0000, WORK, 4), ST_OK);
    EXPECT_EQ(Read(0x03FF0000, 4), std::vector<BYTE>(first, first + 4));

    // Clearing more bits of programmed bytes is allowed...
    const BYTE fewer[4] = {0x30, 0x01, 0x82, 0x7F};
    ASSERT_EQ(Mem_Write_Ram(WORK, fewer, 4), ST_OK);
    EXPECT_EQ(Mem_Program(0x03FF0000, WORK, 4), ST_OK);
    // ...setting one again is not, and then no byte at all is written.
    const BYTE raise[4] = {0x00, 0x00, 0x00, 0xFF};
    ASSERT_EQ(Mem_Write_Ram(WORK, raise, 4), ST_OK);
    EXPECT_EQ(Mem_Program(0x03FF0000, WORK, 4), ST_UNERASED);
    EXPECT_EQ(Read(0x03FF0000, 4), std::vector<BYTE>(fewer, fewer + 4));
}

TEST_F(BoardMem, ProgramDestinationMustLieInOneFlashBlock)
{
    BYTE zero[32] = {};
    ASSERT_EQ(Mem_Write_Ram(WORK, zero, 32), ST_OK);
    // Straddles 0x03FF8000 / 0x03FFA000.
    EXPECT_EQ(Mem_Program(0x03FF9FF0, WORK, 32), ST_BAD_PARAM);
    EXPECT_EQ(Read(0x03FF9FF0, 32), std::vector<BYTE>(32, 0xFF));
    EXPECT_EQ(Mem_Program(0x00030000, WORK, 32), ST_FLASH_RAM);
    EXPECT_EQ(Mem_Program(0x00100000, WORK, 32), ST_BAD_PARAM);  // nothing there
    EXPECT_EQ(Mem_Program(0xFFFFFFF0, WORK, 32), ST_BAD_PARAM);  // wraps around
    EXPECT_EQ(Mem_Program(0x03FFA000, 0x0009FFF0, 32), ST_BAD_PARAM);  // source past RAM
}

TEST_F(BoardMem, RamWritesAimedAtFlashOrNowhereFail)
{
    BYTE data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(Mem_Write_Ram(0x03FFA000, data, 8), ST_BAD_WRITE);
    EXPECT_EQ(Mem_Write_Ram(0x0009FFFC, data, 8), ST_BAD_WRITE);  // runs past RAM
    EXPECT_EQ(Mem_Fill_Ram(0x03FFA000, 8, 0), ST_BAD_WRITE);
    EXPECT_EQ(Mem_Copy(0x03FFA000, WORK, 8), ST_BAD_WRITE);
    EXPECT_EQ(Read(0x03FFA000, 8), std::vector<BYTE>(8, 0xFF));
    EXPECT_EQ(Mem_Write_Ram(0x0009FFF8, data, 8), ST_OK);  // last bytes of RAM
}

TEST_F(BoardMem, CopyAndCompareAcrossRamAndFlash)
{
    BYTE data[8] = {9, 8, 7, 6, 5, 4, 3, 2};
    ASSERT_EQ(Mem_Write_Ram(WORK, data, 8), ST_OK);
    ASSERT_EQ(Mem_Program(0x03F10000, WORK, 8), ST_OK);
    ASSERT_EQ(Mem_Copy(0x30000, 0x03F10000, 8), ST_OK);  // flash into RAM
    EXPECT_EQ(Read(0x30000, 8), std::vector<BYTE>(data, data + 8));
    EXPECT_EQ(Mem_Compare(0x30000, 0x03F10000, 8), ST_OK);
    EXPECT_EQ(Mem_Compare(0x30000, 0x03F10000, 9), ST_COMPARE);  // 0xFF after the data
    ASSERT_EQ(Mem_Fill_Ram(0x30003, 1, 0x55), ST_OK);
    EXPECT_EQ(Mem_Compare(0x30000, 0x03F10000, 8), ST_COMPARE);
    EXPECT_EQ(Mem_Compare(0x30000, 0x00A00000, 8), ST_BAD_PARAM);
}

TEST_F(BoardMem, PortsReadBackTheLastValueWritten)
{
    EXPECT_EQ(Mem_Port_Read(0x80, 1), 0u);
    Mem_Port_Write(0x80, 1, 0x1234);
    EXPECT_EQ(Mem_Port_Read(0x80, 1), 0x34u);
    Mem_Port_Write(0x3F8, 4, 0xDEADBEEF);
    EXPECT_EQ(Mem_Port_Read(0x3F8, 2), 0xBEEFu);
    EXPECT_EQ(Mem_Port_Read(0x3F8, 4), 0xDEADBEEFu);
    EXPECT_EQ(Mem_Port_Read(0x81, 1), 0u);
}

TEST_F(BoardMem, ImageKeepsFlashAcrossRunsAndRefusesAnotherBoardsImage)
{
    char path[] = "/tmp/vb_image_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    remove(path);
    char err[256] = "";
    EXPECT_TRUE(Mem_Load_Image(path, err, sizeof err));  // absent: stays erased
    BYTE data[3] = {0x12, 0x34, 0x56};
    ASSERT_EQ(Mem_Write_Ram(WORK, data, 3), ST_OK);
    ASSERT_EQ(Mem_Program(0x03FFFFFD, WORK, 3), ST_OK);  // last bytes of flash
    EXPECT_TRUE(Mem_Take_Dirty());
    EXPECT_FALSE(Mem_Take_Dirty());
    ASSERT_TRUE(Mem_Save_Image(path));

    ASSERT_TRUE(Mem_Init(3));
    EXPECT_EQ(Read(0x03FFFFFD, 1)[0], 0xFF);
    ASSERT_TRUE(Mem_Load_Image(path, err, sizeof err)) << err;
    EXPECT_EQ(Read(0x03FFFFFD, 3), std::vector<BYTE>(data, data + 3));

    ASSERT_TRUE(Mem_Init(4));  // 2 M of flash: the 1 M image does not fit
    EXPECT_FALSE(Mem_Load_Image(path, err, sizeof err));
    EXPECT_NE(std::string(err).find("bytes"), std::string::npos);
    remove(path);
}

// ---- command records -------------------------------------------------------

const MONITOR_ID mon{7, 0x0251, 0x03FFA000};

template <typename T>
WORD Exec(const T &req, WORD len, BYTE *resp, CMD_OUTCOME *out = nullptr)
{
    CMD_OUTCOME dummy;
    return Execute_Request(reinterpret_cast<const BYTE *>(&req), len, &mon, resp,
                           out ? out : &dummy);
}

WORD Status_Of(const BYTE *resp) { return WORD(resp[1] | (resp[2] << 8)); }

TEST_F(BoardMem, InitAnswersIdVersionAndBootTable)
{
    INIT_CMD_STRUCT req{};
    req.id = INIT_CMD;
    BYTE resp[MAX_RECORD];
    ASSERT_EQ(Exec(req, sizeof req, resp), sizeof(INIT_CMD_STRUCT));
    INIT_CMD_STRUCT r;
    memcpy(&r, resp, sizeof r);
    EXPECT_EQ(+r.status, 0);
    EXPECT_EQ(+r.program_id, 7);
    EXPECT_EQ(+r.program_version, 0x0251);
    EXPECT_EQ(+r.boot_phys_address, 0x03FFA000u);
}

TEST_F(BoardMem, WriteThenReadRamWithDataChecksums)
{
    WRITE_RAM_CMD_STRUCT w{};
    w.id = WRITE_RAM_CMD;
    w.phys_address = WORK + 5;
    w.cmd_data_size = 3;
    memcpy(w.data, "abc", 3);
    w.data_checksum = 0x126;
    BYTE resp[MAX_RECORD];
    EXPECT_EQ(Exec(w, 18, resp), 15);  // answered without the data
    EXPECT_EQ(Status_Of(resp), 0);

    w.phys_address = WORK + 100;
    w.data_checksum = 0x127;  // wrong: nothing may be stored
    EXPECT_EQ(Exec(w, 18, resp), 15);
    EXPECT_EQ(Status_Of(resp), ST_BAD_PARAM);
    EXPECT_EQ(Read(WORK + 100, 3), std::vector<BYTE>(3, 0));

    w.data_checksum = 0x126;
    EXPECT_EQ(Exec(w, 17, resp), 15);  // frame shorter than cmd_data_size says
    EXPECT_EQ(Status_Of(resp), ST_BAD_PARAM);

    READ_RAM_CMD_STRUCT r{};
    r.id = READ_RAM_CMD;
    r.phys_address = WORK + 5;
    r.cmd_data_size = 3;
    ASSERT_EQ(Exec(r, 15, resp), 18);
    READ_RAM_CMD_STRUCT got;
    memcpy(&got, resp, 18);
    EXPECT_EQ(+got.status, 0);
    EXPECT_EQ(+got.cmd_data_size, 3u);
    EXPECT_EQ(+got.data_checksum, 0x126u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(got.data), 3), "abc");

    r.cmd_data_size = 2049;
    ASSERT_EQ(Exec(r, 15, resp), 15);
    EXPECT_EQ(Status_Of(resp), ST_BAD_PARAM);
}

TEST_F(BoardMem, RecordCommandsMapToMemoryRules)
{
    BYTE resp[MAX_RECORD];
    WRITE_RAM_CMD_STRUCT w{};
    w.id = WRITE_RAM_CMD;
    w.phys_address = 0x03FFA000;
    w.cmd_data_size = 1;
    w.data[0] = 1;
    w.data_checksum = 1;
    Exec(w, 16, resp);
    EXPECT_EQ(Status_Of(resp), ST_BAD_WRITE);

    COMPARE_RAM_CMD_STRUCT c{};
    c.id = COMPARE_RAM_CMD;
    c.src_phys_address = 0x03FFA000;
    c.dest_phys_address = WORK;
    c.cmd_data_size = 4;
    Exec(c, sizeof c, resp);
    EXPECT_EQ(Status_Of(resp), ST_COMPARE);

    OUTPUT_PORT_CMD_STRUCT o{};
    o.id = OUTPUT_PORT_CMD;
    o.io_port = 0x300;
    o.io_size = 2;
    o.io_value = 0xABCD;
    Exec(o, sizeof o, resp);
    INPUT_PORT_CMD_STRUCT in{};
    in.id = INPUT_PORT_CMD;
    in.io_port = 0x300;
    in.io_size = 2;
    Exec(in, sizeof in, resp);
    memcpy(&in, resp, sizeof in);
    EXPECT_EQ(+in.io_value, 0xABCDu);

    GET_FLASH_ID_CMD_STRUCT id{};
    id.id = GET_FLASH_ID_CMD;
    id.flash_base_address = 0x03FFA000;
    Exec(id, sizeof id, resp);
    memcpy(&id, resp, sizeof id);
    EXPECT_EQ(+id.status, 0);
    EXPECT_EQ(+id.manufacture_code, 0x0101);
    EXPECT_EQ(+id.device_code, 0x00DA);

    CHANGE_BAUD_CMD_STRUCT cb{};
    cb.id = CHANGE_BAUD_CMD;
    cb.baud_rate = 38400;
    CMD_OUTCOME out;
    Exec(cb, sizeof cb, resp, &out);
    EXPECT_EQ(Status_Of(resp), 0);
    EXPECT_EQ(out.new_baud, 38400u);
    cb.baud_rate = 12345;
    Exec(cb, sizeof cb, resp, &out);
    EXPECT_EQ(Status_Of(resp), ST_BAD_PARAM);
    EXPECT_EQ(out.new_baud, 0u);

    BYTE odd[7] = {0x16};  // start/end program records have no id the monitor knows
    EXPECT_EQ(Execute_Request(odd, 7, &mon, resp, &out), 7);
    EXPECT_EQ(Status_Of(resp), ST_NOT_SUPPORTED);
}

}  // namespace
