// Host copies of the target's flash tables: reading and checking them,
// rebuilding them for the detected flash device, and writing the changed
// ones back into their flash block.
#include <cstring>
#include <ctime>

#include "FLDATA.h"
#include "HCMDFMT.h"
#include "flashu.h"

BOOT_ADDRESS_STRUCT boot_tbl;
SYSTEM_TBL system_tbl;
DEVICE_MAP_TBL device_map_tbl;
FLASH_DIR_TBL dir_tbl;
BOOT_ADDRESS_STRUCT last_boot_tbl;
SYSTEM_TBL last_system_tbl;
DEVICE_MAP_TBL last_device_map_tbl;
FLASH_DIR_TBL last_dir_tbl;

WORD boot_tbl_size = sizeof(BOOT_ADDRESS_STRUCT);
DWORD system_tbl_size = sizeof(SYSTEM_TBL);
WORD device_map_tbl_size = sizeof(DEVICE_MAP_TBL);
WORD dir_tbl_size = sizeof(FLASH_DIR_TBL);

DWORD system_tbl_addr;
DWORD device_map_tbl_addr;
DWORD dir_tbl_addr;
const DWORD ram_work_start_addr = 0x20000;
WORD number_device_map_entries;

DWORD (*flash_time_source)() = nullptr;

// True while the host tables are what the board holds, or a rebuild: only
// then may they be written back.
static bool tables_known = false;

bool Flash_Tables_Known()
{
    return tables_known;
}

DWORD Flash_Time_Now()
{
    if (flash_time_source) return flash_time_source();
    return static_cast<DWORD>(time(nullptr));
}

void Reset_Flash_Table_Images()
{
    boot_tbl_size = sizeof(BOOT_ADDRESS_STRUCT);
    system_tbl_size = sizeof(SYSTEM_TBL);
    device_map_tbl_size = sizeof(DEVICE_MAP_TBL);
    dir_tbl_size = sizeof(FLASH_DIR_TBL);
    memset(&boot_tbl, 0, sizeof boot_tbl);
    memset(&system_tbl, 0, sizeof system_tbl);
    memset(device_map_tbl, 0, sizeof device_map_tbl);
    memset(dir_tbl, 0, sizeof dir_tbl);
    memset(&last_boot_tbl, 0, sizeof last_boot_tbl);
    memset(&last_system_tbl, 0, sizeof last_system_tbl);
    memset(last_device_map_tbl, 0, sizeof last_device_map_tbl);
    memset(last_dir_tbl, 0, sizeof last_dir_tbl);
}

// A monitor below 2.50 has room for 20 entries only. The size follows the
// monitor now on the link, so a later board with a newer monitor in the same
// run gets its whole map read and written again.
WORD Device_Map_Size_For_Monitor()
{
    if (target_prog_version < OLD_MON_VERSION_LIMIT)
        return OLD_MON_DEVICE_MAP_ENTRIES * sizeof(DEVICE_MAP_STRUCT);
    return sizeof(DEVICE_MAP_TBL);
}

// The entry count is the index of the first end entry; with none the count
// stays as it was.
static void Count_Device_Map_Entries()
{
    for (WORD i = 0; i < MAX_DEVICE_MAP_ENTRIES; i++) {
        if (device_map_tbl[i].flash_id == FLASH_ID_END) {
            number_device_map_entries = i;
            return;
        }
    }
}

void Init_Device_Map_Table()
{
    memset(device_map_tbl, 0, sizeof device_map_tbl);
    WORD rows = 0;
    const DEVICE_MAP_STRUCT *builtin = Builtin_Device_Map(board_id, &rows);
    if (builtin) memcpy(device_map_tbl, builtin, rows * sizeof(DEVICE_MAP_STRUCT));
    Count_Device_Map_Entries();
    device_map_tbl_size = Device_Map_Size_For_Monitor();
}

bool Flash_Tables_Changed()
{
    return memcmp(&boot_tbl, &last_boot_tbl, boot_tbl_size) != 0 ||
           memcmp(&system_tbl, &last_system_tbl, system_tbl_size) != 0 ||
           memcmp(device_map_tbl, last_device_map_tbl, device_map_tbl_size) != 0 ||
           memcmp(dir_tbl, last_dir_tbl, dir_tbl_size) != 0;
}

// ---- rebuilding ---------------------------------------------------------------

struct FLASH_PART_STRUCT {
    WORD manufacturer;
    BYTE device;
    WORD board;
    const char *detected_str;
};

