// The four board models and an old monitor whose device map holds 20 entries.
#include "tables_e2e.h"

namespace {

using namespace tables_e2e;

struct Board_Case {
    int board;
    const char *detected;
    const char *device;
    size_t blocks;
    WORD table_block;  // index of the block at 0x03FFA000
};

const Board_Case boards[] = {
    {1, "4 MBit Boot Block Flash detected (x16)\n", "28F400CV-T", 7, 5},
    {2, "8 MBit Boot Block Flash detected (x16)\n", "28F800CV-T", 11, 9},
    {3, "8 MBit Boot Block Flash detected (x8)\n", "29LV800T", 19, 17},
    {4, "16 MBit Boot Block Flash detected (x8)\n", "29LV160T", 35, 33},
};

size_t Count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

DEVICE_MAP_STRUCT Map_Entry_In_Flash(const RIG_RESULT &r, WORD index)
{
    DEVICE_MAP_STRUCT e;
    memset(&e, 0, sizeof e);
    std::vector<uint8_t> bytes = Flash_At(r, BOOT_ADDR + 0x800 + index * 34u, 34);
    if (bytes.size() == sizeof e) memcpy(&e, bytes.data(), sizeof e);
    return e;
}

TEST(TablesBoards, EachBoardGetsItsOwnMap)
{
    for (const Board_Case &c : boards) {
        SCOPED_TRACE(c.board);
        RIG_RESULT r = Session("init com1\nmap\nexit\n", {"--board", std::to_string(c.board)});
        ASSERT_TRUE(r.started) << r.error;
        EXPECT_NE(r.out.find(c.detected), std::string::npos);
        EXPECT_EQ(Count(r.out, c.device), c.blocks);
        EXPECT_NE(r.out.find("Shutdown complete\n"), std::string::npos);

        TABLE_SET t = Fresh_Tables(WORD(c.board));
        DEVICE_MAP_STRUCT stamped = Map_Entry_In_Flash(r, c.table_block);
        EXPECT_EQ(DWORD(stamped.block_addr), 0x03FFA000u);
        EXPECT_EQ(DWORD(stamped.reprogram_count), 1u);
        t.map[c.table_block].reprogram_count = 1;
        t.map[c.table_block].reprogram_date_time = stamped.reprogram_date_time;
        EXPECT_EQ(Flash_At(r, BOOT_ADDR + 0x800, 1224), Bytes(t.map, 1224));
        EXPECT_EQ(Flash_At(r, BOOT_ADDR, 26), Bytes(&t.boot, 26));
        EXPECT_EQ(Flash_At(r, BOOT_ADDR + 0x400, 118), Bytes(&t.sys, 118));
    }
}

TEST(TablesBoards, OldMonitorKeepsTwentyEntriesOnTheBoard)
{
    const std::vector<std::string> old_board = {"--board", "4", "--version", "0240"};
    RIG_RESULT r = Session("init com1\nmap\nexit\n", old_board);
    ASSERT_TRUE(r.started) << r.error;
    EXPECT_NE(r.out.find("Target system on-line (id = 1, version = 2.40)\n"), std::string::npos);
    // The host keeps the whole map ...
    EXPECT_EQ(Count(r.out, "29LV160T"), 35u);
    auto writes = Requests(r, "write_ram");
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[2].Num("len"), 680);
    // ... the board gets the first 20 entries and a descriptor saying so.
    TABLE_SET t = Fresh_Tables(4, 680);
    EXPECT_EQ(Flash_At(r, BOOT_ADDR + 0x800, 680), Bytes(t.map, 680));
    EXPECT_EQ(Flash_At(r, BOOT_ADDR + 0x800 + 680, 544), std::vector<uint8_t>(544, 0xFF));
    EXPECT_EQ(Flash_At(r, BOOT_ADDR + 0x400, 118), Bytes(&t.sys, 118));

    // Read back by the old monitor: 680 bytes, 20 blocks, none of them the
    // table block, so a change cannot be written and exit stops.
    RIG_RESULT r2 = Session("init com1\nmap\nsystem=NEW\nexit\n", old_board, r.image);
    ASSERT_TRUE(r2.started) << r2.error;
    auto reads = Requests(r2, "read_ram");
    ASSERT_EQ(reads.size(), 4u);
    EXPECT_EQ(reads[2].Num("len"), 680);
    EXPECT_EQ(Count(r2.out, "29LV160T"), 20u);
    EXPECT_NE(r2.out.find(PROMPT + Seg("Start shutdown ...\n"
                                       "Internal Error - Bad program map lookup (0x03FFA400)\n")),
              std::string::npos);
    EXPECT_TRUE(Requests(r2, "write_ram").empty());
    EXPECT_TRUE(Requests(r2, "shutdown").empty());
    EXPECT_EQ(r2.image, r.image);
}

}  // namespace
