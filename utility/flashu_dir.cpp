// Program directory and boot program, on the host copies of the tables. The
// changes reach flash when the link is shut down.
#include <cstring>
#include <strings.h>

#include "FLDATA.h"
#include "flashu.h"
#include "flashu_seg.h"

// Copies as many characters of src as fit before the field's end, zero-filling
// the rest; a full field has no terminator of its own.
template <size_t N> static void Put_Field(char (&field)[N], const char *src)
{
    memset(field, 0, N);
    size_t len = strnlen(src, N);
    memcpy(field, src, len);
}

static bool Valid_Program_Entry(WORD dir_index)
{
    return dir_index >= FIRST_PROG_DIR_ENTRY && dir_index < MAX_DIR_ENTRIES;
}

WORD Find_Alloc_Dir_Entry(const char *prog_name_str_ptr)
{
    for (WORD i = FIRST_PROG_DIR_ENTRY; i < MAX_DIR_ENTRIES; i++) {
        if (!(dir_tbl[i].dir_flags & DIR_IN_USE)) continue;
        char name[sizeof dir_tbl[i].program_name_str + 1];
        Get_Field(name, dir_tbl[i].program_name_str);
        if (strcasecmp(name, prog_name_str_ptr) == 0) return i;
    }
    return NO_DIR_INDEX;
}

WORD Find_Free_Dir_Entry()
{
    for (WORD i = FIRST_PROG_DIR_ENTRY; i < MAX_DIR_ENTRIES; i++)
        if (!(dir_tbl[i].dir_flags & DIR_IN_USE)) return i;
    return NO_DIR_INDEX;
}

void Add_Directory_Entry(WORD dir_index)
{
    if (!Valid_Program_Entry(dir_index)) return;
    FLASH_DIR_ENTRY_STRUCT entry;
    memset(&entry, 0, sizeof entry);
    entry.dir_flags = DIR_IN_USE;
    // The option limits keep each text one short of its field, so it stays terminated.
    Put_Field(entry.program_name_str, prog_name_str);
    Put_Field(entry.group_name_str, group_name_str);
    Put_Field(entry.version_str, version_str);
    entry.file_date_time = oh_date_time;

    PROG_MEM_STRUCT &mem = entry.program_mem;
    mem.first_phys_addr = oh_first_addr;
    mem.last_phys_addr = oh_last_addr;
    mem.phys_size = oh_last_addr - oh_first_addr + 1;
    mem.logical_len = oh_logical_len;
    mem.checksum = oh_checksum;
    mem.reprogram_count = 1;
    mem.reprogram_date_time = Flash_Time_Now();
    mem.start_vector_base = oh_vector_base;
    mem.start_vector_offset = oh_vector_offset;
    dir_tbl[dir_index] = entry;
}

// The named program's entry, or NO_DIR_INDEX after the refusal has been printed.
static WORD Named_Program_Entry(WORD *status_ptr)
{
    if (prog_name_str[0] == '\0') {
        Log_Str(LOG_ALWAYS, "Program name not set!\n");
        *status_ptr = E_REPORTED;
        return NO_DIR_INDEX;
    }
    WORD dir_index = Find_Alloc_Dir_Entry(prog_name_str);
    if (dir_index == NO_DIR_INDEX) {
        Log_Fmt(LOG_ALWAYS, "Program %s not found in directory!\n", prog_name_str);
        *status_ptr = E_REPORTED;
    }
    return dir_index;
}

static void Clear_Boot_Vector()
{
    boot_tbl.boot_flags = 0;
    boot_tbl.boot_base = 0;
    boot_tbl.boot_offset = 0;
}

void Delete_Dir_Entry(WORD *status_ptr)
{
    WORD dir_index = Named_Program_Entry(status_ptr);
    if (dir_index == NO_DIR_INDEX) return;
    FLASH_DIR_ENTRY_STRUCT &entry = dir_tbl[dir_index];
    if (entry.dir_flags & DIR_BOOT) Clear_Boot_Vector();
    entry.dir_flags = static_cast<BYTE>((entry.dir_flags & ~(DIR_BOOT | DIR_IN_USE)) | DIR_DELETED);
    Log_Fmt(LOG_TERSE, "Program %s deleted\n", prog_name_str);
}

static void Move_Boot_Mark(WORD dir_index)
{
    for (WORD i = FIRST_PROG_DIR_ENTRY; i < MAX_DIR_ENTRIES; i++)
        dir_tbl[i].dir_flags &= static_cast<BYTE>(~DIR_BOOT);
    if (Valid_Program_Entry(dir_index)) dir_tbl[dir_index].dir_flags |= DIR_BOOT;
}

// The monitor jumps in real mode, so an offset beyond 0xFFF0 is folded into
// the segment, keeping the largest offset that reaches the same address.
static void Set_Real_Mode_Boot_Vector(WORD base, DWORD offset)
{
    if (offset <= 0xFFF0) {
        boot_tbl.boot_base = base;
        boot_tbl.boot_offset = offset;
        return;
    }
    boot_tbl.boot_offset = 0xFFF0 + (offset & 0xF);
    boot_tbl.boot_base = static_cast<WORD>(base + ((offset - boot_tbl.boot_offset) >> 4));
    Log_Fmt(LOG_ALWAYS,
            "WARNING!  Boot program start vector adjusted from linear address %04X:%08" PRIX32 "\n"
            "          to real-mode address %04X:%04" PRIX32 "\n",
            base, offset, boot_tbl.boot_base, boot_tbl.boot_offset);
}

void Set_Flash_Boot(WORD *status_ptr)
{
    WORD dir_index = Named_Program_Entry(status_ptr);
    if (dir_index == NO_DIR_INDEX) return;
    Move_Boot_Mark(dir_index);
    const PROG_MEM_STRUCT &mem = dir_tbl[dir_index].program_mem;
    WORD base = mem.start_vector_base;
    DWORD offset = mem.start_vector_offset;
    if (base == 0 && offset == 0) {
        Log_Fmt(LOG_ALWAYS, "No start vector available for program %s\n", prog_name_str);
        *status_ptr = E_REPORTED;
        return;
    }
    boot_tbl.boot_flags = 1;
    Set_Real_Mode_Boot_Vector(base, offset);
    Log_Fmt(LOG_TERSE, "Boot program set to %s (start vector = %04X:%04" PRIX32 ")\n",
            prog_name_str, boot_tbl.boot_base, boot_tbl.boot_offset);
}

void Clear_Flash_Boot()
{
    Move_Boot_Mark(NO_DIR_INDEX);
    Clear_Boot_Vector();
    Log_Str(LOG_TERSE, "Boot program set to NONE\n");
}

// Entry 0 stands for the target system. A 9-character name fills the name
// field and its terminator falls on the first byte of the group field.
void Set_System_Name_Entry(const char *name)
{
    FLASH_DIR_ENTRY_STRUCT &entry = dir_tbl[0];
    Put_Field(entry.program_name_str, name);
    entry.group_name_str[0] = '\0';
}

void Set_Program_Vector_Entry(WORD *status_ptr)
{
    WORD dir_index = Named_Program_Entry(status_ptr);
    if (dir_index == NO_DIR_INDEX) return;
    PROG_MEM_STRUCT &mem = dir_tbl[dir_index].program_mem;
    mem.start_vector_base = oh_vector_base;
    mem.start_vector_offset = oh_vector_offset;
    Log_Fmt(LOG_TERSE, "Program %s start vector set to %04X:%04" PRIX32 "\n", prog_name_str,
            oh_vector_base, oh_vector_offset);
}
