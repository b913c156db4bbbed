// Sessions that put the link under stress: a second init with table changes
// pending, and a board that hangs up in the middle of an exchange.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>

#include "board_rig.h"

namespace {

// A second init while the link is up re-reads the tables from the board; with table changes
// still pending it must ask first, or the directory entries of programs just stored would be
// lost while their bytes stay in flash. Declining sends nothing; accepting reads the board,
// whose tables were never written, so the directory comes back empty.
TEST(LinkSession, ReinitWithPendingTablesAsksFirst)
{
    for (const char *answer : {"n", "y"}) {
        RIG_SETUP s;
        s.files["hello.hex"] = Read_Source_File("examples/hello.hex");
        s.stdin_text = std::string("init com1\nprogram hello\ninit com1\n") + answer + "\ndir\nabort\ny\n";
        RIG_RESULT r = Run_Session(s);
        ASSERT_TRUE(r.started && !r.timed_out) << r.error;
        auto frames = Events(r.trace, "rx_frame");
        long inits = std::count_if(frames.begin(), frames.end(), [](const TRACE_EVENT &e) { return e.Str("name") == "init"; });
        size_t dir = r.out.find("Flash directory of");
        ASSERT_NE(dir, std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Tables in flash memory require updating.  Initialize anyway? [n]: "), std::string::npos);
        EXPECT_EQ(inits, *answer == 'n' ? 1 : 2);
        EXPECT_EQ(r.out.find("\nHELLO ", dir) != std::string::npos, *answer == 'n') << r.out;
    }
}

// The board hangs up while TORVEX waits for the answer to an erase (an allowance of two minutes)
// or during an echo test: told once, no CPU burnt, the target off-line, exit at once.
TEST(LinkSession, HangUpEndsTheExchangeAtOnceAndTakesTheTargetOffLine)
{
    const std::string tail = "\nOperation FAILED!  Failure ReadComm\n\nTarget system off-line: perform init "
                             "command again\nFlash tables NOT written to the target!\n\nFLASH CMD: \n"
                             "Target system not on-line!\n\nFLASH CMD: \n\n";
    struct { const char *command, *typed, *score; } cases[] = {
        {"erase_flash", "init com1\nprogram hello\n", ""},
        {"write_ram", "debug\ninit com1\necho 16 0\n",
         "Write/Read ...  Count: 1        Mismatch: 0     Errors: 1     Status: 00FB\n"},
    };
    auto cpu = [] { struct rusage u; getrusage(RUSAGE_CHILDREN, &u);
                    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6; };
    for (const auto &c : cases) {
        RIG_SETUP s;
        s.files["hello.hex"] = Read_Source_File("examples/hello.hex");
        s.board_args = {"--hang-up-on", c.command}, s.stdin_text = c.typed + std::string("dir\nexit\n"), s.timeout_ms = 10000;
        double cpu_before = cpu();  // TORVEX's and the board's
        RIG_RESULT r = Run_Session(s);
        EXPECT_LT(cpu() - cpu_before, 1.0);
        ASSERT_TRUE(r.started && !r.timed_out) << r.error << r.out;
        size_t at = std::min(r.out.find("/com1) hung up"), r.out.size());
        EXPECT_EQ(r.out.substr(at), "/com1) hung up: Input/output error\n" + (c.score + tail));
    }
}

}  // namespace
