// Level-filtered output and error reporting.
#include <cstdarg>
#include <cstdio>

#include "FLCOMMON.h"

WORD log_level = LOG_NORMAL;
char log_str[LOG_STR_SIZE];

void Log_Str(WORD this_log_level, const char *log_str_ptr)
{
    bool show;
    if (this_log_level <= LOG_DEBUG)
        show = this_log_level <= log_level;
    else
        show = (log_level & this_log_level) == this_log_level;
    if (show) {
        fputs(log_str_ptr, stdout);
        fflush(stdout);
    }
}

void Log_Fmt(WORD this_log_level, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(log_str, sizeof log_str, fmt, ap);
    va_end(ap);
    Log_Str(this_log_level, log_str);
}
