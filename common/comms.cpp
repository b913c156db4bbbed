// Serial port driver. All waits block in the platform table's wait calls
// (poll or a 1 ms sleep) between checks, so a long silent wait costs no CPU
// while keeping 1 ms resolution.
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

// A flush only has to wait for what a previous write left behind; every write
// already waited for its own bytes.
static const DWORD FLUSH_LIMIT_MS = 5000;
static const DWORD WRITE_CHAR_LIMIT_MS = 1000;

void Serport_Install(const SERPORT_OPS_STRUCT *new_ops)
{
    ops = new_ops ? new_ops : &posix_serport_ops;
    clock_base = ops->now_ms();
    port = -1;
    comOpen = 0;
}

const SERPORT_OPS_STRUCT *Serport_Ops() { return ops; }

DWORD Comms_GetTime() { return ops->now_ms() - clock_base; }

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
    if (err == EWOULDBLOCK) err = EBUSY;  // lock held by another program
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

// False when the platform could not close the port; it counts as closed
// all the same.
static bool Close_Port_Handle()
{
    int err = 0;
    bool closed = ops->close_port(port, &err);
    port = -1;
    comOpen = 0;
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

    int err = 0;
    port = ops->open_port(path, &err);
    if (port < 0) {
        Report_Open_Failure(comm_port, path, err);
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

// ---- queue counts and waits ----------------------------------------------------

static DWORD Input_Count()
{
    DWORD in = 0, out = 0;
    if (!ops->queue_counts(port, &in, &out)) return 0;
    return in;
}

static DWORD Output_Count()
{
    DWORD in = 0, out = 0;
    if (!ops->queue_counts(port, &in, &out)) return 0;
    return out;
}

// Waits until the output queue is empty; false when more than limit_ms passed.
static bool Wait_Output_Drained(DWORD start, DWORD limit_ms)
{
    while (Output_Count() != 0) {
        if (Comms_GetTime() - start > limit_ms) return false;
        ops->sleep_ms(1);
    }
    return true;
}

// Waits until at least count bytes are queued; false when more than limit_ms
// passed (checked last, so late arrivals still count as a time-out).
static bool Wait_Input_Queued(DWORD count, DWORD start, DWORD limit_ms)
{
    for (;;) {
        DWORD elapsed = Comms_GetTime() - start;
        if (elapsed > limit_ms) break;
        DWORD queued = Input_Count();
        if (queued >= count) break;
        if (queued == 0)
            ops->wait_readable(port, limit_ms - elapsed + 1);
        else
            ops->sleep_ms(1);  // a part is here: readiness would not block
    }
    return Comms_GetTime() - start <= limit_ms;
}

// Hands all bytes to the platform, waiting for room while the limit allows.
// Returns the count accepted, or -1 when a write is refused.
static long Write_All(const BYTE *bytes, size_t count, DWORD start, DWORD limit_ms)
{
    size_t done = 0;
    while (done < count) {
        int err = 0;
        long n = ops->write_bytes(port, bytes + done, count - done, &err);
        if (n < 0) return -1;
        done += static_cast<size_t>(n);
        if (done == count) break;
        DWORD elapsed = Comms_GetTime() - start;
        if (elapsed > limit_ms) break;
        ops->wait_writable(port, limit_ms - elapsed + 1);
    }
    return static_cast<long>(done);
}

// ---- data transfer ---------------------------------------------------------------

WORD Tx_Data(const void *lpBuffer, WORD wSize, WORD wTimeout, WORD *wStatus)
{
    *wStatus = E_WRITE_COMM;
    DWORD limit = static_cast<DWORD>(wSize) * wTimeout * 10u;
    DWORD start = Comms_GetTime();
    long written = Write_All(static_cast<const BYTE *>(lpBuffer), wSize, start, limit);
    if (written < 0) return 0;
    if (written < wSize || !Wait_Output_Drained(start, limit)) {
        *wStatus = E_TIME;
        return 0;
    }
    *wStatus = E_OK;
    return static_cast<WORD>(written);
}

// Reads count bytes that are known to be queued.
static bool Read_Queued(BYTE *bytes, size_t count)
{
    size_t done = 0;
    while (done < count) {
        int err = 0;
        long n = ops->read_bytes(port, bytes + done, count - done, &err);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

WORD Rx_Data(void *lpBuffer, WORD wSize, WORD wTimeout, WORD *wStatus)
{
    *wStatus = E_OK;
    DWORD limit = static_cast<DWORD>(wSize) * wTimeout * 10u;
    DWORD start = Comms_GetTime();
    if (!Wait_Input_Queued(wSize, start, limit)) {
        *wStatus = E_TIME;
        return 0;
    }
    if (!Read_Queued(static_cast<BYTE *>(lpBuffer), wSize)) {
        *wStatus = E_READ_COMM;
        return 0;
    }
    return wSize;
}

void Comms_Write_Char(const BYTE *ch, WORD *wStatus)
{
    *wStatus = E_WRITE_COMM;
    DWORD start = Comms_GetTime();
    if (Write_All(ch, 1, start, WRITE_CHAR_LIMIT_MS) != 1) return;
    Wait_Output_Drained(start, WRITE_CHAR_LIMIT_MS);
    *wStatus = E_OK;
}

WORD Comms_Read(void *buffer, WORD buffSize, WORD *wStatus)
{
    *wStatus = E_OK;
    if (buffSize == 0) return 0;
    int err = 0;
    long n = ops->read_bytes(port, buffer, buffSize, &err);
    if (n < 0) {
        *wStatus = E_READ_COMM;
        return 0;
    }
    return static_cast<WORD>(n);
}

void Comms_ClearInputBuffer()
{
    int err = 0;
    ops->purge(port, SERPORT_PURGE_RX, &err);
}

void Comms_FlushFileBuffers(WORD *wStatus)
{
    *wStatus = Wait_Output_Drained(Comms_GetTime(), FLUSH_LIMIT_MS) ? E_OK : E_TIME;
}
