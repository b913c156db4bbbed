// Serial port driver: one port at a time, opened by number (0..3 = COM1..COM4),
// byte blocks in and out with time-outs on a millisecond clock.
// Sizes and time-outs are 16-bit; time-outs are per-byte allowances in units
// of 10 ms. wStatus points to the caller's status word.
#ifndef COMMS_H
#define COMMS_H

#include "CTCOMMON.h"
#include "RMX_ERR.h"

enum : WORD {
    COMMS_QUEUE_SIZE = 2048,
    COMMS_NUM_PORTS = 4,
};

extern int comOpen;

// Milliseconds since program start; monotonic, wraps after 2^32.
DWORD Comms_GetTime();

// Device path for a port number: $TORVEX_COMn or /dev/ttyS<n-1>. False for
// numbers other than 0..3.
bool Comms_Device_Path(WORD comm_port, char *path, size_t path_size);

void Init_Comms_Link(WORD comm_port, DWORD dwBaudRate, WORD *wStatus);
// After a port failed to open: the serial devices present ($TORVEX_DEV_DIR,
// else /dev) and the variable to set, at level 1 (comms_ports.cpp).
void List_Serial_Ports(WORD comm_port);
WORD Tx_Data(const void *lpBuffer, WORD wSize, WORD wTimeout, WORD *wStatus);
WORD Rx_Data(void *lpBuffer, WORD wSize, WORD wTimeout, WORD *wStatus);
void Comms_Write_Char(const BYTE *ch, WORD *wStatus);
WORD Comms_Read(void *buffer, WORD buffSize, WORD *wStatus);
void Comms_ClearInputBuffer();
void Comms_FlushFileBuffers(WORD *wStatus);
void Shutdown_Comms_Link(WORD *wStatus);
// True once the open port has hung up or failed: the driver has said so once
// and fails every later read and write at once. Cleared by closing the port.
bool Comms_Port_Lost();

#endif
