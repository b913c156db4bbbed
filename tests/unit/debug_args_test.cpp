// Argument reading of the debug commands: number formats, the position rules
// between words, data decoding.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flashu_debug.h"

namespace {

// A number that does not convert leaves the value as it was.
TEST(DebugNumbers, PrefixStopAtNonDigitSaturationAndNoNumber)
{
    struct { bool hex; const char *text; bool ok; DWORD value; } cases[] = {
        {true, "0X20000", true, 0x20000}, {true, "12G4", true, 0x12}, {true, "0X", true, 0},
        {true, "123456789", true, 0xFFFFFFFF}, {false, "99999999999", true, 0xFFFFFFFF},
        {true, "ZZ", false, 0}, {true, "-1", false, 0}, {false, "X5", false, 0},
    };
    for (const auto &c : cases) {
        DWORD v = 0x55;
        bool ok = c.hex ? Parse_Hex_Number(c.text, &v) : Parse_Dec_Number(c.text, &v);
        EXPECT_TRUE(ok == c.ok && v == (c.ok ? c.value : 0x55u)) << c.text << " gave " << v;
    }
}

// Reads hex_args hex arguments from the words after a command word, then the
// data argument; a value left alone for want of a number shows as "-".
std::string Read_Args(const std::vector<std::string> &words, int hex_args, BYTE *data = nullptr)
{
    ARG_STRUCT rest[MAX_ARGS] = {};
    for (size_t i = 1; i < words.size(); i++)
        snprintf(rest[i - 1].arg_str, ARG_STR_SIZE, "%s", words[i].c_str());
    // The parser makes the first word's name the first argument.
    std::string first = words[0].substr(0, words[0].find_first_of("=+"));
    DEBUG_ARG_READER r;
    Init_Arg_Reader(&r, first.c_str(), WORD(words.size() - 1), rest);
    std::string got;
    for (DWORD v = 0xDEAD; hex_args-- > 0; v = 0xDEAD) {
        bool ok = Read_Hex_Arg(&r, &v);
        got += ok ? std::to_string(v) + " " : v == 0xDEAD ? "- " : "changed ";
    }
    if (data) Read_Data_Arg(&r, data);
    return got;
}

TEST(DebugArgReader, WordPositionsAndDataDecoding)
{
    // The second word is read whole; its number ends at the "+".
    EXPECT_EQ(Read_Args({"1000=X", "10+Y"}, 2), "4096 16 ");
    // The second argument comes from the second word even when the first fails.
    EXPECT_EQ(Read_Args({"QQ", "20", "30"}, 3), "- 32 48 ");

    // writeram 1000 zz 0102: the size keeps its value and the data is ZZ;
    // past the decoded text and its zero the buffer keeps its bytes.
    BYTE data[DEBUG_DATA_SIZE];
    std::fill(data, data + DEBUG_DATA_SIZE, 0xEE);
    EXPECT_EQ(Read_Args({"1000", "ZZ", "0102"}, 2, data), "4096 - ");
    EXPECT_EQ(std::vector<BYTE>(data, data + 4), (std::vector<BYTE>{'Z', 'Z', 0, 0xEE}));
    // A hex escape ends at its first non-digit, which is copied as it is.
    EXPECT_EQ(Read_Args({"1000", "3", "\\X01-\\XFF"}, 2, data), "4096 3 ");
    EXPECT_EQ(std::vector<BYTE>(data, data + 4), (std::vector<BYTE>{0x01, '-', 0xFF, 0}));
}

}  // namespace
