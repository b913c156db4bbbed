// Program files end to end against the virtual board (board 3: flash from 0x03F00000, real mode 0xC0000 at
// 0x03FC0000, tables block 0x03FFA000), the flash image checked byte for byte afterwards; hex files made by GNU
// objcopy and srecord.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <ctime>
#include <numeric>
#include <thread>

#include "../unit/hex_text.h"
#include "FLDATA.h"
#include "board_rig.h"

namespace {

typedef std::vector<uint8_t> Bytes;
const uint32_t FLASH = 0x03F00000, TABLES = 0x03FFA000;
const Bytes TABLES_MAGIC = {0xD4, 0xC3, 0xB2, 0xA1};

Bytes Pattern(size_t n, unsigned seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = (uint8_t)((i * 2654435761u + seed * 40503u) >> 13);
    return b;
}

std::string Str(const Bytes &b) { return std::string(b.begin(), b.end()); }
unsigned Sum(const Bytes &b, size_t from = 0) { return std::accumulate(b.begin() + from, b.end(), 0u); }

// A hex file of a raw image placed at addr, made by GNU objcopy or by srecord (records of 255 bytes).
std::string Tool_Hex(const Bytes &image, uint32_t addr, bool srec_cat = false)
{
    Scratch_Dir d;
    d.write("i.bin", Str(image));
    std::string out, cmd = (srec_cat ? "srec_cat " : "objcopy -I binary -O ihex ") + d.file("i.bin") +
                           (srec_cat ? " -binary -offset " : " --change-addresses ") + std::to_string(addr) +
                           (srec_cat ? " -o - -intel -obs=255" : " /dev/stdout");
    FILE *p = popen(cmd.c_str(), "r");
    char buf[4096];
    for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    EXPECT_TRUE(p && pclose(p) == 0) << cmd;
    return out;
}

// One "name group version first-last length checksum base:offset date" line per program, the date "now" when within
// an hour of the present.
std::string Directory(const RIG_RESULT &r)
{
    FLASH_DIR_TBL dir;
    Bytes raw = Flash_At(r, TABLES + 0x1000, sizeof dir);
    if (raw.size() != sizeof dir) return "no tables";
    memcpy(&dir, raw.data(), sizeof dir);
    std::string out;
    for (int i = FIRST_PROG_DIR_ENTRY; i < MAX_DIR_ENTRIES; i++) {
        const FLASH_DIR_ENTRY_STRUCT &e = dir[i];
        const auto &m = e.program_mem;
        char b[200];
        bool now = std::llabs((long long)e.file_date_time - (long long)time(nullptr)) < 3600;
        snprintf(b, sizeof b, "%s %s %s %X-%X %X %X %X:%X %s\n", e.program_name_str, e.group_name_str,
                 e.version_str, m.first_phys_addr, m.last_phys_addr, m.logical_len, m.checksum,
                 m.start_vector_base, m.start_vector_offset, now ? "now" : "old");
        if (e.dir_flags & DIR_IN_USE) out += b;
    }
    return out;
}

// "erases/block:bytes" per block programmed (tables aside), counting the erases and the write RAM data the board took
// since the block before.
std::string Programmed(const RIG_RESULT &r)
{
    std::string out;
    long long bytes = 0, erases = 0;
    char b[40];
    for (const TRACE_EVENT &e : r.trace) {
        if (e.Is("rx_frame") && e.Str("name") == "write_ram") bytes += e.Num("len");
        erases += e.Is("erase");
        if (!e.Is("program") || e.Num("block") == TABLES) continue;
        snprintf(b, sizeof b, "%lld/%llX:%llX ", erases, e.Num("block"), bytes);
        out += b, bytes = erases = 0;
    }
    return out;
}

// The first address where the flash differs from the model, outside the tables block.
std::string Flash_Mismatch(const RIG_RESULT &r, const Bytes &model)
{
    if (r.image.size() != model.size()) return "image size " + std::to_string(r.image.size());
    for (uint32_t i = 0; i < model.size(); i++)
        if (r.image[i] != model[i] && (FLASH + i < TABLES || FLASH + i >= TABLES + 0x2000))
            return "at " + std::to_string(FLASH + i);
    return "";
}

TEST(Program, CheckhexAndProgramTranscript)
{
    // span.bin, named by its full path, is replaced by one of two versions again and again.
    Scratch_Dir outside;
    Bytes spans[2] = {Pattern(0x2000, 2), Pattern(0x2000, 12)}, app = Pattern(3000, 1), low = Pattern(0x80, 3),
          high = Pattern(0xC0, 4), edge = Pattern(0x2000, 5), prot = Pattern(200000, 6), over = Pattern(0x10, 10);
    outside.write("span.bin", Str(spans[0]));
    std::atomic<bool> stop{false};
    std::thread replacer([&] {
        for (int i = 1; !stop; i++, usleep(100)) {
            outside.write("s.new", Str(spans[i % 2]));
            rename(outside.file("s.new").c_str(), outside.file("span.bin").c_str());
        }
    });
    std::string many;
    for (int i = 0; i < 21; i++) many += Hex_Record(0, (WORD)(i * 0x10), {0xAA});
    std::map<std::string, std::string> files = {
        {"prot.hex", Tool_Hex(prot, 0x3F80000, true)},  // by srecord: records across 64 KB boundaries
        {"Boot.Bin", std::string(1000, 'b')}, {"many.hex", many + HEX_END},
        {"app.hex", Tool_Hex(app, 0xC0000)}, {"edge.bin", Str(edge)},
        // segments in one block, the highest first, the last one over the middle of another
        {"two.hex", Hex_Record(4, 0, {0, 14}) + Hex_Record(0, 0x8000, high) + Hex_Record(0, 0x100, low) +
                        Hex_Record(0, 0x140, over) + HEX_END},
        {"bad.hex", Hex_Record(4, 0, {3, 0xF9}) + Hex_Record(0, 0x100, low) + ":02010000ABCD00\n" + HEX_END},
        {"void.bin", Str(Pattern(100, 7))}, {"big.bin", Str(Pattern(0x8000, 8))}, {"old.bin", "old"}};
    std::string lines = "init com1\nprogram old.bin addr=3f70000\ndebug\neraseall\ncheckhex many\nprogram bad\n"
                        "program app gr=tools ver=1.2\nprogram " + outside.file("span.bin") + " addr=cf000\n"
                        "log=download\nprogram two\n"
                        "program edge.bin addr=3eff100\nlog=normal\nprogram void.bin addr=200000\nprogram app\n"
                        "program big.bin addr=3f80000\n\x1b";  // escape during its download
    for (int i = 5; i <= 9; i++) {
        files["p" + std::to_string(i) + ".bin"] = std::string(0x40, (char)i);
        lines += "program p" + std::to_string(i) + ".bin addr=3f90" + std::to_string(i) + "00\n";
    }
    // No segment file is left behind, neither by program nor by checkhex (ls before the cleanup at exit).
    lines += "checkhex prot.hex\ncheckhex boot.bin addr=8000\ndos\nls\n";
    Bytes model(0x100000, 0xFF);  // after eraseall; the board starts all zero
    RIG_SETUP setup;
    setup.stdin_text = lines, setup.files = files, setup.initial_image = Bytes(model.size(), 0);
    RIG_RESULT r = Run_Session(setup);
    stop = true;
    replacer.join();
    ASSERT_TRUE(r.started && !r.timed_out) << r.error << r.out;

    EXPECT_EQ(Count(r.out, "code/data segment"), 2u);  // checkhex at log level debug
    for (const char *said :
         {"Process hex code/data segment #0 from 0x03F80000 to 0x03FB0D3F (200000 bytes)\n",
          "Process binary code/data segment from 0x00008000 to 0x000083E7 (1000 bytes)\n", "Flash erasure complete\n",
          "\nOperation FAILED!  Hex file segment limit exceeded\n\n",
          "\nNo code/data located in flash memory!\n", "Program name already in flash directory!\n",
          "\nOperation FAILED!  User aborted command\n\n", "Directory full!\n",
          // two segments in one block: one save, both work-area places
          "Save flash block at 0x03FE0000 (65536 bytes)\n",
          "\nWrite WA from 0x00020100 to 0x0002017F ...   Size: 128   \n",
          "\nWrite WA from 0x00028000 to 0x000280BF ...   Size: 192   \n",
          "WARNING!  Hex segments #1 and #2 overlap at 0x000E0140-0x000E014F: #2 is programmed over #1\n",
          "\nOperation FAILED!  Invalid checksum in hex file at line 3\n\n",  // nothing sent
          // the piece straddling the lowest block's start is clipped
          "\nDownload segment from 0x03EFFD00 to 0x03F000FF (1024 bytes)\n"
          "   using device  from 0x03F00000 to 0x03F0FFFF (65536 bytes)\n"
          "Adjusted start addr   0x03F00000 to 0x03F000FF (256 bytes)\n"
          "\nWrite WA from 0x00020000 to 0x000200FF ...   Size: 256   \n",
          "Read ...      Addr: 03F80000 - 03FB0D3F   Size: 200000   Total: 200000 (100% of file)\n",
          "Download ...  Addr: 000CFC00 - 000CFFFF   Size: 1024     Total: 4096 of 8192 (50%)\nProgram 29LV800T"})
        EXPECT_EQ(Count(r.out, said), 1u) << said << "\n--- in ---\n" << r.out;
    EXPECT_EQ(Count(r.out, "Flash programming complete"), 9u);
    // Into a pipe nothing is rewritten: one progress line per block programmed (as below), with its share.
    EXPECT_TRUE(Count(r.out, "Download ...") == 10 && r.out.find('\r') == std::string::npos) << r.out;
    EXPECT_TRUE(Count(r.out, "many.hex") == 1 && Count(r.out, "seg0") == 0) << r.out;  // the shell's ls ran

    // eraseall erases all 19 blocks (and forgets OLD), then each program erases and programs each of its blocks once
    // and sends each byte once.
    EXPECT_EQ(Programmed(r), "1/3F70000:3 20/3FC0000:BB8 1/3FC0000:1000 1/3FD0000:1000 1/3FE0000:150 "
                             "1/3F00000:1100 1/3F90000:40 1/3F90000:40 1/3F90000:40 1/3F90000:40 ");
    Bytes span = Flash_At(r, 0x3FCF000, 0x2000);  // one version of span.bin, and its directory entry sums it
    EXPECT_TRUE(span == spans[0] || span == spans[1]);
    for (int i = 5; i <= 8; i++) std::fill_n(model.begin() + 0x90000 + i * 0x100, 0x40, i);
    for (auto [at, b] : std::vector<std::pair<uint32_t, Bytes>>{{0xC0000, app}, {0xCF000, span}, {0xE0100, low},
             {0xE0140, over}, {0xE8000, high}, {0, Bytes(edge.begin() + 0xF00, edge.end())}})
        std::copy(b.begin(), b.end(), model.begin() + at);
    EXPECT_EQ(Flash_Mismatch(r, model), "");

    char want_dir[512];
    snprintf(want_dir, sizeof want_dir,
             "APP TOOLS 1.2 C0000-C0BB7 BB8 %X C000:0 now\nSPAN TOOLS 1.2 CF000-D0FFF 2000 %X 0:0 now\n"
             "TWO TOOLS 1.2 E0100-E80BF 150 %X 0:0 now\nEDGE TOOLS 1.2 3F00000-3F010FF 1100 %X 0:0 now\n"
             "P5 TOOLS 1.2 3F90500-3F9053F 40 140 0:0 now\nP6 TOOLS 1.2 3F90600-3F9063F 40 180 0:0 now\n"
             "P7 TOOLS 1.2 3F90700-3F9073F 40 1C0 0:0 now\nP8 TOOLS 1.2 3F90800-3F9083F 40 200 0:0 now\n",
             Sum(app), Sum(span), Sum(low) + Sum(high) + Sum(over), Sum(edge, 0xF00));
    EXPECT_EQ(Directory(r), want_dir);
    EXPECT_EQ(Flash_At(r, TABLES, 4), TABLES_MAGIC);
}

// Programs that would overwrite a stored program or the tables are refused before anything is sent; delete then
// program replaces one. verify=on catches bits the board leaves unprogrammed (its flash fault at 0x03FE0010);
// verify=off reports success over them as it always did.
TEST(Program, OverlapsAreRefusedAndVerifyCatchesAFlashFault)
{
    Bytes table = Pattern(20000, 10), app = Pattern(3000, 1), model(0x100000, 0xFF);
    RIG_SETUP setup;
    setup.files = {{"table.bin", Str(table)}, {"myapp.bin", "x"}, {"myapp.hex", Tool_Hex({1}, 0)},
                   {"boot.bin", std::string(26, 0)}, {"bad.bin", std::string(0x100, 0)}, {"app.hex", Tool_Hex(app, 0xC0000)}};
    setup.stdin_text = "init com1\nprogram table.bin addr=d0000\nprogram myapp\nprogram boot.bin addr=3ffa000\n"
                       "delete table ; program table addr=d0000\nprogram bad addr=e0000 verify=on\nprogram bad verify=off\n"
                       "program app.hex verify=on\nexit\n";
    setup.board_args = {"--flash-fault", "3FE0010:F"};
    RIG_RESULT r = Run_Session(setup);
    ASSERT_TRUE(r.started) << r.error;
    for (const char *said : {"Programming MYAPP.BIN (binary) at 0x000D0000",
                             "Program would overwrite TABLE at 0x000D0000-0x000D4E1F! Delete it first.",
                             "Program would overwrite the flash tables at 0x03FFA000-0x03FFA019!",
                             "Verify failed: flash block at 0x03FE0000 differs from what was written",
                             "Programming APP.HEX (hex)"})
        EXPECT_EQ(Count(r.out, said), 1u) << said << r.out;
    EXPECT_EQ(Count(r.out, "Flash programming complete"), 4u);
    // Nothing crossed the wire for the refusals; each verify compares its block with the work area.
    EXPECT_EQ(Programmed(r), "1/3FD0000:4E20 1/3FD0000:4E20 1/3FE0000:100 1/3FE0000:100 1/3FC0000:BB8 ");
    std::string compares;
    for (const TRACE_EVENT &e : Events(r.trace, "rx_frame"))
        if (e.Str("name") == "compare_ram") compares += e.Str("dest") + "<" + e.Str("src") + ":" + e.Str("len") + " ";
    EXPECT_EQ(compares, "66977792<131072:65536 66846720<131072:65536 67084288<131072:8192 ");
    std::copy(table.begin(), table.end(), model.begin() + 0xD0000), std::copy(app.begin(), app.end(), model.begin() + 0xC0000);
    std::fill_n(model.begin() + 0xE0000, 0x100, 0), model[0xE0010] = 0x0F;
    EXPECT_EQ(Flash_Mismatch(r, model), "");
    char want_dir[256];
    snprintf(want_dir, sizeof want_dir, "TABLE   D0000-D4E1F 4E20 %X 0:0 now\nBAD   E0000-E00FF 100 0 0:0 now\n"
             "APP   C0000-C0BB7 BB8 %X C000:0 now\n", Sum(table), Sum(app));
    EXPECT_EQ(Directory(r), want_dir);
    setup.stdin_text = "init com1\nexit\n", setup.initial_image = r.image;  // the tables read back intact
    EXPECT_NE(Run_Session(setup).out.find("Flash tables OK\nInitialization complete\n"), std::string::npos);
}

// Faults on the line may make a run fail (said once, no directory entry), but a run that says it succeeded must have
// put every byte in place.
TEST(Program, LineFaultsNeverLeaveWrongBytesWithSuccess)
{
    Bytes code = Pattern(0x3000, 9), model(0x100000, 0xFF);
    std::copy(code.begin(), code.end(), &model[0xE0000]);
    const std::string hex = Tool_Hex(code, 0xE0000);
    int successes = 0;
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"--nak-first", "3"}, {"--corrupt-rate", "0.0005", "--out-corrupt-rate", "0.002", "--seed", "5"},
             {"--drop-rate", "0.0005", "--seed", "3"}, {"--corrupt-rate", "0.003", "--seed", "9"}}) {
        RIG_RESULT r = Run_Typed("init com1\nprogram app\nexit\n", args, {}, {{"app.hex", hex}});
        size_t from = std::min(r.out.find("Start flash programming ..."), r.out.size());
        std::string run = r.out.substr(from, r.out.find("FLASH CMD:", from) - from);  // the program command
        if (Count(run, "Flash programming complete") == 1) {
            successes++;
            EXPECT_EQ(Flash_Mismatch(r, model), "") << args[1];
            continue;
        }
        EXPECT_NE(args[0], "--nak-first") << r.out;  // NAKs alone are always recovered
        EXPECT_EQ(Count(run, "FAILED!"), 1u) << args[1] << r.out;  // said once
        EXPECT_TRUE(Flash_At(r, TABLES, 4) != TABLES_MAGIC || Directory(r).empty()) << Directory(r);
    }
    EXPECT_GE(successes, 1);
}

}  // namespace
