// The interpreter in-process (so the sanitizer build sees it): random
// malformed lines, key polls and questions on a piped standard input, user
// file names; log filtering, error reports, level and date texts, the byte
// dump, the escape decoder and the look-ups over the vocabulary.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

#include "CONIO.h"
#include "flashu.h"
#include "run_torvex.h"

namespace {

// Malformed lines at large: the line fuzz target and its corpus (tests/fuzz).
TEST(Parse, MalformedLinesAndLongValuesStayInBounds)
{
    testing::internal::CaptureStdout();
    for (std::string line : {std::string("=z +9"), std::string("zj 0189"), std::string(100, 'j'), std::string(30, ';'),
                             "prompt=" + std::string(72, 'p'), "file=" + std::string(74, 'f'), "chk " + std::string(75, 'g')})
        Process_Input_Line(&line[0]);
    WORD status = 0;
    Execute_Option(0x107, std::string(76, 'H').c_str(), &status);   // as "pr <76 characters>"
    std::string out = testing::internal::GetCapturedStdout();
    for (const char *said : {"Command/option name not specified!", "line ignored!", "Invalid command/option"})
        EXPECT_NE(out.find(said), std::string::npos) << said;
    EXPECT_EQ(status, E_REPORTED);
    EXPECT_EQ(std::string(prompt_str), std::string(72, 'P'));
    EXPECT_NE(out.find("File " + std::string(74, 'F') + ".HEX or "), std::string::npos);
    EXPECT_NE(out.find("File " + std::string(75, 'G') + ".HEX or " + std::string(75, 'G') + ".BIN not found!\n"),
              std::string::npos);
    EXPECT_NE(out.find("File name " + std::string(76, 'H') + " too long to add .HEX or .BIN!\n"), std::string::npos);
    snprintf(prompt_str, TEXT_FIELD_SIZE, "FLASH CMD:");
}

TEST(ConsoleOnAPipe, PollsNeverStealLineCharacters)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(dup2(fds[0], STDIN_FILENO), STDIN_FILENO);
    close(fds[0]);
    ASSERT_FALSE(Con_Is_Tty());
    EXPECT_FALSE(Con_Kbhit());   // nothing written yet: returns at once
    const std::string input = "\x1b" "ab\n\x1b" "N\n yes \ndir\n0123456789\r\n01234\r\nabc";
    ASSERT_EQ(write(fds[1], input.data(), input.size()), (ssize_t)input.size());
    close(fds[1]);
    EXPECT_TRUE(Con_Kbhit());
    EXPECT_EQ(Con_Getch(), CON_ESC);
    EXPECT_FALSE(Con_Kbhit());   // 'a' is pending, not a key
    EXPECT_FALSE(User_Abort());
    bool too_long = true;
    auto read_line = [&](char *buf, size_t size) { return Con_Read_Line(buf, size, &too_long) ? buf : "<end>"; };
    char line[255], small[6];
    EXPECT_STREQ(read_line(line, sizeof line), "ab");
    EXPECT_FALSE(too_long);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(User_Abort());
    // A question on a pipe takes a whole line, a command too (the default).
    EXPECT_FALSE(User_Confirmed("Go?", true));
    EXPECT_TRUE(User_Confirmed("Go?", false));
    EXPECT_FALSE(User_Confirmed("Go?", false));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nGo? [y]: n\nGo? [n]: y\nGo? [n]: n\n");
    EXPECT_STREQ(read_line(small, sizeof small), "01234");
    EXPECT_TRUE(too_long);
    EXPECT_STREQ(read_line(small, sizeof small), "01234");   // CR past a full buffer
    EXPECT_FALSE(too_long);
    EXPECT_STREQ(read_line(line, sizeof line), "abc");
    EXPECT_EQ(Con_Getch(), CON_EOF);
}

