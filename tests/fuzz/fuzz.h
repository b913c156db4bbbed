// Fuzz entries of the libFuzzer programs and the corpus replay: a broken rule aborts with a line.
#ifndef FUZZ_H
#define FUZZ_H

#include <fcntl.h>
#include <unistd.h>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include "CONIO.h"
#include "FLCOMMON.h"

int Fuzz_Hex(const uint8_t *data, size_t size);
int Fuzz_Link(const uint8_t *data, size_t size);
int Fuzz_Line(const uint8_t *data, size_t size);

#ifdef FUZZ_ENTRY // the libFuzzer program of one target: CMake names its entry
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return FUZZ_ENTRY(data, size);
}
#endif

#define FUZZ_CHECK(cond, ...)                                                                      \
    do {                                                                                           \
        if (cond) break;                                                                           \
        fprintf(stderr, "fuzz check: " __VA_ARGS__);                                               \
        fputc('\n', stderr);                                                                       \
        abort();                                                                                   \
    } while (0)

// The console takes the signals (the fuzzer's timer among them): set up here, it hands them back.
inline bool Console_Without_Signals()
{
    struct sigaction saved[NSIG];
    for (int sig = 1; sig < NSIG; sig++) sigaction(sig, nullptr, &saved[sig]);
    Con_Init();
    for (int sig = 1; sig < NSIG; sig++) sigaction(sig, &saved[sig], nullptr);
    return true;
}

// While alive: output to /dev/null (stderr with FUZZ_SHOW), cwd and log level private, no stdin.
struct Fuzz_Quiet {
    int saved_out = -1, old_dir = open(".", O_RDONLY | O_DIRECTORY);
    const WORD saved_level = log_level;
    Fuzz_Quiet()
    {
        static char scratch[] = "/tmp/torvex-fuzz-XXXXXX";
        static const bool ready = mkdtemp(scratch) && atexit([] { rmdir(scratch); }) == 0 &&
                                  freopen("/dev/null", "r", stdin) && Console_Without_Signals();
        fflush(stdout);
        saved_out = dup(1);
        const int null_out = open("/dev/null", O_WRONLY);
        dup2(getenv("FUZZ_SHOW") ? 2 : null_out, 1);
        close(null_out);
        FUZZ_CHECK(ready && chdir(scratch) == 0, "no scratch directory %s", scratch);
    }
    ~Fuzz_Quiet()
    {
        fflush(stdout);
        dup2(saved_out, 1);
        close(saved_out);
        FUZZ_CHECK(fchdir(old_dir) == 0, "cannot go back");
        close(old_dir);
        log_level = saved_level;
    }
};

#endif
