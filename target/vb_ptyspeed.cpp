// The host's line rate, read from the master side of the pseudo-terminal:
// on Linux the master reports the slave's settings. Kept apart from
// vb_pty.cpp because the kernel's termios2 cannot share a file with
// <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "vboard.h"

namespace vboard {

DWORD Pty_Host_Baud(int master_fd)
{
    struct termios2 t2;
    if (ioctl(master_fd, TCGETS2, &t2) != 0) return 0;
    return DWORD(t2.c_ospeed);
}

} // namespace vboard
