// The hex record codec: reading records from text and writing them back.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "OH86_DEC.h"
#include "RMX_ERR.h"

namespace {

struct TextStream {
    std::string text;
    FILE *f;
    explicit TextStream(const std::string &t) : text(t)
    {
        f = fmemopen(text.data(), text.size(), "r");
    }
    ~TextStream() { fclose(f); }
};

OH86_RECORD_STRUCT Blank_Record()
{
    OH86_RECORD_STRUCT rec;
    memset(&rec, 0xEE, sizeof rec);
    return rec;
}

TEST(HexCodecRead, SampleRecordDecodes)
{
    TextStream s(":0400000001020304F2\n");
    OH86_RECORD_STRUCT rec = Blank_Record();
    ASSERT_EQ(Get_OH86_Record(s.f, &rec), E_OK);
    EXPECT_EQ(rec.bRecLen, 4);
    EXPECT_EQ(rec.wOffset, 0);
    EXPECT_EQ(rec.bRecType, 0);
    EXPECT_EQ(rec.bData[0], 1);
    EXPECT_EQ(rec.bData[1], 2);
    EXPECT_EQ(rec.bData[2], 3);
    EXPECT_EQ(rec.bData[3], 4);
    EXPECT_EQ(rec.bChecksum, 0xF2);
    // No further colon: the next read is a premature end.
    EXPECT_EQ(Get_OH86_Record(s.f, &rec), E_HEX_EOF);
}

TEST(HexCodecRead, LowerCaseDigitsAndOffsetByteOrder)
{
    TextStream s("junk before\r\n:02abcd00efff98\r\n");
    OH86_RECORD_STRUCT rec = Blank_Record();
    ASSERT_EQ(Get_OH86_Record(s.f, &rec), E_OK);
    EXPECT_EQ(rec.wOffset, 0xABCD);
    EXPECT_EQ(rec.bData[0], 0xEF);
    EXPECT_EQ(rec.bData[1], 0xFF);
    EXPECT_EQ(rec.bChecksum, 0x98);
}

TEST(HexCodecRead, RecordSplitOverLinesReadsAsOne)
{
    TextStream s(":04000000 0102\n0304\nF2\n:00000001FF\n");
    OH86_RECORD_STRUCT rec = Blank_Record();
    ASSERT_EQ(Get_OH86_Record(s.f, &rec), E_OK);
    EXPECT_EQ(rec.bRecLen, 4);
    EXPECT_EQ(rec.bData[3], 4);
    EXPECT_EQ(rec.bChecksum, 0xF2);
    ASSERT_EQ(Get_OH86_Record(s.f, &rec), E_OK);
    EXPECT_EQ(rec.bRecType, 1);
}

TEST(HexCodecRead, ShortRecordBorrowsFromNextLine)
{
    // The colon of the next line is skipped like any other non-digit.
    TextStream s(":0300000001F2\n:00000001FF\n");
    OH86_RECORD_STRUCT rec = Blank_Record();
    ASSERT_EQ(Get_OH86_Record(s.f, &rec), E_OK);
    EXPECT_EQ(rec.bData[0], 0x01);
    EXPECT_EQ(rec.bData[1], 0xF2);
    EXPECT_EQ(rec.bData[2], 0x00);
    EXPECT_EQ(rec.bChecksum, 0x00);
}

TEST(HexCodecRead, BlankInsideByteIsInvalidNumeric)
{
    TextStream s(":0 400000001020304F2\n");
    OH86_RECORD_STRUCT rec = Blank_Record();
    EXPECT_EQ(Get_OH86_Record(s.f, &rec), E_HEX_NUMERIC);
}

TEST(HexCodecRead, PrematureEndCases)
{
    OH86_RECORD_STRUCT rec = Blank_Record();
    {
        TextStream s("");
        EXPECT_EQ(Get_OH86_Record(s.f, &rec), E_HEX_EOF);
    }
    {
        TextStream s("no colon at all 0102\n");
        EXPECT_EQ(Get_OH86_Record(s.f, &rec), E_HEX_EOF);
    }
    {
        TextStream s(":040000000102");
        EXPECT_EQ(Get_OH86_Record(s.f, &rec), E_HEX_EOF);
    }
    {
        // End of file between the two digits of a pair.
        TextStream s(":0400000001020304F");
        EXPECT_EQ(Get_OH86_Record(s.f, &rec), E_HEX_EOF);
    }
}

TEST(HexCodecRead, WrongChecksumIsStoredNotChecked)
{
    TextStream s(":0400000001020304AA\n");
    OH86_RECORD_STRUCT rec = Blank_Record();
    ASSERT_EQ(Get_OH86_Record(s.f, &rec), E_OK);
    EXPECT_EQ(rec.bChecksum, 0xAA);
}

TEST(HexCodecRead, ByteStatusInHighWord)
{
    TextStream s(" x7f 1");
    EXPECT_EQ(Get_OH86_Byte(s.f), 0x7Fu);
    EXPECT_EQ(Get_OH86_Byte(s.f), (DWORD)E_HEX_EOF << 16);
    TextStream t("1g");
    EXPECT_EQ(Get_OH86_Byte(t.f) >> 16, E_HEX_NUMERIC);
}

std::string Write_Record(OH86_RECORD_STRUCT *rec)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    EXPECT_EQ(Send_OH86_Record(f, rec), E_OK);
    fclose(f);
    std::string out(buf, len);
    free(buf);
    return out;
}

TEST(HexCodecWrite, ChecksumAndLayout)
{
    OH86_RECORD_STRUCT rec = Blank_Record();
    rec.bRecLen = 2;
    rec.wOffset = 0x1234;
    rec.bRecType = 0;
    rec.bData[0] = 0xAB;
    rec.bData[1] = 0xCD;
    EXPECT_EQ(Write_Record(&rec), ":02123400ABCD40\n");
    EXPECT_EQ(rec.bChecksum, 0x40);
}

TEST(HexCodecWrite, RoundTripOfFullRecord)
{
    OH86_RECORD_STRUCT out = Blank_Record();
    out.bRecLen = 255;
    out.wOffset = 0xFF01;
    out.bRecType = 4;
    for (int i = 0; i < 255; i++) out.bData[i] = (BYTE)(i * 7);
    std::string text = Write_Record(&out);
    EXPECT_EQ(text.size(), 1 + 2 * (5 + 255) + 1);

    TextStream s(text);
    OH86_RECORD_STRUCT in = Blank_Record();
    ASSERT_EQ(Get_OH86_Record(s.f, &in), E_OK);
    EXPECT_EQ(in.bRecLen, 255);
    EXPECT_EQ(in.wOffset, 0xFF01);
    EXPECT_EQ(in.bRecType, 4);
    EXPECT_EQ(memcmp(in.bData, out.bData, 255), 0);
    EXPECT_EQ(in.bChecksum, out.bChecksum);
    // All bytes of a record including the checksum add up to zero.
    unsigned sum = in.bRecLen + 0xFF + 0x01 + in.bRecType + in.bChecksum;
    for (int i = 0; i < 255; i++) sum += in.bData[i];
    EXPECT_EQ(sum & 0xFF, 0u);
}

}  // namespace
