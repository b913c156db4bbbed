// Sessions that change the board's flash, checked byte for byte. Board 3 unless said: flash from
// 0x03F00000, real mode 0xC0000 at 0x03FC0000, the tables block at 0x03FFA000.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <ctime>
#include <numeric>

#include "../unit/hex_text.h"
#include "FLDATA.h"
#include "board_rig.h"

namespace {

const DWORD FLASH = 0x03F00000, BOOT_ADDR = 0x03FFA000; // where the monitor keeps the boot table
const DWORD SYS_ADDR = BOOT_ADDR + 0x400, MAP_ADDR = BOOT_ADDR + 0x800,
            DIR_ADDR = BOOT_ADDR + 0x1000;
const Bytes TABLES_MAGIC = {0xD4, 0xC3, 0xB2, 0xA1};

Bytes Pattern(size_t n, unsigned seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = (uint8_t)((i * 2654435761u + seed * 40503u) >> 13);
    return b;
}

std::string Str(const Bytes &b)
{
    return std::string(b.begin(), b.end());
}

// The sum of the parts' bytes in hex, as a directory entry's checksum.
std::string Sum_Hex(const std::vector<Bytes> &parts)
{
    unsigned sum = 0;
    for (const Bytes &b : parts) sum = std::accumulate(b.begin(), b.end(), sum);
    char s[16];
    snprintf(s, sizeof s, "%X", sum);
    return s;
}

// A hex file of a raw image at addr, made by GNU objcopy or by srecord (records of 255 bytes).
std::string Tool_Hex(const Bytes &image, uint32_t addr, bool srec_cat = false)
{
    Scratch_Dir d;
    d.write("i.bin", Str(image));
    const std::string at = std::to_string(addr), in = d.file("i.bin"), out = d.file("i.hex");
    const std::string cmd =
        srec_cat ? "srec_cat " + in + " -binary -offset " + at + " -o " + out + " -intel -obs=255"
                 : "objcopy -I binary -O ihex " + in + " --change-addresses " + at + " " + out;
    EXPECT_EQ(system(cmd.c_str()), 0) << cmd;
    std::ifstream hex(out);
    return {std::istreambuf_iterator<char>(hex), {}};
}

// One line per program; date "now" within an hour; a phys_size not spanning the range marked.
std::string Directory(const RIG_RESULT &r)
{
    FLASH_DIR_TBL dir;
    Bytes raw = Flash_At(r, DIR_ADDR, sizeof dir);
    if (raw.size() != sizeof dir) return "no tables";
    memcpy(&dir, raw.data(), sizeof dir);
    std::string out;
    for (int i = FIRST_PROG_DIR_ENTRY; i < MAX_DIR_ENTRIES; i++) {
        const FLASH_DIR_ENTRY_STRUCT &e = dir[i];
        const auto &m = e.program_mem;
        char b[200];
        bool now = std::llabs((long long)e.file_date_time - (long long)time(nullptr)) < 3600;
        bool spans = m.phys_size == m.last_phys_addr - m.first_phys_addr + 1;
        snprintf(b, sizeof b, "%s %s %s %X-%X%s %X %X %X:%X %s\n", e.program_name_str,
                 e.group_name_str, e.version_str, m.first_phys_addr, m.last_phys_addr,
                 spans ? "" : "(phys_size?)", m.logical_len, m.checksum, m.start_vector_base,
                 m.start_vector_offset, now ? "now" : "old");
        if (e.dir_flags & DIR_IN_USE) out += b;
    }
    return out;
}

// "erases/block:bytes" per block programmed (tables aside), counted since the block before.
std::string Programmed(const RIG_RESULT &r)
{
    std::string out;
    long long bytes = 0, erases = 0;
    char b[40];
    for (const TRACE_EVENT &e : r.trace) {
        if (e.Is("rx_frame") && e.Str("name") == "write_ram") bytes += e.Num("len");
        erases += e.Is("erase");
        if (!e.Is("program") || e.Num("block") == BOOT_ADDR) continue;
        snprintf(b, sizeof b, "%lld/%llX:%llX ", erases, e.Num("block"), bytes);
        out += b;
        bytes = erases = 0;
    }
    return out;
}

// The first address where the flash differs from the model, outside the tables block.
std::string Flash_Mismatch(const RIG_RESULT &r, const Bytes &model)
{
    if (r.image.size() != model.size()) return "image size " + std::to_string(r.image.size());
    for (uint32_t i = 0; i < model.size(); i++)
        if (r.image[i] != model[i] && (FLASH + i < BOOT_ADDR || FLASH + i >= BOOT_ADDR + 0x2000))
            return "at " + std::to_string(FLASH + i);
    return "";
}

// The output from the first `start` up to the next prompt.
std::string Up_To_Prompt(const std::string &out, const std::string &start)
{
    size_t from = std::min(out.find(start), out.size());
    return out.substr(from, out.find(PROMPT, from) - from);
}

struct TABLE_SET {
    BOOT_ADDRESS_STRUCT boot;
    SYSTEM_TBL sys;
    DEVICE_MAP_TBL map;
    FLASH_DIR_TBL dir;
};

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

// Every map ends at 64 M.
void Put_Bytes(Bytes &image, DWORD addr, const void *data, size_t len)
{
    memcpy(image.data() + (addr - (0x04000000 - image.size())), data, len);
}

// An erased board (512 K, 1 M, 1 M or 2 M of flash) with the tables in place.
Bytes Image_With(int board, const TABLE_SET &t)
{
    Bytes image(board == 1 ? 0x80000 : board == 4 ? 0x200000 : 0x100000, 0xFF);
    Put_Bytes(image, BOOT_ADDR, &t.boot, sizeof t.boot);
    Put_Bytes(image, SYS_ADDR, &t.sys, sizeof t.sys);
    Put_Bytes(image, MAP_ADDR, t.map, sizeof t.map);
    Put_Bytes(image, DIR_ADDR, t.dir, sizeof t.dir);
    return image;
}

void Put_Program(FLASH_DIR_ENTRY_STRUCT &e, const char *name, WORD base, DWORD offset)
{
    e.dir_flags = DIR_IN_USE;
    snprintf(e.program_name_str, sizeof e.program_name_str, "%s", name);
    memcpy(e.group_name_str, "TOOLS", 5);
    memcpy(e.version_str, "1.0", 3);
    e.program_mem = {0, 0x000C0000, 0x000C0FFF, 0x1000, 3000, 0x1234, 1, 0, base, offset};
}

// The block's map entry stamped as reprogrammed once, at the date the board's flash holds.
void Stamp(TABLE_SET &t, const RIG_RESULT &r, WORD index)
{
    Bytes b = Flash_At(r, MAP_ADDR + index * 34u + 30, 4);
    t.map[index].reprogram_count = 1;
    t.map[index].reprogram_date_time =
        b.size() == 4 ? b[0] | b[1] << 8 | b[2] << 16 | DWORD(b[3]) << 24 : 0;
}

// What the session of FilesLandByteForByteWithTheirDirectoryEntries says once each.
const char *const LANDED_SAID[] = {
    "Flash erasure complete\n",
    "\nWrite WA from 0x00020100 to 0x0002017F ...   Size: 128   \n",
    "\nWrite WA from 0x00028000 to 0x000280BF ...   Size: 192   \n",
    "WARNING!  Hex segments #1 and #2 overlap at 0x000E0140-0x000E014F: #2 is programmed "
    "over #1\n",
    "\nDownload segment from 0x03EFFD00 to 0x03F000FF (1024 bytes)\n"
    "   using device  from 0x03F00000 to 0x03F0FFFF (65536 bytes)\n"
    "Adjusted start addr   0x03F00000 to 0x03F000FF (256 bytes)\n"
    "\nWrite WA from 0x00020000 to 0x000200FF ...   Size: 256   \n",
    "Download ...  Addr: 000CFC00 - 000CFFFF   Size: 1024     Total: 4096 of 8192 "
    "(50%)\nProgram 29LV800T",
    "\nOperation FAILED!  User aborted command\n\n"};

// Each block erased and programmed once, each byte sent once, entries summing what landed.
TEST(Program, FilesLandByteForByteWithTheirDirectoryEntries)
{
    Scratch_Dir outside;
    const Bytes span = Pattern(0x2000, 2), app = Pattern(3000, 1);
    const Bytes low = Pattern(0x80, 3), high = Pattern(0xC0, 4), over = Pattern(0x10, 10),
                edge = Pattern(0x2000, 5), kept(edge.begin() + 0xF00, edge.end());
    outside.write("span.bin", Str(span));
    // Segments in one block, the highest first, the last one over the middle of another.
    const std::string two = Hex_Record(4, 0, {0, 14}) + Hex_Record(0, 0x8000, high) +
                            Hex_Record(0, 0x100, low) + Hex_Record(0, 0x140, over) + HEX_END;
    std::map<std::string, std::string> files = {{"app.hex", Tool_Hex(app, 0xC0000)},
                                                {"edge.bin", Str(edge)},
                                                {"two.hex", two},
                                                {"big.bin", Str(Pattern(0x8000, 8))},
                                                {"old.bin", "old"}};
    std::string lines = "init com1\nprogram old.bin addr=3f70000\ndebug\neraseall\n"
                        "program app gr=tools ver=1.2\nprogram " +
                        outside.file("span.bin") +
                        " addr=cf000\nlog=download\nprogram two\nprogram edge.bin addr=3eff100\n"
                        "log=normal\nprogram big.bin addr=3f80000\n\x1b";
    for (int i = 5; i <= 8; i++) {
        files["p" + std::to_string(i) + ".bin"] = std::string(0x40, (char)i);
        lines += "program p" + std::to_string(i) + ".bin addr=3f90" + std::to_string(i) + "00\n";
    }
    Bytes model(0x100000, 0xFF); // after eraseall; the board starts all zero
    RIG_RESULT r = Run_Typed(lines, {}, Bytes(model.size(), 0), files);
    for (const char *said : LANDED_SAID)
        EXPECT_EQ(Count(r.out, said), 1u) << said << "\n--- in ---\n" << r.out;
    EXPECT_EQ(Count(r.out, "Flash programming complete"), 9u);
    // Into a pipe nothing is rewritten: one progress line per block programmed, with its share.
    EXPECT_TRUE(Count(r.out, "Download ...") == 10 && r.out.find('\r') == std::string::npos);
    // eraseall erases all 19 blocks (and forgets OLD), then each program erases and programs each
    // of its blocks once and sends each byte once.
    EXPECT_EQ(Programmed(r), "1/3F70000:3 20/3FC0000:BB8 1/3FC0000:1000 1/3FD0000:1000 "
                             "1/3FE0000:150 1/3F00000:1100 1/3F90000:40 1/3F90000:40 "
                             "1/3F90000:40 1/3F90000:40 ");
    for (int i = 5; i <= 8; i++) std::fill_n(model.begin() + 0x90000 + i * 0x100, 0x40, i);
    const std::pair<uint32_t, Bytes> placed[] = {{0xC0000, app},  {0xCF000, span}, {0xE0100, low},
                                                 {0xE0140, over}, {0xE8000, high}, {0, kept}};
    for (const auto &[at, b] : placed) std::copy(b.begin(), b.end(), model.begin() + at);
    EXPECT_EQ(Flash_Mismatch(r, model), "");
    const std::string rest = " 0:0 now\n", p = " TOOLS 1.2 3F90";
    EXPECT_EQ(Directory(r),
              "APP TOOLS 1.2 C0000-C0BB7 BB8 " + Sum_Hex({app}) +
                  " C000:0 now\nSPAN TOOLS 1.2 CF000-D0FFF 2000 " + Sum_Hex({span}) + rest +
                  "TWO TOOLS 1.2 E0100-E80BF 150 " + Sum_Hex({low, high, over}) + rest +
                  "EDGE TOOLS 1.2 3F00000-3F010FF 1100 " + Sum_Hex({kept}) + rest + "P5" + p +
                  "500-3F9053F 40 140" + rest + "P6" + p + "600-3F9063F 40 180" + rest + "P7" + p +
                  "700-3F9073F 40 1C0" + rest + "P8" + p + "800-3F9083F 40 200" + rest);
}

// Refusals said once before anything is sent; checkhex shows segments; no segment file left.
TEST(Program, RefusedFilesSendNothingAndLeaveNoSegmentFiles)
{
    TABLE_SET t = Fresh_Tables(3);
    for (int i = FIRST_PROG_DIR_ENTRY; i < MAX_DIR_ENTRIES; i++)
        Put_Program(t.dir[i], ("P" + std::to_string(i)).c_str(), 0, 0);
    Put_Program(t.dir[2], "APP", 0, 0);
    std::string many;
    for (int i = 0; i < 21; i++) many += Hex_Record(0, (WORD)(i * 0x10), {0xAA});
    const std::map<std::string, std::string> files = {
        {"prot.hex", Tool_Hex(Pattern(200000, 6), 0x3F80000, true)},
        {"Boot.Bin", std::string(1000, 'b')},
        {"many.hex", many + HEX_END},
        {"app.hex", Tool_Hex(Pattern(3000, 1), 0xC0000)},
        {"bad.hex",
         Hex_Record(4, 0, {3, 0xF9}) + Hex_Record(0, 0x100, {1}) + ":02010000ABCD00\n" + HEX_END},
        {"void.bin", Str(Pattern(100, 7))},
        {"p10.bin", "p10"}};
    const Bytes image = Image_With(3, t);
    RIG_RESULT r = Run_Typed("init com1\nprogram p10.bin addr=3f90000\ndelete p9\ncheckhex many\n"
                             "program bad\nprogram void.bin addr=200000\nprogram app\n"
                             "checkhex prot.hex\ncheckhex boot.bin addr=8000\ndos\nls\n",
                             {}, image, files);
    for (const char *said :
         {"\nOperation FAILED!  Hex file segment limit exceeded\n\n",
          "\nOperation FAILED!  Invalid checksum in hex file at line 3\n\n",
          "\nNo code/data located in flash memory!\n", "Program name already in flash directory!\n",
          "Directory full!\n",
          "Process hex code/data segment #0 from 0x03F80000 to 0x03FB0D3F (200000 bytes)\n",
          "Read ...      Addr: 03F80000 - 03FB0D3F   Size: 200000   Total: 200000 (100% of file)\n",
          "Process binary code/data segment from 0x00008000 to 0x000083E7 (1000 bytes)\n"})
        EXPECT_EQ(Count(r.out, said), 1u) << said << "\n--- in ---\n" << r.out;
    EXPECT_EQ(Count(r.out, "code/data segment"), 2u); // checkhex shows them at log level debug
    EXPECT_EQ(Count(r.out, "FAILED"), 2u) << r.out;
    // The shell's ls ran before the clean-up at exit.
    EXPECT_TRUE(Count(r.out, "many.hex") == 1 && Count(r.out, "seg0") == 0) << r.out;
    EXPECT_EQ(Programmed(r), ""); // only the tables, at the end of input
    EXPECT_EQ(Sent(r, "erase_flash"), 1u);
}

// verify=on catches the board's flash fault at 0x03FE8010; verify=off reports success over it.
TEST(Program, OverlapsAreRefusedAndVerifyCatchesAFlashFault)
{
    Bytes table = Pattern(20000, 10), app = Pattern(3000, 1), model(0x100000, 0xFF);
    const std::map<std::string, std::string> files = {
        {"table.bin", Str(table)},          {"myapp.bin", "x"},
        {"myapp.hex", Tool_Hex({1}, 0)},    {"boot.bin", std::string(26, 0)},
        {"bad.bin", std::string(0x100, 0)}, {"app.hex", Tool_Hex(app, 0xC0000)}};
    RIG_RESULT r = Run_Typed(
        "init com1\nprogram table.bin addr=d0000\nprogram myapp\nprogram boot.bin addr=3ffa000\n"
        "delete table ; program table addr=d0000\nprogram bad addr=e8000 verify=on\n"
        "program bad verify=off\nprogram app.hex verify=on\nexit\n",
        {"--flash-fault", "3FE8010:F"}, {}, files);
    for (const char *said :
         {"Programming MYAPP.BIN (binary) at 0x000D0000",
          "Program would overwrite TABLE at 0x000D0000-0x000D4E1F! Delete it first.",
          "Program would overwrite the flash tables at 0x03FFA000-0x03FFA019!",
          "Verify failed: flash block at 0x03FE0000 differs from what was written",
          "Programming APP.HEX (hex)"})
        EXPECT_EQ(Count(r.out, said), 1u) << said << r.out;
    EXPECT_EQ(Count(r.out, "Flash programming complete"), 4u);
    // Nothing sent for the refusals; each verify compares its block with the work area.
    EXPECT_EQ(Programmed(r),
              "1/3FD0000:4E20 1/3FD0000:4E20 1/3FE0000:100 1/3FE0000:100 1/3FC0000:BB8 ");
    std::string compares;
    for (const TRACE_EVENT &e : Events(r.trace, "rx_frame", "compare_ram"))
        compares += e.Str("dest") + "<" + e.Str("src") + ":" + e.Str("len") + " ";
    EXPECT_EQ(compares, "66977792<131072:65536 66846720<131072:65536 67084288<131072:8192 ");
    std::copy(table.begin(), table.end(), model.begin() + 0xD0000);
    std::copy(app.begin(), app.end(), model.begin() + 0xC0000);
    std::fill_n(model.begin() + 0xE8000, 0x100, 0);
    model[0xE8010] = 0x0F;
    EXPECT_EQ(Flash_Mismatch(r, model), "");
    EXPECT_EQ(Directory(r),
              "TABLE   D0000-D4E1F 4E20 " + Sum_Hex({table}) +
                  " 0:0 now\nBAD   E8000-E80FF 100 0 0:0 now\nAPP   C0000-C0BB7 BB8 " +
                  Sum_Hex({app}) + " C000:0 now\n");
}

const std::string REBUILT =
    "Flash tables INVALID!\nPerforming reinittbls command ...\n8 MBit Boot Block Flash detected "
    "(x8)\nFlash tables initialized\nInitialization complete\n";

std::string Init_Head(const std::string &baud, bool verbose = false)
{
    return std::string("Port set to COM1\nVT Port set to COM1\n") +
           (verbose ? "Start initialization ...\n" : "") +
           "Establish link to target system on COM1 at " + baud + " baud ...\n";
}

// One prompt and segment per typed line; Transcript: from the start of a session.
std::string Segs(const std::vector<std::string> &segments)
{
    std::string s;
    for (const std::string &seg : segments) s += PROMPT + Seg(seg);
    return s;
}
std::string Transcript(const std::vector<std::string> &segments)
{
    return Cli_Start() + Segs(segments);
}

TEST(TablesE2e, BlankBoardRebuiltWrittenAtExitThenReadBackUnchanged)
{
    DWORD before = DWORD(time(nullptr));
    RIG_RESULT r = Run_Typed("init com1 ; map\nmap\nexit\n");
    // Init fails (tables invalid): its line's rest skipped, the link up for the next line.
    EXPECT_EQ(Up_To_Prompt(r.out, "Port set"),
              Init_Head("9600") + ON_LINE + REBUILT + "Not run: MAP\n\n");
    // Board 3's map: top 16 K block 34 of 35, table block 17; 12 to 16 in real mode.
    EXPECT_EQ(Count(r.out, "29LV800T"), 19u);
    for (const char *row : {"Flash device map of PELLAR board (TARGET system):\n",
                            "29LV800T             -   03FFC000       16K   34   35  -",
                            "29LV800T             -   03FFA000        8K   17   18  -",
                            "29LV800T      000C0000   03FC0000       64K   12   18  -",
                            "29LV800T             -   03F00000       64K    0   18  -"})
        EXPECT_EQ(Count(r.out, row), 1u) << row;
    // All four tables patched into one save / erase / program of the block.
    EXPECT_TRUE(Sent(r, "write_ram") == 4 && Sent(r, "copy_ram") == 1 &&
                Sent(r, "erase_flash") == 1 && Sent(r, "program_flash") == 1);
    // The flash holds the tables and nothing else; the table block is stamped.
    TABLE_SET t = Fresh_Tables(3);
    Stamp(t, r, 17);
    EXPECT_GE(t.map[17].reprogram_date_time, before);
    EXPECT_EQ(r.image, Image_With(3, t));
    // At 38400 against a 9600 board: garbage, two NAKs, re-synch; read back, nothing written.
    RIG_RESULT r2 =
        Run_Typed("log=v\nbaud=38400\ninit com1\nexit\n", {"--nak-first", "2"}, r.image);
    EXPECT_EQ(r2.out,
              Transcript({"Log level set to VERBOSE\n", "Baud rate set to 38400\n",
                          Init_Head("38.4K", true) +
                              "Re-synch with target system at 9600 baud ...\n"
                              "Change host/target baud to 38.4K ...\nChange baud OK\n" +
                              ON_LINE +
                              "Read flash tables ...\nFlash tables OK\nInitialization complete\n",
                          "Start shutdown ...\nProcess flash tables ...\nFlash tables not changed\n"
                          "Shutdown communications link ...\nShutdown complete\n"}));
    auto naks = Events(r2.trace, "tx_nak"), bauds = Events(r2.trace, "baud");
    EXPECT_TRUE(naks.size() == 2 && naks[0].Num("seq") == naks[1].Num("seq") &&
                !Events(r2.trace, "garbage").empty());
    EXPECT_TRUE(bauds.size() == 2 && bauds[1].Num("to") == 9600 && Sent(r2, "change_baud") == 1);
    EXPECT_TRUE(r2.image == r.image && Sent(r2, "write_ram") == 0);
}

// An old monitor keeps 20 map entries: the host completes board 4's map from the built-in one.
TEST(TablesE2e, OldMonitorOnBoard4KeepsItsTablesAcrossSessionsAndAFullFlashImageIsRefused)
{
    const std::vector<std::string> old = {"--board", "4", "--monitor-version", "0240"};
    const std::map<std::string, std::string> files = {
        {"app.bin", "app"}, {"two.bin", "two"}, {"full.bin", std::string(0x200000, 'f')}};
    RIG_RESULT r =
        Run_Typed("init com1\nprogram app.bin addr=3e00000\nprogram full addr=3e00000\nexit\n", old,
                  {}, files);
    EXPECT_EQ(Count(r.out, "Program would overwrite the flash tables at 0x03FFA000-0x03FFA019!"),
              1u);
    EXPECT_EQ(Count(r.out, "16 MBit Boot Block Flash detected (x8)\n"), 1u);
    EXPECT_EQ(Sent(r, "erase_flash"), 2u); // APP's block and the table block
    // The rebuilt map is written cut to 20 entries, its size 680.
    TABLE_SET t = Fresh_Tables(4, 680);
    memset(&t.map[20], 0xFF, 16 * sizeof(DEVICE_MAP_STRUCT));
    Stamp(t, r, 0);                // APP's block
    Bytes want = Image_With(4, t); // boot, system and device tables
    EXPECT_EQ(Flash_At(r, BOOT_ADDR, 0x1000), Bytes(want.end() - 0x6000, want.end() - 0x5000));
    // Then both at 38400 already: one init, no change of rate; getid names the part.
    const std::vector<std::string> fast = {"--board", "4",      "--monitor-version",
                                           "0240",    "--baud", "38400"};
    RIG_RESULT r2 = Run_Typed("baud=38400\ninit com1\nmap\ndebug\ngetid 3ffa000\n"
                              "program two.bin addr=3f40000\nsystem=new\nexit\n",
                              fast, r.image, files);
    EXPECT_TRUE(Sent(r2, "init") == 1 && Sent(r2, "change_baud") == 0);
    EXPECT_EQ(Count(r2.out, Seg("Device Manufacturers Code = 0x0101, Device ID = 0x00C4\n")), 1u);
    EXPECT_EQ(Count(r2.out, "29LV160T"), 35u + 1); // the whole map, then TWO's block
    EXPECT_EQ(Directory(r2),
              "APP   3E00000-3E00002 3 141 0:0 now\nTWO   3F40000-3F40002 3 15A 0:0 now\n");
    EXPECT_EQ(Flash_At(r2, DIR_ADDR + 1, 4), Bytes({'N', 'E', 'W', 0})); // the system name
    EXPECT_EQ(Flash_At(r2, 0x03F40000, 3), Bytes({'t', 'w', 'o'}));
}

// Setboot, noboot and delete edit the boot table; the boot program starts at exit's shutdown.
TEST(TablesE2e, BootProgramDirectoryAndSystemNameReachTheBoard)
{
    // Board 3 with APP (start F000:0100), BIG (a linear start) and NOVEC (none).
    TABLE_SET t = Fresh_Tables(3);
    Put_Program(t.dir[2], "APP", 0xF000, 0x0100);
    Put_Program(t.dir[3], "BIG", 0x0000, 0x000F8000);
    Put_Program(t.dir[4], "NOVEC", 0, 0);
    memcpy(t.dir[0].program_name_str, "BENCH", 6); // the system name init takes
    RIG_RESULT r =
        Run_Typed("init com1\nsetboot app\nsetboot big\nsetboot novec\ndir\n"
                  "vector=10025\nvector=10000:0\nsetboot novec\nnoboot\nsetboot app ; delete app\n"
                  "vector=f000:0\nsystem=benchtop1\ndebug\nsystbl\nsetboot big\n"
                  "abort\nn\nexit\n", // abort's answer is a line of its own
                  {}, Image_With(3, t));
    const std::string set_big =
        "Program name set to BIG\nWARNING!  Boot program start vector adjusted from linear "
        "address 0000:000F8000\n          to real-mode address E801:FFF0\nBoot program set to BIG "
        "(start vector = E801:FFF0)\n";
    const std::string set_app =
        "Program name set to APP\nBoot program set to APP (start vector = F000:0100)\n";
    // The directory: NOVEC is the boot program.
    const std::string dir = Up_To_Prompt(r.out, "Flash directory of PELLAR board (BENCH system):");
    const std::string entry = "  TOOLS       1.0    -               000C0000     3000  ";
    EXPECT_EQ(Count(dir, entry + "---  00001234\n"), 2u) << dir;
    EXPECT_EQ(Count(dir, "NOVEC   " + entry + "B1-  00001234\n"), 1u) << dir;
    // systbl: the board, where the tables lie and their sizes, and no boot vector left by the
    // boot program deleted.
    const std::string systbl = Up_To_Prompt(r.out, "System Tables:");
    for (const char *row :
         {"Boot Board Id      = 3\n", "Device Addr        = 0x03FFA800\n",
          "System Size        = 0x00000076 (118)\n", "Boot Vector        = 0x0000:0x00000000\n"})
        EXPECT_EQ(Count(systbl, row), 1u) << row << systbl;
    EXPECT_EQ(
        r.out,
        Transcript(
            {Init_Head("9600") + ON_LINE + "Flash tables OK\nInitialization complete\n", set_app,
             set_big, "Program name set to NOVEC\nNo start vector available for program NOVEC\n",
             dir.substr(0, dir.size() - 1), "Program NOVEC start vector set to 1002:0005\n",
             "Start vector base not in real-mode address space!\n",
             "Program name set to NOVEC\nBoot program set to NOVEC (start vector = 1002:0005)\n",
             "Boot program set to NONE\n",
             set_app + "\nProgram name set to APP\nProgram APP deleted\n",
             "Program APP not found in directory!\n", "System name set to BENCHTOP1\n",
             "Debug commands ENABLED\n", systbl.substr(0, systbl.size() - 1), set_big,
             "Tables in flash memory require updating.  Abort anyway? [n]: n\n", EXIT_WRITTEN}));
    const std::string banner = "\r\nBoot monitor V2.51 - flash 03F00000-03FFFFFF\r\n";
    EXPECT_EQ(r.console, banner + "No boot program set\r\n" + banner +
                             "Starting boot program BIG at E801:FFF0 (directory entry 3)\r\n");
    // The system table stays put; the device map goes along for the table block's stamp.
    EXPECT_EQ(Sent(r, "write_ram"), 3u);
    t.boot = {0xA1B2C3D4, 1, 0xE801, 0xFFF0, SYS_ADDR, 3, 9600, 1};
    t.dir[2].dir_flags = DIR_DELETED;
    t.dir[3].dir_flags = DIR_IN_USE | DIR_BOOT;
    t.dir[4].program_mem.start_vector_base = 0x1002;
    t.dir[4].program_mem.start_vector_offset = 5;
    memcpy(t.dir[0].program_name_str, "BENCHTOP1", 9);
    Stamp(t, r, 17);
    EXPECT_EQ(r.image, Image_With(3, t));
}

// Ctrl-C aborts a download; signals or lost output end as exit does, the line put back.
TEST(SessionEnd, SignalsAndLostOutputWriteTheTablesAndRestoreTheLine)
{
    std::string hex = Hex_Record(2, 0, {0xD0, 0x00});
    for (WORD at = 0; at < 0x1000; at += 32)
        hex += Hex_Record(0, at, std::vector<BYTE>(32, BYTE(at >> 5)));
    const std::string hint =
        "\nType exit to leave (changed flash tables are written) or abort (they are not)\n";
    const struct {
        int sig;
        bool twice, lose_output;
    } ends[] = {
        {SIGTERM, false, false}, {SIGHUP, false, false}, {SIGTERM, true, false}, {0, false, true}};
    for (const auto &e : ends) {
        SCOPED_TRACE(e.sig + 100 * e.twice);
        RIG_SETUP s{
            {"--pace", "--baud", "38400"}, {}, "baud=38400\ninit com1\nprogram big\ndir\n", true};
        s.files["big.hex"] = hex + HEX_END;
        s.events = {{"Process flash blocks ...\n", SIGINT},
                    {"Name      Group", SIGINT},
                    {hint + PROMPT, e.sig, e.lose_output, e.lose_output ? "dir\n" : ""}};
        if (e.twice) s.events.push_back({"Start shutdown ...\n", SIGTERM});
        RIG_RESULT r = Run_Session(s);
        EXPECT_EQ(Count(r.out, "User aborted command\n\n\nFLASH CMD: \nFlash directory"), 1u)
            << r.out;
        EXPECT_TRUE(r.exit_code == 2 && r.link_restored);
        for (const std::string &f : r.files_after) EXPECT_EQ(f.find(".~~~"), std::string::npos);
        const std::string ending = hint + PROMPT + "\n" + (e.sig == SIGHUP ? "SIGHUP" : "SIGTERM") +
                                   ": ending the session\n" +
                                   (e.twice ? "Start shutdown ...\n\nEnded at once: "
                                              "flash table changes not yet written are lost\n"
                                            : EXIT_WRITTEN);
        EXPECT_TRUE(e.lose_output || r.out.find(ending) != std::string::npos);
        if (e.twice) continue;
        // The table block only.
        EXPECT_TRUE(Flash_At(r, BOOT_ADDR, 4) == TABLES_MAGIC && Sent(r, "program_flash") == 1);
    }
}

// Tables never written: the flash stays as it was and the line is put back.
RIG_RESULT Expect_Unwritten(const std::vector<std::string> &board, const Bytes &image,
                            const std::string &typed, const std::string &said, size_t reads)
{
    RIG_RESULT r = Run_Typed(typed, board, image);
    EXPECT_NE(r.out.find(said), std::string::npos) << r.out;
    EXPECT_EQ(Sent(r, "read_ram"), reads) << r.out;
    EXPECT_EQ(Sent(r, "write_ram") + Sent(r, "erase_flash") + Sent(r, "shutdown"), 0u);
    EXPECT_TRUE(r.exit_code == 1 && r.image == image && r.link_restored);
    return r;
}

// Each failed check is said after the reads up to it; the tables are rebuilt, never written.
TEST(SessionEnd, TablesThatFailACheckAreRebuiltAndNeverWritten)
{
    TABLE_SET t = Fresh_Tables(3);
    Put_Program(t.dir[2], "KEEP", 0xF000, 0x0100);
    // The spoilt word's address and value, and the table reads up to the check.
    const struct {
        const char *why;
        DWORD addr, value;
        size_t reads;
    } spoilt[] = {{"Boot table flag not found\n", BOOT_ADDR, 0, 1},
                  {"Invalid tables version\n", BOOT_ADDR + 22, 2, 1},
                  {"System table flag not found\n", SYS_ADDR, 0x12345678, 2},
                  {"Device table flag not found\n", SYS_ADDR + 42, 0, 3},
                  {"Directory table flag not found\n", SYS_ADDR + 80, 0xFFFFFFFF, 4}};
    for (const auto &c : spoilt) {
        SCOPED_TRACE(c.why);
        Bytes image = Image_With(3, t);
        Put_Bytes(image, c.addr, &c.value, 4);
        RIG_RESULT r = Expect_Unwritten({}, image, "log=v\ninit com1\nabort\ny\n",
                                        PROMPT +
                                            Seg(Init_Head("9600", true) + ON_LINE +
                                                "Read flash tables ...\n" + c.why + REBUILT) +
                                            PROMPT + "\nTables in flash memory",
                                        c.reads);
        // The monitor itself checks the boot table's flag and version only.
        EXPECT_EQ(Count(r.console, "tables are not valid"), c.addr < SYS_ADDR ? 1u : 0u);
    }
}

// Tables outside their block, never read or never come are not written; a failed shutdown says so.
TEST(SessionEnd, TablesThatCannotBeWrittenSafelyStayUnwritten)
{
    TABLE_SET t = Fresh_Tables(3);
    Put_Program(t.dir[2], "KEEP", 0xF000, 0x0100);
    const Bytes kept = Image_With(3, t);
    t.sys.directory_tbl.first_phys_addr = 0x03FFC000; // in the 16 K block above the table block
    Bytes apart = Image_With(3, t);
    Put_Bytes(apart, 0x03FFC000, t.dir, sizeof t.dir);
    const std::string outside = "Start shutdown ...\nFlash table at 0x03FFC000 (700 bytes) lies "
                                "outside its flash block at 0x03FFA000 - tables not written\n";
    Expect_Unwritten({}, apart,
                     "init com1\nboard=kestrel\nboard=pellar\nsystem=other\nexit\nshutdown\n"
                     "abort\ny\n",
                     Segs({"Invalid board name!\n", "Board set to PELLAR\n",
                           "System name set to OTHER\n", outside, outside}) +
                         PROMPT + "\nTables in flash memory",
                     4);
    Expect_Unwritten({"--fail", "read_ram:4"}, kept, "init com1\nprogram app ; exit\nexit\n",
                     ON_LINE +
                         "\nOperation FAILED!  Target system not responding\n\nFlash tables not "
                         "read: link taken down, perform init command again\n\n" +
                         PROMPT + Seg(NOT_ON_LINE + "Not run: EXIT\n") + PROMPT + "\n\n",
                     4);
    Expect_Unwritten({"--fail", "get_flash_id"}, Bytes(0x100000, 0xFF),
                     "init com1\nsystem=x\nexit\n",
                     "\nFlash tables not read: link taken down, perform init command again\n\n" +
                         PROMPT + Seg(NOT_ON_LINE) + PROMPT + "\n\n",
                     1);
    Expect_Unwritten(
        {"--silent"}, Bytes(0x100000, 0xFF),
        "log=v\nbaud=38400\ninit\ninit com1\nsystem=bench\nmap\nterm com1\n\x1b",
        Segs({"Target comms port not specified!\n",
              Init_Head("38.4K", true) +
                  "Re-synch with target system at 9600 baud ...\n\nInitialize host/target comms "
                  "FAILED!  Target system not responding\n\nReset target system and perform init "
                  "command again\n",
              NOT_ON_LINE, NOT_ON_LINE,
              "VT Port set to COM1\nInitialize VT session ...\nStart VT session on COM1 at "
              "9600 baud.  Type ESC to exit ...\n\n\n\nShutdown VT communications link "
              "...\nEnd terminal emulation\n"}) +
            PROMPT + "\n",
        0);
    RIG_RESULT r = Run_Typed("init com1\nsystem=new\n", {"--fail", "shutdown"}, kept);
    EXPECT_EQ(Count(r.out, "End of input: flash tables up to date on the target, but the link "
                           "was not shut down\n"),
              1u);
    // The names of directory entries 0 and 2.
    EXPECT_TRUE(Flash_At(r, DIR_ADDR + 1, 4) == Bytes({'N', 'E', 'W', 0}) && r.link_restored);
    EXPECT_EQ(Flash_At(r, DIR_ADDR + 141, 5), Bytes({'K', 'E', 'E', 'P', 0}));
}

double Children_Cpu()
{
    rusage u;
    getrusage(RUSAGE_CHILDREN, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A hang-up during an erase or an echo: told once, no CPU burnt, the target off-line.
TEST(SessionEnd, HangUpEndsTheExchangeAtOnceAndTakesTheTargetOffLine)
{
    const std::string tail =
        "\nOperation FAILED!  Failure ReadComm\n\nTarget system off-line: perform init "
        "command again\nFlash tables NOT written to the target!\n\nFLASH CMD: \n"
        "Target system not on-line!\n\nFLASH CMD: \n\n";
    struct {
        const char *command, *typed, *score;
    } cases[] = {{"erase_flash", "init com1\nprogram hello\n", ""},
                 {"write_ram", "debug\ninit com1\necho 16 0\n",
                  "Write/Read ...  Count: 1        Mismatch: 0     Errors: 1     Status: 00FB\n"}};
    for (const auto &c : cases) {
        RIG_SETUP s{{"--hang-up-on", c.command}, {}, c.typed + std::string("dir\nexit\n")};
        s.files["hello.hex"] = Read_Source_File("examples/hello.hex");
        s.timeout_ms = 10000;
        double cpu_before = Children_Cpu(); // TORVEX's and the board's
        RIG_RESULT r = Run_Session(s);
        EXPECT_LT(Children_Cpu() - cpu_before, 1.0);
        ASSERT_TRUE(r.started && !r.timed_out) << r.error << r.out;
        size_t at = std::min(r.out.find("/com1) hung up"), r.out.size());
        EXPECT_EQ(r.out.substr(at), "/com1) hung up: Input/output error\n" + (c.score + tail));
    }
}

// The board never replaces a file by its link, replays reset lines, echoes keys; SIGINT saves.
TEST(BoardProcess, LeavesAFileAtItsLinkPathEchoesItsConsoleAndWritesItsImageOnSigint)
{
    Scratch_Dir dir;
    dir.write("file", "");
    const std::string file = dir.file("file");
    BOARD_PROC b;
    std::string err;
    EXPECT_FALSE(Board_Start(&b, {"--link", file}, &err)); // the last --link wins
    EXPECT_NE(err.find("not a symbolic link"), std::string::npos) << err;
    Board_Cleanup(&b);
    struct stat st;
    EXPECT_TRUE(lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode)) << "the file is left alone";
    Bytes image(0x80000, 0xFF); // board 1: 512 K
    image[0x1234] = 0x12;
    ASSERT_TRUE(Board_Start(&b, {"--board", "1"}, &err, image)) << err;
    const std::string reset = "\r\nBoot monitor V2.51 - flash 03F80000-03FFFFFF\r\n"
                              "No boot program: the flash tables are not valid\r\n";
    int console = open(b.console.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC), status = 0;
    tcflush(console, TCIFLUSH);
    EXPECT_EQ(Read_Fd(console, 2000, reset.size()), reset);
    EXPECT_TRUE(write(console, "hi\r", 3) == 3 && Read_Fd(console, 2000, 4) == "hi\r\n");
    close(console);
    kill(b.pid, SIGINT);
    for (int i = 0; i < 300 && waitpid(b.pid, &status, WNOHANG) == 0; i++) poll(nullptr, 0, 10);
    b.pid = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(lstat(b.link.c_str(), &st) != 0 && lstat(b.console.c_str(), &st) != 0 &&
                Board_Image(b) == image);
    Board_Cleanup(&b);
}

} // namespace
