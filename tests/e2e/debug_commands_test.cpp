// Debug commands, the link echo test and the terminal typed at the prompt
// against the virtual board, which starts erased: init lays down fresh tables.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
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
const std::string PROMPT = "FLASH CMD: ";

// What each typed line printed, without the blank lines around it.
std::vector<std::string> Line_Outputs(const std::string &out)
{
    std::vector<std::string> lines;
    for (size_t pos = out.find(PROMPT); pos != std::string::npos;) {
        size_t start = pos + PROMPT.size();
        pos = out.find(PROMPT, start);
        std::string text = out.substr(start, pos == std::string::npos ? pos : pos - start);
        lines.push_back(text.size() >= 2 && text.front() == '\n' && text.back() == '\n' ? text.substr(1, text.size() - 2) : text);
    }
    return lines;
}

// A read RAM display: lines of 16 bytes, hex columns with a gap after the
// eighth, then the bytes as text.
std::string Read_Ram(unsigned addr, const Bytes &bytes)
{
    char cell[80];
    snprintf(cell, sizeof cell, "Read %zu bytes from absolute location 0x%08X:\n\n", bytes.size(),
             addr);
    std::string s = cell, text;
    const char *hex = "0123456789ABCDEF";
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
    const char *labels[] = {"Send Msg",    "Send Retry",   "Send Rx Flush", "Send Rx Ack",
                            "Send Rx Nak", "Send Rx Spur", "Send No TO",    "Send Rx TO",
                            "Send Total TO", "Send Bad Stat"};
    std::string s = "Comms Status:\n\n";
    char row[80];
    for (int i = 0; i < 10; i++, s += row)
        snprintf(row, sizeof row, "%-18s = %8lu\n", labels[i], i == 0 ? msgs : i == 3 ? acks : 0);
    return s;
}

RIG_RESULT Debug_Session(const std::string &lines, const std::vector<std::string> &board_args)
{
    RIG_SETUP s;
    s.board_args = board_args, s.stdin_text = "debug\ninit com1\n" + lines + "exit\n";
    return Run_Session(s);
}

const std::string ON_LINE = "Target system on-line (id = 1, version = 2.51)\n";

