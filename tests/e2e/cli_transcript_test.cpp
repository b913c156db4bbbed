// Whole transcripts of the interpreter off-line, then with the virtual board, then on a terminal.
#include <gtest/gtest.h>

#include <csignal>
#include <sstream>
#include <functional>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "board_rig.h"

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;
const std::string END_OF_INPUT = PROMPT + "\n"; // what end of input at the prompt prints

Torvex_Result Run_Lines(const std::string &lines, const std::string &cwd = "",
                        const std::vector<std::string> &args = {}, const Env &env = {})
{
    return Run_Torvex({lines, false, {}, args, env, cwd});
}

// The options display with the given rows ("Port=COM2|Group=X") changed from their start-up values.
std::string Options_Report(const std::string &changes = "")
{
    std::map<std::string, std::string> changed;
    std::istringstream in(changes),
        rows("Addr=0x00000000|Baud=9600|Board=PELLAR/KESTREL|File=|Format=HEX|Group=|Log=NORMAL|"
             "Name=|Port=|Prompt=FLASH CMD:|System=TARGET|Vector=0000:0000|VT Baud=9600|VT Port=|"
             "Version=|Verify=OFF");
    for (std::string kv; std::getline(in, kv, '|');)
        changed[kv.substr(0, kv.find('='))] = kv.substr(kv.find('=') + 1);
    std::string s = "Current Options:\n\n";
    for (std::string kv; std::getline(rows, kv, '|');) {
        std::string key = kv.substr(0, kv.find('='));
        s += (key + std::string(18, ' ')).substr(0, 18) + " = " +
             (changed.count(key) ? changed[key] : kv.substr(key.size() + 1)) + "\n";
    }
    return s;
}
// A typed line and what it prints up to the next prompt; unless raw, that is one segment's output.
struct Step {
    std::string line, out;
    bool raw = false;
};

const std::string NAME_MISSING = "Command/option name not specified!\n";
const std::string BAD_PORT = "Invalid port name!  Type com1, com2, com3, or com4\n";
const std::string BAD_RATE = "Invalid baud rate!  Enter 300 to 115200\n",
                  BAD_CHARS = "Invalid characters in baud rate!\n";
const std::string DEBUG_HINT =
    "Type debug to enable the debug commands, then debug or ??? to list them.\n";

std::string FAILED(const std::string &why)
{
    return "\nOperation FAILED!  " + why + "\n\n";
}

std::string File_Set(const std::string &format, const std::string &file, const std::string &name)
{
    return "File format set to " + format + "\nProgram file set to " + file +
           "\nProgram name set to " + name + "\n";
}

const std::string BAD_PARAM = FAILED("Invalid message parameter");

std::string Processing(const std::string &path)
{
    return "Process " + path + " flash command file ...\n";
}

// A line of 254 characters, as long as a line may be: four segments of at most 79.
const std::string FULL_LINE = "gr=a" + std::string(74, ' ') + ";gr=a" + std::string(74, ' ') +
                              ";gr=a" + std::string(74, ' ') + ";gr=b" + std::string(13, ' ');
const std::string FULL_LINE_RUN = Seg(
    "Group name set to A\n\nGroup name set to A\n\nGroup name set to A\n\nGroup name set to B\n");

// Unless said otherwise a command fails in the session: its exit status is 1.
void Expect_Session(const std::vector<Step> &steps, const std::string &cwd = "",
                    const Env &env = {}, const std::string &end = END_OF_INPUT, int status = 1)
{
    std::string in, want = Cli_Start();
    for (const Step &s : steps) {
        in += s.line + "\n";
        want += PROMPT + (s.raw ? s.out : Seg(s.out));
    }
    auto r = Run_Lines(in, cwd, {}, env);
    EXPECT_EQ(r.out, want + end);
    EXPECT_EQ(r.exit_code, status);
}

