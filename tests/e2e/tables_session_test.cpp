// Transcripts of torvex against the virtual board: bringing the link up, the flash tables read, rebuilt and written
// back, the commands that edit them, what lands in the board's flash, and every way a session ends.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "../unit/hex_text.h"
#include "FLDATA.h"
#include "board_rig.h"

namespace {

const DWORD BOOT_ADDR = 0x03FFA000;  // where the board's monitor keeps the boot table
const DWORD SYS_ADDR = BOOT_ADDR + 0x400, MAP_ADDR = BOOT_ADDR + 0x800, DIR_ADDR = BOOT_ADDR + 0x1000;

struct TABLE_SET { BOOT_ADDRESS_STRUCT boot; SYSTEM_TBL sys; DEVICE_MAP_TBL map; FLASH_DIR_TBL dir; };
typedef std::vector<uint8_t> Bytes;

// The four tables as a rebuild for a board lays them out behind BOOT_ADDR.
TABLE_SET Fresh_Tables(WORD board, WORD map_size = 1224)
{
    TABLE_SET t{};
    t.boot = {0xA1B2C3D4, 0, 0, 0, SYS_ADDR, board, 9600, 1};
    t.sys.tbl_valid = 0xA1B2C3D4;
    t.sys.device_tbl = {0xA1B2C3D4, MAP_ADDR, 0, map_size, 0, 0, 0, 0, 0, 0};
    t.sys.directory_tbl = {0xA1B2C3D4, DIR_ADDR, DIR_ADDR + 699, 700, 700, 0, 0, 0, 0, 0};
    WORD rows = 0;
    const DEVICE_MAP_STRUCT *builtin = Builtin_Device_Map(board, &rows);
    memcpy(t.map, builtin, rows * sizeof(DEVICE_MAP_STRUCT));
    memcpy(t.dir[0].program_name_str, "TARGET", 6);
    return t;
}

void Put_Bytes(Bytes &image, DWORD addr, const void *data, size_t len)
{
    memcpy(image.data() + (addr - (0x04000000 - image.size())), data, len);   // every map ends at 64 M
}

// An erased board with the tables in place.
Bytes Image_With(int board, const TABLE_SET &t)
{
    Bytes image(0x04000000 - Board_Flash_First(board), 0xFF);
    Put_Bytes(image, BOOT_ADDR, &t.boot, sizeof t.boot), Put_Bytes(image, SYS_ADDR, &t.sys, sizeof t.sys);
    Put_Bytes(image, MAP_ADDR, t.map, sizeof t.map), Put_Bytes(image, DIR_ADDR, t.dir, sizeof t.dir);
    return image;
}

// The date in the reprogramming stamp of one block in the board's map.
DWORD Stamp_Date(const RIG_RESULT &r, WORD index)
{
    Bytes b = Flash_At(r, MAP_ADDR + index * 34u + 30, 4);
    return b.size() == 4 ? b[0] | b[1] << 8 | b[2] << 16 | DWORD(b[3]) << 24 : 0;
}

const std::string ON_LINE = "Target system on-line (id = 1, version = 2.51)\n", NOT_ON_LINE = "Target system not on-line!\n";
const std::string REBUILT = "Flash tables INVALID!\nPerforming reinittbls command ...\n8 MBit Boot Block Flash detected "
                            "(x8)\nFlash tables initialized\nInitialization complete\n";
const std::string EXIT_WRITTEN = "Start shutdown ...\nUpdate flash tables ...\nFlash tables OK\nShutdown complete\n";

std::string Init_Head(const std::string &baud, bool verbose = false)
{
    return std::string("Port set to COM1\nVT Port set to COM1\n") + (verbose ? "Start initialization ...\n" : "") +
           "Establish link to target system on COM1 at " + baud + " baud ...\n";
}

// The start of a session, then one prompt and segment per typed line.
std::string Transcript(const std::vector<std::string> &segments)
{
    std::string s = Cli_Start();
    for (const std::string &seg : segments) s += PROMPT + Seg(seg);
    return s;
}

// Board 3's map as tabulated, top block first: 16 K, 8 K, 8 K, 32 K, then 64 K blocks; blocks 12 to 16 have a
// real-mode window; none reprogrammed.
std::string Board3_Map()
{
    std::string s = "Flash device map of PELLAR board (TARGET system):\n\n"
                    "              Real Mode  Prot Mode    Block  Blk  Tot  Program           Prog \n"
                    "Device        Address    Address       Size  Num  Blk  Date/Time         Count\n";
    for (int n : {12, 8, 8, 7, 3, 3, 14}) s += Rule_Run(n) + (n == 8 ? "   " : "  ");
    s += Rule_Run(7) + "\n";
    for (unsigned n = 18; n <= 18; n--) {
        DWORD prot = n == 18 ? 0x03FFC000 : n == 17 ? BOOT_ADDR : n == 16 ? 0x03FF8000 : 0x03F00000 + n * 0x10000;
        char real[9] = "-", line[160];
        if (n >= 12 && n <= 16) snprintf(real, sizeof real, "%08lX", (unsigned long)(prot - 0x03F00000));
        snprintf(line, sizeof line, "29LV800T      %8s   %08lX   %6uK  %3u  %3u  -                     0\n", real,
                 (unsigned long)prot, n == 18 ? 16 : n >= 16 ? 8 : n == 15 ? 32 : 64, n == 18 ? 34 : n, n == 18 ? 35 : 18);
        s += line;
    }
    return s;
}

TEST(TablesE2e, BlankBoardRebuiltWrittenAtExitThenReadBackUnchanged)
{
    DWORD before = DWORD(time(nullptr));
    RIG_RESULT r = Run_Typed("init com1 ; map\nmap\nexit\n");
    // Init fails (the tables were invalid), so the rest of its line is skipped, but the link stays up and map runs on
    // the next line.
    EXPECT_EQ(r.out, Transcript({Init_Head("9600") + ON_LINE + REBUILT + "Not run: MAP\n", Board3_Map(),
                                 EXIT_WRITTEN}));
    // All four tables patched into one save / erase / program of the block.
    EXPECT_TRUE(Sent(r, "write_ram") == 4 && Sent(r, "copy_ram") == 1 && Sent(r, "erase_flash") == 1 &&
                Sent(r, "program_flash") == 1);
    // The flash holds the tables and nothing else; the table block is stamped.
    TABLE_SET t = Fresh_Tables(3);
    DWORD stamp = Stamp_Date(r, 17);
    EXPECT_GE(stamp, before);
    t.map[17].reprogram_count = 1, t.map[17].reprogram_date_time = stamp;
    EXPECT_EQ(r.image, Image_With(3, t));
    // Second session, at 38400 against the board at 9600: the first inits reach the board as garbage, the one at 9600
    // is refused twice (resent with its number) and answered, then the board is moved up; the tables are read back
    // and nothing is written (the flash unchanged), and goodbye returns the board to 9600.
    RIG_RESULT r2 = Run_Typed("log=v\nbaud=38400\ninit com1\nexit\n", {"--nak-first", "2"}, r.image);
    EXPECT_EQ(r2.out,
              Transcript({"Log level set to VERBOSE\n", "Baud rate set to 38400\n",
                          Init_Head("38.4K", true) + "Re-synch with target system at 9600 baud ...\n"
                              "Change host/target baud to 38.4K ...\nChange baud OK\n" + ON_LINE +
                              "Read flash tables ...\nFlash tables OK\nInitialization complete\n",
                          "Start shutdown ...\nProcess flash tables ...\nFlash tables not changed\n"
                          "Shutdown communications link ...\nShutdown complete\n"}));
    auto naks = Events(r2.trace, "tx_nak"), bauds = Events(r2.trace, "baud");
    EXPECT_TRUE(naks.size() == 2 && naks[0].Num("seq") == naks[1].Num("seq") && !Events(r2.trace, "garbage").empty());
    EXPECT_TRUE(bauds.size() == 2 && bauds[1].Num("to") == 9600 && Sent(r2, "change_baud") == 1);
    EXPECT_TRUE(r2.image == r.image && Sent(r2, "write_ram") == 0);
}

// Each model's flash is detected, its whole map kept and written into its flash; getid names its part (board 3: the
// blank-board test).
TEST(TablesE2e, EachBoardModelGetsItsOwnMapInItsFlash)
{
    const struct { int board; const char *detected, *device, *id; size_t blocks; WORD table_block; } boards[] = {
        {1, "4 MBit Boot Block Flash detected (x16)\n", "28F400CV-T", "0x0089, Device ID = 0x0070", 7, 5},
        {2, "8 MBit Boot Block Flash detected (x16)\n", "28F800CV-T", "0x0089, Device ID = 0x009C", 11, 9},
        {4, "16 MBit Boot Block Flash detected (x8)\n", "29LV160T", "0x0101, Device ID = 0x00C4", 35, 33}};
    for (const auto &c : boards) {
        SCOPED_TRACE(c.board);
        RIG_RESULT r = Run_Typed("baud=38400\ninit com1\nmap\ndebug\ngetid 3ffa000\nexit\n",
                                 {"--board", std::to_string(c.board), "--baud", "38400"});
        EXPECT_NE(r.out.find(c.detected), std::string::npos);
        EXPECT_EQ(Count(r.out, c.device), c.blocks);  // the host keeps the whole map
        EXPECT_EQ(Count(r.out, PROMPT + Seg("Device Manufacturers Code = " + std::string(c.id) + "\n")), 1u) << r.out;
        // Already at the host's rate: one init, no change.
        EXPECT_TRUE(Sent(r, "init") == 1 && Sent(r, "change_baud") == 0);
        TABLE_SET t = Fresh_Tables(WORD(c.board));
        t.map[c.table_block].reprogram_count = 1, t.map[c.table_block].reprogram_date_time = Stamp_Date(r, c.table_block);
        EXPECT_EQ(r.image, Image_With(c.board, t));
    }
}

// An old monitor keeps 20 map entries, so board 4's table block (entry 33) is never in the map read back: the host
// completes its copy from the built-in map, keeps tables and programs across sessions and programs above entry 19. A
// full-flash image is refused before anything is sent; the directory survives.
TEST(TablesE2e, OldMonitorOnBoard4KeepsItsTablesAcrossSessionsAndAFullFlashImageIsRefused)
{
    const std::vector<std::string> old = {"--board", "4", "--monitor-version", "0240"};
    const std::map<std::string, std::string> files = {
        {"app.bin", "app"}, {"two.bin", "two"}, {"full.bin", std::string(0x200000, 'f')}};
    RIG_RESULT r = Run_Typed("init com1\nprogram app.bin addr=3e00000\nprogram full addr=3e00000\nexit\n", old, {}, files);
    EXPECT_NE(r.out.find("Program would overwrite the flash tables at 0x03FFA000-0x03FFA019!\n"), std::string::npos);
    EXPECT_EQ(Sent(r, "erase_flash"), 2u);  // APP's block and the table block
    TABLE_SET t = Fresh_Tables(4, 680);  // the rebuilt map is written cut to 20 entries, its size 680
    memset(&t.map[20], 0xFF, 16 * sizeof(DEVICE_MAP_STRUCT));
    t.map[0].reprogram_count = 1, t.map[0].reprogram_date_time = Stamp_Date(r, 0);  // APP's block
    Bytes want = Image_With(4, t);  // boot, system and device tables
    EXPECT_EQ(Flash_At(r, BOOT_ADDR, 0x1000), Bytes(want.end() - 0x6000, want.end() - 0x5000));
    RIG_RESULT r2 = Run_Typed("init com1\nmap\nprogram two.bin addr=3f40000\nsystem=new\nexit\n", old, r.image, files);
    EXPECT_NE(r2.out.find("Flash tables OK\nInitialization complete\n"), std::string::npos) << r2.out;
    EXPECT_EQ(Count(r2.out, "29LV160T"), 35u + 1);  // the whole map, then TWO's block
    EXPECT_NE(r2.out.find(EXIT_WRITTEN), std::string::npos) << r2.out;
    Bytes dir = Flash_At(r2, DIR_ADDR, 700);
    dir.resize(700);  // entry n's name at 70 n + 1, zero-filled to 9 bytes
    EXPECT_EQ(std::string(&dir[1], &dir[5]) + std::string(&dir[141], &dir[145]) + std::string(&dir[211], &dir[215]),
              std::string("NEW\0APP\0TWO\0", 12));
    EXPECT_EQ(Flash_At(r2, 0x03F40000, 3), Bytes({'t', 'w', 'o'}));
}

void Put_Program(FLASH_DIR_ENTRY_STRUCT &e, const char *name, WORD base, DWORD offset)
{
    e.dir_flags = DIR_IN_USE;
    snprintf(e.program_name_str, sizeof e.program_name_str, "%s", name);
    memcpy(e.group_name_str, "TOOLS", 5), memcpy(e.version_str, "1.0", 3);
    e.program_mem = {0, 0x000C0000, 0x000C0FFF, 0x1000, 3000, 0x1234, 1, 0, base, offset};
}

std::string Dir_Listing(const std::vector<std::string> &names_flags)
{
    std::string s = "Flash directory of PELLAR board (TARGET system):\n\n"
                    "                             File/Program    Strt/End  Log/Phy              \n"
                    "Name      Group       Ver    Date/Time       Address      Size  Flg  Checksum\n";
    for (int n : {8, 10, 5, 14, 8, 7, 3}) s += Rule_Run(n) + "  ";
    s += Rule_Run(8) + "\n";
    for (size_t i = 0; i + 1 < names_flags.size(); i += 2) {
        char line[200];
        snprintf(line, sizeof line,
                 "%-8s  TOOLS       1.0    -               000C0000     3000  %s  00001234\n"
                 "                             -               000C0FFF     4096\n\n",
                 names_flags[i].c_str(), names_flags[i + 1].c_str());
        s += line;
    }
    return s;
}

TEST(TablesE2e, BootProgramDirectoryAndSystemNameReachTheBoard)
{
    // Board 3 with APP (start F000:0100), BIG (a linear start) and NOVEC (none).
    TABLE_SET t = Fresh_Tables(3);
    Put_Program(t.dir[2], "APP", 0xF000, 0x0100);
    Put_Program(t.dir[3], "BIG", 0x0000, 0x000F8000);
    Put_Program(t.dir[4], "NOVEC", 0, 0);
    RIG_RESULT r = Run_Typed("init com1\nsetboot app\nsetboot big\nsetboot novec\ndir\n"
                           "vector=1000:20\nsetboot novec\nnoboot\nsetboot app ; delete app\n"
                           "vector=f000:0\nsystem=benchtop1\ndebug\nsystbl\n"
                           "setboot big\nabort\nn\n"  // the answer is a line of its own
                           "exit\n",
                           {}, Image_With(3, t));
    const std::string set_big = "Program name set to BIG\nWARNING!  Boot program start vector adjusted from linear "
        "address 0000:000F8000\n          to real-mode address E801:FFF0\nBoot program set to BIG (start vector = E801:FFF0)\n";
    const std::string set_app = "Program name set to APP\nBoot program set to APP (start vector = F000:0100)\n";
    const std::string systbl = "System Tables:\n\n"
        "Boot Valid         = 0xA1B2C3D4\nBoot Addr          = 0x03FFA000\nBoot Size          = 0x0000001A (26)\n"
        "Boot Flags         = 0x00\nBoot Vector        = 0x0000:0x00000000\nBoot Board Id      = 3\n"
        "Boot Baud          = 9600\nBoot Tbl Ver       = 1\n\n"
        "System Valid       = 0xA1B2C3D4\nSystem Addr        = 0x03FFA400\nSystem Size        = 0x00000076 (118)\n\n"
        "Device Valid       = 0xA1B2C3D4\nDevice Addr        = 0x03FFA800\nDevice Size        = 0x000004C8 (1224)\n\n"
        "Directory Valid    = 0xA1B2C3D4\nDirectory Addr     = 0x03FFB000\nDirectory Size     = 0x000002BC (700)\n";
    // A setboot without a vector still moves the mark; noboot and deleting the boot program clear the boot table
    // (systbl).
    EXPECT_EQ(r.out,
              Transcript({Init_Head("9600") + ON_LINE + "Flash tables OK\nInitialization complete\n",
                          set_app, set_big,
                          "Program name set to NOVEC\nNo start vector available for program NOVEC\n",
                          Dir_Listing({"APP", "---", "BIG", "---", "NOVEC", "B1-"}),
                          "Program NOVEC start vector set to 1000:0020\n",
                          "Program name set to NOVEC\nBoot program set to NOVEC (start vector = 1000:0020)\n",
                          "Boot program set to NONE\n",
                          set_app + "\nProgram name set to APP\nProgram APP deleted\n",
                          "Program APP not found in directory!\n", "System name set to BENCHTOP1\n",
                          "Debug commands ENABLED\n", systbl, set_big,
                          "Tables in flash memory require updating.  Abort anyway? [n]: n\n", EXIT_WRITTEN}));
    // The console: nothing to boot at the start; at exit's shutdown the board starts BIG.
    const std::string banner = "\r\nBoot monitor V2.51 - flash 03F00000-03FFFFFF\r\n";
    EXPECT_EQ(r.console, banner + "No boot program set\r\n" + banner + "Starting boot program BIG at E801:FFF0 (directory entry 3)\r\n");
    // The system table is as read and stays put; the device map goes along for the table block's stamp.
    EXPECT_EQ(Sent(r, "write_ram"), 3u);
    t.boot = {0xA1B2C3D4, 1, 0xE801, 0xFFF0, SYS_ADDR, 3, 9600, 1};
    t.dir[2].dir_flags = DIR_DELETED, t.dir[3].dir_flags = DIR_IN_USE | DIR_BOOT;
    t.dir[4].program_mem.start_vector_base = 0x1000, t.dir[4].program_mem.start_vector_offset = 0x20;
    memcpy(t.dir[0].program_name_str, "BENCHTOP1", 9);
    t.map[17].reprogram_count = 1, t.map[17].reprogram_date_time = Stamp_Date(r, 17);
    EXPECT_EQ(r.image, Image_With(3, t));
}

// On a blank board whose line is paced: Ctrl-C in the download of a 4 K hex file aborts that command only, Ctrl-C at
// the prompt says how to leave; then SIGTERM, SIGHUP or a closed output end the session as exit does (the rebuilt
// tables written), and a second signal in that shutdown ends it at once. Every way out puts the line back and leaves
// no temporary file.
TEST(SessionEnd, SignalsAndLostOutputWriteTheTablesAndRestoreTheLine)
{
    std::string hex = Hex_Record(2, 0, {0xD0, 0x00});
    for (WORD at = 0; at < 0x1000; at += 32) hex += Hex_Record(0, at, std::vector<BYTE>(32, BYTE(at >> 5)));
    const std::string hint = "\nType exit to leave (changed flash tables are written) or abort (they are not)\n";
    const struct { int sig; bool twice, lose_output; } ends[] = {
        {SIGTERM, false, false}, {SIGHUP, false, false}, {SIGTERM, true, false}, {0, false, true}};
    for (const auto &e : ends) {
        SCOPED_TRACE(e.sig + 100 * e.twice);
        RIG_SETUP s;
        s.board_args = {"--pace", "--baud", "38400"};
        s.files["big.hex"] = hex + HEX_END;
        s.stdin_text = "baud=38400\ninit com1\nprogram big\ndir\n";
        s.keep_stdin_open = true;
        s.events = {{"Process flash blocks ...\n", SIGINT}, {"Name      Group", SIGINT},
                    {hint + PROMPT, e.sig, e.lose_output, e.lose_output ? "dir\n" : ""}};
        if (e.twice) s.events.push_back({"Start shutdown ...\n", SIGTERM});
        RIG_RESULT r = Run_Session(s);
        EXPECT_NE(r.out.find("User aborted command\n\n\nFLASH CMD: \nFlash directory"), std::string::npos) << r.out;
        EXPECT_TRUE(r.exit_code == 2 && r.link_restored);
        for (const std::string &f : r.files_after) EXPECT_EQ(f.find(".~~~"), std::string::npos);
        const std::string ending = hint + PROMPT + "\n" + (e.sig == SIGHUP ? "SIGHUP" : "SIGTERM") +
                                   ": ending the session\n" + (e.twice ? "Start shutdown ...\n\nEnded at once: "
                                   "flash table changes not yet written are lost\n" : EXIT_WRITTEN);
        EXPECT_TRUE(e.lose_output || r.out.find(ending) != std::string::npos);
        if (e.twice) continue;
        // The table block only.
        EXPECT_TRUE(Flash_At(r, BOOT_ADDR, 4) == Bytes({0xD4, 0xC3, 0xB2, 0xA1}) && Sent(r, "program_flash") == 1);
    }
}

// Tables that fail a check when read, lie outside their block, were never read or never came (a silent board) are
// never written: exit is refused (or the link is down), abort leaves them, and the flash stays as it was. Each failed
// check is said at verbose after the table reads up to it, and the tables are rebuilt; a table read that fails on the
// link takes the link down; a silent board is reported once with advice. A shutdown that fails after the tables were
// written says so.
TEST(SessionEnd, TablesThatCannotBeWrittenSafelyStayUnwritten)
{
    TABLE_SET t = Fresh_Tables(3);
    Put_Program(t.dir[2], "KEEP", 0xF000, 0x0100);
    const Bytes kept = Image_With(3, t);
    t.sys.directory_tbl.first_phys_addr = 0x03FFC000;   // in the 16 K block above the table block
    Bytes apart = Image_With(3, t);
    Put_Bytes(apart, 0x03FFC000, t.dir, sizeof t.dir);
    const std::string outside = Seg("Start shutdown ...\nFlash table at 0x03FFC000 (700 bytes) lies outside its "
                                    "flash block at 0x03FFA000 - tables not written\n");
    struct CASE { std::vector<std::string> board; Bytes image; std::string in, said; size_t reads; };
    std::vector<CASE> cases = {
        {{}, apart, "init com1\nboard=kestrel\nboard=pellar\nsystem=other\nexit\nshutdown\nabort\ny\n",
         PROMPT + Seg("Invalid board name!\n") + PROMPT + Seg("Board set to PELLAR\n") + PROMPT +
             Seg("System name set to OTHER\n") + PROMPT + outside + PROMPT + outside + PROMPT + "\nTables in flash memory", 4},
        {{"--fail", "read_ram:4"}, kept, "init com1\nprogram app ; exit\nexit\n",
         ON_LINE + "\nOperation FAILED!  Target system not responding\n\nFlash tables not read: link taken down, "
                   "perform init command again\n\n" + PROMPT + Seg(NOT_ON_LINE + "Not run: EXIT\n") + PROMPT + "\n\n", 4},
        {{"--silent"}, Bytes(0x100000, 0xFF), "log=v\nbaud=38400\ninit\ninit com1\nsystem=bench\nmap\n",
         PROMPT + Seg("Target comms port not specified!\n") + PROMPT + Seg(Init_Head("38.4K", true) + "Re-synch with "
             "target system at 9600 baud ...\n\nInitialize host/target comms FAILED!  Target system not responding\n\n"
             "Reset target system and perform init command again\n") + PROMPT + Seg(NOT_ON_LINE) + PROMPT +
             Seg(NOT_ON_LINE) + PROMPT + "\n", 0}};
    // The spoilt word's address and value, and the table reads up to the check.
    const struct { const char *why; DWORD addr, value; size_t reads; } spoilt[] = {
        {"Boot table flag not found\n", BOOT_ADDR, 0, 1}, {"Invalid tables version\n", BOOT_ADDR + 22, 2, 1},
        {"System table flag not found\n", SYS_ADDR, 0x12345678, 2}, {"Device table flag not found\n", SYS_ADDR + 42, 0, 3},
        {"Directory table flag not found\n", SYS_ADDR + 80, 0xFFFFFFFF, 4}};
    for (const auto &c : spoilt) {
        cases.push_back({{}, kept, "log=v\ninit com1\nabort\ny\n", PROMPT + Seg(Init_Head("9600", true) + ON_LINE +
                         "Read flash tables ...\n" + c.why + REBUILT) + PROMPT + "\nTables in flash memory", c.reads});
        Put_Bytes(cases.back().image, c.addr, &c.value, 4);
    }
    for (const auto &c : cases) {
        RIG_RESULT r = Run_Typed(c.in, c.board, c.image);
        EXPECT_NE(r.out.find(c.said), std::string::npos) << r.out;
        EXPECT_EQ(Sent(r, "read_ram"), c.reads) << r.out;
        EXPECT_EQ(Sent(r, "write_ram") + Sent(r, "erase_flash") + Sent(r, "shutdown"), 0u);
        EXPECT_TRUE(r.exit_code == 1 && r.image == c.image && r.link_restored);
    }
    RIG_RESULT r = Run_Typed("init com1\nsystem=new\n", {"--fail", "shutdown"}, kept);
    EXPECT_NE(r.out.find("End of input: flash tables up to date on the target, but the link was not shut down\n"),
              std::string::npos);
    // The names of directory entries 0 and 2.
    EXPECT_TRUE(Flash_At(r, DIR_ADDR + 1, 4) == Bytes({'N', 'E', 'W', 0}) && r.link_restored);
    EXPECT_EQ(Flash_At(r, DIR_ADDR + 141, 5), Bytes({'K', 'E', 'E', 'P', 0}));
}

// The board hangs up while TORVEX waits for the answer to an erase (an allowance of two minutes) or during an echo
// test: told once, no CPU burnt, the target off-line, exit at once.
TEST(SessionEnd, HangUpEndsTheExchangeAtOnceAndTakesTheTargetOffLine)
{
    const std::string tail = "\nOperation FAILED!  Failure ReadComm\n\nTarget system off-line: perform init "
                             "command again\nFlash tables NOT written to the target!\n\nFLASH CMD: \n"
                             "Target system not on-line!\n\nFLASH CMD: \n\n";
    struct { const char *command, *typed, *score; } cases[] = {
        {"erase_flash", "init com1\nprogram hello\n", ""},
        {"write_ram", "debug\ninit com1\necho 16 0\n",
         "Write/Read ...  Count: 1        Mismatch: 0     Errors: 1     Status: 00FB\n"},
    };
    auto cpu = [] { struct rusage u; getrusage(RUSAGE_CHILDREN, &u);
                    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6; };
    for (const auto &c : cases) {
        RIG_SETUP s;
        s.files["hello.hex"] = Read_Source_File("examples/hello.hex");
        s.board_args = {"--hang-up-on", c.command}, s.stdin_text = c.typed + std::string("dir\nexit\n"), s.timeout_ms = 10000;
        double cpu_before = cpu();  // TORVEX's and the board's
        RIG_RESULT r = Run_Session(s);
        EXPECT_LT(cpu() - cpu_before, 1.0);
        ASSERT_TRUE(r.started && !r.timed_out) << r.error << r.out;
        size_t at = std::min(r.out.find("/com1) hung up"), r.out.size());
        EXPECT_EQ(r.out.substr(at), "/com1) hung up: Input/output error\n" + (c.score + tail));
    }
}


}  // namespace
