// Flash block operations. A block is always rewritten whole through the
// target's RAM work area: saved into it, patched there, then erased and
// programmed from it. Block contents never cross the serial link.
#include "FLDATA.h"
#include "HCMDFMT.h"
#include "flashu.h"

// Both ends inclusive, all in 32-bit target arithmetic.
static bool Range_Overlaps_Window(DWORD start, DWORD end, DWORD window, DWORD size)
{
    DWORD window_end = window + size - 1;
    bool start_in = start >= window && start <= window_end;
    bool end_in = end >= window && end <= window_end;
    bool window_inside = window >= start && window_end <= end;
    return start_in || end_in || window_inside;
}

DWORD Lookup_User_Block_Addr(WORD dev_index, DWORD start_find_addr, DWORD find_size)
{
    if (dev_index >= MAX_DEVICE_MAP_ENTRIES) return NO_USER_ADDR;
    const DEVICE_MAP_STRUCT &blk = device_map_tbl[dev_index];
    DWORD end = start_find_addr + find_size - 1;
    // The real-mode window wins: callers take the returned base as the
    // address space their addresses are in.
    if (blk.user_real_addr != NO_USER_ADDR &&
        Range_Overlaps_Window(start_find_addr, end, blk.user_real_addr, blk.block_size))
        return blk.user_real_addr;
    if (blk.user_prot_addr != NO_USER_ADDR &&
        Range_Overlaps_Window(start_find_addr, end, blk.user_prot_addr, blk.block_size))
        return blk.user_prot_addr;
    return NO_USER_ADDR;
}

bool Segment_In_Device_Block(WORD dev_index, DWORD start_find_addr, DWORD find_size)
{
    return Lookup_User_Block_Addr(dev_index, start_find_addr, find_size) != NO_USER_ADDR;
}

bool Block_Phys_Range(WORD dev_index, DWORD first, DWORD last, DWORD *phys_first, DWORD *phys_last)
{
    if (last < first) return false;
    DWORD window = Lookup_User_Block_Addr(dev_index, first, last - first + 1);
    if (window == NO_USER_ADDR) return false;
    const DEVICE_MAP_STRUCT &blk = device_map_tbl[dev_index];
    DWORD window_last = window + blk.block_size - 1;
    *phys_first = blk.block_addr + ((first > window ? first : window) - window);
    *phys_last = blk.block_addr + ((last < window_last ? last : window_last) - window);
    return true;
}

WORD Lookup_Device_Map_Index(DWORD start_find_addr, DWORD find_size)
{
    WORD count = number_device_map_entries;
    if (count > MAX_DEVICE_MAP_ENTRIES) count = MAX_DEVICE_MAP_ENTRIES;
    for (WORD i = 0; i < count; i++)
        if (Segment_In_Device_Block(i, start_find_addr, find_size)) return i;
    return NO_DEV_INDEX;
}

static bool Valid_Block_Index(WORD dev_index, WORD *status_ptr)
{
    if (dev_index < MAX_DEVICE_MAP_ENTRIES) return true;
    Log_Fmt(LOG_ALWAYS, "Internal Error - Bad device map index (%u)\n", dev_index);
    *status_ptr = E_REPORTED;
    return false;
}

void Clear_Flash_Block(WORD dev_index, WORD *status_ptr)
{
    if (!Valid_Block_Index(dev_index, status_ptr)) return;
    const DEVICE_MAP_STRUCT &blk = device_map_tbl[dev_index];
    Set_RAM(ram_work_start_addr, blk.block_size, 0xFF, status_ptr);
    Log_Fmt(LOG_VERBOSE, "Clear flash block at 0x%08" PRIX32 " to 0xFF (%" PRIu32 " bytes)\n",
            blk.block_addr, blk.block_size);
    Report_Once(status_ptr);
}

void Save_Flash_Block(WORD dev_index, WORD *status_ptr)
{
    if (!Valid_Block_Index(dev_index, status_ptr)) return;
    const DEVICE_MAP_STRUCT &blk = device_map_tbl[dev_index];
    Copy_RAM(ram_work_start_addr, blk.block_addr, blk.block_size, status_ptr);
    Log_Fmt(LOG_VERBOSE, "Save flash block at 0x%08" PRIX32 " (%" PRIu32 " bytes)\n",
            blk.block_addr, blk.block_size);
    Report_Once(status_ptr);
}

