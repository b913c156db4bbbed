// A blank board brought on-line, its tables rebuilt and written at exit;
// then a second session that finds them valid and leaves flash alone.
#include <ctime>

#include "tables_e2e.h"

namespace {

using namespace tables_e2e;

// Board 3's map as tabulated, printed from the top block down.
std::string Board3_Map_Rows(unsigned long table_block_count, const std::string &table_block_date)
{
    std::string rows;
    rows += Map_Row("29LV800T", "       -", "03FFC000", 16, 34, 35);
    rows += Map_Row("29LV800T", "       -", "03FFA000", 8, 17, 18, table_block_date,
                    table_block_count);
    rows += Map_Row("29LV800T", "000F8000", "03FF8000", 8, 16, 18);
    rows += Map_Row("29LV800T", "000F0000", "03FF0000", 32, 15, 18);
    rows += Map_Row("29LV800T", "000E0000", "03FE0000", 64, 14, 18);
    rows += Map_Row("29LV800T", "000D0000", "03FD0000", 64, 13, 18);
    rows += Map_Row("29LV800T", "000C0000", "03FC0000", 64, 12, 18);
    for (int n = 11; n >= 0; n--) {
        char prot[9];
        snprintf(prot, sizeof prot, "%08X", 0x03F00000 + n * 0x10000);
        rows += Map_Row("29LV800T", "       -", prot, 64, n, 18);
    }
    return rows;
}

TEST(TablesSession, BlankBoardRebuiltThenWrittenThenReadBack)
{
    DWORD before = DWORD(time(nullptr));
    RIG_RESULT r = Session("init com1 ; map\nmap\nexit\n");
    DWORD after = DWORD(time(nullptr));
    ASSERT_TRUE(r.started) << r.error;
    ASSERT_FALSE(r.timed_out);

    // Init fails (the tables were invalid), so the rest of its line is
    // skipped, but the link stays up and map runs on the next line.
    std::string init = Init_Lines() + ON_LINE +
                       "Flash tables INVALID!\nPerforming reinittbls command ...\n"
                       "8 MBit Boot Block Flash detected (x8)\nFlash tables initialized\n"
                       "Initialization complete\n";
    std::string map = Map_Head("PELLAR") + Board3_Map_Rows(0, "-");
    std::string exit = "Start shutdown ...\nUpdate flash tables ...\nFlash tables OK\n"
                       "Shutdown complete\n";
    EXPECT_EQ(r.out, Transcript({init, map, exit}));

    // All four tables went into the work area image of the 8 K table block in
    // one save / erase / program cycle.
    auto writes = Requests(r, "write_ram");
    ASSERT_EQ(writes.size(), 4u);
    const long long addrs[] = {0x20000, 0x20400, 0x20800, 0x21000};
    const long long lens[] = {26, 118, 1224, 700};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(writes[i].Num("addr"), addrs[i]);
        EXPECT_EQ(writes[i].Num("len"), lens[i]);
    }
    ASSERT_EQ(Requests(r, "copy_ram").size(), 1u);
    EXPECT_EQ(Requests(r, "copy_ram")[0].Num("src"), 0x03FFA000);
    EXPECT_EQ(Requests(r, "erase_flash").size(), 1u);
    EXPECT_EQ(Requests(r, "program_flash").size(), 1u);

    // The image holds the tables byte for byte; the table block carries its stamp.
    TABLE_SET t = Fresh_Tables(3);
    std::vector<uint8_t> row = Flash_At(r, BOOT_ADDR + 0x800 + 17 * 34, 34);
    ASSERT_EQ(row.size(), 34u);
    DEVICE_MAP_STRUCT stamped;
    memcpy(&stamped, row.data(), sizeof stamped);
    EXPECT_EQ(DWORD(stamped.reprogram_count), 1u);
    EXPECT_GE(DWORD(stamped.reprogram_date_time), before);
    EXPECT_LE(DWORD(stamped.reprogram_date_time), after);
    t.map[17].reprogram_count = 1;
    t.map[17].reprogram_date_time = stamped.reprogram_date_time;
    std::vector<uint8_t> block = Flash_At(r, 0x03FFA000, 0x2000);
    std::vector<uint8_t> expected(0x2000, 0xFF);
    memcpy(expected.data(), &t.boot, 26);
    memcpy(expected.data() + 0x400, &t.sys, 118);
    memcpy(expected.data() + 0x800, t.map, 1224);
    memcpy(expected.data() + 0x1000, t.dir, 700);
    EXPECT_EQ(block, expected);
    EXPECT_EQ(Flash_At(r, 0x03FFA000, 4), (std::vector<uint8_t>{0xD4, 0xC3, 0xB2, 0xA1}));
    EXPECT_EQ(Flash_At(r, 0x03FFB001, 7), Bytes("TARGET", 7));

    // Second session: the tables are read back and nothing is written.
    RIG_RESULT r2 = Session("log=v\ninit com1\nmap\nexit\n", {}, r.image);
    ASSERT_TRUE(r2.started) << r2.error;
    std::string init2 = "Port set to COM1\nVT Port set to COM1\nStart initialization ...\n"
                        "Establish link to target system on COM1 at 9600 baud ...\n" +
                        ON_LINE + "Read flash tables ...\nFlash tables OK\nInitialization complete\n";
    std::string map2 = Map_Head("PELLAR") +
                       Board3_Map_Rows(1, Date_Time_Str_Ptr(stamped.reprogram_date_time));
    std::string exit2 = "Start shutdown ...\nProcess flash tables ...\nFlash tables not changed\n"
                        "Shutdown communications link ...\nShutdown complete\n";
    EXPECT_EQ(r2.out, Transcript({"Log level set to VERBOSE\n", init2, map2, exit2}));
    auto reads = Requests(r2, "read_ram");
    ASSERT_EQ(reads.size(), 4u);
    EXPECT_EQ(reads[2].Num("addr"), 0x03FFA800);
    EXPECT_EQ(reads[2].Num("len"), 1224);
    for (const char *name : {"write_ram", "copy_ram", "set_ram", "erase_flash", "program_flash"})
        EXPECT_TRUE(Requests(r2, name).empty()) << name;
    EXPECT_EQ(Requests(r2, "shutdown").size(), 1u);
    EXPECT_EQ(r2.image, r.image);
}

TEST(TablesSession, ReinittblsAfterReadWritesAllFourAndCountsTheBlockAgain)
{
    TABLE_SET t = Fresh_Tables(3);
    t.map[17].reprogram_count = 5;
    RIG_RESULT r = Session("init com1\nreinittbls\nexit\n", {}, Image_With(3, t));
    ASSERT_TRUE(r.started) << r.error;
    EXPECT_EQ(r.out, Transcript({Init_Lines() + ON_LINE + "Flash tables OK\nInitialization complete\n",
                                 "8 MBit Boot Block Flash detected (x8)\nFlash tables initialized\n",
                                 "Start shutdown ...\nUpdate flash tables ...\nFlash tables OK\n"
                                 "Shutdown complete\n"}));
    EXPECT_EQ(Requests(r, "write_ram").size(), 4u);
    // The rebuilt map starts from the built-in one: the old count is gone.
    DEVICE_MAP_STRUCT row;
    std::vector<uint8_t> bytes = Flash_At(r, BOOT_ADDR + 0x800 + 17 * 34, 34);
    memcpy(&row, bytes.data(), sizeof row);
    EXPECT_EQ(DWORD(row.reprogram_count), 1u);
}

}  // namespace
