#include "mem_port.h"
#include <algorithm>
#include <cerrno>
#include <numeric>
#include <utility>
#include "SERPORT.h"

namespace {
MEM_PORT_STATE state;

void Deliver_Due()
{
    auto &p = state.pending;
    std::stable_sort(p.begin(), p.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    for (; !p.empty() && p.front().first <= state.now; p.erase(p.begin()))
        state.rx.insert(state.rx.end(), p.front().second.begin(), p.front().second.end());
}

// The calls of the serial driver's platform table, on the state above.
struct MEM_OPS {
    static bool Ok_Unless(bool fail, int *err)
    {
        if (fail) *err = EIO;
        return !fail;
    }
    static bool Hung() { return state.now >= state.hang_up_at; }
    static void Call(const std::string &n) { state.calls += (state.calls.empty() ? "" : " ") + n; }
    static void Advance(DWORD ms)
    {
        state.waits++;
        state.now += ms;
        Deliver_Due();
    }
    static int Open(const char *path, int *err)
    {
        if (state.fail_open_errno || state.is_open) { // the driver must close before it re-opens
            *err = state.fail_open_errno ? state.fail_open_errno : EBUSY;
            return -1;
        }
        state.is_open = true;
        Call("open " + std::string(path));
        return 3;
    }
    static bool Get_State(int, int *err) { return Ok_Unless(state.fail_get_state, err); }
    static bool Setup(int, WORD, WORD, int *err) { return Ok_Unless(state.fail_setup, err); }
    static bool Set_State(int, DWORD baud, int *err)
    {
        if (!state.fail_set_state) Call("set " + std::to_string(baud));
        return Ok_Unless(state.fail_set_state, err);
    }
    static bool Purge(int, int which, int *err)
    {
        if (!Ok_Unless(state.fail_purge, err)) return false;
        Deliver_Due();
        if (which & SERPORT_PURGE_RX) state.rx.clear();
        if (!(which & SERPORT_PURGE_TX)) return true;
        state.out_queued = 0;
        Call("purge");
        return true;
    }
    static bool Close(int, int *err)
    {
        state.is_open = false;
        Call("close");
        return Ok_Unless(state.fail_close, err);
    }
    static long Write(int, const void *buffer, size_t count, int *err)
    {
        if (!Ok_Unless(Hung(), err)) return -1;
        Call("write");
        if (state.no_write_room) return 0;
        const BYTE *bytes = static_cast<const BYTE *>(buffer);
        state.tx.insert(state.tx.end(), bytes, bytes + count);
        if (state.hold_output) state.out_queued += static_cast<DWORD>(count);
        if (state.on_write) state.on_write(bytes, count);
        return static_cast<long>(count);
    }
    static long Read(int, void *buffer, size_t count, int *)
    {
        if (Hung()) return 0; // as a hung-up terminal reads
        Deliver_Due();
        size_t n = std::min(count, state.rx.size());
        std::copy_n(state.rx.begin(), n, static_cast<BYTE *>(buffer));
        state.rx.erase(state.rx.begin(), state.rx.begin() + static_cast<long>(n));
        return static_cast<long>(n);
    }
    static bool Queue_Counts(int, DWORD *in_count, DWORD *out_count, int *err)
    {
        if (!Ok_Unless(Hung(), err)) return false;
        Deliver_Due();
        if (state.trickle && state.out_queued) state.out_queued--;
        *in_count = static_cast<DWORD>(state.rx.size());
        *out_count = state.out_queued;
        return true;
    }
    // Blocks until ready, the next delivery or the hang-up, for ms at most. A hung-up line
    // answers at once; a caller spinning on it still sees time pass.
    static bool Wait_Until(DWORD ms, bool ready, int *err)
    {
        Deliver_Due();
        DWORD next = std::min(state.pending.empty() ? 0xFFFFFFFF : state.pending.front().first,
                              state.hang_up_at);
        Advance(Hung() ? 1 : ready ? 0 : std::min(ms, next - state.now));
        return Ok_Unless(Hung(), err);
    }
    static bool Wait_Readable(int, DWORD t, int *e) { return Wait_Until(t, !state.rx.empty(), e); }
    static bool Wait_Writable(int, DWORD ms, int *err) { return Wait_Until(ms, false, err); }
    static DWORD Now() { return state.now; }
    static void Sleep(DWORD ms) { Advance(ms); }
    static bool Drain(int, int *err)
    {
        Call("drain");
        return Ok_Unless(Hung(), err);
    }
};

const SERPORT_OPS_STRUCT mem_ops = {
    MEM_OPS::Open,         MEM_OPS::Get_State, MEM_OPS::Setup,         MEM_OPS::Set_State,
    MEM_OPS::Purge,        MEM_OPS::Close,     MEM_OPS::Write,         MEM_OPS::Read,
    MEM_OPS::Queue_Counts, MEM_OPS::Now,       MEM_OPS::Wait_Readable, MEM_OPS::Wait_Writable,
    MEM_OPS::Sleep,        MEM_OPS::Drain,
};
} // namespace

MEM_PORT_STATE &Mem_Port()
{
    return state;
}

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

void Mem_Port_Deliver(const Bytes &bytes, DWORD at_ms)
{
    state.pending.emplace_back(at_ms, bytes);
    Deliver_Due();
}

DWORD Mem_Sum(const Bytes &bytes)
{
    return std::accumulate(bytes.begin(), bytes.end(), DWORD(0));
}

Bytes Mem_Frame(BYTE seq, const Bytes &data)
{
    const WORD size = static_cast<WORD>(data.size() + 13);
    Bytes f = {0x02, static_cast<BYTE>(size), static_cast<BYTE>(size >> 8), seq};
    f.insert(f.end(), data.begin(), data.end());
    DWORD sum = Mem_Sum(f);
    for (DWORD v : {sum, ~sum})
        for (int bit = 0; bit < 32; bit += 8) f.push_back(static_cast<BYTE>(v >> bit));
    f.push_back(0x03);
    return f;
}

void Mem_Port_On_Frames(std::function<void(const Bytes &frame)> on_frame)
{
    state.on_write = [on_frame, partial = Bytes()](const BYTE *bytes, size_t count) mutable {
        for (size_t i = 0; i < count; i++) {
            if (partial.empty() && bytes[i] != 0x02) continue; // ACK, poll, noise
            partial.push_back(bytes[i]);
            size_t want = partial.size() < 3 ? 0 : partial[1] | (partial[2] << 8);
            if (partial.size() >= 3 && want < 13) partial.clear(); // a bad length: hunt again
            if (want >= 13 && partial.size() == want) on_frame(std::exchange(partial, Bytes()));
        }
    };
}

void Mem_Port_Monitor(std::function<Bytes(const Bytes &request)> respond)
{
    Mem_Port_On_Frames([respond, seq = BYTE(0)](const Bytes &frame) mutable {
        Mem_Port_Deliver({0x06});
        Bytes answer = respond(Bytes(frame.begin() + 4, frame.end() - 9));
        if (!answer.empty()) Mem_Port_Deliver(Mem_Frame(seq++, answer));
    });
}