static const FLASH_PART_STRUCT known_flash_parts[] = {
    {0x0089, 0x70, 1, "4 MBit Boot Block Flash detected (x16)\n"},
    {0x0089, 0x9C, 2, "8 MBit Boot Block Flash detected (x16)\n"},
    {0x8989, 0x9C, 2, "8 MBit Boot Block Flash detected (x8)\n"},
    {0x0101, 0xDA, 3, "8 MBit Boot Block Flash detected (x8)\n"},
    {0x0101, 0xC4, 4, "16 MBit Boot Block Flash detected (x8)\n"},
};

// Board model of the flash part the monitor reported, or 0 when unknown.
static WORD Identify_Flash_Board(WORD manufacturer, WORD device_code)
{
    BYTE device = static_cast<BYTE>(device_code & 0xFF);
    for (const FLASH_PART_STRUCT &part : known_flash_parts) {
        if (part.manufacturer == manufacturer && part.device == device) {
            Log_Str(LOG_ALWAYS, part.detected_str);
            return part.board;
        }
    }
    Log_Str(LOG_ALWAYS, "Invalid Flash Device detected\n");
    if (manufacturer == 0x0089 || manufacturer == 0x8989 || manufacturer == 0x0101)
        Log_Fmt(LOG_ALWAYS, "Device Manufacturers Code = 0x%04X, Device ID = 0x%02X\n",
                manufacturer, device);
    return 0;
}

static void Fill_Table_Descriptor(PROG_MEM_STRUCT *mem, DWORD first, DWORD last, DWORD size,
                                  DWORD logical_len)
{
    memset(mem, 0, sizeof *mem);
    mem->mem_valid = TBL_VALID_MARK;
    mem->first_phys_addr = first;
    mem->last_phys_addr = last;
    mem->phys_size = size;
    mem->logical_len = logical_len;
}

static void Build_Directory()
{
    memset(dir_tbl, 0, sizeof dir_tbl);
    memset(last_dir_tbl, 0xFF, sizeof last_dir_tbl);
    Set_System_Name_Entry(system_name_str);
}

static void Build_System_Table()
{
    memset(&system_tbl, 0, sizeof system_tbl);
    memset(&last_system_tbl, 0xFF, sizeof last_system_tbl);
    system_tbl.tbl_valid = TBL_VALID_MARK;
    Fill_Table_Descriptor(&system_tbl.device_tbl, device_map_tbl_addr, 0, device_map_tbl_size, 0);
    Fill_Table_Descriptor(&system_tbl.directory_tbl, dir_tbl_addr,
                          dir_tbl_addr + sizeof(FLASH_DIR_TBL) - 1, sizeof(FLASH_DIR_TBL),
                          sizeof(FLASH_DIR_TBL));
}

static void Build_Boot_Table(WORD board)
{
    memset(&boot_tbl, 0, sizeof boot_tbl);
    memset(&last_boot_tbl, 0xFF, sizeof last_boot_tbl);
    boot_tbl.boot_init = TBL_VALID_MARK;
    boot_tbl.user_data_address = system_tbl_addr;
    boot_tbl.board_id = board;
    boot_tbl.baud_rate = 9600;
    boot_tbl.tbl_version = TBL_VERSION;
}

void Init_Flash_Tables()
{
    WORD status = E_OK;
    WORD manufacturer = 0, device_code = 0;
    Get_Flash_ID(boot_tbl_addr, &manufacturer, &device_code, &status);
    if (status != E_OK) {
        Report_Once(&status);
        return;
    }
    WORD board = Identify_Flash_Board(manufacturer, device_code);
    if (board == 0) {
        Process_Error(E_BAD_TABLES, "Operation");
        return;
    }
    system_tbl_addr = boot_tbl_addr + SYSTEM_TBL_OFFSET;
    device_map_tbl_addr = boot_tbl_addr + DEVICE_MAP_TBL_OFFSET;
    dir_tbl_addr = boot_tbl_addr + DIR_TBL_OFFSET;

    Build_Directory();
    board_id = board;
    Init_Device_Map_Table();
    memset(last_device_map_tbl, 0xFF, sizeof last_device_map_tbl);
    Build_System_Table();
    Build_Boot_Table(board);
    tables_known = true;
    Log_Str(LOG_TERSE, "Flash tables initialized\n");
}

// ---- reading ------------------------------------------------------------------

// One table in one request; a link failure is reported here.
static bool Read_Table(DWORD addr, DWORD size, void *tbl, void *last_tbl, WORD *status_ptr)
{
    Read_RAM(addr, size, tbl, status_ptr);
    Report_Once(status_ptr);
    if (*status_ptr != E_OK) return false;
    memcpy(last_tbl, tbl, size);
    return true;
}