// Unknown words run command files or suggest a word; off-line commands are refused.
TEST(CliSession, UnknownWordsRunCommandFilesAndOffLineCommandsAreRefused)
{
    Scratch_Dir dir;
    dir.write("ReadRam.flc", "gr=fromfile");
    const std::string by_id = dir.file("dev/serial/by-id/usb-Board_UART-if00"),
                      none = dir.file("none");
    ASSERT_TRUE(std::filesystem::create_directories(dir.file("dev/serial/by-id")) &&
                !symlink("../../ttyUSB0", by_id.c_str()));
    dir.write("dev/ttyUSB0", "");
    dir.write("shell.sh", "#!/bin/sh\necho in the shell\n");
    ASSERT_EQ(chmod(dir.file("shell.sh").c_str(), 0755), 0);
    std::vector<Step> steps = {
        {"nosuch", "Invalid command/option NOSUCH!\n"},
        {"dri", "Invalid command/option DRI!\nDid you mean DIR?\n"},
        {"prot=com1 x", "Invalid command/option PROT!\nDid you mean PORT?\n"},
        {"z", "Invalid command/option Z!\n"},
        {"readram 0 10",
         Seg(Processing("READRAM.FLC")) + "READRAM.FLC CMD: gr=fromfile\n" +
             Seg("Group name set to FROMFILE\n"),
         true},
        {"eraseall", "Invalid command/option ERASEALL!\n"},
        {"???", "Debug commands ENABLED\n"},
        {"eraseall", NOT_ON_LINE},
        {"init", "Target comms port not specified!\n"},
        {"init com2 baud=fast", "Port set to COM2\nVT Port set to COM2\n" + BAD_CHARS},
        {"chk app.dat", "File APP.DAT not found!\n"},
        {"dos", "Type EXIT to return to TORVEX program ...\nin the shell\n"},
        {"map;options", NOT_ON_LINE + "Not run: OPTIONS\n"},
        {"init com3",
         "Port set to COM3\nEstablish link to target system on COM3 at 9600 baud ...\nCOM3 is " +
             none + ": No such file or directory\nSerial ports present:\n  " + by_id + " -> " +
             dir.file("dev/ttyUSB0") + "\nset TORVEX_COM3=" + by_id + " and start TORVEX again\n" +
             FAILED("Couldn't open COM")}};
    for (const char *line :
         {"dir", "program app", "sb app", "nb", "sh", "system=abc", "board=pellar"})
        steps.push_back({line, NOT_ON_LINE});
    Expect_Session(steps, dir.path(),
                   {{"SHELL", dir.file("shell.sh")},
                    {"TORVEX_COM3", none},
                    {"TORVEX_DEV_DIR", dir.file("dev")}});
}

// A failed segment skips the rest of its line; log=arg traces segments and words (20 at most).
TEST(CliParser, SegmentsSplitAtSemicolonsCommentsEndTheLineAndTheTraceShowsTheWords)
{
    std::string words = "options", trace = "Cmd arg #0 = 'OPTIONS', name = 'OPTIONS', value = ''\n";
    for (int i = 1; i <= 20; i++) words += " " + std::to_string(i); // the 21st is never seen
    for (int i = 1; i < 20; i++) {
        const std::string n = std::to_string(i);
        trace += "Cmd arg #" + n + " = '" + n + "', name = '" + n + "', value = ''\n";
    }
    const std::string up = "OPTIONS" + words.substr(7), report = Options_Report();
    Expect_Session(
        {{"options;", Seg(report) + "\n", true},
         {";options", "\n" + Seg(report), true},
         {"options; ", Seg(report) + NAME_MISSING + "\n", true},
         {"// nothing here", "\n\n", true},
         {"", "", true},
         {"gr=x // a comment; port=com1", "Group name set to X\n"},
         {"port=com1 port=com9 ; gr=y",
          "Port set to COM1\nVT Port set to COM1\n" + BAD_PORT + "Not run: GR=Y\n"},
         {"port", "Option PORT value not specified!\n"},
         {"gr=a = options", "Group name set to A\n" + NAME_MISSING},
         {"log=arg", "Log level set to DEBUG ARG\n"},
         {" ",
          "Input line = ' '\nInput #args = 1\nInput arg #0 = ' '\n\nCmd input = ' '\n"
          "Cmd #args = 65535\n" +
              NAME_MISSING + "\n",
          true},
         {"port+com3 name=a=b;=x",
          "Input line = 'PORT+COM3 NAME=A=B;=X'\nInput #args = 2\n"
          "Input arg #0 = 'PORT+COM3 NAME=A=B'\nInput arg #1 = '=X'\n\n"
          "Cmd input = 'PORT+COM3 NAME=A=B'\nCmd #args = 2\n"
          "Cmd arg #0 = 'PORT+COM3', name = 'PORT', value = 'COM3'\n"
          "Cmd arg #1 = 'NAME=A=B', name = 'NAME', value = 'A=B'\nPort set to COM3\n"
          "Program name set to A=B\n\nCmd input = '=X'\nCmd #args = 1\n"
          "Cmd arg #0 = '=X', name = '', value = 'X'\n" +
              NAME_MISSING + "\n",
          true},
         {words,
          "Input line = '" + up + "'\nInput #args = 1\nInput arg #0 = '" + up +
              "'\n\nCmd input = '" + up + "'\nCmd #args = 20\n" + trace +
              Options_Report("Group=A|Log=DEBUG ARG|Name=A=B|Port=COM3|VT Port=COM1") + "\n",
          true}});
}

