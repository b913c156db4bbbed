// Bringing the link up: the fall-back to 9600 and the baud change, and the
// reports when the board never answers.
#include "tables_e2e.h"

namespace {

using namespace tables_e2e;

const std::string VERBOSE_INIT_HEAD =
    "Port set to COM1\nVT Port set to COM1\nStart initialization ...\n";

TEST(TablesLink, InitAt38400AgainstABoardAt9600FallsBackAndMovesItUp)
{
    RIG_RESULT r = Session("log=v\nbaud=38400\ninit com1\nexit\n", {},
                           Image_With(3, Fresh_Tables(3)));
    ASSERT_TRUE(r.started) << r.error;
    std::string init = VERBOSE_INIT_HEAD +
                       "Establish link to target system on COM1 at 38.4K baud ...\n"
                       "Re-synch with target system at 9600 baud ...\n"
                       "Change host/target baud to 38.4K ...\n"
                       "Change baud OK\n" +
                       ON_LINE + "Read flash tables ...\nFlash tables OK\nInitialization complete\n";
    std::string exit = "Start shutdown ...\nProcess flash tables ...\nFlash tables not changed\n"
                       "Shutdown communications link ...\nShutdown complete\n";
    EXPECT_EQ(r.out, Transcript({"Log level set to VERBOSE\n", "Baud rate set to 38400\n", init,
                                 exit}));

    // The first init went out at 38400 and reached the board as garbage; the
    // second at 9600, then the change, then the third at the new rate.
    EXPECT_GE(Count_Events(r.trace, "garbage"), 1);
    ASSERT_EQ(Requests(r, "init").size(), 2u);
    auto change = Requests(r, "change_baud");
    ASSERT_EQ(change.size(), 1u);
    EXPECT_EQ(change[0].Num("baud"), 38400);
    auto bauds = Events(r.trace, "baud");
    ASSERT_GE(bauds.size(), 1u);
    EXPECT_EQ(bauds[0].Num("to"), 38400);
    EXPECT_EQ(bauds[0].Str("why"), "after_answer");
    // Everything after the change, tables and shutdown included, got through
    // (the board drops back to its reset rate once the host has gone).
    bool after_change = false;
    int frames_after = 0;
    for (const TRACE_EVENT &e : r.trace) {
        if (e.Is("baud")) after_change = e.Num("to") == 38400;
        if (after_change && e.Is("garbage")) ADD_FAILURE() << "garbage after the baud change";
        if (after_change && e.Is("rx_frame")) frames_after++;
    }
    EXPECT_EQ(frames_after, 6);  // init, four table reads, shutdown
}

TEST(TablesLink, BoardAlreadyAtTheRateNeedsOneInit)
{
    RIG_RESULT r = Session("log=v\nbaud=38400\ninit com1\n", {"--baud", "38400"},
                           Image_With(3, Fresh_Tables(3)));
    ASSERT_TRUE(r.started) << r.error;
    EXPECT_EQ(r.out.find("Re-synch"), std::string::npos);
    EXPECT_NE(r.out.find(ON_LINE), std::string::npos);
    EXPECT_EQ(Requests(r, "init").size(), 1u);
    EXPECT_TRUE(Requests(r, "change_baud").empty());
}

TEST(TablesLink, SilentBoardAt9600IsReportedOnceWithAdvice)
{
    RIG_RESULT r = Session("init com1\nmap\n", {"--silent"});
    ASSERT_TRUE(r.started) << r.error;
    std::string init = Init_Lines() +
                       "\nInitialize host/target comms FAILED!  Target system not responding\n\n"
                       "Reset target system and perform init command again\n";
    EXPECT_EQ(r.out, Transcript({init, NOT_ON_LINE}, false));
    // Two init exchanges (each with the link's own resends), nothing else.
    EXPECT_GE(Requests(r, "init").size(), 2u);
    EXPECT_EQ(Requests(r, "init").size(), Events(r.trace, "rx_frame").size());
}

TEST(TablesLink, SilentBoardAt38400TriesTheFallbackToo)
{
    RIG_RESULT r = Session("log=v\nbaud=38400\ninit com1\ndir\n", {"--silent"});
    ASSERT_TRUE(r.started) << r.error;
    std::string init = VERBOSE_INIT_HEAD +
                       "Establish link to target system on COM1 at 38.4K baud ...\n"
                       "Re-synch with target system at 9600 baud ...\n"
                       "\nInitialize host/target comms FAILED!  Target system not responding\n\n"
                       "Reset target system and perform init command again\n";
    EXPECT_EQ(r.out, Transcript({"Log level set to VERBOSE\n", "Baud rate set to 38400\n", init,
                                 NOT_ON_LINE},
                                false));
    EXPECT_TRUE(Requests(r, "change_baud").empty());
}

TEST(TablesLink, InitWithoutAPortOpensNothing)
{
    RIG_RESULT r = Session("init\nmap\n");
    ASSERT_TRUE(r.started) << r.error;
    EXPECT_EQ(r.out, Transcript({"Target comms port not specified!\n", NOT_ON_LINE}, false));
    EXPECT_TRUE(Events(r.trace, "rx_frame").empty());
}

}  // namespace
