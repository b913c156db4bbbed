// Whole transcripts of the interpreter driven through its standard input,
// FLASHOPT and arguments: line parser, dispatcher, options, command files,
// help; then on a real terminal, and with the board on-line.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "board_rig.h"
#include "cli_common.h"

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;
// A typed line and what it prints up to the next prompt; unless raw, that is
// one segment's output.
struct Step { std::string line, out; bool raw = false; };

const std::string NOT_ONLINE = "Target system not on-line!\n", NAME_MISSING = "Command/option name not specified!\n";
const std::string BAD_PORT = "Invalid port name!  Type com1, com2, com3, or com4\n";
const std::string BAD_RATE = "Invalid baud rate!  Enter 300 to 115200\n", BAD_CHARS = "Invalid characters in baud rate!\n";
const std::string HINT = "\nType h or ? for help\n\n", FROM_ARGS = "Process command line parameters ...\n";
const std::string DEBUG_HINT = "Type debug to enable the debug commands, then debug or ??? to list them.\n";
const std::string FROM_ENV = std::string(TORVEX_SIGNON) + "Process environment variable FLASHOPT ...\n";

std::string Processing(const std::string &path) { return "Process " + path + " flash command file ...\n"; }

// Unless said otherwise a command fails in the session: its exit status is 1.
void Expect_Session(const std::vector<Step> &steps, const std::string &cwd = "", const Env &env = {},
                    const std::string &end = END_OF_INPUT, int status = 1)
{
    std::string in, want = Cli_Start();
    for (const Step &s : steps) in += s.line + "\n", want += PROMPT + (s.raw ? s.out : Seg(s.out));
    auto r = Run_Lines(in, cwd, {}, env);
    EXPECT_EQ(r.out, want + end);
    EXPECT_EQ(r.exit_code, status);
}

