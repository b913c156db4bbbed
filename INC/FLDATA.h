// Flash tables kept by the boot monitor in one flash block of the target:
// boot table, system table, flash device map and program directory. The
// layouts are the bytes stored in flash, so every struct is packed and
// little-endian, and their sizes and offsets are pinned below.
#ifndef FLDATA_H
#define FLDATA_H

#include <cstddef>
#include <cstring>

#include "CTCOMMON.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "flash tables are mapped onto little-endian host memory");

#define TBL_VALID_MARK 0xA1B2C3D4UL
#define TBL_VERSION    1UL

#define MAX_DEVICE_MAP_ENTRIES     36
#define OLD_MON_DEVICE_MAP_ENTRIES 20 // monitors below 2.50 keep only 20
#define OLD_MON_VERSION_LIMIT      0x0250
#define MAX_DIR_ENTRIES            10
#define FIRST_PROG_DIR_ENTRY       2 // 0 is the system name, 1 is reserved

#define NO_USER_ADDR 0xFFFFFFFFUL // window not visible to programs
#define NO_DEV_INDEX 0xFFFF
#define NO_DIR_INDEX 0xFFFF

// dir_flags bits
#define DIR_IN_USE  0x01
#define DIR_BOOT    0x02
#define DIR_DELETED 0x10

// device map flash_id values that are not flash devices
#define FLASH_ID_END 0x00
#define FLASH_ID_RAM 0x01

// Offsets of the tables from the boot table when the utility builds them.
#define SYSTEM_TBL_OFFSET     0x400
#define DEVICE_MAP_TBL_OFFSET 0x800
#define DIR_TBL_OFFSET        0x1000

#pragma pack(push, 1)

struct BOOT_ADDRESS_STRUCT {
    DWORD boot_init;
    WORD boot_flags;
    WORD boot_base;
    DWORD boot_offset;
    DWORD user_data_address;
    WORD board_id;
    DWORD baud_rate;
    DWORD tbl_version;
};

struct PROG_MEM_STRUCT {
    DWORD mem_valid;
    DWORD first_phys_addr;
    DWORD last_phys_addr;
    DWORD phys_size;
    DWORD logical_len;
    DWORD checksum;
    DWORD reprogram_count;
    DWORD reprogram_date_time;
    WORD start_vector_base;
    DWORD start_vector_offset;
};

struct SYSTEM_TBL {
    DWORD tbl_valid;
    PROG_MEM_STRUCT monitor_prog;
    PROG_MEM_STRUCT device_tbl;
    PROG_MEM_STRUCT directory_tbl;
};

struct DEVICE_MAP_STRUCT {
    WORD flash_id;
    DWORD user_real_addr;
    DWORD user_prot_addr;
    DWORD block_addr;
    DWORD block_size;
    WORD relative_block;
    WORD number_blocks;
    DWORD device_addr;
    DWORD reprogram_count;
    DWORD reprogram_date_time;
};

struct FLASH_DIR_ENTRY_STRUCT {
    BYTE dir_flags;
    char program_name_str[9];
    char group_name_str[11];
    char version_str[6];
    DWORD file_date_time;
    PROG_MEM_STRUCT program_mem;
    BYTE pad;
};

#pragma pack(pop)

static_assert(sizeof(BOOT_ADDRESS_STRUCT) == 26, "boot table layout");
static_assert(offsetof(BOOT_ADDRESS_STRUCT, boot_flags) == 4, "boot table layout");
static_assert(offsetof(BOOT_ADDRESS_STRUCT, boot_base) == 6, "boot table layout");
static_assert(offsetof(BOOT_ADDRESS_STRUCT, boot_offset) == 8, "boot table layout");
static_assert(offsetof(BOOT_ADDRESS_STRUCT, user_data_address) == 12, "boot table layout");
static_assert(offsetof(BOOT_ADDRESS_STRUCT, board_id) == 16, "boot table layout");
static_assert(offsetof(BOOT_ADDRESS_STRUCT, baud_rate) == 18, "boot table layout");
static_assert(offsetof(BOOT_ADDRESS_STRUCT, tbl_version) == 22, "boot table layout");

static_assert(sizeof(PROG_MEM_STRUCT) == 38, "memory descriptor layout");
static_assert(offsetof(PROG_MEM_STRUCT, first_phys_addr) == 4, "memory descriptor layout");
static_assert(offsetof(PROG_MEM_STRUCT, last_phys_addr) == 8, "memory descriptor layout");
static_assert(offsetof(PROG_MEM_STRUCT, phys_size) == 12, "memory descriptor layout");
static_assert(offsetof(PROG_MEM_STRUCT, logical_len) == 16, "memory descriptor layout");
static_assert(offsetof(PROG_MEM_STRUCT, checksum) == 20, "memory descriptor layout");
static_assert(offsetof(PROG_MEM_STRUCT, reprogram_count) == 24, "memory descriptor layout");
static_assert(offsetof(PROG_MEM_STRUCT, reprogram_date_time) == 28, "memory descriptor layout");
static_assert(offsetof(PROG_MEM_STRUCT, start_vector_base) == 32, "memory descriptor layout");
static_assert(offsetof(PROG_MEM_STRUCT, start_vector_offset) == 34, "memory descriptor layout");

