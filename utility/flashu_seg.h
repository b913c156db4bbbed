// The segment map that program file processing builds and the download
// pipeline consumes, with the download results the directory entry records.
#ifndef FLASHU_SEG_H
#define FLASHU_SEG_H

#include <sys/stat.h>

#include "FLCOMMON.h"

constexpr int MAX_SEG_MAP_ENTRIES = 20;
// A temporary file's name: its number, then this run's tag.
#define TEMP_FILE_NAME_FMT "seg%03u.%s.~~~"
constexpr int DOWNLOAD_PIECE_SIZE = 1024;

#pragma pack(push, 1)
struct SEGMENT_MAP_STRUCT {
    WORD index; // number in file order; also names the temp file
    DWORD start_addr;
    DWORD end_addr; // start_addr + size - 1
    DWORD size;
    char filepath_str[TEXT_FIELD_SIZE];
};
#pragma pack(pop)
static_assert(sizeof(SEGMENT_MAP_STRUCT) == 14 + TEXT_FIELD_SIZE,
              "SEGMENT_MAP_STRUCT must be packed");

// ---- results of program file processing (flashu_hexfile.cpp) ----------------
extern SEGMENT_MAP_STRUCT seg_map_tbl[MAX_SEG_MAP_ENTRIES];
extern WORD number_seg_map_entries;
extern DWORD oh_date_time; // the program file's last-access time
// Filled by the download: bytes written, lowest/highest address, byte sum.
extern DWORD oh_logical_len;
extern DWORD oh_first_addr;
extern DWORD oh_last_addr;
extern DWORD oh_checksum;

// ---- program file access (flashu_binfile.cpp) ---------------------------------
// The status of a file found by its typed name; false when it cannot be opened
// as a regular file.
bool Program_File_Stat(const char *path, struct stat *st);
// The file's last-access time, 0 when the file system cannot tell.
DWORD File_Access_Time(const char *path);

// ---- this run's private temporary files (flashu_temp.cpp) ---------------------
// Creates file number (0 to 19) under a name no file has, mode 0600, locked
// for this run; the name goes to name_ptr. Returns the descriptor, kept open
// until Delete_Temp_Files; -1 with errno set when none can be had.
int Create_Temp_File(WORD number, char *name_ptr, size_t name_size);
// Writes all n bytes to a temporary file; false with errno set (ENOSPC when
// the file system takes nothing more) otherwise.
bool Write_Temp_File(int fd, const BYTE *p, size_t n);
// The bytes of a segment held in this run's temporary file, from its first
// byte; nullptr / false when the segment has no such file.
FILE *Open_Segment_Data(const SEGMENT_MAP_STRUCT *seg);
bool Segment_Data_Stat(const SEGMENT_MAP_STRUCT *seg, struct stat *st);

// ---- the two readers behind Process_Program_File, which empties the segment
// map and the start vector first (flashu_hexfile.cpp, flashu_binfile.cpp) ------
void Process_OH_File(WORD *status_ptr);
void Process_Binary_File(WORD *status_ptr);

// ---- hex reader (flashu_hexfile.cpp) --------------------------------------
constexpr int OH_COUNT_EOF = 0xFFFF;
// Status values the hex reader raises that have no error table entry.
enum : WORD {
    E_OH_FILE_OPEN = 0x0001,
    E_OH_RECORD_TYPE = 0x0002,
};
void Open_OH_File(const char *filepath_ptr, WORD *status_ptr);
WORD Read_OH_Data(WORD *base_ptr, DWORD *offset_ptr, BYTE *data_ptr, WORD *status_ptr);
void Close_OH_File();

// ---- programming pipeline internals (flashu_program.cpp) ----------------------
void Program_Segment_Blocks(WORD *status_ptr);
void Download_Segment(WORD seg_index, WORD dev_index, DWORD *total_download_count_ptr,
                      WORD *status_ptr);
void Download_RAM_Work_Area(DWORD start_seg_addr, DWORD seg_size, DWORD start_dev_addr,
                            DWORD dev_size, const BYTE *seg_data_ptr,
                            DWORD *total_download_count_ptr, WORD *status_ptr);

#endif
