// The virtual board as a process over a pseudo-terminal: against the host's
// link in this process, against torvex, and its own start and stop.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "HCMDFMT.h"
#include "MSG.h"
#include "board_rig.h"

namespace {

bool Has(const std::string &s, const std::string &text) { return s.find(text) != std::string::npos; }

struct BoardLinkE2E : testing::Test {
    BOARD_PROC board;
    WORD status = 0;

    void Start(const std::vector<std::string> &args)
    {
        std::string err;
        ASSERT_TRUE(Board_Start(&board, args, &err)) << err;
        setenv("TORVEX_COM1", board.link.c_str(), 1);
        Clear_Comms_Status();
        Init_Message_Link(0, 9600, &status);
        ASSERT_EQ(status, 0);
    }
    void TearDown() override
    {
        Shutdown_Message_Link(&status);
        Board_Cleanup(&board);
    }
};

TEST_F(BoardLinkE2E, OneFramePerCommand)
{
    Start({"--prog-id", "9", "--monitor-version", "0240", "--boot-addr", "03FFC000"});
    WORD id = 0, version = 0, manu = 0, dev = 0;
    DWORD boot = 0;
    Init_Command(&id, &version, &boot, &status);
    EXPECT_TRUE(status == 0 && id == 9 && version == 0x0240 && boot == 0x03FFC000u) << version;
    // Random bytes: control characters must cross the line untouched.
    std::vector<BYTE> data(2048), back(2048, 0);
    std::mt19937 gen(7);
    for (BYTE &b : data) b = BYTE(gen());
    Write_RAM(0x20000, data.size(), data.data(), &status);
    Read_RAM(0x20000, back.size(), back.data(), &status);
    EXPECT_TRUE(status == 0 && back == data);
    Write_RAM(0x03F00000, 16, data.data(), &status);
    EXPECT_EQ(status, 0x800D) << "flash is not writable as RAM";
    Get_Flash_ID(0x03FFC000, &manu, &dev, &status);
    EXPECT_TRUE(status == 0 && manu == 0x0101 && dev == 0x00DA) << manu << " " << dev;

    EXPECT_TRUE(comms_status.send_msg_count == 5 && comms_status.send_rx_ack_count == 5)
        << "one send per command";
    Board_Stop(&board);
    auto frames = Events(Board_Trace(board), "rx_frame");
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_TRUE(frames[1].Str("name") == "write_ram" && frames[1].Num("size") == 2048 + 28);
}

TEST_F(BoardLinkE2E, LineFaultsCostRetriesButNeverData)
{
    Start({"--corrupt-rate", "0.0004", "--drop-rate", "0.0002", "--out-corrupt-rate", "0.0003",
           "--seed", "11"});
    std::mt19937 gen(3);
    for (DWORD addr = 0x20000; addr < 0x20000 + 24 * 192; addr += 192) {
        std::vector<BYTE> block(192), back(192, 0);
        for (BYTE &b : block) b = BYTE(gen());
        Write_RAM(addr, 192, block.data(), &status);
        ASSERT_EQ(status, 0) << std::hex << addr;
        Read_RAM(addr, 192, back.data(), &status);
        ASSERT_EQ(status, 0) << std::hex << addr;
        EXPECT_EQ(back, block) << std::hex << addr;
    }
    EXPECT_GT(comms_status.send_retry_count, 0u) << "the faults must have cost retries";
    Board_Stop(&board);
    EXPECT_GT(Count_Events(Board_Trace(board), "fault"), 0);
}

TEST(BoardSession, InitFallsBackTo9600ThroughRefusedFramesAndMovesTheBoard)
{
    RIG_SETUP s;
    s.board_args = {"--nak-first", "2"};
    s.stdin_text = "init com1 baud=38400\ndebug\nstatus\nexit\n";
    RIG_RESULT r = Run_Session(s);
    ASSERT_TRUE(r.started && !r.timed_out) << r.error << r.out;
    EXPECT_TRUE(Has(r.out, "Target system on-line (id = 1, version = 2.51)\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Initialization complete\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Send Rx Nak        =        2\n")) << r.out;
    // The inits at 38400 reached the board as garbage; the one at 9600 was
    // refused twice, then answered; then the change baud.
    EXPECT_GE(Count_Events(r.trace, "garbage"), 3);
    auto naks = Events(r.trace, "tx_nak");
    ASSERT_EQ(naks.size(), 2u);
    EXPECT_EQ(naks[0].Num("seq"), naks[1].Num("seq")) << "retransmissions keep their number";
    auto bauds = Events(r.trace, "baud");
    ASSERT_EQ(bauds.size(), 2u);
    EXPECT_TRUE(bauds[0].Num("from") == 9600 && bauds[0].Num("to") == 38400);
    EXPECT_EQ(bauds[1].Num("to"), 9600) << "goodbye returns the board to its reset rate";
}

TEST(BoardProcess, ConsoleAndSignalsThatRemoveTheLinksAndWriteTheImage)
{
    for (int sig : {SIGTERM, SIGINT}) {
        BOARD_PROC b;
        std::string err;
        std::vector<uint8_t> image(0x80000, 0xFF);  // board 1: 512 K
        image[0x1234] = uint8_t(sig);
        ASSERT_TRUE(Board_Start(&b, {"--board", "1"}, &err, image)) << err;
        struct stat st;
        ASSERT_EQ(lstat(b.link.c_str(), &st), 0);
        // The console: what a reader clears on opening (term does) is printed again; keys echo.
        const std::string reset = "\r\nBoot monitor V2.51 - flash 03F80000-03FFFFFF\r\n"
                                  "No boot program: the flash tables are not valid\r\n";
        int console = open(b.console.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        tcflush(console, TCIFLUSH);
        EXPECT_EQ(Read_Fd(console, 2000, reset.size()), reset);
        EXPECT_TRUE(write(console, "hi\r", 3) == 3 && Read_Fd(console, 2000, 4) == "hi\r\n");
        close(console);
        kill(b.pid, sig);
        int status = 0;
        for (int i = 0; i < 300 && waitpid(b.pid, &status, WNOHANG) == 0; i++) poll(nullptr, 0, 10);
        b.pid = -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "signal " << sig;
        EXPECT_TRUE(lstat(b.link.c_str(), &st) != 0 && lstat(b.console.c_str(), &st) != 0) << "left behind: " << sig;
        EXPECT_EQ(Board_Image(b), image);
        Board_Cleanup(&b);
    }
}

TEST(BoardProcess, RefusesBadOptionsAForeignImageAndToReplaceAFile)
{
    char file[] = "/tmp/vb_file_XXXXXX";  // a plain file where the link would go
    close(mkstemp(file));
    const struct {
        std::vector<std::string> args;  // the last --link wins
        size_t image;
        const char *says;
    } bad[] = {{{"--board", "5"}, 0, "--board"}, {{"--board", "3x"}, 0, "--board"}, {{"--baud", "0"}, 0, "--baud"},
               {{"--drop-rate", "1.5"}, 0, "--drop-rate"}, {{"--corrupt-rate", "nan"}, 0, "--corrupt-rate"},
               {{"--seed", "4294967296"}, 0, "--seed"}, {{"--link", std::string(600, 'a')}, 0, "--link"},
               {{"--board", "4"}, 0x100000, "image"},  // 1 M image, 2 M of flash
               {{"--link", file}, 0, "not a symbolic link"}, {{"--monitor-version"}, 0, "--monitor-version needs"}};
    for (const auto &c : bad) {
        BOARD_PROC b;
        std::string err;
        EXPECT_FALSE(Board_Start(&b, c.args, &err, std::vector<uint8_t>(c.image, 0xFF)));
        EXPECT_TRUE(Has(err, c.says)) << err;
        Board_Cleanup(&b);
    }
    struct stat st;
    EXPECT_TRUE(lstat(file, &st) == 0 && S_ISREG(st.st_mode)) << "the file is left alone";
    remove(file);
}

}  // namespace
