// torvex-target: a virtual board whose boot monitor answers TORVEX over a
// pseudo-terminal. See vboard.h for the modules.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include <poll.h>
#include <unistd.h>

#include "VERSION.h"
#include "vboard.h"

using namespace vboard;

namespace {

volatile sig_atomic_t stop_requested;

void On_Signal(int)
{
    stop_requested = 1;
}

// SIGINT, SIGTERM and SIGHUP stay blocked except inside ppoll, so a signal
// can only end the wait, never a half-done step.
void Setup_Signals(sigset_t *wait_mask)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = On_Signal;
    sigemptyset(&sa.sa_mask);
    // A board started in the background of a script inherits SIGINT and
    // SIGHUP ignored; it keeps them so, else the Ctrl-C typed at TORVEX in
    // the same terminal would stop the board under it.
    for (int sig : {SIGINT, SIGHUP}) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(sig, &sa, nullptr);
    }
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGHUP);
    sigprocmask(SIG_BLOCK, &block, wait_mask);
    sigdelset(wait_mask, SIGINT);
    sigdelset(wait_mask, SIGTERM);
    sigdelset(wait_mask, SIGHUP);
}

// Bytes taken from the link but not yet accepted by the pty.
BYTE tx_buf[8192];
size_t tx_len;

void Flush_Output(int master)
{
    while (tx_len) {
        ssize_t n = write(master, tx_buf, tx_len);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return; // pty full: wait for POLLOUT
        }
        memmove(tx_buf, tx_buf + n, tx_len - size_t(n));
        tx_len -= size_t(n);
    }
}

void Read_Line(int master, DWORD host_baud, uint64_t now)
{
    BYTE buf[4096];
    ssize_t n = read(master, buf, sizeof buf);
    if (n > 0) Link_Receive(buf, size_t(n), host_baud, now);
}

int Run(const BOARD_CONFIG &cfg, int master)
{
    sigset_t wait_mask;
    Setup_Signals(&wait_mask);
    printf("READY %s\n", cfg.link_path);
    fflush(stdout);
    while (!stop_requested) {
        uint64_t now = Now_Us();
        int wait_ms = Link_Wait_Ms(now);
        if (wait_ms < 0 || wait_ms > 1000) wait_ms = 1000;
        // Bytes held back by a full pty wake us through POLLOUT; the link's
        // due bytes cannot go out before that, so they are no reason to spin.
        if (tx_len && wait_ms < 20) wait_ms = 20;
        pollfd fds[2] = {{master, short(POLLIN | (tx_len ? POLLOUT : 0)), 0},
                         {Console_Fd(), POLLIN, 0}};
        pollfd &pfd = fds[0];
        timespec ts{wait_ms / 1000, long(wait_ms % 1000) * 1000000L};
        int r = ppoll(fds, Console_Fd() >= 0 ? 2 : 1, &ts, &wait_mask);
        if (r < 0 && errno != EINTR) break;
        if (r > 0 && (fds[1].revents & POLLIN)) Console_Service();
        now = Now_Us();
        // One look at the host's rate per wake-up serves both directions.
        DWORD host_baud = Pty_Host_Baud(master);
        if (r > 0 && (pfd.revents & POLLIN))
            Read_Line(master, host_baud, now);
        else if (r > 0 && (pfd.revents & (POLLHUP | POLLERR)))
            poll(nullptr, 0, 20);
        Link_Timer(now);
        if (Link_Take_Shutdown()) Console_Reset();
        if (tx_len < sizeof tx_buf)
            tx_len += Link_Take_Output(tx_buf + tx_len, sizeof tx_buf - tx_len, host_baud, now);
        Flush_Output(master);
        if (cfg.image_path[0] && Mem_Take_Dirty() && !Mem_Save_Image(cfg.image_path))
            fprintf(stderr, "torvex-target: cannot write image %s\n", cfg.image_path);
        if (Link_Hang_Up_Due(now)) break;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    BOARD_CONFIG cfg;
    ARGS_ASK ask = ASK_RUN;
    char err[PATH_SIZE + 128] = "";
    if (!Parse_Args(argc, argv, &cfg, &ask, err, sizeof err)) {
        fprintf(stderr, "torvex-target: %s\n%s", err, Usage_Text());
        return 2;
    }
    if (ask == ASK_HELP) fputs(Usage_Text(), stdout);
    if (ask == ASK_VERSION) printf("torvex-target %s\n", TORVEX_VERSION);
    if (ask != ASK_RUN) return 0;
    Mem_Init(cfg.board);
    Mem_Set_Flash_Fault(cfg.flash_fault_addr, cfg.flash_fault_mask);
    if (cfg.image_path[0] && !Mem_Load_Image(cfg.image_path, err, sizeof err)) {
        fprintf(stderr, "torvex-target: %s\n", err);
        return 2;
    }
    if (cfg.trace_path[0] && !Trace_Open(cfg.trace_path)) {
        fprintf(stderr, "torvex-target: cannot write trace %s\n", cfg.trace_path);
        return 2;
    }
    Link_Init(&cfg.link);
    int master = Pty_Open(cfg.link_path, cfg.link.reset_baud, err, sizeof err);
    if (master < 0 ||
        (cfg.console_path[0] &&
         !Console_Open(cfg.console_path, &cfg.link.mon, cfg.link.reset_baud, err, sizeof err))) {
        fprintf(stderr, "torvex-target: %s\n", err);
        if (master >= 0) Pty_Close(master, cfg.link_path);
        return 2;
    }
    Console_Reset();
    int rc = Run(cfg, master);
    Console_Close(cfg.console_path);
    Pty_Close(master, cfg.link_path);
    if (cfg.image_path[0] && !Mem_Save_Image(cfg.image_path)) {
        fprintf(stderr, "torvex-target: cannot write image %s\n", cfg.image_path);
        rc = 1;
    }
    Trace_Close();
    return rc;
}
