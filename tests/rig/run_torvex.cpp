#include "run_torvex.h"

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/prctl.h>
#include <unistd.h>

extern char **environ;

const char *const TORVEX_SIGNON =
    "\nQuillet Bootloader Utility - V2.51\n\n"
    "Serial ports COM1..COM4 are the devices named by TORVEX_COM1..TORVEX_COM4.\n"
    "\n";

// The whole input sits in the pipe before the program starts, so only its
// output needs watching; stderr goes to a file read at the end.
Torvex_Result Run_Torvex(const Torvex_Run &run)
{
    Torvex_Result res{"", "", -1, false};
    int in_p[2], out_p[2];
    FILE *err = tmpfile();
    if (err == nullptr || pipe2(in_p, O_CLOEXEC) || pipe2(out_p, O_CLOEXEC)) return res;
    const std::string &in = run.stdin_text;
    fcntl(in_p[1], F_SETPIPE_SZ, (int)in.size() + 1);
    fcntl(in_p[1], F_SETFL, O_NONBLOCK);
    bool fits = in.empty() || write(in_p[1], in.data(), in.size()) == (ssize_t)in.size();
    close(in_p[1]);
    pid_t pid = fits ? fork() : -1;
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);   // never outlive a test that died
        dup2(in_p[0], 0), dup2(out_p[1], 1), dup2(fileno(err), 2);
        if (!run.cwd.empty() && chdir(run.cwd.c_str()) != 0) _exit(126);
        unsetenv("FLASHOPT");
        for (const auto &kv : run.env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
        std::string program = run.program.empty() ? std::string(TORVEX_BIN_DIR "/torvex") : run.program;
        std::vector<char *> argv{&program[0]};
        for (const auto &a : run.args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execve(program.c_str(), argv.data(), environ);
        _exit(127);
    }
    close(in_p[0]), close(out_p[1]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(run.timeout_ms);
    for (char buf[4096]; pid > 0;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        struct pollfd p {out_p[0], POLLIN, 0};
        int ready = left > 0 ? poll(&p, 1, (int)left) : 0;
        if ((res.timed_out = ready == 0)) break;
        ssize_t n = ready > 0 ? read(out_p[0], buf, sizeof buf) : -1;
        if (n == 0) break;
        if (n > 0) res.out.append(buf, (size_t)n);
    }
    close(out_p[0]);
    if (res.timed_out) kill(pid, SIGKILL);
    int wstatus = 0;
    if (pid > 0 && waitpid(pid, &wstatus, 0) == pid && !res.timed_out && WIFEXITED(wstatus))
        res.exit_code = WEXITSTATUS(wstatus);
    rewind(err);
    for (int c; (c = fgetc(err)) != EOF;) res.err += (char)c;
    fclose(err);
    return res;
}