// Refused lines run no segment; typed control characters and key sequences are dropped.
TEST(CliParser, LinesThatDoNotFitAreRefusedWhole)
{
    const std::string p72(72, 'B'), c75(75, 'C');
    Expect_Session({{"port=com1;prompt=" + std::string(238, 'A'),
                     "Input line longer than 254 characters, line ignored!\n", true},
                    {"port=com1" + std::string(20, ';'),
                     "More than 20 commands in one line, line ignored!\n", true},
                    {"port=com1;prompt=" + std::string(73, 'B'),
                     "Command longer than 79 characters, line ignored!\n", true},
                    {"port=com1;" + std::string(76, 'C'),
                     "Command name longer than 75 characters, line ignored!\n", true},
                    {"port=com1" + std::string(19, ';'),
                     Seg("Port set to COM1\nVT Port set to COM1\n") + std::string(19, '\n'), true},
                    {c75, "Invalid command/option " + c75 + "!\n"},
                    {"port=com3\r", "Port set to COM3\n"},
                    {FULL_LINE + "\r", FULL_LINE_RUN, true}, // CR LF just past a full line
                    {"\x1b[Ad\x1bi\x01r\t\xff\x7f", NOT_ON_LINE},
                    {"prompt=" + std::string(72, 'b'), "Prompt set to " + p72 + "\n"}},
                   "", {}, p72 + " \n");

    auto r =
        Run_Lines("options\n", "", {std::string(254, ';')}, {{"FLASHOPT", std::string(255, ';')}});
    EXPECT_EQ(r.out, std::string(TORVEX_SIGNON) +
                         "Process environment variable FLASHOPT ...\nFLASHOPT longer than 254 "
                         "characters, line ignored!\nProcess command line parameters ...\n"
                         "Command line longer than 254 characters, line ignored!\n\nType h or ? "
                         "for help\n\n" +
                         PROMPT + Seg(Options_Report()) + END_OF_INPUT);
}

TEST(CliOptions, EachOptionConfirmsAValueInRangeAndRefusesOneOutside)
{
    Scratch_Dir dir;
    for (const char *d : {"tool", "Sub"}) ASSERT_EQ(mkdir(dir.file(d).c_str(), 0755), 0);
    for (const char *f : {"app.hex", "app.bin", "app.v2.bin", "Tool.HEX", "Sub/prog.Hex"})
        dir.write(f, "x");
    Expect_Session(
        {{"port=com2", "Port set to COM2\nVT Port set to COM2\n"},
         {"port=com1", "Port set to COM1\n"},
         {"port=com5", BAD_PORT},
         {"port=nocomms", "Port set to NOCOMMS\n"},
         {"vtport=com4", "VT Port set to COM4\n"},
         {"baud=19.2k", BAD_RATE},
         {"baud=19200", "Baud rate set to 19200\n"},
         {"baud=fast", BAD_CHARS},
         {"baud=4294977896", BAD_RATE},
         {"vtbaud=300", "VT baud rate set to 300\n"},
         {"format=elf", "Invalid file format!\n"},
         {"file=nothing", "File NOTHING.HEX or NOTHING.BIN not found!\n"},
         {"file=app", File_Set("HEX", "APP.HEX", "APP")},
         {"format=bin", "File format set to BIN\n"},
         {"file=app", File_Set("BIN", "APP.BIN", "APP")},
         {"file=app.v2.bin", File_Set("BIN", "APP.V2.BIN", "APP.V2")},
         {"file=tool", File_Set("HEX", "TOOL.HEX", "TOOL")},
         {"file=sub/prog", File_Set("HEX", "SUB/PROG.HEX", "PROG")},
         {"name=abcdefgh", "Program name set to ABCDEFGH\n"},
         {"name=abcdefghi", "Program name too long!\n"},
         {"gr=0123456789", "Group name set to 0123456789\n"},
         {"group=0123456789a", "Group name too long!\n"},
         {"addr=g", "Invalid hex characters in address!\n"},
         {"addr=fffffff0", "Address set to 0xFFFFFFF0\n"},
         {"addr=0x1f", "Address set to 0x0000001F\n"},
         {"addr=123456789", "Address too large!  Enter 0 to FFFFFFFF\n"},
         {"log=ohrec", "Log level set to DEBUG OHREC\n"},
         {"log=download", "Log level set to DEBUG OHREC DOWNLOAD\n"},
         {"log=debug", "Log level set to DEBUG\n"},
         {"log=verb", "Invalid log level!  Type terse, normal, or verbose\n"},
         {"log=n", "Log level set to NORMAL\n"},
         {"log=ohseg", "Log level set to DEBUG OHSEG\n"},
         {"options", Options_Report("Addr=0x0000001F|Baud=19200|File=SUB/PROG.HEX|"
                                    "Group=0123456789|Log=DEBUG OHSEG|Name=ABCDEFGH|Port=NOCOMMS|"
                                    "VT Baud=300|VT Port=COM4")},
         {"prompt=ready>", "Prompt set to READY>\n"}},
        dir.path(), {}, "READY> \n");
}

