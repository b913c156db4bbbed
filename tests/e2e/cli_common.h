// Helpers for transcript tests of the interpreter: build the expected output
// of a session piece by piece.
#ifndef CLI_COMMON_H
#define CLI_COMMON_H

#include <string>

#include "run_torvex.h"

// Sign-on and the hint the interactive loop prints before the first prompt.
inline std::string Cli_Start() { return std::string(TORVEX_SIGNON) + "\nType h or ? for help\n\n"; }

inline const std::string PROMPT = "FLASH CMD: ";

// What a typed line that runs one segment prints around the segment's output.
inline std::string Seg(const std::string &output) { return "\n" + output + "\n"; }

// The end of standard input at the prompt.
inline const std::string END_OF_INPUT = PROMPT + "\n";

inline Torvex_Result Run_Lines(const std::string &lines, const std::string &cwd = "",
                               const std::vector<std::string> &args = {},
                               const std::vector<std::pair<std::string, std::string>> &env = {})
{
    Torvex_Run run;
    run.stdin_text = lines;
    run.cwd = cwd;
    run.args = args;
    run.env = env;
    return Run_Torvex(run);
}

inline std::string Options_Report(const std::string &port = "", const std::string &vt_port = "",
                                  const std::string &log = "NORMAL",
                                  const std::string &prompt = "FLASH CMD:")
{
    return "Current Options:\n\n"
           "Addr               = 0x00000000\n"
           "Baud               = 9600\n"
           "Board              = PELLAR/KESTREL\n"
           "File               = \n"
           "Format             = HEX\n"
           "Group              = \n"
           "Log                = " + log + "\n"
           "Name               = \n"
           "Port               = " + port + "\n"
           "Prompt             = " + prompt + "\n"
           "System             = TARGET\n"
           "Vector             = 0000:0000\n"
           "VT Baud            = 9600\n"
           "VT Port            = " + vt_port + "\n"
           "Version            = \n";
}

// The help texts, written out as the user sees them; RULE is one U+2500.
#define RULE "\xE2\x94\x80"
inline std::string Rule_Run(int n)
{
    std::string s;
    for (int i = 0; i < n; i++) s += RULE;
    return s;
}

inline std::string Command_Help()
{
    return "Command     Abbrev/Options                 Description\n" + Rule_Run(10) + "  " +
           Rule_Run(29) + "  " + Rule_Run(35) + "\n" +
    std::string(
    "abort       a                              Abort program (tables not updated!)\n"
    "checkhex    chk <file> [format=x] [addr=x] Display hex file addresses\n"
    "delete      del <name>                     Delete program\n"
    "dir         d                              Display flash directory\n"
    "dos         -                              Shell to DOS\n"
    "exit        e,x,quit,q                     Update tables & exit program\n"
    "help        h,?                            Display commmand/option help\n"
    "init        i   <port> [baud=x]            Init link to target & read tables\n"
    "map         m                              Display flash device map\n"
    "noboot      nb                             Set no boot program\n"
    "options     opt                            Display current options\n"
    "program     pr  <file> [format=x] [addr=x] Program flash memory\n"
    "                [name=x] [gr=x] [ver=x]    \n"
    "reinittbls  rt  <board> [system=x]         Re-initialize flash tables\n"
    "readio      rio <ioport>                   Read IO port on target\n"
    "setboot     sb  <name>                     Set boot program\n"
    "shutdown    sh                             Update tables & shutdown link\n"
    "term        vt  <vtport> [vtbaud=x]        Emulate terminal (VT)\n"
    "writeio     wio <ioport> <value>           Write IO port on target\n"
    "<file>      -                              Execute commands in <file>.FLC\n"
    "//          -                              Comment (rest of line ignored)\n");
}

inline std::string Option_Help()
{
    return "Options   Possible Values  Default        Description\n" + Rule_Run(8) + "  " +
           Rule_Run(15) + "  " + Rule_Run(11) + "    " + Rule_Run(33) + "\n" +
    std::string(
    "addr=     <hex>            0              Set binary file addr\n"
    "baud=     <number>         9600           Set target comms baud rate\n"
    "board=                                    Set target system board\n"
    "file=     <path>           -              Set program file\n"
    "format=   hex|bin          hex            Set file format\n"
    "group=    <str>            -              Set group name\n"
    "log=      terse|normal|    NORMAL         Set logging level\n"
    "          verbose                         \n"
    "name=     <str>            <file>         Set program name\n"
    "port=     com1|2|3|4       -              Set target comms port\n"
    "prompt=   <str>            FLASH CMD:     Set prompt\n"
    "system=   <str>            TARGET         Set target system name\n"
    "vector=   <b:o>|<phys>     -              Set start vector\n"
    "version=  <str>            -              Set program version\n"
    "vtbaud=   <number>         9600           Set terminal emulator baud rate\n"
    "vtport=   com1|2|3|4       -              Set terminal emulator comms port\n"
    ";                                         Command separator on single line\n");
}

inline std::string Debug_Help()
{
    return "Command     Abbrev/Options                 Description\n" + Rule_Run(10) + "  " +
           Rule_Run(29) + "  " + Rule_Run(35) + "\n" +
    std::string(
    "log=        arg|ohrec|ohseg|ohsort|        Set debug logging level\n"
    "            download                       \n"
    "eraseall    -                              Erase all flash blocks (except boot)\n"
    "clrstatus   cs                             Clear comms status\n"
    "systbl      st                             Display system tables\n"
    "status      s                              Display comms status\n"
    "???         -                              Display debug commmand/option help\n"
    "readram     rram   <addr> [size]           Read RAM\n"
    "readio      rio    <port> <size>           Read I/O\n"
    "writeram    wram   <addr> <size> <value>   Write RAM\n"
    "writeio     wio    <port> <size> <value>   Write I/O\n"
    "setram      sram   <addr> <size> <value>   Set RAM\n"
    "copyram     cpram  <dest> <src>  <size>    Copy RAM\n"
    "compram     cmpram <dest> <src>  <size>    Compare RAM\n"
    "wflash      wfl    <type> <base> <blk>     Program flash block\n"
    "                   <dest> <src>  <size>    Program flash block\n"
    "eflash      efl    <type> <base> <blk>     Erase flash block\n"
    "                   <size>                  \n"
    "getid       gid    <base>                  Get flash id\n"
    "echo        -      [size] [count]          Echo data\n"
    "chgbaud     cb     <baud>                  Change baud\n");
}

#endif
