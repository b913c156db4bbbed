// torvex against the virtual board: line rates, a dead board, wire pacing,
// and the board process's own start and stop.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "board_rig.h"

namespace {

bool Has(const std::string &out, const std::string &text) { return out.find(text) != std::string::npos; }

TEST(BoardSession, InitFallsBackTo9600AndMovesTheBoardToTheAskedRate)
{
    RIG_SETUP s;
    s.torvex_args = {"init com1 baud=38400 ; exit"};
    RIG_RESULT r = Run_Session(s);
    ASSERT_TRUE(r.started) << r.error;
    ASSERT_FALSE(r.timed_out) << r.out;
    EXPECT_TRUE(Has(r.out, "Establish link to target system on COM1 at 38.4K baud ...\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Target system on-line (id = 1, version = 2.51)\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Initialization complete\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Shutdown complete\n")) << r.out;
    // The first init at 38400 reached the board as garbage; the one at 9600
    // was answered, then the change baud, then init at the new rate.
    EXPECT_GE(Count_Events(r.trace, "garbage"), 3);
    auto bauds = Events(r.trace, "baud");
    ASSERT_GE(bauds.size(), 1u);
    EXPECT_EQ(bauds[0].Num("from"), 9600);
    EXPECT_EQ(bauds[0].Num("to"), 38400);
    auto frames = Events(r.trace, "rx_frame");
    ASSERT_GE(frames.size(), 3u);
    EXPECT_EQ(frames[0].Str("name"), "init");
    EXPECT_EQ(frames[1].Str("name"), "change_baud");
    EXPECT_EQ(frames[1].Num("baud"), 38400);
    EXPECT_EQ(frames[2].Str("name"), "init");
}

TEST(BoardSession, SilentBoardIsReportedOnceAndTorvexCarriesOn)
{
    RIG_SETUP s;
    s.board_args = {"--silent"};
    s.stdin_text = "init com1\nexit\n";
    RIG_RESULT r = Run_Session(s);
    ASSERT_TRUE(r.started) << r.error;
    ASSERT_FALSE(r.timed_out) << r.out;
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(Has(r.out, "Reset target system and perform init command again\n")) << r.out;
    EXPECT_FALSE(Has(r.out, "Initialization complete")) << r.out;
    EXPECT_GE(Count_Events(r.trace, "rx_frame"), 2) << "the board heard the inits";
    EXPECT_EQ(Count_Events(r.trace, "tx_ack"), 0);
    EXPECT_EQ(Count_Events(r.trace, "tx_frame"), 0);
}

TEST(BoardSession, RejectedFramesShowInTheLinkStatusCounters)
{
    RIG_SETUP s;
    s.board_args = {"--nak-first", "2"};
    s.stdin_text = "init com1\ndebug\nstatus\nexit\n";
    RIG_RESULT r = Run_Session(s);
    ASSERT_TRUE(r.started) << r.error;
    ASSERT_FALSE(r.timed_out) << r.out;
    EXPECT_TRUE(Has(r.out, "Initialization complete\n")) << r.out;
    // The first init went out three times: two NAKs, then ACK.
    EXPECT_TRUE(Has(r.out, "Send Retry         =        2\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Send Rx Nak        =        2\n")) << r.out;
    auto naks = Events(r.trace, "tx_nak");
    ASSERT_EQ(naks.size(), 2u);
    EXPECT_EQ(naks[0].Str("why"), "nak_first");
    EXPECT_EQ(naks[0].Num("seq"), naks[1].Num("seq")) << "retransmissions keep their number";
}

TEST(BoardSession, PacedLineSpendsTheWireTimeOfEveryExchange)
{
    RIG_SETUP s;
    s.board_args = {"--pace"};
    s.torvex_args = {"init com1 ; exit"};
    RIG_RESULT r = Run_Session(s);
    ASSERT_TRUE(r.started) << r.error;
    ASSERT_FALSE(r.timed_out) << r.out;
    EXPECT_TRUE(Has(r.out, "Shutdown complete\n")) << r.out;
    // Between a request arriving and the host's ACK of the answer, both
    // frames cross the wire at 9600 baud: about 1.04 ms a byte.
    long long prev_frame_ms = -1, prev_size = 0, checked = 0;
    for (const TRACE_EVENT &e : r.trace) {
        if (e.Is("rx_frame")) prev_frame_ms = e.Num("t_ms"), prev_size = e.Num("size");
        if (e.Is("tx_frame") && prev_frame_ms >= 0) prev_size += e.Num("size");
        if (e.Is("rx_ack") && prev_frame_ms >= 0) {
            EXPECT_GE(e.Num("t_ms") - prev_frame_ms, prev_size * 104 / 100 - 1) << prev_size;
            prev_frame_ms = -1;
            checked++;
        }
    }
    EXPECT_GE(checked, 5);
}

TEST(BoardProcess, SignalRemovesTheLinkAndWritesTheImage)
{
    for (int sig : {SIGTERM, SIGINT}) {
        BOARD_PROC b;
        std::string err;
        ASSERT_TRUE(Board_Start(&b, {"--board", "1"}, &err)) << err;
        struct stat st;
        ASSERT_EQ(lstat(b.link.c_str(), &st), 0);
        kill(b.pid, sig);
        int status = 0;
        for (int i = 0; i < 300 && waitpid(b.pid, &status, WNOHANG) == 0; i++) poll(nullptr, 0, 10);
        b.pid = -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "signal " << sig;
        EXPECT_NE(lstat(b.link.c_str(), &st), 0) << "link left behind after signal " << sig;
        std::vector<uint8_t> image = Board_Image(b);
        EXPECT_EQ(image.size(), 0x80000u) << "board 1 has 512 K of flash";
        EXPECT_EQ(image, std::vector<uint8_t>(0x80000, 0xFF));
        Board_Cleanup(&b);
    }
}

TEST(BoardProcess, RefusesBadOptionsAndAForeignImage)
{
    BOARD_PROC b;
    std::string err;
    EXPECT_FALSE(Board_Start(&b, {"--board", "7"}, &err));
    EXPECT_TRUE(Has(err, "--board")) << err;
    Board_Cleanup(&b);
    EXPECT_FALSE(Board_Start(&b, {"--board", "4"}, &err, std::vector<uint8_t>(0x100000, 0xFF)));
    EXPECT_TRUE(Has(err, "image")) << err;
    Board_Cleanup(&b);
}

}  // namespace
