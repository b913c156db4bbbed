// Programming end to end: TORVEX drives the virtual board (board 3, flash
// 0x03F00000-0x03FFFFFF, tables at 0x03FFA000) and the board's flash image is
// checked byte for byte afterwards.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "FLDATA.h"
#include "board_rig.h"

namespace {

typedef std::vector<uint8_t> Bytes;

const uint32_t DIR_ADDR = 0x03FFB000;

Bytes Pattern(size_t n, unsigned seed)
{
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        b[i] = (uint8_t)(x >> 16);
    }
    return b;
}

std::string As_String(const Bytes &b) { return std::string(b.begin(), b.end()); }

uint32_t Sum(const Bytes &b)
{
    uint32_t s = 0;
    for (uint8_t v : b) s += v;
    return s;
}

std::string Hex_Line(unsigned type, unsigned offset, const uint8_t *d, size_t n)
{
    char buf[16];
    unsigned sum = (unsigned)n + (offset >> 8) + (offset & 0xFF) + type;
    snprintf(buf, sizeof buf, ":%02X%04X%02X", (unsigned)n, offset & 0xFFFF, type);
    std::string line = buf;
    for (size_t i = 0; i < n; i++) {
        snprintf(buf, sizeof buf, "%02X", d[i]);
        line += buf;
        sum += d[i];
    }
    snprintf(buf, sizeof buf, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + buf;
}

struct Hex_Segment {
    uint32_t addr;
    Bytes data;
};

// Intel hex text with 32-byte data records. Below 1 MB the upper address
// bits go into extended segment records, above into extended linear ones.
std::string Hex_File(const std::vector<Hex_Segment> &segs, const std::string &start_rec = "")
{
    std::string text;
    long upper = -1;
    for (const Hex_Segment &s : segs) {
        for (size_t i = 0; i < s.data.size();) {
            uint32_t addr = s.addr + (uint32_t)i;
            uint32_t hi = addr >> 16;
            if ((long)hi != upper) {
                upper = hi;
                uint8_t rec[2];
                bool real = addr < 0x100000;
                uint32_t v = real ? hi << 12 : hi;
                rec[0] = (uint8_t)(v >> 8);
                rec[1] = (uint8_t)v;
                text += Hex_Line(real ? 2 : 4, 0, rec, 2);
            }
            size_t n = std::min<size_t>({32, s.data.size() - i, 0x10000 - (addr & 0xFFFF)});
            text += Hex_Line(0, addr & 0xFFFF, s.data.data() + i, n);
            i += n;
        }
    }
    return text + start_rec + ":00000001FF\n";
}

std::string Start_Segment_Record(uint16_t cs, uint16_t ip)
{
    uint8_t d[4] = {(uint8_t)(cs >> 8), (uint8_t)cs, (uint8_t)(ip >> 8), (uint8_t)ip};
    return Hex_Line(3, 0, d, 4);
}

RIG_RESULT Session(const std::string &stdin_text, const std::map<std::string, std::string> &files,
                   const std::vector<std::string> &board_args = {}, const Bytes &initial = {})
{
    RIG_SETUP s;
    s.stdin_text = stdin_text;
    s.files = files;
    s.board_args = board_args;
    s.initial_image = initial;
    s.timeout_ms = 60000;
    return Run_Session(s);
}

std::vector<FLASH_DIR_ENTRY_STRUCT> Directory(const RIG_RESULT &r)
{
    std::vector<FLASH_DIR_ENTRY_STRUCT> dir(MAX_DIR_ENTRIES);
    Bytes raw = Flash_At(r, DIR_ADDR, sizeof(FLASH_DIR_TBL));
    if (raw.size() == sizeof(FLASH_DIR_TBL)) memcpy(dir.data(), raw.data(), raw.size());
    return dir;
}

int Programs_In(const std::vector<FLASH_DIR_ENTRY_STRUCT> &dir)
{
    int n = 0;
    for (int i = FIRST_PROG_DIR_ENTRY; i < MAX_DIR_ENTRIES; i++) n += (dir[i].dir_flags & DIR_IN_USE) != 0;
    return n;
}

bool All_Bytes(const Bytes &b, uint8_t v)
{
    for (uint8_t x : b)
        if (x != v) return false;
    return true;
}

bool No_Temp_Files(const RIG_RESULT &r)
{
    for (const std::string &f : r.files_after)
        if (f.size() > 4 && f.compare(f.size() - 4, 4, ".~~~") == 0) return false;
    return true;
}

// Sum of the lengths of the write RAM requests the board took before it
// programmed the given block (the table writes at shutdown come later).
long long Write_Ram_Bytes_Before(const RIG_RESULT &r, uint32_t block)
{
    long long total = 0;
    for (const TRACE_EVENT &e : r.trace) {
        if (e.Is("program") && e.Num("block") == (long long)block) return total;
        if (e.Is("rx_frame") && e.Str("name") == "write_ram") total += e.Num("len", 0);
    }
    return -1;
}

int Block_Events(const RIG_RESULT &r, const std::string &ev, const std::string &name, const std::string &key,
                 uint32_t block)
{
    int n = 0;
    for (const TRACE_EVENT &e : Events(r.trace, ev))
        if ((name.empty() || e.Str("name") == name) && e.Num(key) == (long long)block) n++;
    return n;
}

TEST(ProgramFlash, RealModeHexLandsInBlockAt03FC0000AndFillsDirectory)
{
    Bytes code = Pattern(3000, 1);
    // Flash that is not erased around the program must survive: the block is
    // saved and rewritten whole.
    Bytes initial(0x100000, 0x5A);
    RIG_RESULT r = Session("init com1\nprogram app gr=tools ver=1.2\nexit\n",
                           {{"app.hex", Hex_File({{0xC0000, code}}, Start_Segment_Record(0xC000, 0x0010))}},
                           {}, initial);
    ASSERT_TRUE(r.started) << r.error;
    ASSERT_FALSE(r.timed_out) << r.out;
    EXPECT_NE(r.out.find("Flash programming complete\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("FAILED"), std::string::npos) << r.out;

    EXPECT_EQ(As_String(Flash_At(r, 0x03FC0000, 3000)), As_String(code));
    EXPECT_TRUE(All_Bytes(Flash_At(r, 0x03FC0000 + 3000, 0x10000 - 3000), 0x5A));
    EXPECT_TRUE(All_Bytes(Flash_At(r, 0x03FB0000, 0x10000), 0x5A));
    EXPECT_TRUE(All_Bytes(Flash_At(r, 0x03FD0000, 0x10000), 0x5A));
    EXPECT_EQ(Block_Events(r, "program", "", "block", 0x03FC0000), 1);

    std::vector<FLASH_DIR_ENTRY_STRUCT> dir = Directory(r);
    const FLASH_DIR_ENTRY_STRUCT &e = dir[FIRST_PROG_DIR_ENTRY];
    EXPECT_EQ(+e.dir_flags, DIR_IN_USE);
    EXPECT_STREQ(e.program_name_str, "APP");
    EXPECT_STREQ(e.group_name_str, "TOOLS");
    EXPECT_STREQ(e.version_str, "1.2");
    EXPECT_EQ(+e.program_mem.first_phys_addr, 0xC0000u);
    EXPECT_EQ(+e.program_mem.last_phys_addr, 0xC0000u + 2999);
    EXPECT_EQ(+e.program_mem.logical_len, 3000u);
    EXPECT_EQ(+e.program_mem.checksum, Sum(code));
    EXPECT_EQ(+e.program_mem.start_vector_base, 0xC000);
    EXPECT_EQ(+e.program_mem.start_vector_offset, 0x0010u);
    long long now = (long long)time(nullptr);
    EXPECT_LT(std::llabs((long long)+e.file_date_time - now), 3600);
    EXPECT_EQ(Programs_In(dir), 1);
    EXPECT_TRUE(No_Temp_Files(r));
}

TEST(ProgramFlash, BinaryStraddlingTwoBlocksIsSentOnce)
{
    // 0x000CF000-0x000D0FFF: the top of block 12 and the bottom of block 13.
    Bytes image = Pattern(0x2000, 2);
    RIG_RESULT r = Session("init com1\nprogram span.bin addr=cf000\nexit\n", {{"span.bin", As_String(image)}});
    ASSERT_TRUE(r.started) << r.error;
    ASSERT_FALSE(r.timed_out);
    EXPECT_NE(r.out.find("Flash programming complete\n"), std::string::npos) << r.out;
    EXPECT_EQ(As_String(Flash_At(r, 0x03FCF000, 0x2000)), As_String(image));
    EXPECT_TRUE(All_Bytes(Flash_At(r, 0x03FC0000, 0xF000), 0xFF));
    EXPECT_EQ(Block_Events(r, "program", "", "block", 0x03FC0000), 1);
    EXPECT_EQ(Block_Events(r, "program", "", "block", 0x03FD0000), 1);
    // Each byte crosses the wire once although the segment is read for both blocks.
    EXPECT_EQ(Write_Ram_Bytes_Before(r, 0x03FD0000), 0x2000);

    std::vector<FLASH_DIR_ENTRY_STRUCT> dir = Directory(r);
    const FLASH_DIR_ENTRY_STRUCT &e = dir[FIRST_PROG_DIR_ENTRY];
    EXPECT_STREQ(e.program_name_str, "SPAN");
    EXPECT_EQ(+e.program_mem.first_phys_addr, 0xCF000u);
    EXPECT_EQ(+e.program_mem.last_phys_addr, 0xD0FFFu);
    EXPECT_EQ(+e.program_mem.logical_len, 0x2000u);
    EXPECT_EQ(+e.program_mem.checksum, Sum(image));
    EXPECT_EQ(+e.program_mem.start_vector_base, 0);
    EXPECT_EQ(+e.program_mem.start_vector_offset, 0u);
}

TEST(ProgramFlash, TwoSegmentsInOneBlockSaveAndProgramItOnce)
{
    Bytes low = Pattern(0x100, 3), high = Pattern(0x300, 4);
    // Listed high first: the sorted map downloads both into one assembly.
    std::string hex = Hex_File({{0xD8000, high}, {0xD0100, low}});
    RIG_RESULT r = Session("init com1\nlog=download\nprogram two\nexit\n", {{"two.hex", hex}});
    ASSERT_TRUE(r.started) << r.error;
    ASSERT_FALSE(r.timed_out);
    EXPECT_NE(r.out.find("Flash programming complete\n"), std::string::npos) << r.out;
    EXPECT_EQ(As_String(Flash_At(r, 0x03FD0100, 0x100)), As_String(low));
    EXPECT_EQ(As_String(Flash_At(r, 0x03FD8000, 0x300)), As_String(high));
    EXPECT_TRUE(All_Bytes(Flash_At(r, 0x03FD0200, 0x7E00), 0xFF));
    EXPECT_EQ(Block_Events(r, "rx_frame", "copy_ram", "src", 0x03FD0000), 1);
    EXPECT_EQ(Block_Events(r, "program", "", "block", 0x03FD0000), 1);
    // The trace of the download names both work-area places.
    EXPECT_NE(r.out.find("\nWrite WA from 0x00020100 to 0x000201FF ...   Size: 256   \n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\nWrite WA from 0x00028000 to 0x000282FF ...   Size: 768   \n"), std::string::npos);
    EXPECT_NE(r.out.find("\nDownload segment from 0x000D0100 to 0x000D01FF (256 bytes)\n"
                         "   using device  from 0x000D0000 to 0x000DFFFF (65536 bytes)\n"),
              std::string::npos);

    std::vector<FLASH_DIR_ENTRY_STRUCT> dir = Directory(r);
    const FLASH_DIR_ENTRY_STRUCT &e = dir[FIRST_PROG_DIR_ENTRY];
    EXPECT_EQ(+e.program_mem.first_phys_addr, 0xD0100u);
    EXPECT_EQ(+e.program_mem.last_phys_addr, 0xD82FFu);
    EXPECT_EQ(+e.program_mem.logical_len, 0x400u);
    EXPECT_EQ(+e.program_mem.checksum, Sum(low) + Sum(high));
}

TEST(ProgramFlash, SegmentPartlyOutsideEveryBlockKeepsOnlyItsBlockBytes)
{
    // 0x03EFF100-0x03F010FF: the first 0xF00 bytes lie below the lowest block,
    // and one 1024-byte piece straddles its start.
    Bytes image = Pattern(0x2000, 5);
    RIG_RESULT r = Session("init com1\nlog=download\nprogram edge.bin addr=3eff100\nexit\n",
                           {{"edge.bin", As_String(image)}});
    ASSERT_TRUE(r.started) << r.error;
    ASSERT_FALSE(r.timed_out);
    EXPECT_NE(r.out.find("Flash programming complete\n"), std::string::npos) << r.out;
    Bytes second(image.begin() + 0xF00, image.end());
    EXPECT_EQ(As_String(Flash_At(r, 0x03F00000, 0x1100)), As_String(second));
    EXPECT_TRUE(All_Bytes(Flash_At(r, 0x03F01100, 0xEF00), 0xFF));
    EXPECT_EQ(Write_Ram_Bytes_Before(r, 0x03F00000), 0x1100);
    EXPECT_NE(r.out.find("\nDownload segment from 0x03EFFD00 to 0x03F000FF (1024 bytes)\n"
                         "   using device  from 0x03F00000 to 0x03F0FFFF (65536 bytes)\n"
                         "Adjusted start addr   0x03F00000 to 0x03F000FF (256 bytes)\n"
                         "\nWrite WA from 0x00020000 to 0x000200FF ...   Size: 256   \n"),
              std::string::npos)
        << r.out;

    std::vector<FLASH_DIR_ENTRY_STRUCT> dir = Directory(r);
    const FLASH_DIR_ENTRY_STRUCT &e = dir[FIRST_PROG_DIR_ENTRY];
    EXPECT_EQ(+e.program_mem.first_phys_addr, 0x03F00000u);
    EXPECT_EQ(+e.program_mem.last_phys_addr, 0x03F010FFu);
    EXPECT_EQ(+e.program_mem.logical_len, 0x1100u);
    EXPECT_EQ(+e.program_mem.checksum, Sum(second));
}

TEST(ProgramFlash, NothingInAnyBlockIsAFailureWithoutDirectoryEntry)
{
    RIG_RESULT r = Session("init com1\nprogram void.bin addr=200000\ndir\nexit\n",
                           {{"void.bin", As_String(Pattern(100, 6))}});
    ASSERT_TRUE(r.started) << r.error;
    EXPECT_NE(r.out.find("\nNo code/data located in flash memory!\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Flash programming complete"), std::string::npos);
    EXPECT_EQ(Programs_In(Directory(r)), 0);
}

TEST(ProgramFlash, NameTakenAndDirectoryFullAreRefusals)
{
    std::map<std::string, std::string> files;
    std::string lines = "init com1\n";
    for (int i = 1; i <= 9; i++) {
        std::string name = "p" + std::to_string(i) + ".bin";
        files[name] = As_String(Pattern(64, 10 + i));
        lines += "program " + name + " addr=c0000\n";
    }
    lines += "program p3.bin addr=c0000\nexit\n";
    RIG_RESULT r = Session(lines, files);
    ASSERT_TRUE(r.started) << r.error;
    ASSERT_FALSE(r.timed_out);
    EXPECT_NE(r.out.find("Directory full!\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Program name already in flash directory!\n"), std::string::npos);
    EXPECT_EQ(r.out.find("FAILED"), std::string::npos);
    std::vector<FLASH_DIR_ENTRY_STRUCT> dir = Directory(r);
    EXPECT_EQ(Programs_In(dir), 8);
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(std::string(dir[FIRST_PROG_DIR_ENTRY + i].program_name_str), "P" + std::to_string(i + 1));
    // The refused ninth program never reached the board.
    EXPECT_EQ(Block_Events(r, "program", "", "block", 0x03FC0000), 8);
}

TEST(ProgramFlash, EscapeDuringDownloadAbortsWithoutDirectoryEntry)
{
    RIG_RESULT r = Session("init com1\nprogram big.bin addr=c0000\n\x1b\nexit\n",
                           {{"big.bin", As_String(Pattern(0x8000, 7))}});
    ASSERT_TRUE(r.started) << r.error;
    ASSERT_FALSE(r.timed_out);
    EXPECT_NE(r.out.find("\nOperation FAILED!  User aborted command\n\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Flash programming complete"), std::string::npos);
    EXPECT_EQ(Block_Events(r, "program", "", "block", 0x03FC0000), 0);
    EXPECT_TRUE(All_Bytes(Flash_At(r, 0x03FC0000, 0x10000), 0xFF));
    EXPECT_EQ(Programs_In(Directory(r)), 0);
}

TEST(ProgramFlash, EraseallErasesEveryBlockAndRebuildsTables)
{
    Bytes initial(0x100000, 0x00);
    RIG_RESULT r = Session("init com1\ndebug\neraseall\nexit\n", {}, {}, initial);
    ASSERT_TRUE(r.started) << r.error;
    ASSERT_FALSE(r.timed_out);
    EXPECT_NE(r.out.find("Flash erasure complete\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Erase flash block at 0x03F00000 ...\n"), std::string::npos);
    std::vector<TRACE_EVENT> erases = Events(r.trace, "erase");
    // 19 blocks by eraseall, then the table block once more for the tables.
    EXPECT_EQ(erases.size(), 20u);
    // Everything but the rewritten table block is erased.
    Bytes below = Flash_At(r, 0x03F00000, 0x03FFA000 - 0x03F00000);
    Bytes above = Flash_At(r, 0x03FFC000, 0x4000);
    EXPECT_TRUE(All_Bytes(below, 0xFF));
    EXPECT_TRUE(All_Bytes(above, 0xFF));
    EXPECT_EQ(Flash_At(r, 0x03FFA000, 4), (Bytes{0xD4, 0xC3, 0xB2, 0xA1}));
    EXPECT_EQ(Programs_In(Directory(r)), 0);
}

// Faults on the line may make a run fail, but a run that says it succeeded
// must have put every byte in place.
TEST(ProgramFlash, LineFaultsNeverLeaveWrongBytesWithSuccess)
{
    Bytes code = Pattern(0x3000, 8);
    std::string hex = Hex_File({{0xE0000, code}});
    const std::vector<std::vector<std::string>> faults = {
        {"--nak-first", "3"},
        {"--corrupt-rate", "0.0005", "--seed", "3"},
        {"--drop-rate", "0.0005", "--seed", "4"},
        {"--out-corrupt-rate", "0.002", "--seed", "5"},
        {"--corrupt-rate", "0.003", "--seed", "9"},
    };
    int successes = 0;
    for (const auto &args : faults) {
        RIG_RESULT r = Session("init com1\nprogram app\nexit\n", {{"app.hex", hex}}, args);
        ASSERT_TRUE(r.started) << r.error;
        ASSERT_FALSE(r.timed_out) << args[0];
        bool said_ok = r.out.find("Flash programming complete\n") != std::string::npos;
        if (said_ok) {
            successes++;
            EXPECT_EQ(As_String(Flash_At(r, 0x03FE0000, 0x3000)), As_String(code)) << args[0];
        } else {
            // Said once, and no directory entry for a program that is not there.
            size_t from = r.out.find("Start flash programming ...");
            size_t to = r.out.find("FLASH CMD:", from);
            ASSERT_NE(from, std::string::npos) << r.out;
            std::string run = r.out.substr(from, to - from);
            size_t first = run.find("FAILED!");
            EXPECT_NE(first, std::string::npos) << args[0] << r.out;
            EXPECT_EQ(run.find("FAILED!", first + 1), std::string::npos) << args[0] << r.out;
            bool tables_written = Flash_At(r, 0x03FFA000, 4) == Bytes{0xD4, 0xC3, 0xB2, 0xA1};
            if (tables_written) {
                EXPECT_EQ(Programs_In(Directory(r)), 0);
            }
        }
        if (args[0] == "--nak-first") {
            EXPECT_TRUE(said_ok) << r.out;
        }
    }
    EXPECT_GE(successes, 1);
}

}  // namespace
