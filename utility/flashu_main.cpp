// Program entry and input sources (placeholder until the interpreter lands).
#include "flashu.h"

int Torvex_Main(int, char **)
{
    Log_Str(LOG_ALWAYS, "\nQuillet Bootloader Utility - V2.51\n\n");
    return 0;
}
