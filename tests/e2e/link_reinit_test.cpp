// A second init while the link is up re-reads the tables from the board; with
// table changes still pending it must ask first, or the directory entries of
// programs just stored would be lost while their bytes stay in flash.
#include <gtest/gtest.h>

#include <algorithm>

#include "board_rig.h"

namespace {

int Init_Requests(const RIG_RESULT &r)
{
    auto frames = Events(r.trace, "rx_frame");
    return static_cast<int>(std::count_if(frames.begin(), frames.end(), [](const TRACE_EVENT &e) {
        return e.Str("name") == "init";
    }));
}

RIG_RESULT Reinit_After_Program(const char *answer)
{
    RIG_SETUP s;
    s.files["hello.hex"] = Read_Source_File("examples/hello.hex");
    s.stdin_text = std::string("init com1\nprogram hello\ninit com1\n") + answer +
                   "\ndir\nabort\ny\n";
    return Run_Session(s);
}

TEST(LinkReinit, DecliningKeepsPendingTablesAndSendsNothing)
{
    RIG_RESULT r = Reinit_After_Program("n");
    ASSERT_TRUE(r.started) << r.error;
    ASSERT_FALSE(r.timed_out);
    EXPECT_NE(r.out.find("Tables in flash memory require updating.  Initialize anyway? [n]: "),
              std::string::npos);
    EXPECT_EQ(Init_Requests(r), 1);
    // The directory still lists the program stored before the question.
    size_t dir = r.out.find("Flash directory of");
    ASSERT_NE(dir, std::string::npos);
    EXPECT_NE(r.out.find("\nHELLO ", dir), std::string::npos) << r.out;
}

TEST(LinkReinit, AcceptingReadsTheBoardAgain)
{
    RIG_RESULT r = Reinit_After_Program("y");
    ASSERT_TRUE(r.started) << r.error;
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(Init_Requests(r), 2);
    // The board's tables were never written, so the fresh read finds none and
    // the directory comes back empty.
    size_t dir = r.out.find("Flash directory of");
    ASSERT_NE(dir, std::string::npos);
    EXPECT_EQ(r.out.find("\nHELLO ", dir), std::string::npos) << r.out;
}

}  // namespace
