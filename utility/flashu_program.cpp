// The programming pipeline: segment bytes are downloaded into the target's
// RAM work area over the saved image of each block they touch, then the
// block is reprogrammed from the work area; and the erasure of all blocks.
#include <cstring>

#include "FLDATA.h"
#include "HCMDFMT.h"
#include "MYTIME.h"
#include "flashu.h"
#include "flashu_seg.h"

constexpr int WRITE_RAM_RETRY_DELAY_MS = 750;

// ---- writing one piece into the work area ------------------------------------
static void Write_Work_Area(DWORD wa_addr, DWORD size, const BYTE *data_ptr, WORD *status_ptr)
{
    *status_ptr = E_OK;
    Write_RAM(wa_addr, size, data_ptr, status_ptr);
    if (*status_ptr == E_OK) return;
    delay(WRITE_RAM_RETRY_DELAY_MS);
    *status_ptr = E_OK;
    Write_RAM(wa_addr, size, data_ptr, status_ptr);
}

static void Account_Download(DWORD start, DWORD size, const BYTE *data_ptr, DWORD *total_ptr)
{
    DWORD end = start + size - 1;
    *total_ptr += size;
    oh_logical_len += size;
    for (DWORD i = 0; i < size; i++) oh_checksum += data_ptr[i];
    if (start < oh_first_addr) oh_first_addr = start;
    if (end > oh_last_addr) oh_last_addr = end;
    Progress_Show(*total_ptr,
                  "Download ...  Addr: %08" PRIX32 " - %08" PRIX32 "   Size: %-6" PRIu32
                  "   Total: %-6" PRIu32 "  ",
                  start, end, size, *total_ptr);
}

void Download_RAM_Work_Area(DWORD start_seg_addr, DWORD seg_size, DWORD start_dev_addr,
                            DWORD dev_size, const BYTE *seg_data_ptr,
                            DWORD *total_download_count_ptr, WORD *status_ptr)
{
    *status_ptr = E_OK;
    if (seg_size == 0 || dev_size == 0) return;
    // Bytes that would lie beyond the top of the address space belong to no block.
    if (seg_size - 1 > 0xFFFFFFFF - start_seg_addr) seg_size = 0xFFFFFFFF - start_seg_addr + 1;
    if (dev_size - 1 > 0xFFFFFFFF - start_dev_addr) dev_size = 0xFFFFFFFF - start_dev_addr + 1;
    DWORD end_seg_addr = start_seg_addr + seg_size - 1;
    DWORD end_dev_addr = start_dev_addr + dev_size - 1;
    if (start_dev_addr > end_seg_addr || start_seg_addr > end_dev_addr) return;

    Log_Fmt(LOG_DOWNLOAD,
            "\nDownload segment from 0x%08" PRIX32 " to 0x%08" PRIX32 " (%" PRIu32 " bytes)\n"
            "   using device  from 0x%08" PRIX32 " to 0x%08" PRIX32 " (%" PRIu32 " bytes)\n",
            start_seg_addr, end_seg_addr, seg_size, start_dev_addr, end_dev_addr, dev_size);
    if (start_dev_addr > start_seg_addr) {
        DWORD skip = start_dev_addr - start_seg_addr;
        start_seg_addr += skip;
        seg_size -= skip;
        seg_data_ptr += skip;
        Log_Fmt(LOG_DOWNLOAD,
                "Adjusted start addr   0x%08" PRIX32 " to 0x%08" PRIX32 " (%" PRIu32 " bytes)\n",
                start_seg_addr, end_seg_addr, seg_size);
    }
    if (end_seg_addr > end_dev_addr) {
        seg_size -= end_seg_addr - end_dev_addr;
        end_seg_addr = end_dev_addr;
        Log_Fmt(LOG_DOWNLOAD,
                "Adjusted end addr     0x%08" PRIX32 " to 0x%08" PRIX32 " (%" PRIu32 " bytes)\n",
                start_seg_addr, end_seg_addr, seg_size);
    }

    DWORD wa_addr = ram_work_start_addr + (start_seg_addr - start_dev_addr);
    Log_Fmt(LOG_DOWNLOAD,
            "\nWrite WA from 0x%08" PRIX32 " to 0x%08" PRIX32 " ...   Size: %-6" PRIu32 "\n",
            wa_addr, wa_addr + seg_size - 1, seg_size);
    Write_Work_Area(wa_addr, seg_size, seg_data_ptr, status_ptr);
    if (*status_ptr != E_OK) {
        Report_Once(status_ptr);
        return;
    }
    Account_Download(start_seg_addr, seg_size, seg_data_ptr, total_download_count_ptr);
}

