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

static const WORD TX_PER_BYTE = 0xFFFF; // writes: bounded by the driver's stall limit
static const WORD REPLY_READ_TIME = 5;  // 50 ms per reply read
static const WORD REPLY_READS = 4;
static const WORD TX_ATTEMPTS = 3;
static const WORD HUNT_READ_TIME = 50; // 500 ms per read for a start character
// Once a frame has begun its bytes follow each other closely: a longer pause
// breaks it off. The long allowance is only for the start of a response
// (the monitor may be erasing for seconds).
static const WORD FRAME_GAP_TIME = 100;
// After a frame broke off, silent hunting reads (2 s) before its resend is
// given up for lost: the sender resends within its reply window or not at all.
static const WORD RESEND_WAIT_READS = 4;

void Init_Message_Link(WORD comm_port, DWORD dwBaudRate, WORD *wStatus)
{
    msg_seq_num = 0;
    Init_Comms_Link(comm_port, dwBaudRate, wStatus);
}

void Shutdown_Message_Link(WORD *wStatus)
{
    Shutdown_Comms_Link(wStatus);
}

void Clear_Comms_Status()
{
    memset(&comms_status, 0, sizeof comms_status);
}

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

// The status is acted on only when the line itself failed.
static WORD Send_Control_Byte(BYTE ch)
{
    WORD status;
    Tx_Data(&ch, 1, TX_PER_BYTE, &status);
    return status;
}

// ---- sending --------------------------------------------------------------------

static void Build_Frame_Ends(const void *databuff, WORD wSize, MSG_HEADER_STRUCT *header,
                             MSG_TRAILER_STRUCT *trailer)
{
    header->start_char = MSG_STX;
    header->msg_size = static_cast<WORD>(wSize + MSG_OVERHEAD);
    header->msg_seq_number = msg_seq_num++;
    WORD ignored;
    DWORD sum =
        Calc_Checksum(header, sizeof *header, &ignored) + Calc_Checksum(databuff, wSize, &ignored);
    trailer->msg_checksum = sum;
    trailer->msg_inverse_checksum = ~sum;
    trailer->end_char = MSG_ETX;
}

// One transmission of the frame; returns the bytes written. Only a failed
// line (lost or blocked) stops it: the reply reads decide everything else.
static WORD Transmit_Frame(const void *databuff, WORD wSize, const MSG_HEADER_STRUCT *header,
                           const MSG_TRAILER_STRUCT *trailer, WORD *line_status)
{
    WORD written = Tx_Data(header, sizeof *header, TX_PER_BYTE, line_status);
    if (*line_status != E_WRITE_COMM)
        written = static_cast<WORD>(written + Tx_Data(databuff, wSize, TX_PER_BYTE, line_status));
    // Whatever arrived before the frame is complete is never the reply.
    Comms_ClearInputBuffer();
    if (*line_status != E_WRITE_COMM)
        written = static_cast<WORD>(written +
                                    Tx_Data(trailer, sizeof *trailer, TX_PER_BYTE, line_status));
    comms_status.send_msg_count++;
    return written;
}

enum REPLY_OUTCOME { REPLY_ACK, REPLY_RETRY, REPLY_OUT_OF_TIME, REPLY_LINE_FAILED };

