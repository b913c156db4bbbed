// Debug commands typed at the prompt against the virtual board: what they
// announce and print, what reached the board, and the values an argument
// left out keeps from an earlier command.
#include "debug_e2e.h"

namespace {

using namespace debug_e2e;

std::vector<uint8_t> Repeat(uint8_t b, size_t n) { return std::vector<uint8_t>(n, b); }

TEST(DebugCommands, RamReadWriteSetCopyCompare)
{
    RIG_RESULT r = Debug_Session(
        "readram 4000\n"
        "setram 3000 10 \\x5a\n"
        "readram 3000 8\n"
        "writeram 1000 8 ab\\x7f\n"
        "readram 1000\n"
        "copyram 2000 1000 8\n"
        "compram 2000 1000\n"
        "compram 3000 1000 8 ; readram 0\n"
        "exit\n");
    ASSERT_TRUE(r.started) << r.error;
    ASSERT_FALSE(r.timed_out);
    std::vector<std::string> out = Line_Outputs(r.out);
    ASSERT_GE(out.size(), 10u) << r.out;
    EXPECT_EQ(out[0], DEBUG_ON);
    EXPECT_EQ(out[1], INIT_OK);
    // No size given yet: 256 bytes of fresh RAM, sixteen dump lines.
    EXPECT_EQ(out[2], "Read 256 bytes from absolute location 0x00004000:\n\n" +
                          Dump(Repeat(0, 256)));
    EXPECT_EQ(out[3], "Set 16 bytes to 0x5A at 0x00003000\n");
    EXPECT_EQ(out[4], "Read 8 bytes from absolute location 0x00003000:\n\n" +
                          Dump(Repeat(0x5A, 8)));
    // Typed letters arrive upper-cased, \x7F is one byte; after the data and
    // its zero byte go the bytes the buffer held from the read before.
    EXPECT_EQ(out[5], "Write 8 bytes to absolute location 0x00001000\n");
    std::vector<uint8_t> written = {'A', 'B', 0x7F, 0x00, 0x5A, 0x5A, 0x5A, 0x5A};
    EXPECT_EQ(out[6], "Read 8 bytes from absolute location 0x00001000:\n\n" + Dump(written));
    EXPECT_EQ(out[7], "Copy 8 bytes from 0x00001000 to 0x00002000\n");
    EXPECT_EQ(out[8], "Compare 8 bytes from 0x00002000 to 0x00001000\nArrays match\n");
    // The mismatch fails the line: the readram after it never runs.
    EXPECT_EQ(out[9], "Compare 8 bytes from 0x00003000 to 0x00001000\nArrays don't match!\n"
                      "\nOperation FAILED!  ERROR 008B\n\n");

    auto writes = Requests(r, "write_ram");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].Num("addr"), 0x1000);
    EXPECT_EQ(writes[0].Num("len"), 8);
    std::vector<long long> read_addrs;
    for (const TRACE_EVENT &e : Requests(r, "read_ram"))
        if (e.Num("addr") < 0x100000) read_addrs.push_back(e.Num("addr"));
    EXPECT_EQ(read_addrs, (std::vector<long long>{0x4000, 0x3000, 0x1000}));
    auto sets = Requests(r, "set_ram");
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].Num("len"), 16);
}

TEST(DebugCommands, ArgumentsLeftOutKeepEarlierValues)
{
    RIG_RESULT r = Debug_Session(
        "writeram 1000 zz 0102\n"
        "readram 1000 4\n"
        "readio 80\n"
        "readram 1000\n"
        "exit\n");
    ASSERT_TRUE(r.started) << r.error;
    std::vector<std::string> out = Line_Outputs(r.out);
    ASSERT_GE(out.size(), 6u) << r.out;
    // The size ZZ does not convert: the start size 256 stays and the data is
    // read from that same word.
    EXPECT_EQ(out[2], "Write 256 bytes to absolute location 0x00001000\n");
    EXPECT_EQ(out[3], "Read 4 bytes from absolute location 0x00001000:\n\n" +
                          Dump({'Z', 'Z', 0, 0}));
    // readio sets the size to 1, which the next readram inherits.
    EXPECT_EQ(out[4], "Read 1 bytes from input port 0x00000080.\nInput value is 0 (00000000H)\n");
    EXPECT_EQ(out[5], "Read 1 bytes from absolute location 0x00001000:\n\n" + Dump({'Z'}));
}