// Echo at NORMAL, chaining, exit, over-long lines, Esc ending a loop; temporary files cleared.
TEST(CliCmdFile, FilesEchoTheirLinesChainAndStopAtExitEscOrAnOverlongLine)
{
    Scratch_Dir dir;
    const std::string line = "gr=x // " + std::string(297, 'a');
    for (const auto &f : Env{{"setup.flc", "gr=one\r\n\nver=2"},
                             {"first.flc", "gr=a1\nsecond\nname=never\n"},
                             {"second.flc", "name=fromb\nnosuch\n"},
                             {"long.flc", line + "\n" + FULL_LINE + "\r\ngr=ok\n"},
                             {"run.flc", "gr=x\nexit\nname=never\n"},
                             {"loop.flc", "loop\n"},
                             {"old.~~~", ""},
                             {"keep.~~", ""}})
        dir.write(f.first, f.second);
    Expect_Session(
        {{"setup",
          Seg(Processing("SETUP.FLC")) + "SETUP.FLC CMD: gr=one\n" +
              Seg("Group name set to ONE\n") + "SETUP.FLC CMD: \nSETUP.FLC CMD: ver=2\n" +
              Seg("Program version set to 2\n"),
          true},
         {"first",
          Seg(Processing("FIRST.FLC")) + "FIRST.FLC CMD: gr=a1\n" + Seg("Group name set to A1\n") +
              "FIRST.FLC CMD: second\n" + Seg(Processing("SECOND.FLC")) +
              "SECOND.FLC CMD: name=fromb\n" + Seg("Program name set to FROMB\n") +
              "SECOND.FLC CMD: nosuch\n" + Seg("Invalid command/option NOSUCH!\n"),
          true},
         {"long",
          Seg(Processing("LONG.FLC")) +
              "LONG.FLC line longer than 254 characters, line ignored!\nLONG.FLC CMD: " +
              FULL_LINE + "\n" + FULL_LINE_RUN + "LONG.FLC CMD: gr=ok\n" +
              Seg("Group name set to OK\n"),
          true},
         {"loop\n\x1b"
          "gr=b",
          Seg(Processing("LOOP.FLC")) + "\nCommand file LOOP.FLC stopped\n" + PROMPT +
              Seg("Group name set to B\n"),
          true},
         {"log=t", "Log level set to TERSE\n"},
         {"setup", Seg("") + Seg("Group name set to ONE\n") + Seg("Program version set to 2\n"),
          true},
         {"run\nnever read", Seg("") + Seg("Group name set to X\n") + Seg(""), true}},
        dir.path(), {}, "");
    EXPECT_TRUE(!dir.exists("old.~~~") && dir.exists("keep.~~"));
}

