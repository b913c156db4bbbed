// The five look-up operations over the vocabulary tables.
#include <gtest/gtest.h>

#include "FLCOMMON.h"

namespace {

TEST(Lookup, IdToIndexAndStrings)
{
    EXPECT_EQ(Id_To_Index(3, board_id_lut), 2);
    EXPECT_EQ(Id_To_Index(5, board_id_lut), 0xFFFF);
    EXPECT_EQ(Id_To_Index(0x10000 + 1, comm_port_lut), 0xFFFF);   // all 32 bits compared
    EXPECT_STREQ(Id_To_Str_Ptr(4, board_id_lut), "PELLAR");
    EXPECT_STREQ(Id_To_Str_Ptr(5, board_id_lut), "UNKNOWN LUT #5");
    EXPECT_STREQ(Id_To_Str_Ptr(0xFFFF, comm_port_lut), "");
    EXPECT_STREQ(Id_To_Str_Ptr(19200, baud_rate_lut), "19.2K");
    char buf[TEXT_FIELD_SIZE];
    Id_To_Str(buf, 0xF5, error_code_lut);
    EXPECT_STREQ(buf, "Couldn't open COM");
    Id_To_Str(buf, 0xFFFFFFFF, error_code_lut);
    EXPECT_STREQ(buf, "UNKNOWN LUT #4294967295");
}

TEST(Lookup, StrToIdIgnoresCaseAndMatchesWholeStrings)
{
    EXPECT_EQ(Str_To_Id("com2", comm_port_lut), 1u);
    EXPECT_EQ(Str_To_Id("COM", comm_port_lut), 0xFFFFFFFFu);
    EXPECT_EQ(Str_To_Id("", comm_port_lut), 0xFFFFu);
    EXPECT_EQ(Str_To_Id("PELLAR", board_id_lut), 3u);
    EXPECT_EQ(Str_To_Id("pellar/kestrel", board_id_lut), 2u);
    EXPECT_EQ(Str_To_Id("T", log_level_lut), 0xFFFFFFFFu);   // abbreviations are words
}

TEST(Lookup, SubStrToIdMatchesWholeWordsWithCase)
{
    EXPECT_EQ(Sub_Str_To_Id("V", log_level_lut), 3u);
    EXPECT_EQ(Sub_Str_To_Id("VERB", log_level_lut), 0xFFFFFFFFu);
    EXPECT_EQ(Sub_Str_To_Id("v", log_level_lut), 0xFFFFFFFFu);
    EXPECT_EQ(Sub_Str_To_Id("Q", user_command_lut), 0x002u);
    EXPECT_EQ(Sub_Str_To_Id("QUIT", user_command_lut), 0x002u);
    EXPECT_EQ(Sub_Str_To_Id("QUI", user_command_lut), 0xFFFFFFFFu);
    EXPECT_EQ(Sub_Str_To_Id("E X", user_command_lut), 0x002u);
    EXPECT_EQ(Sub_Str_To_Id("???", user_command_lut), 0x012u);
    EXPECT_EQ(Sub_Str_To_Id("?", user_command_lut), 0x00Cu);
    EXPECT_EQ(Sub_Str_To_Id("VER", user_command_lut), 0x109u);
    EXPECT_EQ(Sub_Str_To_Id("", comm_port_lut), 0xFFFFu);
    EXPECT_EQ(Sub_Str_To_Id("", user_command_lut), 0xFFFFFFFFu);
    EXPECT_EQ(Sub_Str_To_Id(std::string(200, 'X').c_str(), user_command_lut), 0xFFFFFFFFu);
}

TEST(Lookup, CommandTableIdsCarryTheirBits)
{
    EXPECT_EQ(Sub_Str_To_Id("ERASEALL", user_command_lut), 0x61Fu);
    EXPECT_EQ(Sub_Str_To_Id("CS", user_command_lut), 0x421u);
    EXPECT_EQ(Sub_Str_To_Id("SYSTEM", user_command_lut), 0x305u);
    EXPECT_EQ(Sub_Str_To_Id("ADDR", user_command_lut), 0x10Fu);
    EXPECT_EQ(Sub_Str_To_Id("CMRAM", user_command_lut), 0x619u);
}

}  // namespace
