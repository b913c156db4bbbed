// Binary program images and the choice between hex and binary processing.
#include <sys/stat.h>

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

void Process_Binary_File(WORD *status_ptr)
{
    Log_Fmt(LOG_NORMAL, "Process binary file %s ...\n", filepath_str);
    struct stat st;
    if (!Program_File_Stat(filepath_str, &st)) {
        Log_Fmt(LOG_ALWAYS, "File %s not found!\n", filepath_str);
        *status_ptr = E_REPORTED;
        return;
    }
    if (st.st_size == 0) {
        Log_Str(LOG_ALWAYS, "\nBinary file contains no code/data!\n");
        *status_ptr = E_REPORTED;
        return;
    }
    // The map holds 32-bit sizes and addresses: an image that does not fit
    // below 4 GB from its load address cannot be placed.
    if ((unsigned long long)st.st_size > 0x100000000ULL - program_addr) {
        Log_Fmt(LOG_ALWAYS, "Binary file too large for address 0x%08lX!\n", (unsigned long)program_addr);
        *status_ptr = E_REPORTED;
        return;
    }
    DWORD size = (DWORD)st.st_size;
    SEGMENT_MAP_STRUCT *seg = &seg_map_tbl[0];
    number_seg_map_entries = 1;
    seg->index = 0;
    seg->start_addr = program_addr;
    seg->end_addr = program_addr + size - 1;
    seg->size = size;
    snprintf(seg->filepath_str, sizeof seg->filepath_str, "%s", filepath_str);
    Log_Fmt(LOG_OHSORT, "Process binary code/data segment from 0x%08lX to 0x%08lX (%lu bytes)\n",
            (unsigned long)seg->start_addr, (unsigned long)seg->end_addr, (unsigned long)seg->size);
    oh_date_time = (DWORD)st.st_atime;
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
