// Transcripts of the help texts: the question at the prompt, no question on
// the command line or from FLASHOPT.
#include <gtest/gtest.h>

#include "cli_common.h"

namespace {

const std::string QUESTION = "\nDisplay command options? [y]: ";

TEST(CliHelp, NoAtThePromptShowsOnlyTheCommandHelp)
{
    auto r = Run_Lines("help\nn\n");
    // The answer key is the only character taken; the rest of its line comes
    // to the prompt as an empty line.
    EXPECT_EQ(r.out, Cli_Start() + PROMPT + Seg(Command_Help() + QUESTION + "n\n") + PROMPT +
                     END_OF_INPUT);
}

TEST(CliHelp, YesEnterOrEndOfInputShowBothTexts)
{
    const std::string both_yes = Command_Help() + QUESTION + "Y\n" + "\n" + Option_Help();
    auto yes = Run_Lines("h\nYgr=x\n");
    EXPECT_EQ(yes.out, Cli_Start() + PROMPT + Seg(both_yes) + PROMPT +
                       Seg("Group name set to X\n") + END_OF_INPUT);

    auto enter = Run_Lines("?\n\n");
    EXPECT_EQ(enter.out, Cli_Start() + PROMPT +
                         Seg(Command_Help() + QUESTION + "\n" + "\n" + Option_Help()) +
                         END_OF_INPUT);

    auto eof = Run_Lines("help");
    EXPECT_EQ(eof.out, Cli_Start() + PROMPT +
                       Seg(Command_Help() + QUESTION + "\n" + "\n" + Option_Help()) +
                       END_OF_INPUT);
}

TEST(CliHelp, EscapeAnswersNo)
{
    auto r = Run_Lines("help\n\x1b" "gr=y\n");
    EXPECT_EQ(r.out, Cli_Start() + PROMPT + Seg(Command_Help() + QUESTION + "\n") + PROMPT +
                     Seg("Group name set to Y\n") + END_OF_INPUT);
}

TEST(CliHelp, CommandLineAndFlashoptDoNotAsk)
{
    auto args = Run_Lines("", "", {"help;q"});
    EXPECT_EQ(args.out, std::string(TORVEX_SIGNON) + "Process command line parameters ...\n" +
                        Seg(Command_Help() + "\n" + Option_Help()) + "\n" +
                        "\nType h or ? for help\n\n");
    auto env = Run_Lines("", "", {}, {{"FLASHOPT", "help"}});
    EXPECT_EQ(env.out, std::string(TORVEX_SIGNON) + "Process environment variable FLASHOPT ...\n" +
                       Seg(Command_Help() + "\n" + Option_Help()) +
                       "\nType h or ? for help\n\n" + END_OF_INPUT);
}

TEST(CliHelp, RuleLinesAreUtf8BoxDrawing)
{
    auto r = Run_Lines("", "", {"help;q"});
    size_t rule = r.out.find("Description\n") + 12;
    EXPECT_EQ(r.out.substr(rule, 6), "\xE2\x94\x80\xE2\x94\x80");
    EXPECT_EQ(r.out.find('\xC4'), std::string::npos);
}

}  // namespace
