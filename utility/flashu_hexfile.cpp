// Hex file processing: one pass over an Intel hex file splits its data
// records into address-contiguous segments, each kept in a temporary file,
// and sorts the segment map by address.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "OH86_DEC.h"
#include "flashu.h"
#include "flashu_seg.h"

SEGMENT_MAP_STRUCT seg_map_tbl[MAX_SEG_MAP_ENTRIES];
WORD number_seg_map_entries = 0;
WORD oh_vector_base = 0;
DWORD oh_vector_offset = 0;
DWORD oh_date_time = 0;
DWORD oh_logical_len = 0;
DWORD oh_first_addr = 0;
DWORD oh_last_addr = 0;
DWORD oh_checksum = 0;

// ---- hex reader -----------------------------------------------------------
constexpr int OH_TEXT_BUF_SIZE = 256 * 1024;

static FILE *oh_file = nullptr;
static OH86_FILE oh_reader;
static BYTE oh_text_buf[OH_TEXT_BUF_SIZE];
static DWORD dwULBA = 0;
static DWORD dwSBA = 0;
static DWORD oh_text_size = 0;

void Close_OH_File()
{
    if (oh_file) fclose(oh_file);
    oh_file = nullptr;
    Attach_OH86_Text(&oh_reader, "", 0);
}

void Open_OH_File(const char *filepath_ptr, WORD *status_ptr)
{
    dwULBA = 0;
    dwSBA = 0;
    Close_OH_File();
    oh_file = Open_User_File(filepath_ptr, "rb");
    if (!oh_file) {
        *status_ptr = E_OH_FILE_OPEN;
        return;
    }
    // The text is read through the block buffer, not through the stream.
    Attach_OH86_File(&oh_reader, fileno(oh_file), oh_text_buf, sizeof oh_text_buf);
    struct stat st;
    bool sized = fstat(fileno(oh_file), &st) == 0 && st.st_size > 0;
    oh_text_size = !sized                                        ? 0
                   : (unsigned long long)st.st_size > 0xFFFFFFFF ? 0xFFFFFFFF
                                                                 : (DWORD)st.st_size;
}

// How much of the hex text the pass has read, for its progress lines.
static DWORD OH_Text_Read()
{
    off_t at = oh_file ? lseek(fileno(oh_file), 0, SEEK_CUR) : -1;
    if (at < 0) return oh_text_size;
    unsigned long long read =
        (unsigned long long)at - (unsigned long long)(oh_reader.end - oh_reader.pos);
    return read > oh_text_size ? oh_text_size : (DWORD)read;
}

static WORD Rec_Word(const OH86_RECORD_STRUCT *rec, unsigned at)
{
    return (WORD)((rec->bData[at] << 8) | rec->bData[at + 1]);
}

static DWORD Rec_Dword(const OH86_RECORD_STRUCT *rec)
{
    return ((DWORD)Rec_Word(rec, 0) << 16) | Rec_Word(rec, 2);
}

static void Extended_Segment_Address_Rec(const OH86_RECORD_STRUCT *rec)
{
    dwSBA = (DWORD)Rec_Word(rec, 0) << 4;
    dwULBA = 0;
}

static void Extended_Linear_Address_Rec(const OH86_RECORD_STRUCT *rec)
{
    dwULBA = (DWORD)Rec_Word(rec, 0) << 16;
    dwSBA = 0;
}

// Interprets one record. Returns true when it is a result for the caller
// (data, end of file, start vector or a failure); *count_ptr gets the count.
static bool Interpret_OH_Record(const OH86_RECORD_STRUCT *rec, WORD *base_ptr, DWORD *offset_ptr,
                                BYTE *data_ptr, WORD *count_ptr, WORD *status_ptr)
{
    *count_ptr = 0;
    switch (rec->bRecType) {
    case OH86_DATA_REC:
        *offset_ptr = dwULBA + dwSBA + rec->wOffset;
        // An empty data record carries nothing; its count of 0 must not be
        // mistaken for a start vector.
        if (rec->bRecLen == 0) return false;
        memcpy(data_ptr, rec->bData, rec->bRecLen);
        *count_ptr = rec->bRecLen;
        return true;
    case OH86_EOF_REC:
        Close_OH_File();
        *base_ptr = 0;
        *offset_ptr = 0;
        *count_ptr = OH_COUNT_EOF;
        return true;
    case OH86_EXT_SEG_ADDR_REC:
        Extended_Segment_Address_Rec(rec);
        *offset_ptr = dwSBA;
        return false;
    case OH86_START_SEG_ADDR_REC:
        // CS:IP as the record carries them: segment first, then offset.
        *base_ptr = Rec_Word(rec, 0);
        *offset_ptr = Rec_Word(rec, 2);
        return true;
    case OH86_EXT_LIN_ADDR_REC:
        Extended_Linear_Address_Rec(rec);
        *offset_ptr = dwULBA;
        return false;
    case OH86_START_LIN_ADDR_REC: *offset_ptr = Rec_Dword(rec); return true;
    default: *status_ptr = E_OH_RECORD_TYPE; return true;
    }
}

