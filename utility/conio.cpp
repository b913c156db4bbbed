// Console layer over POSIX termios; see CONIO.h for the rules it keeps.
#include "CONIO.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

static bool con_ready = false;
static bool con_tty = false;
static volatile sig_atomic_t con_saved = 0;
static struct termios con_saved_tio;
static int con_raw_depth = 0;
static int con_pending = -1; // one byte read by a poll, not yet taken
static bool con_eof = false;

// What the signal handlers noted; a byte in the wake pipe ends a blocked wait.
static volatile sig_atomic_t con_interrupt = 0;
static volatile sig_atomic_t con_stop = 0;
static int con_wake[2] = {-1, -1};
static void (*volatile con_release)() = nullptr;
// A session asked to end gets this long to write its tables and shut down.
static const unsigned CON_STOP_DEADLINE_S = 20;
constexpr int CON_SIGNALLED = -3;

void Con_Restore()
{
    if (con_saved) tcsetattr(STDIN_FILENO, TCSANOW, &con_saved_tio);
}

static void Con_End_At_Once()
{
    Con_Restore();
    if (con_release) con_release();
    _exit(2);
}

static void Con_Note_Stop(int reason)
{
    con_stop = reason;
    alarm(CON_STOP_DEADLINE_S);
}

static void Con_On_Signal(int sig)
{
    int saved_errno = errno;
    if (sig == SIGINT && con_stop == 0)
        con_interrupt = 1;
    else if ((sig == SIGTERM || sig == SIGHUP) && con_stop == 0)
        Con_Note_Stop(sig);
    else
        Con_End_At_Once(); // SIGQUIT, the deadline, any signal while ending
    if (con_wake[1] >= 0) {
        char b = 0;
        ssize_t n = write(con_wake[1], &b, 1);
        (void)n;
    }
    errno = saved_errno;
}

// Writes restart after a handler, so stdio never mistakes a signal for a
// failed write; waits use poll(), which a signal always ends.
static void Con_Install_Handlers()
{
    if (pipe2(con_wake, O_CLOEXEC | O_NONBLOCK) != 0) con_wake[0] = con_wake[1] = -1;
    const int sigs[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM};
    for (int sig : sigs) {
        struct sigaction sa {};
        sa.sa_handler = Con_On_Signal;
        sa.sa_flags = SA_RESTART;
        sigemptyset(&sa.sa_mask);
        for (int other : sigs) sigaddset(&sa.sa_mask, other);
        sigaction(sig, &sa, nullptr);
    }
    signal(SIGPIPE, SIG_IGN);
}

void Con_Init()
{
    if (con_ready) return;
    con_ready = true;
    Con_Install_Handlers();
    con_tty = isatty(STDIN_FILENO) != 0;
    if (!con_tty || tcgetattr(STDIN_FILENO, &con_saved_tio) != 0) return;
    con_saved = 1;
    atexit(Con_Restore);
}

int Con_Stop_Reason()
{
    return con_stop;
}

void Con_Request_Stop(int reason)
{
    if (con_stop == 0) Con_Note_Stop(reason);
}

bool Con_Take_Interrupt()
{
    if (!con_interrupt) return false;
    con_interrupt = 0;
    return true;
}

void Con_Set_End_At_Once(void (*release)())
{
    con_release = release;
}

bool Con_Input_Ended()
{
    return con_eof;
}

static void Con_Drain_Wake()
{
    char buf[16];
    while (read(con_wake[0], buf, sizeof buf) > 0) {}
}

// Waits up to ms (-1: no limit) for standard input: 1 when it is readable (or
// failing: the read tells), 0 when the time passed, CON_SIGNALLED when an
// interrupt or a stop is pending. Input already waiting comes first, so a
// signal never cuts a line that is there to be read.
static int Con_Wait_Input(int ms)
{
    struct pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {con_wake[0], POLLIN, 0}};
    if (poll(p, 1, 0) != 0) return 1;
    for (;;) {
        if (con_interrupt || con_stop) return CON_SIGNALLED;
        int n = poll(p, con_wake[0] >= 0 ? 2 : 1, ms);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || p[0].revents != 0) return 1;
        if (n == 0) return 0;
        Con_Drain_Wake();
        if (ms >= 0 && !con_interrupt && !con_stop) return 0;
    }
}

bool Con_Is_Tty()
{
    Con_Init();
    return con_tty;
}

// Non-canonical, no echo; vmin 0 makes reads return at once when no key waits.
static void Con_Set_Key_Mode(int vmin)
{
    if (!con_saved) return;
    struct termios tio = con_saved_tio;
    tio.c_lflag &= ~(ICANON | ECHO);
    tio.c_cc[VMIN] = (cc_t)vmin;
    tio.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &tio);
}

static void Con_Leave_Key_Mode()
{
    if (con_raw_depth == 0)
        Con_Restore();
    else
        Con_Set_Key_Mode(1);
}

