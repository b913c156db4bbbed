// Binary program images and the choice between hex and binary processing.
#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "flashu.h"
#include "flashu_seg.h"

bool Program_File_Stat(const char *path, struct stat *st)
{
    FILE *f = Open_User_File(path, "rb");
    if (!f) return false;
    bool ok = fstat(fileno(f), st) == 0;
    fclose(f);
    return ok;
}

DWORD File_Access_Time(const char *path)
{
    struct stat st;
    if (!Program_File_Stat(path, &st)) return 0;
    return (DWORD)st.st_atime;
}

static void Check_Binary_Size(const struct stat *st, WORD *status_ptr)
{
    if (st->st_size == 0) {
        Log_Str(LOG_ALWAYS, "\nBinary file contains no code/data!\n");
        *status_ptr = E_REPORTED;
        return;
    }
    // The map holds 32-bit sizes and addresses: an image that does not fit
    // below 4 GB from its load address cannot be placed.
    if ((unsigned long long)st->st_size > 0x100000000ULL - program_addr) {
        Log_Fmt(LOG_ALWAYS, "Binary file too large for address 0x%08" PRIX32 "!\n", program_addr);
        *status_ptr = E_REPORTED;
    }
}

// ---- the private copy ------------------------------------------------------------
// The image is programmed from a copy taken now, so every block comes from
// one version of the file even when it is rewritten during the download; a
// copy during which the file changed is taken again.
constexpr int COPY_BUF_SIZE = 256 * 1024;
constexpr int COPY_TRIES = 3;

static BYTE copy_buf[COPY_BUF_SIZE];

static bool Same_Version(const struct stat *a, const struct stat *b)
{
    return a->st_ino == b->st_ino && a->st_size == b->st_size &&
           a->st_mtim.tv_sec == b->st_mtim.tv_sec && a->st_mtim.tv_nsec == b->st_mtim.tv_nsec &&
           a->st_ctim.tv_sec == b->st_ctim.tv_sec && a->st_ctim.tv_nsec == b->st_ctim.tv_nsec;
}

enum COPY_RESULT { COPY_DONE, COPY_READ_FAILED, COPY_WRITE_FAILED };

// Copies size bytes from the start of in to the start of out; *copied gets
// the bytes copied, fewer when the file ended early. A failure leaves errno.
static COPY_RESULT Copy_Image(int in, int out, off_t size, long long *copied)
{
    *copied = 0;
    if (lseek(in, 0, SEEK_SET) != 0) return COPY_READ_FAILED;
    if (lseek(out, 0, SEEK_SET) != 0 || ftruncate(out, 0) != 0) return COPY_WRITE_FAILED;
    while (*copied < size) {
        size_t want = (size_t)std::min<long long>(size - *copied, sizeof copy_buf);
        ssize_t n = read(in, copy_buf, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return COPY_READ_FAILED;
        if (n == 0) break;
        if (!Write_Temp_File(out, copy_buf, (size_t)n)) return COPY_WRITE_FAILED;
        *copied += n;
    }
    return COPY_DONE;
}

// Takes the private copy into seg's file; st holds the version copied.
static void Take_Private_Copy(FILE *in, struct stat *st, SEGMENT_MAP_STRUCT *seg, WORD *status_ptr)
{
    *status_ptr = E_REPORTED;
    int out = Create_Temp_File(0, seg->filepath_str, sizeof seg->filepath_str);
    if (out < 0) {
        Log_Fmt(LOG_ALWAYS, "\nCannot create segment file %s: %s!\n", seg->filepath_str,
                strerror(errno));
        return;
    }
    for (int tries = 0; tries < COPY_TRIES; tries++) {
        long long copied;
        struct stat after = *st;
        COPY_RESULT result = Copy_Image(fileno(in), out, st->st_size, &copied);
        if (result == COPY_READ_FAILED)
            return Log_Fmt(LOG_ALWAYS, "\nCannot read binary file %s: %s!\n", filepath_str,
                           strerror(errno));
        if (result == COPY_WRITE_FAILED)
            return Log_Fmt(LOG_ALWAYS, "\nCannot write segment file %s: %s!\n", seg->filepath_str,
                           strerror(errno));
        fstat(fileno(in), &after);
        if (copied == st->st_size && Same_Version(st, &after)) {
            *status_ptr = E_OK;
            return;
        }
        *st = after;
    }
    Log_Fmt(LOG_ALWAYS, "Binary file %s keeps changing: cannot take one version of it!\n",
            filepath_str);
}

void Process_Binary_File(WORD *status_ptr)
{
    Log_Fmt(LOG_NORMAL, "Process binary file %s ...\n", filepath_str);
    FILE *in = Open_User_File(filepath_str, "rb");
    struct stat st;
    if (!in || fstat(fileno(in), &st) != 0) {
        if (in) fclose(in);
        Log_Fmt(LOG_ALWAYS, "File %s not found!\n", filepath_str);
        *status_ptr = E_REPORTED;
        return;
    }
    DWORD access_time = (DWORD)st.st_atime; // before the copy reads the file
    SEGMENT_MAP_STRUCT *seg = &seg_map_tbl[0];
    Check_Binary_Size(&st, status_ptr);
    if (*status_ptr == E_OK) Take_Private_Copy(in, &st, seg, status_ptr);
    if (*status_ptr == E_OK) Check_Binary_Size(&st, status_ptr); // the version copied
    fclose(in);
    if (*status_ptr != E_OK) return;
    DWORD size = (DWORD)st.st_size;
    number_seg_map_entries = 1;
    seg->index = 0;
    seg->start_addr = program_addr;
    seg->end_addr = program_addr + size - 1;
    seg->size = size;
    Log_Fmt(LOG_OHSORT,
            "Process binary code/data segment from 0x%08" PRIX32 " to 0x%08" PRIX32 " (%" PRIu32
            " bytes)\n",
            seg->start_addr, seg->end_addr, seg->size);
    oh_date_time = access_time;
    Log_Str(LOG_NORMAL, "Binary file OK\n");
}

// Either reader starts from an empty segment map and no start vector.
void Process_Program_File(WORD *status_ptr)
{
    if (filepath_str[0] == '\0') {
        Log_Str(LOG_ALWAYS, "File not specified!\n");
        return;
    }
    *status_ptr = E_OK;
    oh_vector_base = 0;
    oh_vector_offset = 0;
    oh_logical_len = 0;
    memset(seg_map_tbl, 0, sizeof seg_map_tbl);
    number_seg_map_entries = 0;
    if (file_format == 1)
        Process_Binary_File(status_ptr);
    else
        Process_OH_File(status_ptr);
}
