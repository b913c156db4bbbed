// The terminal against a pseudo-terminal peer this test holds, with the
// target link up on the virtual board: what the peer sends is shown, what is
// typed reaches the peer, escape ends it, and the target port is closed for
// the session and re-opened afterwards so the link still works.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <set>

#include "debug_e2e.h"

namespace {

using namespace debug_e2e;

// TORVEX run by hand so that its input can be typed while it runs.
struct LIVE_TORVEX {
    pid_t pid = -1;
    int in_w = -1;
    int out_r = -1;
    std::string out;
};

// Standard input is a pipe the test types into, or the given terminal.
bool Start_Torvex(LIVE_TORVEX *t, const std::string &cwd,
                  const std::vector<std::pair<std::string, std::string>> &env,
                  const std::string &console_tty = "")
{
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return false;
    t->pid = fork();
    if (t->pid < 0) return false;
    if (t->pid == 0) {
        int in_fd = console_tty.empty() ? in[0] : open(console_tty.c_str(), O_RDWR | O_NOCTTY);
        dup2(in_fd, 0);
        dup2(out[1], 1);
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 2);
        for (int fd = 3; fd < 64; fd++) close(fd);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        unsetenv("FLASHOPT");
        for (const auto &kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
        execl(TORVEX_BIN_DIR "/torvex", "torvex", (char *)nullptr);
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    t->in_w = in[1];
    t->out_r = out[0];
    return true;
}

void Type(LIVE_TORVEX *t, const std::string &text)
{
    ASSERT_EQ(write(t->in_w, text.data(), text.size()), (ssize_t)text.size());
}

// Reads fd into *got until it holds want (true) or the time is up.
bool Read_Until(int fd, std::string *got, const std::string &want, int timeout_ms = 5000)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (got->find(want) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, int(left.count())) <= 0) continue;
        char buf[512];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return got->find(want) != std::string::npos;
        got->append(buf, size_t(n));
    }
    return true;
}

