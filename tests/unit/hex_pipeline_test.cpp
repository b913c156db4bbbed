// Program files into sorted private segment files, download into the work area, progress.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include "FLDATA.h"
#include "HCMDFMT.h"
#include "flashu.h"
#include "flashu_seg.h"
#include "hex_text.h"
#include "mem_port.h"
#include "run_torvex.h"

namespace {
// The record with the last digit of its checksum changed.
std::string Bad(std::string rec)
{
    rec[rec.size() - 2] = rec[rec.size() - 2] == '0' ? '1' : '0';
    return rec;
}

// The byte every test puts at an address, so any segment file can be checked.
const auto At = [](DWORD a) { return BYTE(a * 7 + (a >> 8) + (a >> 16) * 3 + (a >> 24)); };

std::string Data(DWORD addr, size_t n, int records = 1, DWORD step = 0x100)
{
    std::string text;
    for (std::vector<BYTE> b(n); records-- > 0; addr += step) {
        for (size_t i = 0; i < n; i++) b[i] = At(addr + (DWORD)i);
        text += Hex_Record(0, (WORD)addr, b);
    }
    return text;
}

std::string Hex(DWORD v)
{
    char b[12];
    snprintf(b, sizeof b, "%X", v);
    return b;
}

// In a fresh directory, a monitor answering write RAM with `answers` (then 0) on a virtual clock.
class Pipeline : public Mem_Link_Test {
protected:
    Scratch_Dir scratch;
    char old_cwd[4096];
    WORD status = 0;
    std::vector<WRITE_RAM_CMD_STRUCT> writes;
    std::vector<DWORD> times; // virtual time of each write request
    std::vector<WORD> answers;
    int other_requests = 0;
    BYTE data[DOWNLOAD_PIECE_SIZE];
    DWORD total = 0;
    void SetUp() override
    {
        ASSERT_TRUE(getcwd(old_cwd, sizeof old_cwd) && !chdir(scratch.path().c_str()));
        Mem_Link_Test::SetUp();
        Mem_Port_Monitor([this](const Bytes &req) {
            Bytes resp = req;
            other_requests += req[0] != WRITE_RAM_CMD;
            if (req[0] != WRITE_RAM_CMD) return resp;
            writes.emplace_back();
            memcpy(&writes.back(), req.data(), std::min(req.size(), sizeof(WRITE_RAM_CMD_STRUCT)));
            times.push_back(Mem_Port().now);
            WORD answer = writes.size() <= answers.size() ? answers[writes.size() - 1] : 0;
            memcpy(&resp[1], &answer, 2);
            return resp;
        });
        for (unsigned i = 0; i < sizeof data; i++) data[i] = At(i);
        oh_first_addr = 0xFFFFFFFF;
        oh_last_addr = oh_checksum = oh_logical_len = 0;
        log_level = LOG_TERSE;
    }
    void TearDown() override
    {
        Mem_Link_Test::TearDown();
        Delete_Temp_Files(); // the map holds its segment files until then
        log_level = LOG_NORMAL;
        ASSERT_EQ(chdir(old_cwd), 0);
    }
    // "index:start+size ..." in map order; checks each segment file's name, mode and bytes.
    std::string Segments()
    {
        std::string out;
        for (int i = 0; i < number_seg_map_entries; i++) {
            const SEGMENT_MAP_STRUCT &s = seg_map_tbl[i];
            out += " " + std::to_string(s.index) + ":" + Hex(s.start_addr) + "+" + Hex(s.size);
            EXPECT_EQ(+s.end_addr, s.start_addr + s.size - 1);
            std::string name = s.filepath_str;
            struct stat st;
            EXPECT_TRUE(name.rfind(".~~~") == name.size() - 4 && !lstat(name.c_str(), &st) &&
                        S_ISREG(st.st_mode) && (st.st_mode & 0777) == 0600)
                << name;
            FILE *got = Open_Segment_Data(&s);
            for (DWORD a = 0; got && a < s.size; a++)
                EXPECT_EQ((BYTE)fgetc(got), At(s.start_addr + a)) << name;
            EXPECT_TRUE(got && fgetc(got) == EOF && !fclose(got)) << name;
        }
        return out.substr(out.empty() ? 0 : 1);
    }
    std::string Write(DWORD start, DWORD size, DWORD dev_start, DWORD dev_size)
    {
        return Stdout_Of([&] {
            Download_RAM_Work_Area(start, size, dev_start, dev_size, data, &total, &status);
        });
    }
    // How a file is given: a binary file; no file; no working folder left.
    static const BYTE BIN = 1, MISSING = 2, GONE = 4;
    struct CASE {
        std::string text;
        BYTE how;
        DWORD addr;
        std::string segments, said;
    };
    void Check_All(const std::vector<CASE> &cases)
    {
        for (const CASE &c : cases) {
            if (c.how == GONE) { // the later cases stay in the lost folder
                ASSERT_TRUE(mkdir("gone", 0700) == 0 && chdir("gone") == 0 && !rmdir("../gone"));
            }
            const std::string path = c.how & GONE      ? scratch.file("PROG.HEX")
                                     : c.how & MISSING ? "missing.hex"
                                                       : "prog.hex";
            scratch.write("PROG.HEX", c.text);
            snprintf(filepath_str, sizeof filepath_str, "%s", path.c_str());
            file_format = c.how & BIN;
            program_addr = c.addr;
            status = 0x1234;
            log_level = LOG_OHREC | LOG_OHSEG | LOG_OHSORT;
            std::string out = Stdout_Of([&] { Process_Program_File(&status); });
            file_format = 0;
            log_level = LOG_TERSE;
            EXPECT_EQ(status, c.segments.empty() ? E_REPORTED : E_OK) << out;
            EXPECT_EQ(Segments(), c.segments) << out;
            EXPECT_NE(out.find(c.said), std::string::npos) << c.said << "\n--- in ---\n" << out;
            EXPECT_EQ(out.find("FAILED", out.find("FAILED") + 1), std::string::npos) << out;
        }
    }
    // Work-area address+size per write request, then first-last address, length and total counted.
    std::string Sent()
    {
        std::string out;
        for (const auto &w : writes) out += Hex(w.phys_address) + "+" + Hex(w.cmd_data_size) + " ";
        return out + "= " + Hex(oh_first_addr) + "-" + Hex(oh_last_addr) + " " +
               Hex(oh_logical_len) + " " + Hex(total);
    }
};

TEST_F(Pipeline, FilesBecomeSortedSegmentsWithTheirStartVector)
{
    EXPECT_EQ(Hex_Record(0, 0x1234, {0xAB, 0xCD}), ":02123400ABCD40\n"); // the cases' writer
    std::string twenty;
    for (int i = 0; i < 20; i++) twenty += " " + std::to_string(i) + ":" + Hex(i * 0x100) + "+4";
    // An empty data record is neither data nor a start vector; type 3 is CS then IP.
    const std::string vectors = Data(0x40, 0) + Hex_Record(3, 0, {0xF0, 0x00, 0xFF, 0xF0}) +
                                Data(0x80, 4) + Hex_Record(5, 0, {0x00, 0x01, 0x23, 0x45}) +
                                HEX_END;
    const std::string overlaps =
        "Process hex code/data segment #2 from 0x00000100 to 0x00000103 (4 bytes)\n"
        "Process hex code/data segment #1 from 0x00000500 to 0x00000507 (8 bytes)\n"
        "Process hex code/data segment #3 from 0x00000507 to 0x00000516 (16 bytes)\n"
        "WARNING!  Hex segments #0 and #2 overlap at 0x00000100-0x00000103: #2 is programmed "
        "over #0\nWARNING!  Hex segments #1 and #3 overlap at 0x00000507-0x00000507: #3 is "
        "programmed over #1\nProcess hex start vector";
    Check_All({
        // A segment's progress line counts the record that ended it; the share is of the text.
        {Data(0, 0x80, 4, 0x80) + Data(0x1000, 16) + HEX_END, 0, 0, "0:0+200 1:1000+10",
         "Read ...      Addr: 00000000 - 000001FF   Size: 512      Total: 528 (98% of file)\n"},
        // Overlaps (one of a single byte) are kept in map order and named once a pair, only they.
        {Data(0x100, 8) + Data(0x500, 8) + Data(0x100, 4) + Data(0x507, 16) + HEX_END, 0, 0,
         "0:100+8 2:100+4 1:500+8 3:507+10", overlaps},
        {Hex_Record(4, 0, {0, 8}) + Data(0x80010, 4) + Hex_Record(2, 0, {0x10, 0x00}) +
             Data(0x10020, 4) + Hex_Record(4, 0, {0, 0}) + Data(0x30, 4) + HEX_END,
         0, 0, "2:30+4 1:10020+4 0:80010+4",
         "type = 2, base = 0x0000, offset = 0x00010000, count = 0\n"},
        // A start of 0xFFFFFFFF is also the sort's "nothing found" mark.
        {Hex_Record(4, 0, {0xFF, 0xFF}) + Data(~0u, 1) + Hex_Record(4, 0, {0, 0}) + Data(0x100, 4) +
             HEX_END,
         0, 0, "1:100+4 0:FFFFFFFF+1", ""},
        {Data(0, 4, 20) + HEX_END, 0, 0, twenty.substr(1), ""},
        {vectors, 0, 0, "0:80+4",
         "WARNING!  Multiple start vectors found in hex file\n"
         "Read hex start vector 0000:00012345 (ignored)\n"},
    });
    EXPECT_TRUE(oh_vector_base == 0xF000 && oh_vector_offset == 0xFFF0); // the last file's first
}

TEST_F(Pipeline, BadFilesFailOnceAndLeaveNoSegments)
{
    Check_All({
        {Data(0x40, 0) + HEX_END, 0, 0, "", "\nHex file contains no code/data!\n"},
        {Data(0, 4) + Hex_Record(6, 0, {1, 2}) + HEX_END, 0, 0, "",
         "FAILED!  Invalid record type in hex file\n"},
        {Data(0, 4), 0, 0, "", "\nOperation FAILED!  Premature EOF in hex file\n\n"},
        {":0400000001 20304F2\n" + std::string(HEX_END), 0, 0, "",
         "FAILED!  Invalid numeric in hex file\n"},
        // A wrong checksum in a data or the end record names its line.
        {Data(0, 4) + Bad(Data(4, 4)) + HEX_END, 0, 0, "",
         "FAILED!  Invalid checksum in hex file at line 2\n"},
        {Data(0, 4, 2) + Bad(HEX_END), 0, 0, "",
         "FAILED!  Invalid checksum in hex file at line 3\n"},
        {"", BIN, 0, "", "\nBinary file contains no code/data!\n"},
        {std::string(0x100, 'x'), BIN, 0xFFFFFF01, "",
         "Binary file too large for address 0xFFFFFF01!\n"},
        {"", MISSING, 0, "", "\nOperation FAILED!  Cannot open hex file\n\n"},
        {Data(0, 4) + HEX_END, GONE, 0, "", "\nCannot create segment file seg000."},
        {Data(0, 4) + HEX_END, GONE | BIN, 0, "", ".~~~: No such file or directory!\n"},
    });
}

// Planted links are never followed; another run in the folder removes only leftovers no run
// holds; a segment file not the run's own, or cut short, stops the download at once.
TEST_F(Pipeline, SegmentFilesArePrivateToTheRun)
{
    char name[40];
    for (unsigned n = 0; n < 3; n++) {
        snprintf(name, sizeof name, TEMP_FILE_NAME_FMT, n, std::to_string(getpid()).c_str());
        EXPECT_EQ(symlink("victim", name), 0);
    }
    Check_All({{Data(0, 4) + Data(0x100, 4) + Data(0x200, 4) + HEX_END, 0, 0,
                "0:0+4 1:100+4 2:200+4", ""}});
    EXPECT_NE(strchr(seg_map_tbl[0].filepath_str, '-'), nullptr); // it took other names
    scratch.write("seg000.1.~~~", "stale");
    ASSERT_EQ(mkfifo("fifo.~~~", 0600), 0); // no run leaves one: not a leftover
    scratch.write("other.hex", Hex_Record(0, 0, {0, 0, 0, 0}) + HEX_END);
    Torvex_Run other;
    other.stdin_text = "checkhex other.hex\nexit\n";
    other.cwd = scratch.path();
    EXPECT_NE(Run_Torvex(other).out.find("Hex file OK"), std::string::npos);
    EXPECT_EQ(Segments(), "0:0+4 1:100+4 2:200+4");
    EXPECT_TRUE(!scratch.exists("victim") && !scratch.exists("seg000.1.~~~") &&
                scratch.exists("fifo.~~~"));
    device_map_tbl[0] = {0xDA, 0, 0x03FD0000, 0x03FD0000, 0x10000, 13, 18, 0x03F00000, 0, 0};
    number_device_map_entries = 1;
    std::string own = seg_map_tbl[1].filepath_str;
    scratch.write("seg001.~~~", "abcd");
    for (int shortened = 0; shortened < 2; shortened++) {
        snprintf(seg_map_tbl[1].filepath_str, 80, "%s", shortened ? own.c_str() : "seg001.~~~");
        ASSERT_EQ(truncate(own.c_str(), 4 - shortened), 0);
        EXPECT_EQ(Stdout_Of([&] { Program_Segment_Blocks(&status); }) +
                      std::to_string(writes.size() + other_requests),
                  "\nOperation FAILED!  Premature EOF in segment file\n\n0");
    }
}

// Pieces are clipped to the block window; a refused write is sent again after 750 ms, once.
TEST_F(Pipeline, PiecesAreClippedToTheBlockWindowAndRetriedOnce)
{
    Write(0xCFF00, 0x400, 0xD0000, 0x100); // over both ends of the window
    EXPECT_EQ(Sent(), "20000+100 = D0000-D00FF 100 100");
    // Ending one byte before the window or starting one past it sends nothing.
    EXPECT_EQ(Write(0xCFC00, 0x400, 0xD0000, 0x10000) + Write(0xE0000, 0x400, 0xD0000, 0x10000),
              "");
    Write(0xCFC01, 0x400, 0xD0000, 0x10000);       // the last byte inside
    Write(0xFFFFFF00, 0x200, 0xFFFF0000, 0x10000); // only the bytes below 4 GB
    EXPECT_EQ(Sent(), "20000+100 20000+1 2FF00+100 = D0000-FFFFFFFF 201 201");
    answers = {0, 0, 0, E_BAD_WRITE_ADDR, 0, E_BAD_WRITE_ADDR, E_BAD_WRITE_ADDR};
    Write(0xD0000, 0x40, 0xD0000, 0x10000);
    EXPECT_TRUE(status == E_OK && times.at(4) - times.at(3) >= 750 &&
                !memcmp(writes[3].data, writes[4].data, 0x40)); // the same piece again
    EXPECT_EQ(Write(0xD1000, 0x40, 0xD0000, 0x10000),
              "\nOperation FAILED!  Invalid write RAM address\n\n");
    EXPECT_EQ(status, E_REPORTED);
    EXPECT_EQ(
        Sent(),
        "20000+100 20000+1 2FF00+100 20000+40 20000+40 21000+40 21000+40 = D0000-FFFFFFFF 241 241");
}

// On a terminal the share shrinks or goes, blanks cover the rest, a block's end keeps its line.
TEST(Progress, RewrittenWithinTheTerminalsWidth)
{
    log_level = LOG_NORMAL; // whatever the tests before left
    progress_columns = 9;
    EXPECT_EQ(Stdout_Of([] {
                  Progress_Begin(20, 4, nullptr);
                  for (DWORD done = 5; done <= 20; done += 5) {
                      Progress_Show(done, "%-3lu  ", (unsigned long)done);
                      Progress_Step_Done(done % 10 == 0);
                  }
                  Progress_End();
              }),
              "\r5 (25%)\r10 (50%)\n\r15 (75%)\r20      \n\n");
    progress_columns = PROGRESS_ASK;
}
} // namespace
