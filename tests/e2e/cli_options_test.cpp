// Transcripts of the options: checks, stored values, confirmations, and the
// order FLASHOPT, command line, prompt.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "cli_common.h"

namespace {

std::string Replace(std::string s, const std::string &from, const std::string &to)
{
    size_t at = s.find(from);
    if (at != std::string::npos) s.replace(at, from.size(), to);
    return s;
}

std::string Session(const std::vector<std::pair<std::string, std::string>> &steps)
{
    std::string out = Cli_Start();
    for (const auto &step : steps) out += PROMPT + Seg(step.second);
    return out + END_OF_INPUT;
}

std::string Input(const std::vector<std::pair<std::string, std::string>> &steps)
{
    std::string in;
    for (const auto &step : steps) in += step.first + "\n";
    return in;
}

void Expect_Session(const std::vector<std::pair<std::string, std::string>> &steps,
                    const std::string &cwd = "")
{
    auto r = Run_Lines(Input(steps), cwd);
    EXPECT_EQ(r.out, Session(steps));
    EXPECT_EQ(r.exit_code, 0);
}

const std::string BAD_PORT = "Invalid port name!  Type com1, com2, com3, or com4\n";

TEST(CliOptions, PortThenTerminalPort)
{
    Expect_Session({
        {"port=com2", "Port set to COM2\nVT Port set to COM2\n"},
        {"port=com1", "Port set to COM1\n"},
        {"port=com5", BAD_PORT},
        {"port=1", BAD_PORT},
        {"port=nocomms", "Port set to NOCOMMS\n"},
        {"vtport=com4", "VT Port set to COM4\n"},
        {"vtport=lpt1", "Invalid VT port name!  Type com1, com2, com3, or com4\n"},
        {"options", Options_Report("NOCOMMS", "COM4")},
    });
}

TEST(CliOptions, BaudRates)
{
    const std::string bad_rate = "Invalid baud rate!  Enter 300 to 115200\n";
    const std::string bad_chars = "Invalid characters in baud rate!\n";
    Expect_Session({
        {"baud=19200", "Baud rate set to 19200\n"},
        {"baud=19.2k", bad_rate},
        {"baud=fast", bad_chars},
        {"baud=-9600", bad_chars},
        {"baud=115200x", "Baud rate set to 115200\n"},
        {"baud=99999999999999999999", bad_rate},
        {"baud=4294977896", bad_rate},
        {"vtbaud=300", "VT baud rate set to 300\n"},
        {"vtbaud=0", "Invalid VT baud rate!  Enter 300 to 115200\n"},
        {"vtbaud=x", bad_chars},
        {"options", Replace(Replace(Options_Report(), "Baud               = 9600",
                                    "Baud               = 115200"),
                            "VT Baud            = 9600", "VT Baud            = 300")},
    });
}

TEST(CliOptions, NameVersionGroupLimits)
{
    Expect_Session({
        {"name=abcdefgh", "Program name set to ABCDEFGH\n"},
        {"name=abcdefghi", "Program name too long!\n"},
        {"ver=1.2.3", "Program version set to 1.2.3\n"},
        {"version=1.2.34", "Program version too long!\n"},
        {"gr=0123456789", "Group name set to 0123456789\n"},
        {"group=0123456789a", "Group name too long!\n"},
        {"options", Replace(Replace(Replace(Options_Report(), "Group              = ",
                                            "Group              = 0123456789"),
                                    "Name               = ", "Name               = ABCDEFGH"),
                            "Version            = ", "Version            = 1.2.3")},
    });
}

TEST(CliOptions, FileChoosesHexOrBinAndSetsTheName)
{
    Scratch_Dir dir;
    for (const char *f : {"app.hex", "app.bin", "app.dat", "verylongname.hex", "Tool.HEX"})
        dir.write(f, "x");
    ASSERT_EQ(mkdir(dir.file("tool").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("Sub").c_str(), 0755), 0);
    dir.write("Sub/prog.Hex", "x");
    Expect_Session({
        {"file=app", "File format set to HEX\nProgram file set to APP.HEX\nProgram name set to APP\n"},
        {"format=bin", "File format set to BIN\n"},
        {"file=app", "File format set to BIN\nProgram file set to APP.BIN\nProgram name set to APP\n"},
        {"file=app.dat", "Program file set to APP.DAT\nProgram name set to APP\n"},
        {"file=missing.dat", "File MISSING.DAT not found!\n"},
        {"file=nothing", "File NOTHING.HEX or NOTHING.BIN not found!\n"},
        {"file=verylongname",
         "File format set to HEX\nProgram file set to VERYLONGNAME.HEX\nProgram name too long!\n"},
        {"file=tool", "File format set to HEX\nProgram file set to TOOL.HEX\nProgram name set to TOOL\n"},
        {"file=sub/prog", "File format set to HEX\nProgram file set to SUB/PROG.HEX\n"
                          "Program name set to PROG\n"},
        {"file=./sub/../app.dat", "Program file set to ./SUB/../APP.DAT\nProgram name set to APP\n"},
    }, dir.path());
}

TEST(CliOptions, LogFlagsCombineAndClear)
{
    Expect_Session({
        {"log=ohseg", "Log level set to DEBUG OHSEG\n"},
        {"options", Options_Report("", "", "DEBUG OHSEG")},
        {"log=ohrec", "Log level set to DEBUG OHREC OHSEG\n"},
        {"log=download", "Log level set to DEBUG OHREC OHSEG DOWNLOAD\n"},
        {"log=n", "Log level set to NORMAL\n"},
        {"log=verb", "Invalid log level!  Type terse, normal, or verbose\n"},
        {"log=v", "Log level set to VERBOSE\n"},
        {"log=debug", "Log level set to DEBUG\n"},
        {"log=normal", "Log level set to NORMAL\n"},
    });
}

TEST(CliOptions, ArgThenOhsegKeepsBoth)
{
    auto r = Run_Lines("log=arg\nlog=ohseg\n");
    EXPECT_EQ(r.out, Cli_Start() + PROMPT + Seg("Log level set to DEBUG ARG\n") + PROMPT +
                     "Input line = 'LOG=OHSEG'\nInput #args = 1\nInput arg #0 = 'LOG=OHSEG'\n\n"
                     "Cmd input = 'LOG=OHSEG'\nCmd #args = 1\n"
                     "Cmd arg #0 = 'LOG=OHSEG', name = 'LOG', value = 'OHSEG'\n"
                     "Log level set to DEBUG ARG OHSEG\n\n" + END_OF_INPUT);
}

TEST(CliOptions, PromptFormatAddr)
{
    auto r = Run_Lines("prompt=ready>\nformat=bin\nformat=elf\nformat=hex\naddr=8000\naddr=g\n"
                       "addr=0x1f\naddr=123456789\n");
    const std::string p = "READY> ";
    EXPECT_EQ(r.out, Cli_Start() + PROMPT + Seg("Prompt set to READY>\n") +
                     p + Seg("File format set to BIN\n") +
                     p + Seg("Invalid file format!\n") +
                     p + Seg("File format set to HEX\n") +
                     p + Seg("Address set to 0x00008000\n") +
                     p + Seg("Invalid hex characters in address!\n") +
                     p + Seg("Address set to 0x0000001F\n") +
                     p + Seg("Address too large!  Enter 0 to FFFFFFFF\n") +
                     p + "\n");
}

TEST(CliOptions, EnvironmentThenCommandLineThenPrompt)
{
    auto r = Run_Lines("options\n", "", {"baud=38400", "options"},
                       {{"FLASHOPT", "port=com2 baud=19200"}});
    std::string report = Replace(Options_Report("COM2", "COM2"), "Baud               = 9600",
                                 "Baud               = 38400");
    EXPECT_EQ(r.out, std::string(TORVEX_SIGNON) +
                     "Process environment variable FLASHOPT ...\n" +
                     Seg("Port set to COM2\nVT Port set to COM2\nBaud rate set to 19200\n") +
                     "Process command line parameters ...\n" +
                     Seg("Baud rate set to 38400\n" + report) +
                     "\nType h or ? for help\n\n" + PROMPT + Seg(report) + END_OF_INPUT);
}

TEST(CliOptions, EmptyFlashoptDoesNothing)
{
    auto r = Run_Lines("", "", {}, {{"FLASHOPT", ""}});
    EXPECT_EQ(r.out, std::string(TORVEX_SIGNON) + "Process environment variable FLASHOPT ...\n" +
                     "\nType h or ? for help\n\n" + END_OF_INPUT);
}

}  // namespace
