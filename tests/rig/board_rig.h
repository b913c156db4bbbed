// End-to-end rig: torvex-target on a private link, torvex in <dir>/work with TORVEX_COM1 at it.
// TORVEX_RIG_KEEP=1 keeps the scratch directories for a look afterwards.
#ifndef BOARD_RIG_H
#define BOARD_RIG_H

#include <sys/types.h>

#include <cstdint>
#include <map>

#include "run_torvex.h"

typedef std::vector<uint8_t> Bytes;

// One line of the board's trace: a flat JSON object.
struct TRACE_EVENT {
    std::map<std::string, std::string> fields; // numbers kept as their digits
    std::string Str(const std::string &k) const { return fields.count(k) ? fields.at(k) : ""; }
    long long Num(const std::string &k) const { return strtoll(Str(k).c_str(), nullptr, 10); }
    bool Is(const std::string &ev) const { return Str("ev") == ev; }
};

struct BOARD_PROC {
    pid_t pid = -1;
    // The scratch directory and com1 (link), com2 (console), trace.jsonl, flash.img, board.err
    std::string dir, link, console, trace, image, err_file;
};

// Starts torvex-target with extra options and waits for READY; initial_image is its flash.
bool Board_Start(BOARD_PROC *b, const std::vector<std::string> &args, std::string *error,
                 const Bytes &initial_image = {});
void Board_Cleanup(BOARD_PROC *b); // stops it: the image is written on the way out
Bytes Board_Image(const BOARD_PROC &b);

struct RIG_SETUP {
    std::vector<std::string> board_args;           // extra torvex-target options
    Bytes initial_image;                           // board flash to start from; empty: erased
    std::string stdin_text;                        // typed at the prompt; EOF follows
    bool keep_stdin_open = false;                  // unless this is true
    std::vector<Torvex_Event> events = {};         // signals and such, see run_torvex.h
    std::map<std::string, std::string> files = {}; // put into the working directory first
    int timeout_ms = 30000;                        // torvex is killed after this
};

struct RIG_RESULT {
    bool started = false;   // false: error says why
    std::string error, out; // out: TORVEX's standard output
    int exit_code = -1;     // -1 when killed
    bool timed_out = false;
    std::vector<TRACE_EVENT> trace;
    Bytes image;                          // the board's flash, lowest block first, its top at 64 M
    std::string console;                  // what the board's console printed
    std::vector<std::string> files_after; // names left in the working directory
    // The line's primed settings back, no exclusive flag.
    bool link_restored = false;
};

RIG_RESULT Run_Session(const RIG_SETUP &setup);
// The common case, checked to have started and ended in time.
RIG_RESULT Run_Typed(const std::string &typed, const std::vector<std::string> &board_args = {},
                     const Bytes &image = {}, const std::map<std::string, std::string> &files = {});

// The trace's events ev, only those of that name unless it is empty.
std::vector<TRACE_EVENT> Events(const std::vector<TRACE_EVENT> &trace, const std::string &ev,
                                const std::string &name = "");
// How many requests of that name the board took.
size_t Sent(const RIG_RESULT &r, const std::string &name);
// len bytes of the image at physical address addr (empty when outside).
Bytes Flash_At(const RIG_RESULT &r, uint32_t addr, uint32_t len);
// A file of the source tree, e.g. "examples/hello.hex".
std::string Read_Source_File(const std::string &rel_path);
// What fd delivers until want bytes came or it stayed silent for quiet_ms.
std::string Read_Fd(int fd, int quiet_ms, size_t want = SIZE_MAX);
// What exit prints when it writes changed tables.
inline const std::string EXIT_WRITTEN =
    "Start shutdown ...\nUpdate flash tables ...\nFlash tables OK\nShutdown complete\n";
// How often text holds what.
size_t Count(const std::string &text, const std::string &what);

#endif
