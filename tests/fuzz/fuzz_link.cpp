// Host actions against a hostile peer: frames well formed, none sent over three times in a row.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include "COMMS.h"
#include "FLDATA.h"
#include "HCMDFMT.h"
#include "MSG.h"
#include "flashu.h"
#include "fuzz.h"
#include "mem_port.h"

namespace {
struct TAPE {
    const uint8_t *p, *end;
    BYTE Byte() { return p < end ? *p++ : 0; }
    template <typename T> T Take() // little-endian
    {
        T v = 0;
        for (size_t i = 0; i < sizeof(T); i++) v = T(v | T(Byte()) << (8 * i));
        return v;
    }
} tape;

BYTE pattern[4096];

// The host's output, split strictly into control bytes and whole frames.
struct HOST_OUTPUT {
    Bytes partial, last_frame, request;
    int repeats = 0;
    size_t calls_seen = 0;
    BYTE seq = 0;
} host;

const auto Le32 = [](const BYTE *p) { return p[0] | p[1] << 8 | p[2] << 16 | DWORD(p[3]) << 24; };

void Check_Frame(const Bytes &f)
{
    DWORD sum = Mem_Sum(Bytes(f.begin(), f.end() - 9));
    FUZZ_CHECK(Le32(&f[f.size() - 9]) == sum && Le32(&f[f.size() - 5]) == ~sum &&
                   f.back() == MSG_ETX,
               "the host sent a frame with a bad checksum, complement or end character");
    // A frame again after the line was opened anew (the init's fall-back) starts a new count.
    bool reopened = Mem_Port().calls.find("open", host.calls_seen) != std::string::npos;
    host.calls_seen = Mem_Port().calls.size();
    host.repeats = f == host.last_frame && !reopened ? host.repeats + 1 : 1;
    FUZZ_CHECK(host.repeats <= 3, "the host sent the same frame %d times in a row", host.repeats);
    host.last_frame = f;
    host.request = Bytes(f.begin() + 4, f.end() - 9);
}

// The request as the answer: read data as asked, resized, spoiled from the tape, read sum right.
Bytes Answer()
{
    Bytes a = host.request;
    const bool read = a.size() >= 15 && a[0] == READ_RAM_CMD;
    if (read) a.resize(15 + std::min<DWORD>(Le32(&a[3]), CMD_MAX_DATA));
    BYTE resize = tape.Byte();
    if (resize & 0x80)
        a.resize(std::clamp<int>(int(a.size()) + (resize & 0x3F) - 32, 0, MSG_MAX_DATA));
    size_t fill = tape.Byte();
    for (size_t i = 15; i < a.size() && i < 15 + fill; i++) a[i] = tape.Byte();
    if (a.size() >= 3) a[1] = (resize & 0x40) ? tape.Byte() : 0;
    if (a.size() >= 3) a[2] = 0;
    for (int n = tape.Byte() % 4; n > 0 && !a.empty(); n--) { // at, then its byte
        size_t at = tape.Take<WORD>() % a.size();
        a[at] = tape.Byte();
    }
    if (read && a.size() >= 15) {
        DWORD sum = Mem_Sum(
            Bytes(a.begin() + 15, a.begin() + 15 + std::min<size_t>(Le32(&a[3]), a.size() - 15)));
        memcpy(&a[11], &sum, 4);
    }
    return a;
}

void React()
{
    if (tape.p >= tape.end) return; // silence from here on
    MEM_PORT_STATE &port = Mem_Port();
    const BYTE op = tape.Byte() % 10;
    if (op == 1) {
        Bytes raw(tape.Byte());
        for (BYTE &b : raw) b = tape.Byte();
        Mem_Port_Deliver(raw);
    } else if (op == 2 || op == 5 || op == 8) {
        Mem_Port_Deliver({op == 2 ? MSG_ACK : op == 5 ? MSG_CAN : MSG_NAK});
    } else if (op == 3 || op == 4 || op == 6) {
        Bytes frame = Mem_Frame(host.seq++, Answer()), ack_answer = {MSG_ACK};
        if (op == 4) {
            size_t at = tape.Take<WORD>() % frame.size();
            frame[at] ^= BYTE(1 + tape.Byte() % 255);
        }
        ack_answer.insert(ack_answer.end(), frame.begin(), frame.end());
        Mem_Port_Deliver(ack_answer, op == 6 ? port.now + 20u * tape.Byte() : port.now);
    } else if (op == 7) {
        port.hang_up_at = port.now + 10u * tape.Byte();
    } else if (op == 9) { // a frame of any length, maybe longer than the buffer it is read into
        Mem_Port_Deliver(Mem_Frame(
            host.seq++, Bytes(pattern, pattern + tape.Take<WORD>() % (MSG_MAX_DATA + 1))));
    }
}

void Host_Wrote(const BYTE *bytes, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        Bytes &f = host.partial;
        if (f.empty() && bytes[i] != MSG_STX) {
            FUZZ_CHECK(bytes[i] == MSG_ACK || bytes[i] == MSG_NAK || bytes[i] == MSG_POLL,
                       "the host sent 0x%02X outside a frame", bytes[i]);
            React();
            continue;
        }
        f.push_back(bytes[i]);
        WORD size = f.size() >= 3 ? WORD(f[1] | f[2] << 8) : 0;
        FUZZ_CHECK(f.size() < 3 || (size >= MSG_MIN_FRAME && size <= MSG_MAX_FRAME),
                   "frame size %u", size);
        if (f.size() < 3 || f.size() != size) continue;
        Check_Frame(f);
        f.clear();
        React();
    }
}