TEST(DebugCommands, LargeSizesUseOneFullRequestAndNoMore)
{
    RIG_RESULT r = Debug_Session(
        "setram 5000 800 \\x33\n"
        "readram 5000 800\n"
        "readram 5000 1000\n"
        "exit\n");
    ASSERT_TRUE(r.started) << r.error;
    std::vector<std::string> out = Line_Outputs(r.out);
    ASSERT_GE(out.size(), 5u) << r.out;
    EXPECT_EQ(out[3], "Read 2048 bytes from absolute location 0x00005000:\n\n" +
                          Dump(Repeat(0x33, 2048)));
    EXPECT_EQ(out[4], "Size 4096 is more than one transfer, limited to 2048 bytes\n"
                      "Read 2048 bytes from absolute location 0x00005000:\n\n" +
                          Dump(Repeat(0x33, 2048)));
}

TEST(DebugCommands, IoPortsThroughTheBoardLoopback)
{
    RIG_RESULT r = Debug_Session(
        "writeio 80 1 55\n"
        "readio 80\n"
        "writeio 300 2 1234\n"
        "readio 300 2\n"
        "readio 300\n"
        "exit\n");
    ASSERT_TRUE(r.started) << r.error;
    std::vector<std::string> out = Line_Outputs(r.out);
    ASSERT_GE(out.size(), 7u) << r.out;
    EXPECT_EQ(out[2], "Write 85 (00000055H) as 1 bytes to output port 0x00000080\n");
    EXPECT_EQ(out[3], "Read 1 bytes from input port 0x00000080.\nInput value is 85 (00000055H)\n");
    EXPECT_EQ(out[4], "Write 4660 (00001234H) as 2 bytes to output port 0x00000300\n");
    EXPECT_EQ(out[5],
              "Read 2 bytes from input port 0x00000300.\nInput value is 4660 (00001234H)\n");
    // Without a size readio reads one byte again.
    EXPECT_EQ(out[6], "Read 1 bytes from input port 0x00000300.\nInput value is 52 (00000034H)\n");
}

TEST(DebugCommands, FlashBlockEraseAndProgramAndTheMonitorsRefusal)
{
    // Board 3's 32 K block at 0x03FF0000 of the device at 0x03F00000.
    RIG_RESULT r = Debug_Session(
        "setram 20000 100 \\xa5\n"
        "wflash da 3f00000 3ff0000 3ff0000 20000 100\n"
        "eflash da 3f00000 3ff0000 8000\n"
        "wflash\n"
        "readram 3ff0000 10\n"
        "eflash da 3f00000 3ff0001 8000\n"
        "exit\n");
    ASSERT_TRUE(r.started) << r.error;
    std::vector<std::string> out = Line_Outputs(r.out);
    ASSERT_GE(out.size(), 8u) << r.out;
    EXPECT_EQ(out[3], "Program base 0x03F00000, block 0x03FF0000\n"
                      " from 0x00020000, to 0x03FF0000, 256 bytes\n");
    EXPECT_EQ(out[4], "Erase base 0x03F00000, block 0x03FF0000, 32768 bytes.\n");
    // wflash alone repeats the last values (the size now that of eflash).
    EXPECT_EQ(out[5], "Program base 0x03F00000, block 0x03FF0000\n"
                      " from 0x00020000, to 0x03FF0000, 32768 bytes\n");
    EXPECT_EQ(out[6], "Read 16 bytes from absolute location 0x03FF0000:\n\n" +
                          Dump(Repeat(0xA5, 16)));
    EXPECT_EQ(out[7], "Erase base 0x03F00000, block 0x03FF0001, 32768 bytes.\n"
                      "\nOperation FAILED!  Invalid message parameter\n\n");

    auto programs = Requests(r, "program_flash");
    ASSERT_EQ(programs.size(), 2u);
    EXPECT_EQ(Requests(r, "erase_flash").size(), 2u);
    EXPECT_EQ(Flash_At(r, 0x03FF0000, 0x100), Repeat(0xA5, 0x100));
    EXPECT_EQ(Flash_At(r, 0x03FF0100, 0x10), Repeat(0x00, 0x10));
}

