// Built-in board device maps and the block look-ups over them.
#include <gtest/gtest.h>

#include <cstring>

#include "FLDATA.h"
#include "flashu.h"

namespace {

// Packed fields are read by value, never bound to a reference.
template <typename T>
T V(T v)
{
    return v;
}

class DeviceMaps : public testing::Test {
protected:
    void SetUp() override
    {
        Reset_Flash_Table_Images();
        number_device_map_entries = 0;
        target_prog_version = 0x0251;
    }
    void Load_Board(WORD board)
    {
        board_id = board;
        Init_Device_Map_Table();
    }
};

TEST_F(DeviceMaps, EveryBoardEndsWithAnEndEntry)
{
    const WORD expected[] = {0, 7, 11, 19, 35, 0};
    for (WORD board = 1; board <= 4; board++) {
        Load_Board(board);
        EXPECT_EQ(number_device_map_entries, expected[board]) << "board " << board;
        EXPECT_EQ(V(device_map_tbl[number_device_map_entries].flash_id), 0);
    }
    // An unknown board leaves an empty map.
    Load_Board(5);
    EXPECT_EQ(number_device_map_entries, 0);
    EXPECT_EQ(V(device_map_tbl[0].flash_id), 0);
}

TEST_F(DeviceMaps, ProtectedWindowIsThePhysicalBlockAndRealWindowTheTopMegabyte)
{
    for (WORD board = 1; board <= 4; board++) {
        Load_Board(board);
        for (WORD i = 0; i < number_device_map_entries; i++) {
            const DEVICE_MAP_STRUCT &e = device_map_tbl[i];
            EXPECT_EQ(V(e.user_prot_addr), V(e.block_addr));
            EXPECT_EQ(V(e.reprogram_count), 0u);
            EXPECT_EQ(V(e.reprogram_date_time), 0u);
            if (e.user_real_addr != NO_USER_ADDR) {
                EXPECT_EQ(V(e.user_real_addr) + 0x03F00000, V(e.block_addr)) << board << "/" << i;
            }
            // The next block follows on without gap or overlap.
            if (i + 1 < number_device_map_entries) {
                EXPECT_EQ(V(e.block_addr) + V(e.block_size), V(device_map_tbl[i + 1].block_addr));
            }
        }
        // Every board's flash ends at the top of the 64 M space with 8 K + 16 K blocks.
        const DEVICE_MAP_STRUCT &top = device_map_tbl[number_device_map_entries - 1];
        EXPECT_EQ(V(top.block_addr), 0x03FFC000u);
        EXPECT_EQ(V(top.user_real_addr), NO_USER_ADDR);
        EXPECT_EQ(V(device_map_tbl[number_device_map_entries - 2].user_real_addr), NO_USER_ADDR);
    }
}

TEST_F(DeviceMaps, TabulatedRowsAsStored)
{
    Load_Board(1);
    EXPECT_EQ(V(device_map_tbl[3].flash_id), 0x70);
    EXPECT_EQ(V(device_map_tbl[3].block_size), 0x18000u);
    EXPECT_EQ(V(device_map_tbl[3].user_real_addr), 0x000E0000u);
    EXPECT_EQ(V(device_map_tbl[6].device_addr), 0x03F80000u);

    Load_Board(2);
    EXPECT_EQ(V(device_map_tbl[3].user_real_addr), NO_USER_ADDR);
    EXPECT_EQ(V(device_map_tbl[4].user_real_addr), 0x00080000u);
    EXPECT_EQ(V(device_map_tbl[10].number_blocks), 11);

    // Board 3 keeps the numbering of board 4's last block in its row 18 and
    // the device base below its first block.
    Load_Board(3);
    EXPECT_EQ(V(device_map_tbl[0].block_addr), 0x03F00000u);
    EXPECT_EQ(V(device_map_tbl[0].device_addr), 0x03E00000u);
    EXPECT_EQ(V(device_map_tbl[11].block_addr), 0x03FB0000u);
    EXPECT_EQ(V(device_map_tbl[15].block_size), 0x08000u);
    EXPECT_EQ(V(device_map_tbl[17].relative_block), 17);
    EXPECT_EQ(V(device_map_tbl[17].number_blocks), 18);
    EXPECT_EQ(V(device_map_tbl[18].relative_block), 34);
    EXPECT_EQ(V(device_map_tbl[18].number_blocks), 35);

    Load_Board(4);
    EXPECT_EQ(V(device_map_tbl[27].block_addr), 0x03FB0000u);
    EXPECT_EQ(V(device_map_tbl[27].relative_block), 27);
    EXPECT_EQ(V(device_map_tbl[28].user_real_addr), 0x000C0000u);
    EXPECT_EQ(V(device_map_tbl[34].flash_id), 0xC4);
}

TEST_F(DeviceMaps, RowBytesAreLittleEndianAtTheirOffsets)
{
    Load_Board(1);
    const BYTE *row = reinterpret_cast<const BYTE *>(&device_map_tbl[4]);
    const BYTE expected[34] = {
        0x70, 0x00,                    // flash_id
        0x00, 0x80, 0x0F, 0x00,        // user_real_addr 0x000F8000
        0x00, 0x80, 0xFF, 0x03,        // user_prot_addr 0x03FF8000
        0x00, 0x80, 0xFF, 0x03,        // block_addr
        0x00, 0x20, 0x00, 0x00,        // block_size 0x2000
        0x04, 0x00, 0x07, 0x00,        // relative_block 4, number_blocks 7
        0x00, 0x00, 0xF8, 0x03,        // device_addr 0x03F80000
        0, 0, 0, 0, 0, 0, 0, 0,        // count and date
    };
    EXPECT_EQ(memcmp(row, expected, sizeof expected), 0);
}

TEST_F(DeviceMaps, OldMonitorCutsTheStoredMapButNotTheHostCopy)
{
    target_prog_version = 0x0240;
    Load_Board(4);
    EXPECT_EQ(device_map_tbl_size, 680);
    EXPECT_EQ(number_device_map_entries, 35);
    // A newer monitor on the link gets its whole map again.
    target_prog_version = 0x0250;
    Load_Board(4);
    EXPECT_EQ(device_map_tbl_size, 1224);
}

TEST_F(DeviceMaps, ChangedTablesAreThoseThatDifferFromTheLastRead)
{
    Load_Board(2);
    memcpy(last_device_map_tbl, device_map_tbl, sizeof device_map_tbl);
    EXPECT_FALSE(Flash_Tables_Changed());
    dir_tbl[9].pad = 1;
    EXPECT_TRUE(Flash_Tables_Changed());
    dir_tbl[9].pad = 0;
    // Bytes beyond an old monitor's 680-byte map are not compared.
    target_prog_version = 0x0240;
    device_map_tbl_size = 680;
    device_map_tbl[25].reprogram_count = 7;
    EXPECT_FALSE(Flash_Tables_Changed());
    device_map_tbl[19].reprogram_count = 7;
    EXPECT_TRUE(Flash_Tables_Changed());
}

// ---- look-ups ---------------------------------------------------------------

class BlockLookups : public DeviceMaps {
protected:
    void SetUp() override
    {
        DeviceMaps::SetUp();
        Load_Board(1);
    }
};

TEST_F(BlockLookups, RealModeWindowIsTriedFirst)
{
    // 0x000F8000 lies in block 4's real window; block 4 is also found by its
    // physical address through the protected window.
    EXPECT_EQ(Lookup_User_Block_Addr(4, 0x000F8100, 16), 0x000F8000u);
    EXPECT_EQ(Lookup_User_Block_Addr(4, 0x03FF8100, 16), 0x03FF8000u);
    // A range covering both windows reports the real-mode one.
    EXPECT_EQ(Lookup_User_Block_Addr(4, 0x000F0000, 0x04000000), 0x000F8000u);
    EXPECT_EQ(Lookup_User_Block_Addr(5, 0x03FFA000, 1), 0x03FFA000u);
    EXPECT_EQ(Lookup_User_Block_Addr(5, 0x000FA000, 1), NO_USER_ADDR);
}

TEST_F(BlockLookups, RangeCoveringTheWholeBlockOverlaps)
{
    EXPECT_TRUE(Segment_In_Device_Block(4, 0x03FF0000, 0x10000));
    EXPECT_TRUE(Segment_In_Device_Block(4, 0x03FF7FFF, 0x2002));
    EXPECT_FALSE(Segment_In_Device_Block(4, 0x03FF0000, 0x8000));
}

TEST_F(BlockLookups, RangeEndingAtTheFirstByteOverlapsOneByteShortDoesNot)
{
    EXPECT_TRUE(Segment_In_Device_Block(4, 0x03FF7000, 0x1001));   // ends at 0x03FF8000
    EXPECT_FALSE(Segment_In_Device_Block(4, 0x03FF7000, 0x1000));  // ends at 0x03FF7FFF
    EXPECT_TRUE(Segment_In_Device_Block(4, 0x03FF9FFF, 1));        // last byte
    EXPECT_FALSE(Segment_In_Device_Block(4, 0x03FFA000, 1));       // one past
}

TEST_F(BlockLookups, DeviceMapIndexIsTheFirstBlockTouched)
{
    EXPECT_EQ(Lookup_Device_Map_Index(0x03F80000, 1), 0);
    EXPECT_EQ(Lookup_Device_Map_Index(0x000A0000, 0x30000), 1);  // spans 1 and 2
    EXPECT_EQ(Lookup_Device_Map_Index(0x03FFC400, 4), 6);
    EXPECT_EQ(Lookup_Device_Map_Index(0x00070000, 0x10000), NO_DEV_INDEX);
    EXPECT_EQ(Lookup_Device_Map_Index(0x03F7FFFF, 2), 0);
    // Only entries before the end entry are searched.
    number_device_map_entries = 3;
    EXPECT_EQ(Lookup_Device_Map_Index(0x03FFC400, 4), NO_DEV_INDEX);
}

}  // namespace
