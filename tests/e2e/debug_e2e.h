// Helpers for the debug command transcripts against the virtual board: the
// output of one typed line, the dump layout and the echo score line written
// out independently of the program's own formatting.
#ifndef DEBUG_E2E_H
#define DEBUG_E2E_H

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tables_e2e.h"

namespace debug_e2e {

using namespace tables_e2e;

// What each typed line printed: the text between one prompt and the next,
// without the blank lines the interpreter puts around a segment's output.
// Entry 0 is the first typed line.
inline std::vector<std::string> Line_Outputs(const std::string &out)
{
    std::vector<std::string> lines;
    size_t pos = out.find(PROMPT);
    while (pos != std::string::npos) {
        size_t start = pos + PROMPT.size();
        size_t next = out.find(PROMPT, start);
        std::string text = out.substr(start, next == std::string::npos ? std::string::npos
                                                                       : next - start);
        if (text.size() >= 2 && text.front() == '\n' && text.back() == '\n')
            text = text.substr(1, text.size() - 2);
        lines.push_back(text);
        pos = next;
    }
    return lines;
}

// Lines of 16 bytes: hex columns with a gap after the eighth, then the
// printable characters.
inline std::string Dump(const std::vector<uint8_t> &bytes)
{
    std::string s;
    for (size_t line = 0; line < bytes.size(); line += 16) {
        char cell[8];
        for (size_t col = 0; col < 16; col++) {
            if (line + col < bytes.size()) {
                snprintf(cell, sizeof cell, " %02X", bytes[line + col]);
                s += cell;
            } else {
                s += "   ";
            }
            if (col == 7) s += "  ";
        }
        s += "     ";
        for (size_t col = 0; col < 16; col++) {
            if (line + col >= bytes.size()) {
                s += ' ';
                continue;
            }
            uint8_t b = bytes[line + col];
            s += (b >= 0x21 && b <= 0x7E) ? char(b) : '.';
        }
        s += "\n";
    }
    return s;
}

inline std::string Echo_Score(unsigned long count, unsigned long mismatch, unsigned long errors,
                              unsigned status)
{
    char line[160];
    snprintf(line, sizeof line,
             "\rWrite/Read ...  Count: %-7lu  Mismatch: %-4lu  Errors: %-4lu  Status: %04X  ",
             count, mismatch, errors, status);
    return line;
}

inline std::string Status_Report(unsigned long msgs, unsigned long retry, unsigned long ack,
                                 unsigned long nak, unsigned long spur, unsigned long rx_to,
                                 unsigned long bad)
{
    const char *labels[] = {"Send Msg",    "Send Retry", "Send Rx Flush", "Send Rx Ack",
                            "Send Rx Nak", "Send Rx Spur", "Send No TO",  "Send Rx TO",
                            "Send Total TO", "Send Bad Stat"};
    unsigned long values[] = {msgs, retry, 0, ack, nak, spur, 0, rx_to, 0, bad};
    std::string s = "Comms Status:\n\n";
    for (int i = 0; i < 10; i++) {
        char row[80];
        snprintf(row, sizeof row, "%-18s = %8lu\n", labels[i], values[i]);
        s += row;
    }
    return s;
}

// The counter of one row of the last status report in the text.
inline long Status_Counter(const std::string &out, const std::string &label)
{
    size_t pos = out.rfind(label + std::string(18 - label.size(), ' ') + " = ");
    if (pos == std::string::npos) return -1;
    return strtol(out.c_str() + pos + 21, nullptr, 10);
}

const std::string INIT_OK =
    Init_Lines() + ON_LINE + "Flash tables OK\nInitialization complete\n";
const std::string DEBUG_ON = "Debug commands ENABLED\n";

// A board whose tables are valid, so init completes and exit writes nothing.
inline RIG_RESULT Debug_Session(const std::string &lines, int board = 3,
                                const std::vector<std::string> &board_args = {})
{
    std::vector<std::string> args = board_args;
    args.push_back("--board");
    args.push_back(std::to_string(board));
    return Session("debug\ninit com1\n" + lines, args, Image_With(board, Fresh_Tables(board)));
}

}  // namespace debug_e2e

#endif
