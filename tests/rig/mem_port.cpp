#include "mem_port.h"

#include <algorithm>
#include <cerrno>
#include <memory>

#include "SERPORT.h"

static MEM_PORT_STATE state;

MEM_PORT_STATE &Mem_Port() { return state; }

static void Deliver_Due()
{
    auto &p = state.pending;
    std::stable_sort(p.begin(), p.end(),
                     [](const std::pair<DWORD, Bytes> &a, const std::pair<DWORD, Bytes> &b) {
                         return a.first < b.first;
                     });
    while (!p.empty() && p.front().first <= state.now) {
        state.rx.insert(state.rx.end(), p.front().second.begin(), p.front().second.end());
        p.erase(p.begin());
    }
}

static void Advance(DWORD ms)
{
    state.now += ms;
    Deliver_Due();
}

static int Mem_Open(const char *path, int *err)
{
    if (state.fail_open_errno) {
        *err = state.fail_open_errno;
        return -1;
    }
    if (state.is_open) {  // the driver must close before it re-opens
        *err = EBUSY;
        return -1;
    }
    state.is_open = true;
    state.opens++;
    state.path = path;
    return 3;
}

static bool Fail_If(bool fail, int *err)
{
    if (fail) *err = EIO;
    return !fail;
}

static bool Mem_Get_State(int, int *err) { return Fail_If(state.fail_get_state, err); }
static bool Mem_Setup(int, WORD, WORD, int *err) { return Fail_If(state.fail_setup, err); }

static bool Mem_Set_State(int, DWORD baud, int *err)
{
    if (!Fail_If(state.fail_set_state, err)) return false;
    state.baud = baud;
    return true;
}

static bool Mem_Purge(int, int which, int *err)
{
    if (!Fail_If(state.fail_purge, err)) return false;
    if (which & SERPORT_PURGE_RX) {
        Deliver_Due();
        state.rx.clear();
        state.rx_purges++;
    }
    if (which & SERPORT_PURGE_TX) state.out_queued = 0;
    return true;
}

static bool Mem_Close(int, int *err)
{
    if (!state.is_open) state.close_when_closed++;
    state.is_open = false;
    state.closes++;
    return Fail_If(state.fail_close, err);
}

static long Mem_Write(int, const void *buffer, size_t count, int *err)
{
    if (state.fail_write) {
        *err = EIO;
        return -1;
    }
    if (state.no_write_room) return 0;
    const BYTE *bytes = static_cast<const BYTE *>(buffer);
    state.tx.insert(state.tx.end(), bytes, bytes + count);
    if (state.hold_output) state.out_queued += static_cast<DWORD>(count);
    if (state.on_write) state.on_write(bytes, count);
    return static_cast<long>(count);
}

static long Mem_Read(int, void *buffer, size_t count, int *err)
{
    if (state.fail_read) {
        *err = EIO;
        return -1;
    }
    Deliver_Due();
    size_t n = std::min(count, state.rx.size());
    BYTE *out = static_cast<BYTE *>(buffer);
    for (size_t i = 0; i < n; i++) {
        out[i] = state.rx.front();
        state.rx.pop_front();
    }
    return static_cast<long>(n);
}

static bool Mem_Queue_Counts(int, DWORD *in_count, DWORD *out_count)
{
    Deliver_Due();
    *in_count = static_cast<DWORD>(state.rx.size());
    *out_count = state.out_queued;
    return true;
}

static DWORD Mem_Now() { return state.now; }

static void Mem_Wait_Readable(int, DWORD ms)
{
    state.waits++;
    Deliver_Due();
    if (!state.rx.empty()) return;
    DWORD target = state.now + ms;
    if (!state.pending.empty() && state.pending.front().first - state.now <= ms) target = state.pending.front().first;
    state.now = target;
    Deliver_Due();
}

static void Mem_Wait_Writable(int, DWORD ms)
{
    state.waits++;
    Advance(ms);
}

static void Mem_Sleep(DWORD ms)
{
    state.waits++;
    Advance(ms);
}

static const SERPORT_OPS_STRUCT mem_ops = {
    Mem_Open,  Mem_Get_State, Mem_Setup,        Mem_Set_State,     Mem_Purge,
    Mem_Close, Mem_Write,     Mem_Read,         Mem_Queue_Counts,  Mem_Now,
    Mem_Wait_Readable, Mem_Wait_Writable, Mem_Sleep,
};

void Mem_Port_Install(DWORD start_ms)
{
    state = MEM_PORT_STATE();
    state.now = start_ms;
    Serport_Install(&mem_ops);
}

void Mem_Port_Remove()
{
    Serport_Install(nullptr);
    state = MEM_PORT_STATE();
}

void Mem_Port_Deliver(const Bytes &bytes) { state.rx.insert(state.rx.end(), bytes.begin(), bytes.end()); }

void Mem_Port_Deliver_At(DWORD when_ms, const Bytes &bytes) { state.pending.emplace_back(when_ms, bytes); Deliver_Due(); }

// ---- frames --------------------------------------------------------------------

DWORD Mem_Sum(const Bytes &bytes)
{
    DWORD sum = 0;
    for (BYTE b : bytes) sum += b;
    return sum;
}

static void Put_Le(Bytes *out, DWORD value, int bytes)
{
    for (int i = 0; i < bytes; i++) out->push_back(static_cast<BYTE>(value >> (8 * i)));
}

Bytes Mem_Frame_Raw(BYTE stx, WORD msg_size, BYTE seq, const Bytes &data, DWORD checksum,
                    DWORD inverse, BYTE etx)
{
    Bytes f;
    f.push_back(stx);
    Put_Le(&f, msg_size, 2);
    f.push_back(seq);
    f.insert(f.end(), data.begin(), data.end());
    Put_Le(&f, checksum, 4);
    Put_Le(&f, inverse, 4);
    f.push_back(etx);
    return f;
}

Bytes Mem_Frame(BYTE seq, const Bytes &data)
{
    WORD size = static_cast<WORD>(data.size() + 13);
    Bytes header = {0x02, static_cast<BYTE>(size), static_cast<BYTE>(size >> 8), seq};
    DWORD sum = Mem_Sum(header) + Mem_Sum(data);
    return Mem_Frame_Raw(0x02, size, seq, data, sum, ~sum, 0x03);
}

Bytes Mem_Frame_Data(const Bytes &frame)
{
    if (frame.size() < 13) return Bytes();
    return Bytes(frame.begin() + 4, frame.end() - 9);
}

void Mem_Port_On_Frames(std::function<void(const Bytes &frame)> on_frame)
{
    auto partial = std::make_shared<Bytes>();
    state.on_write = [partial, on_frame](const BYTE *bytes, size_t count) {
        for (size_t i = 0; i < count; i++) {
            if (partial->empty() && bytes[i] != 0x02) continue;  // ACK, poll, noise
            partial->push_back(bytes[i]);
            if (partial->size() < 3) continue;
            size_t want = (*partial)[1] | ((*partial)[2] << 8);
            if (want < 13) {
                partial->clear();
                continue;
            }
            if (partial->size() == want) {
                Bytes frame;
                frame.swap(*partial);
                on_frame(frame);
            }
        }
    };
}

void Mem_Port_Monitor(std::function<Bytes(const Bytes &request)> respond)
{
    auto seq = std::make_shared<BYTE>(0);
    Mem_Port_On_Frames([respond, seq](const Bytes &frame) {
        Mem_Port_Deliver({0x06});
        Bytes answer = respond(Mem_Frame_Data(frame));
        if (!answer.empty()) Mem_Port_Deliver(Mem_Frame((*seq)++, answer));
    });
}
