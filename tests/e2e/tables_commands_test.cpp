// The commands and options that edit the tables on the host: system, board,
// vector, setboot, noboot, delete, dir, systbl, status, and abort with
// changes pending; what reaches the board's flash at exit.
#include "tables_e2e.h"

namespace {

using namespace tables_e2e;

void Put_Program(FLASH_DIR_ENTRY_STRUCT &e, const char *name, WORD base, DWORD offset)
{
    memset(&e, 0, sizeof e);
    e.dir_flags = DIR_IN_USE;
    snprintf(e.program_name_str, sizeof e.program_name_str, "%s", name);
    snprintf(e.group_name_str, sizeof e.group_name_str, "%s", "TOOLS");
    snprintf(e.version_str, sizeof e.version_str, "%s", "1.0");
    e.program_mem.first_phys_addr = 0x000C0000;
    e.program_mem.last_phys_addr = 0x000C0FFF;
    e.program_mem.phys_size = 0x1000;
    e.program_mem.logical_len = 3000;
    e.program_mem.checksum = 0x1234;
    e.program_mem.reprogram_count = 1;
    e.program_mem.start_vector_base = base;
    e.program_mem.start_vector_offset = offset;
}

// Board 3 with three programs: APP (F000:0100), BIG (a linear start vector)
// and NOVEC (none).
TABLE_SET Board_With_Programs()
{
    TABLE_SET t = Fresh_Tables(3);
    Put_Program(t.dir[2], "APP", 0xF000, 0x0100);
    Put_Program(t.dir[3], "BIG", 0x0000, 0x000F8000);
    Put_Program(t.dir[4], "NOVEC", 0, 0);
    return t;
}

std::string Dir_Line(const char *name, const char *flags)
{
    char line[200];
    snprintf(line, sizeof line,
             "%-8s  TOOLS       1.0    -               000C0000     3000  %s  00001234\n"
             "                             -               000C0FFF     4096\n\n",
             name, flags);
    return line;
}

const std::string INIT_OK = Init_Lines() + ON_LINE + "Flash tables OK\nInitialization complete\n";

TEST(TablesCommands, OnLineOptionsAreRefusedOffLine)
{
    RIG_RESULT r = Session("system=bench\nboard=pellar\nvector=f000:0\nsetboot app\ndir\n");
    ASSERT_TRUE(r.started) << r.error;
    EXPECT_EQ(r.out, Transcript({NOT_ON_LINE, NOT_ON_LINE, NOT_ON_LINE, NOT_ON_LINE, NOT_ON_LINE},
                                false));
}

TEST(TablesCommands, BootProgramDirectoryAndSystemNameReachTheBoard)
{
    TABLE_SET t = Board_With_Programs();
    const std::string lines =
        "init com1\n"
        "dir\n"
        "setboot app\n"
        "setboot big\n"
        "setboot novec\n"
        "vector=1000:20\n"
        "setboot novec\n"
        "dir\n"
        "noboot\n"
        "setboot app ; delete app\n"
        "vector=f000:0\n"
        "system=benchtop1\n"
        "debug\n"
        "systbl\n"
        "abort\n"
        "n"  // answered at once, like a key press
        "dir\n"
        "exit\n";
    RIG_RESULT r = Session(lines, {}, Image_With(3, t));
    ASSERT_TRUE(r.started) << r.error;

    const std::string systbl =
        "System Tables:\n"
        "\n"
        "Boot Valid         = 0xA1B2C3D4\n"
        "Boot Addr          = 0x03FFA000\n"
        "Boot Size          = 0x0000001A (26)\n"
        "Boot Flags         = 0x00\n"
        "Boot Vector        = 0x0000:0x00000000\n"
        "Boot Board Id      = 3\n"
        "Boot Baud          = 9600\n"
        "Boot Tbl Ver       = 1\n"
        "\n"
        "System Valid       = 0xA1B2C3D4\n"
        "System Addr        = 0x03FFA400\n"
        "System Size        = 0x00000076 (118)\n"
        "\n"
        "Device Valid       = 0xA1B2C3D4\n"
        "Device Addr        = 0x03FFA800\n"
        "Device Size        = 0x000004C8 (1224)\n"
        "\n"
        "Directory Valid    = 0xA1B2C3D4\n"
        "Directory Addr     = 0x03FFB000\n"
        "Directory Size     = 0x000002BC (700)\n";
    EXPECT_EQ(r.out,
              Transcript({
                  INIT_OK,
                  Dir_Head("PELLAR") + Dir_Line("APP", "---") + Dir_Line("BIG", "---") +
                      Dir_Line("NOVEC", "---"),
                  "Program name set to APP\nBoot program set to APP (start vector = F000:0100)\n",
                  "Program name set to BIG\n"
                  "WARNING!  Boot program start vector adjusted from linear address 0000:000F8000\n"
                  "          to real-mode address E801:FFF0\n"
                  "Boot program set to BIG (start vector = E801:FFF0)\n",
                  "Program name set to NOVEC\nNo start vector available for program NOVEC\n",
                  "Program NOVEC start vector set to 1000:0020\n",
                  "Program name set to NOVEC\n"
                  "Boot program set to NOVEC (start vector = 1000:0020)\n",
                  Dir_Head("PELLAR") + Dir_Line("APP", "---") + Dir_Line("BIG", "---") +
                      Dir_Line("NOVEC", "B1-"),
                  "Boot program set to NONE\n",
                  // two segments on one line
                  "Program name set to APP\nBoot program set to APP (start vector = F000:0100)\n"
                  "\nProgram name set to APP\nProgram APP deleted\n",
                  "Program APP not found in directory!\n",
                  "System name set to BENCHTOP1\n",
                  "Debug commands ENABLED\n",
                  systbl,
                  "Tables in flash memory require updating.  Abort anyway? [n]: n\n",
                  Dir_Head("PELLAR", "BENCHTOP1") + Dir_Line("BIG", "---") +
                      Dir_Line("NOVEC", "---"),
                  "Start shutdown ...\nUpdate flash tables ...\nFlash tables OK\n"
                  "Shutdown complete\n",
              }));

    // Only the directory changed (the boot table ended as it was read): the
    // device map goes along for its stamp, boot and system tables stay put.
    auto writes = Requests(r, "write_ram");
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].Num("addr"), 0x20800);
    EXPECT_EQ(writes[1].Num("addr"), 0x21000);

    TABLE_SET want = t;
    want.dir[2].dir_flags = DIR_DELETED;
    want.dir[4].program_mem.start_vector_base = 0x1000;
    want.dir[4].program_mem.start_vector_offset = 0x20;
    memcpy(want.dir[0].program_name_str, "BENCHTOP1", 9);
    EXPECT_EQ(Flash_At(r, BOOT_ADDR + 0x1000, 700), Bytes(want.dir, 700));
    EXPECT_EQ(Flash_At(r, BOOT_ADDR, 26), Bytes(&t.boot, 26));
}

