// POSIX terminal calls behind the serial driver.
#include <cerrno>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "SERPORT.h"

// Settings found at open, put back at close (one port at a time); plain
// globals, so a signal handler can put them back too.
static struct termios saved_settings;
static volatile bool settings_saved = false;
static volatile int open_fd = -1;

static int Posix_Open(const char *path, int *err)
{
    // Non-blocking: no wait for carrier at open, and reads/writes never hang;
    // the driver does its own bounded waiting.
    int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *err = errno;
        close(fd);
        return -1;
    }
    // Keeps out programs that do not use locks; not every device has it.
    if (ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY && errno != EINVAL) {
        *err = errno;
        flock(fd, LOCK_UN);
        close(fd);
        return -1;
    }
    settings_saved = false;
    open_fd = fd;
    return fd;
}

static bool Posix_Get_State(int fd, int *err)
{
    if (tcgetattr(fd, &saved_settings) != 0) {
        *err = errno;
        return false;
    }
    settings_saved = true;
    return true;
}

// The kernel sizes its own queues; nothing to ask for.
static bool Posix_Setup_Queues(int, WORD, WORD, int *)
{
    return true;
}

static void Make_Raw_8N1(struct termios *tio)
{
    tio->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                           ICRNL | IXON | IXOFF | IXANY | INPCK);
    tio->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | HUPCL);
    tio->c_cflag |= CS8 | CLOCAL | CREAD; // CRTSCTS stays as the port had it
    tio->c_cc[VMIN] = 0;
    tio->c_cc[VTIME] = 0;
}

static bool Posix_Set_State(int fd, DWORD dwBaudRate, int *err)
{
    struct termios tio = saved_settings;
    Make_Raw_8N1(&tio);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        *err = errno;
        return false;
    }
    if (!Serport_Set_Baud(fd, dwBaudRate, err)) return false;
    int lines = TIOCM_DTR | TIOCM_RTS;
    // A pseudo-terminal has no modem lines and refuses; that is no fault.
    if (ioctl(fd, TIOCMBIS, &lines) != 0 && errno != ENOTTY && errno != EINVAL && errno != EIO) {
        *err = errno;
        return false;
    }
    return true;
}

static bool Posix_Purge(int fd, int which, int *err)
{
    int queue = TCIOFLUSH;
    if (which == SERPORT_PURGE_RX) queue = TCIFLUSH;
    if (which == SERPORT_PURGE_TX) queue = TCOFLUSH;
    if (tcflush(fd, queue) != 0) {
        *err = errno;
        return false;
    }
    return true;
}

// The driver has drained or discarded the output first: restoring the
// settings at once cannot change the rate of a byte still on its way.
static bool Posix_Close(int fd, int *err)
{
    open_fd = -1;
    if (settings_saved) tcsetattr(fd, TCSANOW, &saved_settings);
    settings_saved = false;
    // On a pseudo-terminal the exclusive flag outlives the close and would
    // refuse the next open (every baud change re-opens the port).
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    if (close(fd) != 0) {
        *err = errno;
        return false;
    }
    return true;
}

void Serport_Release_At_Once()
{
    int fd = open_fd;
    if (fd < 0) return;
    open_fd = -1;
    if (settings_saved) tcsetattr(fd, TCSANOW, &saved_settings);
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    close(fd);
}

// A transfer that would block or was interrupted moved nothing yet; only a
// real failure is one.
static long Transfer_Count(ssize_t n, int *err)
{
    if (n >= 0) return static_cast<long>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    *err = errno;
    return -1;
}

static long Posix_Write(int fd, const void *buffer, size_t count, int *err)
{
    return Transfer_Count(write(fd, buffer, count), err);
}

static long Posix_Read(int fd, void *buffer, size_t count, int *err)
{
    return Transfer_Count(read(fd, buffer, count), err);
}

// A hung-up device fails the ioctl (EIO): that is how a vanished port shows.
static bool Posix_Queue_Counts(int fd, DWORD *in_count, DWORD *out_count, int *err)
{
    int in = 0, out = 0;
    if (ioctl(fd, FIONREAD, &in) != 0) {
        *err = errno;
        return false;
    }
    if (ioctl(fd, TIOCOUTQ, &out) != 0) out = 0;
    *in_count = in > 0 ? static_cast<DWORD>(in) : 0;
    *out_count = out > 0 ? static_cast<DWORD>(out) : 0;
    return true;
}

static DWORD Posix_Now_Ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<DWORD>(static_cast<unsigned long long>(ts.tv_sec) * 1000u +
                              static_cast<unsigned long long>(ts.tv_nsec) / 1000000u);
}

static void Posix_Sleep_Ms(DWORD ms)
{
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {}
}

// A hung-up or failing line is "ready" at once and stays so: it is reported,
// never waited on again.
static bool Posix_Wait(int fd, short events, DWORD ms, int *err)
{
    struct pollfd pfd;
    pfd.fd = fd;
    pfd.events = events;
    pfd.revents = 0;
    int timeout = ms > static_cast<DWORD>(INT_MAX) ? INT_MAX : static_cast<int>(ms);
    int n = poll(&pfd, 1, timeout);
    if (n < 0) {
        if (errno == EINTR) return true;
        *err = errno;
        return false;
    }
    if (n > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        *err = (pfd.revents & POLLNVAL) ? EBADF : EIO;
        return false;
    }
    return true;
}

static bool Posix_Wait_Readable(int fd, DWORD ms, int *err)
{
    return Posix_Wait(fd, POLLIN, ms, err);
}
static bool Posix_Wait_Writable(int fd, DWORD ms, int *err)
{
    return Posix_Wait(fd, POLLOUT, ms, err);
}

// With the kernel's queue empty only the UART's own FIFO is left, so tcdrain
// returns within a few byte times.
static bool Posix_Drain(int fd, int *err)
{
    if (tcdrain(fd) != 0) {
        *err = errno;
        return false;
    }
    return true;
}

const SERPORT_OPS_STRUCT posix_serport_ops = {
    Posix_Open,          Posix_Get_State,     Posix_Setup_Queues, Posix_Set_State,    Posix_Purge,
    Posix_Close,         Posix_Write,         Posix_Read,         Posix_Queue_Counts, Posix_Now_Ms,
    Posix_Wait_Readable, Posix_Wait_Writable, Posix_Sleep_Ms,     Posix_Drain,
};
