#include "run_torvex.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

const char *const TORVEX_SIGNON =
    "\nQuillet Bootloader Utility - V2.51\n\n"
    "Serial ports COM1..COM4 are the devices named by TORVEX_COM1..TORVEX_COM4.\n"
    "\n";

static std::vector<std::string> Build_Env(const Torvex_Run &run)
{
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; e++) {
        std::string entry(*e);
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = name == "FLASHOPT";
        for (const auto &kv : run.env) replaced = replaced || kv.first == name;
        if (!replaced) env.push_back(entry);
    }
    for (const auto &kv : run.env) env.push_back(kv.first + "=" + kv.second);
    return env;
}

[[noreturn]] static void Exec_Child(const Torvex_Run &run, int in_fd, int out_fd, int err_fd)
{
    dup2(in_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    if (!run.cwd.empty() && chdir(run.cwd.c_str()) != 0) _exit(126);
    std::string program = run.program.empty() ? std::string(TORVEX_BIN_DIR "/torvex") : run.program;
    std::vector<std::string> env = Build_Env(run);
    std::vector<char *> argv{const_cast<char *>(program.c_str())};
    for (const auto &a : run.args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (auto &e : env) envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
}

static bool Pump(int in_w, int out_r, int err_r, const std::string &input, Torvex_Result *res,
                 int timeout_ms)
{
    size_t written = 0;
    if (input.empty()) { close(in_w); in_w = -1; }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    bool ok = true;
    while (out_r >= 0 || err_r >= 0) {
        struct pollfd fds[3] = {{in_w, POLLOUT, 0}, {out_r, POLLIN, 0}, {err_r, POLLIN, 0}};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 || (poll(fds, 3, (int)left) < 0 && errno != EINTR)) {
            ok = false;
            break;
        }
        if (in_w >= 0 && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(in_w, input.data() + written, input.size() - written);
            if (n > 0) written += (size_t)n;
            if (n < 0 || written == input.size()) { close(in_w); in_w = -1; }
        }
        int *fdp[2] = {&out_r, &err_r};
        std::string *dst[2] = {&res->out, &res->err};
        for (int i = 0; i < 2; i++) {
            if (*fdp[i] < 0 || !(fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            ssize_t n = read(*fdp[i], buf, sizeof buf);
            if (n > 0) dst[i]->append(buf, (size_t)n);
            else { close(*fdp[i]); *fdp[i] = -1; }
        }
    }
    for (int fd : {in_w, out_r, err_r})
        if (fd >= 0) close(fd);
    return ok;
}

Torvex_Result Run_Torvex(const Torvex_Run &run)
{
    Torvex_Result res{"", "", -1, false};
    int in_p[2], out_p[2], err_p[2];
    if (pipe(in_p) || pipe(out_p) || pipe(err_p)) return res;
    signal(SIGPIPE, SIG_IGN);
    pid_t pid = fork();
    if (pid == 0) {
        close(in_p[1]); close(out_p[0]); close(err_p[0]);
        Exec_Child(run, in_p[0], out_p[1], err_p[1]);
    }
    close(in_p[0]); close(out_p[1]); close(err_p[1]);
    bool done = Pump(in_p[1], out_p[0], err_p[0], run.stdin_text, &res, run.timeout_ms);
    if (!done) {
        kill(pid, SIGKILL);
        res.timed_out = true;
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    if (!res.timed_out && WIFEXITED(wstatus)) res.exit_code = WEXITSTATUS(wstatus);
    return res;
}

Scratch_Dir::Scratch_Dir()
{
    char tmpl[] = "/tmp/torvex-test-XXXXXX";
    const char *p = mkdtemp(tmpl);
    path_ = p ? p : "/tmp";
}

static int Remove_Entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

Scratch_Dir::~Scratch_Dir()
{
    if (path_ != "/tmp") nftw(path_.c_str(), Remove_Entry, 16, FTW_DEPTH | FTW_PHYS);
}

void Scratch_Dir::write(const std::string &name, const std::string &content) const
{
    std::ofstream f(file(name), std::ios::binary);
    f << content;
}

bool Scratch_Dir::exists(const std::string &name) const
{
    struct stat st;
    return stat(file(name).c_str(), &st) == 0;
}