static bool Table_Check(bool ok, const char *fail_str, WORD *status_ptr)
{
    if (ok) return true;
    Log_Str(LOG_VERBOSE, fail_str);
    *status_ptr = E_BAD_TABLES;
    return false;
}

static bool Read_Boot_And_System_Tables(WORD *status_ptr)
{
    if (!Read_Table(boot_tbl_addr, boot_tbl_size, &boot_tbl, &last_boot_tbl, status_ptr))
        return false;
    if (!Table_Check(boot_tbl.boot_init == TBL_VALID_MARK, "Boot table flag not found\n",
                     status_ptr))
        return false;
    if (!Table_Check(boot_tbl.tbl_version == TBL_VERSION, "Invalid tables version\n", status_ptr))
        return false;
    system_tbl_addr = boot_tbl.user_data_address;
    board_id = boot_tbl.board_id;
    if (!Read_Table(system_tbl_addr, system_tbl_size, &system_tbl, &last_system_tbl, status_ptr))
        return false;
    return Table_Check(system_tbl.tbl_valid == TBL_VALID_MARK, "System table flag not found\n",
                       status_ptr);
}

// A monitor below 2.50 keeps only the first 20 entries, which on board 4 end
// before the table block. When the entries kept are those of the board's
// built-in map, the host's copy gets the rest from it, as after a rebuild, so
// the table block and the blocks above entry 19 stay reachable. Only the
// entries the monitor keeps are ever compared and written back.
static bool Same_Block(const DEVICE_MAP_STRUCT &a, const DEVICE_MAP_STRUCT &b)
{
    return a.flash_id == b.flash_id && a.block_addr == b.block_addr && a.block_size == b.block_size;
}

static void Complete_Cut_Device_Map()
{
    WORD kept = WORD(device_map_tbl_size / sizeof(DEVICE_MAP_STRUCT));
    WORD rows = 0;
    const DEVICE_MAP_STRUCT *builtin = Builtin_Device_Map(board_id, &rows);
    if (kept >= MAX_DEVICE_MAP_ENTRIES || number_device_map_entries != kept || rows <= kept) return;
    for (WORD i = 0; i < kept; i++)
        if (!Same_Block(device_map_tbl[i], builtin[i])) return;
    memcpy(device_map_tbl + kept, builtin + kept, (rows - kept) * sizeof(DEVICE_MAP_STRUCT));
    memcpy(last_device_map_tbl + kept, builtin + kept, (rows - kept) * sizeof(DEVICE_MAP_STRUCT));
    Count_Device_Map_Entries();
}

static bool Read_Device_Map_And_Directory(WORD *status_ptr)
{
    device_map_tbl_addr = system_tbl.device_tbl.first_phys_addr;
    dir_tbl_addr = system_tbl.directory_tbl.first_phys_addr;
    device_map_tbl_size = Device_Map_Size_For_Monitor();
    // A short map leaves no stale entries of an earlier board behind it.
    memset(reinterpret_cast<BYTE *>(device_map_tbl) + device_map_tbl_size, 0,
           sizeof device_map_tbl - device_map_tbl_size);
    memset(reinterpret_cast<BYTE *>(last_device_map_tbl) + device_map_tbl_size, 0,
           sizeof last_device_map_tbl - device_map_tbl_size);
    if (!Read_Table(device_map_tbl_addr, device_map_tbl_size, device_map_tbl, last_device_map_tbl,
                    status_ptr))
        return false;
    if (!Table_Check(system_tbl.device_tbl.mem_valid == TBL_VALID_MARK,
                     "Device table flag not found\n", status_ptr))
        return false;
    Count_Device_Map_Entries();
    Complete_Cut_Device_Map();
    if (!Read_Table(dir_tbl_addr, dir_tbl_size, dir_tbl, last_dir_tbl, status_ptr)) return false;
    return Table_Check(system_tbl.directory_tbl.mem_valid == TBL_VALID_MARK,
                       "Directory table flag not found\n", status_ptr);
}

void Read_Flash_Tables(WORD *status_ptr)
{
    Log_Str(LOG_VERBOSE, "Read flash tables ...\n");
    tables_known = false;
    if (!Read_Boot_And_System_Tables(status_ptr)) return;
    if (!Read_Device_Map_And_Directory(status_ptr)) return;
    tables_known = true;
    Get_Field(system_name_str, dir_tbl[0].program_name_str);
    Log_Str(LOG_NORMAL, "Flash tables OK\n");
}