// Words, command files in place of unknown words, debug words, off-line refusals, a port that
// will not open (the ports present listed), segments, comments, last the ARG trace of 20 words.
TEST(CliSession, DispatchParseAndTrace)
{
    Scratch_Dir dir;
    dir.write("ReadRam.flc", "gr=fromfile");
    const std::string by_id = dir.file("dev/serial/by-id/usb-Board_UART-if00"), none = dir.file("none");
    ASSERT_TRUE(std::filesystem::create_directories(dir.file("dev/serial/by-id")) && !symlink("../../ttyUSB0", by_id.c_str()));
    dir.write("dev/ttyUSB0", "");
    dir.write("shell.sh", "#!/bin/sh\necho in the shell\n");
    ASSERT_EQ(chmod(dir.file("shell.sh").c_str(), 0755), 0);
    std::string words = "options", trace = "Cmd arg #0 = 'OPTIONS', name = 'OPTIONS', value = ''\n";
    for (int i = 1; i <= 20; i++) words += " " + std::to_string(i);   // the 21st is never seen
    for (int i = 1; i <= 19; i++)
        trace += "Cmd arg #" + std::to_string(i) + " = '" + std::to_string(i) + "', name = '" + std::to_string(i) + "', value = ''\n";
    const std::string up = "OPTIONS" + words.substr(7);
    std::vector<Step> steps = {
        {"nosuch", "Invalid command/option NOSUCH!\n"}, {"dri", "Invalid command/option DRI!\nDid you mean DIR?\n"},
        {"prot=com1 x", "Invalid command/option PROT!\nDid you mean PORT?\n"}, {"z", "Invalid command/option Z!\n"},
        {"readram 0 10", Seg(Processing("READRAM.FLC")) + "READRAM.FLC CMD: gr=fromfile\n" +
                             Seg("Group name set to FROMFILE\n"), true},
        {"eraseall", "Invalid command/option ERASEALL!\n"}, {"???", "Debug commands ENABLED\n"}, {"eraseall", NOT_ONLINE},
        {"init", "Target comms port not specified!\n"},
        {"init com2 baud=fast", "Port set to COM2\nVT Port set to COM2\n" + BAD_CHARS},
        {"chk app.dat", "File APP.DAT not found!\n"}, {"dos", "Type EXIT to return to TORVEX program ...\nin the shell\n"}};
    steps.push_back({"map;options", NOT_ONLINE + "Not run: OPTIONS\n"});
    for (const char *line : {"dir", "program app", "sb app", "del app", "nb", "sh", "rt pellar",
                             "system=abc", "board=pellar", "vector=f000:fff0"})
        steps.push_back({line, NOT_ONLINE});
    const std::string report = Options_Report({{"Port", "COM2"}, {"VT Port", "COM2"}, {"Group", "FROMFILE"}});
    steps.insert(steps.end(), {
        {"options;", Seg(report) + "\n", true}, {";options", "\n" + Seg(report), true},
        {"options; ", Seg(report) + NAME_MISSING + "\n", true}, {"// nothing here", "\n\n", true}, {"", "", true},
        {"gr=x // a comment; port=com1", "Group name set to X\n"},
        {"init com3", "Port set to COM3\nEstablish link to target system on COM3 at 9600 baud ...\nCOM3 is " + none +
                          ": No such file or directory\nSerial ports present:\n  " + by_id + " -> " + dir.file("dev/ttyUSB0") +
                          "\nset TORVEX_COM3=" + by_id + " and start TORVEX again\n\nOperation FAILED!  Couldn't open COM\n\n"},
        {"port=com1 port=com9 ; gr=y", "Port set to COM1\n" + BAD_PORT + "Not run: GR=Y\n"}, {"port", "Option PORT value not specified!\n"},
        {"gr=a = options", "Group name set to A\n" + NAME_MISSING}, {"log=arg", "Log level set to DEBUG ARG\n"},
        {" ", "Input line = ' '\nInput #args = 1\nInput arg #0 = ' '\n\nCmd input = ' '\nCmd #args = 65535\n" + NAME_MISSING + "\n", true},
        {"port+com3 name=a=b;=x",
         "Input line = 'PORT+COM3 NAME=A=B;=X'\nInput #args = 2\nInput arg #0 = 'PORT+COM3 NAME=A=B'\nInput arg #1 = '=X'\n"
         "\nCmd input = 'PORT+COM3 NAME=A=B'\nCmd #args = 2\nCmd arg #0 = 'PORT+COM3', name = 'PORT', value = 'COM3'\n"
         "Cmd arg #1 = 'NAME=A=B', name = 'NAME', value = 'A=B'\nPort set to COM3\nProgram name set to A=B\n"
         "\nCmd input = '=X'\nCmd #args = 1\nCmd arg #0 = '=X', name = '', value = 'X'\n" + NAME_MISSING + "\n", true},
        {words, "Input line = '" + up + "'\nInput #args = 1\nInput arg #0 = '" + up + "'\n\nCmd input = '" + up +
                    "'\nCmd #args = 20\n" + trace + Options_Report({{"Group", "A"}, {"Log", "DEBUG ARG"},
                    {"Name", "A=B"}, {"Port", "COM3"}, {"VT Port", "COM2"}}) + "\n", true}});
    Expect_Session(steps, dir.path(), {{"SHELL", dir.file("shell.sh")}, {"TORVEX_COM3", none}, {"TORVEX_DEV_DIR", dir.file("dev")}});
}

// Refused lines run none of their segments; lines just within the limits run;
// typed control characters and key sequences are dropped, a tab is a blank.
TEST(CliParser, LinesThatDoNotFitAreRefusedWhole)
{
    const std::string p72(72, 'B'), c75(75, 'C');
    Expect_Session({
        {"port=com1;prompt=" + std::string(238, 'A'), "Input line longer than 254 characters, line ignored!\n", true},
        {"port=com1" + std::string(20, ';'), "More than 20 commands in one line, line ignored!\n", true},
        {"port=com1;prompt=" + std::string(73, 'B'), "Command longer than 79 characters, line ignored!\n", true},
        {"port=com1;" + std::string(76, 'C'), "Command name longer than 75 characters, line ignored!\n", true},
        {"port=com1" + std::string(19, ';'), Seg("Port set to COM1\nVT Port set to COM1\n") + std::string(19, '\n'), true},
        {c75, "Invalid command/option " + c75 + "!\n"}, {"port=com3\r", "Port set to COM3\n"},
        {"\x1b[Ad\x1bi\x01r\t\xff\x7f", NOT_ONLINE}, {"prompt=" + std::string(72, 'b'), "Prompt set to " + p72 + "\n"},
    }, "", {}, p72 + " \n");

    auto r = Run_Lines("options\n", "", std::vector<std::string>(30, "port=com2"), {{"FLASHOPT", std::string(255, ';')}});
    EXPECT_EQ(r.out, FROM_ENV + "FLASHOPT longer than 254 characters, line ignored!\n" + FROM_ARGS +
                     "Command line longer than 254 characters, line ignored!\n" + HINT + PROMPT +
                     Seg(Options_Report()) + END_OF_INPUT);
}

