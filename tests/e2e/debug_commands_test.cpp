// Debug commands and the link echo test against the virtual board, which starts erased (init lays down fresh tables);
// then the board process itself.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "board_rig.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// What each typed line printed, without the blank lines around it.
std::vector<std::string> Line_Outputs(const std::string &out)
{
    std::vector<std::string> lines;
    for (size_t pos = out.find(PROMPT), start; pos != std::string::npos;) {
        start = pos + PROMPT.size(), pos = out.find(PROMPT, start);
        std::string text = out.substr(start, pos == std::string::npos ? pos : pos - start);
        lines.push_back(text.size() >= 2 && text.front() == '\n' && text.back() == '\n' ? text.substr(1, text.size() - 2) : text);
    }
    return lines;
}

// A read RAM display: lines of 16 bytes, hex columns with a gap after the eighth, then the bytes as text.
std::string Read_Ram(unsigned addr, const Bytes &bytes)
{
    char cell[80], hex[] = "0123456789ABCDEF";
    snprintf(cell, sizeof cell, "Read %zu bytes from absolute location 0x%08X:\n\n", bytes.size(), addr);
    std::string s = cell, text;
    for (size_t i = 0; i < (bytes.size() + 15) / 16 * 16; i++) {
        uint8_t b = i < bytes.size() ? bytes[i] : 0;
        s += i < bytes.size() ? std::string{' ', hex[b >> 4], hex[b & 15]} : "   ";
        if (i % 16 == 7) s += "  ";
        text += i >= bytes.size() ? ' ' : b >= 0x21 && b <= 0x7E ? char(b) : '.';
        if (i % 16 == 15) s += "     " + text + "\n", text.clear();
    }
    return s;
}

// An echo's heading and clean score lines as a log gets them, every `every` passes; count 0: ESC after one.
std::string Echo(const std::string &head, unsigned long count, unsigned long every = 1)
{
    std::string s = "Echo " + head + " ...\n\n" + (count ? "" : "\n");  // ESC's line end comes first
    char line[120];
    for (unsigned long i = every; i <= std::max(count, 1ul); i += every, s += line)
        snprintf(line, sizeof line, "Write/Read ...  Count: %-7lu  Mismatch: 0     Errors: 0     Status: 0000%s\n", i,
                 count ? (" (" + std::to_string(i * 100 / count) + "% of " + std::to_string(count) + " passes)").c_str() : "");
    return s;
}

// The status display; only messages sent and ACKs received are not zero.
std::string Status_Report(unsigned long msgs, unsigned long acks)
{
    const char *labels[] = {"Send Msg", "Send Retry", "Send Rx Flush", "Send Rx Ack", "Send Rx Nak", "Send Rx Spur",
                            "Send No TO", "Send Rx TO", "Send Total TO", "Send Bad Stat"};
    std::string s = "Comms Status:\n\n";
    char row[80];
    for (int i = 0; i < 10; i++, s += row)
        snprintf(row, sizeof row, "%-18s = %8lu\n", labels[i], i == 0 ? msgs : i == 3 ? acks : 0);
    return s;
}

const std::string ON_LINE = "Target system on-line (id = 1, version = 2.51)\n";