TEST(DebugCommands, OneSessionThroughEveryCommand)
{
    const std::vector<std::pair<std::string, std::string>> steps = {
        // The fresh tables go to flash, so that a later init finds them in order.
        {"shutdown", "Start shutdown ...\nUpdate flash tables ...\nFlash tables OK\n"
                     "Shutdown complete\n"},
        {"init", "Establish link to target system on COM1 at 9600 baud ...\n" + ON_LINE +
                     "Flash tables OK\nInitialization complete\n"},
        {"setram 3000 10 \\x5a", "Set 16 bytes to 0x5A at 0x00003000\n"},
        {"readram 3000 8", Read_Ram(0x3000, Bytes(8, 0x5A))},
        {"writeram 1000 8 ab\\x7f", "Write 8 bytes to absolute location 0x00001000\n"},
        // Letters arrive upper-cased, \x7F is one byte; after the data and its
        // zero go the bytes the buffer held from the read before.
        {"readram 1000", Read_Ram(0x1000, {'A', 'B', 0x7F, 0, 0x5A, 0x5A, 0x5A, 0x5A})},
        {"copyram 2000 1000 8", "Copy 8 bytes from 0x00001000 to 0x00002000\n"},
        {"compram 2000 1000", "Compare 8 bytes from 0x00002000 to 0x00001000\nArrays match\n"},
        // The mismatch fails the line: the readram after it never runs.
        {"compram 3000 1000 8 ; readram 0",
         "Compare 8 bytes from 0x00003000 to 0x00001000\nArrays don't match!\n"
         "\nOperation FAILED!  ERROR 008B\n\nNot run: READRAM 0\n"},
        {"writeio 300 2 1234", "Write 4660 (00001234H) as 2 bytes to output port 0x00000300\n"},
        {"readio 300 2",
         "Read 2 bytes from input port 0x00000300.\nInput value is 4660 (00001234H)\n"},
        {"readio 300", "Read 1 bytes from input port 0x00000300.\nInput value is 52 (00000034H)\n"},
        {"readram 1000", Read_Ram(0x1000, {'A'})},   // the size readio left
        {"setram 5000 800 \\x33", "Set 2048 bytes to 0x33 at 0x00005000\n"},
        {"readram 5000 1000", "Size 4096 is more than one transfer, limited to 2048 bytes\n" +
                                  Read_Ram(0x5000, Bytes(2048, 0x33))},
        // Board 3's 32 K block at 0x03FF0000 of the device at 0x03F00000.
        {"setram 20000 100 \\xa5", "Set 256 bytes to 0xA5 at 0x00020000\n"},
        {"wflash da 3f00000 3ff0000 3ff0000 20000 100",
         "Program base 0x03F00000, block 0x03FF0000\n from 0x00020000, to 0x03FF0000, 256 bytes\n"},
        {"eflash da 3f00000 3ff0000 8000",
         "Erase base 0x03F00000, block 0x03FF0000, 32768 bytes.\n"},
        // wflash alone repeats the last values, the size now that of eflash.
        {"wflash", "Program base 0x03F00000, block 0x03FF0000\n"
                   " from 0x00020000, to 0x03FF0000, 32768 bytes\n"},
        {"readram 3ff0000 10", Read_Ram(0x3FF0000, Bytes(16, 0xA5))},
        {"eflash da 3f00000 3ff0001 8000", "Erase base 0x03F00000, block 0x03FF0001, 32768 bytes.\n"
                                           "\nOperation FAILED!  Invalid message parameter\n\n"},
        {"clrstatus", "Comms status cleared\n"},
        {"readram 0 4", Read_Ram(0, Bytes(4, 0))},
        {"status", Status_Report(1, 1)},
        {"clrstatus", "Comms status cleared\n"},
        {"status", Status_Report(0, 0)},
        {"echo 16 5", Echo("16 bytes of data 5 time(s)", 5)},
        {"status", Status_Report(10, 10)},   // the work-area fill is not counted
        {"echo 2000 2", Echo("1024 bytes of data 2 time(s)", 2)},
        // ESC right behind the command: one pass, then the rest of its line.
        {"echo", Echo("1024 bytes of data until ESC", 0)},
        {"\x1b", ""},
        {"status", Status_Report(2, 2)},
        {"chgbaud 19200",
         "Baud rate set to 19200\nWARNING!  Perform shutdown commmand, then init command\n"},
        // The board answers at once at the new rate: no fall-back to 9600.
        {"init", "Establish link to target system on COM1 at 19.2K baud ...\n" + ON_LINE +
                     "Flash tables OK\nInitialization complete\n"},
        {"readram 0 2", Read_Ram(0, {0, 0})},
    };
    std::string typed;
    for (const auto &step : steps) typed += step.first + "\n";
    RIG_RESULT r = Debug_Session(typed, {});
    std::vector<std::string> out = Line_Outputs(r.out);
    ASSERT_GT(out.size(), steps.size() + 2) << r.error << r.out;
    for (size_t i = 0; i < steps.size(); i++)
        EXPECT_EQ(out[i + 2], steps[i].second) << steps[i].first;

    // After writeram, only the echo passes write: through the work area at
    // 0x20000, at most 1024 bytes at once.
    std::string writes;
    for (const TRACE_EVENT &e : Events(r.trace, "rx_frame"))
        if (e.Str("name") == "write_ram") writes += " " + e.Str("addr") + "+" + e.Str("len");
    EXPECT_EQ(writes.substr(std::min(writes.find(" 4096+8 "), writes.size())),
              " 4096+8 131072+16 131072+16 131072+16 131072+16 131072+16 131072+1024 "
              "131072+1024 131072+1024");
}

// Without a count the echo test ends on escape, or at the end of the input.
TEST(DebugCommands, EchoUntilEscEndsAtTheEndOfInput)
{
    RIG_SETUP s;
    s.stdin_text = "debug\ninit com1\necho 16\n";
    RIG_RESULT r = Run_Session(s);
    EXPECT_TRUE(!r.timed_out && r.out.find("Count: 1 ") != std::string::npos && r.exit_code == 1) << r.out;
}

TEST(DebugCommands, GetIdOfEachBoardAndEchoOnANoisyLine)
{
    const char *ids[] = {"0x0089, Device ID = 0x0070", "0x0089, Device ID = 0x009C",
                         "0x0101, Device ID = 0x00DA", "0x0101, Device ID = 0x00C4"};
    for (int board = 1; board <= 4; board++) {
        RIG_RESULT r = Debug_Session("getid 3ffa000\n", {"--board", std::to_string(board)});
        std::vector<std::string> out = Line_Outputs(r.out);
        ASSERT_GE(out.size(), 3u) << r.error << r.out;
        EXPECT_EQ(out[2], "Device Manufacturers Code = " + std::string(ids[board - 1]) + "\n");
    }
    // Bytes spoilt both ways: the board NAKs bad requests, the host NAKs bad
    // answers, and every pass still gets through intact.
    RIG_RESULT r = Debug_Session("echo 64 40\nstatus\n",
                                 {"--corrupt-rate", "0.002", "--out-corrupt-rate", "0.002"});
    std::vector<std::string> out = Line_Outputs(r.out);
    ASSERT_GE(out.size(), 4u) << r.error << r.out;
    EXPECT_EQ(out[2], Echo("64 bytes of data 40 time(s)", 40, 4));
    ASSERT_EQ(out[3].substr(0, 15), "Comms Status:\n\n");
    EXPECT_EQ(out[3].find("Send Retry         =        0\n"), std::string::npos) << out[3];
    EXPECT_EQ(out[3].find("Send Rx Nak        =        0\n"), std::string::npos) << out[3];
}

