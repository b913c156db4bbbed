// The download into the RAM work area against a scripted monitor on the
// in-memory serial peer (virtual clock): clipping to the block window, the
// one retry after 750 ms, the accounting, and segment files that are
// missing or short failing before anything is sent.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "COMMS.h"
#include "FLDATA.h"
#include "HCMDFMT.h"
#include "MSG.h"
#include "flashu.h"
#include "flashu_seg.h"
#include "mem_port.h"

namespace {

struct Request {
    DWORD at_ms;
    WRITE_RAM_CMD_STRUCT rec;
};

class Download : public ::testing::Test {
protected:
    std::vector<Request> requests;
    std::vector<BYTE> other_ids;
    std::vector<WORD> answers;   // monitor status per write request, then 0
    BYTE data[DOWNLOAD_PIECE_SIZE];
    DWORD total = 0;
    WORD saved_level;

    void SetUp() override
    {
        Mem_Port_Install(0);
        WORD s;
        Init_Message_Link(0, 9600, &s);
        ASSERT_EQ(s, E_OK);
        Mem_Port_Monitor([this](const Bytes &req) {
            Bytes resp = req;
            if (req[0] != WRITE_RAM_CMD) {
                other_ids.push_back(req[0]);
                return resp;
            }
            Request r{Mem_Port().now, {}};
            memcpy(&r.rec, req.data(), std::min(req.size(), sizeof r.rec));
            WORD status = requests.size() < answers.size() ? answers[requests.size()] : 0;
            requests.push_back(r);
            resp[1] = (BYTE)status;
            resp[2] = (BYTE)(status >> 8);
            return resp;
        });
        for (unsigned i = 0; i < sizeof data; i++) data[i] = (BYTE)(i * 7 + 1);
        oh_first_addr = 0xFFFFFFFF;
        oh_last_addr = 0;
        oh_checksum = 0;
        oh_logical_len = 0;
        saved_level = log_level;
        log_level = LOG_TERSE;
    }
    void TearDown() override
    {
        log_level = saved_level;
        WORD s;
        Shutdown_Message_Link(&s);
        Mem_Port_Remove();
    }
    std::string Write(DWORD start, DWORD size, DWORD dev_start, DWORD dev_size, WORD *status)
    {
        testing::internal::CaptureStdout();
        Download_RAM_Work_Area(start, size, dev_start, dev_size, data, &total, status);
        return testing::internal::GetCapturedStdout();
    }
};

DWORD Sum(const BYTE *p, DWORD n)
{
    DWORD s = 0;
    for (DWORD i = 0; i < n; i++) s += p[i];
    return s;
}

TEST_F(Download, PieceIsClippedToTheWindowOnBothSides)
{
    WORD status = 0x55;
    // Piece 0x000CFF00-0x000D02FF over the window 0x000D0000-0x000D00FF.
    log_level = LOG_DOWNLOAD;
    std::string out = Write(0xCFF00, 0x400, 0xD0000, 0x100, &status);
    ASSERT_EQ(status, E_OK) << out;
    ASSERT_EQ(requests.size(), 1u);
    const WRITE_RAM_CMD_STRUCT &w = requests[0].rec;
    EXPECT_EQ((DWORD)w.phys_address, 0x20000u);
    EXPECT_EQ((DWORD)w.cmd_data_size, 0x100u);
    EXPECT_EQ(memcmp(w.data, data + 0x100, 0x100), 0);
    EXPECT_EQ(total, 0x100u);
    EXPECT_EQ(oh_logical_len, 0x100u);
    EXPECT_EQ(oh_first_addr, 0xD0000u);
    EXPECT_EQ(oh_last_addr, 0xD00FFu);
    EXPECT_EQ(oh_checksum, Sum(data + 0x100, 0x100));
    EXPECT_EQ(out,
              "\nDownload segment from 0x000CFF00 to 0x000D02FF (1024 bytes)\n"
              "   using device  from 0x000D0000 to 0x000D00FF (256 bytes)\n"
              "Adjusted start addr   0x000D0000 to 0x000D02FF (768 bytes)\n"
              "Adjusted end addr     0x000D0000 to 0x000D00FF (256 bytes)\n"
              "\nWrite WA from 0x00020000 to 0x000200FF ...   Size: 256   \n"
              "\rDownload ...  Addr: 000D0000 - 000D00FF   Size: 256      Total: 256     ");
}

TEST_F(Download, PieceOutsideTheWindowSendsNothing)
{
    WORD status = 0x55;
    log_level = LOG_DOWNLOAD;
    std::string out = Write(0xCFC00, 0x400, 0xD0000, 0x10000, &status);  // ends one byte before
    EXPECT_EQ(status, E_OK);
    out += Write(0xE0000, 0x400, 0xD0000, 0x10000, &status);              // starts one past
    EXPECT_EQ(out, "");
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(oh_first_addr, 0xFFFFFFFFu);

    Write(0xCFC01, 0x400, 0xD0000, 0x10000, &status);                     // last byte inside
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ((DWORD)requests[0].rec.cmd_data_size, 1u);
    EXPECT_EQ(requests[0].rec.data[0], data[0x3FF]);
}

TEST_F(Download, PieceThatRunsPastFourGigabytesKeepsOnlyTheBytesBelow)
{
    WORD status = 0x55;
    Write(0xFFFFFF00, 0x200, 0xFFFF0000, 0x10000, &status);
    EXPECT_EQ(status, E_OK);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ((DWORD)requests[0].rec.phys_address, 0x2FF00u);
    EXPECT_EQ((DWORD)requests[0].rec.cmd_data_size, 0x100u);
    EXPECT_EQ(oh_last_addr, 0xFFFFFFFFu);
}

TEST_F(Download, OneRetryAfter750ms)
{
    answers = {E_BAD_WRITE_ADDR};
    WORD status = 0x55;
    std::string out = Write(0xD0000, 0x40, 0xD0000, 0x10000, &status);
    EXPECT_EQ(status, E_OK) << out;
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_GE(requests[1].at_ms - requests[0].at_ms, 750u);
    EXPECT_EQ(memcmp(requests[0].rec.data, requests[1].rec.data, 0x40), 0);
    EXPECT_EQ(total, 0x40u);
    EXPECT_EQ(oh_logical_len, 0x40u);
    EXPECT_EQ(oh_checksum, Sum(data, 0x40));
}

TEST_F(Download, SecondFailureIsReportedOnceAndNotCounted)
{
    answers = {E_BAD_WRITE_ADDR, E_BAD_WRITE_ADDR};
    WORD status = 0x55;
    std::string out = Write(0xD0000, 0x40, 0xD0000, 0x10000, &status);
    EXPECT_EQ(status, E_REPORTED);
    EXPECT_EQ(requests.size(), 2u);
    EXPECT_EQ(out, "\nOperation FAILED!  Invalid write RAM address\n\n");
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(oh_logical_len, 0u);
    EXPECT_EQ(oh_first_addr, 0xFFFFFFFFu);
}

// A segment whose file is gone or short must stop the run before the block
// is even saved: nothing at all reaches the monitor.
class SegmentFiles : public Download {
protected:
    char dir[64] = "/tmp/hexdl_XXXXXX";
    char old_cwd[4096];