TEST(TablesCommands, BootTableWrittenWithTheConvertedVector)
{
    RIG_RESULT r = Session("init com1\nsetboot big\nexit\n", {}, Image_With(3, Board_With_Programs()));
    ASSERT_TRUE(r.started) << r.error;
    auto writes = Requests(r, "write_ram");
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].Num("addr"), 0x20000);
    // flags 1, segment E801, offset 0000FFF0
    EXPECT_EQ(Flash_At(r, BOOT_ADDR + 4, 8),
              (std::vector<uint8_t>{0x01, 0x00, 0x01, 0xE8, 0xF0, 0xFF, 0x00, 0x00}));
    EXPECT_EQ(Flash_At(r, BOOT_ADDR + 0x1000 + 3 * 70, 1), std::vector<uint8_t>{DIR_IN_USE | DIR_BOOT});
}

TEST(TablesCommands, BoardOptionRebuildsTheMapAndAbortLeavesFlashAlone)
{
    TABLE_SET t = Fresh_Tables(3);
    std::vector<uint8_t> image = Image_With(3, t);
    RIG_RESULT r = Session("init com1\nboard=kestrel\nboard=pellar/kestrel\nmap\nstatus\n"
                           "debug\nstatus\nabort\ny",
                           {}, image);
    ASSERT_TRUE(r.started) << r.error;
    std::string map = Map_Head("PELLAR/KESTREL") +
                      Map_Row("28F800CV-T", "       -", "03FFC000", 16, 10, 11) +
                      Map_Row("28F800CV-T", "       -", "03FFA000", 8, 9, 11) +
                      Map_Row("28F800CV-T", "000F8000", "03FF8000", 8, 8, 11) +
                      Map_Row("28F800CV-T", "000E0000", "03FE0000", 96, 7, 11) +
                      Map_Row("28F800CV-T", "000C0000", "03FC0000", 128, 6, 11) +
                      Map_Row("28F800CV-T", "000A0000", "03FA0000", 128, 5, 11) +
                      Map_Row("28F800CV-T", "00080000", "03F80000", 128, 4, 11) +
                      Map_Row("28F800CV-T", "       -", "03F60000", 128, 3, 11) +
                      Map_Row("28F800CV-T", "       -", "03F40000", 128, 2, 11) +
                      Map_Row("28F800CV-T", "       -", "03F20000", 128, 1, 11) +
                      Map_Row("28F800CV-T", "       -", "03F00000", 128, 0, 11);
    std::string expect_head = Transcript({INIT_OK, "Invalid board name!\n",
                                          "Board set to PELLAR/KESTREL\n", map,
                                          "Invalid command/option STATUS!\n",
                                          "Debug commands ENABLED\n"}, false);
    expect_head.resize(expect_head.size() - END_OF_INPUT.size());
    ASSERT_EQ(r.out.substr(0, expect_head.size()), expect_head);
    std::string rest = r.out.substr(expect_head.size());
    // Five exchanges so far: init and the four table reads.
    EXPECT_NE(rest.find("Comms Status:\n\nSend Msg           =        5\n"), std::string::npos)
        << rest;
    EXPECT_NE(rest.find("Send Bad Stat      =        0\n"), std::string::npos);
    const std::string tail =
        PROMPT + "\nTables in flash memory require updating.  Abort anyway? [n]: y\n\n";
    ASSERT_GE(rest.size(), tail.size());
    EXPECT_EQ(rest.substr(rest.size() - tail.size()), tail);
    EXPECT_TRUE(Requests(r, "write_ram").empty());
    EXPECT_EQ(r.image, image);
}

}  // namespace
