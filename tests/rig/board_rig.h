// End-to-end rig: TORVEX against the virtual board over a pseudo-terminal.
//
// One call runs a whole session: it starts torvex-target on a private link
// path in a scratch directory, waits for its READY line, runs torvex there
// with TORVEX_COM1 pointing at the link and a scripted stdin, stops the
// board (so its flash image is flushed) and hands back what TORVEX printed,
// the board's trace and the flash image.
//
//   #include "board_rig.h"
//
//   RIG_SETUP s;
//   s.torvex_args = {"init com1 ; program app ; exit"};   // or use stdin_text
//   s.stdin_text = "status\nexit\n";
//   s.files["app.hex"] = Read_Source_File("examples/hello.hex");
//   s.board_args = {"--board", "3", "--nak-first", "2"};
//   RIG_RESULT r = Run_Session(s);
//   ASSERT_TRUE(r.started) << r.error;
//   EXPECT_FALSE(r.timed_out);
//   EXPECT_NE(r.out.find("Initialization complete"), std::string::npos);
//   EXPECT_EQ(Count_Events(r.trace, "erase"), 1);
//   EXPECT_EQ(Flash_At(r, 0x03FFA000, 4), (std::vector<uint8_t>{0xD4, 0xC3, 0xB2, 0xA1}));
//
// Tests that drive the host's link layer in-process start a board on their
// own and point comm_port 1 at it:
//
//   BOARD_PROC b;
//   ASSERT_TRUE(Board_Start(&b, {"--drop-rate", "0.01"}, &err)) << err;
//   setenv("TORVEX_COM1", b.link.c_str(), 1);
//   ... Init_Message_Link(1, 9600, &status); Init_Command(...) ...
//   Board_Stop(&b);                 // flushes the image
//   auto trace = Board_Trace(b);
//   auto image = Board_Image(b);
//   Board_Cleanup(&b);              // removes the scratch directory
//
// Set TORVEX_RIG_KEEP=1 to keep scratch directories for a look afterwards.
#ifndef BOARD_RIG_H
#define BOARD_RIG_H

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// One line of the board's trace: a flat JSON object.
struct TRACE_EVENT {
    std::map<std::string, std::string> fields;  // numbers kept as their digits

    std::string Str(const std::string &key) const;
    long long Num(const std::string &key, long long missing = -1) const;
    bool Is(const std::string &ev) const { return Str("ev") == ev; }
};

struct BOARD_PROC {
    pid_t pid = -1;
    std::string dir;    // scratch directory
    std::string link;   // dir + "/com1": give it to TORVEX as TORVEX_COM1
    std::string trace;  // dir + "/trace.jsonl"
    std::string image;  // dir + "/flash.img"
    std::string err_file;  // the board's stderr
};

// Starts torvex-target with the given extra options (--link, --trace and
// --image are supplied) and waits for READY. initial_image, when not empty,
// is the flash the board starts with.
bool Board_Start(BOARD_PROC *b, const std::vector<std::string> &args, std::string *error,
                 const std::vector<uint8_t> &initial_image = {});
// SIGTERM and wait; the board writes its image on the way out.
void Board_Stop(BOARD_PROC *b);
void Board_Cleanup(BOARD_PROC *b);
std::vector<TRACE_EVENT> Board_Trace(const BOARD_PROC &b);
std::vector<uint8_t> Board_Image(const BOARD_PROC &b);

struct RIG_SETUP {
    std::vector<std::string> board_args;     // extra torvex-target options
    std::vector<uint8_t> initial_image;      // board flash to start from; empty: erased
    std::vector<std::string> torvex_args;    // torvex's command line
    std::string stdin_text;                  // typed at the prompt; EOF follows
    std::map<std::string, std::string> files;  // put into the working directory first
    bool set_flashopt = false;               // FLASHOPT is unset unless this is true
    std::string flashopt;
    int timeout_ms = 30000;                  // torvex is killed after this
};

struct RIG_RESULT {
    bool started = false;     // false: error says why
    std::string error;
    std::string out;          // TORVEX's stdout
    std::string err;          // TORVEX's stderr
    int exit_code = -1;       // -1 when killed
    bool timed_out = false;
    std::vector<TRACE_EVENT> trace;
    std::vector<uint8_t> image;   // the board's flash, lowest block first
    uint32_t flash_first = 0;     // physical address of image[0]
    std::vector<std::string> files_after;  // names left in the working directory
};

RIG_RESULT Run_Session(const RIG_SETUP &setup);

// Helpers for assertions.
int Count_Events(const std::vector<TRACE_EVENT> &trace, const std::string &ev);
std::vector<TRACE_EVENT> Events(const std::vector<TRACE_EVENT> &trace, const std::string &ev);
// len bytes of the image at physical address addr (empty when outside).
std::vector<uint8_t> Flash_At(const RIG_RESULT &r, uint32_t addr, uint32_t len);
// Physical address of the lowest flash byte of a board model 1..4.
uint32_t Board_Flash_First(int board);
// A file of the source tree, e.g. "examples/hello.hex".
std::string Read_Source_File(const std::string &rel_path);

#endif
