// Transcripts of command files: echo by log level, line ends, chaining to
// another file, exit inside a file, files named before the prompt.
#include <gtest/gtest.h>

#include "cli_common.h"

namespace {

std::string Processing(const std::string &path)
{
    return "Process " + path + " flash command file ...\n";
}

TEST(CliCmdFile, EchoAtNormalAndLastLineWithoutNewline)
{
    Scratch_Dir dir;
    dir.write("setup.flc", "gr=one\r\n\nver=2");
    auto r = Run_Lines("setup\n", dir.path());
    EXPECT_EQ(r.out, Cli_Start() +
                     PROMPT + Seg(Processing("SETUP.FLC")) +
                     "SETUP.FLC CMD: gr=one\n" + Seg("Group name set to ONE\n") +
                     "SETUP.FLC CMD: \n" +
                     "SETUP.FLC CMD: ver=2\n" + Seg("Program version set to 2\n") +
                     END_OF_INPUT);
}

TEST(CliCmdFile, NoEchoAtTerse)
{
    Scratch_Dir dir;
    dir.write("SETUP.FLC", "gr=one\nver=2\n");
    auto r = Run_Lines("log=t\nsetup\n", dir.path());
    EXPECT_EQ(r.out, Cli_Start() +
                     PROMPT + Seg("Log level set to TERSE\n") +
                     PROMPT + Seg("") +
                     Seg("Group name set to ONE\n") + Seg("Program version set to 2\n") +
                     END_OF_INPUT);
}

TEST(CliCmdFile, FileNamingAnotherFileNeverReturns)
{
    Scratch_Dir dir;
    dir.write("first.flc", "gr=a1\nver=a2\nsecond\nname=never\n");
    dir.write("second.flc", "name=fromb\n");
    auto r = Run_Lines("first\noptions\n", dir.path());
    std::string report = Options_Report();
    report.replace(report.find("Group              = "), 21, "Group              = A1");
    report.replace(report.find("Name               = "), 21, "Name               = FROMB");
    report.replace(report.find("Version            = "), 21, "Version            = A2");
    EXPECT_EQ(r.out, Cli_Start() +
                     PROMPT + Seg(Processing("FIRST.FLC")) +
                     "FIRST.FLC CMD: gr=a1\n" + Seg("Group name set to A1\n") +
                     "FIRST.FLC CMD: ver=a2\n" + Seg("Program version set to A2\n") +
                     "FIRST.FLC CMD: second\n" + Seg(Processing("SECOND.FLC")) +
                     "SECOND.FLC CMD: name=fromb\n" + Seg("Program name set to FROMB\n") +
                     PROMPT + Seg(report) + END_OF_INPUT);
}

TEST(CliCmdFile, ExitInsideAFileEndsTheProgram)
{
    Scratch_Dir dir;
    dir.write("run.flc", "gr=x\nexit\nname=never\n");
    auto r = Run_Lines("run\noptions\n", dir.path());
    EXPECT_EQ(r.out, Cli_Start() +
                     PROMPT + Seg(Processing("RUN.FLC")) +
                     "RUN.FLC CMD: gr=x\n" + Seg("Group name set to X\n") +
                     "RUN.FLC CMD: exit\n" + Seg(""));
}

TEST(CliCmdFile, CommandLineFileThenExitReadsNothing)
{
    Scratch_Dir dir;
    dir.write("setup.flc", "gr=never\n");
    Torvex_Run run;
    run.cwd = dir.path();
    run.args = {"setup", ";", "exit"};
    auto r = Run_Torvex(run);
    EXPECT_EQ(r.out, std::string(TORVEX_SIGNON) + "Process command line parameters ...\n" +
                     Seg(Processing("SETUP.FLC")) + "\n" + "\nType h or ? for help\n\n");
}

TEST(CliCmdFile, FileNamedInFlashoptRunsBeforeThePrompt)
{
    Scratch_Dir dir;
    dir.write("setup.flc", "gr=early\n");
    auto r = Run_Lines("", dir.path(), {}, {{"FLASHOPT", "setup"}});
    EXPECT_EQ(r.out, std::string(TORVEX_SIGNON) + "Process environment variable FLASHOPT ...\n" +
                     Seg(Processing("SETUP.FLC")) + "\nType h or ? for help\n\n" +
                     "SETUP.FLC CMD: gr=early\n" + Seg("Group name set to EARLY\n") + END_OF_INPUT);
}

TEST(CliCmdFile, UnknownWordKeepsTheEchoPath)
{
    Scratch_Dir dir;
    dir.write("first.flc", "nosuch\ngr=z\n");
    auto r = Run_Lines("first\n", dir.path());
    EXPECT_EQ(r.out, Cli_Start() +
                     PROMPT + Seg(Processing("FIRST.FLC")) +
                     "FIRST.FLC CMD: nosuch\n" + Seg("Invalid command/option NOSUCH!\n") +
                     "FIRST.FLC CMD: gr=z\n" + Seg("Group name set to Z\n") + END_OF_INPUT);
}

TEST(CliCmdFile, LongFileLinesComeInPiecesOf254)
{
    Scratch_Dir dir;
    std::string line = "gr=" + std::string(297, 'a');
    dir.write("long.flc", line + "\ngr=ok\n");
    auto r = Run_Lines("long\n", dir.path());
    EXPECT_EQ(r.out, Cli_Start() +
                     PROMPT + Seg(Processing("LONG.FLC")) +
                     "LONG.FLC CMD: " + line.substr(0, 254) + "\n" +
                     "Command longer than 79 characters, line ignored!\n" +
                     "LONG.FLC CMD: " + line.substr(254) + "\n" +
                     Seg("Invalid command/option " + std::string(46, 'A') + "!\n") +
                     "LONG.FLC CMD: gr=ok\n" + Seg("Group name set to OK\n") + END_OF_INPUT);
}

}  // namespace
