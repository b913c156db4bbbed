// Event trace: one JSON object per line, flushed at once so a test can read
// the file while the board still runs.
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "vboard.h"

namespace vboard {

namespace {
FILE *trace_file;
uint64_t trace_start_us;
} // namespace

uint64_t Now_Us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

bool Trace_Open(const char *path)
{
    Trace_Close();
    trace_file = fopen(path, "w");
    trace_start_us = Now_Us();
    return trace_file != nullptr;
}

void Trace_Close()
{
    if (trace_file) fclose(trace_file);
    trace_file = nullptr;
}

bool Trace_On()
{
    return trace_file != nullptr;
}

void Trace_Fmt(const char *fmt, ...)
{
    if (!trace_file) return;
    char body[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(body, sizeof body, fmt, ap);
    va_end(ap);
    fprintf(trace_file, "{\"t_ms\":%llu,%s}\n",
            (unsigned long long)((Now_Us() - trace_start_us) / 1000u), body);
    fflush(trace_file);
}

} // namespace vboard
