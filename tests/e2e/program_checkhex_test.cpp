// checkhex on program files made by GNU objcopy from real binaries and on a
// raw image: the segment list shown must be what objcopy put into the file,
// and no temporary segment file may stay behind.
#include <gtest/gtest.h>
#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "run_torvex.h"

namespace {

struct Range {
    unsigned long start;
    unsigned long size;
};

std::string Shell_Output(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

bool Have_Objcopy()
{
    return system("objcopy --version >/dev/null 2>&1") == 0 && system("objdump --version >/dev/null 2>&1") == 0;
}

// Address ranges of the named sections as objdump reports them, merged where
// one ends exactly where the next begins.
std::vector<Range> Section_Ranges(const std::string &elf, const std::vector<std::string> &names)
{
    std::vector<Range> ranges;
    std::istringstream lines(Shell_Output("objdump -h '" + elf + "'"));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string idx, name, size, vma;
        if (!(words >> idx >> name >> size >> vma)) continue;
        if (std::find(names.begin(), names.end(), name) == names.end()) continue;
        ranges.push_back({std::stoul(vma, nullptr, 16), std::stoul(size, nullptr, 16)});
    }
    std::sort(ranges.begin(), ranges.end(), [](const Range &a, const Range &b) { return a.start < b.start; });
    std::vector<Range> merged;
    for (const Range &r : ranges) {
        if (!merged.empty() && merged.back().start + merged.back().size == r.start)
            merged.back().size += r.size;
        else
            merged.push_back(r);
    }
    return merged;
}

unsigned long Elf_Entry(const std::string &elf)
{
    std::string f = Shell_Output("objdump -f '" + elf + "'");
    size_t at = f.find("start address 0x");
    return at == std::string::npos ? 0 : std::stoul(f.substr(at + 16), nullptr, 16);
}

// The sorted-segment lines of a checkhex run, in the order printed.
std::vector<std::string> Segment_Lines(const std::string &out)
{
    std::vector<std::string> lines;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("Process hex code/data segment", 0) == 0 ||
            line.rfind("Process binary code/data segment", 0) == 0)
            lines.push_back(line);
    return lines;
}

std::string Hex_Segment_Line(unsigned index, unsigned long start, unsigned long size)
{
    char buf[128];
    snprintf(buf, sizeof buf, "Process hex code/data segment #%u from 0x%08lX to 0x%08lX (%lu bytes)", index,
             start, start + size - 1, size);
    return buf;
}

std::vector<std::string> Temp_Files(const std::string &dir)
{
    std::vector<std::string> found;
    DIR *d = opendir(dir.c_str());
    if (!d) return found;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".~~~") == 0) found.push_back(name);
    }
    closedir(d);
    return found;
}

Torvex_Result Run_In(const Scratch_Dir &dir, const std::string &lines)
{
    Torvex_Run run;
    run.stdin_text = lines;
    run.cwd = dir.path();
    return Run_Torvex(run);
}

TEST(ProgramCheckhex, ElfSectionsThroughObjcopy)
{
    if (!Have_Objcopy()) GTEST_SKIP() << "GNU objcopy not installed";
    Scratch_Dir dir;
    std::string elf = std::string(TORVEX_BIN_DIR) + "/torvex-target";
    std::vector<std::string> sections = {".text", ".rodata", ".data"};
    std::string cmd = "objcopy -O ihex -j .text -j .rodata -j .data '" + elf + "' '" + dir.file("board.hex") + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
    std::vector<Range> expected = Section_Ranges(elf, sections);
    ASSERT_FALSE(expected.empty());

    Torvex_Result r = Run_In(dir, "checkhex board\nexit\n");
    ASSERT_EQ(r.exit_code, 0);
    std::vector<std::string> got = Segment_Lines(r.out);
    ASSERT_EQ(got.size(), expected.size()) << r.out;
    // Sections come out in file order, which objcopy writes by address.
    for (size_t i = 0; i < expected.size(); i++)
        EXPECT_EQ(got[i], Hex_Segment_Line((unsigned)i, expected[i].start, expected[i].size));
    // objcopy writes a start address below 1 MB as CS:IP, higher ones as EIP;
    // either way the vector must point at the entry.
    size_t at = r.out.find("Process hex start vector ");
    ASSERT_NE(at, std::string::npos) << r.out;
    unsigned base = 0;
    unsigned long offset = 0;
    ASSERT_EQ(sscanf(r.out.c_str() + at, "Process hex start vector %4X:%8lX", &base, &offset), 2);
    EXPECT_EQ(base * 16ul + offset, Elf_Entry(elf));
    EXPECT_NE(r.out.find("Hex file OK\n"), std::string::npos);
    EXPECT_TRUE(Temp_Files(dir.path()).empty());
}