// One action: kind, address or allowance, size; a line that hung up is opened again.
void Act(TAPE *action)
{
    WORD s = 0, w1, w2;
    if (Comms_Port_Lost()) {
        Mem_Port().hang_up_at = 0xFFFFFFFF;
        host.partial.clear();
        Init_Message_Link(0, 9600, &s);
        link_up = 0;
    }
    BYTE what = action->Byte();
    DWORD addr = action->Take<DWORD>(), n = action->Take<WORD>() % (CMD_MAX_DATA + 64);
    std::unique_ptr<BYTE[]> buf(new BYTE[n]);
    memcpy(buf.get(), pattern, n);
    // Odd sizes ask init for a baud change, program for verify.
    switch (what % 13) {
    case 0:
        w1 = Rx_Message(buf.get(), WORD(n), WORD(addr), &s);
        FUZZ_CHECK(w1 == 0xFFFF || (s == E_OK && w1 <= n),
                   "Rx_Message returned %u for a %u-byte buffer", w1, n);
        break;
    case 1: Tx_Message(buf.get(), WORD(std::min<DWORD>(n, MSG_MAX_DATA)), WORD(addr), &s); break;
    case 2: Init_Command(&w1, &w2, &addr, &s); break;
    case 3: Echo_Msg(buf.get(), WORD(n), &s); break;
    case 4: Read_RAM(addr, n, buf.get(), &s); break;
    case 5: Write_RAM(addr, n, buf.get(), &s); break;
    case 6: Get_Flash_ID(addr, &w1, &w2, &s); break;
    case 7:
        link_up = 0;
        comm_port = 0;
        baud_rate = n & 1 ? 19200 : 9600;
        Init_Host_Target(&s);
        break;
    case 8:
        if (link_up) Shutdown_Host_Target(&s);
        break;
    case 9: Write_Flash_Tables(&s); break;
    case 10:
        snprintf(prog_name_str, 9, "P%u", addr % 9);
        verify_flash = n & 1;
        Program_Flash_Memory(&s);
        break;
    case 11: Echo_Data(WORD(n), 1 + addr % 3, &s); break;
    case 12: Erase_All_Flash_Memory(&s); break;
    }
}
} // namespace

int Fuzz_Link(const uint8_t *data, size_t size)
{
    Fuzz_Quiet quiet;
    for (size_t i = 0; i < sizeof pattern; i++) pattern[i] = BYTE(i * 7 + (i >> 8));
    // Three runs for the pipeline, the last across the edge of two blocks.
    std::ofstream("P.HEX") << ":02000004000EEC\n:04000000DEADBEEFC4\n:04040000DEADBEEFC0\n:"
                              "04FFFE00DEADBEEFC7\n:00000001FF\n";
    snprintf(filepath_str, sizeof filepath_str, "P.HEX");
    file_format = 0;
    log_level = LOG_ALWAYS;
    board_id = 3;
    baud_rate = 9600;
    link_up = 0;
    verify_flash = 0;
    target_prog_id = target_prog_version = number_device_map_entries = 0;
    boot_tbl_addr = system_tbl_addr = device_map_tbl_addr = dir_tbl_addr = 0;
    Reset_Flash_Table_Images();
    flash_time_source = [] { return DWORD(0x5F000000); }; // until the end of this input
    Clear_Comms_Status();
    // Up to eight actions of seven bytes first, the peer's reactions after them.
    size_t actions = size ? 1 + data[0] % 8 : 0, reactions_at = std::min(size, 1 + 7 * actions);
    TAPE action{data + std::min<size_t>(size, 1), data + reactions_at};
    host = HOST_OUTPUT();
    tape = TAPE{data + reactions_at, data + size};
    WORD s;
    Mem_Port_Install(0);
    Mem_Port().on_write = Host_Wrote;
    Init_Message_Link(0, 9600, &s);
    while (action.p < action.end) Act(&action);
    Shutdown_Message_Link(&s);
    link_up = 0;
    Mem_Port_Remove();
    Delete_Temp_Files();
    unlink("P.HEX");
    flash_time_source = nullptr;
    return 0;
}
