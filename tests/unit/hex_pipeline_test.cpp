// The hex record codec, program files into sorted segment files, and the
// download into the RAM work area against a scripted monitor (virtual clock).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <numeric>
#include <tuple>

#include "FLDATA.h"
#include "HCMDFMT.h"
#include "MSG.h"
#include "flashu.h"
#include "flashu_seg.h"
#include "hex_text.h"
#include "mem_port.h"
#include "run_torvex.h"

namespace {

// "len offset type data checksum" of the record read, or "" on a failure.
std::string Read_Record(std::string text, WORD *status)
{
    FILE *f = fmemopen(&text[0], text.size(), "r");
    OH86_RECORD_STRUCT r;
    memset(&r, 0xEE, sizeof r);
    *status = Get_OH86_Record(f, &r);
    fclose(f);
    char b[600];
    int n = snprintf(b, sizeof b, "%02X %04X %02X ", r.bRecLen, r.wOffset, r.bRecType);
    for (int i = 0; i < r.bRecLen; i++) n += snprintf(b + n, sizeof b - n, "%02X", r.bData[i]);
    snprintf(b + n, sizeof b - n, " %02X", r.bChecksum);
    return *status == E_OK ? b : "";
}

TEST(HexCodec, ReadsAndWritesRecords)
{
    WORD status = 0;
    for (auto [text, rec, want] : std::vector<std::tuple<std::string, std::string, WORD>>{
        {":0400000001020304F2\n", "04 0000 00 01020304 F2", E_OK},
        {"junk\r\n:02abcd00efff98\r\n", "02 ABCD 00 EFFF 98", E_OK},    // lower case, offset high byte first
        {":04000000 0102\n0304\nF2\n", "04 0000 00 01020304 F2", E_OK},  // split over lines
        {":0300000001F2\n:00000001FF\n", "03 0000 00 01F200 00", E_OK},  // short: borrows from the next line
        {":0400000001020304AA\n", "04 0000 00 01020304 AA", E_OK},        // checksum kept, not checked
        {":0 400000001020304F2\n", "", E_HEX_NUMERIC},                   // blank inside a byte
        {"", "", E_HEX_EOF},
        {":040000000102", "", E_HEX_EOF},
        {":0400000001020304F", "", E_HEX_EOF}}) {  // end between the digits of a pair
        EXPECT_EQ(Read_Record(text, &status), rec) << text;
        EXPECT_EQ(status, want) << text;
    }
    EXPECT_EQ(Hex_Record(0, 0x1234, {0xAB, 0xCD}), ":02123400ABCD40\n");
    std::string longest = ":FFFF0104" + std::string(510, 'A') + "A7\n";
    EXPECT_EQ(Hex_Record(4, 0xFF01, std::vector<BYTE>(255, 0xAA)), longest);
    EXPECT_EQ(Read_Record(longest, &status), "FF FF01 04 " + std::string(510, 'A') + " A7");
}

// Each test runs in a fresh directory: segment files go to the current one.
class In_Temp_Dir : public testing::Test {
protected:
    Scratch_Dir scratch;
    char old_cwd[4096];
    WORD status = 0;
    void SetUp() override { ASSERT_TRUE(getcwd(old_cwd, sizeof old_cwd) && !chdir(scratch.path().c_str())); }
    void TearDown() override { ASSERT_EQ(chdir(old_cwd), 0); }
};

// The byte every test puts at an address, so any segment file can be checked.
BYTE At(DWORD a) { return (BYTE)(a * 7 + (a >> 8) + (a >> 16) * 3 + (a >> 24)); }

std::string Data(DWORD addr, size_t n, int records = 1, DWORD step = 0x100)
{
    std::string text;
    for (int r = 0; r < records; r++, addr += step) {
        std::vector<BYTE> b(n);
        for (size_t i = 0; i < n; i++) b[i] = At(addr + (DWORD)i);
        text += Hex_Record(0, (WORD)addr, b);
    }
    return text;
}

std::string Linear(WORD upper) { return Hex_Record(4, 0, {(BYTE)(upper >> 8), (BYTE)upper}); }

class HexFile : public In_Temp_Dir {
protected:
    // Processes the text as prog.hex (or a binary image at addr); returns what was printed.
    std::string Run(const std::string &text, BYTE format = 0, DWORD addr = 0, const char *name = "prog.hex")
    {
        std::ofstream("PROG.HEX", std::ios::binary) << text;
        snprintf(filepath_str, sizeof filepath_str, "%s", name);
        file_format = format, program_addr = addr, status = 0x1234;
        log_level = LOG_OHREC | LOG_OHSEG | LOG_OHSORT;
        testing::internal::CaptureStdout();
        Process_Program_File(&status);
        file_format = 0, log_level = LOG_NORMAL;
        return testing::internal::GetCapturedStdout();
    }
    // "index:start+size ..." in map order; checks each segment file's name and bytes.
    std::string Segments()
    {
        std::string out;
        for (int i = 0; i < number_seg_map_entries; i++) {
            const SEGMENT_MAP_STRUCT &s = seg_map_tbl[i];
            char name[16], line[40];
            snprintf(name, sizeof name, "seg%03u.~~~", s.index);
            out += (snprintf(line, sizeof line, " %u:%X+%X", s.index, s.start_addr, s.size), line);
            EXPECT_EQ(+s.end_addr, s.start_addr + s.size - 1);
            EXPECT_STREQ(s.filepath_str, name);
            std::ifstream got(name, std::ios::binary);
            for (DWORD a = 0; a < s.size; a++) EXPECT_EQ((BYTE)got.get(), At(s.start_addr + a)) << name;
            EXPECT_EQ(got.get(), EOF) << name;
        }
        return out.substr(out.empty() ? 0 : 1);
    }
};

TEST_F(HexFile, BuildsSortedSegmentsAndStartVectors)
{
    // An empty data record is neither data nor a start vector; type 3 is CS then IP.
    std::string twenty, vectors = Data(0x40, 0) + Hex_Record(3, 0, {0xF0, 0x00, 0xFF, 0xF0}) + Data(0x80, 4) +
                                  Hex_Record(5, 0, {0x00, 0x01, 0x23, 0x45});
    char b[16];
    for (int i = 0; i < 20; i++) twenty += (snprintf(b, sizeof b, " %d:%X+4", i, i * 0x100), b);
    for (auto [text, segs, said] : std::vector<std::tuple<std::string, std::string, const char *>>{
        // The progress line of a segment counts the record that ended it.
        {Data(0, 0x80, 4, 0x80) + Data(0x1000, 16), "0:0+200 1:1000+10",
         "\rRead ...      Addr: 00000000 - 000001FF   Size: 512      Total: 528     "},
        {Data(0x300, 16) + Data(0x200, 16) + Data(0x100, 16), "2:100+10 1:200+10 0:300+10",
         "\nRead hex segment #2 from 0x00000100 to 0x0000010F (16 bytes)\n"},
        {Data(0x100, 8) + Data(0x500, 8) + Data(0x100, 4), "0:100+8 2:100+4 1:500+8",
         "Process hex code/data segment #2 from 0x00000100 to 0x00000103 (4 bytes)\n"
         "Process hex code/data segment #1 from 0x00000500 to 0x00000507 (8 bytes)\n"},
        {Linear(8) + Data(0x80010, 4) + Hex_Record(2, 0, {0x10, 0x00}) + Data(0x10020, 4) + Linear(0) +
             Data(0x30, 4),
         "2:30+4 1:10020+4 0:80010+4", "type = 2, base = 0x0000, offset = 0x00010000, count = 0\n"},
        // A start of 0xFFFFFFFF is also the sort's "nothing found" mark.
        {Linear(0xFFFF) + Data(0xFFFFFFFF, 1) + Linear(0) + Data(0x100, 4), "1:100+4 0:FFFFFFFF+1", ""},
        {Data(0, 4, 20), twenty.substr(1), ""},
        {vectors, "0:80+4", "type = 3, base = 0xF000, offset = 0x0000FFF0, count = 0\n"
                            "Read hex start vector F000:0000FFF0\n"},
        {vectors, "0:80+4", "type = 5, base = 0x0000, offset = 0x00012345, count = 0\nWARNING!  Multiple start "
                            "vectors found in hex file\nRead hex start vector 0000:00012345 (ignored)\n"},
        {vectors, "0:80+4", "Process hex start vector F000:0000FFF0\nHex file OK\n"}}) {
        std::string out = Run(text + HEX_END);
        EXPECT_EQ(status, E_OK) << out;
        EXPECT_EQ(Segments(), segs) << out;
        EXPECT_NE(out.find(said), std::string::npos) << said << "\n--- in ---\n" << out;
    }
    std::string out = Run(Data(0, 4, 21) + HEX_END);
    EXPECT_EQ(status, E_SEG_LIMIT);  // left for the caller to report
    EXPECT_EQ(out.find("FAILED"), std::string::npos);
}

TEST_F(HexFile, FailuresAreReportedOnce)
{
    for (auto [text, format, addr, said] : std::vector<std::tuple<std::string, BYTE, DWORD, const char *>>{
        {Data(0x40, 0) + HEX_END, 0, 0, "\nHex file contains no code/data!\n"},
        {Data(0, 4) + Hex_Record(6, 0, {1, 2}) + HEX_END, 0, 0, "FAILED!  Invalid record type in hex file\n"},
        // an unknown record keeps the base the address record before it gave
        {Data(0, 4) + Linear(8) + Hex_Record(6, 0, {1, 2}) + HEX_END, 0, 0,
         "type = 6, base = 0x0000, offset = 0x00080000, count = 0\n"},
        {Data(0, 4), 0, 0, "\nOperation FAILED!  Premature EOF in hex file\n\n"},
        {":0400000001 20304F2\n" + std::string(HEX_END), 0, 0, "FAILED!  Invalid numeric in hex file\n"},
        {"", 1, 0, "\nBinary file contains no code/data!\n"},
        {std::string(0x100, 'x'), 1, 0xFFFFFF01, "Binary file too large for address 0xFFFFFF01!\n"}}) {
        std::string out = Run(text, format, addr);
        EXPECT_EQ(status, E_REPORTED) << said;
        EXPECT_NE(out.find(said), std::string::npos) << out;
        EXPECT_EQ(out.find("FAILED", out.find("FAILED") + 1), std::string::npos) << out;
        EXPECT_EQ(number_seg_map_entries, 0) << out;
    }
    std::string out = Run("", 0, 0, "missing.hex");
    EXPECT_NE(out.find("\nOperation FAILED!  Cannot open hex file\n\n"), std::string::npos) << out;
    EXPECT_EQ(status, E_REPORTED);

    ASSERT_EQ(mkdir("seg001.~~~", 0700), 0);  // in the way of the second segment's file
    out = Run(Data(0, 4) + Data(0x100, 4) + HEX_END);
    EXPECT_EQ(status, E_REPORTED);
    EXPECT_NE(out.find("\nCannot create segment file seg001.~~~: Is a directory!\n"), std::string::npos) << out;
    EXPECT_EQ(number_seg_map_entries, 0);
}

class Download : public In_Temp_Dir {
protected:
    std::vector<WRITE_RAM_CMD_STRUCT> writes;
    std::vector<DWORD> times;   // virtual time of each write request
    std::vector<WORD> answers;  // monitor status per write request, then 0
    int other_requests = 0;
    BYTE data[DOWNLOAD_PIECE_SIZE];
    DWORD total = 0;

