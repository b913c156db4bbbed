// The monitor's end of the message link.
//
// Receiving: hunt for STX, take the two size bytes and read the whole frame;
// a bad size or end character is skipped silently, a bad checksum or
// complement gets NAK, an intact frame gets ACK at once and is executed.
// Sending: the response goes out as one frame and waits for the host's ACK;
// NAK or silence sends it again, three sends in all; a poll from the host
// after the last send starts the sends over (the host is still waiting).
//
// The line has a rate on each side: the monitor's current rate and the rate
// the host's port is set to. When they differ every byte is garbage to the
// receiver and is lost.
//
// Nothing here touches a file descriptor or the clock: bytes and the time
// come in as arguments, bytes due for the line go out through
// Link_Take_Output.
#include <cstdio>
#include <cstring>
#include <deque>
#include <random>

#include "MSG.h"
#include "vboard.h"

namespace vboard {

namespace {

enum RX_STATE { RX_HUNT, RX_HEADER, RX_BODY };

struct OUT_BYTE {
    BYTE value;
    uint64_t due_us;
};

LINK_SETUP setup;
DWORD cur_baud;
std::mt19937 rng;
LINK_COUNTS counts;

RX_STATE rx_state;
BYTE rx_frame[MSG_MAX_FRAME];
WORD rx_len;
WORD rx_size;
uint64_t rx_last_us;
DWORD naks_left;
DWORD fail_seen; // requests named setup.fail_name so far

bool pending;        // a response waits for the host's ACK
bool given_up;       // its sends ran out unacknowledged, no new frame since
uint64_t hang_up_us; // when the line hangs up (--hang-up-on), 0: not due
BYTE resp_frame[MSG_MAX_FRAME];
WORD resp_len;
int resp_sends;
uint64_t ack_deadline_us;
DWORD pending_baud; // rate to take once the pending response is through
bool shutdown_seen; // the host said goodbye since the last look

std::deque<OUT_BYTE> outq;
uint64_t last_due_us;

uint64_t Byte_Time_Us(DWORD baud)
{
    return baud ? 10000000u / baud : 0;
}

uint64_t Wire_Time_Us(size_t bytes)
{
    return setup.pace ? bytes * Byte_Time_Us(cur_baud) : 0;
}

bool Chance(double p)
{
    if (p <= 0) return false;
    return std::uniform_real_distribution<double>(0.0, 1.0)(rng) < p;
}

BYTE Flip_Bits()
{
    return BYTE(std::uniform_int_distribution<int>(1, 255)(rng));
}

// Header and data; the trailer is not covered. A frame is never shorter than
// its header and trailer.
DWORD Frame_Sum(const BYTE *frame, WORD size)
{
    return Byte_Sum(frame, DWORD(size - sizeof(MSG_TRAILER_STRUCT)));
}

// Queues bytes for the line, no earlier than not_before_us; when pacing,
// each byte follows the previous one by one byte time.
void Queue_Output(const BYTE *data, size_t len, uint64_t not_before_us, uint64_t now_us)
{
    if (setup.silent) return;
    uint64_t bt = setup.pace ? Byte_Time_Us(cur_baud) : 0;
    uint64_t due = not_before_us > now_us ? not_before_us : now_us;
    if (!outq.empty() && last_due_us + bt > due) due = last_due_us + bt;
    for (size_t i = 0; i < len; i++, due += bt) {
        BYTE b = data[i];
        if (Chance(setup.out_drop_rate)) {
            Trace_Fmt("\"ev\":\"fault\",\"dir\":\"tx\",\"kind\":\"drop\"");
            continue;
        }
        if (Chance(setup.out_corrupt_rate)) {
            b ^= Flip_Bits();
            Trace_Fmt("\"ev\":\"fault\",\"dir\":\"tx\",\"kind\":\"corrupt\"");
        }
        outq.push_back({b, due});
        last_due_us = due;
    }
}

void Send_Control(BYTE b, uint64_t now_us)
{
    Queue_Output(&b, 1, now_us, now_us);
}

void Switch_Baud(const char *why)
{
    if (!pending_baud) return;
    Trace_Fmt("\"ev\":\"baud\",\"from\":%" PRIu32 ",\"to\":%" PRIu32 ",\"why\":\"%s\"", cur_baud,
              pending_baud, why);
    cur_baud = pending_baud;
    pending_baud = 0;
}

void Send_Response(uint64_t not_before_us, uint64_t now_us)
{
    resp_sends++;
    counts.responses_sent++;
    if (resp_sends > 1) counts.resends++;
    Queue_Output(resp_frame, resp_len, not_before_us, now_us);
    ack_deadline_us = (outq.empty() ? now_us : last_due_us) + ACK_WAIT_US;
    Trace_Fmt("\"ev\":\"tx_frame\",\"seq\":%u,\"size\":%u,\"cmd\":%u,\"name\":\"%s\",\"status\":%u,"
              "\"send\":%d",
              resp_frame[3], resp_len, resp_frame[4], Command_Name(resp_frame[4]),
              unsigned(resp_frame[5] | (resp_frame[6] << 8)), resp_sends);
}

// NAK or no ACK in time: send again, or give up after the last send.
void Response_Not_Acked(const char *why, uint64_t now_us)
{
    if (resp_sends < MAX_SENDS) {
        Trace_Fmt("\"ev\":\"resend\",\"why\":\"%s\"", why);
        Send_Response(now_us, now_us);
        return;
    }
    Trace_Fmt("\"ev\":\"give_up\",\"why\":\"%s\"", why);
    counts.give_ups++;
    pending = false;
    given_up = true;
    Switch_Baud("give_up");
}

void Build_Response(const BYTE *rec, WORD rec_len, BYTE seq)
{
    MSG_HEADER_STRUCT head{MSG_STX, WORD(rec_len + MSG_OVERHEAD), seq};
    memcpy(resp_frame, &head, sizeof head);
    memcpy(resp_frame + sizeof head, rec, rec_len);
    resp_len = WORD(rec_len + MSG_OVERHEAD);
    MSG_TRAILER_STRUCT trail;
    trail.msg_checksum = Frame_Sum(resp_frame, resp_len);
    trail.msg_inverse_checksum = ~trail.msg_checksum;
    trail.end_char = MSG_ETX;
    memcpy(resp_frame + resp_len - sizeof trail, &trail, sizeof trail);
}

// The request chosen by --fail comes back undone, with "not responding".
bool Fail_Request(const BYTE *rec, WORD rec_len, BYTE *resp, CMD_OUTCOME *outcome)
{
    if (rec_len < 3 || rec_len > MAX_RECORD || strcmp(Command_Name(rec[0]), setup.fail_name) ||
        ++fail_seen != setup.fail_nth)
        return false;
    memcpy(resp, rec, rec_len);
    resp[1] = 0x0B, resp[2] = 0;
    *outcome = CMD_OUTCOME{0, false};
    Trace_Fmt("\"ev\":\"fault\",\"kind\":\"fail\",\"name\":\"%s\"", setup.fail_name);
    return true;
}

void Frame_Intact(uint64_t now_us)
{
    const BYTE seq = rx_frame[3];
    const BYTE *rec = rx_frame + sizeof(MSG_HEADER_STRUCT);
    const WORD rec_len = WORD(rx_size - MSG_OVERHEAD);
    if (Trace_On()) { // describing the request is only worth it for the trace
        char fields[256];
        Describe_Request(rec, rec_len, fields, sizeof fields);
        Trace_Fmt("\"ev\":\"rx_frame\",\"seq\":%u,\"size\":%u,\"cmd\":%d,\"name\":\"%s\"%s", seq,
                  rx_size, rec_len ? rec[0] : 0, Command_Name(rec_len ? rec[0] : 0), fields);
    }
    counts.frames_ok++;
    if (setup.silent) return;
    if (naks_left) {
        naks_left--;
        Trace_Fmt("\"ev\":\"tx_nak\",\"seq\":%u,\"why\":\"nak_first\"", seq);
        Send_Control(MSG_NAK, now_us);
        return;
    }
    Trace_Fmt("\"ev\":\"tx_ack\",\"seq\":%u", seq);
    Send_Control(MSG_ACK, now_us);
    if (rec_len && rec[0] == setup.hang_up_cmd && !hang_up_us) {
        hang_up_us = now_us + HANG_UP_DELAY_US; // as if the board died at work
        return;
    }

    static BYTE resp[MAX_RECORD];
    CMD_OUTCOME outcome;
    WORD n = Fail_Request(rec, rec_len, resp, &outcome)
                 ? rec_len
                 : Execute_Request(rec, rec_len, &setup.mon, resp, &outcome);
    Build_Response(resp, n, seq);
    pending = true;
    resp_sends = 0;
    pending_baud = outcome.new_baud;
    if (outcome.shutdown && cur_baud != setup.reset_baud) pending_baud = setup.reset_baud;
    shutdown_seen = shutdown_seen || outcome.shutdown;
    // The request's own time on the wire passes before the answer starts.
    Send_Response(now_us + Wire_Time_Us(rx_size + 1), now_us);
}

void Frame_Complete(uint64_t now_us)
{
    rx_state = RX_HUNT;
    MSG_TRAILER_STRUCT trail;
    memcpy(&trail, rx_frame + rx_size - sizeof trail, sizeof trail);
    if (trail.end_char != MSG_ETX) {
        counts.frames_skipped++;
        Trace_Fmt("\"ev\":\"rx_skip\",\"why\":\"end_char\",\"size\":%u", rx_size);
        return;
    }
    DWORD sum = Frame_Sum(rx_frame, rx_size);
    const char *bad = sum != trail.msg_checksum            ? "checksum"
                      : ~sum != trail.msg_inverse_checksum ? "complement"
                                                           : nullptr;
    if (bad) {
        counts.frames_nak++;
        Trace_Fmt("\"ev\":\"tx_nak\",\"seq\":%u,\"why\":\"%s\"", rx_frame[3], bad);
        Send_Control(MSG_NAK, now_us);
        return;
    }
    Frame_Intact(now_us);
}

void Hunt_Byte(BYTE b, uint64_t now_us)
{
    if (b == MSG_STX) {
        given_up = false;
        if (pending) {
            // The host has moved on: it sends again, so our answer is moot.
            Trace_Fmt("\"ev\":\"drop_response\",\"why\":\"new_frame\"");
            pending = false;
            pending_baud = 0;
        }
        rx_frame[0] = b;
        rx_len = 1;
        rx_state = RX_HEADER;
        return;
    }
    if (b == MSG_POLL) Trace_Fmt("\"ev\":\"rx_poll\"");
    if (b == MSG_POLL && given_up) {
        Trace_Fmt("\"ev\":\"resend\",\"why\":\"poll\"");
        given_up = false;
        pending = true;
        resp_sends = 0;
        Send_Response(now_us, now_us);
        return;
    }
    if (!pending) return;
    if (b == MSG_ACK) {
        Trace_Fmt("\"ev\":\"rx_ack\"");
        pending = false;
        Switch_Baud("after_answer");
    } else if (b == MSG_NAK) {
        Trace_Fmt("\"ev\":\"rx_nak\"");
        Response_Not_Acked("nak", now_us);
    }
}

// A frame whose bytes stopped coming for too long is given up.
void Abandon_Stalled_Frame(uint64_t now_us)
{
    if (rx_state == RX_HUNT || now_us - rx_last_us <= FRAME_GAP_US) return;
    counts.frames_skipped++;
    Trace_Fmt("\"ev\":\"rx_skip\",\"why\":\"stalled\",\"got\":%u", rx_len);
    rx_state = RX_HUNT;
}

void Feed_Byte(BYTE b, uint64_t now_us)
{
    Abandon_Stalled_Frame(now_us);
    rx_last_us = now_us;
    if (rx_state == RX_HUNT) {
        Hunt_Byte(b, now_us);
        return;
    }
    rx_frame[rx_len++] = b;
    if (rx_state == RX_HEADER && rx_len == 3) {
        rx_size = WORD(rx_frame[1] | (rx_frame[2] << 8));
        if (rx_size < MSG_MIN_FRAME || rx_size > MSG_MAX_FRAME) {
            counts.frames_skipped++;
            Trace_Fmt("\"ev\":\"rx_skip\",\"why\":\"size\",\"size\":%u", rx_size);
            rx_state = RX_HUNT;
            return;
        }
        rx_state = RX_BODY;
    }
    if (rx_state == RX_BODY && rx_len == rx_size) Frame_Complete(now_us);
}

} // namespace

void Link_Init(const LINK_SETUP *s)
{
    setup = *s;
    cur_baud = setup.reset_baud;
    rng.seed(setup.seed);
    counts = LINK_COUNTS{};
    rx_state = RX_HUNT;
    rx_len = 0;
    naks_left = setup.nak_first;
    fail_seen = 0;
    pending = false;
    given_up = false;
    hang_up_us = 0;
    pending_baud = 0;
    shutdown_seen = false;
    outq.clear();
    last_due_us = 0;
}

void Link_Receive(const BYTE *data, size_t len, DWORD host_baud, uint64_t now_us)
{
    if (pending_baud && host_baud == pending_baud) {
        // The host has already moved to the new rate: its ACK was lost on
        // the way, but the answer plainly got through.
        pending = false;
        Switch_Baud("host_switched");
    }
    if (host_baud && host_baud != cur_baud) {
        counts.garbage_bytes += DWORD(len);
        Trace_Fmt("\"ev\":\"garbage\",\"bytes\":%zu,\"host_baud\":%" PRIu32
                  ",\"board_baud\":%" PRIu32,
                  len, host_baud, cur_baud);
        rx_state = RX_HUNT;
        return;
    }
    for (size_t i = 0; i < len; i++) {
        BYTE b = data[i];
        if (Chance(setup.drop_rate)) {
            Trace_Fmt("\"ev\":\"fault\",\"dir\":\"rx\",\"kind\":\"drop\"");
            continue;
        }
        if (Chance(setup.corrupt_rate)) {
            b ^= Flip_Bits();
            Trace_Fmt("\"ev\":\"fault\",\"dir\":\"rx\",\"kind\":\"corrupt\"");
        }
        Feed_Byte(b, now_us);
    }
}

void Link_Timer(uint64_t now_us)
{
    Abandon_Stalled_Frame(now_us);
    if (pending && now_us >= ack_deadline_us) Response_Not_Acked("no_ack", now_us);
}

size_t Link_Take_Output(BYTE *buf, size_t cap, DWORD host_baud, uint64_t now_us)
{
    size_t n = 0, lost = 0;
    bool wrong_rate = host_baud && host_baud != cur_baud;
    while (!outq.empty() && outq.front().due_us <= now_us && n < cap) {
        if (wrong_rate)
            lost++;
        else
            buf[n++] = outq.front().value;
        outq.pop_front();
    }
    if (lost)
        Trace_Fmt("\"ev\":\"tx_lost\",\"bytes\":%zu,\"host_baud\":%" PRIu32
                  ",\"board_baud\":%" PRIu32,
                  lost, host_baud, cur_baud);
    return n;
}

int Link_Wait_Ms(uint64_t now_us)
{
    uint64_t next = UINT64_MAX;
    if (!outq.empty()) next = outq.front().due_us;
    if (pending && ack_deadline_us < next) next = ack_deadline_us;
    if (hang_up_us && hang_up_us < next) next = hang_up_us;
    if (rx_state != RX_HUNT && rx_last_us + FRAME_GAP_US + 1 < next)
        next = rx_last_us + FRAME_GAP_US + 1;
    if (next == UINT64_MAX) return -1;
    if (next <= now_us) return 0;
    uint64_t ms = (next - now_us + 999) / 1000;
    return ms > 60000 ? 60000 : int(ms);
}

DWORD Link_Baud()
{
    return cur_baud;
}

bool Link_Take_Shutdown()
{
    bool seen = shutdown_seen;
    shutdown_seen = false;
    return seen;
}

bool Link_Hang_Up_Due(uint64_t now_us)
{
    if (!hang_up_us || now_us < hang_up_us) return false;
    Trace_Fmt("\"ev\":\"hang_up\",\"cmd\":\"%s\"", Command_Name(setup.hang_up_cmd));
    return true;
}

const LINK_COUNTS *Link_Counts()
{
    return &counts;
}

} // namespace vboard