// From the command line help asks nothing; the debug list shows once ??? enabled it.
TEST(CliHelp, AsksToShowOptionsOnlyAtThePromptAndTakesTheWholeNextLine)
{
    const std::string o = Run_Lines("", "", {"help;???;???;q"}).out;
    EXPECT_EQ(o.find("Display command options?"), std::string::npos);
    EXPECT_EQ(Count(o, "Command separator on single line\n" + DEBUG_HINT +
                           "\nDebug commands ENABLED\n\nCommand     Abbrev/Options"),
              1u)
        << o;
    // From a script the whole next line answers (y/yes, n/no/ESC, else the default); never run.
    auto r = Run_Lines("help\nn\nh\nYES\n?\ngr=x\nhelp\n\x1bgr=y\nhelp\n");
    const std::string q = "\nDisplay command options? [y]: ", opts = "\n\nOptions   Possible";
    EXPECT_TRUE(Count(r.out, q + "n\n" + DEBUG_HINT + "\n" + PROMPT) == 2 &&
                Count(r.out, q + "y" + opts) == 3)
        << r.out;
    EXPECT_TRUE(Count(r.out, "Invalid") + Count(r.out, "Group name") == 0 && r.exit_code == 0)
        << r.out;
}

// A command among program's words runs first; a command after exit on its line runs too.
TEST(CliBoard, CommandsAmongProgramWordsRunFirstAndReinitAsksBeforeDroppingChanges)
{
    RIG_RESULT r =
        Run_Typed("init com1\nprogram app dir gr=late\ninit com1\nn\ndir\n"
                  "init com1\ny\ndir\nprogram app shutdown\nexit ; gr=after ; init com1\n",
                  {}, {}, {{"app.hex", Read_Source_File("examples/hello.hex")}});
    const std::string &o = r.out,
                      ask = "Tables in flash memory require updating.  Initialize anyway? [n]: ";
    EXPECT_TRUE(r.exit_code == 1 && r.link_restored && Sent(r, "init") == 3 &&
                Sent(r, "shutdown") == 2)
        << o;
    size_t dir = o.find("Name      Group       Ver    Date/Time"), no = o.find(ask + "n\n"),
           yes = o.find(ask + "y\n");
    EXPECT_TRUE(dir < o.find("Download ...") && o.find("Download ...") != std::string::npos) << o;
    EXPECT_TRUE(Count(o, "Group name set to LATE") == 0 && no < yes && yes != std::string::npos)
        << o;
    EXPECT_TRUE(o.find("\nAPP ", no) < yes && o.find("\nAPP ", yes) == std::string::npos) << o;
    const std::string tail =
        PROMPT + "\n" + File_Set("HEX", "APP.HEX", "APP") + EXIT_WRITTEN + NOT_ON_LINE + "\n" +
        PROMPT + "\n" + Seg("Group name set to AFTER\n") +
        "Port set to COM1\nEstablish link to target system on COM1 at 9600 baud ...\n" + ON_LINE +
        "Flash tables OK\nInitialization complete\n\nStart shutdown ...\nShutdown complete\n";
    EXPECT_EQ(o.substr(o.size() - std::min(o.size(), tail.size())), tail);
}

// What each typed line printed, without the blank lines around it.
std::vector<std::string> Line_Outputs(const std::string &out)
{
    std::vector<std::string> lines;
    for (size_t pos = out.find(PROMPT); pos != std::string::npos;) {
        size_t start = pos + PROMPT.size();
        pos = out.find(PROMPT, start);
        std::string text = out.substr(start, pos == std::string::npos ? pos : pos - start);
        bool framed = text.size() >= 2 && text.front() == '\n' && text.back() == '\n';
        lines.push_back(framed ? text.substr(1, text.size() - 2) : text);
    }
    return lines;
}

// A read RAM display: 16 bytes a line in hex, a gap after the eighth, then as text.
std::string Read_Ram(unsigned addr, const Bytes &bytes)
{
    char cell[80], hex[] = "0123456789ABCDEF";
    snprintf(cell, sizeof cell, "Read %zu bytes from absolute location 0x%08X:\n\n", bytes.size(),
             addr);
    std::string s = cell, text;
    for (size_t i = 0; i < (bytes.size() + 15) / 16 * 16; i++) {
        uint8_t b = i < bytes.size() ? bytes[i] : 0;
        s += i < bytes.size() ? std::string{' ', hex[b >> 4], hex[b & 15]} : "   ";
        if (i % 16 == 7) s += "  ";
        text += i >= bytes.size() ? ' ' : b >= 0x21 && b <= 0x7E ? char(b) : '.';
        if (i % 16 != 15) continue;
        s += "     " + text + "\n";
        text.clear();
    }
    return s;
}