// Reads fd into *got until it holds want (true), the time is up or the fd
// ends; the carriage returns a console adds are dropped.
bool Read_Until(int fd, std::string *got, const std::string &want, int timeout_ms = 5000)
{
    struct pollfd pfd = {fd, POLLIN, 0};
    char buf[512];
    for (int waited = 0; got->find(want) == std::string::npos; waited += 10) {
        ssize_t n = 0;
        if (waited >= timeout_ms || (poll(&pfd, 1, 10) > 0 && (n = read(fd, buf, sizeof buf)) <= 0))
            return false;
        for (ssize_t i = 0; i < n; i++)
            if (buf[i] != '\r') *got += buf[i];
    }
    return true;
}

// The console's ICANON and ECHO flags, once they equal want or time is up.
tcflag_t Console_Mode(int console, tcflag_t want)
{
    struct termios tio = {};
    for (int i = 0; i < 300; i++, usleep(10000))
        if (tcgetattr(console, &tio) == 0 && (tio.c_lflag & (ICANON | ECHO)) == want) break;
    return tio.c_lflag & (ICANON | ECHO);
}

// The terminal live: the console a pseudo-terminal the test types on, COM2
// another one on which the test plays the peer, COM1 the board.
TEST(DebugTerm, PeerTalksRawKeysGoOutAndTheTargetLinkSurvives)
{
    BOARD_PROC board;
    std::string err, out, at_peer;
    ASSERT_TRUE(Board_Start(&board, {}, &err)) << err;
    int peer = posix_openpt(O_RDWR | O_NOCTTY), console = -1;
    ASSERT_TRUE(peer >= 0 && grantpt(peer) == 0 && unlockpt(peer) == 0);
    std::string peer_dev = ptsname(peer);
    pid_t pid = forkpty(&console, nullptr, nullptr, nullptr);
    if (pid == 0) {
        for (int fd = 3; fd < 64; fd++) close(fd);
        if (chdir(board.dir.c_str()) != 0) _exit(126);
        unsetenv("FLASHOPT");
        setenv("TORVEX_COM1", board.link.c_str(), 1);
        setenv("TORVEX_COM2", peer_dev.c_str(), 1);
        execl(TORVEX_BIN_DIR "/torvex", "torvex", (char *)nullptr);
        _exit(127);
    }
    auto type = [&](const std::string &keys) { (void)!write(console, keys.data(), keys.size()); };

    type("log=v ; debug ; init com1\nterm com2\n");
    ASSERT_TRUE(Read_Until(console, &out, "Type ESC to exit ...\n\n")) << out;
    EXPECT_EQ(Console_Mode(console, 0), 0u);   // raw: keys one by one, unechoed
    // 100 bytes at once, a zero byte at offset 10: the first piece of 79
    // prints up to the zero, the second piece prints the last 21.
    std::string burst;
    for (int i = 0; i < 100; i++) burst += char(i == 10 ? 0 : 'a' + i % 26);
    ASSERT_EQ(write(peer, burst.data(), burst.size()), 100);
    std::string shown = burst.substr(0, 10) + burst.substr(79);
    EXPECT_TRUE(Read_Until(console, &out, "\n\n" + shown)) << out;
    type("hello");
    EXPECT_TRUE(Read_Until(peer, &at_peer, "hello")) << at_peer;
    type("\x1b");
    ASSERT_TRUE(Read_Until(console, &out, "End terminal emulation\n")) << out;
    EXPECT_EQ(Console_Mode(console, ICANON | ECHO), tcflag_t(ICANON | ECHO));
    Read_Until(peer, &at_peer, "never", 100);
    EXPECT_EQ(at_peer, "hello");   // escape is not sent
    type("readram 0 4\nexit\n");
    Read_Until(console, &out, "never", 10000);   // to the end of the output
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(console);
    close(peer);
    Board_Stop(&board);
    Board_Cleanup(&board);
    EXPECT_EQ(out.find("hello"), std::string::npos) << out;   // keys not echoed
    EXPECT_NE(out.find("VT Port set to COM2\nShutdown target communications link ...\n"
                       "Initialize VT session ...\n"
                       "Start VT session on COM2 at 9600 baud.  Type ESC to exit ...\n\n" +
                       shown + "\n\nShutdown VT communications link ...\n"
                       "Init target comms port\nEnd terminal emulation\n"),
              std::string::npos) << out;
    EXPECT_NE(out.find(Read_Ram(0, {0, 0, 0, 0})), std::string::npos) << out;
}

}  // namespace
