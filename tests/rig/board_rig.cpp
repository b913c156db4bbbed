// End-to-end rig: the board process, its trace and image. See board_rig.h.
#include "board_rig.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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

#include "run_torvex.h"

namespace {

std::string Read_Whole(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool Write_Whole(const std::string &path, const void *data, size_t len)
{
    std::ofstream f(path, std::ios::binary);
    return bool(f.write(static_cast<const char *>(data), std::streamsize(len)).flush());
}

// The board's first line on stdout within ms: READY once it listens.
bool Wait_Ready(int fd, int ms, std::string *seen)
{
    pollfd p{fd, POLLIN, 0};
    for (char c = 0; c != '\n'; *seen += c)
        if (poll(&p, 1, ms) <= 0 || read(fd, &c, 1) != 1) return false;
    return seen->compare(0, 6, "READY ") == 0;
}

// The line's settings now, false while its exclusive flag is on; primed,
// first set as a previous user might have left them (canonical input, CR to
// NL: not TORVEX's raw mode; the rate stays, the board takes it for the host's).
bool Line_Settings(const std::string &link, termios *t, bool prime)
{
    int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK), excl = 1;
    *t = termios{};   // memcmp-able: the padding stays zero
    bool ok = fd >= 0 && tcgetattr(fd, t) == 0 && ioctl(fd, TIOCGEXCL, &excl) == 0 && excl == 0;
    if (prime) t->c_lflag |= ICANON, t->c_iflag |= ICRNL, ok = ok && !tcsetattr(fd, TCSANOW, t) && !tcgetattr(fd, t);
    if (fd >= 0) close(fd);
    return ok;
}

}  // namespace

std::string TRACE_EVENT::Str(const std::string &key) const
{
    auto it = fields.find(key);
    return it == fields.end() ? std::string() : it->second;
}

long long TRACE_EVENT::Num(const std::string &key, long long missing) const
{
    std::string v = Str(key);
    return v.empty() ? missing : strtoll(v.c_str(), nullptr, 10);
}

bool Board_Start(BOARD_PROC *b, const std::vector<std::string> &args, std::string *error,
                 const std::vector<uint8_t> &initial_image)
{
    char tmpl[] = "/tmp/torvex_rig_XXXXXX";
    if (!mkdtemp(tmpl)) return *error = "cannot make a scratch directory", false;
    b->dir = tmpl;
    b->link = b->dir + "/com1", b->console = b->dir + "/com2", b->trace = b->dir + "/trace.jsonl";
    b->image = b->dir + "/flash.img", b->err_file = b->dir + "/board.err";
    int pout[2];
    if (!initial_image.empty() &&
        !Write_Whole(b->image, initial_image.data(), initial_image.size()))
        return *error = "cannot write the initial image", false;
    if (pipe(pout)) return *error = "pipe failed", false;
    std::vector<std::string> all = {TORVEX_BIN_DIR "/torvex-target", "--link", b->link, "--trace",
                                    b->trace, "--image", b->image, "--console", b->console};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    b->pid = fork();
    if (b->pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);   // a test that dies takes its board with it
        dup2(pout[1], 1);
        close(pout[0]);
        close(pout[1]);
        if (freopen(b->err_file.c_str(), "w", stderr)) execv(argv[0], argv.data());
        _exit(127);
    }
    close(pout[1]);
    std::string seen;
    bool ready = Wait_Ready(pout[0], 5000, &seen);
    close(pout[0]);
    if (!ready) *error = "board did not get ready: " + seen + Read_Whole(b->err_file);
    if (!ready) Board_Stop(b);
    return ready;
}

void Board_Stop(BOARD_PROC *b)
{
    if (b->pid <= 0) return;
    kill(b->pid, SIGTERM);
    for (int ms = 0; waitpid(b->pid, nullptr, WNOHANG) == 0; ms += 5) {
        if (ms == 3000) kill(b->pid, SIGKILL);  // it had its time to write the image
        poll(nullptr, 0, 5);
    }
    b->pid = -1;
}