TEST(CliDispatch, EveryExitWordEndsButTheRestOfItsLineRuns)
{
    for (const char *word : {"q", "x", "e", "quit", "exit", "EXIT", "a", "abort"}) {
        auto r = Run_Lines(std::string(word) + " options ; gr=after\noptions\n");
        EXPECT_EQ(r.out, Cli_Start() + PROMPT + "\n\nGroup name set to AFTER\n\n") << word;
        EXPECT_EQ(r.exit_code, 0) << word;
    }
}

TEST(CliOptions, ChecksValuesAndConfirmations)
{
    Scratch_Dir dir;
    for (const char *d : {"tool", "Sub"}) ASSERT_EQ(mkdir(dir.file(d).c_str(), 0755), 0);
    for (const char *f : {"app.hex", "app.bin", "Tool.HEX", "Sub/prog.Hex"}) dir.write(f, "x");
    const std::string hex = "File format set to HEX\n";
    Expect_Session({
        {"port=com2", "Port set to COM2\nVT Port set to COM2\n"}, {"port=com1", "Port set to COM1\n"},
        {"port=com5", BAD_PORT}, {"port=nocomms", "Port set to NOCOMMS\n"}, {"vtport=com4", "VT Port set to COM4\n"},
        {"baud=19200", "Baud rate set to 19200\n"}, {"baud=19.2k", BAD_RATE}, {"baud=fast", BAD_CHARS},
        {"baud=115200x", "Baud rate set to 115200\n"}, {"baud=4294977896", BAD_RATE}, {"vtbaud=300", "VT baud rate set to 300\n"},
        {"file=nothing", "File NOTHING.HEX or NOTHING.BIN not found!\n"},
        {"file=app", hex + "Program file set to APP.HEX\nProgram name set to APP\n"}, {"format=bin", "File format set to BIN\n"},
        {"file=app", "File format set to BIN\nProgram file set to APP.BIN\nProgram name set to APP\n"},
        {"file=tool", hex + "Program file set to TOOL.HEX\nProgram name set to TOOL\n"},
        {"file=sub/prog", hex + "Program file set to SUB/PROG.HEX\nProgram name set to PROG\n"},
        {"name=abcdefgh", "Program name set to ABCDEFGH\n"}, {"name=abcdefghi", "Program name too long!\n"},
        {"ver=1.2.3", "Program version set to 1.2.3\n"}, {"version=1.2.34", "Program version too long!\n"},
        {"gr=0123456789", "Group name set to 0123456789\n"}, {"group=0123456789a", "Group name too long!\n"},
        {"format=elf", "Invalid file format!\n"}, {"addr=8000", "Address set to 0x00008000\n"},
        {"addr=g", "Invalid hex characters in address!\n"}, {"addr=0x1f", "Address set to 0x0000001F\n"},
        {"addr=123456789", "Address too large!  Enter 0 to FFFFFFFF\n"},
        {"log=ohrec", "Log level set to DEBUG OHREC\n"}, {"log=download", "Log level set to DEBUG OHREC DOWNLOAD\n"},
        {"log=debug", "Log level set to DEBUG\n"}, {"log=verb", "Invalid log level!  Type terse, normal, or verbose\n"},
        {"log=n", "Log level set to NORMAL\n"}, {"log=ohseg", "Log level set to DEBUG OHSEG\n"},
        {"options", Options_Report({{"Addr", "0x0000001F"}, {"Baud", "115200"}, {"File", "SUB/PROG.HEX"},
                                    {"Group", "0123456789"}, {"Log", "DEBUG OHSEG"}, {"Name", "ABCDEFGH"},
                                    {"Port", "NOCOMMS"}, {"VT Baud", "300"}, {"VT Port", "COM4"}, {"Version", "1.2.3"}})},
        {"prompt=ready>", "Prompt set to READY>\n"},
    }, dir.path(), {}, "READY> \n");
}