// ---- one segment into one block --------------------------------------------------
static void Download_Pieces(FILE *f, const SEGMENT_MAP_STRUCT *seg, DWORD start_dev_addr,
                            DWORD dev_size, DWORD *total_ptr, WORD *status_ptr)
{
    BYTE piece[DOWNLOAD_PIECE_SIZE];
    DWORD addr = seg->start_addr;
    DWORD remaining = seg->size;
    while (remaining > 0) {
        if (User_Abort()) {
            *status_ptr = E_USER_ABORT;
            return;
        }
        DWORD count = remaining < DOWNLOAD_PIECE_SIZE ? remaining : DOWNLOAD_PIECE_SIZE;
        if (fread(piece, 1, count, f) != count) {
            *status_ptr = E_SEG_EOF;
            return;
        }
        Download_RAM_Work_Area(addr, count, start_dev_addr, dev_size, piece, total_ptr, status_ptr);
        if (*status_ptr != E_OK) {
            Report_Once(status_ptr);
            return;
        }
        if (count - 1 >= 0xFFFFFFFF - addr) return; // the rest lies beyond 4 GB
        addr += count;
        remaining -= count;
    }
}

void Download_Segment(WORD seg_index, WORD dev_index, DWORD *total_download_count_ptr,
                      WORD *status_ptr)
{
    *status_ptr = E_OK;
    const SEGMENT_MAP_STRUCT *seg = &seg_map_tbl[seg_index];
    DWORD start_dev_addr = Lookup_User_Block_Addr(dev_index, seg->start_addr, seg->size);
    DWORD dev_size = device_map_tbl[dev_index].block_size;

    FILE *f = Open_Segment_Data(seg);
    if (!f) {
        *status_ptr = E_SEG_EOF;
        return;
    }
    Log_Fmt(LOG_VERBOSE,
            "\nDownload segment #%u from 0x%08" PRIX32 " to 0x%08" PRIX32 " (%" PRIu32 " bytes)\n",
            seg->index, seg->start_addr, seg->end_addr, seg->size);
    Download_Pieces(f, seg, start_dev_addr, dev_size, total_download_count_ptr, status_ptr);
    fclose(f);
}

// ---- every block the segments touch ------------------------------------------------
// A segment file that is missing or shorter than its segment would leave a
// block half assembled: find that out before anything is sent to the target.
static void Check_Segment_Files(WORD *status_ptr)
{
    for (WORD i = 0; i < number_seg_map_entries; i++) {
        const SEGMENT_MAP_STRUCT *seg = &seg_map_tbl[i];
        struct stat st;
        if (!Segment_Data_Stat(seg, &st) || (unsigned long long)st.st_size < seg->size) {
            *status_ptr = E_SEG_EOF;
            return;
        }
    }
}

static bool Block_Has_Segment(WORD dev_index)
{
    for (WORD i = 0; i < number_seg_map_entries; i++)
        if (Segment_In_Device_Block(dev_index, seg_map_tbl[i].start_addr, seg_map_tbl[i].size))
            return true;
    return false;
}

// Bytes beyond the top of the address space are dropped by the download.
static DWORD Segment_Last_Addr(const SEGMENT_MAP_STRUCT &seg)
{
    return seg.size - 1 > 0xFFFFFFFF - seg.start_addr ? 0xFFFFFFFF : seg.start_addr + seg.size - 1;
}

