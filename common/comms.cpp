// Serial port driver. All waits block in the platform table's wait calls
// (poll or a 1 ms sleep) between checks, so a long silent wait costs no CPU
// while keeping 1 ms resolution. A line that hangs up ends every wait at once
// and output that stops moving ends a write within seconds, each with one
// line naming the port.
#include "COMMS.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FLCOMMON.h"
#include "SERPORT.h"

int comOpen = 0;

static int port = -1;
static const SERPORT_OPS_STRUCT *ops = &posix_serport_ops;
static DWORD clock_base = posix_serport_ops.now_ms();
// The open port as the user knows it, for the lines about a lost or blocked line.
static WORD port_number = 0;
static char port_path[256] = "";
// Hung up or failed: every later call fails at once instead of waiting on it.
static bool port_lost = false;

// A flush only has to wait for what a previous write left behind; every write
// already waited for its own bytes.
static const DWORD FLUSH_LIMIT_MS = 5000;
static const DWORD WRITE_CHAR_LIMIT_MS = 1000;
// Output that does not move for this long is held up for good (flow control
// held off, a stuck adapter): the write fails rather than wait out allowances
// of minutes or days.
static const DWORD STALL_LIMIT_MS = 5000;

void Serport_Install(const SERPORT_OPS_STRUCT *new_ops)
{
    ops = new_ops ? new_ops : &posix_serport_ops;
    clock_base = ops->now_ms();
    port = -1;
    comOpen = 0;
}

const SERPORT_OPS_STRUCT *Serport_Ops()
{
    return ops;
}

DWORD Comms_GetTime()
{
    return ops->now_ms() - clock_base;
}

bool Comms_Device_Path(WORD comm_port, char *path, size_t path_size)
{
    if (comm_port >= COMMS_NUM_PORTS) return false;
    char env_name[16];
    snprintf(env_name, sizeof env_name, "TORVEX_COM%u", comm_port + 1u);
    const char *env = getenv(env_name);
    if (env && *env)
        snprintf(path, path_size, "%s", env);
    else
        snprintf(path, path_size, "/dev/ttyS%u", static_cast<unsigned>(comm_port));
    return true;
}

// ---- opening and closing -----------------------------------------------------

