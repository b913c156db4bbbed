// End-to-end rig: processes, pipes and scratch directories. See board_rig.h.
#include "board_rig.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

long long Now_Ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

std::string Make_Scratch_Dir()
{
    char tmpl[] = "/tmp/torvex_rig_XXXXXX";
    return mkdtemp(tmpl) ? std::string(tmpl) : std::string();
}

void Remove_Tree(const std::string &dir)
{
    if (dir.empty() || getenv("TORVEX_RIG_KEEP")) return;
    DIR *d = opendir(dir.c_str());
    if (!d) return;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string path = dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) Remove_Tree(path);
        else unlink(path.c_str());
    }
    closedir(d);
    rmdir(dir.c_str());
}

bool Write_File(const std::string &path, const void *data, size_t len)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(data, 1, len, f) == len;
    return (fclose(f) == 0) && ok;
}

std::string Read_Whole(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<char *> Argv_Of(const std::string &prog, const std::vector<std::string> &args)
{
    std::vector<char *> v;
    v.push_back(const_cast<char *>(prog.c_str()));
    for (const std::string &a : args) v.push_back(const_cast<char *>(a.c_str()));
    v.push_back(nullptr);
    return v;
}

// Waits for the child to end, up to ms; true when it has.
bool Reap(pid_t pid, int ms, int *status)
{
    long long until = Now_Ms() + ms;
    for (;;) {
        pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) return true;
        if (Now_Ms() >= until) return false;
        poll(nullptr, 0, 5);
    }
}

// Reads READY from the board's stdout within ms.
bool Wait_Ready(int fd, int ms, std::string *seen)
{
    long long until = Now_Ms() + ms;
    while (seen->find('\n') == std::string::npos) {
        long long left = until - Now_Ms();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, int(left)) <= 0) continue;
        char buf[256];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        seen->append(buf, size_t(n));
    }
    return seen->compare(0, 6, "READY ") == 0;
}

bool Parse_Json_Line(const std::string &line, TRACE_EVENT *ev)
{
    size_t i = line.find('{');
    if (i == std::string::npos) return false;
    i++;
    while (i < line.size() && line[i] != '}') {
        if (line[i] == ',' || line[i] == ' ') {
            i++;
            continue;
        }
        if (line[i] != '"') return false;
        size_t kend = line.find('"', i + 1);
        if (kend == std::string::npos || kend + 1 >= line.size() || line[kend + 1] != ':')
            return false;
        std::string key = line.substr(i + 1, kend - i - 1);
        i = kend + 2;
        std::string val;
        if (i < line.size() && line[i] == '"') {
            for (i++; i < line.size() && line[i] != '"'; i++) {
                if (line[i] == '\\' && i + 1 < line.size()) i++;
                val += line[i];
            }
            i++;
        } else {
            while (i < line.size() && line[i] != ',' && line[i] != '}') val += line[i++];
        }
        ev->fields[key] = val;
    }
    return true;
}

int Board_Of(const std::vector<std::string> &args)
{
    for (size_t i = 0; i + 1 < args.size(); i++)
        if (args[i] == "--board") return atoi(args[i + 1].c_str());
    return 3;
}

struct CHILD_IO {
    int in = -1, out = -1, err = -1;
};

pid_t Spawn_Torvex(const RIG_SETUP &s, const std::string &work, const std::string &link,
                   CHILD_IO *io)
{
    int pin[2], pout[2], perr[2];
    if (pipe(pin) || pipe(pout) || pipe(perr)) return -1;
    std::string prog = TORVEX_BIN_DIR "/torvex";
    std::vector<char *> argv = Argv_Of(prog, s.torvex_args);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pin[0], 0);
        dup2(pout[1], 1);
        dup2(perr[1], 2);
        for (int fd : {pin[0], pin[1], pout[0], pout[1], perr[0], perr[1]}) close(fd);
        if (chdir(work.c_str()) != 0) _exit(126);
        setenv("TORVEX_COM1", link.c_str(), 1);
        if (s.set_flashopt) setenv("FLASHOPT", s.flashopt.c_str(), 1);
        else unsetenv("FLASHOPT");
        execv(prog.c_str(), argv.data());
        _exit(127);
    }
    close(pin[0]);
    close(pout[1]);
    close(perr[1]);
    io->in = pin[1];
    io->out = pout[0];
    io->err = perr[0];
    fcntl(io->in, F_SETFL, O_NONBLOCK);
    return pid;
}

