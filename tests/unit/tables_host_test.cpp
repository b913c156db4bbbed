// Dense logic on the host copies of the flash tables: the built-in maps and
// the block look-ups over them, directory and boot program operations, flash
// part identification, and refusals that must stop before anything is sent.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "FLDATA.h"
#include "HCMDFMT.h"
#include "MSG.h"
#include "flashu.h"
#include "mem_port.h"

namespace {

// Packed fields are read by value, never bound to a reference.
template <typename T>
T V(T v) { return v; }

DWORD Fixed_Clock() { return 1700000000; }

template <typename F>
std::string Output_Of(F action)
{
    testing::internal::CaptureStdout();
    action();
    return testing::internal::GetCapturedStdout();
}

class Tables : public testing::Test {
protected:
    WORD status = 0;

    void SetUp() override
    {
        Reset_Flash_Table_Images();
        flash_time_source = Fixed_Clock;
        log_level = LOG_NORMAL;
        target_prog_version = 0x0251;
        Load_Board(1);
    }
    void TearDown() override { flash_time_source = nullptr; }
    static void Load_Board(WORD board)
    {
        board_id = board;
        Init_Device_Map_Table();
    }
    // Enters a program the way the pipeline does after its download.
    static WORD Add_Program(const char *name, WORD base = 0, DWORD offset = 0)
    {
        snprintf(prog_name_str, sizeof prog_name_str, "%s", name);
        oh_vector_base = base;
        oh_vector_offset = offset;
        WORD index = Find_Free_Dir_Entry();
        if (index != NO_DIR_INDEX) Add_Directory_Entry(index);
        return index;
    }
    // Runs a directory operation on the named program; returns what it printed.
    std::string Run(void (*op)(WORD *), const char *name)
    {
        snprintf(prog_name_str, sizeof prog_name_str, "%s", name);
        status = 0;
        return Output_Of([&] { op(&status); });
    }
};

TEST_F(Tables, BuiltinMapsTileEachBoardsFlashUpToTheTwoTopBlocks)
{
    const int entries[] = {0, 7, 11, 19, 35};
    // Part, device base, size of the blocks below the top four, device block count and
    // the lowest block with a real-mode window. Board 3's device base lies below its flash.
    const struct { WORD id; DWORD dev, big; WORD blocks; DWORD real_from; } parts[] = {
        {}, {0x70, 0x03F80000, 0x20000, 7, 0x03F80000}, {0x9C, 0x03F00000, 0x20000, 11, 0x03F80000},
        {0xDA, 0x03E00000, 0x10000, 18, 0x03FC0000}, {0xC4, 0x03E00000, 0x10000, 35, 0x03FC0000}};
    for (WORD board = 1; board <= 4; board++) {
        Load_Board(board);
        ASSERT_EQ(number_device_map_entries, entries[board]);
        EXPECT_EQ(V(device_map_tbl[entries[board]].flash_id), FLASH_ID_END);
        DWORD next = 0x04000000;  // each block ends where the one above starts
        for (int i = entries[board] - 1; i >= 0; i--) {
            const DEVICE_MAP_STRUCT &e = device_map_tbl[i];
            int from_top = entries[board] - 1 - i;  // top: 16 K, 8 K, 8 K, then 32 K short of a big one
            DWORD size = from_top == 0 ? 0x4000 : from_top <= 2 ? 0x2000 : parts[board].big;
            EXPECT_EQ(V(e.block_size), from_top == 3 ? size - 0x8000 : size) << board << "/" << i;
            EXPECT_EQ(V(e.flash_id), parts[board].id);
            EXPECT_EQ(V(e.device_addr), parts[board].dev);
            bool row18 = board == 3 && i == 18;  // board 4's numbering for the top block
            EXPECT_EQ(V(e.relative_block), row18 ? 34 : i);
            EXPECT_EQ(V(e.number_blocks), row18 ? 35 : parts[board].blocks);
            EXPECT_EQ(V(e.reprogram_count) | V(e.reprogram_date_time), 0u);
            EXPECT_EQ(V(e.block_addr) + V(e.block_size), next) << board << "/" << i;
            EXPECT_EQ(V(e.user_prot_addr), V(e.block_addr));
            // Real window: the first megabyte's top on the flash's top; none for the two top blocks.
            bool none = i + 2 >= entries[board] || e.block_addr < parts[board].real_from;
            EXPECT_EQ(V(e.user_real_addr), none ? NO_USER_ADDR : e.block_addr - 0x03F00000) << i;
            next = e.block_addr;
        }
    }
}

TEST_F(Tables, BlockLookupsTryTheRealModeWindowFirst)
{
    // Board 1's block 4: real window 0x000F8000, protected 0x03FF8000, 8 K.
    EXPECT_EQ(Lookup_User_Block_Addr(4, 0x000F8100, 16), 0x000F8000u);
    EXPECT_EQ(Lookup_User_Block_Addr(4, 0x03FF8100, 16), 0x03FF8000u);
    EXPECT_EQ(Lookup_User_Block_Addr(4, 0x000F0000, 0x04000000), 0x000F8000u);  // covers both
    EXPECT_EQ(Lookup_User_Block_Addr(5, 0x000FA000, 1), NO_USER_ADDR);  // no real window
    EXPECT_TRUE(Segment_In_Device_Block(4, 0x03FF0000, 0x10000));        // covers the block
    EXPECT_FALSE(Segment_In_Device_Block(4, 0x03FF0000, 0x8000));
    EXPECT_TRUE(Segment_In_Device_Block(4, 0x03FF7000, 0x1001));   // ends at its first byte
    EXPECT_FALSE(Segment_In_Device_Block(4, 0x03FF7000, 0x1000));  // ends one short
    EXPECT_TRUE(Segment_In_Device_Block(4, 0x03FF9FFF, 1));
    EXPECT_FALSE(Segment_In_Device_Block(4, 0x03FFA000, 1));
    EXPECT_EQ(Lookup_Device_Map_Index(0x000A0000, 0x30000), 1);  // the first block touched
    EXPECT_EQ(Lookup_Device_Map_Index(0x03F7FFFF, 2), 0);
    EXPECT_EQ(Lookup_Device_Map_Index(0x03FFC400, 4), 6);
    EXPECT_EQ(Lookup_Device_Map_Index(0x00070000, 0x10000), NO_DEV_INDEX);
    number_device_map_entries = 3;  // only entries before the end are searched
    EXPECT_EQ(Lookup_Device_Map_Index(0x03FFC400, 4), NO_DEV_INDEX);
}

// With verify on, the monitor compares each programmed block with the work
// area; only a match (or verify off) counts as programmed and is stamped.
TEST_F(Tables, VerifyTakesOnlyAMatchAsProgrammedAndAnUnsupportedTypeFails)
{
    static WORD compare_status;
    Mem_Port_Install(0);
    Init_Message_Link(0, 9600, &status);
    Mem_Port_Monitor([](const Bytes &req) {
        Bytes resp = req;
        if (req.size() > 2 && req[0] == COMPARE_RAM_CMD) resp[1] = BYTE(compare_status), resp[2] = BYTE(compare_status >> 8);
        return resp;
    });
    const struct { WORD verify, flash_id, compare; const char *said; } cases[] = {
        {1, 0x70, E_OK, ""}, {0, 0x70, E_COMPARE, ""},
        {1, 0x70, E_COMPARE, "Verify failed: flash block at 0x03FA0000 differs from what was written\n"},
        {1, 0x01, E_PARAM, "Could not verify flash block at 0x03FA0000\n\nCompare RAM FAILED!  Invalid message parameter\n\n"},
        {0, 0x42, E_OK, "Flash device not supported!\n"}};
    for (const auto &c : cases) {
        verify_flash = c.verify, device_map_tbl[1].flash_id = c.flash_id, compare_status = c.compare, status = 0;
        DWORD count = device_map_tbl[1].reprogram_count;
        EXPECT_EQ(Output_Of([&] { Program_Flash_Block(1, &status); }), c.said);
        EXPECT_EQ(status, c.said[0] ? E_REPORTED : E_OK) << c.said;
        EXPECT_EQ(V(device_map_tbl[1].reprogram_count), count + !c.said[0]);
    }
    verify_flash = 0;
    Shutdown_Message_Link(&status);
    Mem_Port_Remove();
}

TEST_F(Tables, DirectoryNamesIgnoreCaseAndAFullDirectoryReusesTheLowestDeletedEntry)
{
    for (WORD i = 2; i < MAX_DIR_ENTRIES; i++)
        EXPECT_EQ(Add_Program(("P" + std::to_string(i)).c_str()), i);
    EXPECT_EQ(V(dir_tbl[2].dir_flags), DIR_IN_USE);
    EXPECT_EQ(V(dir_tbl[2].program_mem.reprogram_count), 1u);
    EXPECT_EQ(V(dir_tbl[2].program_mem.reprogram_date_time), 1700000000u);
    EXPECT_EQ(Find_Free_Dir_Entry(), NO_DIR_INDEX);
    EXPECT_EQ(Find_Alloc_Dir_Entry("p5"), 5);
    EXPECT_EQ(Find_Alloc_Dir_Entry("P55"), NO_DIR_INDEX);
    Set_System_Name_Entry("SYS");
    EXPECT_EQ(Find_Alloc_Dir_Entry("SYS"), NO_DIR_INDEX);  // entry 0 is never a program
    EXPECT_EQ(Run(Delete_Dir_Entry, "P7"), "Program P7 deleted\n");
    EXPECT_EQ(Run(Delete_Dir_Entry, "p4"), "Program p4 deleted\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Find_Alloc_Dir_Entry("P4"), NO_DIR_INDEX);
    EXPECT_EQ(Add_Program("NEW"), 4);
    EXPECT_EQ(Find_Free_Dir_Entry(), 7);

    for (auto op : {Delete_Dir_Entry, Set_Flash_Boot, Set_Program_Vector_Entry}) {
        EXPECT_EQ(Run(op, ""), "Program name not set!\n");
        EXPECT_EQ(Run(op, "GHOST"), "Program GHOST not found in directory!\n");
        EXPECT_EQ(status, E_REPORTED);
    }
}

TEST_F(Tables, SetbootFoldsOffsetsAbove0xFFF0IntoTheSegmentWithAWarning)
{
    const struct {
        WORD base;
        DWORD offset;
        WORD boot_base;
        DWORD boot_offset;
    } cases[] = {{0xF000, 0xFFF0, 0xF000, 0xFFF0},     {0xF000, 0xFFF1, 0xF000, 0xFFF1},
                 {0x2000, 0x10000, 0x2001, 0xFFF0},    {0x1000, 0x12345, 0x1235, 0xFFF5},
                 {0x0000, 0x000F8000, 0xE801, 0xFFF0}, {0x1234, 0x0000, 0x1234, 0x0000}};
    Add_Program("APP");
    for (const auto &c : cases) {
        dir_tbl[2].program_mem.start_vector_base = c.base;
        dir_tbl[2].program_mem.start_vector_offset = c.offset;
        std::string out = Run(Set_Flash_Boot, "APP");
        EXPECT_EQ(status, 0);
        EXPECT_EQ(V(boot_tbl.boot_base), c.boot_base) << c.offset;
        EXPECT_EQ(V(boot_tbl.boot_offset), c.boot_offset) << c.offset;
        EXPECT_EQ(out.find("WARNING!") != std::string::npos, c.offset > 0xFFF0) << out;
    }
    EXPECT_EQ(Output_Of(Clear_Flash_Boot), "Boot program set to NONE\n");
    EXPECT_EQ(V(dir_tbl[2].dir_flags), DIR_IN_USE);
    EXPECT_EQ(V(boot_tbl.boot_flags) | V(boot_tbl.boot_base) | V(boot_tbl.boot_offset), 0u);
}

TEST_F(Tables, FlashPartPicksTheBoardByTheLowByteOfItsCodeAndUnknownPartsChangeNothing)
{
    static WORD codes[2];  // manufacturer and device a scripted monitor reports
    Mem_Port_Install(0);
    Init_Message_Link(0, 9600, &status);
    Mem_Port_Monitor([](const Bytes &req) {
        GET_FLASH_ID_CMD_STRUCT r;
        if (req.size() < sizeof r || req[0] != GET_FLASH_ID_CMD) return req;
        memcpy(&r, req.data(), sizeof r);
        r.manufacture_code = codes[0];
        r.device_code = codes[1];
        return Bytes(reinterpret_cast<BYTE *>(&r), reinterpret_cast<BYTE *>(&r) + sizeof r);
    });
    auto rebuild = [](WORD manufacturer, WORD device) {
        codes[0] = manufacturer;
        codes[1] = device;
        return Output_Of(Init_Flash_Tables);
    };
    EXPECT_EQ(rebuild(0x8989, 0x119C),
              "8 MBit Boot Block Flash detected (x8)\nFlash tables initialized\n");
    EXPECT_EQ(board_id, 2);
    EXPECT_EQ(number_device_map_entries, 11);
    EXPECT_TRUE(Flash_Tables_Changed());  // until written
    boot_tbl.boot_flags = 7;
    EXPECT_EQ(rebuild(0x0089, 0x0055),
              "Invalid Flash Device detected\nDevice Manufacturers Code = 0x0089, Device ID = 0x55\n"
              "\nOperation FAILED!  Invalid flash tables\n\n");
    EXPECT_EQ(rebuild(0x1234, 0x0070),
              "Invalid Flash Device detected\n\nOperation FAILED!  Invalid flash tables\n\n");
    EXPECT_EQ(board_id, 2);
    EXPECT_EQ(number_device_map_entries, 11);
    EXPECT_EQ(V(boot_tbl.boot_flags), 7);
    Shutdown_Message_Link(&status);
    Mem_Port_Remove();
}

}  // namespace