// The progress lines' whole: the segment bytes that fall into blocks, as the
// download clips them, and the number of blocks it will program.
static void Begin_Download_Progress()
{
    DWORD whole = 0, blocks = 0;
    for (WORD dev_index = 0; dev_index < number_device_map_entries; dev_index++) {
        if (!Block_Has_Segment(dev_index)) continue;
        blocks++;
        for (WORD i = 0; i < number_seg_map_entries; i++) {
            DWORD first, last;
            const SEGMENT_MAP_STRUCT &seg = seg_map_tbl[i];
            if (seg.size != 0 &&
                Block_Phys_Range(dev_index, seg.start_addr, Segment_Last_Addr(seg), &first, &last))
                whole += last - first + 1;
        }
    }
    Progress_Begin(whole, blocks, nullptr);
}

static void Program_One_Block(WORD dev_index, DWORD *total_ptr, WORD *status_ptr)
{
    Save_Flash_Block(dev_index, status_ptr);
    if (*status_ptr != E_OK) return;
    for (WORD i = 0; i < number_seg_map_entries; i++) {
        if (!Segment_In_Device_Block(dev_index, seg_map_tbl[i].start_addr, seg_map_tbl[i].size))
            continue;
        Download_Segment(i, dev_index, total_ptr, status_ptr);
        if (*status_ptr != E_OK) return;
    }
    Progress_Step_Done(true);
    if (User_Abort()) {
        *status_ptr = E_USER_ABORT;
        return;
    }
    const DEVICE_MAP_STRUCT *dev = &device_map_tbl[dev_index];
    Log_Fmt(LOG_NORMAL, "Program %s flash block #%u ...\n",
            Id_To_Str_Ptr(dev->flash_id, flash_id_lut), dev->relative_block);
    Program_Flash_Block(dev_index, status_ptr);
}

void Program_Segment_Blocks(WORD *status_ptr)
{
    Log_Str(LOG_NORMAL, "Process flash blocks ...\n");
    *status_ptr = E_OK;
    oh_first_addr = 0xFFFFFFFF;
    oh_last_addr = 0;
    oh_checksum = 0;
    oh_logical_len = 0;
    DWORD total = 0;

    Check_Segment_Files(status_ptr);
    Begin_Download_Progress();
    for (WORD dev_index = 0; *status_ptr == E_OK && dev_index < number_device_map_entries;
         dev_index++)
        if (Block_Has_Segment(dev_index)) Program_One_Block(dev_index, &total, status_ptr);
    if (*status_ptr != E_OK) {
        Report_Once(status_ptr);
        return;
    }
    if (total == 0) {
        Log_Str(LOG_ALWAYS, "\nNo code/data located in flash memory!\n");
        *status_ptr = E_REPORTED;
        return;
    }
    Log_Str(LOG_NORMAL, "Flash blocks OK\n");
}

// ---- what a new program must not overwrite ------------------------------------------
// Two address ranges, each in its own program's address space, collide when
// the bytes the download would place for them share a flash byte.
static bool Ranges_Collide(DWORD a_first, DWORD a_last, DWORD b_first, DWORD b_last)
{
    WORD count = number_device_map_entries < MAX_DEVICE_MAP_ENTRIES ? number_device_map_entries
                                                                    : WORD(MAX_DEVICE_MAP_ENTRIES);
    for (WORD i = 0; i < count; i++) {
        DWORD a0, a1, b0, b1;
        if (Block_Phys_Range(i, a_first, a_last, &a0, &a1) &&
            Block_Phys_Range(i, b_first, b_last, &b0, &b1) && a0 <= b1 && b0 <= a1)
            return true;
    }
    return false;
}

static bool Segments_Collide(DWORD first, DWORD last)
{
    for (WORD i = 0; i < number_seg_map_entries; i++) {
        const SEGMENT_MAP_STRUCT &seg = seg_map_tbl[i];
        if (seg.size != 0 && Ranges_Collide(seg.start_addr, Segment_Last_Addr(seg), first, last))
            return true;
    }
    return false;
}

// Only the tables' own bytes count: the rest of their block is saved and
// written back around them.
static bool Overwrites_Tables()
{
    const struct {
        DWORD addr, size;
    } tables[] = {{boot_tbl_addr, boot_tbl_size},
                  {system_tbl_addr, system_tbl_size},
                  {device_map_tbl_addr, device_map_tbl_size},
                  {dir_tbl_addr, dir_tbl_size}};
    for (const auto &t : tables) {
        if (!Segments_Collide(t.addr, t.addr + t.size - 1)) continue;
        Log_Fmt(LOG_ALWAYS,
                "Program would overwrite the flash tables at 0x%08" PRIX32 "-0x%08" PRIX32 "!\n",
                t.addr, t.addr + t.size - 1);
        return true;
    }
    return false;
}

