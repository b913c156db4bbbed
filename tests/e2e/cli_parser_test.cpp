// Transcripts of the line parser: segments, comments, words, name/value
// splitting, the ARG trace and the refusal of lines that do not fit.
#include <gtest/gtest.h>

#include "cli_common.h"

namespace {

const std::string NAME_MISSING = "Command/option name not specified!\n";

TEST(CliParser, SegmentsAndEmptySegments)
{
    auto r = Run_Lines("options;\noptions; \n;options\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, Cli_Start() +
                     PROMPT + "\n" + Options_Report() + "\n" + "\n" +
                     PROMPT + "\n" + Options_Report() + "\n" + NAME_MISSING + "\n" +
                     PROMPT + "\n" + "\n" + Options_Report() + "\n" +
                     END_OF_INPUT);
}

TEST(CliParser, CommentsAndEmptyLines)
{
    auto r = Run_Lines("// nothing here\n\nprompt=x // a comment; port=com1\noptions\n");
    EXPECT_EQ(r.out, Cli_Start() +
                     PROMPT + "\n\n" +
                     PROMPT +
                     PROMPT + Seg("Prompt set to X\n") +
                     "X " + Seg(Options_Report("", "", "NORMAL", "X")) +
                     "X \n");
}

TEST(CliParser, FailingSegmentEndsTheLine)
{
    auto r = Run_Lines("port=com9 ; options\nport=com1 port=com9 ; options\n");
    EXPECT_EQ(r.out, Cli_Start() +
                     PROMPT + Seg("Invalid port name!  Type com1, com2, com3, or com4\n") +
                     PROMPT + Seg("Port set to COM1\nVT Port set to COM1\n"
                                  "Invalid port name!  Type com1, com2, com3, or com4\n") +
                     END_OF_INPUT);
}

TEST(CliParser, ArgTraceOrder)
{
    auto r = Run_Lines("log=arg\noptions\n");
    EXPECT_EQ(r.out, Cli_Start() +
                     PROMPT + Seg("Log level set to DEBUG ARG\n") +
                     PROMPT +
                     "Input line = 'OPTIONS'\n"
                     "Input #args = 1\n"
                     "Input arg #0 = 'OPTIONS'\n"
                     "\n"
                     "Cmd input = 'OPTIONS'\n"
                     "Cmd #args = 1\n"
                     "Cmd arg #0 = 'OPTIONS', name = 'OPTIONS', value = ''\n" +
                     Options_Report("", "", "DEBUG ARG") + "\n" +
                     END_OF_INPUT);
}

TEST(CliParser, NameValueSplitting)
{
    auto r = Run_Lines("log=arg\nport+com1 name=a=b;=x\nboard=pellar/kestrel\n");
    EXPECT_EQ(r.out, Cli_Start() +
                     PROMPT + Seg("Log level set to DEBUG ARG\n") +
                     PROMPT +
                     "Input line = 'PORT+COM1 NAME=A=B;=X'\n"
                     "Input #args = 2\n"
                     "Input arg #0 = 'PORT+COM1 NAME=A=B'\n"
                     "Input arg #1 = '=X'\n"
                     "\n"
                     "Cmd input = 'PORT+COM1 NAME=A=B'\n"
                     "Cmd #args = 2\n"
                     "Cmd arg #0 = 'PORT+COM1', name = 'PORT', value = 'COM1'\n"
                     "Cmd arg #1 = 'NAME=A=B', name = 'NAME', value = 'A=B'\n"
                     "Port set to COM1\n"
                     "VT Port set to COM1\n"
                     "Program name set to A=B\n"
                     "\n"
                     "Cmd input = '=X'\n"
                     "Cmd #args = 1\n"
                     "Cmd arg #0 = '=X', name = '', value = 'X'\n" +
                     NAME_MISSING + "\n" +
                     PROMPT +
                     "Input line = 'BOARD=PELLAR/KESTREL'\n"
                     "Input #args = 1\n"
                     "Input arg #0 = 'BOARD=PELLAR/KESTREL'\n"
                     "\n"
                     "Cmd input = 'BOARD=PELLAR/KESTREL'\n"
                     "Cmd #args = 1\n"
                     "Cmd arg #0 = 'BOARD=PELLAR/KESTREL', name = 'BOARD', value = 'PELLAR/KESTREL'\n"
                     "Target system not on-line!\n"
                     "\n" +
                     END_OF_INPUT);
}

TEST(CliParser, TwentyFirstWordIsNeverSeen)
{
    std::string line = "options";
    for (int i = 1; i <= 20; i++) line += " " + std::to_string(i);
    auto r = Run_Lines("log=arg\n" + line + "\n");
    std::string upper = "OPTIONS";
    for (int i = 1; i <= 20; i++) upper += " " + std::to_string(i);
    std::string trace = "Input line = '" + upper + "'\nInput #args = 1\nInput arg #0 = '" + upper +
                        "'\n\nCmd input = '" + upper + "'\nCmd #args = 20\n" +
                        "Cmd arg #0 = 'OPTIONS', name = 'OPTIONS', value = ''\n";
    for (int i = 1; i <= 19; i++) {
        std::string w = std::to_string(i);
        trace += "Cmd arg #" + w + " = '" + w + "', name = '" + w + "', value = ''\n";
    }
    EXPECT_EQ(r.out, Cli_Start() + PROMPT + Seg("Log level set to DEBUG ARG\n") + PROMPT + trace +
                     Options_Report("", "", "DEBUG ARG") + "\n" + END_OF_INPUT);
}

TEST(CliParser, LinesThatDoNotFitAreRefusedWhole)
{
    std::string long_line = "port=com1;prompt=" + std::string(238, 'A');   // 255 characters
    std::string twenty_one = "port=com1" + std::string(20, ';');
    std::string long_segment = "port=com1;prompt=" + std::string(73, 'B');  // 80 in segment 2
    std::string long_word = "port=com1;" + std::string(76, 'C');
    auto r = Run_Lines(long_line + "\n" + twenty_one + "\n" + long_segment + "\n" + long_word +
                       "\noptions\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, Cli_Start() +
                     PROMPT + "Input line longer than 254 characters, line ignored!\n" +
                     PROMPT + "More than 20 commands in one line, line ignored!\n" +
                     PROMPT + "Command longer than 79 characters, line ignored!\n" +
                     PROMPT + "Command name longer than 75 characters, line ignored!\n" +
                     PROMPT + Seg(Options_Report()) +
                     END_OF_INPUT);
}

TEST(CliParser, LinesAtTheLimitsRun)
{
    std::string twenty = "port=com1" + std::string(19, ';');
    std::string prompt79 = "prompt=" + std::string(72, 'b');
    std::string word75 = std::string(75, 'C');
    auto r = Run_Lines(twenty + "\n" + prompt79 + "\n" + word75 + "\n");
    std::string p72(72, 'B');
    EXPECT_EQ(r.out, Cli_Start() +
                     PROMPT + "\nPort set to COM1\nVT Port set to COM1\n\n" + std::string(19, '\n') +
                     PROMPT + Seg("Prompt set to " + p72 + "\n") +
                     p72 + " " + Seg("Invalid command/option " + std::string(75, 'C') + "!\n") +
                     p72 + " \n");
}

TEST(CliParser, OverlongCommandLineIsRefused)
{
    std::vector<std::string> args(30, "port=com2");   // 30 * 10 characters
    auto r = Run_Lines("options\n", "", args);
    EXPECT_EQ(r.out, std::string(TORVEX_SIGNON) + "Process command line parameters ...\n" +
                     "Command line longer than 254 characters, line ignored!\n" +
                     "\nType h or ? for help\n\n" + PROMPT + Seg(Options_Report()) + END_OF_INPUT);
}

TEST(CliParser, OverlongFlashoptIsRefused)
{
    auto r = Run_Lines("", "", {}, {{"FLASHOPT", std::string(255, ';')}});
    EXPECT_EQ(r.out, std::string(TORVEX_SIGNON) + "Process environment variable FLASHOPT ...\n" +
                     "FLASHOPT longer than 254 characters, line ignored!\n" +
                     "\nType h or ? for help\n\n" + END_OF_INPUT);
}

TEST(CliParser, CarriageReturnsAndOddBytesAreHarmless)
{
    auto r = Run_Lines("port=com3\r\n\x01\xff\x7f\nprompt=\xe2\x94\x80\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, Cli_Start() +
                     PROMPT + Seg("Port set to COM3\nVT Port set to COM3\n") +
                     PROMPT + Seg("Invalid command/option \x01\xff\x7f!\n") +
                     PROMPT + Seg("Prompt set to \xe2\x94\x80\n") +
                     "\xe2\x94\x80 \n");
}

}  // namespace
