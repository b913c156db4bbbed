// Virtual target board: plays the board's boot monitor over a pseudo-terminal.
//
// Modules (all in namespace vboard, so the board links into the same test
// executables as the host code):
//   vb_mem     RAM, flash blocks of the board model, image file, I/O ports
//   vb_cmd     executes one command record and builds the response record
//   vb_link    frame receiver, ACK/NAK, response sending with resends, line
//              rate, pacing, fault injection; pure state machine driven by
//              bytes and a microsecond clock, so tests can feed it directly
//   vb_opts    command line
//   vb_trace   one JSON line per event
//   vb_pty     pseudo-terminal, link symlink, host-side line rate
//   vb_console the board's console UART on a second pty: banner and boot
//              program at each reset, echo of what is typed
#ifndef VBOARD_H
#define VBOARD_H

#include <cstddef>
#include <cstdint>

#include "CTCOMMON.h"

namespace vboard {

enum : size_t { PATH_SIZE = 512 };

// ---- memory ---------------------------------------------------------------
enum : DWORD {
    RAM_FIRST = 0x00000000,
    RAM_SIZE = 0x000A0000, // 0..0x9FFFF, holds the RAM work area at 0x20000
};

// Monitor status codes the board answers with.
enum : WORD {
    ST_OK = 0x0000,
    ST_BAD_PARAM = 0x0004,     // bad address, size or length
    ST_NOT_SUPPORTED = 0x0023, // unknown command id
    ST_FLASH_RAM = 0x002A,     // program flash aimed at RAM
    ST_UNERASED = 0x006E,      // program flash over bits that are not erased
    ST_COMPARE = 0x008B,       // compare RAM found a difference
    ST_BAD_WRITE = 0x800D,     // RAM write aimed outside RAM
};

struct FLASH_BLOCK {
    DWORD addr;
    DWORD size;
};

// Selects the board model: flash all 0xFF, RAM all 0, ports 0. false for a
// board outside 1..4.
bool Mem_Init(WORD board);
const FLASH_BLOCK *Mem_Blocks(WORD *count);
void Mem_Flash_Codes(WORD *manufacture_code, WORD *device_code);
DWORD Mem_Flash_First();
DWORD Mem_Flash_Size();
const BYTE *Mem_Flash_Bytes();

bool Mem_In_Ram(DWORD addr, DWORD len);
bool Mem_In_Flash(DWORD addr, DWORD len);
// Index of the block holding [addr, addr+len), or -1.
int Mem_Block_Of(DWORD addr, DWORD len);

WORD Mem_Read(DWORD addr, DWORD len, BYTE *out); // RAM or flash
WORD Mem_Write_Ram(DWORD addr, const BYTE *data, DWORD len);
WORD Mem_Fill_Ram(DWORD addr, DWORD len, BYTE value);
WORD Mem_Copy(DWORD dest, DWORD src, DWORD len); // into RAM only
WORD Mem_Compare(DWORD dest, DWORD src, DWORD len);
WORD Mem_Erase(DWORD block_addr, DWORD block_size);
WORD Mem_Program(DWORD dest, DWORD src, DWORD len);
// From now on every program command leaves the mask's bits of the byte at
// addr as they were (unprogrammed) and still reports success; mask 0: none.
void Mem_Set_Flash_Fault(DWORD addr, BYTE mask);

void Mem_Port_Write(WORD port, WORD size, DWORD value);
DWORD Mem_Port_Read(WORD port, WORD size);

// Image file: the flash bytes from the lowest block upwards. Load returns
// false with a message when the file exists but does not fit the board.
bool Mem_Load_Image(const char *path, char *err, size_t err_size);
bool Mem_Save_Image(const char *path);
// True once after any erase or program changed the flash.
bool Mem_Take_Dirty();

// ---- command execution ----------------------------------------------------
struct MONITOR_ID {
    WORD prog_id;    // monitor program id reported by init
    WORD version;    // monitor version reported by init
    DWORD boot_addr; // boot table address reported by init
};

struct CMD_OUTCOME {
    DWORD new_baud; // non-zero: switch to this rate once the response is through
    bool shutdown;  // host said goodbye
};

enum : WORD { MAX_RECORD = 2063 };

// Executes one request record; writes the response record (at most
// MAX_RECORD bytes) and returns its length.
WORD Execute_Request(const BYTE *req, WORD req_len, const MONITOR_ID *mon, BYTE *resp,
                     CMD_OUTCOME *outcome);
const char *Command_Name(BYTE id);
// 32-bit sum of the bytes: the data checksum of RAM records and of frames.
DWORD Byte_Sum(const BYTE *data, DWORD len);
// The request's fields as JSON members, each starting with a comma.
void Describe_Request(const BYTE *req, WORD req_len, char *out, size_t cap);

// ---- link -----------------------------------------------------------------
struct LINK_SETUP {
    MONITOR_ID mon;
    DWORD reset_baud;        // line rate after reset
    bool pace;               // emulate wire time
    double corrupt_rate;     // per received byte
    double drop_rate;        // per received byte
    double out_corrupt_rate; // per sent byte
    DWORD nak_first;         // NAK this many intact frames first
    bool silent;             // never send anything
    DWORD seed;              // of the fault injection
    BYTE hang_up_cmd;        // hang up the line shortly after ACKing this command (0: never)
    char fail_name[16];      // answer request number fail_nth of this command
    DWORD fail_nth;          //   with "not responding" (0x000B), undone
    double out_drop_rate;    // per sent byte
};

enum : uint64_t {
    ACK_WAIT_US = 500000,      // a response is resent when no ACK came within this
    FRAME_GAP_US = 100000,     // a frame stalled this long is abandoned
    HANG_UP_DELAY_US = 300000, // from the ACK of the hang-up command to the hang-up
};
enum : int { MAX_SENDS = 3 };

void Link_Init(const LINK_SETUP *setup);
// Bytes read from the line while the host's port is set to host_baud (0:
// unknown, taken as matching).
void Link_Receive(const BYTE *data, size_t len, DWORD host_baud, uint64_t now_us);
// Resends and abandons frames whose time has come.
void Link_Timer(uint64_t now_us);
// Moves the bytes due by now_us into buf; bytes the host cannot receive at
// its rate are dropped. Returns the count.
size_t Link_Take_Output(BYTE *buf, size_t cap, DWORD host_baud, uint64_t now_us);
// Milliseconds until the link needs attention again, or -1.
int Link_Wait_Ms(uint64_t now_us);
DWORD Link_Baud();
// True once after the host said goodbye: the monitor then resets.
bool Link_Take_Shutdown();
// True once the line is to hang up (--hang-up-on): the board closes it and ends.
bool Link_Hang_Up_Due(uint64_t now_us);

struct LINK_COUNTS {
    DWORD frames_ok;
    DWORD frames_nak;
    DWORD frames_skipped;
    DWORD responses_sent; // every send, resends included
    DWORD resends;
    DWORD give_ups;
    DWORD garbage_bytes; // arrived at the wrong rate
};
const LINK_COUNTS *Link_Counts();

// ---- command line ---------------------------------------------------------
struct BOARD_CONFIG {
    char link_path[PATH_SIZE];
    char image_path[PATH_SIZE];
    char trace_path[PATH_SIZE];
    char console_path[PATH_SIZE]; // empty: no console
    WORD board;                   // 1..4
    LINK_SETUP link;
    DWORD flash_fault_addr; // see Mem_Set_Flash_Fault
    BYTE flash_fault_mask;
};

void Default_Config(BOARD_CONFIG *cfg);
// false with a message in err (bounded) on a bad command line; *ask tells
// whether --help or --version came first instead of a run.
enum ARGS_ASK { ASK_RUN, ASK_HELP, ASK_VERSION };
bool Parse_Args(int argc, char **argv, BOARD_CONFIG *cfg, ARGS_ASK *ask, char *err,
                size_t err_size);
const char *Usage_Text();

// ---- trace ----------------------------------------------------------------
// Every line is {"t_ms":N,"ev":"...",...}; numbers are decimal.
//   rx_frame   intact frame: seq, size (whole frame), cmd, name, and the
//              request's fields (addr, len, src, dest, value, port, io_size,
//              baud, base, block, block_size)
//   tx_ack / tx_nak   seq; tx_nak has why: checksum, complement, nak_first
//   rx_skip    why: size, end_char, stalled
//   tx_frame   response sent: seq, size, cmd, name, status, send (1..3)
//   rx_ack / rx_nak / rx_poll   control bytes from the host
//   resend / give_up   why: nak, no_ack, poll (a poll after the give-up)
//   hang_up    the line is closed, after the ACK of the command named
//   drop_response      a new frame arrived while an answer waited for ACK
//   baud       from, to, why
//   garbage    bytes that arrived while the host's rate differed: bytes,
//              host_baud, board_baud; tx_lost the same for sent bytes
//   erase      block, block_size, status
//   program    block, dest, src, len, status
//   fault      injected: dir rx/tx, kind drop/corrupt
bool Trace_Open(const char *path);
void Trace_Close();
bool Trace_On();
// body is the inside of a JSON object without braces, e.g. "\"ev\":\"x\"";
// a time stamp is put in front.
void Trace_Fmt(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// ---- pseudo-terminal ------------------------------------------------------
// Opens a pty in raw mode at baud, links path to its slave device. Returns
// the master fd or -1 with a message in err.
int Pty_Open(const char *path, DWORD baud, char *err, size_t err_size);
void Pty_Close(int master_fd, const char *path);
// The line rate the host's side of the pty is set to (0 when unknown).
DWORD Pty_Host_Baud(int master_fd);

uint64_t Now_Us();

// ---- console ----------------------------------------------------------------
// The line the monitor prints at reset about its boot program: its name,
// start vector and directory entry, from the tables in flash.
void Describe_Boot(const MONITOR_ID *mon, char *out, size_t cap);
bool Console_Open(const char *path, const MONITOR_ID *mon, DWORD baud, char *err, size_t err_size);
int Console_Fd();       // -1 without a console
void Console_Reset();   // banner and boot program
void Console_Service(); // the console's master is readable
void Console_Close(const char *path);

} // namespace vboard

#endif