static bool Overwrites_Stored_Program()
{
    for (WORD i = FIRST_PROG_DIR_ENTRY; i < MAX_DIR_ENTRIES; i++) {
        if (!(dir_tbl[i].dir_flags & DIR_IN_USE)) continue;
        DWORD first = dir_tbl[i].program_mem.first_phys_addr,
              last = dir_tbl[i].program_mem.last_phys_addr;
        if (!Segments_Collide(first, last)) continue;
        char name[sizeof dir_tbl[i].program_name_str + 1];
        Get_Field(name, dir_tbl[i].program_name_str);
        Log_Fmt(LOG_ALWAYS,
                "Program would overwrite %s at 0x%08" PRIX32 "-0x%08" PRIX32 "! Delete it first.\n",
                name, first, last);
        return true;
    }
    return false;
}

static bool Would_Overwrite()
{
    return Overwrites_Tables() || Overwrites_Stored_Program();
}

// ---- the program and eraseall commands ------------------------------------------------
// Format and load address persist from earlier commands: say which file and
// where, so a setting left over is seen before it lands in flash.
static void Announce_Program_File()
{
    if (file_format == 1)
        Log_Fmt(LOG_TERSE, "Programming %s (binary) at 0x%08" PRIX32 "\n", filepath_str,
                program_addr);
    else
        Log_Fmt(LOG_TERSE, "Programming %s (hex)\n", filepath_str);
}

// The four refusals print their reason; each is a failure of the command, so
// a script's exit status tells that nothing was programmed.
static bool Program_Refused()
{
    if (filepath_str[0] == '\0') {
        Log_Str(LOG_ALWAYS, "File not specified!\n");
        return true;
    }
    Log_Str(LOG_TERSE, "Start flash programming ...\n");
    if (!File_Found(filepath_str)) {
        Log_Fmt(LOG_ALWAYS, "File %s not found!\n", filepath_str);
        return true;
    }
    if (Find_Alloc_Dir_Entry(prog_name_str) != NO_DIR_INDEX) {
        Log_Str(LOG_ALWAYS, "Program name already in flash directory!\n");
        return true;
    }
    return false;
}

void Program_Flash_Memory(WORD *status_ptr)
{
    *status_ptr = E_REPORTED;
    if (Program_Refused()) return;
    WORD dir_index = Find_Free_Dir_Entry();
    if (dir_index == NO_DIR_INDEX) {
        Log_Str(LOG_ALWAYS, "Directory full!\n");
        return;
    }
    *status_ptr = E_OK;
    Announce_Program_File();
    Process_Program_File(status_ptr);
    if (*status_ptr == E_OK && Would_Overwrite()) {
        Delete_Temp_Files();
        *status_ptr = E_REPORTED;
        return;
    }
    if (*status_ptr == E_OK) Program_Segment_Blocks(status_ptr);
    if (*status_ptr != E_OK) {
        Report_Once(status_ptr);
        return;
    }
    Add_Directory_Entry(dir_index);
    Delete_Temp_Files();
    Log_Str(LOG_TERSE, "Flash programming complete\n");
}

void Erase_All_Flash_Memory(WORD *status_ptr)
{
    Log_Str(LOG_TERSE, "Start erase all flash memory blocks ...\n");
    *status_ptr = E_OK;
    for (WORD i = 0; i < number_device_map_entries; i++) {
        const DEVICE_MAP_STRUCT *dev = &device_map_tbl[i];
        Log_Fmt(LOG_NORMAL, "Erase flash block at 0x%08" PRIX32 " ...\n", dev->block_addr);
        Flash_Erase(dev->flash_id, dev->device_addr, dev->block_addr, dev->block_size, status_ptr);
        if (*status_ptr != E_OK) {
            Report_Once(status_ptr);
            return;
        }
    }
    Log_Str(LOG_TERSE, "Flash erasure complete\n");
    Init_Flash_Tables();
}