// Joining the device's group helps only when the group may read and write
// it, everyone else may not, and this process is not in the group already.
static bool Group_Would_Help(const struct stat &st)
{
    if ((st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) return false;
    if ((st.st_mode & (S_IROTH | S_IWOTH)) == (S_IROTH | S_IWOTH)) return false;
    if (getegid() == st.st_gid) return false;
    gid_t groups[256];
    int n = getgroups(256, groups);
    for (int i = 0; i < n; i++)
        if (groups[i] == st.st_gid) return false;
    return true;
}

// One line at level 1 so a user can see which device a COM name stands for
// and why it could not be used.
static void Report_Open_Failure(WORD comm_port, const char *path, int err)
{
    if (err == EWOULDBLOCK) err = EBUSY; // lock held by another program
    char hint[120] = "";
    struct stat st;
    if (err == EACCES && stat(path, &st) == 0 && Group_Would_Help(st)) {
        const struct group *gr = getgrgid(st.st_gid);
        if (gr)
            snprintf(hint, sizeof hint, " (join group %s, which owns the device)", gr->gr_name);
        else
            snprintf(hint, sizeof hint, " (join the group that owns the device)");
    } else if (err == EBUSY) {
        snprintf(hint, sizeof hint, " (in use by another program)");
    }
    Log_Fmt(LOG_TERSE, "COM%u is %s: %s%s\n", comm_port + 1u, path,
            err ? strerror(err) : "cannot be used", hint);
}

enum WAIT_RESULT { WAIT_DONE, WAIT_TIMEOUT, WAIT_STALLED, WAIT_LOST };

static WAIT_RESULT Port_Lost(int err)
{
    if (!port_lost)
        Log_Fmt(LOG_ALWAYS, "\nCOM%u (%s) hung up: %s\n", port_number + 1u, port_path,
                strerror(err ? err : EIO));
    port_lost = true;
    return WAIT_LOST;
}

static WAIT_RESULT Output_Stalled()
{
    Log_Fmt(LOG_ALWAYS, "\nCOM%u (%s) blocked: nothing sent for %" PRIu32 " s\n", port_number + 1u,
            port_path, STALL_LIMIT_MS / 1000);
    return WAIT_STALLED;
}

bool Comms_Port_Lost()
{
    return comOpen && port_lost;
}

// A closed port (the terminal could not give the target its port back) fails
// like a lost one, without a line: nothing went away.
static bool Port_Unusable()
{
    return port_lost || !comOpen;
}

static bool Queue_Counts(DWORD *in_count, DWORD *out_count)
{
    int err = 0;
    if (ops->queue_counts(port, in_count, out_count, &err)) return true;
    Port_Lost(err);
    return false;
}

// Waits until the output queue is empty, for at most limit_ms, and fails
// sooner when the queue stops moving.
static WAIT_RESULT Wait_Output_Drained(DWORD start, DWORD limit_ms)
{
    DWORD in = 0, out = 0, last_out = 0xFFFFFFFFUL, moved = Comms_GetTime();
    for (;;) {
        if (!Queue_Counts(&in, &out)) return WAIT_LOST;
        if (out == 0) return WAIT_DONE;
        DWORD now = Comms_GetTime();
        if (out < last_out) last_out = out, moved = now;
        if (now - moved > STALL_LIMIT_MS) return WAIT_STALLED;
        if (now - start > limit_ms) return WAIT_TIMEOUT;
        ops->sleep_ms(1);
    }
}

// What is still queued leaves at the rate it was written at, before the line
// is set back or closed; what cannot leave is discarded, so it neither goes
// out later at another rate nor holds up the close.
static void Drain_Output()
{
    if (Port_Unusable()) return;
    int err = 0;
    if (Wait_Output_Drained(Comms_GetTime(), STALL_LIMIT_MS) == WAIT_DONE)
        ops->drain(port, &err);
    else if (!port_lost)
        ops->purge(port, SERPORT_PURGE_TX, &err);
}

// False when the platform could not close the port; it counts as closed
// all the same.
static bool Close_Port_Handle()
{
    Drain_Output();
    int err = 0;
    bool closed = ops->close_port(port, &err);
    port = -1;
    comOpen = 0;
    port_lost = false;
    return closed;
}

// Steps after a successful open; returns 0 or the status of the failed step.
static WORD Configure_Port(DWORD dwBaudRate, int *err)
{
    if (!ops->get_state(port, err)) return E_GET_STATE;
    if (!ops->setup_queues(port, COMMS_QUEUE_SIZE, COMMS_QUEUE_SIZE, err)) return E_SETUP_COMM;
    if (!ops->set_state(port, dwBaudRate, err)) return E_SET_STATE;
    if (!ops->purge(port, SERPORT_PURGE_RX | SERPORT_PURGE_TX, err)) return E_PURGE;
    return E_OK;
}

void Init_Comms_Link(WORD comm_port, DWORD dwBaudRate, WORD *wStatus)
{
    *wStatus = E_OK;
    char path[256];
    if (!Comms_Device_Path(comm_port, path, sizeof path)) {
        // Ending the program here would lose changed flash tables held in
        // host memory; the caller reports the failed open instead.
        printf("Unsupported COM port #%d.\n", static_cast<int>(comm_port));
        fflush(stdout);
        *wStatus = E_REPORTED;
        return;
    }
    if (comOpen) Close_Port_Handle();

    port_number = comm_port;
    snprintf(port_path, sizeof port_path, "%s", path);
    int err = 0;
    port = ops->open_port(path, &err);
    if (port < 0) {
        Report_Open_Failure(comm_port, path, err);
        List_Serial_Ports(comm_port);
        *wStatus = E_OPEN_COM;
        return;
    }
    WORD status = Configure_Port(dwBaudRate, &err);
    if (status != E_OK) {
        Report_Open_Failure(comm_port, path, err);
        Close_Port_Handle();
        *wStatus = status;
        return;
    }
    comOpen = 1;
}

void Shutdown_Comms_Link(WORD *wStatus)
{
    *wStatus = E_OK;
    if (comOpen && !Close_Port_Handle()) *wStatus = E_CLOSE_COMM;
}

// ---- waits and data transfer -------------------------------------------------------

// Waits until at least count bytes are queued; a time-out when more than
// limit_ms passed (checked last, so late arrivals still count as one).
static WAIT_RESULT Wait_Input_Queued(DWORD count, DWORD start, DWORD limit_ms)
{
    for (;;) {
        DWORD elapsed = Comms_GetTime() - start;
        if (elapsed > limit_ms) break;
        DWORD in = 0, out = 0;
        if (!Queue_Counts(&in, &out)) return WAIT_LOST;
        if (in >= count) break;
        int err = 0;
        if (in != 0)
            ops->sleep_ms(1); // a part is here: readiness would not block
        else if (!ops->wait_readable(port, limit_ms - elapsed + 1, &err))
            return Port_Lost(err);
    }
    return Comms_GetTime() - start <= limit_ms ? WAIT_DONE : WAIT_TIMEOUT;
}

// Hands all bytes to the platform, waiting for room while the limit allows
// and the device keeps taking bytes.
static WAIT_RESULT Write_All(const BYTE *bytes, size_t count, DWORD start, DWORD limit_ms)
{
    size_t done = 0;
    DWORD moved = start;
    for (;;) {
        int err = 0;
        long n = ops->write_bytes(port, bytes + done, count - done, &err);
        if (n < 0) return Port_Lost(err);
        DWORD now = Comms_GetTime();
        if (n > 0) moved = now;
        done += static_cast<size_t>(n);
        if (done == count) return WAIT_DONE;
        if (now - moved > STALL_LIMIT_MS) return WAIT_STALLED;
        if (now - start > limit_ms) return WAIT_TIMEOUT;
        DWORD wait = limit_ms - (now - start);
        if (wait > STALL_LIMIT_MS - (now - moved)) wait = STALL_LIMIT_MS - (now - moved);
        if (!ops->wait_writable(port, wait + 1, &err)) return Port_Lost(err);
    }
}

// A lost or blocked line is the write's failure; running out of the caller's
// allowance stays a time-out.
static WORD Write_Status(WAIT_RESULT result)
{
    if (result == WAIT_STALLED) Output_Stalled();
    return result == WAIT_DONE ? E_OK : result == WAIT_TIMEOUT ? E_TIME : E_WRITE_COMM;
}

WORD Tx_Data(const void *lpBuffer, WORD wSize, WORD wTimeout, WORD *wStatus)
{
    *wStatus = E_WRITE_COMM;
    if (Port_Unusable()) return 0;
    DWORD limit = static_cast<DWORD>(wSize) * wTimeout * 10u;
    DWORD start = Comms_GetTime();
    WAIT_RESULT result = Write_All(static_cast<const BYTE *>(lpBuffer), wSize, start, limit);
    if (result == WAIT_DONE) result = Wait_Output_Drained(start, limit);
    *wStatus = Write_Status(result);
    return result == WAIT_DONE ? wSize : 0;
}

// Reads count bytes that are known to be queued; none coming means the line
// went away in between.
static bool Read_Queued(BYTE *bytes, size_t count)
{
    size_t done = 0;
    while (done < count) {
        int err = 0;
        long n = ops->read_bytes(port, bytes + done, count - done, &err);
        if (n <= 0) {
            Port_Lost(n < 0 ? err : EIO);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

WORD Rx_Data(void *lpBuffer, WORD wSize, WORD wTimeout, WORD *wStatus)
{
    *wStatus = E_READ_COMM;
    if (Port_Unusable()) return 0;
    DWORD limit = static_cast<DWORD>(wSize) * wTimeout * 10u;
    WAIT_RESULT result = Wait_Input_Queued(wSize, Comms_GetTime(), limit);
    if (result == WAIT_LOST) return 0;
    if (result == WAIT_TIMEOUT) {
        *wStatus = E_TIME;
        return 0;
    }
    if (!Read_Queued(static_cast<BYTE *>(lpBuffer), wSize)) return 0;
    *wStatus = E_OK;
    return wSize;
}

void Comms_Write_Char(const BYTE *ch, WORD *wStatus)
{
    *wStatus = E_WRITE_COMM;
    if (Port_Unusable()) return;
    DWORD start = Comms_GetTime();
    if (Write_All(ch, 1, start, WRITE_CHAR_LIMIT_MS) != WAIT_DONE) return;
    if (Wait_Output_Drained(start, WRITE_CHAR_LIMIT_MS) == WAIT_LOST) return;
    *wStatus = E_OK;
}

// Never waits; a read that finds nothing asks the line whether it is still
// there, so a terminal learns of a hang-up instead of falling silent.
WORD Comms_Read(void *buffer, WORD buffSize, WORD *wStatus)
{
    *wStatus = E_READ_COMM;
    if (Port_Unusable()) return 0;
    *wStatus = E_OK;
    if (buffSize == 0) return 0;
    int err = 0;
    long n = ops->read_bytes(port, buffer, buffSize, &err);
    if (n > 0) return static_cast<WORD>(n);
    if (n == 0 && ops->wait_readable(port, 0, &err)) return 0;
    Port_Lost(err);
    *wStatus = E_READ_COMM;
    return 0;
}

void Comms_ClearInputBuffer()
{
    int err = 0;
    if (!Port_Unusable()) ops->purge(port, SERPORT_PURGE_RX, &err);
}

void Comms_FlushFileBuffers(WORD *wStatus)
{
    *wStatus = E_WRITE_COMM;
    if (Port_Unusable()) return;
    WAIT_RESULT result = Wait_Output_Drained(Comms_GetTime(), FLUSH_LIMIT_MS);
    *wStatus = Write_Status(result);
}