// Echo at NORMAL not at TERSE, CR LF and no last newline, chaining, exit inside
// a file, over-long file lines refused whole, a file naming itself ended by
// Esc; temporary files cleared, others kept.
TEST(CliCmdFile, EchoChainingExitAndLongLines)
{
    Scratch_Dir dir;
    std::string line = "gr=x // " + std::string(297, 'a');
    for (const auto &f : Env{{"setup.flc", "gr=one\r\n\nver=2"}, {"first.flc", "gr=a1\nsecond\nname=never\n"},
                             {"second.flc", "name=fromb\nnosuch\n"}, {"long.flc", line + "\ngr=ok\n"},
                             {"run.flc", "gr=x\nexit\nname=never\n"}, {"loop.flc", "loop\n"}, {"old.~~~", ""}, {"keep.~~", ""}})
        dir.write(f.first, f.second);
    Expect_Session({
        {"setup", Seg(Processing("SETUP.FLC")) + "SETUP.FLC CMD: gr=one\n" + Seg("Group name set to ONE\n") +
                      "SETUP.FLC CMD: \nSETUP.FLC CMD: ver=2\n" + Seg("Program version set to 2\n"), true},
        {"first", Seg(Processing("FIRST.FLC")) + "FIRST.FLC CMD: gr=a1\n" + Seg("Group name set to A1\n") +
                      "FIRST.FLC CMD: second\n" + Seg(Processing("SECOND.FLC")) + "SECOND.FLC CMD: name=fromb\n" +
                      Seg("Program name set to FROMB\n") + "SECOND.FLC CMD: nosuch\n" +
                      Seg("Invalid command/option NOSUCH!\n"), true},
        {"long", Seg(Processing("LONG.FLC")) + "LONG.FLC line longer than 254 characters, line ignored!\n"
                     "LONG.FLC CMD: gr=ok\n" + Seg("Group name set to OK\n"), true},
        {"loop\n\x1b" "gr=b", Seg(Processing("LOOP.FLC")) + "\nCommand file LOOP.FLC stopped\n" + PROMPT +
                                   Seg("Group name set to B\n"), true},
        {"log=t", "Log level set to TERSE\n"},
        {"setup", Seg("") + Seg("Group name set to ONE\n") + Seg("Program version set to 2\n"), true},
        {"run\nnever read", Seg("") + Seg("Group name set to X\n") + Seg(""), true},
    }, dir.path(), {}, "");
    EXPECT_TRUE(!dir.exists("old.~~~") && dir.exists("keep.~~"));
}

// FLASHOPT, then the command line, then a file either named, then the prompt.
TEST(CliCmdFile, StartUpOrderAndExitBeforeThePrompt)
{
    Scratch_Dir dir;
    dir.write("setup.flc", "gr=early\n");
    auto r = Run_Lines("options\n", dir.path(), {"baud=38400", "options"}, {{"FLASHOPT", "port=com2 baud=19200;setup"}});
    std::map<std::string, std::string> set = {{"Port", "COM2"}, {"VT Port", "COM2"}, {"Baud", "38400"}};
    std::string early = Options_Report(set);
    set["Group"] = "EARLY";
    EXPECT_EQ(r.out, FROM_ENV + "\nPort set to COM2\nVT Port set to COM2\nBaud rate set to 19200\n\n" +
                     Processing("SETUP.FLC") + "\n" + FROM_ARGS + Seg("Baud rate set to 38400\n" + early) + HINT +
                     "SETUP.FLC CMD: gr=early\n" + Seg("Group name set to EARLY\n") + PROMPT +
                     Seg(Options_Report(set)) + END_OF_INPUT);

    auto exits = Run_Lines("options\n", dir.path(), {"setup", ";", "exit"}, {{"FLASHOPT", "prompt=env ; exit"}});
    EXPECT_EQ(exits.out, FROM_ENV + "\nPrompt set to ENV\n\n\n" + FROM_ARGS + Seg(Processing("SETUP.FLC")) + "\n" + HINT);

    dir.write("app.hex", ":0400000001020304F2\n:00000001FF\n");   // checkhex puts the log level back
    auto chk = Run_Lines("checkhex app\noptions\n", dir.path());
    EXPECT_NE(chk.out.find(Seg(Options_Report({{"File", "APP.HEX"}, {"Name", "APP"}})) + END_OF_INPUT), std::string::npos);
}

