// TEMPORARY seam while the subsystems are being built in parallel: weak
// definitions that the real modules override at link time. Each owner deletes
// the entries it implements; the file goes away once all are real.
#include "flashu.h"

#define WEAK __attribute__((weak))

static void Not_Built(const char *what, WORD *status_ptr)
{
    Log_Fmt(LOG_ALWAYS, "%s is not built yet\n", what);
    if (status_ptr) *status_ptr = E_REPORTED;
}

WEAK void Delete_Temp_Files() {}
WEAK void Display_Command_Info() { Not_Built("help", nullptr); }
WEAK void Display_Debug_Info() { Not_Built("debug help", nullptr); }
WEAK void Display_Options() { Not_Built("options", nullptr); }
