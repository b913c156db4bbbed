#include "run_torvex.h"

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/prctl.h>
#include <unistd.h>

const char *const TORVEX_SIGNON = "\nQuillet Bootloader Utility - V2.51\n\nSerial ports COM1..COM4 "
                                  "are the devices named by TORVEX_COM1..TORVEX_COM4.\n\n";

// The input sits whole in the pipe before the start, so only the output needs watching.
Torvex_Result Run_Torvex(const Torvex_Run &run)
{
    Torvex_Result res{"", -1, false};
    int in_p[2], out_p[2];
    if (pipe2(in_p, O_CLOEXEC) || pipe2(out_p, O_CLOEXEC)) return res;
    const std::string &in = run.stdin_text;
    fcntl(in_p[1], F_SETPIPE_SZ, (int)in.size() + 1);
    fcntl(in_p[1], F_SETFL, O_NONBLOCK);
    bool fits = in.empty() || write(in_p[1], in.data(), in.size()) == (ssize_t)in.size();
    if (!run.keep_stdin_open) close(in_p[1]);
    pid_t pid = fits ? fork() : -1;
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlive a test that died
        dup2(in_p[0], 0);
        dup2(out_p[1], 1);
        if (!run.cwd.empty() && chdir(run.cwd.c_str()) != 0) _exit(126);
        unsetenv("FLASHOPT");
        for (const auto &kv : run.env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
        std::vector<char *> argv{const_cast<char *>(TORVEX_BIN_DIR "/torvex")};
        for (const auto &a : run.args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in_p[0]);
    close(out_p[1]);
    using namespace std::chrono;
    auto deadline = steady_clock::now() + milliseconds(run.timeout_ms);
    size_t next = 0, from = 0;
    int out_fd = out_p[0];
    for (char buf[4096]; pid > 0 && out_fd >= 0;) {
        auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        pollfd p{out_fd, POLLIN, 0};
        int ready = left > 0 ? poll(&p, 1, (int)left) : 0;
        res.timed_out = ready == 0;
        if (res.timed_out) break;
        ssize_t n = ready > 0 ? read(out_fd, buf, sizeof buf) : -1;
        if (n == 0) break;
        if (n > 0) res.out.append(buf, (size_t)n);
        for (size_t at; next < run.events.size() && out_fd >= 0 &&
                        (at = res.out.find(run.events[next].after, from)) != std::string::npos;) {
            const Torvex_Event &e = run.events[next++]; // its text has appeared
            from = at + e.after.size();
            if (e.signal) kill(pid, e.signal);
            if (e.close_output) {
                close(out_fd);
                out_fd = -1;
            }
            if (!e.input.empty() && write(in_p[1], e.input.data(), e.input.size()) < 0) break;
        }
    }
    if (out_fd >= 0) close(out_fd);
    int wstatus = 0;
    pid_t done = 0; // with its output closed, the program is only waited for
    while (pid > 0 && (done = waitpid(pid, &wstatus, WNOHANG)) == 0 && !res.timed_out)
        res.timed_out = steady_clock::now() > deadline || poll(nullptr, 0, 5) < 0;
    if (res.timed_out && done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &wstatus, 0);
    }
    if (!res.timed_out && done == pid && WIFEXITED(wstatus)) res.exit_code = WEXITSTATUS(wstatus);
    if (run.keep_stdin_open) close(in_p[1]);
    return res;
}