WORD Read_OH_Data(WORD *base_ptr, DWORD *offset_ptr, BYTE *data_ptr, WORD *status_ptr)
{
    OH86_RECORD_STRUCT rec;
    // Cleared once per call: a record of unknown type is logged with the base
    // an address record before it in the same call left behind.
    *base_ptr = 0;
    *offset_ptr = 0;
    for (;;) {
        if (!oh_file) {
            *status_ptr = E_HEX_EOF;
            return 0;
        }
        // Address records shorter than they should be read missing bytes as 0.
        memset(rec.bData, 0, 4);
        WORD status = Get_OH86_Record(&oh_reader, &rec);
        if (status == E_OK && !OH86_Checksum_Valid(&rec)) status = E_HEX_CHECKSUM;
        if (status != E_OK) {
            *status_ptr = status;
            return 0;
        }
        WORD count;
        bool result = Interpret_OH_Record(&rec, base_ptr, offset_ptr, data_ptr, &count, status_ptr);
        Log_Fmt(LOG_OHREC,
                "Read hex record: type = %hu, base = 0x%04X, offset = 0x%08" PRIX32
                ", count = %u\n",
                (unsigned short)rec.bRecType, *base_ptr, *offset_ptr, count);
        if (result) return count;
    }
}

// ---- segment building ---------------------------------------------------------
// Segment bytes gather here and go to the segment's file in large writes.
constexpr int SEG_OUT_BUF_SIZE = 256 * 1024;

static int seg_fd = -1;
static BYTE seg_out[SEG_OUT_BUF_SIZE];
static size_t seg_out_len = 0;
static bool seg_open = false;
static WORD seg_number = 0;
static DWORD prev_end_addr = 0;
static DWORD byte_total = 0;

static void Forget_Segment_File()
{
    seg_fd = -1; // the temporary file stays open with its owner (flashu_temp)
    seg_out_len = 0;
    seg_open = false;
}

static void Abandon_Pass()
{
    Close_OH_File();
    Forget_Segment_File();
}

static void Reset_Segment_Builder()
{
    Forget_Segment_File();
    seg_number = 0;
    prev_end_addr = 0xFFFFFFFE;
    byte_total = 0;
}

static void Segment_File_Failed(const char *what, int err, WORD *status_ptr)
{
    Log_Fmt(LOG_ALWAYS, "\nCannot %s segment file %s: %s!\n", what,
            seg_map_tbl[seg_number].filepath_str, strerror(err));
    *status_ptr = E_REPORTED;
}

static void Flush_Segment_Bytes(WORD *status_ptr)
{
    if (!Write_Temp_File(seg_fd, seg_out, seg_out_len))
        Segment_File_Failed("write", errno, status_ptr);
    seg_out_len = 0;
}

static void Write_Segment_Bytes(const BYTE *data_ptr, WORD count, WORD *status_ptr)
{
    if (seg_out_len + count > sizeof seg_out) Flush_Segment_Bytes(status_ptr);
    if (*status_ptr != E_OK) return;
    memcpy(seg_out + seg_out_len, data_ptr, count);
    seg_out_len += count;
}

static void Log_Read_Progress(const SEGMENT_MAP_STRUCT *seg)
{
    Progress_Show(OH_Text_Read(),
                  "Read ...      Addr: %08" PRIX32 " - %08" PRIX32 "   Size: %-6" PRIu32
                  "   Total: %-6" PRIu32 "  ",
                  seg->start_addr, seg->end_addr, seg->size, byte_total);
    Progress_Step_Done(false);
}

