// End-to-end rig: the board process, its trace and image. See board_rig.h.
#include "board_rig.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <regex>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

std::string Read_Whole(const std::string &path)
{
    std::ostringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

// The board's first line on stdout within ms: READY once it listens.
bool Wait_Ready(int fd, int ms, std::string *seen)
{
    pollfd p{fd, POLLIN, 0};
    for (char c = 0; c != '\n';) {
        if (poll(&p, 1, ms) <= 0 || read(fd, &c, 1) != 1) return false;
        *seen += c;
    }
    return seen->compare(0, 6, "READY ") == 0;
}

// The line's settings, false while exclusive; primed first with cooked modes a raw link clears.
bool Line_Settings(const std::string &link, termios *t, bool prime)
{
    int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK), excl = 1;
    *t = termios{}; // memcmp-able: the padding stays zero
    bool ok = fd >= 0 && tcgetattr(fd, t) == 0 && ioctl(fd, TIOCGEXCL, &excl) == 0 && excl == 0;
    if (prime) {
        t->c_lflag |= ICANON;
        t->c_iflag |= ICRNL;
        t->c_oflag |= OPOST | ONLCR;
        ok = ok && !tcsetattr(fd, TCSANOW, t) && !tcgetattr(fd, t);
    }
    if (fd >= 0) close(fd);
    return ok;
}

std::vector<TRACE_EVENT> Board_Trace(const BOARD_PROC &b)
{
    // Flat JSON objects whose strings are plain names: no quote inside.
    static const std::regex member("\"([^\"]*)\":(\"([^\"]*)\"|[^,}]*)");
    std::vector<TRACE_EVENT> out;
    std::istringstream in(Read_Whole(b.trace));
    for (std::string line; std::getline(in, line);) {
        TRACE_EVENT ev;
        for (std::sregex_iterator m(line.begin(), line.end(), member), end; m != end; ++m)
            ev.fields[(*m)[1]] = (*m)[3].matched ? (*m)[3] : (*m)[2];
        if (!ev.fields.empty()) out.push_back(ev);
    }
    return out;
}

void Board_Stop(BOARD_PROC *b)
{
    if (b->pid <= 0) return;
    kill(b->pid, SIGTERM);
    for (int ms = 0; waitpid(b->pid, nullptr, WNOHANG) == 0; ms += 5) {
        if (ms == 3000) kill(b->pid, SIGKILL); // it had its time to write the image
        poll(nullptr, 0, 5);
    }
    b->pid = -1;
}

} // namespace

bool Board_Start(BOARD_PROC *b, const std::vector<std::string> &args, std::string *error,
                 const Bytes &initial_image)
{
    char tmpl[] = "/tmp/torvex_rig_XXXXXX";
    int pout[2];
    if (!mkdtemp(tmpl) || pipe(pout)) {
        *error = "cannot make a scratch directory or a pipe";
        return false;
    }
    const std::string d = tmpl;
    *b = {-1, d, d + "/com1", d + "/com2", d + "/trace.jsonl", d + "/flash.img", d + "/board.err"};
    if (!initial_image.empty())
        std::ofstream(b->image, std::ios::binary)
            << std::string(initial_image.begin(), initial_image.end());
    std::vector<std::string> all = {TORVEX_BIN_DIR "/torvex-target", "--link", b->link};
    all.insert(all.end(), {"--trace", b->trace, "--image", b->image, "--console", b->console});
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    b->pid = fork();
    if (b->pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM); // a test that dies takes its board with it
        dup2(pout[1], 1);
        if (freopen(b->err_file.c_str(), "w", stderr)) execv(argv[0], argv.data());
        _exit(127);
    }
    close(pout[1]);
    std::string seen;
    bool ready = Wait_Ready(pout[0], 5000, &seen);
    close(pout[0]);
    if (ready) return true;
    *error = "board did not get ready: " + seen + Read_Whole(b->err_file);
    Board_Stop(b);
    return false;
}

void Board_Cleanup(BOARD_PROC *b)
{
    Board_Stop(b);
    std::error_code ec;
    if (!b->dir.empty() && !getenv("TORVEX_RIG_KEEP")) std::filesystem::remove_all(b->dir, ec);
    b->dir.clear();
}

Bytes Board_Image(const BOARD_PROC &b)
{
    std::string s = Read_Whole(b.image);
    return {s.begin(), s.end()};
}

RIG_RESULT Run_Session(const RIG_SETUP &s)
{
    RIG_RESULT r;
    BOARD_PROC b;
    r.started = Board_Start(&b, s.board_args, &r.error, s.initial_image);
    if (r.started) {
        const Torvex_Run run{s.stdin_text, s.keep_stdin_open,         s.events,
                             {},           {{"TORVEX_COM1", b.link}}, b.dir + "/work",
                             s.timeout_ms};
        mkdir(run.cwd.c_str(), 0755);
        for (const auto &f : s.files)
            std::ofstream(run.cwd + "/" + f.first, std::ios::binary) << f.second;
        termios primed, now;
        bool primed_ok = Line_Settings(b.link, &primed, true);
        // The board prints to its console before it answers, so all is there at the end.
        int console = open(b.console.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        Torvex_Result t = Run_Torvex(run);
        r.console = Read_Fd(console, 0);
        close(console);
        r.out = t.out;
        r.exit_code = t.exit_code;
        r.timed_out = t.timed_out;
        r.link_restored =
            primed_ok && Line_Settings(b.link, &now, false) && !memcmp(&now, &primed, sizeof now);
        Board_Stop(&b);
        r.trace = Board_Trace(b);
        r.image = Board_Image(b);
        for (const auto &e : std::filesystem::directory_iterator(run.cwd))
            r.files_after.push_back(e.path().filename());
    }
    Board_Cleanup(&b);
    return r;
}

RIG_RESULT Run_Typed(const std::string &typed, const std::vector<std::string> &board_args,
                     const Bytes &image, const std::map<std::string, std::string> &files)
{
    RIG_RESULT r = Run_Session({board_args, image, typed, false, {}, files});
    EXPECT_TRUE(r.started && !r.timed_out) << r.error << r.out;
    return r;
}

std::vector<TRACE_EVENT> Events(const std::vector<TRACE_EVENT> &trace, const std::string &ev,
                                const std::string &name)
{
    std::vector<TRACE_EVENT> out;
    for (const TRACE_EVENT &e : trace)
        if (e.Is(ev) && (name.empty() || e.Str("name") == name)) out.push_back(e);
    return out;
}

size_t Sent(const RIG_RESULT &r, const std::string &name)
{
    return Events(r.trace, "rx_frame", name).size();
}

size_t Count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

Bytes Flash_At(const RIG_RESULT &r, uint32_t addr, uint32_t len)
{
    uint64_t first = 0x04000000 - r.image.size(), off = addr - first;
    if (addr < first || off + len > r.image.size()) return {};
    return {r.image.begin() + long(off), r.image.begin() + long(off + len)};
}

std::string Read_Fd(int fd, int quiet_ms, size_t want)
{
    std::string got;
    char buf[512];
    pollfd p{fd, POLLIN, 0};
    while (got.size() < want && poll(&p, 1, quiet_ms) > 0) {
        ssize_t n = read(fd, buf, std::min(sizeof buf, want - got.size()));
        if (n <= 0) break;
        got.append(buf, size_t(n));
    }
    return got;
}

std::string Read_Source_File(const std::string &rel_path)
{
    return Read_Whole(TORVEX_SOURCE_DIR "/" + rel_path);
}