TEST(DebugCommands, GetIdNamesEachBoardsDevice)
{
    struct {
        int board;
        const char *line;
    } cases[] = {
        {1, "Device Manufacturers Code = 0x0089, Device ID = 0x0070\n"},
        {2, "Device Manufacturers Code = 0x0089, Device ID = 0x009C\n"},
        {3, "Device Manufacturers Code = 0x0101, Device ID = 0x00DA\n"},
        {4, "Device Manufacturers Code = 0x0101, Device ID = 0x00C4\n"},
    };
    for (const auto &c : cases) {
        RIG_RESULT r = Debug_Session("getid 3ffa000\nexit\n", c.board);
        ASSERT_TRUE(r.started) << r.error;
        std::vector<std::string> out = Line_Outputs(r.out);
        ASSERT_GE(out.size(), 3u) << r.out;
        EXPECT_EQ(out[2], c.line) << "board " << c.board;
    }
}

TEST(DebugCommands, StatusCountsExchangesAndClrstatusClearsThem)
{
    RIG_RESULT r = Debug_Session("clrstatus\nreadram 0 4\nstatus\nclrstatus\nstatus\nexit\n");
    ASSERT_TRUE(r.started) << r.error;
    std::vector<std::string> out = Line_Outputs(r.out);
    ASSERT_GE(out.size(), 7u) << r.out;
    EXPECT_EQ(out[2], "Comms status cleared\n");
    EXPECT_EQ(out[4], Status_Report(1, 0, 1, 0, 0, 0, 0));
    EXPECT_EQ(out[5], "Comms status cleared\n");
    EXPECT_EQ(out[6], Status_Report(0, 0, 0, 0, 0, 0, 0));
}

TEST(DebugCommands, StatusWorksOffLine)
{
    RIG_RESULT r = Session("debug\nstatus\nreadram 0\n");
    ASSERT_TRUE(r.started) << r.error;
    std::vector<std::string> out = Line_Outputs(r.out);
    ASSERT_GE(out.size(), 3u) << r.out;
    EXPECT_EQ(out[1], Status_Report(0, 0, 0, 0, 0, 0, 0));
    EXPECT_EQ(out[2], NOT_ON_LINE);
}

TEST(DebugCommands, ChgbaudMovesTheBoardAndInitFollowsAtTheNewRate)
{
    RIG_RESULT r = Debug_Session("chgbaud 19200\ninit\nreadram 0 2\nexit\n");
    ASSERT_TRUE(r.started) << r.error;
    std::vector<std::string> out = Line_Outputs(r.out);
    ASSERT_GE(out.size(), 5u) << r.out;
    EXPECT_EQ(out[2], "Baud rate set to 19200\n"
                      "WARNING!  Perform shutdown commmand, then init command\n");
    // The board answers at once at 19200: no fall-back to 9600.
    EXPECT_EQ(out[3], "Establish link to target system on COM1 at 19.2K baud ...\n" + ON_LINE +
                          "Flash tables OK\nInitialization complete\n");
    EXPECT_EQ(out[4], "Read 2 bytes from absolute location 0x00000000:\n\n" + Dump({0, 0}));
    auto change = Requests(r, "change_baud");
    ASSERT_EQ(change.size(), 1u);
    EXPECT_EQ(change[0].Num("baud"), 19200);
    EXPECT_EQ(Requests(r, "init").size(), 2u);
}

}  // namespace
