// Console layer: line input, key polls and the terminal's modes.
//
// All reads of standard input go through this layer so that a key poll never
// loses characters that belong to a later command line.
//
// Terminal stdin: lines are read in canonical (cooked) mode. Key polls switch
// to non-canonical, no-echo mode only for the moment they poll, unless a
// caller holds raw mode with Con_Raw_Begin()/Con_Raw_End(). The terminal's
// original settings are restored on every way out (atexit, and the handler's
// end at once below).
//
// Non-terminal stdin (pipe or file, as in scripts): a key poll sees a key only
// when the next pending byte is ESC (0x1B); that byte is consumed. Any other
// pending byte stays for the line reader. Con_Getch() simply takes the next
// byte of the stream.
//
// Standard input is read one byte at a time with read(2), so a child process
// started with the console (dos) sees exactly the input not yet consumed.
//
// Signals (handlers installed by Con_Init; they only note what came and wake
// a blocked read through a pipe): SIGINT is a pending interrupt that the
// abort poll takes as the escape key. SIGTERM and SIGHUP ask the session to
// end (Con_Stop_Reason) and start a deadline. A second such signal, SIGINT
// while ending, SIGQUIT or the deadline end the process at once with status
// 2: the terminal is put back and the hook of Con_Set_End_At_Once runs.
// SIGPIPE is ignored: a lost standard output shows as a failed write.
#ifndef CONIO_H
#define CONIO_H

#include <cstddef>

constexpr int CON_ESC = 0x1B;
constexpr int CON_EOF = -1;

// Saves the terminal settings and installs the restore handlers. Safe to call
// more than once; every other function calls it on first use.
void Con_Init();

// Puts the terminal back as Con_Init() found it (idempotent, signal-safe).
void Con_Restore();

// True when standard input is a terminal.
bool Con_Is_Tty();

// True when a key is waiting (see the stdin rules above). Never blocks.
bool Con_Kbhit();

// Takes the next byte of standard input, whatever it is (a stream's ESC rule
// of Con_Kbhit() does not apply), waiting up to wait_ms for one to come; a
// byte an earlier poll held back comes at once. CON_NO_KEY when none came in
// time, CON_EOF at end of input, CON_ESC for an interrupt or a stop. On a
// terminal single keys are seen even outside Con_Raw_Begin(). For loops that
// must rest between polls without missing a held byte.
constexpr int CON_NO_KEY = -2;
int Con_Wait_Key(int wait_ms);

// Reads one key without echo, blocking until one comes. CON_EOF at end of
// input and when the session is to end; CON_ESC for an interrupt (taken).
int Con_Getch();

// As Con_Getch(), echoing a printable key to standard output.
int Con_Getche();

// Holds the terminal in non-canonical, no-echo mode (keys arrive one by one,
// signals such as Ctrl-C still work) until Con_Raw_End(). Nested calls count.
// No effect when stdin is not a terminal.
void Con_Raw_Begin();
void Con_Raw_End();

// Reads one line of standard input without its line end (a trailing CR is
// dropped too) into buf (size bytes including the terminator). Returns false
// at end of input when nothing was read, and when the session is to end. A
// line that does not fit is read to its end all the same, the excess is
// dropped and *too_long is set. An interrupt while waiting gives an empty
// line; the interrupt stays pending for the caller.
bool Con_Read_Line(char *buf, size_t size, bool *too_long);

// True once a poll or read has met the end of standard input.
bool Con_Input_Ended();

// ---- signals and the session's end ----------------------------------------
constexpr int CON_STOP_OUTPUT_LOST = -1;
// 0 while the session runs on; otherwise why it is to end: the signal
// number (SIGTERM, SIGHUP) or CON_STOP_OUTPUT_LOST.
int Con_Stop_Reason();
void Con_Request_Stop(int reason);
// True once for each Ctrl-C (SIGINT) not yet taken.
bool Con_Take_Interrupt();
// Hook for the end at once; it runs inside a signal handler, so it may use
// only async-signal-safe calls.
void Con_Set_End_At_Once(void (*release)());

#endif
