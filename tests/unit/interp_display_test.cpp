// The current-options report: label width, empty port, vector and log texts.
#include <gtest/gtest.h>

#include "flashu.h"

namespace {

TEST(DisplayOptions, RowsLabelsAndFormats)
{
    WORD saved_level = log_level;
    oh_vector_base = 0x1234;
    oh_vector_offset = 0x56789;
    log_level = LOG_OHSEG;
    program_addr = 0xABC;
    testing::internal::CaptureStdout();
    Display_Options();
    std::string out = testing::internal::GetCapturedStdout();
    log_level = saved_level;
    oh_vector_base = 0;
    oh_vector_offset = 0;
    program_addr = 0;
    EXPECT_EQ(out,
              "Current Options:\n\n"
              "Addr               = 0x00000ABC\n"
              "Baud               = 9600\n"
              "Board              = PELLAR/KESTREL\n"
              "File               = \n"
              "Format             = HEX\n"
              "Group              = \n"
              "Log                = DEBUG OHSEG\n"
              "Name               = \n"
              "Port               = \n"
              "Prompt             = FLASH CMD:\n"
              "System             = TARGET\n"
              "Vector             = 1234:56789\n"
              "VT Baud            = 9600\n"
              "VT Port            = \n"
              "Version            = \n");
}

}  // namespace
