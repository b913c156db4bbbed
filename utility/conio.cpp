// Console layer over POSIX termios; see CONIO.h for the rules it keeps.
#include "CONIO.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

static bool con_ready = false;
static bool con_tty = false;
static volatile sig_atomic_t con_saved = 0;
static struct termios con_saved_tio;
static int con_raw_depth = 0;
static int con_pending = -1;   // one byte read by a poll, not yet taken
static bool con_eof = false;

void Con_Restore()
{
    if (con_saved) tcsetattr(STDIN_FILENO, TCSANOW, &con_saved_tio);
}

static void Con_Signal_Exit(int sig)
{
    Con_Restore();
    signal(sig, SIG_DFL);
    raise(sig);
}

void Con_Init()
{
    if (con_ready) return;
    con_ready = true;
    con_tty = isatty(STDIN_FILENO) != 0;
    if (!con_tty || tcgetattr(STDIN_FILENO, &con_saved_tio) != 0) return;
    con_saved = 1;
    atexit(Con_Restore);
    const int sigs[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
    for (int sig : sigs) {
        struct sigaction sa {};
        sa.sa_handler = Con_Signal_Exit;
        sigemptyset(&sa.sa_mask);
        sigaction(sig, &sa, nullptr);
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
    if (con_raw_depth == 0) Con_Restore();
    else Con_Set_Key_Mode(1);
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

// The next byte as it comes: a held-back one first, then the stream's.
static int Con_Next_Byte()
{
    if (con_pending >= 0) return Con_Take_Pending();
    if (con_eof) return CON_EOF;
    unsigned char c;
    if (Con_Read_Byte(&c) != 1) {
        con_eof = true;
        return CON_EOF;
    }
    return c;
}

static bool Con_Poll_Stream()
{
    struct pollfd pfd {STDIN_FILENO, POLLIN, 0};
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
        if (con_tty) Con_Poll_Tty();
        else Con_Poll_Stream();
    }
    if (con_pending < 0) return false;
    return con_tty || con_pending == CON_ESC;
}

int Con_Getch()
{
    Con_Init();
    fflush(stdout);
    if (!con_tty || con_pending >= 0 || con_eof) return Con_Next_Byte();
    unsigned char c;
    Con_Set_Key_Mode(1);
    int got = Con_Read_Byte(&c);
    Con_Leave_Key_Mode();
    if (got != 1) {   // 0 is the end of input typed at the terminal
        con_eof = true;
        return CON_EOF;
    }
    return c;
}

int Con_Wait_Key(int wait_ms)
{
    Con_Init();
    if (con_pending >= 0) return Con_Take_Pending();
    if (con_eof) return CON_EOF;
    // Outside raw mode a terminal would hold keys back until a line end.
    bool key_mode = con_tty && con_raw_depth == 0;
    if (key_mode) Con_Set_Key_Mode(0);
    struct pollfd pfd {STDIN_FILENO, POLLIN, 0};
    unsigned char c;
    int got = poll(&pfd, 1, wait_ms) > 0 ? Con_Read_Byte(&c) : 0;
    if (key_mode) Con_Leave_Key_Mode();
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
    bool cr_past_end = false;   // a CR line end just past a full buffer still fits
    *too_long = false;
    for (;;) {
        int c = Con_Next_Byte();
        if (c == CON_EOF) break;
        got_any = true;
        if (c == '\n') break;
        if (len + 1 < size) {
            buf[len++] = (char)c;
        } else {
            if (c == '\r' && !cr_past_end) cr_past_end = true;
            else *too_long = true;
        }
    }
    if (size > 0) buf[len < size ? len : size - 1] = '\0';
    if (len > 0 && buf[len - 1] == '\r') buf[--len] = '\0';
    return got_any;
}
