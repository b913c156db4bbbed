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

#endif