// An echo's heading and score lines; count 0: ESC after one pass.
std::string Echo(const std::string &head, unsigned long count)
{
    std::string s = "Echo " + head + " ...\n\n" + (count ? "" : "\n"); // ESC's line end first
    char line[120];
    for (unsigned long i = 1; i <= std::max(count, 1ul); i++) {
        std::string share = " (" + std::to_string(i * 100 / std::max(count, 1ul)) + "% of " +
                            std::to_string(count) + " passes)";
        snprintf(line, sizeof line,
                 "Write/Read ...  Count: %-7lu  Mismatch: 0     Errors: 0     Status: 0000%s\n", i,
                 count ? share.c_str() : "");
        s += line;
    }
    return s;
}

// The status display; only messages sent and ACKs received are not zero.
std::string Status_Report(unsigned long msgs, unsigned long acks)
{
    const char *labels[] = {"Send Msg",      "Send Retry",   "Send Rx Flush", "Send Rx Ack",
                            "Send Rx Nak",   "Send Rx Spur", "Send No TO",    "Send Rx TO",
                            "Send Total TO", "Send Bad Stat"};
    std::string s = "Comms Status:\n\n";
    char row[80];
    for (int i = 0; i < 10; i++) {
        snprintf(row, sizeof row, "%-18s = %8lu\n", labels[i], i == 0 ? msgs : i == 3 ? acks : 0);
        s += row;
    }
    return s;
}

// What wflash prints from the work area into board 3's top 32 K block.
std::string Wflash(const std::string &to, const std::string &bytes)
{
    return "Program base 0x03F00000, block 0x03FF0000\n from 0x00020000, to 0x" + to + ", " +
           bytes + " bytes\n";
}

