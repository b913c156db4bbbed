// The interpreter's ways out with the board on-line: end of input and exit
// shut the link down; the rest of an exit line still runs.
#include <gtest/gtest.h>

#include "board_rig.h"

namespace {

const std::string SHUTDOWN_WITH_WRITE =
    "Start shutdown ...\nUpdate flash tables ...\nFlash tables OK\nShutdown complete\n";

int Shutdown_Requests(const RIG_RESULT &r)
{
    int n = 0;
    for (const TRACE_EVENT &e : Events(r.trace, "rx_frame"))
        if (e.Str("name") == "shutdown") n++;
    return n;
}

TEST(CliBoard, EndOfInputShutsTheLinkDown)
{
    RIG_SETUP s;
    s.stdin_text = "init com1\n";
    RIG_RESULT r = Run_Session(s);
    ASSERT_TRUE(r.started) << r.error;
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    const std::string tail = "FLASH CMD: \n" + SHUTDOWN_WITH_WRITE;
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_EQ(Shutdown_Requests(r), 1);
}

TEST(CliBoard, RestOfAnExitLineRunsOffLine)
{
    RIG_SETUP s;
    s.stdin_text = "init com1\nexit ; dir ; gr=never\noptions\n";
    RIG_RESULT r = Run_Session(s);
    ASSERT_TRUE(r.started) << r.error;
    ASSERT_FALSE(r.timed_out);
    const std::string tail = "FLASH CMD: \n" + SHUTDOWN_WITH_WRITE + "\nTarget system not on-line!\n\n";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_EQ(Shutdown_Requests(r), 1);
}

TEST(CliBoard, CommandAmongAProgramsArgumentsRunsBeforeIt)
{
    RIG_SETUP s;
    s.files["app.hex"] = Read_Source_File("examples/hello.hex");
    s.stdin_text = "init com1\nprogram app dir gr=late\n";
    RIG_RESULT r = Run_Session(s);
    ASSERT_TRUE(r.started) << r.error;
    ASSERT_FALSE(r.timed_out);
    size_t file = r.out.find("Program file set to APP.HEX\nProgram name set to APP\n");
    size_t dir = r.out.find("Name      Group       Ver    Date/Time");
    size_t download = r.out.find("Download ...");
    ASSERT_NE(file, std::string::npos);
    ASSERT_NE(dir, std::string::npos);
    ASSERT_NE(download, std::string::npos);
    EXPECT_LT(file, dir);
    EXPECT_LT(dir, download);
    // The directory command ended the nested words: the group was never set.
    EXPECT_EQ(r.out.find("Group name set to LATE"), std::string::npos);
}

}  // namespace
