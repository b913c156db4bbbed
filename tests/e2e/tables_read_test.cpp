// Tables read from a board that fail a check are rebuilt; tables that lie
// outside their flash block are read but never written back.
#include "tables_e2e.h"

namespace {

using namespace tables_e2e;

struct Bad_Case {
    const char *why;
    void (*spoil)(TABLE_SET &t);
    size_t reads_before_stop;
};

const Bad_Case bad_cases[] = {
    {"Boot table flag not found\n", [](TABLE_SET &t) { t.boot.boot_init = 0; }, 1},
    {"Invalid tables version\n", [](TABLE_SET &t) { t.boot.tbl_version = 2; }, 1},
    {"System table flag not found\n", [](TABLE_SET &t) { t.sys.tbl_valid = 0x12345678; }, 2},
    {"Device table flag not found\n", [](TABLE_SET &t) { t.sys.device_tbl.mem_valid = 0; }, 3},
    {"Directory table flag not found\n",
     [](TABLE_SET &t) { t.sys.directory_tbl.mem_valid = 0xFFFFFFFF; }, 4},
};

TEST(TablesRead, EachFailedCheckIsSaidAtVerboseAndTheTablesRebuilt)
{
    for (const Bad_Case &c : bad_cases) {
        SCOPED_TRACE(c.why);
        TABLE_SET t = Fresh_Tables(3);
        c.spoil(t);
        RIG_RESULT r = Session("log=v\ninit com1\nabort\ny", {}, Image_With(3, t));
        ASSERT_TRUE(r.started) << r.error;
        std::string init = "Port set to COM1\nVT Port set to COM1\nStart initialization ...\n"
                           "Establish link to target system on COM1 at 9600 baud ...\n" +
                           ON_LINE + "Read flash tables ...\n" + c.why +
                           "Flash tables INVALID!\nPerforming reinittbls command ...\n"
                           "8 MBit Boot Block Flash detected (x8)\nFlash tables initialized\n"
                           "Initialization complete\n";
        EXPECT_NE(r.out.find(PROMPT + Seg(init)), std::string::npos) << r.out;
        // Reading stops at the failed check.
        EXPECT_EQ(Requests(r, "read_ram").size(), c.reads_before_stop);
    }
}

TEST(TablesRead, InvalidTablesAreQuietAtNormalLevel)
{
    TABLE_SET t = Fresh_Tables(3);
    t.boot.tbl_version = 2;
    RIG_RESULT r = Session("init com1\nabort\ny", {}, Image_With(3, t));
    ASSERT_TRUE(r.started) << r.error;
    EXPECT_EQ(r.out.find("Invalid tables version"), std::string::npos);
    EXPECT_NE(r.out.find("Flash tables INVALID!\n"), std::string::npos);
    // Abort leaves the rebuilt tables unwritten; the board is untouched.
    EXPECT_TRUE(Requests(r, "write_ram").empty());
}

TEST(TablesRead, TablesOutsideTheTableBlockAreNeverWrittenElsewhere)
{
    // A directory kept in the 16 K block above the table block.
    TABLE_SET t = Fresh_Tables(3);
    t.sys.directory_tbl.first_phys_addr = 0x03FFC000;
    std::vector<uint8_t> image = Image_With(3, t);
    Put_Bytes(image, 3, 0x03FFC000, t.dir, sizeof t.dir);
    Put_Bytes(image, 3, BOOT_ADDR + 0x1000, std::vector<uint8_t>(700, 0xFF).data(), 700);

    RIG_RESULT r = Session("init com1\nsystem=other\nexit\nshutdown\nabort\ny", {}, image);
    ASSERT_TRUE(r.started) << r.error;
    const std::string refusal =
        "Start shutdown ...\n"
        "Flash table at 0x03FFC000 (700 bytes) lies outside its flash block at 0x03FFA000"
        " - tables not written\n";
    EXPECT_NE(r.out.find(PROMPT + Seg("System name set to OTHER\n") + PROMPT + Seg(refusal) +
                         PROMPT + Seg(refusal) + PROMPT),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Abort anyway?"), std::string::npos);
    EXPECT_TRUE(Requests(r, "write_ram").empty());
    EXPECT_TRUE(Requests(r, "erase_flash").empty());
    EXPECT_TRUE(Requests(r, "shutdown").empty());
    EXPECT_EQ(r.image, image);
}

TEST(TablesRead, UnchangedTableOutsideTheBlockDoesNotHoldUpTheOthers)
{
    TABLE_SET t = Fresh_Tables(3);
    t.sys.directory_tbl.first_phys_addr = 0x03FFC000;
    t.map[17].reprogram_count = 5;
    std::vector<uint8_t> image = Image_With(3, t);
    Put_Bytes(image, 3, 0x03FFC000, t.dir, sizeof t.dir);

    // board= rebuilds the device map only; the directory stays where it is.
    RIG_RESULT r = Session("init com1\nboard=pellar\nexit\n", {}, image);
    ASSERT_TRUE(r.started) << r.error;
    auto writes = Requests(r, "write_ram");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].Num("addr"), 0x20800);
    EXPECT_NE(r.out.find("Shutdown complete\n"), std::string::npos);
    EXPECT_EQ(Flash_At(r, 0x03FFC000, 700), Bytes(t.dir, 700));
    std::vector<uint8_t> count = Flash_At(r, BOOT_ADDR + 0x800 + 17 * 34 + 26, 4);
    EXPECT_EQ(count, (std::vector<uint8_t>{1, 0, 0, 0}));
}

}  // namespace
