// User file names, escapes and debug command arguments in-process, where the sanitizers look.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include "flashu.h"
#include "flashu_debug.h"
#include "run_torvex.h"

namespace {
// Each component matches exactly first, then without case (the first sorted); only regular files.
TEST(UserFiles, ResolvedPerComponentAndOnlyRegularFilesRead)
{
    Scratch_Dir dir;
    for (const char *d : {"Data", "Data/Sub"}) ASSERT_EQ(mkdir(dir.file(d).c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(dir.file("pipe.flc").c_str(), 0644), 0);
    for (const char *f : {"Data/Sub/app.hex", "b.TXT", "B.txt"}) dir.write(f, "x");
    const std::string base = dir.path() + "/";
    auto resolve = [](const std::string &typed) -> std::string {
        char out[TEXT_FIELD_SIZE * 2];
        return Resolve_User_Path(typed.c_str(), out, sizeof out) ? out : "<none>";
    };
    EXPECT_EQ(resolve(base + "data//sub/./APP.hex"), base + "Data/Sub/./app.hex");
    EXPECT_EQ(resolve(base + "B.TXT") + resolve(base + "b.TXT"), base + "B.txt" + base + "b.TXT");
    EXPECT_EQ(resolve(base + "DATA/NOPE/APP.HEX") + resolve(""), "<none><none>");
    char tiny[8];
    EXPECT_FALSE(Resolve_User_Path((base + "DATA").c_str(), tiny, sizeof tiny));
    EXPECT_TRUE(File_Found((base + "DATA/SUB/APP.HEX").c_str()) &&
                !File_Found((base + "PIPE.FLC").c_str()));
}

// A tab becomes a blank; DEL, other controls and the arrow keys' sequences go.
TEST(TypedLines, ControlCharactersAndKeySequencesAreDropped)
{
    char line[] = "a\x7F"
                  "b\tc\x01\x1B[Ad";
    Drop_Control_Chars(line);
    EXPECT_STREQ(line, "ab cd");
}

TEST(DecodeHex, EscapesBecomeTheirBytesWithinTheArgumentsLength)
{
    char d[256], d80[80];
    // Unknown escapes stand for their character, a lone backslash at the end for itself.
    Decode_Hex(d, "A\\x41\\n\\q\\X1234567Fz\\t\\v\\b\\r\\f\\a\\\\\\");
    EXPECT_EQ(std::string(d), "AA\nq\x7Fz\t\v\b\r\f\a\\\\");
    Decode_Hex(d, "\\x");
    EXPECT_EQ(std::string(d, 2), std::string(2, '\0'));
    Decode_Hex(d80, std::string(79, '\\').c_str()); // the longest argument, within its length
    EXPECT_EQ(std::string(d80), std::string(40, '\\'));
}

// Reads hex_args hex arguments after a command word, then the data; an unread value shows "-".
std::string Read_Args(const std::vector<std::string> &words, int hex_args, BYTE *data = nullptr)
{
    ARG_STRUCT rest[MAX_ARGS] = {};
    for (size_t i = 1; i < words.size(); i++)
        snprintf(rest[i - 1].arg_str, ARG_STR_SIZE, "%s", words[i].c_str());
    std::string first = words[0].substr(0, words[0].find_first_of("=+")), got; // as parsed
    DEBUG_ARG_READER r;
    Init_Arg_Reader(&r, first.c_str(), WORD(words.size() - 1), rest);
    for (DWORD v = 0xDEAD; hex_args-- > 0; v = 0xDEAD)
        got += Read_Hex_Arg(&r, &v) ? std::to_string(v) + " " : v == 0xDEAD ? "- " : "changed ";
    if (data) Read_Data_Arg(&r, data);
    return got;
}

// Numbers from a word's start (0x allowed, saturating); the next word only after a number.
TEST(DebugArgs, NumbersConvertFromTheStartOfAWordAndTheNextWordIsTakenOnlyAfterOne)
{
    EXPECT_EQ(Read_Args({"0X20000", "12G4", "0X", "123456789", "-1"}, 5),
              "131072 18 0 4294967295 - ");
    DWORD v = 0;
    EXPECT_TRUE(Parse_Dec_Number("99999999999", &v) && v == 0xFFFFFFFF &&
                !Parse_Dec_Number("X5", &v));
    EXPECT_EQ(Read_Args({"1000=X", "10+Y"}, 2), "4096 16 "); // the second word is read whole
    EXPECT_EQ(Read_Args({"QQ", "20", "30"}, 3), "- 32 48 "); // the second from the second word
    // writeram 1000 zz 0102: the size stays, the data is ZZ, past its zero the buffer is kept.
    BYTE data[DEBUG_DATA_SIZE];
    std::fill(data, data + DEBUG_DATA_SIZE, 0xEE);
    EXPECT_EQ(Read_Args({"1000", "ZZ", "0102"}, 2, data), "4096 - ");
    EXPECT_EQ(std::vector<BYTE>(data, data + 4), (std::vector<BYTE>{'Z', 'Z', 0, 0xEE}));
    EXPECT_EQ(Read_Args({"1000", "3", "\\X01-\\XFF"}, 2, data), "4096 3 "); // ends at a non-digit
    EXPECT_EQ(std::vector<BYTE>(data, data + 4), (std::vector<BYTE>{0x01, '-', 0xFF, 0}));
}
} // namespace