TEST(DebugCommands, OneSessionThroughEveryCommand)
{
    const std::vector<std::pair<std::string, std::string>> steps = {
        // The fresh tables go to flash, so that a later init finds them in order.
        {"shutdown", "Start shutdown ...\nUpdate flash tables ...\nFlash tables OK\nShutdown complete\n"},
        {"init", "Establish link to target system on COM1 at 9600 baud ...\n" + ON_LINE + "Flash tables OK\nInitialization complete\n"},
        {"setram 3000 10 \\x5a", "Set 16 bytes to 0x5A at 0x00003000\n"},
        {"readram 3000 8", Read_Ram(0x3000, Bytes(8, 0x5A))},
        {"writeram 1000 8 ab\\x7f", "Write 8 bytes to absolute location 0x00001000\n"},
        // Letters arrive upper-cased, \x7F is one byte; after the data and its zero go the bytes the buffer held from
        // the read before.
        {"readram 1000", Read_Ram(0x1000, {'A', 'B', 0x7F, 0, 0x5A, 0x5A, 0x5A, 0x5A})},
        {"copyram 2000 1000 8", "Copy 8 bytes from 0x00001000 to 0x00002000\n"},
        {"compram 2000 1000", "Compare 8 bytes from 0x00002000 to 0x00001000\nArrays match\n"},
        // The mismatch fails the line: the readram after it never runs.
        {"compram 3000 1000 8 ; readram 0", "Compare 8 bytes from 0x00003000 to 0x00001000\nArrays don't match!\n"
                                            "\nOperation FAILED!  ERROR 008B\n\nNot run: READRAM 0\n"},
        {"writeio 300 2 1234", "Write 4660 (00001234H) as 2 bytes to output port 0x00000300\n"},
        {"readio 300 2", "Read 2 bytes from input port 0x00000300.\nInput value is 4660 (00001234H)\n"},
        {"readio 300", "Read 1 bytes from input port 0x00000300.\nInput value is 52 (00000034H)\n"},
        {"readram 1000", Read_Ram(0x1000, {'A'})},   // the size readio left
        {"setram 5000 800 \\x33", "Set 2048 bytes to 0x33 at 0x00005000\n"},
        {"readram 5000 1000", "Size 4096 is more than one transfer, limited to 2048 bytes\n" + Read_Ram(0x5000, Bytes(2048, 0x33))},
        // Board 3's 32 K block at 0x03FF0000 of the device at 0x03F00000.
        {"setram 20000 100 \\xa5", "Set 256 bytes to 0xA5 at 0x00020000\n"},
        {"wflash da 3f00000 3ff0000 3ff0000 20000 100",
         "Program base 0x03F00000, block 0x03FF0000\n from 0x00020000, to 0x03FF0000, 256 bytes\n"},
        {"eflash da 3f00000 3ff0000 8000", "Erase base 0x03F00000, block 0x03FF0000, 32768 bytes.\n"},
        // wflash alone repeats the last values, the size now that of eflash.
        {"wflash", "Program base 0x03F00000, block 0x03FF0000\n from 0x00020000, to 0x03FF0000, 32768 bytes\n"},
        {"readram 3ff0000 10", Read_Ram(0x3FF0000, Bytes(16, 0xA5))},
        {"eflash da 3f00000 3ff0001 8000", "Erase base 0x03F00000, block 0x03FF0001, 32768 bytes.\n"
                                           "\nOperation FAILED!  Invalid message parameter\n\n"},
        {"clrstatus", "Comms status cleared\n"}, {"readram 0 4", Read_Ram(0, Bytes(4, 0))}, {"status", Status_Report(1, 1)},
        {"clrstatus", "Comms status cleared\n"}, {"status", Status_Report(0, 0)},
        {"echo 16 5", Echo("16 bytes of data 5 time(s)", 5)},
        {"status", Status_Report(10, 10)},   // the work-area fill is not counted
        {"echo 2000 2", Echo("1024 bytes of data 2 time(s)", 2)},
        // ESC right behind the command: one pass, then the rest of its line.
        {"echo", Echo("1024 bytes of data until ESC", 0)}, {"\x1b", ""}, {"status", Status_Report(2, 2)},
        {"chgbaud 19200", "Baud rate set to 19200\nWARNING!  Perform shutdown commmand, then init command\n"},
        // The board answers at once at the new rate: no fall-back to 9600.
        {"init", "Establish link to target system on COM1 at 19.2K baud ...\n" + ON_LINE + "Flash tables OK\nInitialization complete\n"},
        {"readram 0 2", Read_Ram(0, {0, 0})},
    };
    std::string typed;
    for (const auto &step : steps) typed += step.first + "\n";
    RIG_RESULT r = Run_Typed("debug\ninit com1\n" + typed + "exit\n");
    std::vector<std::string> out = Line_Outputs(r.out);
    ASSERT_GT(out.size(), steps.size() + 2) << r.out;
    for (size_t i = 0; i < steps.size(); i++)
        EXPECT_EQ(out[i + 2], steps[i].second) << steps[i].first;

    // After writeram, only the echo passes write: through the work area at 0x20000, at most 1024 bytes at once.
    std::string writes;
    for (const TRACE_EVENT &e : Events(r.trace, "rx_frame"))
        if (e.Str("name") == "write_ram") writes += " " + e.Str("addr") + "+" + e.Str("len");
    EXPECT_EQ(writes.substr(std::min(writes.find(" 4096+8 "), writes.size())),
              " 4096+8 131072+16 131072+16 131072+16 131072+16 131072+16 131072+1024 131072+1024 131072+1024");
}

