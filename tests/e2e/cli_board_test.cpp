// The interpreter's ways out with the board on-line: end of input and exit
// shut the link down; a command after exit on its line runs, and a link it
// brings up is shut down again.
#include <gtest/gtest.h>

#include "board_rig.h"

namespace {

const std::string SHUTDOWN = "Start shutdown ...\nUpdate flash tables ...\nFlash tables OK\nShutdown complete\n";

RIG_RESULT Run_Online(const std::string &lines, int shutdowns)
{
    RIG_SETUP s;
    s.files["app.hex"] = Read_Source_File("examples/hello.hex");
    s.stdin_text = lines;
    RIG_RESULT r = Run_Session(s);
    EXPECT_TRUE(r.started) << r.error;
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    for (const TRACE_EVENT &e : Events(r.trace, "rx_frame")) shutdowns -= e.Str("name") == "shutdown";
    EXPECT_EQ(shutdowns, 0) << r.out;
    return r;
}

bool Ends_With(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(CliBoard, EndOfInputShutsTheLinkDown)
{
    RIG_RESULT r = Run_Online("init com1\n", 1);
    EXPECT_TRUE(Ends_With(r.out, "FLASH CMD: \n" + SHUTDOWN)) << r.out;
}

// A command among program's arguments runs before the download and ends the
// nested words: the group is never set to LATE.
TEST(CliBoard, NestedCommandRunsFirstAndExitLeavesTheLinkDown)
{
    RIG_RESULT r = Run_Online("init com1\nprogram app dir gr=late\nexit ; gr=after ; init com1\noptions\n", 2);
    size_t file = r.out.find("Program file set to APP.HEX\nProgram name set to APP\n");
    size_t dir = r.out.find("Name      Group       Ver    Date/Time", file);
    EXPECT_TRUE(file != std::string::npos && dir != std::string::npos &&
                r.out.find("Download ...", dir) != std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Group name set to LATE"), std::string::npos);
    EXPECT_TRUE(Ends_With(r.out, "FLASH CMD: \n" + SHUTDOWN + "\nGroup name set to AFTER\n\nPort set to COM1\n"
                                 "Establish link to target system on COM1 at 9600 baud ...\n"
                                 "Target system on-line (id = 1, version = 2.51)\nFlash tables OK\n"
                                 "Initialization complete\n\nStart shutdown ...\nShutdown complete\n")) << r.out;
}

}  // namespace