static void Log_Read_Segment(const SEGMENT_MAP_STRUCT *seg)
{
    Log_Fmt(LOG_OHSEG,
            "\nRead hex segment #%u from 0x%08" PRIX32 " to 0x%08" PRIX32 " (%" PRIu32 " bytes)\n",
            seg->index, seg->start_addr, seg->end_addr, seg->size);
}

// Ends the open segment: its file must be complete on disk before it counts.
static void Close_Segment(bool last, WORD *status_ptr)
{
    SEGMENT_MAP_STRUCT *seg = &seg_map_tbl[seg_number];
    seg->end_addr = prev_end_addr;
    Flush_Segment_Bytes(status_ptr);
    Forget_Segment_File();
    if (*status_ptr != E_OK) return;
    Log_Read_Progress(seg);
    if (last) Progress_End();
    Log_Read_Segment(seg);
}

static void Start_Segment(DWORD addr, const BYTE *data_ptr, WORD count, WORD *status_ptr)
{
    SEGMENT_MAP_STRUCT *seg = &seg_map_tbl[seg_number];
    seg->index = seg_number;
    seg->start_addr = addr;
    seg->end_addr = 0;
    seg->size = count;
    seg_fd = Create_Temp_File(seg_number, seg->filepath_str, sizeof seg->filepath_str);
    if (seg_fd < 0) {
        Segment_File_Failed("create", errno, status_ptr);
        return;
    }
    seg_open = true;
    Write_Segment_Bytes(data_ptr, count, status_ptr);
}

static void Add_Data_Record(DWORD addr, const BYTE *data_ptr, WORD count, WORD *status_ptr)
{
    byte_total += count;
    // A run never continues across the top of the 32-bit address space.
    if (seg_open && prev_end_addr != 0xFFFFFFFF && addr == prev_end_addr + 1) {
        seg_map_tbl[seg_number].size += count;
        Write_Segment_Bytes(data_ptr, count, status_ptr);
    } else {
        if (seg_open) {
            Close_Segment(false, status_ptr);
            if (*status_ptr != E_OK) return;
            if (seg_number + 1 >= MAX_SEG_MAP_ENTRIES) {
                *status_ptr = E_SEG_LIMIT;
                return;
            }
            seg_number++;
        }
        Start_Segment(addr, data_ptr, count, status_ptr);
    }
    prev_end_addr = addr + count - 1;
}

static void Take_Start_Vector(WORD base, DWORD offset)
{
    if (oh_vector_base == 0 && oh_vector_offset == 0) {
        oh_vector_base = base;
        oh_vector_offset = offset;
        Log_Fmt(LOG_OHSEG, "Read hex start vector %04X:%08" PRIX32 "\n", base, offset);
    } else {
        Log_Str(LOG_ALWAYS, "WARNING!  Multiple start vectors found in hex file\n");
        Log_Fmt(LOG_OHSEG, "Read hex start vector %04X:%08" PRIX32 " (ignored)\n", base, offset);
    }
}

// The reader's own codes 1 and 2 share their values with monitor codes whose
// texts (communications timeout, target memory) would mislead the user, so
// they are reported with texts of their own in the same form.
static void Report_Failure(WORD *status_ptr)
{
    if (*status_ptr == E_REPORTED) return;
    if (*status_ptr == E_OH_FILE_OPEN)
        Log_Fmt(LOG_ALWAYS, "\n%s FAILED!  %s\n\n", "Operation", "Cannot open hex file");
    else if (*status_ptr == E_OH_RECORD_TYPE)
        Log_Fmt(LOG_ALWAYS, "\n%s FAILED!  %s\n\n", "Operation", "Invalid record type in hex file");
    else if (*status_ptr == E_HEX_CHECKSUM)
        Log_Fmt(LOG_ALWAYS, "\n%s FAILED!  %s at line %" PRIu32 "\n\n", "Operation",
                "Invalid checksum in hex file", oh_reader.rec_line);
    else
        Process_Error(*status_ptr, "Operation");
    *status_ptr = E_REPORTED;
}

// Reads records up to the end-of-file record, building segments on the way.
// The escape key is polled every so many records: a poll costs system calls
// while a record takes well under a microsecond.
constexpr int ABORT_POLL_RECORDS = 1024;

