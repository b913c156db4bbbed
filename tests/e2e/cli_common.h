// Helpers for transcript tests of the interpreter: build the expected output
// of a session piece by piece.
#ifndef CLI_COMMON_H
#define CLI_COMMON_H

#include <map>
#include <string>

#include "run_torvex.h"

// Sign-on and the hint the interactive loop prints before the first prompt.
inline std::string Cli_Start() { return std::string(TORVEX_SIGNON) + "\nType h or ? for help\n\n"; }

// The prompt, and what end of standard input at the prompt prints.
inline const std::string PROMPT = "FLASH CMD: ", END_OF_INPUT = PROMPT + "\n";

// What a typed line that runs one segment prints around the segment's output.
inline std::string Seg(const std::string &output) { return "\n" + output + "\n"; }

inline Torvex_Result Run_Lines(const std::string &lines, const std::string &cwd = "",
                               const std::vector<std::string> &args = {},
                               const std::vector<std::pair<std::string, std::string>> &env = {})
{
    Torvex_Run run;
    run.stdin_text = lines, run.args = args, run.env = env, run.cwd = cwd;
    return Run_Torvex(run);
}

// The options display with the given rows changed from their start-up values.
inline std::string Options_Report(const std::map<std::string, std::string> &changed = {})
{
    static const char *const rows[][2] = {
        {"Addr", "0x00000000"}, {"Baud", "9600"}, {"Board", "PELLAR/KESTREL"}, {"File", ""}, {"Format", "HEX"},
        {"Group", ""}, {"Log", "NORMAL"}, {"Name", ""}, {"Port", ""}, {"Prompt", "FLASH CMD:"}, {"System", "TARGET"},
        {"Vector", "0000:0000"}, {"VT Baud", "9600"}, {"VT Port", ""}, {"Version", ""}, {"Verify", "OFF"}};
    std::string s = "Current Options:\n\n";
    for (const auto &row : rows) {
        auto it = changed.find(row[0]);
        s += (row[0] + std::string(18, ' ')).substr(0, 18) + " = " + (it == changed.end() ? row[1] : it->second) + "\n";
    }
    return s;
}

// A run of n rule characters (U+2500) as the help texts print them.
inline std::string Rule_Run(int n) { std::string s; while (n-- > 0) s += "\xE2\x94\x80"; return s; }

#endif