// Each component of a typed name is matched exactly first, then without case
// (the first in sorted order); only regular files are read.
TEST(UserFiles, ResolvedPerComponentAndOnlyRegularFilesRead)
{
    Scratch_Dir dir;
    for (const char *d : {"Data", "Data/Sub", "prog"}) ASSERT_EQ(mkdir(dir.file(d).c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(dir.file("pipe.flc").c_str(), 0644), 0);
    dir.write("Data/Sub/app.hex", "hex");
    dir.write("b.TXT", "lower");
    dir.write("B.txt", "upper");
    const std::string base = dir.path() + "/";
    auto resolve = [](const std::string &typed) -> std::string {
        char out[TEXT_FIELD_SIZE * 2];
        return Resolve_User_Path(typed.c_str(), out, sizeof out) ? out : "<none>";
    };
    EXPECT_EQ(resolve(base + "data//sub/./APP.hex"), base + "Data/Sub/./app.hex");
    EXPECT_EQ(resolve(base + "B.TXT"), base + "B.txt");
    EXPECT_EQ(resolve(base + "b.TXT"), base + "b.TXT");
    EXPECT_EQ(resolve(base + "DATA/NOPE/APP.HEX"), "<none>");
    EXPECT_EQ(resolve(""), "<none>");
    char tiny[8];
    EXPECT_FALSE(Resolve_User_Path((base + "DATA").c_str(), tiny, sizeof tiny));

    FILE *found = Open_User_File((base + "DATA/SUB/APP.HEX").c_str(), "r");
    FILE *made = Open_User_File((base + "DATA/NEW.BIN").c_str(), "wb");   // created as typed
    EXPECT_TRUE(found != nullptr && made != nullptr);
    for (FILE *f : {found, made}) if (f != nullptr) fclose(f);
    EXPECT_TRUE(dir.exists("Data/NEW.BIN"));
    EXPECT_EQ(Open_User_File((base + "NODIR/NEW.BIN").c_str(), "wb"), nullptr);
    EXPECT_EQ(Open_User_File((base + "PROG").c_str(), "r"), nullptr);
    EXPECT_TRUE(File_Found((base + "B.TXT").c_str()));
    for (const char *no : {"PROG", "MISSING", "PIPE.FLC"}) EXPECT_FALSE(File_Found((base + no).c_str())) << no;
}

template <typename F> std::string Printed(F f)
{
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

TEST(LogStr, PlainLevelsByValueFlagWordsByEveryBit)
{
    const WORD all_but_download = 0x1F4 & ~0x100, saved = log_level;
    const struct { WORD current, msg; bool shown; } cases[] = {
        {LOG_NORMAL, LOG_ALWAYS, true}, {LOG_NORMAL, LOG_NORMAL, true}, {LOG_NORMAL, LOG_VERBOSE, false},
        {LOG_NORMAL, LOG_OHREC, false}, {LOG_OHREC, LOG_DEBUG, true}, {LOG_OHREC, LOG_OHREC, true},
        {LOG_OHREC, LOG_OHSEG, false}, {all_but_download, LOG_DOWNLOAD, false},
        {all_but_download, LOG_OHSORT, true}, {all_but_download, LOG_VERBOSE, true}};
    for (const auto &c : cases) {
        log_level = c.current;
        EXPECT_EQ(Printed([&] { Log_Str(c.msg, "x"); }), c.shown ? "x" : "") << c.current << " " << c.msg;
    }
    log_level = LOG_TERSE;   // errors are level 0: printed at every level
    const std::pair<WORD, const char *> errors[] = {
        {0xF5, "Couldn't open COM"}, {0x8085, "Flash write error"}, {0x1234, "ERROR 1234"}, {0x9005, "Invalid message checksum"},
        {0x008B, "ERROR 008B"}, {0x9000, "Error already reported"}};
    for (const auto &e : errors)
        EXPECT_EQ(Printed([&] { Process_Error(e.first, "Init comms"); }),
                  std::string("\nInit comms FAILED!  ") + e.second + "\n\n");
    EXPECT_EQ(Printed([] { Process_Error(0, "Init comms"); }), "");
    log_level = saved;
}

TEST(Texts, LogLevelsAndDatesUnderAFixedZone)
{
    const std::pair<WORD, const char *> levels[] = {
        {1, "TERSE"}, {0, "???"}, {5, "???"}, {0x64, "DEBUG OHREC OHSEG"},
        {0x1F4, "DEBUG ARG OHREC OHSEG OHSORT DOWNLOAD"}, {0x1F3, "VERBOSE"}};   // flags only count with DEBUG
    for (const auto &c : levels) EXPECT_STREQ(Log_Level_Str_Ptr(c.first), c.second);
    char buf[40];
    const char *tz = getenv("TZ");
    const std::string old_tz = tz ? tz : "";
    setenv("TZ", "UTC", 1);
    tzset();
    const std::pair<DWORD, const char *> dates[] = {
        {0, "-"}, {1, "01/01/70 00:00"}, {946684799, "12/31/99 23:59"}, {946684800, "01/01/00 00:00"},
        {1700000000, "11/14/23 22:13"}, {0xFFFFFFFF, "02/07/06 06:28"}};   // the last in 2106
    for (const auto &c : dates) EXPECT_STREQ(Date_Time_Str_Ptr(c.first), c.second);
    Set_Date_Time_Str(buf, 86400 * 59);
    EXPECT_STREQ(buf, "03/01/70 00:00");
    tz ? setenv("TZ", old_tz.c_str(), 1) : unsetenv("TZ");
    tzset();
}

TEST(DumpBytes, TwentyBytesAndAFullWordCountWithoutWrap)
{
    std::vector<BYTE> b;
    for (int i = 0; i < 20; i++) b.push_back((BYTE)(0x1E + i));   // 0x1E..0x31
    b[3] = 0x7E, b[4] = 0x7F;
    EXPECT_EQ(Printed([&] { Dump_Bytes(b.data(), 20); }),
              " 1E 1F 20 7E 7F 23 24 25   26 27 28 29 2A 2B 2C 2D     ...~.#$%&'()*+,-\n"
              " 2E 2F 30 31" + std::string(43, ' ') + "./01" + std::string(12, ' ') + "\n");
    EXPECT_EQ(Printed([&] { Dump_Bytes(b.data(), 0); }), "");
    b.assign(65535, 0x41);
    std::string out = Printed([&] { Dump_Bytes(b.data(), 65535); }), hex8;
    for (int i = 0; i < 8; i++) hex8 += " 41";
    const size_t line_len = 16 * 3 + 2 + 5 + 16 + 1;
    ASSERT_EQ(out.size(), 4096 * line_len);
    EXPECT_EQ(out.substr(out.size() - line_len), hex8 + "  " + hex8.substr(3) + "        " + std::string(15, 'A') + " \n");
}

TEST(DecodeHex, EscapesAndHexBytes)
{
    const struct { const char *src, *out; size_t len; } cases[] = {   // len counts the end NUL
        {"A\\x41\\n", "AA\n", 4}, {"\\x4", "\x04", 2}, {"\\q", "q", 2}, {"\\", "\\", 2},
        {"\\x41\\x42", "AB", 3}, {"\\x01\\x02\\x03", "\x01\x02\x03", 4}, {"\\x41\\", "A\\", 3},
        {"\\x", "\0", 2}, {"\\X1234567Fz", "\x7Fz", 3}, {"\\t\\v\\b\\r\\f\\a\\\\\\N", "\t\v\b\r\f\a\\N", 9},
        {"\\xffZ", "\xFFZ", 3}};
    char d[256];
    for (const auto &c : cases) {
        Decode_Hex(d, c.src);
        EXPECT_EQ(std::string(d, c.len), std::string(c.out, c.len)) << c.src;
    }
    char d80[80];   // the longest argument decodes within its own length
    Decode_Hex(d80, std::string(79, '\\').c_str());
    EXPECT_EQ(std::string(d80), std::string(40, '\\'));
}

// Ids to indexes and texts; Str_To_Id matches whole strings in any case,
// Sub_Str_To_Id one whole word of an entry as stored (input is upper-cased).
TEST(Lookup, IdsStringsAndWords)
{
    EXPECT_EQ(Id_To_Index(3, board_id_lut), 2);
    EXPECT_EQ(Id_To_Index(5, board_id_lut), 0xFFFF);
    EXPECT_EQ(Id_To_Index(0x10000 + 1, comm_port_lut), 0xFFFF);   // all 32 bits compared
    const struct { DWORD id; const LOOKUP_TBL_STRUCT *lut; const char *text; } texts[] = {
        {4, board_id_lut, "PELLAR"}, {5, board_id_lut, "UNKNOWN LUT #5"}, {0xFFFF, comm_port_lut, ""},
        {19200, baud_rate_lut, "19.2K"}, {0xF5, error_code_lut, "Couldn't open COM"},
        {0xFFFFFFFF, error_code_lut, "UNKNOWN LUT #4294967295"}};
    for (const auto &t : texts) {
        char buf[TEXT_FIELD_SIZE];
        Id_To_Str(buf, t.id, t.lut);
        EXPECT_STREQ(buf, t.text);
        EXPECT_STREQ(Id_To_Str_Ptr(t.id, t.lut), t.text);
    }
    const DWORD NONE = 0xFFFFFFFF;
    const std::string long_word(200, 'X');
    const struct { bool sub; const char *word; const LOOKUP_TBL_STRUCT *lut; DWORD id; } words[] = {
        {false, "com2", comm_port_lut, 1}, {false, "COM", comm_port_lut, NONE}, {false, "", comm_port_lut, 0xFFFF},
        {false, "PELLAR", board_id_lut, 3}, {false, "pellar/kestrel", board_id_lut, 2},
        {false, "T", log_level_lut, NONE}, {true, "V", log_level_lut, 3}, {true, "VERB", log_level_lut, NONE},
        {true, "v", log_level_lut, NONE}, {true, "QUI", user_command_lut, NONE}, {true, "E X", user_command_lut, 0x002},
        {true, "", comm_port_lut, 0xFFFF}, {true, "", user_command_lut, NONE}, {true, "ERASEALL", user_command_lut, 0x61F},
        {true, "CS", user_command_lut, 0x421}, {true, long_word.c_str(), user_command_lut, NONE}};
    for (const auto &c : words)
        EXPECT_EQ(c.sub ? Sub_Str_To_Id(c.word, c.lut) : Str_To_Id(c.word, c.lut), c.id) << c.word;
}

}  // namespace
