// Message link: one framed message at a time, acknowledged by the receiver,
// retransmitted up to three times by the sender.
#include "MSG.h"

#include <cstdio>
#include <cstring>

#include "COMMS.h"

COMMS_STATUS_STRUCT comms_status;
BYTE msg_seq_num = 0;

// Frame-sized work buffer: the sender assembles header and trailer here.
static BYTE inbuff[MSG_MAX_FRAME];

static const WORD TX_PER_BYTE = 0xFFFF;    // writes: effectively unbounded
static const WORD REPLY_READ_TIME = 5;     // 50 ms per reply read
static const WORD REPLY_READS = 4;
static const WORD TX_ATTEMPTS = 3;
static const WORD HUNT_READ_TIME = 50;     // 500 ms per read for a start character
static const WORD SIZE_READ_TIME = 6000;

void Init_Message_Link(WORD comm_port, DWORD dwBaudRate, WORD *wStatus)
{
    msg_seq_num = 0;
    Init_Comms_Link(comm_port, dwBaudRate, wStatus);
}

void Shutdown_Message_Link(WORD *wStatus) { Shutdown_Comms_Link(wStatus); }

void Clear_Comms_Status() { memset(&comms_status, 0, sizeof comms_status); }

DWORD Calc_Checksum(const void *lpBuffer, WORD wSize, WORD *wStatus)
{
    if (wSize == 0) {
        *wStatus = E_INVALID_PARAM;
        return 0;
    }
    const BYTE *bytes = static_cast<const BYTE *>(lpBuffer);
    DWORD sum = 0;
    for (WORD i = 0; i < wSize; i++) sum += bytes[i];
    *wStatus = E_OK;
    return sum;
}

static void Send_Control_Byte(BYTE ch)
{
    WORD status;
    Tx_Data(&ch, 1, TX_PER_BYTE, &status);
}

// ---- sending --------------------------------------------------------------------

static void Build_Frame_Ends(const void *databuff, WORD wSize, MSG_HEADER_STRUCT *header,
                             MSG_TRAILER_STRUCT *trailer)
{
    header->start_char = MSG_STX;
    header->msg_size = static_cast<WORD>(wSize + MSG_OVERHEAD);
    header->msg_seq_number = msg_seq_num++;
    WORD ignored;
    DWORD sum = Calc_Checksum(header, sizeof *header, &ignored) +
                Calc_Checksum(databuff, wSize, &ignored);
    trailer->msg_checksum = sum;
    trailer->msg_inverse_checksum = ~sum;
    trailer->end_char = MSG_ETX;
}

// One transmission of the frame; returns the bytes written.
static WORD Transmit_Frame(const void *databuff, WORD wSize, const MSG_HEADER_STRUCT *header,
                           const MSG_TRAILER_STRUCT *trailer)
{
    WORD status;
    WORD written = Tx_Data(header, sizeof *header, TX_PER_BYTE, &status);
    written = static_cast<WORD>(written + Tx_Data(databuff, wSize, TX_PER_BYTE, &status));
    // Whatever arrived before the frame is complete is never the reply.
    Comms_ClearInputBuffer();
    written = static_cast<WORD>(written + Tx_Data(trailer, sizeof *trailer, TX_PER_BYTE, &status));
    comms_status.send_msg_count++;
    return written;
}

enum REPLY_OUTCOME { REPLY_ACK, REPLY_RETRY, REPLY_OUT_OF_TIME };

// Up to four reply reads; silent reads use up the allowance.
static REPLY_OUTCOME Await_Reply(WORD *remaining)
{
    for (WORD read = 0; read < REPLY_READS; read++) {
        BYTE reply = 0;
        WORD status = E_OK;
        WORD count = Rx_Data(&reply, 1, REPLY_READ_TIME, &status);
        if (status != E_OK) comms_status.send_rx_bad_status++;
        if (status == E_TIME) {
            comms_status.send_rx_timeout_count++;
            *remaining = *remaining < REPLY_READ_TIME ? 0 : *remaining - REPLY_READ_TIME;
            if (*remaining == 0) {
                comms_status.send_total_timeout_count++;
                return REPLY_OUT_OF_TIME;
            }
            continue;
        }
        if (count == 1 && reply == MSG_ACK) {
            comms_status.send_rx_ack_count++;
            return REPLY_ACK;
        }
        if (count == 1 && reply == MSG_NAK) {
            comms_status.send_rx_nak_count++;
            break;
        }
        comms_status.send_rx_spurious_count++;
    }
    comms_status.send_retry_count++;
    return REPLY_RETRY;
}