// One byte from fd 0; 0 when none came (non-blocking read), -1 at end/error.
static int Con_Read_Byte(unsigned char *c)
{
    for (;;) {
        ssize_t n = read(STDIN_FILENO, c, 1);
        if (n == 1) return 1;
        if (n == 0) return con_tty ? 0 : -1;
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return 0;
        return -1;
    }
}

static int Con_Take_Pending()
{
    int c = con_pending;
    con_pending = -1;
    return c;
}

// The next byte as it comes: a held-back one first, then the stream's;
// CON_SIGNALLED when a signal came while waiting for it.
static int Con_Next_Byte()
{
    if (con_pending >= 0) return Con_Take_Pending();
    if (con_eof) return CON_EOF;
    if (Con_Wait_Input(-1) == CON_SIGNALLED) return CON_SIGNALLED;
    unsigned char c;
    if (Con_Read_Byte(&c) != 1) {
        con_eof = true;
        return CON_EOF;
    }
    return c;
}

static bool Con_Poll_Stream()
{
    struct pollfd pfd {
        STDIN_FILENO, POLLIN, 0
    };
    if (poll(&pfd, 1, 0) <= 0) return false;
    unsigned char c;
    if (Con_Read_Byte(&c) != 1) {
        con_eof = true;
        return false;
    }
    con_pending = c;
    return true;
}

static bool Con_Poll_Tty()
{
    unsigned char c;
    Con_Set_Key_Mode(0);
    ssize_t n = read(STDIN_FILENO, &c, 1);
    Con_Leave_Key_Mode();
    if (n != 1) return false;
    con_pending = c;
    return true;
}

bool Con_Kbhit()
{
    Con_Init();
    if (con_pending < 0 && !con_eof) {
        if (con_tty)
            Con_Poll_Tty();
        else
            Con_Poll_Stream();
    }
    if (con_pending < 0) return false;
    return con_tty || con_pending == CON_ESC;
}

// An interrupt counts as the escape key; a stop as the end of input.
static int Con_Signalled_Key()
{
    return Con_Take_Interrupt() ? CON_ESC : CON_EOF;
}

int Con_Getch()
{
    Con_Init();
    fflush(stdout);
    int c;
    if (!con_tty || con_pending >= 0 || con_eof) {
        c = Con_Next_Byte();
    } else {
        Con_Set_Key_Mode(1);
        c = Con_Next_Byte();
        Con_Leave_Key_Mode();
    }
    return c == CON_SIGNALLED ? Con_Signalled_Key() : c;
}

int Con_Wait_Key(int wait_ms)
{
    Con_Init();
    if (con_pending >= 0) return Con_Take_Pending();
    if (con_eof) return CON_EOF;
    // Outside raw mode a terminal would hold keys back until a line end.
    bool key_mode = con_tty && con_raw_depth == 0;
    if (key_mode) Con_Set_Key_Mode(0);
    int ready = Con_Wait_Input(wait_ms);
    unsigned char c;
    int got = ready == 1 ? Con_Read_Byte(&c) : 0;
    if (key_mode) Con_Leave_Key_Mode();
    if (ready == CON_SIGNALLED) {
        Con_Take_Interrupt();
        return CON_ESC;
    }
    if (got == 1) return c;
    if (got < 0) {
        con_eof = true;
        return CON_EOF;
    }
    return CON_NO_KEY;
}

int Con_Getche()
{
    int c = Con_Getch();
    if (c >= 0x20 && c < 0x7F) {
        putchar(c);
        fflush(stdout);
    }
    return c;
}

void Con_Raw_Begin()
{
    Con_Init();
    if (con_raw_depth++ == 0) Con_Set_Key_Mode(1);
}

void Con_Raw_End()
{
    if (con_raw_depth == 0) return;
    if (--con_raw_depth == 0) Con_Restore();
}

bool Con_Read_Line(char *buf, size_t size, bool *too_long)
{
    Con_Init();
    fflush(stdout);
    size_t len = 0;
    bool got_any = false;
    bool cr_past_end = false; // a CR line end just past a full buffer still fits
    *too_long = false;
    for (;;) {
        int c = Con_Next_Byte();
        if (c == CON_SIGNALLED) { // what was read of the line is dropped
            if (size > 0) buf[0] = '\0';
            return con_stop == 0;
        }
        if (c == CON_EOF) break;
        got_any = true;
        if (c == '\n') break;
        if (len + 1 < size) {
            buf[len++] = (char)c;
        } else {
            if (c == '\r' && !cr_past_end)
                cr_past_end = true;
            else
                *too_long = true;
        }
    }
    if (size > 0) buf[len < size ? len : size - 1] = '\0';
    if (len > 0 && buf[len - 1] == '\r') buf[--len] = '\0';
    return got_any;
}