static bool Supported_Flash_Type(WORD flash_id)
{
    switch (flash_id) {
    case 0x70:
    case 0x9C:
    case 0xA0:
    case 0xDA:
    case 0xC4: return true;
    default: return false;
    }
}

static void Copy_Work_Area_To_Ram_Block(const DEVICE_MAP_STRUCT &blk, WORD *status_ptr)
{
    Copy_RAM(blk.block_addr, ram_work_start_addr, blk.block_size, status_ptr);
    Log_Fmt(LOG_VERBOSE,
            "Prog Block: Copy ram 0x%08" PRIX32 " to 0x%08" PRIX32 " (%" PRIu32 " bytes)\n",
            ram_work_start_addr, blk.block_addr, blk.block_size);
}

static void Erase_And_Program_Block(const DEVICE_MAP_STRUCT &blk, WORD *status_ptr)
{
    Log_Fmt(LOG_VERBOSE, "Erase flash block at 0x%08" PRIX32 " ...\n", blk.block_addr);
    Flash_Erase(blk.flash_id, blk.device_addr, blk.block_addr, blk.block_size, status_ptr);
    if (*status_ptr != E_OK) return;
    Log_Fmt(LOG_VERBOSE, "Program flash block at 0x%08" PRIX32 " (%" PRIu32 " bytes) ...\n",
            blk.block_addr, blk.block_size);
    Program_Flash(static_cast<BYTE>(blk.flash_id), blk.device_addr, blk.block_addr, blk.block_addr,
                  ram_work_start_addr, blk.block_size, status_ptr);
}

// The work area still holds the image the block was programmed from, so one
// compare command checks the whole block without reading it back.
static void Verify_Flash_Block(const DEVICE_MAP_STRUCT &blk, WORD *status_ptr)
{
    WORD compare_status = E_OK;
    Compare_RAM(blk.block_addr, ram_work_start_addr, blk.block_size, &compare_status);
    DWORD addr = blk.block_addr;
    if (compare_status == E_OK) {
        Log_Fmt(LOG_VERBOSE, "Verify flash block at 0x%08" PRIX32 " OK\n", addr);
        return;
    }
    if (compare_status == E_COMPARE) {
        Log_Fmt(LOG_ALWAYS,
                "Verify failed: flash block at 0x%08" PRIX32 " differs from what was written\n",
                addr);
    } else {
        Log_Fmt(LOG_ALWAYS, "Could not verify flash block at 0x%08" PRIX32 "\n", addr);
        Process_Error(compare_status, "Compare RAM");
    }
    *status_ptr = E_REPORTED;
}

void Program_Flash_Block(WORD dev_index, WORD *status_ptr)
{
    if (!Valid_Block_Index(dev_index, status_ptr)) return;
    const DEVICE_MAP_STRUCT &blk = device_map_tbl[dev_index];
    if (blk.flash_id == FLASH_ID_RAM) {
        Copy_Work_Area_To_Ram_Block(blk, status_ptr);
    } else if (Supported_Flash_Type(blk.flash_id)) {
        Erase_And_Program_Block(blk, status_ptr);
    } else {
        // Going on would leave the caller believing the block was written.
        Log_Str(LOG_ALWAYS, "Flash device not supported!\n");
        *status_ptr = E_REPORTED;
        return;
    }
    Report_Once(status_ptr);
    if (*status_ptr == E_OK && verify_flash) Verify_Flash_Block(blk, status_ptr);
    if (*status_ptr != E_OK) return;
    // The table block is stamped by the table writer before its image is built.
    if (dev_index != Lookup_Device_Map_Index(system_tbl_addr, 4)) Stamp_Flash_Block(dev_index);
}

void Stamp_Flash_Block(WORD dev_index)
{
    device_map_tbl[dev_index].reprogram_date_time = Flash_Time_Now();
    device_map_tbl[dev_index].reprogram_count++;
}
