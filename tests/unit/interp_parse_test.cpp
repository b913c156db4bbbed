// The line parser in-process (so the sanitizer build sees it): word limits,
// blank segments, and random malformed lines that must never go out of bounds.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "flashu.h"

namespace {

TEST(ParseCommandLine, BlankSegmentGivesTheEndOfInputCount)
{
    ARG_ARRAY_STRUCT words;
    WORD count = 7;
    char seg[] = "  \t ";
    Parse_Command_Line(seg, &count, words);
    EXPECT_EQ(count, 0xFFFF);
    for (const ARG_STRUCT &w : words) EXPECT_EQ(w.arg_str[0], '\0');
    char empty[] = "";
    Parse_Command_Line(empty, &count, words);
    EXPECT_EQ(count, 0);
}

TEST(ParseCommandLine, TwentyWordsAtMostAndNameValueSplit)
{
    std::string seg;
    for (int i = 0; i < 25; i++) seg += "W" + std::to_string(i) + "+V=X ";
    ARG_ARRAY_STRUCT words;
    WORD count = 0;
    Parse_Command_Line(&seg[0], &count, words);
    EXPECT_EQ(count, MAX_ARGS);
    EXPECT_STREQ(words[19].arg_str, "W19+V=X");
    EXPECT_STREQ(words[19].name_str, "W19");
    EXPECT_STREQ(words[19].value_str, "V=X");
}

TEST(ParseInputLine, SegmentsCommentsAndUpperCase)
{
    ARG_ARRAY_STRUCT segs;
    WORD count = 0;
    char line[] = "a/b;;c //d;e";
    Parse_Input_Line(line, &count, segs);
    EXPECT_STREQ(line, "A/B;;C //D;E");
    ASSERT_EQ(count, 3);
    EXPECT_STREQ(segs[0].arg_str, "A/B");
    EXPECT_STREQ(segs[1].arg_str, "");
    EXPECT_STREQ(segs[2].arg_str, "C ");
}

TEST(ParseInputLine, TooManySegmentsAndLongSegmentsAreCut)
{
    ARG_ARRAY_STRUCT segs;
    WORD count = 0;
    std::string line(60, ';');
    line += std::string(200, 'x');
    Parse_Input_Line(&line[0], &count, segs);
    EXPECT_EQ(count, MAX_ARGS);
    std::string longseg(254, 'y');
    Parse_Input_Line(&longseg[0], &count, segs);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(strlen(segs[0].arg_str), ARG_STR_SIZE - 1u);
}

TEST(ExecuteCommandArray, NoWordsLeaveTheStatusAlone)
{
    ARG_ARRAY_STRUCT words{};
    WORD status = 0x1234;
    Execute_Command_Array(0, words, &status);
    EXPECT_EQ(status, 0x1234);
}

// Words from this alphabet are never commands that wait for input or start
// anything (no letter of a command word but Z/J, digits, separators).
TEST(ProcessInputLine, RandomMalformedLinesStayInBounds)
{
    const char alphabet[] = "ZJzj0189=+;/ \t";
    std::mt19937 rng(12345);
    testing::internal::CaptureStdout();
    for (int n = 0; n < 3000; n++) {
        char line[INPUT_LINE_SIZE];
        size_t len = rng() % INPUT_LINE_SIZE;
        for (size_t i = 0; i < len; i++) line[i] = alphabet[rng() % (sizeof alphabet - 1)];
        line[len] = '\0';
        Process_Input_Line(line);
    }
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Command/option name not specified!"), std::string::npos);
    EXPECT_NE(out.find("line ignored!"), std::string::npos);
    EXPECT_NE(out.find("Invalid command/option"), std::string::npos);
}

TEST(ProcessInputLine, LongOptionValuesAndFileNames)
{
    testing::internal::CaptureStdout();
    std::string prompt = "prompt=" + std::string(72, 'p');
    Process_Input_Line(&prompt[0]);
    std::string file = "file=" + std::string(74, 'f');
    Process_Input_Line(&file[0]);
    std::string chk = "chk " + std::string(75, 'g');
    Process_Input_Line(&chk[0]);
    WORD status = 0;
    Execute_Option(0x107, std::string(76, 'H').c_str(), &status);   // as "pr <76 characters>"
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, E_REPORTED);
    EXPECT_EQ(std::string(prompt_str), std::string(72, 'P'));
    EXPECT_NE(out.find("File " + std::string(74, 'F') + ".HEX or "), std::string::npos);
    EXPECT_NE(out.find("File " + std::string(75, 'G') + ".HEX or " + std::string(75, 'G') +
                       ".BIN not found!\n"), std::string::npos);
    EXPECT_NE(out.find("File name " + std::string(76, 'H') + " too long to add .HEX or .BIN!\n"),
              std::string::npos);
    snprintf(prompt_str, TEXT_FIELD_SIZE, "FLASH CMD:");
}

}  // namespace
