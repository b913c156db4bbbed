// The serial driver's contact with the operating system: a small table of
// platform calls. The driver (comms.cpp) keeps every rule about statuses,
// limits and time-outs; the table only moves bytes, reports queue counts,
// tells the time and blocks. Tests install an in-memory peer with a virtual
// clock behind the same driver code.
#ifndef SERPORT_H
#define SERPORT_H

#include <cstddef>

#include "CTCOMMON.h"

enum : int {
    SERPORT_PURGE_RX = 0x01, // discard unread input
    SERPORT_PURGE_TX = 0x02, // discard output not yet sent
};

// Every call that can fail returns false (or -1) and puts an errno value
// into *err for the driver's explanation of a failed open or a lost line.
struct SERPORT_OPS_STRUCT {
    // Opens the device for reading and writing without waiting for carrier
    // and takes exclusive access; returns the handle or -1.
    int (*open_port)(const char *path, int *err);
    // Reads and keeps the device's settings so close can restore them.
    bool (*get_state)(int handle, int *err);
    bool (*setup_queues)(int handle, WORD in_size, WORD out_size, int *err);
    // Raw 8N1 at dwBaudRate, receiver on, modem lines ignored, DTR and RTS on.
    bool (*set_state)(int handle, DWORD dwBaudRate, int *err);
    bool (*purge)(int handle, int which, int *err);
    // Restores the saved settings, gives up exclusive access and closes.
    bool (*close_port)(int handle, int *err);
    // Never block: return the count accepted/read, 0 when the device has no
    // room/bytes right now, -1 on failure.
    long (*write_bytes)(int handle, const void *buffer, size_t count, int *err);
    long (*read_bytes)(int handle, void *buffer, size_t count, int *err);
    bool (*queue_counts)(int handle, DWORD *in_count, DWORD *out_count, int *err);
    // Monotonic milliseconds (any origin).
    DWORD (*now_ms)();
    // Blocks up to ms milliseconds or until input is ready / output has room.
    // False at once when the line has hung up or the device failed.
    bool (*wait_readable)(int handle, DWORD ms, int *err);
    bool (*wait_writable)(int handle, DWORD ms, int *err);
    void (*sleep_ms)(DWORD ms);
    // Waits until the bytes the device itself still holds have left; called
    // only once the output queue is empty, where the wait is short.
    bool (*drain)(int handle, int *err);
};

extern const SERPORT_OPS_STRUCT posix_serport_ops;

// Puts the open POSIX port back as found (settings, exclusive flag, lock) and
// closes it, with async-signal-safe calls only: for an end inside a signal
// handler.
void Serport_Release_At_Once();

// Installs a table (nullptr: the POSIX one) and restarts the driver's
// millisecond clock at 0. The driver must be closed.
void Serport_Install(const SERPORT_OPS_STRUCT *ops);
const SERPORT_OPS_STRUCT *Serport_Ops();

// Sets the line rate of an open terminal through the kernel's arbitrary-rate
// interface (kept apart: its headers clash with <termios.h>).
bool Serport_Set_Baud(int fd, DWORD dwBaudRate, int *err);
// The line rate a terminal is set to (on a pseudo-terminal's master: the slave's).
bool Serport_Get_Baud(int fd, DWORD *dwBaudRate);

#endif