// Each typed debug line and what it prints; the board starts erased.
std::vector<std::pair<std::string, std::string>> Debug_Steps()
{
    return {
        {"shutdown", EXIT_WRITTEN},
        {"init", "Establish link to target system on COM1 at 9600 baud ...\n" + ON_LINE +
                     "Flash tables OK\nInitialization complete\n"},
        {"setram 3000 10 \\x5a", "Set 16 bytes to 0x5A at 0x00003000\n"},
        {"readram 3000 8", Read_Ram(0x3000, Bytes(8, 0x5A))},
        {"writeram 1000 8 ab\\x7f", "Write 8 bytes to absolute location 0x00001000\n"},
        // Upper-cased, \x7F one byte; after the data and its zero, what the buffer held.
        {"readram 1000", Read_Ram(0x1000, {'A', 'B', 0x7F, 0, 0x5A, 0x5A, 0x5A, 0x5A})},
        {"copyram 2000 1000 8", "Copy 8 bytes from 0x00001000 to 0x00002000\n"},
        {"compram 2000 1000", "Compare 8 bytes from 0x00002000 to 0x00001000\nArrays match\n"},
        // The mismatch fails the line: the readram after it never runs.
        {"compram 3000 1000 8 ; readram 0",
         "Compare 8 bytes from 0x00003000 to 0x00001000\nArrays don't match!\n" +
             FAILED("ERROR 008B") + "Not run: READRAM 0\n"},
        {"writeio 300 2 1234", "Write 4660 (00001234H) as 2 bytes to output port 0x00000300\n"},
        {"readio 300 2",
         "Read 2 bytes from input port 0x00000300.\nInput value is 4660 (00001234H)\n"},
        {"readio 300", "Read 1 bytes from input port 0x00000300.\nInput value is 52 (00000034H)\n"},
        // Without a size, readram takes the one readio left.
        {"readram 1000", Read_Ram(0x1000, {'A'})},
        {"setram 5000 800 \\x33", "Set 2048 bytes to 0x33 at 0x00005000\n"},
        {"readram 5000 1000", "Size 4096 is more than one transfer, limited to 2048 bytes\n" +
                                  Read_Ram(0x5000, Bytes(2048, 0x33))},
        // Board 3's 32 K block at 0x03FF0000 of the device at 0x03F00000.
        {"setram 20000 100 \\xa5", "Set 256 bytes to 0xA5 at 0x00020000\n"},
        {"wflash da 3f00000 3ff0000 3ff0000 20000 100", Wflash("03FF0000", "256")},
        {"eflash da 3f00000 3ff0000 8000",
         "Erase base 0x03F00000, block 0x03FF0000, 32768 bytes.\n"},
        // wflash alone repeats the last values, the size now that of eflash.
        {"wflash", Wflash("03FF0000", "32768")},
        {"readram 3ff0000 10", Read_Ram(0x3FF0000, Bytes(16, 0xA5))},
        // The board programs only erased bits, within one block, and erases whole blocks.
        {"setram 20000 10 \\xff", "Set 16 bytes to 0xFF at 0x00020000\n"},
        {"wflash da 3f00000 3ff0000 3ff0000 20000 10",
         Wflash("03FF0000", "16") + FAILED("Flash write attempted to unerased data")},
        {"wflash da 3f00000 3ff0000 3ff7ff8 20000 10", Wflash("03FF7FF8", "16") + BAD_PARAM},
        {"eflash da 3f00000 3ff0000 4000",
         "Erase base 0x03F00000, block 0x03FF0000, 16384 bytes.\n" + BAD_PARAM},
        {"readram 3ff0000 10", Read_Ram(0x3FF0000, Bytes(16, 0xA5))},
        {"eflash da 3f00000 3ff0001 8000",
         "Erase base 0x03F00000, block 0x03FF0001, 32768 bytes.\n" + BAD_PARAM},
        {"clrstatus", "Comms status cleared\n"},
        {"readram 0 4", Read_Ram(0, Bytes(4, 0))},
        {"status", Status_Report(1, 1)},
        {"echo 16 5", Echo("16 bytes of data 5 time(s)", 5)},
        {"status", Status_Report(10, 10)}, // the fill not counted
        {"echo 65536 2", Echo("1024 bytes of data 2 time(s)", 2)},
        // ESC right behind the command: one pass, then the rest of its line.
        {"echo", Echo("1024 bytes of data until ESC", 0)},
        {"\x1b", ""},
        {"status", Status_Report(2, 2)},
        {"chgbaud 48000",
         "Baud rate set to 48000\nWARNING!  Perform shutdown commmand, then init command\n"},
        // The board answers at once at the new rate: no re-synch at 9600.
        {"log=v", "Log level set to VERBOSE\n"},
        {"init", "Start initialization ...\nEstablish link to target system on COM1 at 48.0K "
                 "baud ...\n" +
                     ON_LINE + "Read flash tables ...\nFlash tables OK\nInitialization complete\n"},
        {"readram 0 2", Read_Ram(0, {0, 0})},
        {"abort", ""}, // the tables unchanged: no question
    };
}

TEST(DebugCommands, EachCommandReachesTheBoardAndShowsWhatItDid)
{
    const std::vector<std::pair<std::string, std::string>> steps = Debug_Steps();
    std::string typed;
    for (const auto &step : steps) typed += step.first + "\n";
    RIG_RESULT r = Run_Typed("debug\ninit com1\n" + typed);
    std::vector<std::string> out = Line_Outputs(r.out);
    ASSERT_EQ(out.size(), steps.size() + 2) << r.out;
    for (size_t i = 0; i < steps.size(); i++)
        EXPECT_EQ(out[i + 2], steps[i].second) << steps[i].first;

    // After writeram only echo writes: through the work area at 0x20000, 1024 bytes at most.
    std::string writes;
    for (const TRACE_EVENT &e : Events(r.trace, "rx_frame", "write_ram"))
        writes += " " + e.Str("addr") + "+" + e.Str("len");
    EXPECT_EQ(writes.substr(std::min(writes.find(" 4096+8 "), writes.size())),
              " 4096+8 131072+16 131072+16 131072+16 131072+16 131072+16 131072+1024 131072+1024 "
              "131072+1024");
}

// Takes fd's output (CR dropped) into *got until done(); false after ms or at its end.
bool Pump(int fd, std::string *got, const std::function<bool()> &done, int ms = 5000)
{
    char buf[512];
    for (pollfd p{fd, POLLIN, 0}; !done(); ms -= 10) {
        ssize_t n = 0;
        if (ms <= 0 || (poll(&p, 1, 10) > 0 && (n = read(fd, buf, sizeof buf)) <= 0)) return false;
        for (ssize_t i = 0; i < n; i++)
            if (buf[i] != '\r') *got += buf[i];
    }
    return true;
}

