// Argument reading of the debug commands: number formats, the position
// rules between words, values kept from earlier commands, data decoding.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "MSG.h"
#include "flashu_debug.h"

namespace {

// Words after the command word as the parser leaves them: the first one's
// name is the first argument, the others follow it.
struct Words {
    std::string first;
    ARG_STRUCT rest[MAX_ARGS];
    WORD count = 0;

    explicit Words(const std::vector<std::string> &words)
    {
        memset(rest, 0, sizeof rest);
        if (words.empty()) return;
        first = words[0].substr(0, words[0].find_first_of("=+"));
        for (size_t i = 1; i < words.size(); i++, count++)
            snprintf(rest[count].arg_str, ARG_STR_SIZE, "%s", words[i].c_str());
    }
};

TEST(DebugNumbers, HexTakesPrefixAndStopsAtFirstNonDigit)
{
    DWORD v = 7;
    EXPECT_TRUE(Parse_Hex_Number("1000", &v));
    EXPECT_EQ(v, 0x1000u);
    EXPECT_TRUE(Parse_Hex_Number("0X20000", &v));
    EXPECT_EQ(v, 0x20000u);
    EXPECT_TRUE(Parse_Hex_Number("0xffZ", &v));
    EXPECT_EQ(v, 0xFFu);
    EXPECT_TRUE(Parse_Hex_Number("12G4", &v));
    EXPECT_EQ(v, 0x12u);
    // "0X" with no digit after it is the number 0 followed by text.
    EXPECT_TRUE(Parse_Hex_Number("0X", &v));
    EXPECT_EQ(v, 0u);
}

TEST(DebugNumbers, NoLeadingNumberLeavesValue)
{
    DWORD v = 0x55;
    EXPECT_FALSE(Parse_Hex_Number("ZZ", &v));
    EXPECT_FALSE(Parse_Hex_Number("", &v));
    EXPECT_FALSE(Parse_Hex_Number("-1", &v));
    EXPECT_FALSE(Parse_Dec_Number("X5", &v));
    EXPECT_EQ(v, 0x55u);
}

TEST(DebugNumbers, OverlongNumbersSaturate)
{
    DWORD v = 0;
    EXPECT_TRUE(Parse_Hex_Number("123456789", &v));
    EXPECT_EQ(v, 0xFFFFFFFFu);
    EXPECT_TRUE(Parse_Dec_Number("99999999999", &v));
    EXPECT_EQ(v, 0xFFFFFFFFu);
    EXPECT_TRUE(Parse_Dec_Number("4294967295", &v));
    EXPECT_EQ(v, 0xFFFFFFFFu);
    EXPECT_TRUE(Parse_Dec_Number("16", &v));
    EXPECT_EQ(v, 16u);
}

TEST(DebugArgReader, FirstFromNameSecondFromWordText)
{
    Words w({"1000=X", "10+Y"});
    DEBUG_ARG_READER r;
    Init_Arg_Reader(&r, w.first.c_str(), w.count, w.rest);
    DWORD a = 0, b = 0;
    EXPECT_TRUE(Read_Hex_Arg(&r, &a));
    // The second word is read whole; its number ends at the "+".
    EXPECT_TRUE(Read_Hex_Arg(&r, &b));
    EXPECT_EQ(a, 0x1000u);
    EXPECT_EQ(b, 0x10u);
}

TEST(DebugArgReader, SecondArgumentPositionIgnoresFirstConversion)
{
    Words w({"QQ", "20", "30"});
    DEBUG_ARG_READER r;
    Init_Arg_Reader(&r, w.first.c_str(), w.count, w.rest);
    DWORD a = 1, b = 2, c = 3;
    EXPECT_FALSE(Read_Hex_Arg(&r, &a));
    EXPECT_TRUE(Read_Hex_Arg(&r, &b));
    EXPECT_TRUE(Read_Hex_Arg(&r, &c));
    EXPECT_EQ(a, 1u);
    EXPECT_EQ(b, 0x20u);
    EXPECT_EQ(c, 0x30u);
}

TEST(DebugArgReader, WordWithoutNumberIsReadAgainByNextArgument)
{
    // writeram 1000 zz 0102: the size keeps its value, the data is ZZ.
    Words w({"1000", "ZZ", "0102"});
    DEBUG_ARG_READER r;
    Init_Arg_Reader(&r, w.first.c_str(), w.count, w.rest);
    DWORD addr = 0, size = 3;
    BYTE data[DEBUG_DATA_SIZE];
    memset(data, 0xEE, sizeof data);
    Read_Hex_Arg(&r, &addr);
    EXPECT_FALSE(Read_Hex_Arg(&r, &size));
    Read_Data_Arg(&r, data);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(data[0], 'Z');
    EXPECT_EQ(data[1], 'Z');
    EXPECT_EQ(data[2], 0);
    EXPECT_EQ(data[3], 0xEE);   // beyond the decoded text the buffer keeps its bytes
}

TEST(DebugArgReader, SixHexArgumentsInOrder)
{
    Words w({"9C", "0XFFF00000", "FFFE0000", "FFFE0000", "20000", "10000"});
    DEBUG_ARG_READER r;
    Init_Arg_Reader(&r, w.first.c_str(), w.count, w.rest);
    WORD type = 0;
    DWORD base = 0, block = 0, dest = 0, src = 0, size = 0;
    EXPECT_TRUE(Read_Hex_Arg16(&r, &type));
    Read_Hex_Arg(&r, &base);
    Read_Hex_Arg(&r, &block);
    Read_Hex_Arg(&r, &dest);
    Read_Hex_Arg(&r, &src);
    Read_Hex_Arg(&r, &size);
    EXPECT_EQ(type, 0x9C);
    EXPECT_EQ(base, 0xFFF00000u);
    EXPECT_EQ(block, 0xFFFE0000u);
    EXPECT_EQ(dest, 0xFFFE0000u);
    EXPECT_EQ(src, 0x20000u);
    EXPECT_EQ(size, 0x10000u);
}

TEST(DebugArgReader, MissingWordsLeaveValuesAndDecodeEmptyData)
{
    // writeram 1000 with nothing after it.
    Words w({"1000"});
    DEBUG_ARG_READER r;
    Init_Arg_Reader(&r, w.first.c_str(), w.count, w.rest);
    DWORD addr = 0, size = 0x42;
    BYTE data[DEBUG_DATA_SIZE];
    memset(data, 0x77, sizeof data);
    Read_Hex_Arg(&r, &addr);
    EXPECT_FALSE(Read_Hex_Arg(&r, &size));
    Read_Data_Arg(&r, data);
    EXPECT_EQ(addr, 0x1000u);
    EXPECT_EQ(size, 0x42u);
    EXPECT_EQ(data[0], 0);
    EXPECT_EQ(data[1], 0x77);

    // No words at all: every argument is empty.
    DEBUG_ARG_READER none;
    Init_Arg_Reader(&none, "", 0, nullptr);
    EXPECT_FALSE(Read_Hex_Arg(&none, &addr));
    EXPECT_FALSE(Read_Hex_Arg(&none, &addr));
    EXPECT_STREQ(Current_Arg_Str(&none), "");
}

TEST(DebugArgReader, DataEscapesGiveAnyByte)
{
    // A hex escape ends at the first non-digit, which is copied as it is.
    Words w({"1000", "3", "\\X01-\\XFF"});
    DEBUG_ARG_READER r;
    Init_Arg_Reader(&r, w.first.c_str(), w.count, w.rest);
    DWORD addr = 0, size = 0;
    BYTE data[DEBUG_DATA_SIZE] = {};
    Read_Hex_Arg(&r, &addr);
    Read_Hex_Arg(&r, &size);
    Read_Data_Arg(&r, data);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(data[0], 0x01);
    EXPECT_EQ(data[1], '-');
    EXPECT_EQ(data[2], 0xFF);
}

TEST(DebugTransfer, SizesBeyondOneRequestAreCutWithANote)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(Limit_Transfer_Size(0x800), 0x800u);
    EXPECT_EQ(Limit_Transfer_Size(0x100), 0x100u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    testing::internal::CaptureStdout();
    EXPECT_EQ(Limit_Transfer_Size(0x801), (DWORD)DEBUG_DATA_SIZE);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("limited to 2048 bytes"),
              std::string::npos);
}

TEST(DebugCommands, ClrstatusZeroesEveryCounter)
{
    memset(&comms_status, 0x5A, sizeof comms_status);
    WORD status = 0x1234;
    testing::internal::CaptureStdout();
    Execute_Debug_Command(0x421, "", 0, nullptr, &status);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Comms status cleared\n");
    EXPECT_EQ(status, 0);
    COMMS_STATUS_STRUCT zero;
    memset(&zero, 0, sizeof zero);
    EXPECT_EQ(memcmp(&comms_status, &zero, sizeof zero), 0);
}

TEST(DebugCommands, UnknownIdIsAnInternalError)
{
    WORD status = 0;
    testing::internal::CaptureStdout();
    Execute_Debug_Command(0x612, "", 0, nullptr, &status);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "INTERNAL ERROR!  Unknown command id #1554\n");
    EXPECT_EQ(status, E_REPORTED);
}

}  // namespace