    void SetUp() override
    {
        In_Temp_Dir::SetUp();
        Mem_Port_Install(0);
        Init_Message_Link(0, 9600, &status);
        ASSERT_EQ(status, E_OK);
        Mem_Port_Monitor([this](const Bytes &req) {
            Bytes resp = req;
            if (req[0] != WRITE_RAM_CMD) return other_requests++, resp;
            writes.emplace_back();
            memcpy(&writes.back(), req.data(), std::min(req.size(), sizeof(WRITE_RAM_CMD_STRUCT)));
            times.push_back(Mem_Port().now);
            WORD answer = writes.size() <= answers.size() ? answers[writes.size() - 1] : 0;
            resp[1] = (BYTE)answer, resp[2] = (BYTE)(answer >> 8);
            return resp;
        });
        for (unsigned i = 0; i < sizeof data; i++) data[i] = At(i);
        oh_first_addr = 0xFFFFFFFF, oh_last_addr = oh_checksum = oh_logical_len = 0;
        log_level = LOG_TERSE;
    }
    void TearDown() override
    {
        Shutdown_Message_Link(&status), Mem_Port_Remove(), log_level = LOG_NORMAL;
        In_Temp_Dir::TearDown();
    }
    std::string Write(DWORD start, DWORD size, DWORD dev_start, DWORD dev_size)
    {
        testing::internal::CaptureStdout();
        Download_RAM_Work_Area(start, size, dev_start, dev_size, data, &total, &status);
        return testing::internal::GetCapturedStdout();
    }
    // Work-area address+size per write request, then first-last address, length and total counted.
    std::string Sent()
    {
        std::string out;
        char b[64];
        for (const auto &w : writes) out += (snprintf(b, sizeof b, "%X+%X ", w.phys_address, w.cmd_data_size), b);
        snprintf(b, sizeof b, "= %X-%X %X %X", oh_first_addr, oh_last_addr, oh_logical_len, total);
        return out + b;
    }
};

TEST_F(Download, PiecesAreClippedToTheBlockWindow)
{
    log_level = LOG_DOWNLOAD;
    std::string out = Write(0xCFF00, 0x400, 0xD0000, 0x100);  // over both ends of the window
    EXPECT_NE(out.find("Adjusted end addr     0x000D0000 to 0x000D00FF (256 bytes)\n"), std::string::npos) << out;
    EXPECT_EQ(Sent(), "20000+100 = D0000-D00FF 100 100");
    EXPECT_EQ(memcmp(writes.at(0).data, data + 0x100, 0x100), 0);
    EXPECT_EQ(oh_checksum, std::accumulate(data + 0x100, data + 0x200, 0u));
    // Ending one byte before the window or starting one past it sends nothing.
    EXPECT_EQ(Write(0xCFC00, 0x400, 0xD0000, 0x10000) + Write(0xE0000, 0x400, 0xD0000, 0x10000), "");
    Write(0xCFC01, 0x400, 0xD0000, 0x10000);        // the last byte inside
    Write(0xFFFFFF00, 0x200, 0xFFFF0000, 0x10000);  // only the bytes below 4 GB
    EXPECT_EQ(Sent(), "20000+100 20000+1 2FF00+100 = D0000-FFFFFFFF 201 201");
}

TEST_F(Download, OneRetryAfter750msThenReportedOnce)
{
    answers = {E_BAD_WRITE_ADDR, 0, E_BAD_WRITE_ADDR, E_BAD_WRITE_ADDR};
    Write(0xD0000, 0x40, 0xD0000, 0x10000);
    EXPECT_EQ(status, E_OK);
    EXPECT_GE(times.at(1) - times.at(0), 750u);
    EXPECT_EQ(memcmp(writes[0].data, writes[1].data, 0x40), 0);
    EXPECT_EQ(Write(0xD1000, 0x40, 0xD0000, 0x10000), "\nOperation FAILED!  Invalid write RAM address\n\n");
    EXPECT_EQ(status, E_REPORTED);
    EXPECT_EQ(Sent(), "20000+40 20000+40 21000+40 21000+40 = D0000-D003F 40 40");  // the failed piece not counted
}

// A segment file that is gone or short stops the run before the block is
// even saved: nothing at all reaches the monitor.
TEST_F(Download, MissingOrShortSegmentFileFailsBeforeAnythingIsSent)
{
    device_map_tbl[0] = {0xDA, 0x000D0000, 0x03FD0000, 0x03FD0000, 0x10000, 13, 18, 0x03F00000, 0, 0};
    seg_map_tbl[0] = {0, 0xD0000, 0xD0FFF, 0x1000, "seg000.~~~"};
    seg_map_tbl[1] = {1, 0xD8000, 0xD80FF, 0x100, "seg001.~~~"};
    number_device_map_entries = 1, number_seg_map_entries = 2;
    std::ofstream("seg000.~~~", std::ios::binary) << std::string(0x1000, 'a');
    for (int short_file = 0; short_file < 2; short_file++) {
        if (short_file) std::ofstream("seg001.~~~", std::ios::binary) << std::string(0xFF, 'b');
        testing::internal::CaptureStdout();
        Program_Segment_Blocks(&status);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "\nOperation FAILED!  Premature EOF in segment file\n\n");
        EXPECT_EQ(status, E_REPORTED);
        EXPECT_EQ(writes.size() + other_requests, 0u);
    }
}

}  // namespace
