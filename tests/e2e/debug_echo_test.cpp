// The link echo test against the virtual board: the score line per pass,
// the link statistics it leaves, a noisy line, and escape.
#include "debug_e2e.h"

namespace {

using namespace debug_e2e;

std::string Score_Lines(unsigned long passes)
{
    std::string s;
    for (unsigned long i = 1; i <= passes; i++) s += Echo_Score(i, 0, 0, 0);
    return s;
}

TEST(DebugEcho, CountedPassesThenOnlyTheirExchangesInTheStatus)
{
    RIG_RESULT r = Debug_Session("echo 16 5\nstatus\necho 2000 2\nexit\n");
    ASSERT_TRUE(r.started) << r.error;
    ASSERT_FALSE(r.timed_out);
    std::vector<std::string> out = Line_Outputs(r.out);
    ASSERT_GE(out.size(), 5u) << r.out;
    EXPECT_EQ(out[2], "Echo 16 bytes of data 5 time(s) ...\n\n" + Score_Lines(5) + "\n");
    // The work-area fill before the passes is not counted: five writes and
    // five reads, each acknowledged at the first try.
    EXPECT_EQ(out[3], Status_Report(10, 0, 10, 0, 0, 0, 0));
    // A pass never carries more than 1024 bytes.
    EXPECT_EQ(out[4], "Echo 1024 bytes of data 2 time(s) ...\n\n" + Score_Lines(2) + "\n");

    // The work area of device-map entry 0 (64 K on this board) is filled
    // first, then each pass writes and reads back at 0x20000.
    auto sets = Requests(r, "set_ram");
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0].Num("addr"), 0x20000);
    EXPECT_EQ(sets[0].Num("len"), 0x10000);
    EXPECT_EQ(sets[0].Num("value"), 0xFF);
    std::vector<long long> write_lens;
    for (const TRACE_EVENT &e : Requests(r, "write_ram")) {
        EXPECT_EQ(e.Num("addr"), 0x20000);
        write_lens.push_back(e.Num("len"));
    }
    EXPECT_EQ(write_lens, (std::vector<long long>{16, 16, 16, 16, 16, 1024, 1024}));
}

TEST(DebugEcho, NoisyLineIsRetriedAndNeverScoredAsAMismatch)
{
    // Bytes are spoilt both ways: the board NAKs bad requests, the host NAKs
    // bad answers, and every pass still gets through intact.
    RIG_RESULT r = Debug_Session("echo 64 40\nstatus\nexit\n", 3,
                                 {"--corrupt-rate", "0.002", "--out-corrupt-rate", "0.002"});
    ASSERT_TRUE(r.started) << r.error;
    ASSERT_FALSE(r.timed_out);
    std::vector<std::string> out = Line_Outputs(r.out);
    ASSERT_GE(out.size(), 4u) << r.out;
    EXPECT_EQ(out[2], "Echo 64 bytes of data 40 time(s) ...\n\n" + Score_Lines(40) + "\n");
    EXPECT_GT(Status_Counter(out[3], "Send Retry"), 0) << out[3];
    EXPECT_GT(Status_Counter(out[3], "Send Rx Nak"), 0) << out[3];
    EXPECT_GT(Status_Counter(out[3], "Send Msg"), 80) << out[3];
    EXPECT_GT(Count_Events(r.trace, "rx_nak"), 0);   // a spoilt answer was sent again
}

TEST(DebugEcho, EscapeEndsAnUnlimitedTest)
{
    // The escape key waits right behind the command: the first pass runs,
    // then the key poll sees it.
    RIG_RESULT r = Debug_Session("echo\n\x1b\nstatus\nexit\n");
    ASSERT_TRUE(r.started) << r.error;
    ASSERT_FALSE(r.timed_out);
    std::vector<std::string> out = Line_Outputs(r.out);
    ASSERT_GE(out.size(), 5u) << r.out;
    EXPECT_EQ(out[2], "Echo 1024 bytes of data until ESC ...\n\n" + Echo_Score(1, 0, 0, 0) +
                          "\n\n");
    EXPECT_EQ(out[3], "");   // the rest of the escape's line is empty
    EXPECT_EQ(out[4], Status_Report(2, 0, 2, 0, 0, 0, 0));
    EXPECT_EQ(Requests(r, "write_ram").size(), 1u);
}

}  // namespace