WORD Tx_Message(const void *databuff, WORD wSize, WORD wTimeout, WORD *wStatus)
{
    if (wTimeout <= 2) {
        *wStatus = E_TIME;
        comms_status.send_no_timeout_count++;
        return 0;
    }
    if (wSize > MSG_MAX_DATA) {  // would not fit a frame; the receiver rejects it
        *wStatus = E_PARAM;
        return 0;
    }
    MSG_HEADER_STRUCT *header = reinterpret_cast<MSG_HEADER_STRUCT *>(inbuff);
    MSG_TRAILER_STRUCT *trailer =
        reinterpret_cast<MSG_TRAILER_STRUCT *>(inbuff + sizeof(inbuff) - sizeof(MSG_TRAILER_STRUCT));
    Build_Frame_Ends(databuff, wSize, header, trailer);

    WORD flush_status;
    Comms_FlushFileBuffers(&flush_status);
    if (flush_status != E_OK) {
        printf("Fehler bei FlushFileBuffers!!\n");
        fflush(stdout);
    }

    WORD remaining = static_cast<WORD>(wTimeout - 2);
    WORD written = 0;
    for (WORD attempt = 0; attempt < TX_ATTEMPTS; attempt++) {
        written = Transmit_Frame(databuff, wSize, header, trailer);
        REPLY_OUTCOME outcome = Await_Reply(&remaining);
        if (outcome == REPLY_ACK) {
            *wStatus = E_OK;
            return written;
        }
        if (outcome == REPLY_OUT_OF_TIME) {
            *wStatus = E_TIME;
            return written;
        }
    }
    *wStatus = E_NOT_RESPONDING;
    return written;
}

// ---- receiving ------------------------------------------------------------------

enum HUNT_OUTCOME { HUNT_STX, HUNT_CAN, HUNT_TIMEOUT };

// Waits for a start character. The wait counter is the caller's, kept for the
// whole receive: noise costs as much as silence.
static HUNT_OUTCOME Hunt_For_Start(WORD wTimeout, DWORD *wait_count)
{
    for (;;) {
        BYTE ch = 0;
        WORD status = E_OK;
        WORD count = Rx_Data(&ch, 1, HUNT_READ_TIME, &status);
        bool got_byte = status == E_OK && count == 1;
        if (got_byte && ch == MSG_STX) return HUNT_STX;
        *wait_count += HUNT_READ_TIME;
        if (*wait_count >= wTimeout) return HUNT_TIMEOUT;
        if (!got_byte)
            Send_Control_Byte(MSG_POLL);
        else if (ch == MSG_CAN)
            return HUNT_CAN;
    }
}

enum FRAME_OUTCOME { FRAME_GOOD, FRAME_SKIPPED, FRAME_BAD_SUM };

// Reads the rest of a frame after its start character. The data part goes to
// the caller's buffer only when it fits.
static FRAME_OUTCOME Read_Frame_Body(BYTE *buffer, WORD wSize, WORD wTimeout, WORD *data_len)
{
    MSG_HEADER_STRUCT header;
    header.start_char = MSG_STX;
    WORD status = E_OK;
    BYTE size_bytes[2];
    Rx_Data(size_bytes, 2, SIZE_READ_TIME, &status);
    if (status != E_OK) return FRAME_SKIPPED;
    header.msg_size = static_cast<WORD>(size_bytes[0] | (size_bytes[1] << 8));
    if (header.msg_size < MSG_MIN_FRAME || header.msg_size > MSG_MAX_FRAME) return FRAME_SKIPPED;
    WORD len = static_cast<WORD>(header.msg_size - MSG_OVERHEAD);
    if (len > wSize) return FRAME_SKIPPED;
    Rx_Data(&header.msg_seq_number, 1, SIZE_READ_TIME, &status);
    if (status != E_OK) return FRAME_SKIPPED;
    for (WORD i = 0; i < len; i++) {
        Rx_Data(&buffer[i], 1, wTimeout, &status);
        if (status != E_OK) return FRAME_SKIPPED;
    }
    BYTE raw[sizeof(MSG_TRAILER_STRUCT)];
    Rx_Data(raw, sizeof raw, wTimeout, &status);
    if (status != E_OK) return FRAME_SKIPPED;
    MSG_TRAILER_STRUCT trailer;
    memcpy(&trailer, raw, sizeof trailer);
    if (trailer.end_char != MSG_ETX) return FRAME_SKIPPED;

    WORD ignored;
    DWORD sum = Calc_Checksum(&header, sizeof header, &ignored);
    if (len > 0) sum += Calc_Checksum(buffer, len, &ignored);
    if (sum != trailer.msg_checksum || ~sum != trailer.msg_inverse_checksum) return FRAME_BAD_SUM;
    *data_len = len;
    return FRAME_GOOD;
}

WORD Rx_Message(void *inbuff_ptr, WORD wSize, WORD wTimeout, WORD *wStatus)
{
    BYTE *buffer = static_cast<BYTE *>(inbuff_ptr);
    DWORD wait_count = 0;
    for (;;) {
        HUNT_OUTCOME hunt = Hunt_For_Start(wTimeout, &wait_count);
        if (hunt == HUNT_TIMEOUT) {
            *wStatus = E_TIME;
            return 0xFFFF;
        }
        if (hunt == HUNT_CAN) {
            *wStatus = E_OK;
            return 0xFFFF;
        }
        WORD len = 0;
        FRAME_OUTCOME frame = Read_Frame_Body(buffer, wSize, wTimeout, &len);
        if (frame == FRAME_BAD_SUM) Send_Control_Byte(MSG_NAK);
        if (frame != FRAME_GOOD) continue;
        Send_Control_Byte(MSG_ACK);
        *wStatus = E_OK;
        return len;
    }
}
