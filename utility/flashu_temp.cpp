// Temporary files (*.~~~) in the working directory. Each run's files are its
// own: created under names no file has, mode 0600, and locked (flock) for as
// long as the run holds them, so a run sharing the folder neither reads them
// nor deletes them. The bytes go back to the pipeline through the descriptor
// kept since creation, never through the name.
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "flashu.h"
#include "flashu_seg.h"

constexpr int NAME_TRIES = 16; // names taken by others before creation gives up
constexpr int LOCK_TRIES =
    200; // 1 ms apart: a sweep holds another run's new file that long at most

struct TEMP_FILE_STRUCT {
    int fd; // -1: slot unused
    char name[TEXT_FIELD_SIZE];
};

static TEMP_FILE_STRUCT temp_files[MAX_SEG_MAP_ENTRIES];
static bool temp_files_ready = false;
static char run_tag[32]; // this run's part of the names
static unsigned tag_number = 0;

static void Init_Temp_Slots()
{
    if (temp_files_ready) return;
    for (TEMP_FILE_STRUCT &t : temp_files) t.fd = -1;
    temp_files_ready = true;
}

// Names differ between live runs by the process id; another tag is taken
// when a name is in use all the same (a leftover of a run in another process
// namespace, or something planted).
static void Next_Run_Tag()
{
    if (tag_number++ == 0)
        snprintf(run_tag, sizeof run_tag, "%ld", (long)getpid());
    else
        snprintf(run_tag, sizeof run_tag, "%ld-%u", (long)getpid(), tag_number - 1);
}

// A sweep by another run may hold a new file between its creation and our
// lock; it unlinks what it holds, so a file that lost its name is given up
// (false, errno 0). Any other failure leaves errno.
static bool Lock_New_File(int fd)
{
    for (int i = 0; flock(fd, LOCK_EX | LOCK_NB) != 0; i++) {
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        if (i == LOCK_TRIES) return false;
        usleep(1000);
    }
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    errno = 0;
    return st.st_nlink > 0;
}

static void Release_Temp_File(TEMP_FILE_STRUCT *t)
{
    if (t->fd < 0) return;
    unlink(t->name);
    close(t->fd);
    t->fd = -1;
}

int Create_Temp_File(WORD number, char *name_ptr, size_t name_size)
{
    Init_Temp_Slots();
    if (number >= MAX_SEG_MAP_ENTRIES) {
        errno = EINVAL;
        return -1;
    }
    if (run_tag[0] == '\0') Next_Run_Tag();
    for (int tries = 0; tries < NAME_TRIES; tries++) {
        snprintf(name_ptr, name_size, TEMP_FILE_NAME_FMT, number, run_tag);
        int fd = open(name_ptr, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) return -1;
        if (fd < 0) {
            Next_Run_Tag();
            continue;
        }
        if (!Lock_New_File(fd)) {
            int err = errno;
            if (err != 0) unlink(name_ptr); // still ours: nobody else could lock it either
            close(fd);
            if (err == 0) continue;
            errno = err;
            return -1;
        }
        TEMP_FILE_STRUCT *t = &temp_files[number];
        Release_Temp_File(t);
        snprintf(t->name, sizeof t->name, "%s", name_ptr);
        t->fd = fd; // after the name: an end at once may read the slot any time
        return fd;
    }
    errno = EEXIST;
    return -1;
}

bool Write_Temp_File(int fd, const BYTE *p, size_t n)
{
    while (n > 0) {
        ssize_t done = write(fd, p, n);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) {
            if (done == 0) errno = ENOSPC;
            return false;
        }
        p += done;
        n -= (size_t)done;
    }
    return true;
}

static int Segment_Data_Fd(const SEGMENT_MAP_STRUCT *seg)
{
    Init_Temp_Slots();
    if (seg->index >= MAX_SEG_MAP_ENTRIES) return -1;
    const TEMP_FILE_STRUCT *t = &temp_files[seg->index];
    if (t->fd < 0 || strcmp(t->name, seg->filepath_str) != 0) return -1;
    return t->fd;
}

bool Segment_Data_Stat(const SEGMENT_MAP_STRUCT *seg, struct stat *st)
{
    int fd = Segment_Data_Fd(seg);
    return fd >= 0 && fstat(fd, st) == 0;
}

FILE *Open_Segment_Data(const SEGMENT_MAP_STRUCT *seg)
{
    int fd = Segment_Data_Fd(seg);
    if (fd < 0 || lseek(fd, 0, SEEK_SET) != 0) return nullptr;
    int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    FILE *f = copy >= 0 ? fdopen(copy, "rb") : nullptr;
    if (f == nullptr && copy >= 0) close(copy);
    return f;
}

// ---- deletion ---------------------------------------------------------------------
static bool Is_Temp_File_Name(const char *name)
{
    size_t len = strlen(name);
    return len >= 4 && strcmp(name + len - 4, ".~~~") == 0;
}

static void Delete_Own_Temp_Files()
{
    Init_Temp_Slots();
    for (TEMP_FILE_STRUCT &t : temp_files) Release_Temp_File(&t);
}

// A leftover is deleted only while its lock is ours and the name still
// leads to the file locked. What cannot be opened to try the lock (another
// user's file) stays, and so does anything that is no regular file: a run
// leaves nothing else, and a link is never followed.
static void Delete_Leftover(const char *name)
{
    int fd = open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat held, named;
    if (fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        lstat(name, &named) == 0 && held.st_dev == named.st_dev && held.st_ino == named.st_ino)
        unlink(name);
    close(fd);
}

// Called from a signal handler: unlink only, and only this run's files.
void Unlink_Own_Temp_Files_At_Once()
{
    if (!temp_files_ready) return;
    for (const TEMP_FILE_STRUCT &t : temp_files)
        if (t.fd >= 0) unlink(t.name);
}

void Delete_Temp_Files()
{
    Delete_Own_Temp_Files();
    DIR *d = opendir(".");
    if (d == nullptr) return;
    while (struct dirent *e = readdir(d)) {
        if (Is_Temp_File_Name(e->d_name)) Delete_Leftover(e->d_name);
    }
    closedir(d);
}
