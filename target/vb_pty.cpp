// Pseudo-terminal of the board's serial line and the symbolic link the host
// opens as its port.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "vboard.h"

namespace vboard {

namespace {

// The board keeps the slave side of each of its lines open itself: without
// a reader on it the master would see hang-ups whenever the host closes its
// port. One entry per line: the link and the console.
struct HELD_SLAVE {
    int master, slave;
};
HELD_SLAVE held[2] = {{-1, -1}, {-1, -1}};

HELD_SLAVE *Held_Entry(int master)
{
    for (HELD_SLAVE &h : held)
        if (h.master == master) return &h;
    return nullptr;
}

speed_t Speed_Code(DWORD baud)
{
    switch (baud) {
    case 300: return B300;
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B9600;
    }
}

bool Set_Raw(int fd, DWORD baud)
{
    termios t;
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&t, Speed_Code(baud));
    cfsetospeed(&t, Speed_Code(baud));
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

// Replaces a stale link from an earlier run, never a real file.
bool Make_Link(const char *target, const char *path, char *err, size_t err_size)
{
    struct stat st;
    if (lstat(path, &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            snprintf(err, err_size, "%s exists and is not a symbolic link", path);
            return false;
        }
        unlink(path);
    }
    if (symlink(target, path) != 0) {
        snprintf(err, err_size, "cannot create link %s: %s", path, strerror(errno));
        return false;
    }
    return true;
}

} // namespace

int Pty_Open(const char *path, DWORD baud, char *err, size_t err_size)
{
    if (err_size) err[0] = 0;
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        snprintf(err, err_size, "cannot open a pseudo-terminal: %s", strerror(errno));
        if (master >= 0) close(master);
        return -1;
    }
    const char *name = ptsname(master);
    HELD_SLAVE *h = Held_Entry(-1);
    int slave_fd = name && h ? open(name, O_RDWR | O_NOCTTY) : -1;
    if (slave_fd < 0 || !Set_Raw(slave_fd, baud) || !Make_Link(name, path, err, err_size)) {
        if (slave_fd < 0 || !err[0])
            snprintf(err, err_size, "cannot set up %s", name ? name : "pty");
        if (slave_fd >= 0) close(slave_fd);
        close(master);
        return -1;
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave_fd, F_SETFD, FD_CLOEXEC);
    *h = {master, slave_fd};
    return master;
}

void Pty_Close(int master_fd, const char *path)
{
    unlink(path);
    if (HELD_SLAVE *h = master_fd >= 0 ? Held_Entry(master_fd) : nullptr) {
        close(h->slave);
        *h = {-1, -1};
    }
    if (master_fd >= 0) close(master_fd);
}

} // namespace vboard
