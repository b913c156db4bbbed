#include <gtest/gtest.h>

#include "FLCOMMON.h"

namespace {

std::string Capture(WORD msg_level, WORD current)
{
    WORD saved = log_level;
    log_level = current;
    testing::internal::CaptureStdout();
    Log_Str(msg_level, "x");
    log_level = saved;
    return testing::internal::GetCapturedStdout();
}

TEST(LogStr, PlainLevelsFilterByValue)
{
    EXPECT_EQ(Capture(LOG_ALWAYS, LOG_NORMAL), "x");
    EXPECT_EQ(Capture(LOG_NORMAL, LOG_NORMAL), "x");
    EXPECT_EQ(Capture(LOG_VERBOSE, LOG_NORMAL), "");
    EXPECT_EQ(Capture(LOG_OHREC, LOG_NORMAL), "");
}

TEST(LogStr, FlagWordsNeedEveryBit)
{
    EXPECT_EQ(Capture(LOG_DEBUG, LOG_OHREC), "x");
    EXPECT_EQ(Capture(LOG_OHREC, LOG_OHREC), "x");
    EXPECT_EQ(Capture(LOG_OHSEG, LOG_OHREC), "");
}

}  // namespace
