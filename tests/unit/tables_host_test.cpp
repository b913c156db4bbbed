// The host copies of the flash tables: maps and look-ups, verify, directory and boot program.
#include <gtest/gtest.h>
#include <cstring>
#include <tuple>
#include "FLDATA.h"
#include "HCMDFMT.h"
#include "flashu.h"
#include "flashu_seg.h"
#include "mem_port.h"
#include "vboard.h"

namespace {
// Packed fields are read by value, never bound to a reference.
const auto V = [](auto v) { return v; };

class Tables : public Mem_Link_Test { // the link up, to a monitor a test may script
protected:
    WORD status = 0;
    void SetUp() override
    {
        Mem_Link_Test::SetUp();
        Reset_Flash_Table_Images();
        log_level = LOG_NORMAL;
        target_prog_version = 0x0251;
        board_id = 1;
        Init_Device_Map_Table();
    }
    void TearDown() override
    {
        verify_flash = 0;
        Mem_Link_Test::TearDown();
    }
    void Board_Monitor() // the virtual board's monitor, for the board vboard::Mem_Init chose
    {
        boot_tbl_addr = 0x03FFA000;
        Mem_Port_Monitor([](const Bytes &req) {
            static const vboard::MONITOR_ID mon = {1, 0x0240, 0x03FFA000};
            BYTE resp[vboard::MAX_RECORD];
            vboard::CMD_OUTCOME outcome = {};
            WORD n = vboard::Execute_Request(req.data(), WORD(req.size()), &mon, resp, &outcome);
            return Bytes(resp, resp + n);
        });
    }
    // Runs a directory operation on the named program (null: adds it); returns what it printed.
    std::string Run(void (*op)(WORD *), const std::string &name)
    {
        snprintf(prog_name_str, sizeof prog_name_str, "%s", name.c_str());
        status = 0;
        return Stdout_Of([&] { op ? op(&status) : Add_Directory_Entry(Find_Free_Dir_Entry()); });
    }
};

// Board 1's block 4: real window 0x000F8000, protected 0x03FF8000, 8 K.
TEST_F(Tables, BlockLookupsTryTheRealModeWindowFirstAndCountBlockEnds)
{
    EXPECT_EQ(Lookup_User_Block_Addr(4, 0x000F8100, 16), 0x000F8000u);
    EXPECT_EQ(Lookup_User_Block_Addr(5, 0x000FA000, 1), NO_USER_ADDR); // no real window
    EXPECT_TRUE(Segment_In_Device_Block(4, 0x03FF7000, 0x1001));       // ends at its first byte
    EXPECT_FALSE(Segment_In_Device_Block(4, 0x03FF7000, 0x1000));      // ends one short
    EXPECT_TRUE(Segment_In_Device_Block(4, 0x03FF9FFF, 1));
    EXPECT_FALSE(Segment_In_Device_Block(4, 0x03FFA000, 1));
    EXPECT_EQ(Lookup_Device_Map_Index(0x000A0000, 0x30000), 1); // the first block touched
    number_device_map_entries = 3; // only entries before the end are searched
    EXPECT_EQ(Lookup_Device_Map_Index(0x03FFC400, 4), NO_DEV_INDEX);
}

// Only a match (or verify off) counts as programmed and is stamped; a refused compare fails.
TEST_F(Tables, VerifyTakesOnlyAMatchAsProgrammedAndAnUnsupportedTypeFails)
{
    static WORD compare_status;
    Mem_Port_Monitor([](const Bytes &req) {
        Bytes resp = req;
        if (req.size() <= 2 || req[0] != COMPARE_RAM_CMD) return resp;
        memcpy(&resp[1], &compare_status, 2);
        return resp;
    });
    const struct {
        WORD verify, flash_id, compare;
        const char *said;
    } cases[] = {{1, 0x70, E_OK, ""},
                 {1, 0x70, E_COMPARE,
                  "Verify failed: flash block at 0x03FA0000 differs from what was written\n"},
                 {1, 0x01, E_PARAM,
                  "Could not verify flash block at 0x03FA0000\n\nCompare RAM FAILED!  Invalid "
                  "message parameter\n\n"},
                 {0, 0x42, E_OK, "Flash device not supported!\n"}};
    for (const auto &c : cases) {
        verify_flash = c.verify;
        device_map_tbl[1].flash_id = c.flash_id;
        compare_status = c.compare;
        status = 0;
        DWORD count = device_map_tbl[1].reprogram_count;
        EXPECT_EQ(Stdout_Of([&] { Program_Flash_Block(1, &status); }), c.said);
        EXPECT_EQ(status, c.said[0] ? E_REPORTED : E_OK) << c.said;
        EXPECT_EQ(V(device_map_tbl[1].reprogram_count), count + !c.said[0]);
    }
}

TEST_F(Tables, DirectoryNamesIgnoreCaseAndAFullDirectoryReusesTheLowestDeletedEntry)
{
    oh_first_addr = 0x1000;
    oh_last_addr = 0x1FFF;
    for (WORD i = 2; i < MAX_DIR_ENTRIES; i++) Run(nullptr, "P" + std::to_string(i));
    EXPECT_EQ(V(dir_tbl[2].program_mem.phys_size), 0x1000u);
    EXPECT_TRUE(Find_Free_Dir_Entry() == NO_DIR_INDEX && Find_Alloc_Dir_Entry("p5") == 5);
    Set_System_Name_Entry("SYS");
    EXPECT_EQ(Find_Alloc_Dir_Entry("SYS"), NO_DIR_INDEX); // entry 0 is never a program
    EXPECT_EQ(Run(Delete_Dir_Entry, "P7") + Run(Delete_Dir_Entry, "p4"),
              "Program P7 deleted\nProgram p4 deleted\n");
    EXPECT_EQ(Find_Alloc_Dir_Entry("P4"), NO_DIR_INDEX);
    EXPECT_EQ(Find_Free_Dir_Entry(), 4);
    for (auto op : {Delete_Dir_Entry, Set_Flash_Boot, Set_Program_Vector_Entry}) {
        EXPECT_EQ(Run(op, "") + Run(op, "GHOST"),
                  "Program name not set!\nProgram GHOST not found in directory!\n");
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
    Run(nullptr, "APP");
    for (const auto &c : cases) {
        dir_tbl[2].program_mem.start_vector_base = c.base;
        dir_tbl[2].program_mem.start_vector_offset = c.offset;
        std::string out = Run(Set_Flash_Boot, "APP");
        EXPECT_EQ(std::make_tuple(status, V(boot_tbl.boot_base), V(boot_tbl.boot_offset)),
                  std::make_tuple(WORD(0), c.boot_base, c.boot_offset))
            << c.offset;
        EXPECT_EQ(out.find("WARNING!") != std::string::npos, c.offset > 0xFFF0) << out;
    }
    EXPECT_EQ(Stdout_Of(Clear_Flash_Boot), "Boot program set to NONE\n");
    EXPECT_EQ(V(boot_tbl.boot_flags) | V(boot_tbl.boot_base) | V(boot_tbl.boot_offset), 0u);
}

// Tables never read are not written; written ones read back. Below monitor 2.50 board 4's map
// keeps 20 entries; the host completes it only when those are its built-in ones (entry 0 too).
TEST_F(Tables, TablesRoundTripAndACutMapIsCompletedOnlyFromItsOwnEntries)
{
    target_prog_version = 0x0250;
    EXPECT_EQ(Device_Map_Size_For_Monitor(), sizeof(DEVICE_MAP_TBL));
    ASSERT_TRUE(vboard::Mem_Init(4));
    Board_Monitor();
    target_prog_version = 0x024F;
    EXPECT_EQ(Stdout_Of([&] {
                  Read_Flash_Tables(&status);
                  Write_Flash_Tables(&status);
              }),
              "Flash tables were never read from this target - tables not written\n");
    Stdout_Of(Init_Flash_Tables);
    Set_System_Name_Entry("BENCH");
    const WORD whole = number_device_map_entries;
    ASSERT_GT(whole, 20);
    for (WORD changed_block : {0, 1}) {
        device_map_tbl[0].flash_id ^= changed_block;
        std::string out = Stdout_Of([&] {
            Write_Flash_Tables(&status);
            Read_Flash_Tables(&status);
        });
        EXPECT_EQ(std::make_tuple(status, std::string(system_name_str)),
                  std::make_tuple(WORD(E_OK), std::string("BENCH")))
            << out;
        EXPECT_EQ(number_device_map_entries, changed_block ? 20 : whole);
    }
}

// A board's flash part selects its blocks; real-mode windows end at 1 MB, none for the top two.
TEST_F(Tables, EachBoardsFlashPartSelectsAMapOfTheBoardsOwnBlocks)
{
    const DWORD real_from[] = {0, 0x03F80000, 0x03F80000, 0x03FC0000, 0x03FC0000};
    Board_Monitor();
    for (WORD board = 1; board <= 4; board++) {
        ASSERT_TRUE(vboard::Mem_Init(board));
        WORD n = 0, manufacturer = 0, device = 0;
        const vboard::FLASH_BLOCK *b = vboard::Mem_Blocks(&n);
        vboard::Mem_Flash_Codes(&manufacturer, &device);
        board_id = board == 1 ? 4 : 1;
        Init_Device_Map_Table();
        Stdout_Of(Init_Flash_Tables);
        ASSERT_TRUE(board_id == board && number_device_map_entries == n) << board;
        EXPECT_EQ(V(device_map_tbl[n].flash_id), FLASH_ID_END);
        for (WORD i = 0; i < n; i++) {
            const DEVICE_MAP_STRUCT &e = device_map_tbl[i];
            bool none = i + 2 >= n || e.block_addr < real_from[board];
            EXPECT_EQ(std::make_tuple(V(e.block_addr), V(e.user_prot_addr), V(e.block_size),
                                      V(e.flash_id), V(e.user_real_addr)),
                      std::make_tuple(b[i].addr, b[i].addr, b[i].size, WORD(device & 0xFF),
                                      none ? NO_USER_ADDR : b[i].addr - 0x03F00000))
                << board << "/" << i;
        }
    }
}
} // namespace