// Bytes spoilt both ways: the board NAKs bad requests, the host NAKs bad answers, and every pass still gets through
// intact. Without a count the echo test ends on escape, or at the end of the input.
TEST(DebugCommands, EchoOnANoisyLineAndUntilTheEndOfInput)
{
    RIG_RESULT r = Run_Typed("debug\ninit com1\necho 64 40\nstatus\necho 16\n", {"--corrupt-rate", "0.002", "--out-corrupt-rate", "0.002"});
    std::vector<std::string> out = Line_Outputs(r.out);
    ASSERT_EQ(out.size(), 6u) << r.out;
    EXPECT_EQ(out[2], Echo("64 bytes of data 40 time(s)", 40, 4));
    ASSERT_EQ(out[3].substr(0, 15), "Comms Status:\n\n");
    EXPECT_EQ(out[3].find("Send Retry         =        0\n"), std::string::npos) << out[3];
    EXPECT_EQ(out[3].find("Send Rx Nak        =        0\n"), std::string::npos) << out[3];
    EXPECT_TRUE(out[4].find("Count: 1 ") != std::string::npos && r.exit_code == 1) << r.out;
}

// The board process: bad options, an image of the wrong size and a plain file where the link would go are refused
// (the file left alone); its console prints the monitor's reset lines again to a reader who clears them on opening
// (term does) and echoes keys; SIGINT (the rig stops it with SIGTERM) removes both links and writes the image.
TEST(BoardProcess, RefusalsConsoleAndSignal)
{
    char file[] = "/tmp/vb_file_XXXXXX";
    close(mkstemp(file));
    BOARD_PROC b;
    std::string err;
    const struct { std::vector<std::string> args; size_t image; const char *says; } bad[] = {  // the last --link wins
        {{"--board", "5"}, 0, "--board"}, {{"--board", "3x"}, 0, "--board"}, {{"--drop-rate", "1.5"}, 0, "--drop-rate"},
        {{"--corrupt-rate", "nan"}, 0, "--corrupt-rate"}, {{"--seed", "4294967296"}, 0, "--seed"},
        {{"--link", std::string(600, 'a')}, 0, "--link"}, {{"--board", "4"}, 0x100000, "image"},  // 1 M image, 2 M flash
        {{"--link", file}, 0, "not a symbolic link"}, {{"--monitor-version"}, 0, "--monitor-version needs"}};
    for (const auto &c : bad) {
        EXPECT_FALSE(Board_Start(&b, c.args, &err, std::vector<uint8_t>(c.image, 0xFF)));
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        Board_Cleanup(&b);
    }
    struct stat st;
    EXPECT_TRUE(lstat(file, &st) == 0 && S_ISREG(st.st_mode)) << "the file is left alone";
    remove(file);

    std::vector<uint8_t> image(0x80000, 0xFF);  // board 1: 512 K
    image[0x1234] = 0x12;
    ASSERT_TRUE(Board_Start(&b, {"--board", "1"}, &err, image)) << err;
    const std::string reset = "\r\nBoot monitor V2.51 - flash 03F80000-03FFFFFF\r\nNo boot program: the flash tables are not valid\r\n";
    int console = open(b.console.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC), status = 0;
    tcflush(console, TCIFLUSH);
    EXPECT_EQ(Read_Fd(console, 2000, reset.size()), reset);
    EXPECT_TRUE(write(console, "hi\r", 3) == 3 && Read_Fd(console, 2000, 4) == "hi\r\n");
    close(console);
    kill(b.pid, SIGINT);
    for (int i = 0; i < 300 && waitpid(b.pid, &status, WNOHANG) == 0; i++) poll(nullptr, 0, 10);
    b.pid = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(lstat(b.link.c_str(), &st) != 0 && lstat(b.console.c_str(), &st) != 0 && Board_Image(b) == image);
    Board_Cleanup(&b);
}

}  // namespace