// ---- writing ------------------------------------------------------------------

struct TABLE_IMAGE_STRUCT {
    DWORD addr;
    DWORD size;
    const void *tbl;
    const void *last_tbl;
    const char *downloaded_str;
};

static void Describe_Tables(TABLE_IMAGE_STRUCT tables[4])
{
    tables[0] = {boot_tbl_addr, boot_tbl_size, &boot_tbl, &last_boot_tbl,
                 "Boot table downloaded\n"};
    tables[1] = {system_tbl_addr, system_tbl_size, &system_tbl, &last_system_tbl,
                 "System table downloaded\n"};
    tables[2] = {device_map_tbl_addr, device_map_tbl_size, device_map_tbl, last_device_map_tbl,
                 "Device table downloaded\n"};
    tables[3] = {dir_tbl_addr, dir_tbl_size, dir_tbl, last_dir_tbl, "Directory table download\n"};
}

static bool Table_Changed(const TABLE_IMAGE_STRUCT &t)
{
    return memcmp(t.tbl, t.last_tbl, t.size) != 0;
}

static bool Table_In_Block(const TABLE_IMAGE_STRUCT &t, const DEVICE_MAP_STRUCT &blk)
{
    uint64_t start = t.addr, end = start + t.size;
    return start >= blk.block_addr && end <= uint64_t(blk.block_addr) + blk.block_size;
}

// The tables are patched into the saved image of their block at their offset
// from the block start; a table elsewhere would land outside that image.
static bool Changed_Tables_In_Block(const TABLE_IMAGE_STRUCT tables[4],
                                    const DEVICE_MAP_STRUCT &blk)
{
    for (int i = 0; i < 4; i++) {
        bool written = i == 2 || Table_Changed(tables[i]);
        if (written && !Table_In_Block(tables[i], blk)) {
            Log_Fmt(LOG_ALWAYS,
                    "Flash table at 0x%08" PRIX32 " (%" PRIu32
                    " bytes) lies outside its flash block at 0x%08" PRIX32
                    " - tables not written\n",
                    tables[i].addr, tables[i].size, blk.block_addr);
            return false;
        }
    }
    return true;
}

static bool Download_Changed_Tables(const TABLE_IMAGE_STRUCT tables[4],
                                    const DEVICE_MAP_STRUCT &blk, WORD *status_ptr)
{
    for (int i = 0; i < 4; i++) {
        if (!Table_Changed(tables[i])) continue;
        Write_RAM(ram_work_start_addr + (tables[i].addr - blk.block_addr), tables[i].size,
                  tables[i].tbl, status_ptr);
        if (*status_ptr != E_OK) return false;
        Log_Str(LOG_VERBOSE, tables[i].downloaded_str);
    }
    return true;
}

void Write_Flash_Tables(WORD *status_ptr)
{
    Log_Str(LOG_VERBOSE, "Process flash tables ...\n");
    if (!Flash_Tables_Changed()) {
        Log_Str(LOG_VERBOSE, "Flash tables not changed\n");
        return;
    }
    if (!tables_known) {
        Log_Str(LOG_ALWAYS, "Flash tables were never read from this target - tables not written\n");
        *status_ptr = E_REPORTED;
        return;
    }
    WORD dev_index = Lookup_Device_Map_Index(system_tbl_addr, 4);
    if (dev_index == NO_DEV_INDEX) {
        // Going on would drop the pending changes without a word: stop the shutdown.
        Log_Fmt(LOG_ALWAYS, "Internal Error - Bad program map lookup (0x%08" PRIX32 ")\n",
                system_tbl_addr);
        *status_ptr = E_REPORTED;
        return;
    }
    TABLE_IMAGE_STRUCT tables[4];
    Describe_Tables(tables);
    if (!Changed_Tables_In_Block(tables, device_map_tbl[dev_index])) {
        *status_ptr = E_REPORTED;
        return;
    }
    // Stamped before the compare so the stamp travels in the same flash cycle.
    Stamp_Flash_Block(dev_index);
    const DEVICE_MAP_STRUCT blk = device_map_tbl[dev_index];

    Save_Flash_Block(dev_index, status_ptr);
    if (*status_ptr == E_OK && Download_Changed_Tables(tables, blk, status_ptr)) {
        Log_Str(LOG_NORMAL, "Update flash tables ...\n");
        Program_Flash_Block(dev_index, status_ptr);
    }
    Report_Once(status_ptr);
    if (*status_ptr != E_OK) return;
    Log_Str(LOG_NORMAL, "Flash tables OK\n");
}