// Ends the input and collects the rest of the output; kills a run that hangs.
int Finish_Torvex(LIVE_TORVEX *t)
{
    close(t->in_w);
    Read_Until(t->out_r, &t->out, std::string(1, '\0'), 10000);   // until EOF
    close(t->out_r);
    int status = 0;
    for (int waited_ms = 0; waitpid(t->pid, &status, WNOHANG) == 0; waited_ms += 10) {
        if (waited_ms >= 5000) {
            kill(t->pid, SIGKILL);
            waitpid(t->pid, &status, 0);
            return -1;
        }
        usleep(10000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The devices a process holds open.
std::set<std::string> Open_Devices(pid_t pid)
{
    std::set<std::string> devices;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (!d) return devices;
    while (struct dirent *e = readdir(d)) {
        char target[PATH_MAX];
        ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        if (strncmp(target, "/dev/", 5) == 0) devices.insert(target);
    }
    closedir(d);
    return devices;
}

struct PEER_PTY {
    int master = -1;
    std::string slave;
};

bool Open_Peer(PEER_PTY *p)
{
    p->master = posix_openpt(O_RDWR | O_NOCTTY);
    if (p->master < 0 || grantpt(p->master) != 0 || unlockpt(p->master) != 0) return false;
    char name[128];
    if (ptsname_r(p->master, name, sizeof name) != 0) return false;
    p->slave = name;
    struct termios tio;
    if (tcgetattr(p->master, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(p->master, TCSANOW, &tio);
    }
    return true;
}

std::string Real_Path(const std::string &path)
{
    char real[PATH_MAX];
    return realpath(path.c_str(), real) ? std::string(real) : path;
}

TEST(DebugTerm, PeerTalksKeysGoOutAndTheTargetLinkSurvives)
{
    BOARD_PROC board;
    std::string err;
    ASSERT_TRUE(Board_Start(&board, {}, &err, Image_With(3, Fresh_Tables(3)))) << err;
    PEER_PTY peer;
    ASSERT_TRUE(Open_Peer(&peer));
    std::string board_dev = Real_Path(board.link);

    LIVE_TORVEX t;
    ASSERT_TRUE(Start_Torvex(&t, board.dir,
                             {{"TORVEX_COM1", board.link}, {"TORVEX_COM2", peer.slave}}));
    Type(&t, "log=v ; debug ; init com1\nterm com2\n");
    ASSERT_TRUE(Read_Until(t.out_r, &t.out, "Type ESC to exit ...\n\n")) << t.out;

    // While the terminal runs, the target's port is closed and the peer's open.
    std::set<std::string> during = Open_Devices(t.pid);
    EXPECT_EQ(during.count(board_dev), 0u) << board_dev;
    EXPECT_EQ(during.count(peer.slave), 1u) << peer.slave;

    // 100 bytes at once, a zero byte at offset 10: the first piece of 79
    // prints up to the zero, the second piece prints the last 21.
    std::string burst;
    for (int i = 0; i < 100; i++) burst += char('a' + i % 26);
    burst[10] = '\0';
    ASSERT_EQ(write(peer.master, burst.data(), burst.size()), 100);
    std::string shown = burst.substr(0, 10) + burst.substr(79);
    ASSERT_TRUE(Read_Until(t.out_r, &t.out, "\n\n" + shown)) << t.out;

    Type(&t, "hello");
    std::string at_peer;
    EXPECT_TRUE(Read_Until(peer.master, &at_peer, "hello")) << at_peer;

    Type(&t, "\x1b\n");
    ASSERT_TRUE(Read_Until(t.out_r, &t.out, "End terminal emulation\n")) << t.out;
    std::set<std::string> after = Open_Devices(t.pid);
    EXPECT_EQ(after.count(board_dev), 1u);
    EXPECT_EQ(after.count(peer.slave), 0u);

    Type(&t, "readram 0 4\nexit\n");
    EXPECT_EQ(Finish_Torvex(&t), 0) << t.out;
    Board_Stop(&board);
    std::vector<TRACE_EVENT> trace = Board_Trace(board);
    Board_Cleanup(&board);

    // Nothing more reached the peer: escape is not sent.
    Read_Until(peer.master, &at_peer, "never", 200);
    EXPECT_EQ(at_peer, "hello");
    close(peer.master);

    std::string term = "Shutdown target communications link ...\nInitialize VT session ...\n"
                       "Start VT session on COM2 at 9600 baud.  Type ESC to exit ...\n\n" +
                       shown + "\n\nShutdown VT communications link ...\n"
                       "Init target comms port\nEnd terminal emulation\n";
    std::vector<std::string> out = Line_Outputs(t.out);
    ASSERT_GE(out.size(), 5u) << t.out;
    EXPECT_EQ(out[1], "VT Port set to COM2\n" + term);
    EXPECT_EQ(out[3], "Read 4 bytes from absolute location 0x00000000:\n\n" + Dump({0, 0, 0, 0}));
    // The port came back without a new init exchange: one init in all.
    int inits = 0;
    for (const TRACE_EVENT &e : Events(trace, "rx_frame")) inits += e.Str("name") == "init";
    EXPECT_EQ(inits, 1);
}

// Whether the console's line settings have reached the wanted state.
bool Wait_Console_Mode(int master, bool canonical, int timeout_ms = 3000)
{
    for (int waited = 0; waited <= timeout_ms; waited += 10) {
        struct termios tio;
        if (tcgetattr(master, &tio) == 0) {
            bool cooked = (tio.c_lflag & ICANON) && (tio.c_lflag & ECHO);
            bool raw = !(tio.c_lflag & ICANON) && !(tio.c_lflag & ECHO);
            if (canonical ? cooked : raw) return true;
        }
        usleep(10000);
    }
    return false;
}

TEST(DebugTerm, KeysFromATerminalAreRawAndTheTerminalIsRestored)
{
    PEER_PTY console, peer;
    ASSERT_TRUE(Open_Peer(&console));
    ASSERT_TRUE(Open_Peer(&peer));
    struct termios cooked;
    ASSERT_EQ(tcgetattr(console.master, &cooked), 0);
    cooked.c_lflag |= ICANON | ECHO;
    ASSERT_EQ(tcsetattr(console.master, TCSANOW, &cooked), 0);
    Scratch_Dir dir;

    LIVE_TORVEX t;
    ASSERT_TRUE(Start_Torvex(&t, dir.path(), {{"TORVEX_COM2", peer.slave}}, console.slave));
    const char line[] = "term com2\n";
    ASSERT_EQ(write(console.master, line, sizeof line - 1), ssize_t(sizeof line - 1));
    ASSERT_TRUE(Read_Until(t.out_r, &t.out, "Type ESC to exit ...\n\n")) << t.out;
    ASSERT_TRUE(Wait_Console_Mode(console.master, false));

    // A key without a line end goes out at once and is not echoed.
    std::string echoed;
    Read_Until(console.master, &echoed, "never", 100);   // the typed line's echo
    ASSERT_EQ(write(console.master, "k", 1), 1);
    std::string at_peer;
    EXPECT_TRUE(Read_Until(peer.master, &at_peer, "k")) << at_peer;
    std::string after_key;
    Read_Until(console.master, &after_key, "never", 100);
    EXPECT_EQ(after_key.find('k'), std::string::npos);

    ASSERT_EQ(write(console.master, "\x1b", 1), 1);
    ASSERT_TRUE(Read_Until(t.out_r, &t.out, "End terminal emulation\n")) << t.out;
    EXPECT_TRUE(Wait_Console_Mode(console.master, true));

    const char quit[] = "exit\n";
    ASSERT_EQ(write(console.master, quit, sizeof quit - 1), ssize_t(sizeof quit - 1));
    EXPECT_EQ(Finish_Torvex(&t), 0) << t.out;
    EXPECT_EQ(at_peer, "k");
    close(console.master);
    close(peer.master);
}

}  // namespace
