// Hex file processing: records into sorted segments and temporary files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "OH86_DEC.h"
#include "flashu.h"
#include "flashu_seg.h"

namespace {

typedef std::vector<BYTE> Bytes;

std::string Record(BYTE type, WORD offset, const Bytes &data)
{
    OH86_RECORD_STRUCT rec;
    memset(&rec, 0, sizeof rec);
    rec.bRecType = type;
    rec.bRecLen = (BYTE)data.size();
    rec.wOffset = offset;
    if (!data.empty()) memcpy(rec.bData, data.data(), data.size());
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    Send_OH86_Record(f, &rec);
    fclose(f);
    std::string out(buf, len);
    free(buf);
    return out;
}

Bytes Pattern(size_t n, BYTE seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = (BYTE)(seed + i * 3);
    return b;
}

std::string Data(WORD offset, const Bytes &data) { return Record(0, offset, data); }
const std::string kEnd = ":00000001FF\n";

std::string Read_File(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool Exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Every case runs in a fresh directory: the pass writes its segment files
// into the current one.
class HexSegments : public testing::Test {
protected:
    char dir[64] = "/tmp/hexseg_XXXXXX";
    char old_cwd[4096];
    WORD saved_level;

    void SetUp() override
    {
        ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
        ASSERT_NE(mkdtemp(dir), nullptr);
        ASSERT_EQ(chdir(dir), 0);
        saved_level = log_level;
        log_level = LOG_NORMAL;
    }
    void TearDown() override
    {
        log_level = saved_level;
        ASSERT_EQ(chdir(old_cwd), 0);
        std::string cmd = std::string("rm -rf ") + dir;
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    // Runs the pass over the given text; returns what it printed.
    std::string Run(const std::string &hex_text, WORD *status, WORD level = LOG_NORMAL)
    {
        std::ofstream("PROG.HEX") << hex_text;
        snprintf(filepath_str, sizeof filepath_str, "PROG.HEX");
        file_format = 0;
        log_level = level;
        *status = 0x1234;
        testing::internal::CaptureStdout();
        Process_Program_File(status);
        std::string out = testing::internal::GetCapturedStdout();
        log_level = LOG_NORMAL;
        return out;
    }

    void Expect_Segment(int pos, WORD index, DWORD start, DWORD size, const Bytes &bytes)
    {
        const SEGMENT_MAP_STRUCT &seg = seg_map_tbl[pos];
        EXPECT_EQ(+seg.index, index) << "entry " << pos;
        EXPECT_EQ(+seg.start_addr, start) << "entry " << pos;
        EXPECT_EQ(+seg.end_addr, start + size - 1) << "entry " << pos;
        EXPECT_EQ(+seg.size, size) << "entry " << pos;
        char name[16];
        snprintf(name, sizeof name, "seg%03u.~~~", index);
        EXPECT_STREQ(seg.filepath_str, name);
        EXPECT_EQ(Read_File(name), std::string(bytes.begin(), bytes.end())) << name;
    }
};

TEST_F(HexSegments, ContiguousRecordsMergeAndGapStartsNewSegment)
{
    Bytes low = Pattern(0x200, 1);
    Bytes high = Pattern(16, 99);
    std::string text;
    for (int off = 0; off < 0x200; off += 0x20)
        text += Data((WORD)off, Bytes(low.begin() + off, low.begin() + off + 0x20));
    text += Data(0x1000, high) + kEnd;

    WORD status;
    std::string out = Run(text, &status);
    ASSERT_EQ(status, E_OK) << out;
    ASSERT_EQ(number_seg_map_entries, 2);
    Expect_Segment(0, 0, 0x0000, 0x200, low);
    Expect_Segment(1, 1, 0x1000, 16, high);
    EXPECT_EQ(+seg_map_tbl[2].size, 0u);
    // The progress line of the first segment counts the record that ended it.
    EXPECT_NE(out.find("\rRead ...      Addr: 00000000 - 000001FF   Size: 512      Total: 528     "),
              std::string::npos) << out;
    EXPECT_NE(out.find("Hex file OK\n"), std::string::npos);
    EXPECT_EQ(oh_logical_len, 0u);
}

TEST_F(HexSegments, DescendingRecordsSortAscendingKeepingFileIndex)
{
    Bytes a = Pattern(16, 1), b = Pattern(16, 2), c = Pattern(16, 3);
    WORD status;
    std::string out = Run(Data(0x300, a) + Data(0x200, b) + Data(0x100, c) + kEnd, &status, LOG_OHSORT);
    ASSERT_EQ(status, E_OK) << out;
    ASSERT_EQ(number_seg_map_entries, 3);
    Expect_Segment(0, 2, 0x100, 16, c);
    Expect_Segment(1, 1, 0x200, 16, b);
    Expect_Segment(2, 0, 0x300, 16, a);
    size_t p2 = out.find("Process hex code/data segment #2 from 0x00000100 to 0x0000010F (16 bytes)\n");
    size_t p1 = out.find("Process hex code/data segment #1 from 0x00000200 to 0x0000020F (16 bytes)\n");
    size_t p0 = out.find("Process hex code/data segment #0 from 0x00000300 to 0x0000030F (16 bytes)\n");
    ASSERT_NE(p2, std::string::npos) << out;
    EXPECT_LT(p2, p1);
    EXPECT_LT(p1, p0);
    EXPECT_NE(out.find("Process hex start vector 0000:00000000\n"), std::string::npos);
}

TEST_F(HexSegments, EqualStartAddressesKeepFileOrder)
{
    Bytes first = Pattern(8, 10), other = Pattern(8, 20), second = Pattern(8, 30);
    WORD status;
    Run(Data(0x100, first) + Data(0x500, other) + Data(0x100, second) + kEnd, &status);
    ASSERT_EQ(status, E_OK);
    ASSERT_EQ(number_seg_map_entries, 3);
    Expect_Segment(0, 0, 0x100, 8, first);
    Expect_Segment(1, 2, 0x100, 8, second);
    Expect_Segment(2, 1, 0x500, 8, other);
}

std::string Separate_Records(int count)
{
    std::string text;
    for (int i = 0; i < count; i++) text += Data((WORD)(i * 0x100), Pattern(4, (BYTE)i));
    return text + kEnd;
}

TEST_F(HexSegments, TwentySegmentsFit)
{
    WORD status;
    Run(Separate_Records(20), &status);
    ASSERT_EQ(status, E_OK);
    ASSERT_EQ(number_seg_map_entries, 20);
    Expect_Segment(19, 19, 0x1300, 4, Pattern(4, 19));
}

TEST_F(HexSegments, TwentyFirstSegmentExceedsLimit)
{
    WORD status;
    std::string out = Run(Separate_Records(21), &status);
    // Left for the caller to report.
    EXPECT_EQ(status, E_SEG_LIMIT);
    EXPECT_EQ(out.find("FAILED"), std::string::npos);
    EXPECT_TRUE(Exists("seg019.~~~"));
    EXPECT_FALSE(Exists("seg020.~~~"));
}

TEST_F(HexSegments, ExtendedAddressRecords)
{
    Bytes d1 = Pattern(4, 1), d2 = Pattern(4, 2), d3 = Pattern(4, 3);
    std::string text = Record(4, 0, {0x00, 0x08}) + Data(0x0010, d1)   // linear: 0x00080010
                       + Record(2, 0, {0x10, 0x00}) + Data(0x0020, d2)  // segment: 0x00010020
                       + Record(4, 0, {0x00, 0x00}) + Data(0x0030, d3)  // cleared again
                       + kEnd;
    WORD status;
    std::string out = Run(text, &status, LOG_OHREC);
    ASSERT_EQ(status, E_OK) << out;
    ASSERT_EQ(number_seg_map_entries, 3);
    Expect_Segment(0, 2, 0x00000030, 4, d3);
    Expect_Segment(1, 1, 0x00010020, 4, d2);
    Expect_Segment(2, 0, 0x00080010, 4, d1);
    // One trace line per record, the address records and the end included.
    EXPECT_NE(out.find("Read hex record: type = 4, base = 0x0000, offset = 0x00080000, count = 0\n"),
              std::string::npos) << out;
    EXPECT_NE(out.find("Read hex record: type = 2, base = 0x0000, offset = 0x00010000, count = 0\n"),
              std::string::npos);
    EXPECT_NE(out.find("Read hex record: type = 0, base = 0x0000, offset = 0x00080010, count = 4\n"),
              std::string::npos);
    EXPECT_NE(out.find("Read hex record: type = 1, base = 0x0000, offset = 0x00000000, count = 65535\n"),
              std::string::npos);
    size_t lines = 0;
    for (size_t p = 0; (p = out.find("Read hex record:", p)) != std::string::npos; p++) lines++;
    EXPECT_EQ(lines, 7u);
}

TEST_F(HexSegments, SegmentAtTheVeryTopOfTheAddressSpaceSorts)
{
    // A start address of 0xFFFFFFFF equals the sort's "nothing found" mark.
    Bytes top = {0x42}, low = Pattern(4, 9);
    std::string text = Record(4, 0, {0xFF, 0xFF}) + Data(0xFFFF, top) + Record(4, 0, {0x00, 0x00}) +
                       Data(0x0100, low) + kEnd;
    WORD status;
    std::string out = Run(text, &status);
    ASSERT_EQ(status, E_OK) << out;
    ASSERT_EQ(number_seg_map_entries, 2);
    Expect_Segment(0, 1, 0x100, 4, low);
    Expect_Segment(1, 0, 0xFFFFFFFF, 1, top);
}

TEST_F(HexSegments, StartLinearVectorAndMultipleVectorWarning)
{
    std::string text = Data(0, Pattern(4, 0)) + Record(5, 0, {0x00, 0x01, 0x23, 0x45}) +
                       Record(3, 0, {0xF0, 0x00, 0xFF, 0xF0}) + kEnd;
    WORD status;
    std::string out = Run(text, &status, LOG_OHSEG | LOG_OHSORT);
    ASSERT_EQ(status, E_OK) << out;
    EXPECT_EQ(oh_vector_base, 0);
    EXPECT_EQ(oh_vector_offset, 0x12345u);
    EXPECT_NE(out.find("Read hex start vector 0000:00012345\n"), std::string::npos) << out;
    EXPECT_NE(out.find("WARNING!  Multiple start vectors found in hex file\n"), std::string::npos);
    EXPECT_NE(out.find("Read hex start vector F000:0000FFF0 (ignored)\n"), std::string::npos);
    EXPECT_NE(out.find("Process hex start vector 0000:00012345\n"), std::string::npos);
}

TEST_F(HexSegments, StartSegmentVectorIsCsThenIp)
{
    std::string text = Record(3, 0, {0xF0, 0x00, 0xFF, 0xF0}) + Data(0, Pattern(4, 0)) + kEnd;
    WORD status;
    std::string out = Run(text, &status);
    ASSERT_EQ(status, E_OK);
    EXPECT_EQ(oh_vector_base, 0xF000);
    EXPECT_EQ(oh_vector_offset, 0xFFF0u);
    EXPECT_EQ(out.find("WARNING"), std::string::npos);
}

TEST_F(HexSegments, EmptyDataRecordIsNeitherDataNorVector)
{
    std::string text = Data(0x40, {}) + Record(5, 0, {0x00, 0x00, 0x10, 0x00}) + Data(0, Pattern(4, 0)) + kEnd;
    WORD status;
    std::string out = Run(text, &status);
    ASSERT_EQ(status, E_OK) << out;
    EXPECT_EQ(out.find("WARNING"), std::string::npos) << out;
    EXPECT_EQ(oh_vector_offset, 0x1000u);
    ASSERT_EQ(number_seg_map_entries, 1);
    EXPECT_EQ(+seg_map_tbl[0].size, 4u);

    std::string only_empty = Data(0x40, {}) + kEnd;
    out = Run(only_empty, &status);
    EXPECT_EQ(status, E_REPORTED);
    EXPECT_NE(out.find("\nHex file contains no code/data!\n"), std::string::npos);
}

TEST_F(HexSegments, FailuresAreReportedOnce)
{
    WORD status;
    std::string out = Run(kEnd, &status);
    EXPECT_EQ(status, E_REPORTED);
    EXPECT_NE(out.find("\nHex file contains no code/data!\n"), std::string::npos);
    EXPECT_EQ(number_seg_map_entries, 0);

    out = Run(Data(0, Pattern(4, 0)) + Record(6, 0, {1, 2}) + kEnd, &status);
    EXPECT_EQ(status, E_REPORTED);
    EXPECT_NE(out.find("\nOperation FAILED!  Invalid record type in hex file\n\n"), std::string::npos)
        << out;

    out = Run(Data(0, Pattern(4, 0)), &status);  // no end record
    EXPECT_EQ(status, E_REPORTED);
    EXPECT_NE(out.find("\nOperation FAILED!  Premature EOF in hex file\n\n"), std::string::npos) << out;

    out = Run(":0400000001 20304F2\n" + kEnd, &status);
    EXPECT_EQ(status, E_REPORTED);
    EXPECT_NE(out.find("Invalid numeric in hex file"), std::string::npos) << out;

    snprintf(filepath_str, sizeof filepath_str, "MISSING.HEX");
    testing::internal::CaptureStdout();
    status = 0;
    Process_OH_File(&status);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, E_REPORTED);
    EXPECT_NE(out.find("\nOperation FAILED!  Cannot open hex file\n\n"), std::string::npos) << out;

    filepath_str[0] = '\0';
    testing::internal::CaptureStdout();
    status = 0x4321;
    Process_OH_File(&status);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "File not specified!\n");
    EXPECT_EQ(status, 0x4321);
}

TEST_F(HexSegments, SegmentFileThatCannotBeCreatedEndsThePass)
{
    // A directory in the way of the second segment's file: even root cannot
    // open it for writing, and the cleanup of *.~~~ cannot remove it.
    ASSERT_EQ(mkdir("seg001.~~~", 0700), 0);
    WORD status;
    std::string out = Run(Data(0, Pattern(4, 0)) + Data(0x100, Pattern(4, 1)) + kEnd, &status);
    EXPECT_EQ(status, E_REPORTED);
    EXPECT_NE(out.find("\nCannot create segment file seg001.~~~!\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("FAILED"), std::string::npos) << out;
    EXPECT_EQ(number_seg_map_entries, 0);
}

TEST_F(HexSegments, BinaryImageIsOneSegmentAtLoadAddress)
{
    std::ofstream("IMAGE.BIN", std::ios::binary) << std::string(1000, 'x');
    snprintf(filepath_str, sizeof filepath_str, "IMAGE.BIN");
    file_format = 1;
    program_addr = 0x8000;
    oh_vector_base = 0x1234;
    oh_vector_offset = 0x5678;
    log_level = LOG_OHSORT;
    WORD status = 0x55;
    testing::internal::CaptureStdout();
    Process_Program_File(&status);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(status, E_OK) << out;
    ASSERT_EQ(number_seg_map_entries, 1);
    EXPECT_EQ(+seg_map_tbl[0].start_addr, 0x8000u);
    EXPECT_EQ(+seg_map_tbl[0].end_addr, 0x83E7u);
    EXPECT_EQ(+seg_map_tbl[0].size, 1000u);
    EXPECT_STREQ(seg_map_tbl[0].filepath_str, "IMAGE.BIN");
    EXPECT_EQ(oh_vector_base, 0);
    EXPECT_EQ(oh_vector_offset, 0u);
    EXPECT_NE(oh_date_time, 0u);
    EXPECT_NE(out.find("Process binary code/data segment from 0x00008000 to 0x000083E7 (1000 bytes)\n"),
              std::string::npos) << out;

    std::ofstream("EMPTY.BIN", std::ios::binary);
    snprintf(filepath_str, sizeof filepath_str, "EMPTY.BIN");
    testing::internal::CaptureStdout();
    Process_Program_File(&status);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, E_REPORTED);
    EXPECT_NE(out.find("\nBinary file contains no code/data!\n"), std::string::npos);

    // An image that would run past the top of the address space is refused.
    snprintf(filepath_str, sizeof filepath_str, "IMAGE.BIN");
    program_addr = 0xFFFFFF00;
    testing::internal::CaptureStdout();
    Process_Program_File(&status);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, E_REPORTED);
    program_addr = 0;
    file_format = 0;
}

}  // namespace