// The help texts from the command line: no question; checked by their headings
// with the rule lines and rows as typed.
TEST(CliHelp, AsksOnlyAtThePrompt)
{
    const std::string o = Run_Lines("", "", {"help;???;???;q"}).out;
    const std::string head = "Command     Abbrev/Options                 Description\n";
    size_t c = std::string(TORVEX_SIGNON).size() + FROM_ARGS.size() + 1, p = o.find("Options   Possible"), d = o.find(head, p);
    ASSERT_TRUE(o.size() > c && p < d && d < o.size()) << o;
    const std::string cmd = o.substr(c, p - c - 1), opt = o.substr(p, o.find("\n\n", p) + 1 - p);
    const std::string dbg = o.substr(d, o.size() - d - 2 - HINT.size());
    const std::string rule = Rule_Run(10) + "  " + Rule_Run(29) + "  " + Rule_Run(35) + "\n";
    EXPECT_EQ(o, TORVEX_SIGNON + FROM_ARGS + Seg(cmd + "\n" + opt) + "Debug commands ENABLED\n\n" + dbg + "\n\n" + HINT);
    const std::pair<std::string, std::string> texts[] = {
        {cmd, head + rule + "abort       a                              Abort program (tables not updated!)\n"},
        {cmd, "help        h,?                            Display commmand/option help\n"},
        {opt, "Options   Possible Values  Default        Description\n" + Rule_Run(8) + "  " + Rule_Run(15) + "  " +
                  Rule_Run(11) + "    " + Rule_Run(33) + "\naddr=     <hex>            0              Set binary file addr\n"},
        {dbg, head + rule + "log=        arg|ohrec|ohseg|ohsort|        Set debug logging level\n"},
        // Continuation rows without a description are padded up to its column.
        {cmd, "program     pr  <file> [format=x] [addr=x] Program flash memory\n" + std::string(16, ' ') +
                  "[name=x] [gr=x] [ver=x]    \nreinittbls  rt  <board> [system=x]         Re-initialize flash tables\n"},
        {opt, "\n          verbose" + std::string(25, ' ') + "\nname=     <str>            <file>         Set program name\n"},
        {opt, "Command separator on single line\n" + DEBUG_HINT},   // the last line of help
        {dbg, "\n" + std::string(19, ' ') + "<dest> <src>  <size>    Program flash block\n"},
        {dbg, "\n" + std::string(19, ' ') + "<size>" + std::string(18, ' ') + "\ngetid       gid    <base>"}};
    for (const auto &t : texts) EXPECT_NE(t.first.find(t.second), std::string::npos) << t.second;

    // From a script the answer is the whole next line (y, yes: yes; n, no,
    // ESC: no; anything else, a command or the end of input too: the default),
    // and the answer taken is shown.
    const std::string q = "\nDisplay command options? [y]: ";
    Expect_Session({{"help\nn", cmd + q + "n\n" + DEBUG_HINT}, {"h\nYES", cmd + q + "y\n\n" + opt},
                    {"?\ngr=x", cmd + q + "y\n\n" + opt}, {"help\n\x1b" "gr=y", cmd + q + "n\n" + DEBUG_HINT},
                    {"help", cmd + q + "y\n\n" + opt}}, "", {}, END_OF_INPUT, 0);
}

