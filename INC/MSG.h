// Message link: framed, checksummed, acknowledged messages over the serial
// port, and the sender's link statistics.
//
// Frame on the wire (little-endian): MSG_HEADER_STRUCT, 0..MSG_MAX_DATA data
// bytes, MSG_TRAILER_STRUCT. msg_size counts the whole frame (data + 13).
// The checksum is the 32-bit byte sum of the four header bytes as sent and of
// the data bytes; the trailer is not covered.
#ifndef MSG_H
#define MSG_H

#include <cstddef>

#include "CTCOMMON.h"
#include "RMX_ERR.h"

// Single control bytes exchanged outside frames.
enum : BYTE {
    MSG_STX = 0x02,  // start of frame
    MSG_ETX = 0x03,  // end of frame
    MSG_ACK = 0x06,  // frame arrived with a correct checksum
    MSG_NAK = 0x15,  // frame arrived complete but its checksum or complement is wrong
    MSG_CAN = 0x18,  // peer cancels: ends the receiver's wait for a start character
    MSG_POLL = 0x41, // 'A': sent by a waiting receiver after each silent 500 ms
};

#pragma pack(push, 1)
struct MSG_HEADER_STRUCT {
    BYTE start_char;     // MSG_STX
    WORD msg_size;       // whole frame length: data length + 13
    BYTE msg_seq_number; // sequence number, same on retransmission
};

struct MSG_TRAILER_STRUCT {
    DWORD msg_checksum;         // byte sum of header and data
    DWORD msg_inverse_checksum; // ~msg_checksum
    BYTE end_char;              // MSG_ETX
};
#pragma pack(pop)

static_assert(sizeof(MSG_HEADER_STRUCT) == 4, "frame header is 4 bytes");
static_assert(offsetof(MSG_HEADER_STRUCT, msg_size) == 1, "msg_size at offset 1");
static_assert(offsetof(MSG_HEADER_STRUCT, msg_seq_number) == 3, "sequence number at offset 3");
static_assert(sizeof(MSG_TRAILER_STRUCT) == 9, "frame trailer is 9 bytes");
static_assert(offsetof(MSG_TRAILER_STRUCT, msg_inverse_checksum) == 4, "complement at offset 4");
static_assert(offsetof(MSG_TRAILER_STRUCT, end_char) == 8, "end char at offset 8");

enum : WORD {
    MSG_OVERHEAD = 13,                           // header + trailer
    MSG_MAX_DATA = 2080,                         // longest message
    MSG_MIN_FRAME = MSG_OVERHEAD,                // empty message
    MSG_MAX_FRAME = MSG_MAX_DATA + MSG_OVERHEAD, // 2093
};
static_assert(sizeof(MSG_HEADER_STRUCT) + sizeof(MSG_TRAILER_STRUCT) == MSG_OVERHEAD,
              "frame overhead");

// Sender statistics; each counter wraps silently. Only the sender counts.
struct COMMS_STATUS_STRUCT {
    DWORD send_no_timeout_count;    // Tx_Message called with an allowance of 2 or less
    DWORD send_msg_count;           // frames transmitted, retransmissions included
    DWORD send_flush_count;         // never incremented; shown as 0
    DWORD send_total_timeout_count; // sends abandoned for lack of allowance
    DWORD send_rx_ack_count;        // replies that were ACK
    DWORD send_rx_nak_count;        // replies that were NAK
    DWORD send_rx_spurious_count;   // other bytes while awaiting the reply
    DWORD send_retry_count;         // attempts that ended without ACK
    DWORD send_rx_bad_status;       // reply reads that ended with a non-zero status
    DWORD send_rx_timeout_count;    // reply reads that timed out
};
static_assert(sizeof(COMMS_STATUS_STRUCT) == 40, "ten 32-bit counters");

extern COMMS_STATUS_STRUCT comms_status;
extern BYTE msg_seq_num;

// Time-outs are in units of 10 ms; wStatus points to the caller's status word.
void Init_Message_Link(WORD comm_port, DWORD dwBaudRate, WORD *wStatus);
void Shutdown_Message_Link(WORD *wStatus);
DWORD Calc_Checksum(const void *lpBuffer, WORD wSize, WORD *wStatus);
// A lost or blocked line ends either call at once with the driver's read or
// write failure status (the driver has said what happened).
WORD Tx_Message(const void *databuff, WORD wSize, WORD wTimeout, WORD *wStatus);
// Returns the data length (status 0); 0xFFFF with status 0x0001 when no frame
// started within the allowance; 0xFFFF with status 0 when the peer sent CAN.
// The allowance is for the start of a frame: a frame whose bytes pause for
// over a second is broken off, and after a broken frame only two seconds of
// silence are waited for its resend.
WORD Rx_Message(void *inbuff, WORD wSize, WORD wTimeout, WORD *wStatus);
// Sets every counter of comms_status to 0 (clrstatus, echo test).
void Clear_Comms_Status();

#endif
