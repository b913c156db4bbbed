// The serial devices present on this machine, listed when a port cannot be
// opened so that the user sees what TORVEX_COMn could name. The folder
// scanned is $TORVEX_DEV_DIR, /dev when that is unset (tests give a tree of
// their own).
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "COMMS.h"
#include "FLCOMMON.h"

namespace {

const int MAX_LISTED = 16;

struct PORT_LIST {
    int listed;
    bool more;
    char first[PATH_MAX]; // the path the hint suggests
};

// A ttyS device node exists for every possible UART; only those the kernel
// found hardware for have a type. sysfs tells without opening the device.
bool Has_Uart(const char *dir, const char *name)
{
    char path[PATH_MAX];
    snprintf(path, sizeof path, "/sys/class/tty/%s/type", name);
    if (FILE *f = fopen(path, "r")) {
        int type = 0;
        bool known = fscanf(f, "%d", &type) == 1;
        fclose(f);
        if (known) return type != PORT_UNKNOWN;
    }
    snprintf(path, sizeof path, "%s/%s", dir, name);
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    struct serial_struct info;
    bool uart = ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
    close(fd);
    return uart;
}

void List_One(PORT_LIST *list, const char *path, const char *points_to)
{
    if (list->listed == MAX_LISTED) {
        list->more = true;
        return;
    }
    if (list->listed++ == 0) {
        Log_Str(LOG_TERSE, "Serial ports present:\n");
        snprintf(list->first, sizeof list->first, "%s", path);
    }
    Log_Str(LOG_TERSE, "  ");
    Log_Str(LOG_TERSE, path);
    if (points_to != nullptr) {
        Log_Str(LOG_TERSE, " -> ");
        Log_Str(LOG_TERSE, points_to);
    }
    Log_Str(LOG_TERSE, "\n");
}

enum ENTRY_KIND { BY_ID_LINK, USB_DEVICE, UART_DEVICE };

// Entries of dir whose names start with prefix, in version order (ttyS2
// before ttyS10); by-id links are shown with the device they name.
void List_Entries(PORT_LIST *list, const char *dir, const char *prefix, ENTRY_KIND kind)
{
    const bool by_id = kind == BY_ID_LINK;
    struct dirent **names = nullptr;
    int n = scandir(dir, &names, nullptr, versionsort);
    for (int i = 0; i < n; i++) {
        const char *name = names[i]->d_name;
        char path[PATH_MAX];
        bool wanted = strncmp(name, prefix, strlen(prefix)) == 0 && name[0] != '.' &&
                      (kind != UART_DEVICE || Has_Uart(dir, name));
        if (wanted && snprintf(path, sizeof path, "%s/%s", dir, name) < (int)sizeof path) {
            char target[PATH_MAX];
            if (by_id && realpath(path, target) == nullptr) {
                ssize_t len = readlink(path, target, sizeof target - 1);
                target[len > 0 ? len : 0] = '\0';
            }
            List_One(list, path, by_id ? target : nullptr);
        }
        free(names[i]);
    }
    free(names);
}

} // namespace

void List_Serial_Ports(WORD comm_port)
{
    const char *dev = getenv("TORVEX_DEV_DIR");
    if (dev == nullptr || dev[0] == '\0') dev = "/dev";
    char by_id[PATH_MAX];
    snprintf(by_id, sizeof by_id, "%s/serial/by-id", dev);
    PORT_LIST list = {0, false, ""};
    List_Entries(&list, by_id, "", BY_ID_LINK);
    // The by-id names cover the USB adapters, under names that stay put.
    if (list.listed == 0) {
        List_Entries(&list, dev, "ttyUSB", USB_DEVICE);
        List_Entries(&list, dev, "ttyACM", USB_DEVICE);
    }
    List_Entries(&list, dev, "ttyS", UART_DEVICE);
    if (list.more) Log_Str(LOG_TERSE, "  ...\n");
    if (list.listed == 0) {
        Log_Fmt(LOG_TERSE, "No serial ports found in %s; plug in the board's adapter, then\n", dev);
        snprintf(list.first, sizeof list.first, "%s/serial/by-id/...", dev);
    }
    Log_Fmt(LOG_TERSE, "set TORVEX_COM%u=", comm_port + 1u);
    Log_Str(LOG_TERSE, list.first);
    Log_Str(LOG_TERSE, list.listed > 1 ? " (or another port above) and start TORVEX again\n"
                                       : " and start TORVEX again\n");
}