// TORVEX on a pseudo-terminal: lines in canonical mode, key reads in
// non-canonical no-echo mode only while they wait. Ctrl-C at a question
// answers no and the session goes on; SIGTERM there ends the session with
// status 2; the terminal is put back either way.
TEST(Terminal, KeyReadsSwitchModeOnlyWhileTheyWaitAndSignalsRestoreIt)
{
    const tcflag_t COOKED = ICANON | ECHO;
    for (int sig : {SIGTERM, SIGINT}) {
        Scratch_Dir dir;
        // Close-on-exec: a program holding its own console's master would never see
        // end of input and outlive a failed test.
        int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
        const std::string name = ptsname(master);
        int slave = open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);   // keeps the settings after the program
        pid_t pid = fork();
        if (pid == 0) {
            setsid();
            int fd = open(name.c_str(), O_RDWR);   // becomes the controlling terminal
            dup2(fd, 0), dup2(fd, 1), dup2(fd, 2);
            unsetenv("FLASHOPT");
            if (chdir(dir.path().c_str()) == 0) execl(TORVEX_BIN_DIR "/torvex", "torvex", (char *)nullptr);
            _exit(127);
        }
        // Waits (5 s at most) for the terminal to reach `want`, or the program
        // to end, taking what it prints meanwhile.
        int status = -1;
        auto flags = [&](tcflag_t want, bool end = false) {
            struct termios t {};
            for (int i = 0; i < 1000 && (end ? waitpid(pid, &status, WNOHANG) == 0
                                             : tcgetattr(slave, &t) != 0 || (t.c_lflag & COOKED) != want); i++) {
                struct pollfd p {master, POLLIN, 0};
                char buf[1024];
                if (poll(&p, 1, 5) > 0 && read(master, buf, sizeof buf) < 0) break;
            }
            return tcgetattr(slave, &t) == 0 ? t.c_lflag & COOKED : 1u;
        };
        ASSERT_EQ(write(master, "help\n", 5), 5);
        EXPECT_EQ(flags(0), 0u);   // waiting for the key
        // The terminal makes ^C a SIGINT.
        EXPECT_TRUE(sig == SIGINT ? write(master, "\x03", 1) == 1 : kill(pid, sig) == 0);
        EXPECT_EQ(flags(COOKED), COOKED);
        EXPECT_TRUE(sig != SIGINT || write(master, "q\n", 2) == 2);
        EXPECT_EQ(flags(COOKED, true), COOKED);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == (sig == SIGINT ? 0 : 2)) << status;
        if (status == -1) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        close(slave), close(master);
    }
}

// With the board on-line, end of input and exit shut the link down; a command
// after exit on its line runs, and a link it brings up is shut down again.
const std::string SHUTDOWN = "Start shutdown ...\nUpdate flash tables ...\nFlash tables OK\nShutdown complete\n";

// The session's output, checked to end with `tail` after `shutdowns` shutdown requests.
std::string Run_Online(const std::string &lines, int shutdowns, const std::string &tail)
{
    RIG_SETUP s;
    s.files["app.hex"] = Read_Source_File("examples/hello.hex");
    s.stdin_text = lines;
    RIG_RESULT r = Run_Session(s);
    // The blank board's tables are rebuilt: the init fails, and so the run.
    EXPECT_TRUE(r.started && !r.timed_out && r.exit_code == 1 && r.link_restored) << r.error << r.out;
    for (const TRACE_EVENT &e : Events(r.trace, "rx_frame")) shutdowns -= e.Str("name") == "shutdown";
    EXPECT_EQ(shutdowns, 0) << r.out;
    EXPECT_TRUE(r.out.size() >= tail.size() && r.out.substr(r.out.size() - tail.size()) == tail) << r.out;
    return r.out;
}

// A command among program's arguments runs before the download and ends the
// nested words: the group is never set to LATE; one that takes the link down
// leaves program refused. A vector set shows in the options.
TEST(CliBoard, NestedCommandRunsFirstAndExitLeavesTheLinkDown)
{
    std::string out = Run_Online("init com1\nprogram app dir gr=late\nvector=f000:fff0 ; options\n"
                                 "program app shutdown\nexit ; gr=after ; init com1\noptions\n", 2,
                                 "FLASH CMD: \nFile format set to HEX\nProgram file set to APP.HEX\nProgram name set to APP\n" +
                                 SHUTDOWN + "Target system not on-line!\n\nFLASH CMD: \n\nGroup name set to AFTER\n\nPort set to COM1\n"
                                 "Establish link to target system on COM1 at 9600 baud ...\n"
                                 "Target system on-line (id = 1, version = 2.51)\nFlash tables OK\n"
                                 "Initialization complete\n\nStart shutdown ...\nShutdown complete\n");
    size_t file = out.find("Program file set to APP.HEX\nProgram name set to APP\n");
    size_t dir = out.find("Name      Group       Ver    Date/Time", file);
    EXPECT_TRUE(file != std::string::npos && dir != std::string::npos && out.find("Download ...", dir) != std::string::npos);
    EXPECT_EQ(out.find("Group name set to LATE"), std::string::npos);
    EXPECT_NE(out.find(Seg("Program APP start vector set to F000:FFF0\n") +
                       Options_Report({{"Board", "PELLAR"}, {"File", "APP.HEX"}, {"Name", "APP"}, {"Port", "COM1"},
                                       {"VT Port", "COM1"}, {"Vector", "F000:FFF0"}})), std::string::npos);
}

}  // namespace
