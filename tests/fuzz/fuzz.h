// Fuzz entry points, shared by the libFuzzer programs (make fuzz) and the
// corpus replay test: each runs one input through the host code and aborts
// with a line on stderr when the code breaks one of its rules.
#ifndef FUZZ_H
#define FUZZ_H

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

int Fuzz_Hex(const uint8_t *data, size_t size);
int Fuzz_Link(const uint8_t *data, size_t size);
int Fuzz_Line(const uint8_t *data, size_t size);

#define FUZZ_CHECK(cond, ...)                                   \
    do {                                                        \
        if (!(cond)) {                                          \
            fprintf(stderr, "fuzz check failed: " __VA_ARGS__); \
            fputc('\n', stderr);                                \
            abort();                                            \
        }                                                       \
    } while (0)

// While alive: the host code's output goes to /dev/null (to stderr when
// FUZZ_SHOW is set, to see what an input does) and the working
// directory is a private scratch directory (segment files land there). The
// first use points standard input at /dev/null, so no prompt or key poll waits.
class Fuzz_Quiet {
public:
    Fuzz_Quiet()
    {
        static char scratch[] = "/tmp/torvex-fuzz-XXXXXX";
        static bool ready = false;
        if (!ready) {
            int null_in = open("/dev/null", O_RDONLY);
            ready = mkdtemp(scratch) != nullptr && dup2(null_in, 0) == 0;
            close(null_in);
            FUZZ_CHECK(ready, "no scratch directory");
            atexit([] { rmdir(scratch); });
        }
        fflush(stdout);
        saved_out_ = dup(1);
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(getenv("FUZZ_SHOW") ? 2 : null_fd, 1), close(null_fd);
        old_dir_ = open(".", O_RDONLY | O_DIRECTORY);
        FUZZ_CHECK(chdir(scratch) == 0, "cannot enter %s", scratch);
    }
    ~Fuzz_Quiet()
    {
        fflush(stdout);
        dup2(saved_out_, 1), close(saved_out_);
        if (fchdir(old_dir_) != 0) perror("fchdir");
        close(old_dir_);
    }

private:
    int saved_out_, old_dir_;
};

#endif
