// Line rate through the kernel's arbitrary-rate interface, so that rates
// without a B-constant (48000) work like the others. Kept in its own file:
// <asm/termbits.h> and <termios.h> define the same names differently.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>

#include "SERPORT.h"

extern "C" int ioctl(int fd, unsigned long request, ...);

bool Serport_Set_Baud(int fd, DWORD dwBaudRate, int *err)
{
    struct termios2 tio;
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        *err = errno;
        return false;
    }
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = dwBaudRate;
    tio.c_ospeed = dwBaudRate;
    if (ioctl(fd, TCSETS2, &tio) != 0) {
        *err = errno;
        return false;
    }
    return true;
}

bool Serport_Get_Baud(int fd, DWORD *dwBaudRate)
{
    struct termios2 tio;
    if (ioctl(fd, TCGETS2, &tio) != 0) return false;
    *dwBaudRate = tio.c_ospeed;
    return true;
}