void Board_Cleanup(BOARD_PROC *b)
{
    Board_Stop(b);
    std::error_code ec;
    if (!b->dir.empty() && !getenv("TORVEX_RIG_KEEP")) std::filesystem::remove_all(b->dir, ec);
    b->dir.clear();
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

std::vector<uint8_t> Board_Image(const BOARD_PROC &b)
{
    std::string s = Read_Whole(b.image);
    return std::vector<uint8_t>(s.begin(), s.end());
}

RIG_RESULT Run_Session(const RIG_SETUP &s)
{
    RIG_RESULT r;
    BOARD_PROC b;
    if (Board_Start(&b, s.board_args, &r.error, s.initial_image)) {
        Torvex_Run run;
        run.cwd = b.dir + "/work";
        mkdir(run.cwd.c_str(), 0755);
        for (const auto &f : s.files)
            Write_Whole(run.cwd + "/" + f.first, f.second.data(), f.second.size());
        run.args = s.torvex_args;
        run.stdin_text = s.stdin_text;
        run.keep_stdin_open = s.keep_stdin_open;
        run.events = s.events;
        termios primed, now;
        bool primed_ok = Line_Settings(b.link, &primed, true);
        run.timeout_ms = s.timeout_ms;
        run.env = {{"TORVEX_COM1", b.link}};
        if (s.set_flashopt) run.env.push_back({"FLASHOPT", s.flashopt});
        // The board prints to its console before it answers, so all is there at the end.
        int console = open(b.console.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        Torvex_Result t = Run_Torvex(run);
        r.console = Read_Fd(console, 0);
        close(console);
        r.started = true;
        r.out = t.out;
        r.err = t.err;
        r.exit_code = t.exit_code;
        r.timed_out = t.timed_out;
        r.link_restored = primed_ok && Line_Settings(b.link, &now, false) && !memcmp(&now, &primed, sizeof now);
        Board_Stop(&b);
        r.trace = Board_Trace(b);
        r.image = Board_Image(b);
        r.flash_first = uint32_t(0x04000000 - r.image.size());  // every map ends at 64 M
        for (const auto &e : std::filesystem::directory_iterator(run.cwd))
            r.files_after.push_back(e.path().filename().string());
    }
    Board_Cleanup(&b);
    return r;
}

int Count_Events(const std::vector<TRACE_EVENT> &trace, const std::string &ev)
{
    return int(Events(trace, ev).size());
}

std::vector<TRACE_EVENT> Events(const std::vector<TRACE_EVENT> &trace, const std::string &ev)
{
    std::vector<TRACE_EVENT> out;
    for (const TRACE_EVENT &e : trace)
        if (e.Is(ev)) out.push_back(e);
    return out;
}

std::vector<uint8_t> Flash_At(const RIG_RESULT &r, uint32_t addr, uint32_t len)
{
    uint64_t off = uint64_t(addr) - r.flash_first;
    if (addr < r.flash_first || off + len > r.image.size()) return {};
    return std::vector<uint8_t>(r.image.begin() + long(off), r.image.begin() + long(off + len));
}

uint32_t Board_Flash_First(int board)
{
    return board == 1 ? 0x03F80000 : board == 4 ? 0x03E00000 : 0x03F00000;
}

std::string Read_Fd(int fd, int quiet_ms, size_t want)
{
    std::string got;
    char buf[512];
    pollfd p{fd, POLLIN, 0};
    for (ssize_t n = 0; got.size() < want && poll(&p, 1, quiet_ms) > 0; got.append(buf, size_t(n)))
        if ((n = read(fd, buf, std::min(sizeof buf, want - got.size()))) <= 0) break;
    return got;
}

std::string Read_Source_File(const std::string &rel_path)
{
    return Read_Whole(std::string(TORVEX_SOURCE_DIR) + "/" + rel_path);
}
