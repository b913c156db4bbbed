// Error reporting, level and date texts, the byte dump and the escape decoder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "FLCOMMON.h"

namespace {

std::string Error_Text(WORD status, const char *oper)
{
    testing::internal::CaptureStdout();
    Process_Error(status, oper);
    return testing::internal::GetCapturedStdout();
}

TEST(ProcessError, KnownUnknownAndZero)
{
    EXPECT_EQ(Error_Text(0xF5, "Operation"), "\nOperation FAILED!  Couldn't open COM\n\n");
    EXPECT_EQ(Error_Text(0x1234, "Operation"), "\nOperation FAILED!  ERROR 1234\n\n");
    EXPECT_EQ(Error_Text(0x008B, "Operation"), "\nOperation FAILED!  ERROR 008B\n\n");
    EXPECT_EQ(Error_Text(0xABCD, "Change host/target baud"),
              "\nChange host/target baud FAILED!  ERROR ABCD\n\n");
    EXPECT_EQ(Error_Text(0x9000, "Operation"), "\nOperation FAILED!  Error already reported\n\n");
    EXPECT_EQ(Error_Text(0x8085, "Operation"), "\nOperation FAILED!  Flash write error\n\n");
    EXPECT_EQ(Error_Text(0, "Operation"), "");
    WORD saved = log_level;
    log_level = LOG_TERSE;   // level 0: printed at every level
    EXPECT_EQ(Error_Text(0x000B, "Initialize host/target comms"),
              "\nInitialize host/target comms FAILED!  Target system not responding\n\n");
    log_level = saved;
}

TEST(LogLevelText, PlainLevelsAndFlags)
{
    EXPECT_STREQ(Log_Level_Str_Ptr(1), "TERSE");
    EXPECT_STREQ(Log_Level_Str_Ptr(2), "NORMAL");
    EXPECT_STREQ(Log_Level_Str_Ptr(3), "VERBOSE");
    EXPECT_STREQ(Log_Level_Str_Ptr(4), "DEBUG");
    EXPECT_STREQ(Log_Level_Str_Ptr(0), "???");
    EXPECT_STREQ(Log_Level_Str_Ptr(5), "???");
    EXPECT_STREQ(Log_Level_Str_Ptr(0x64), "DEBUG OHREC OHSEG");
    EXPECT_STREQ(Log_Level_Str_Ptr(0x1F4), "DEBUG ARG OHREC OHSEG OHSORT DOWNLOAD");
    EXPECT_STREQ(Log_Level_Str_Ptr(0x1F3), "VERBOSE");   // flags only shown with DEBUG
    char buf[40];
    Set_Log_Level_Str(buf, 0x94);
    EXPECT_STREQ(buf, "DEBUG ARG OHSORT");
}

TEST(LogStrFilter, DownloadNeedsItsOwnFlag)
{
    WORD saved = log_level;
    log_level = 0x1F4 & ~0x100;
    testing::internal::CaptureStdout();
    Log_Str(LOG_DOWNLOAD, "d");
    Log_Str(LOG_OHSORT, "s");
    Log_Str(LOG_DEBUG, "g");
    Log_Str(LOG_VERBOSE, "v");
    log_level = saved;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "sgv");
}

class DateTime : public testing::Test {
protected:
    void SetUp() override
    {
        const char *tz = getenv("TZ");
        had_tz_ = tz != nullptr;
        if (had_tz_) old_tz_ = tz;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override
    {
        if (had_tz_) setenv("TZ", old_tz_.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }
    bool had_tz_ = false;
    std::string old_tz_;
};

TEST_F(DateTime, MonthDayYearHourMinute)
{
    EXPECT_STREQ(Date_Time_Str_Ptr(0), "-");
    EXPECT_STREQ(Date_Time_Str_Ptr(1), "01/01/70 00:00");
    EXPECT_STREQ(Date_Time_Str_Ptr(946684799), "12/31/99 23:59");
    EXPECT_STREQ(Date_Time_Str_Ptr(946684800), "01/01/00 00:00");
    EXPECT_STREQ(Date_Time_Str_Ptr(1700000000), "11/14/23 22:13");
    EXPECT_STREQ(Date_Time_Str_Ptr(0xFFFFFFFF), "02/07/06 06:28");   // year 2106
    char buf[20];
    Set_Date_Time_Str(buf, 86400 * 59);
    EXPECT_STREQ(buf, "03/01/70 00:00");
}

std::string Dump(const std::vector<BYTE> &bytes, WORD count)
{
    testing::internal::CaptureStdout();
    Dump_Bytes(bytes.data(), count);
    return testing::internal::GetCapturedStdout();
}

TEST(DumpBytes, TwentyBytesMakeTwoLines)
{
    std::vector<BYTE> b;
    for (int i = 0; i < 20; i++) b.push_back((BYTE)(0x1E + i));   // 0x1E..0x31
    b[3] = 0x7E;
    b[4] = 0x7F;
    EXPECT_EQ(Dump(b, 20),
              " 1E 1F 20 7E 7F 23 24 25   26 27 28 29 2A 2B 2C 2D     ...~.#$%&'()*+,-\n"
              " 2E 2F 30 31" + std::string(12 + 2 + 24 + 5, ' ') + "./01" + std::string(12, ' ') + "\n");
    EXPECT_EQ(Dump(b, 0), "");
}

TEST(DumpBytes, FullWordCountDoesNotWrap)
{
    std::vector<BYTE> b(65535, 0x41);
    std::string out = Dump(b, 65535);
    const size_t line_len = 16 * 3 + 2 + 5 + 16 + 1;
    ASSERT_EQ(out.size(), 4096 * line_len);
    std::string last = out.substr(out.size() - line_len);
    std::string hex8;
    for (int i = 0; i < 8; i++) hex8 += " 41";
    EXPECT_EQ(last, hex8 + "  " + hex8.substr(3) + "   " + "     " + std::string(15, 'A') + " \n");
}

TEST(DecodeHex, EscapesAndHexBytes)
{
    char d[256];
    Decode_Hex(d, "A\\x41\\n");
    EXPECT_EQ(std::string(d, 4), std::string("AA\n\0", 4));
    Decode_Hex(d, "\\x4");
    EXPECT_EQ(std::string(d, 2), std::string("\x04\0", 2));
    Decode_Hex(d, "\\q");
    EXPECT_STREQ(d, "q");
    Decode_Hex(d, "\\");
    EXPECT_STREQ(d, "\\");
    Decode_Hex(d, "\\x41\\x42");
    EXPECT_STREQ(d, "AB");
    Decode_Hex(d, "\\x01\\x02\\x03");
    EXPECT_EQ(std::string(d, 4), std::string("\x01\x02\x03\0", 4));
    Decode_Hex(d, "\\x41\\");
    EXPECT_STREQ(d, "A\\");
    Decode_Hex(d, "\\x");
    EXPECT_EQ(std::string(d, 2), std::string("\0\0", 2));
    Decode_Hex(d, "\\X1234567Fz");
    EXPECT_STREQ(d, "\x7Fz");
    Decode_Hex(d, "\\t\\v\\b\\r\\f\\a\\\\\\N");
    EXPECT_STREQ(d, "\t\v\b\r\f\a\\N");
    Decode_Hex(d, "\\xffZ");
    EXPECT_STREQ(d, "\xFFZ");
}

TEST(DecodeHex, LongestArgumentStaysWithinItsLength)
{
    std::string src(79, '\\');
    char d[80];
    Decode_Hex(d, src.c_str());
    EXPECT_EQ(std::string(d), std::string(40, '\\'));
}

}  // namespace