// Feeds stdin and collects stdout/stderr until both close or time runs out.
bool Pump_Torvex(const RIG_SETUP &s, CHILD_IO *io, RIG_RESULT *r)
{
    long long until = Now_Ms() + s.timeout_ms;
    size_t sent = 0;
    if (s.stdin_text.empty()) close(io->in), io->in = -1;
    while (io->out >= 0 || io->err >= 0) {
        long long left = until - Now_Ms();
        if (left <= 0) return false;
        pollfd p[3] = {{io->out, POLLIN, 0}, {io->err, POLLIN, 0}, {io->in, POLLOUT, 0}};
        if (poll(p, 3, int(left)) <= 0) continue;
        for (int k = 0; k < 2; k++) {
            if (!(p[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            ssize_t n = read(p[k].fd, buf, sizeof buf);
            if (n > 0) (k ? r->err : r->out).append(buf, size_t(n));
            else close(p[k].fd), (k ? io->err : io->out) = -1;
        }
        if (io->in >= 0 && (p[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(io->in, s.stdin_text.data() + sent, s.stdin_text.size() - sent);
            if (n > 0) sent += size_t(n);
            if (n < 0 && errno != EAGAIN) sent = s.stdin_text.size();
            if (sent == s.stdin_text.size()) close(io->in), io->in = -1;
        }
    }
    return true;
}

}  // namespace

std::string TRACE_EVENT::Str(const std::string &key) const
{
    auto it = fields.find(key);
    return it == fields.end() ? std::string() : it->second;
}

long long TRACE_EVENT::Num(const std::string &key, long long missing) const
{
    auto it = fields.find(key);
    if (it == fields.end() || it->second.empty()) return missing;
    return strtoll(it->second.c_str(), nullptr, 10);
}

bool Board_Start(BOARD_PROC *b, const std::vector<std::string> &args, std::string *error,
                 const std::vector<uint8_t> &initial_image)
{
    b->dir = Make_Scratch_Dir();
    if (b->dir.empty()) return *error = "cannot make a scratch directory", false;
    b->link = b->dir + "/com1";
    b->trace = b->dir + "/trace.jsonl";
    b->image = b->dir + "/flash.img";
    b->err_file = b->dir + "/board.err";
    if (!initial_image.empty() &&
        !Write_File(b->image, initial_image.data(), initial_image.size()))
        return *error = "cannot write the initial image", false;
    std::vector<std::string> all = {"--link", b->link, "--trace", b->trace, "--image", b->image};
    all.insert(all.end(), args.begin(), args.end());
    std::string prog = TORVEX_BIN_DIR "/torvex-target";
    std::vector<char *> argv = Argv_Of(prog, all);
    int pout[2];
    if (pipe(pout)) return *error = "pipe failed", false;
    b->pid = fork();
    if (b->pid == 0) {
        dup2(pout[1], 1);
        int e = open(b->err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (e >= 0) dup2(e, 2);
        close(pout[0]);
        close(pout[1]);
        execv(prog.c_str(), argv.data());
        _exit(127);
    }
    close(pout[1]);
    std::string seen;
    bool ready = Wait_Ready(pout[0], 5000, &seen);
    close(pout[0]);
    if (!ready) {
        *error = "board did not get ready: " + seen + Read_Whole(b->err_file);
        Board_Stop(b);
        return false;
    }
    return true;
}

void Board_Stop(BOARD_PROC *b)
{
    if (b->pid <= 0) return;
    int status = 0;
    kill(b->pid, SIGTERM);
    if (!Reap(b->pid, 3000, &status)) {
        kill(b->pid, SIGKILL);
        Reap(b->pid, 3000, &status);
    }
    b->pid = -1;
}

void Board_Cleanup(BOARD_PROC *b)
{
    Board_Stop(b);
    Remove_Tree(b->dir);
    b->dir.clear();
}

std::vector<TRACE_EVENT> Board_Trace(const BOARD_PROC &b)
{
    std::vector<TRACE_EVENT> out;
    std::istringstream in(Read_Whole(b.trace));
    std::string line;
    while (std::getline(in, line)) {
        TRACE_EVENT ev;
        if (Parse_Json_Line(line, &ev)) out.push_back(ev);
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
    signal(SIGPIPE, SIG_IGN);  // torvex may end before it has read all its input
    if (!Board_Start(&b, s.board_args, &r.error, s.initial_image)) {
        Board_Cleanup(&b);
        return r;
    }
    std::string work = b.dir + "/work";
    mkdir(work.c_str(), 0755);
    for (const auto &f : s.files) Write_File(work + "/" + f.first, f.second.data(), f.second.size());
    CHILD_IO io;
    pid_t pid = Spawn_Torvex(s, work, b.link, &io);
    if (pid < 0) {
        r.error = "cannot start torvex";
        Board_Cleanup(&b);
        return r;
    }
    r.started = true;
    r.timed_out = !Pump_Torvex(s, &io, &r);
    for (int fd : {io.in, io.out, io.err})
        if (fd >= 0) close(fd);
    int status = 0;
    if (r.timed_out || !Reap(pid, 5000, &status)) {
        r.timed_out = true;
        kill(pid, SIGKILL);
        Reap(pid, 3000, &status);
    } else if (WIFEXITED(status)) {
        r.exit_code = WEXITSTATUS(status);
    }
    Board_Stop(&b);
    r.trace = Board_Trace(b);
    r.image = Board_Image(b);
    r.flash_first = Board_Flash_First(Board_Of(s.board_args));
    if (DIR *d = opendir(work.c_str())) {
        while (dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) r.files_after.push_back(e->d_name);
        closedir(d);
    }
    Board_Cleanup(&b);
    return r;
}

int Count_Events(const std::vector<TRACE_EVENT> &trace, const std::string &ev)
{
    int n = 0;
    for (const TRACE_EVENT &e : trace) n += e.Is(ev);
    return n;
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
    switch (board) {
    case 1: return 0x03F80000;
    case 4: return 0x03E00000;
    default: return 0x03F00000;
    }
}

std::string Read_Source_File(const std::string &rel_path)
{
    return Read_Whole(std::string(TORVEX_SOURCE_DIR) + "/" + rel_path);
}