    void SetUp() override
    {
        Download::SetUp();
        ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
        ASSERT_NE(mkdtemp(dir), nullptr);
        ASSERT_EQ(chdir(dir), 0);
        memset(device_map_tbl, 0, sizeof device_map_tbl);
        device_map_tbl[0] = {0xDA, 0x000D0000, 0x03FD0000, 0x03FD0000, 0x10000, 13, 18, 0x03F00000, 0, 0};
        number_device_map_entries = 1;
        memset(seg_map_tbl, 0, sizeof seg_map_tbl);
        seg_map_tbl[0] = {0, 0xD0000, 0xD0FFF, 0x1000, "seg000.~~~"};
        seg_map_tbl[1] = {1, 0xD8000, 0xD80FF, 0x100, "seg001.~~~"};
        number_seg_map_entries = 2;
        std::ofstream("seg000.~~~", std::ios::binary) << std::string(0x1000, 'a');
    }
    void TearDown() override
    {
        ASSERT_EQ(chdir(old_cwd), 0);
        ASSERT_EQ(system((std::string("rm -rf ") + dir).c_str()), 0);
        number_seg_map_entries = 0;
        number_device_map_entries = 0;
        Download::TearDown();
    }
    std::string Run(WORD *status)
    {
        testing::internal::CaptureStdout();
        Program_Segment_Blocks(status);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(SegmentFiles, MissingFileFailsBeforeAnythingIsSent)
{
    WORD status = 0;
    std::string out = Run(&status);
    EXPECT_EQ(status, E_REPORTED);
    EXPECT_EQ(out, "\nOperation FAILED!  Premature EOF in segment file\n\n");
    EXPECT_TRUE(requests.empty());
    EXPECT_TRUE(other_ids.empty());
}

TEST_F(SegmentFiles, ShortFileFailsBeforeAnythingIsSent)
{
    std::ofstream("seg001.~~~", std::ios::binary) << std::string(0xFF, 'b');
    WORD status = 0;
    std::string out = Run(&status);
    EXPECT_EQ(status, E_REPORTED);
    EXPECT_EQ(out, "\nOperation FAILED!  Premature EOF in segment file\n\n");
    EXPECT_TRUE(requests.empty());
    EXPECT_TRUE(other_ids.empty());
}

TEST_F(SegmentFiles, CompleteFilesAreSavedDownloadedAndProgrammedOnce)
{
    std::ofstream("seg001.~~~", std::ios::binary) << std::string(0x100, 'b');
    WORD status = 0x55;
    log_level = LOG_NORMAL;
    std::string out = Run(&status);
    ASSERT_EQ(status, E_OK) << out;
    // 0x1000 bytes in four pieces, then 0x100 in one.
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ((DWORD)requests[4].rec.phys_address, 0x28000u);
    EXPECT_EQ(other_ids, (std::vector<BYTE>{COPY_RAM_CMD, ERASE_FLASH_CMD, PROGRAM_FLASH_CMD}));
    EXPECT_EQ(oh_logical_len, 0x1100u);
    EXPECT_EQ(oh_checksum, 0x1000u * 'a' + 0x100u * 'b');
    EXPECT_EQ(oh_first_addr, 0xD0000u);
    EXPECT_EQ(oh_last_addr, 0xD80FFu);
    EXPECT_NE(out.find("Flash blocks OK\n"), std::string::npos);
}

}  // namespace
