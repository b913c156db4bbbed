// The board's console UART on a second pseudo-terminal. At each reset (the
// start, and every shutdown of the host link) the monitor prints its banner
// and starts the boot program its tables name; what is typed is echoed.
//
// The board holds the slave side open, so what the console prints waits in
// the line until someone reads it. A terminal program that clears the line
// when it opens the port (TORVEX's term does) would lose it: the master runs
// in packet mode, sees that flush, and prints everything since the last
// reset again.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <sys/ioctl.h>
#include <unistd.h>

#include "FLDATA.h"
#include "vboard.h"

namespace vboard {

namespace {

const size_t TRANSCRIPT_MAX = 4096;

int console_fd = -1;
MONITOR_ID monitor;
std::string since_reset; // what the console printed since the last reset

void Send(const char *text, size_t len)
{
    since_reset.append(text, len);
    if (since_reset.size() > TRANSCRIPT_MAX)
        since_reset.erase(0, since_reset.size() - TRANSCRIPT_MAX);
    while (len > 0) {
        ssize_t n = write(console_fd, text, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return; // a line nobody reads is full: the rest is lost, as on a wire
        text += n;
        len -= size_t(n);
    }
}

void Send_Line(const char *text)
{
    Send(text, strlen(text));
    Send("\r\n", 2);
}

// The entry of a program directory at dir_addr that carries the boot mark.
int Boot_Entry(DWORD dir_addr, FLASH_DIR_ENTRY_STRUCT *entry)
{
    for (int i = FIRST_PROG_DIR_ENTRY; i < MAX_DIR_ENTRIES; i++) {
        DWORD addr = dir_addr + DWORD(i) * sizeof *entry;
        if (Mem_Read(addr, sizeof *entry, reinterpret_cast<BYTE *>(entry)) != ST_OK) return -1;
        if ((entry->dir_flags & (DIR_IN_USE | DIR_BOOT)) == (DIR_IN_USE | DIR_BOOT)) return i;
    }
    return -1;
}

} // namespace

void Describe_Boot(const MONITOR_ID *mon, char *out, size_t cap)
{
    BOOT_ADDRESS_STRUCT boot;
    if (Mem_Read(mon->boot_addr, sizeof boot, reinterpret_cast<BYTE *>(&boot)) != ST_OK ||
        boot.boot_init != TBL_VALID_MARK || boot.tbl_version != TBL_VERSION) {
        snprintf(out, cap, "No boot program: the flash tables are not valid");
        return;
    }
    if (boot.boot_flags == 0) {
        snprintf(out, cap, "No boot program set");
        return;
    }
    SYSTEM_TBL sys;
    FLASH_DIR_ENTRY_STRUCT entry;
    int index = -1;
    if (Mem_Read(boot.user_data_address, sizeof sys, reinterpret_cast<BYTE *>(&sys)) == ST_OK &&
        sys.tbl_valid == TBL_VALID_MARK)
        index = Boot_Entry(sys.directory_tbl.first_phys_addr, &entry);
    if (index < 0) {
        snprintf(out, cap, "Starting boot program at %04X:%04X (no directory entry names it)",
                 boot.boot_base, unsigned(boot.boot_offset));
        return;
    }
    char name[sizeof entry.program_name_str + 1];
    Get_Field(name, entry.program_name_str);
    snprintf(out, cap, "Starting boot program %s at %04X:%04X (directory entry %d)", name,
             boot.boot_base, unsigned(boot.boot_offset), index);
}

bool Console_Open(const char *path, const MONITOR_ID *mon, DWORD baud, char *err, size_t err_size)
{
    monitor = *mon;
    console_fd = Pty_Open(path, baud, err, err_size);
    int on = 1;
    if (console_fd >= 0 && ioctl(console_fd, TIOCPKT, &on) != 0) {
        snprintf(err, err_size, "cannot watch the console line: %s", strerror(errno));
        Pty_Close(console_fd, path);
        console_fd = -1;
    }
    return console_fd >= 0;
}

int Console_Fd()
{
    return console_fd;
}

void Console_Reset()
{
    if (console_fd < 0) return;
    since_reset.clear();
    DWORD first = Mem_Flash_First();
    char line[160];
    snprintf(line, sizeof line, "\r\nBoot monitor V%X.%02X - flash %08" PRIX32 "-%08" PRIX32,
             monitor.version >> 8, monitor.version & 0xFFu, first, first + Mem_Flash_Size() - 1);
    Send_Line(line);
    Describe_Boot(&monitor, line, sizeof line);
    Send_Line(line);
}

void Console_Service()
{
    char buf[512];
    ssize_t n = read(console_fd, buf, sizeof buf);
    if (n <= 0) return;
    if (buf[0] != TIOCPKT_DATA) {
        if (buf[0] & TIOCPKT_FLUSHREAD) { // the reader cleared the line: print it all again
            std::string again;
            again.swap(since_reset);
            Send(again.data(), again.size());
        }
        return;
    }
    for (ssize_t i = 1; i < n; i++) {
        if (buf[i] == '\r')
            Send("\r\n", 2);
        else
            Send(buf + i, 1);
    }
}

void Console_Close(const char *path)
{
    if (console_fd >= 0) Pty_Close(console_fd, path);
    console_fd = -1;
}

} // namespace vboard