// Up to four reply reads; silent reads use up the allowance.
static REPLY_OUTCOME Await_Reply(WORD *remaining)
{
    for (WORD read = 0; read < REPLY_READS; read++) {
        BYTE reply = 0;
        WORD status = E_OK;
        WORD count = Rx_Data(&reply, 1, REPLY_READ_TIME, &status);
        if (status != E_OK) comms_status.send_rx_bad_status++;
        if (status == E_READ_COMM) return REPLY_LINE_FAILED;
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
    if (wSize > MSG_MAX_DATA) { // would not fit a frame; the receiver rejects it
        *wStatus = E_PARAM;
        return 0;
    }
    MSG_HEADER_STRUCT *header = reinterpret_cast<MSG_HEADER_STRUCT *>(inbuff);
    MSG_TRAILER_STRUCT *trailer = reinterpret_cast<MSG_TRAILER_STRUCT *>(
        inbuff + sizeof(inbuff) - sizeof(MSG_TRAILER_STRUCT));
    Build_Frame_Ends(databuff, wSize, header, trailer);

    WORD flush_status;
    Comms_FlushFileBuffers(&flush_status);
    if (flush_status == E_WRITE_COMM) { // the line is gone or blocked: the driver said so
        *wStatus = flush_status;
        return 0;
    }
    if (flush_status != E_OK) {
        printf("Fehler bei FlushFileBuffers!!\n");
        fflush(stdout);
    }

    WORD remaining = static_cast<WORD>(wTimeout - 2);
    WORD written = 0;
    for (WORD attempt = 0; attempt < TX_ATTEMPTS; attempt++) {
        WORD line_status = E_OK;
        written = Transmit_Frame(databuff, wSize, header, trailer, &line_status);
        REPLY_OUTCOME outcome =
            line_status == E_WRITE_COMM ? REPLY_LINE_FAILED : Await_Reply(&remaining);
        if (outcome == REPLY_ACK) {
            *wStatus = E_OK;
            return written;
        }
        if (outcome != REPLY_RETRY) {
            *wStatus = outcome == REPLY_OUT_OF_TIME  ? E_TIME
                       : line_status == E_WRITE_COMM ? E_WRITE_COMM
                                                     : E_READ_COMM;
            return written;
        }
    }
    *wStatus = E_NOT_RESPONDING;
    return written;
}

// ---- receiving ------------------------------------------------------------------

// The wait of one receive. `waited` is never reset during the call, not even
// when a bad frame sends the receiver back to hunting: noise costs as much as
// silence.
struct RX_WAIT {
    WORD allowance;    // for the start of a frame, units of 10 ms
    DWORD waited;      // units used hunting
    bool frame_broke;  // a frame began and broke off: only its resend is awaited
    WORD silent_reads; // reads without a byte since then
    WORD line_status;  // the driver's failure when the line is lost or blocked
};

enum HUNT_OUTCOME { HUNT_STX, HUNT_CAN, HUNT_TIMEOUT, HUNT_LINE_FAILED };

static bool Out_Of_Time(const RX_WAIT *w)
{
    return w->waited >= w->allowance || (w->frame_broke && w->silent_reads >= RESEND_WAIT_READS);
}

// Waits for a start character.
static HUNT_OUTCOME Hunt_For_Start(RX_WAIT *w)
{
    for (;;) {
        BYTE ch = 0;
        WORD status = E_OK;
        WORD count = Rx_Data(&ch, 1, HUNT_READ_TIME, &status);
        if (status == E_READ_COMM) {
            w->line_status = status;
            return HUNT_LINE_FAILED;
        }
        bool got_byte = status == E_OK && count == 1;
        if (got_byte && ch == MSG_STX) return HUNT_STX;
        w->waited += HUNT_READ_TIME;
        if (!got_byte) w->silent_reads++;
        if (Out_Of_Time(w)) return HUNT_TIMEOUT;
        if (!got_byte) {
            w->line_status = Send_Control_Byte(MSG_POLL);
            if (w->line_status == E_WRITE_COMM) return HUNT_LINE_FAILED;
        } else if (ch == MSG_CAN) {
            return HUNT_CAN;
        }
    }
}

// FRAME_BAD_LENGTH: the header was not one of a frame for this buffer (maybe
// noise); FRAME_BROKEN: a frame broke off or ended wrongly.
enum FRAME_OUTCOME { FRAME_GOOD, FRAME_BAD_LENGTH, FRAME_BROKEN, FRAME_BAD_SUM, FRAME_LINE_FAILED };

// The next n bytes of a frame that has begun, each within the gap allowance.
static FRAME_OUTCOME Read_Frame_Bytes(BYTE *dest, WORD n, FRAME_OUTCOME on_gap, RX_WAIT *w)
{
    for (WORD i = 0; i < n; i++) {
        WORD status = E_OK;
        Rx_Data(&dest[i], 1, FRAME_GAP_TIME, &status);
        if (status == E_TIME) return on_gap;
        if (status != E_OK) {
            w->line_status = status;
            return FRAME_LINE_FAILED;
        }
    }
    return FRAME_GOOD;
}

// Reads the rest of a frame after its start character. The data part goes to
// the caller's buffer only when it fits.
static FRAME_OUTCOME Read_Frame_Body(BYTE *buffer, WORD wSize, RX_WAIT *w, WORD *data_len)
{
    MSG_HEADER_STRUCT header;
    header.start_char = MSG_STX;
    BYTE size_bytes[2];
    FRAME_OUTCOME got = Read_Frame_Bytes(size_bytes, 2, FRAME_BAD_LENGTH, w);
    if (got != FRAME_GOOD) return got;
    header.msg_size = static_cast<WORD>(size_bytes[0] | (size_bytes[1] << 8));
    if (header.msg_size < MSG_MIN_FRAME || header.msg_size > MSG_MAX_FRAME) return FRAME_BAD_LENGTH;
    WORD len = static_cast<WORD>(header.msg_size - MSG_OVERHEAD);
    if (len > wSize) return FRAME_BAD_LENGTH;
    got = Read_Frame_Bytes(&header.msg_seq_number, 1, FRAME_BROKEN, w);
    if (got == FRAME_GOOD) got = Read_Frame_Bytes(buffer, len, FRAME_BROKEN, w);
    BYTE raw[sizeof(MSG_TRAILER_STRUCT)];
    if (got == FRAME_GOOD) got = Read_Frame_Bytes(raw, sizeof raw, FRAME_BROKEN, w);
    if (got != FRAME_GOOD) return got;
    MSG_TRAILER_STRUCT trailer;
    memcpy(&trailer, raw, sizeof trailer);
    if (trailer.end_char != MSG_ETX) return FRAME_BROKEN;

    WORD ignored;
    DWORD sum = Calc_Checksum(&header, sizeof header, &ignored);
    if (len > 0) sum += Calc_Checksum(buffer, len, &ignored);
    if (sum != trailer.msg_checksum || ~sum != trailer.msg_inverse_checksum) return FRAME_BAD_SUM;
    *data_len = len;
    return FRAME_GOOD;
}

static WORD Hunt_Status(HUNT_OUTCOME hunt, const RX_WAIT *w)
{
    if (hunt == HUNT_TIMEOUT) return E_TIME;
    if (hunt == HUNT_CAN) return E_OK;
    return w->line_status;
}

WORD Rx_Message(void *inbuff_ptr, WORD wSize, WORD wTimeout, WORD *wStatus)
{
    BYTE *buffer = static_cast<BYTE *>(inbuff_ptr);
    RX_WAIT w = {wTimeout, 0, false, 0, E_OK};
    for (;;) {
        HUNT_OUTCOME hunt = Hunt_For_Start(&w);
        if (hunt != HUNT_STX) {
            *wStatus = Hunt_Status(hunt, &w);
            return 0xFFFF;
        }
        WORD len = 0;
        FRAME_OUTCOME frame = Read_Frame_Body(buffer, wSize, &w, &len);
        if (frame == FRAME_BAD_SUM) w.line_status = Send_Control_Byte(MSG_NAK);
        if (frame == FRAME_GOOD) w.line_status = Send_Control_Byte(MSG_ACK);
        if (frame == FRAME_LINE_FAILED || w.line_status == E_WRITE_COMM) {
            *wStatus = w.line_status;
            return 0xFFFF;
        }
        if (frame == FRAME_GOOD) {
            *wStatus = E_OK;
            return len;
        }
        if (frame != FRAME_BAD_LENGTH) { // a frame of ours broke: its resend is due soon
            w.frame_broke = true;
            w.silent_reads = 0;
        }
    }
}