// A raw binary turned into hex below 1 MB (extended segment addresses and a
// CS:IP start record) and above it (extended linear addresses, EIP record).
TEST(ProgramCheckhex, RawBinaryThroughObjcopyBelowAndAbove1MB)
{
    if (!Have_Objcopy()) GTEST_SKIP() << "GNU objcopy not installed";
    Scratch_Dir dir;
    std::string image(200000, '\0');
    for (size_t i = 0; i < image.size(); i++) image[i] = (char)(i * 131 + (i >> 9));
    dir.write("image.bin", image);
    ASSERT_EQ(system(("cd '" + dir.path() + "' && objcopy -I binary -O ihex --change-addresses 0xC0000 image.bin "
                      "real.hex && objcopy -I binary -O ihex --change-addresses 0x3F80000 image.bin prot.hex")
                         .c_str()),
              0);

    Torvex_Result r = Run_In(dir, "checkhex real.hex\ncheckhex prot.hex\nexit\n");
    std::vector<std::string> got = Segment_Lines(r.out);
    ASSERT_EQ(got.size(), 2u) << r.out;
    EXPECT_EQ(got[0], Hex_Segment_Line(0, 0xC0000, image.size()));
    EXPECT_EQ(got[1], Hex_Segment_Line(0, 0x3F80000, image.size()));
    EXPECT_NE(r.out.find("Process hex start vector C000:00000000\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Process hex start vector 0000:03F80000\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("WARNING"), std::string::npos);
    EXPECT_TRUE(Temp_Files(dir.path()).empty());
}

TEST(ProgramCheckhex, BinaryImageAtAddr)
{
    Scratch_Dir dir;
    dir.write("Boot.Bin", std::string(1000, 'b'));
    Torvex_Result r = Run_In(dir, "checkhex boot.bin addr=8000\nexit\n");
    std::vector<std::string> got = Segment_Lines(r.out);
    ASSERT_EQ(got.size(), 1u) << r.out;
    EXPECT_EQ(got[0], "Process binary code/data segment from 0x00008000 to 0x000083E7 (1000 bytes)");
    EXPECT_NE(r.out.find("Binary file OK\n"), std::string::npos);
    EXPECT_TRUE(Temp_Files(dir.path()).empty());
}

TEST(ProgramCheckhex, FailedRunsReportOnceAndLeaveNoTempFilesAtExit)
{
    Scratch_Dir dir;
    std::string many;
    for (int i = 0; i < 21; i++) {
        char line[32];
        unsigned sum = 1 + (i & 0xFF) + 0xAA;
        snprintf(line, sizeof line, ":01%02X0000AA%02X\n", i, (unsigned)(0x100 - (sum & 0xFF)) & 0xFF);
        many += line;
    }
    many += ":00000001FF\n";
    dir.write("many.hex", many);
    dir.write("bad.hex", ":0100000000FF\n:00000006FA\n:00000001FF\n");

    Torvex_Result r = Run_In(dir, "checkhex many\ncheckhex bad\ncheckhex nothere.hex\n");
    EXPECT_NE(r.out.find("\nOperation FAILED!  Hex file segment limit exceeded\n\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nOperation FAILED!  Invalid record type in hex file\n\n"), std::string::npos);
    EXPECT_EQ(Segment_Lines(r.out).size(), 0u);
    // The run ended at the end of input: the cleanup on the way out removed
    // what the failed passes left.
    EXPECT_TRUE(Temp_Files(dir.path()).empty());
}

}  // namespace
