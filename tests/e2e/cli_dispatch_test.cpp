// Transcripts of the word dispatcher: unknown words, command files in their
// place, debug words, options without values, the ways out, off-line refusals.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "cli_common.h"

namespace {

const std::string NOT_ONLINE = "Target system not on-line!\n";

TEST(CliDispatch, UnknownWordOrCommandFile)
{
    Scratch_Dir dir;
    auto none = Run_Lines("demo\n", dir.path());
    EXPECT_EQ(none.out, Cli_Start() + PROMPT + Seg("Invalid command/option DEMO!\n") + END_OF_INPUT);

    dir.write("demo.flc", "prompt=demo>\n");
    auto found = Run_Lines("demo\n", dir.path());
    EXPECT_EQ(found.out, Cli_Start() +
                         PROMPT + Seg("Process DEMO.FLC flash command file ...\n") +
                         "DEMO.FLC CMD: prompt=demo>\n" + Seg("Prompt set to DEMO>\n") +
                         "DEMO> \n");
}

TEST(CliDispatch, DebugWordsBeforeAndAfterDebug)
{
    Scratch_Dir dir;
    auto r = Run_Lines("readram 0 10\n???\nreadram 0 10\neraseall\n???\n", dir.path());
    EXPECT_EQ(r.out, Cli_Start() +
                     PROMPT + Seg("Invalid command/option READRAM!\n") +
                     PROMPT + Seg("Debug commands ENABLED\n") +
                     PROMPT + Seg(NOT_ONLINE) +
                     PROMPT + Seg(NOT_ONLINE) +
                     PROMPT + Seg(Debug_Help()) +
                     END_OF_INPUT);
}

TEST(CliDispatch, DisabledDebugWordMayNameACommandFile)
{
    Scratch_Dir dir;
    dir.write("ReadRam.flc", "gr=fromfile");
    auto r = Run_Lines("readram 0 10\n", dir.path());
    EXPECT_EQ(r.out, Cli_Start() +
                     PROMPT + Seg("Process READRAM.FLC flash command file ...\n") +
                     "READRAM.FLC CMD: gr=fromfile\n" + Seg("Group name set to FROMFILE\n") +
                     END_OF_INPUT);
}

TEST(CliDispatch, OptionWithoutValueAndMissingNames)
{
    auto r = Run_Lines("port\nport= options\ngr=a = options\n");
    EXPECT_EQ(r.out, Cli_Start() +
                     PROMPT + Seg("Option PORT value not specified!\n") +
                     PROMPT + Seg("Option PORT value not specified!\n") +
                     PROMPT + Seg("Group name set to A\nCommand/option name not specified!\n") +
                     END_OF_INPUT);
}

TEST(CliDispatch, EveryExitWordEndsAndIgnoresTheRestOfTheSegment)
{
    for (const char *word : {"q", "x", "e", "quit", "exit", "EXIT", "a", "abort"}) {
        auto r = Run_Lines(std::string(word) + " options\noptions\n");
        EXPECT_EQ(r.out, Cli_Start() + PROMPT + "\n\n") << word;
        EXPECT_EQ(r.exit_code, 0) << word;
    }
}

TEST(CliDispatch, RestOfTheLineRunsAfterExit)
{
    auto r = Run_Lines("exit ; gr=after ; dir\noptions\n");
    EXPECT_EQ(r.out, Cli_Start() + PROMPT + "\n\n" + "Group name set to AFTER\n\n" + NOT_ONLINE + "\n");
}

TEST(CliDispatch, ExitFromEnvironmentOrCommandLineShowsNoPrompt)
{
    auto env = Run_Lines("options\n", "", {}, {{"FLASHOPT", "prompt=env ; exit"}});
    EXPECT_EQ(env.out, std::string(TORVEX_SIGNON) + "Process environment variable FLASHOPT ...\n" +
                       "\nPrompt set to ENV\n\n\n" + "\nType h or ? for help\n\n");
    auto args = Run_Lines("options\n", "", {"gr=one", ";", "q"});
    EXPECT_EQ(args.out, std::string(TORVEX_SIGNON) + "Process command line parameters ...\n" +
                        "\nGroup name set to ONE\n\n\n" + "\nType h or ? for help\n\n");
}

TEST(CliDispatch, TargetCommandsRefusedOffLine)
{
    auto r = Run_Lines("dir\nmap;options\nprogram app\nsb app\ndel app\nnb\nsh\nrt pellar\n"
                       "system=abc\nboard=pellar\nvector=f000:fff0\n");
    std::string expected = Cli_Start();
    for (int i = 0; i < 11; i++) expected += PROMPT + Seg(NOT_ONLINE);
    EXPECT_EQ(r.out, expected + END_OF_INPUT);
}

TEST(CliDispatch, InitArgumentsAreTakenByPosition)
{
    auto r = Run_Lines("init\ninit baud=19200\ninit com2 baud=fast\ni com3 gr=toolong1234\n");
    EXPECT_EQ(r.out, Cli_Start() +
                     PROMPT + Seg("Target comms port not specified!\n") +
                     PROMPT + Seg("Invalid port name!  Type com1, com2, com3, or com4\n") +
                     PROMPT + Seg("Port set to COM2\nVT Port set to COM2\n"
                                  "Invalid characters in baud rate!\n") +
                     PROMPT + Seg("Port set to COM3\nGroup name too long!\n") +
                     END_OF_INPUT);
}

TEST(CliDispatch, DosRunsTheUsersShellAndResumes)
{
    Scratch_Dir dir;
    dir.write("shell.sh", "#!/bin/sh\necho in the shell\n");
    ASSERT_EQ(chmod(dir.file("shell.sh").c_str(), 0755), 0);
    auto r = Run_Lines("dos\ngr=back\n", dir.path(), {}, {{"SHELL", dir.file("shell.sh")}});
    EXPECT_EQ(r.out, Cli_Start() +
                     PROMPT + Seg("Type EXIT to return to TORVEX program ...\nin the shell\n") +
                     PROMPT + Seg("Group name set to BACK\n") + END_OF_INPUT);
}

TEST(CliDispatch, CheckhexReportsMissingFiles)
{
    Scratch_Dir dir;
    auto r = Run_Lines("checkhex nothing\nchk app.dat\n", dir.path());
    EXPECT_EQ(r.out, Cli_Start() +
                     PROMPT + Seg("File NOTHING.HEX or NOTHING.BIN not found!\n") +
                     PROMPT + Seg("File APP.DAT not found!\n") + END_OF_INPUT);
}

TEST(CliDispatch, CheckhexRestoresTheLogLevelAndLeavesNoTempFiles)
{
    Scratch_Dir dir;
    dir.write("app.hex", ":0400000001020304F2\n:00000001FF\n");
    auto r = Run_Lines("checkhex app\noptions\n", dir.path());
    size_t report = r.out.rfind("Current Options:");
    ASSERT_NE(report, std::string::npos);
    EXPECT_NE(r.out.find("File               = APP.HEX\n", report), std::string::npos);
    EXPECT_NE(r.out.find("Log                = NORMAL\n", report), std::string::npos);
    EXPECT_EQ(r.out.find("FAILED"), std::string::npos);
    EXPECT_FALSE(dir.exists("seg000.~~~"));
}

}  // namespace