static void Read_Hex_Segments(WORD *status_ptr)
{
    BYTE data[OH86_MAX_DATA];
    for (unsigned records = 0;; records++) {
        if (records % ABORT_POLL_RECORDS == 0 && User_Abort()) {
            *status_ptr = E_USER_ABORT;
            return;
        }
        WORD base;
        DWORD offset;
        WORD count = Read_OH_Data(&base, &offset, data, status_ptr);
        if (*status_ptr != E_OK) {
            Report_Failure(status_ptr);
            return;
        }
        if (count == OH_COUNT_EOF) return;
        if (count == 0) {
            Take_Start_Vector(base, offset);
            continue;
        }
        Add_Data_Record(offset, data, count, status_ptr);
        if (*status_ptr != E_OK) return;
    }
}

// Stable selection sort: among equal start addresses the earlier segment of
// the file comes first.
static void Sort_Segment_Map(WORD *status_ptr)
{
    SEGMENT_MAP_STRUCT sorted[MAX_SEG_MAP_ENTRIES];
    memset(sorted, 0, sizeof sorted);
    for (WORD pos = 0; pos < number_seg_map_entries; pos++) {
        int best = -1;
        for (WORD i = 0; i < number_seg_map_entries; i++) {
            const SEGMENT_MAP_STRUCT *seg = &seg_map_tbl[i];
            if (seg->size != 0 && (best < 0 || seg->start_addr < seg_map_tbl[best].start_addr))
                best = i;
        }
        if (best < 0) {
            Log_Str(LOG_ALWAYS, "Error in OH sort algorithm!\n");
            *status_ptr = E_REPORTED;
            return;
        }
        sorted[pos] = seg_map_tbl[best];
        seg_map_tbl[best].size = 0;
        Log_Fmt(LOG_OHSORT,
                "Process hex code/data segment #%u from 0x%08" PRIX32 " to 0x%08" PRIX32
                " (%" PRIu32 " bytes)\n",
                sorted[pos].index, sorted[pos].start_addr, sorted[pos].end_addr, sorted[pos].size);
    }
    memcpy(seg_map_tbl, sorted, sizeof seg_map_tbl);
}

// Segments are programmed in map order, so where two overlap the later one
// of the map lands over the earlier: the file is ambiguous there, and the
// user is told so once for each pair.
static void Warn_Overlapping_Segments()
{
    for (WORD i = 0; i < number_seg_map_entries; i++) {
        const SEGMENT_MAP_STRUCT *under = &seg_map_tbl[i];
        for (WORD j = i + 1; j < number_seg_map_entries; j++) {
            const SEGMENT_MAP_STRUCT *over = &seg_map_tbl[j]; // starts at or after under
            if (over->start_addr > under->end_addr) continue;
            DWORD end = over->end_addr < under->end_addr ? over->end_addr : under->end_addr;
            Log_Fmt(LOG_ALWAYS,
                    "WARNING!  Hex segments #%u and #%u overlap at 0x%08" PRIX32 "-0x%08" PRIX32
                    ": #%u is "
                    "programmed over #%u\n",
                    under->index, over->index, over->start_addr, end, over->index, under->index);
        }
    }
}

void Process_OH_File(WORD *status_ptr)
{
    Log_Fmt(LOG_NORMAL, "Process hex file %s ...\n", filepath_str);
    Delete_Temp_Files();
    Reset_Segment_Builder();

    Open_OH_File(filepath_str, status_ptr);
    if (*status_ptr != E_OK) {
        Report_Failure(status_ptr);
        return;
    }
    Progress_Begin(oh_text_size, 0, "file");
    Read_Hex_Segments(status_ptr);
    if (*status_ptr != E_OK) {
        Abandon_Pass();
        return;
    }
    if (byte_total == 0) {
        Log_Str(LOG_ALWAYS, "\nHex file contains no code/data!\n");
        *status_ptr = E_REPORTED;
        return;
    }
    Close_Segment(true, status_ptr);
    if (*status_ptr != E_OK) return;
    number_seg_map_entries = seg_number + 1;

    Sort_Segment_Map(status_ptr);
    if (*status_ptr != E_OK) return;
    Warn_Overlapping_Segments();
    Log_Fmt(LOG_OHSORT, "Process hex start vector %04X:%08" PRIX32 "\n", oh_vector_base,
            oh_vector_offset);
    oh_date_time = File_Access_Time(filepath_str);
    Log_Str(LOG_NORMAL, "Hex file OK\n");
}