// TORVEX on a terminal of its own, the board on COM1, the test as the peer on COM2.
class OnATerminal : public ::testing::Test {
protected:
    BOARD_PROC board;
    std::string out, at_peer; // what TORVEX printed, what reached the peer
    int peer = -1, console = -1, slave = -1;
    pid_t pid = -1;
    const tcflag_t COOKED = ICANON | ECHO;

    void SetUp() override
    {
        std::string err;
        ASSERT_TRUE(Board_Start(&board, {}, &err)) << err;
        peer = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_TRUE(peer >= 0 && grantpt(peer) == 0 && unlockpt(peer) == 0);
        const std::string peer_dev = ptsname(peer);
        pid = forkpty(&console, nullptr, nullptr, nullptr);
        if (pid == 0) {
            unsetenv("FLASHOPT");
            setenv("TORVEX_COM1", board.link.c_str(), 1);
            setenv("TORVEX_COM2", peer_dev.c_str(), 1);
            if (chdir(board.dir.c_str()) == 0)
                execl(TORVEX_BIN_DIR "/torvex", "torvex", (char *)nullptr);
            _exit(127);
        }
        // Held open, it keeps the terminal's settings after the program.
        slave = open(ptsname(console), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    void TearDown() override
    {
        if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0); // the test stopped early
        for (int fd : {slave, console, peer}) close(fd);
        Board_Cleanup(&board);
    }
    void Type(const std::string &keys)
    {
        EXPECT_EQ(write(console, keys.data(), keys.size()), ssize_t(keys.size()));
    }
    bool Shows(int fd, std::string *got, const std::string &want)
    {
        return Pump(fd, got, [got, want] { return got->find(want) != std::string::npos; });
    }
    // The terminal's mode once it is want, or its complement after 5 s.
    tcflag_t Mode(tcflag_t want)
    {
        termios t{};
        auto reached = [&] { return !tcgetattr(slave, &t) && (t.c_lflag & COOKED) == want; };
        return Pump(console, &out, reached) ? want : ~want;
    }
};

// Keys are read raw only while awaited, term raw both ways; SIGTERM puts the terminal back.
TEST_F(OnATerminal, KeyModesTermAndSignalsPutTheTerminalBack)
{
    Type("help\n");
    EXPECT_EQ(Mode(0), 0u);
    kill(pid, SIGINT); // what the terminal makes of ^C
    EXPECT_EQ(Mode(COOKED), COOKED);
    Type("log=v ; debug ; init com1\nterm com2\n");
    ASSERT_TRUE(Shows(console, &out, "Type ESC to exit ...\n\n")) << out;
    EXPECT_EQ(Mode(0), 0u);
    // 100 bytes, a zero at 10: the first piece of 79 prints up to the zero, then the last 21.
    std::string burst;
    for (int i = 0; i < 100; i++) burst += char(i == 10 ? 0 : 'a' + i % 26);
    ASSERT_EQ(write(peer, burst.data(), burst.size()), 100);
    const std::string shown = burst.substr(0, 10) + burst.substr(79);
    EXPECT_TRUE(Shows(console, &out, "\n\n" + shown)) << out;
    Type("hello");
    EXPECT_TRUE(Shows(peer, &at_peer, "hello")) << at_peer;
    Type("\x1b");
    EXPECT_TRUE(Shows(console, &out,
                      shown + "\n\nShutdown VT communications link ...\nInit target comms port\n"
                              "End terminal emulation\n"))
        << out;
    EXPECT_EQ(Mode(COOKED), COOKED);
    Type("readram 0 4\nhelp\n");
    EXPECT_TRUE(Shows(console, &out, Read_Ram(0, Bytes(4, 0)))) << out;
    EXPECT_EQ(Mode(0), 0u);
    kill(pid, SIGTERM);
    int status = -1;
    if (Pump(console, &out, [&] { return waitpid(pid, &status, WNOHANG) == pid; })) pid = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    EXPECT_TRUE(Shows(console, &out, "SIGTERM: ending the session\n")) << out;
    EXPECT_EQ(Mode(COOKED), COOKED);
    at_peer += Read_Fd(peer, 100);
    EXPECT_EQ(at_peer, "hello");
    EXPECT_EQ(out.find("hello"), std::string::npos) << out; // keys not echoed
}

} // namespace