static_assert(sizeof(SYSTEM_TBL) == 118, "system table layout");
static_assert(offsetof(SYSTEM_TBL, monitor_prog) == 4, "system table layout");
static_assert(offsetof(SYSTEM_TBL, device_tbl) == 42, "system table layout");
static_assert(offsetof(SYSTEM_TBL, directory_tbl) == 80, "system table layout");

static_assert(sizeof(DEVICE_MAP_STRUCT) == 34, "device map entry layout");
static_assert(offsetof(DEVICE_MAP_STRUCT, user_real_addr) == 2, "device map entry layout");
static_assert(offsetof(DEVICE_MAP_STRUCT, user_prot_addr) == 6, "device map entry layout");
static_assert(offsetof(DEVICE_MAP_STRUCT, block_addr) == 10, "device map entry layout");
static_assert(offsetof(DEVICE_MAP_STRUCT, block_size) == 14, "device map entry layout");
static_assert(offsetof(DEVICE_MAP_STRUCT, relative_block) == 18, "device map entry layout");
static_assert(offsetof(DEVICE_MAP_STRUCT, number_blocks) == 20, "device map entry layout");
static_assert(offsetof(DEVICE_MAP_STRUCT, device_addr) == 22, "device map entry layout");
static_assert(offsetof(DEVICE_MAP_STRUCT, reprogram_count) == 26, "device map entry layout");
static_assert(offsetof(DEVICE_MAP_STRUCT, reprogram_date_time) == 30, "device map entry layout");

static_assert(sizeof(FLASH_DIR_ENTRY_STRUCT) == 70, "directory entry layout");
static_assert(offsetof(FLASH_DIR_ENTRY_STRUCT, program_name_str) == 1, "directory entry layout");
static_assert(offsetof(FLASH_DIR_ENTRY_STRUCT, group_name_str) == 10, "directory entry layout");
static_assert(offsetof(FLASH_DIR_ENTRY_STRUCT, version_str) == 21, "directory entry layout");
static_assert(offsetof(FLASH_DIR_ENTRY_STRUCT, file_date_time) == 27, "directory entry layout");
static_assert(offsetof(FLASH_DIR_ENTRY_STRUCT, program_mem) == 31, "directory entry layout");
static_assert(offsetof(FLASH_DIR_ENTRY_STRUCT, pad) == 69, "directory entry layout");

// A text field read from the target may use every byte: take a terminated copy.
template <size_t N, size_t M> inline void Get_Field(char (&out)[M], const char (&field)[N])
{
    static_assert(M > N, "room for the terminator");
    memcpy(out, field, N);
    out[N] = '\0';
}

typedef DEVICE_MAP_STRUCT DEVICE_MAP_TBL[MAX_DEVICE_MAP_ENTRIES];
typedef FLASH_DIR_ENTRY_STRUCT FLASH_DIR_TBL[MAX_DIR_ENTRIES];

static_assert(sizeof(DEVICE_MAP_TBL) == 1224, "device map table size");
static_assert(OLD_MON_DEVICE_MAP_ENTRIES * sizeof(DEVICE_MAP_STRUCT) == 680,
              "old monitor device map table size");
static_assert(sizeof(FLASH_DIR_TBL) == 700, "directory size");

// ---- host copies of the tables (flashu_tables.cpp) -------------------------
extern BOOT_ADDRESS_STRUCT boot_tbl;
extern SYSTEM_TBL system_tbl;
extern DEVICE_MAP_TBL device_map_tbl;
extern FLASH_DIR_TBL dir_tbl;
// As last read from the target; all 0xFF after a rebuild so all count as changed.
extern BOOT_ADDRESS_STRUCT last_boot_tbl;
extern SYSTEM_TBL last_system_tbl;
extern DEVICE_MAP_TBL last_device_map_tbl;
extern FLASH_DIR_TBL last_dir_tbl;

extern WORD boot_tbl_size;
extern DWORD system_tbl_size;
extern WORD device_map_tbl_size;
extern WORD dir_tbl_size;

extern DWORD system_tbl_addr;
extern DWORD device_map_tbl_addr;
extern DWORD dir_tbl_addr;
extern const DWORD ram_work_start_addr;
extern WORD number_device_map_entries;

// Back to program-start state: sizes at their full values, all eight images zero.
void Reset_Flash_Table_Images();

// Seconds since 1970 for the reprogram stamps; tests may replace the source.
extern DWORD (*flash_time_source)();
DWORD Flash_Time_Now();

// Where the monitor keeps the device map for the current monitor version.
WORD Device_Map_Size_For_Monitor();

// ---- monitor identity from the init exchange (flashu_link.cpp) --------------
extern WORD target_prog_id;
extern WORD target_prog_version;
extern DWORD boot_tbl_addr;

// ---- built-in device maps of the four boards (flashu_devmap.cpp) ------------
// The built-in map of a board (1..4) and its row count including the end
// entry; null and 0 for any other board.
const DEVICE_MAP_STRUCT *Builtin_Device_Map(WORD board, WORD *row_count_ptr);

#endif
