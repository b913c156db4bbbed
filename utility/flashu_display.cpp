// Fixed reports of the flash tables, the device map, the directory and the
// link counters. They print regardless of the log level.
#include <cstdio>
#include <cstring>

#include "FLDATA.h"
#include "MSG.h"
#include "flashu.h"

static const char RULE_CHAR[] = "\xE2\x94\x80"; // U+2500, box drawings light horizontal

// Prints runs of the rule character, each run preceded by its gap of blanks.
void Print_Rule_Line(const int *runs, const int *gaps, int count)
{
    for (int i = 0; i < count; i++) {
        printf("%*s", gaps[i], "");
        for (int j = 0; j < runs[i]; j++) fputs(RULE_CHAR, stdout);
    }
    fputs("\n", stdout);
}

void Print_Label(const char *label)
{
    printf("%-*s = ", tbl_tab, label);
}

void Print_Text_Row(const char *label, const char *text)
{
    Print_Label(label);
    printf("%s\n", text);
}

static void Print_Hex_Row(const char *label, DWORD value)
{
    Print_Label(label);
    printf("0x%08" PRIX32 "\n", value);
}

static void Print_Size_Row(const char *label, DWORD value)
{
    Print_Label(label);
    printf("0x%08" PRIX32 " (%" PRIu32 ")\n", value, value);
}

static void Display_Boot_Table()
{
    Print_Hex_Row("Boot Valid", boot_tbl.boot_init);
    Print_Hex_Row("Boot Addr", boot_tbl_addr);
    Print_Label("Boot Size");
    printf("0x%08X (%u)\n", boot_tbl_size, boot_tbl_size);
    Print_Label("Boot Flags");
    printf("0x%02hX\n", boot_tbl.boot_flags);
    Print_Label("Boot Vector");
    printf("0x%04X:0x%08" PRIX32 "\n", boot_tbl.boot_base, boot_tbl.boot_offset);
    Print_Label("Boot Board Id");
    printf("%u\n", boot_tbl.board_id);
    Print_Label("Boot Baud");
    printf("%" PRIu32 "\n", boot_tbl.baud_rate);
    Print_Label("Boot Tbl Ver");
    printf("%" PRIu32 "\n", boot_tbl.tbl_version);
}

void Display_System_Table()
{
    printf("System Tables:\n\n");
    Display_Boot_Table();
    printf("\n");
    Print_Hex_Row("System Valid", system_tbl.tbl_valid);
    Print_Hex_Row("System Addr", boot_tbl.user_data_address);
    Print_Size_Row("System Size", system_tbl_size);
    printf("\n");
    Print_Hex_Row("Device Valid", system_tbl.device_tbl.mem_valid);
    Print_Hex_Row("Device Addr", system_tbl.device_tbl.first_phys_addr);
    Print_Size_Row("Device Size", system_tbl.device_tbl.phys_size);
    printf("\n");
    Print_Hex_Row("Directory Valid", system_tbl.directory_tbl.mem_valid);
    Print_Hex_Row("Directory Addr", system_tbl.directory_tbl.first_phys_addr);
    Print_Size_Row("Directory Size", system_tbl.directory_tbl.phys_size);
    fflush(stdout);
}

void Display_Status()
{
    struct Counter_Row {
        const char *label;
        DWORD value;
    };
    const Counter_Row rows[] = {
        {"Send Msg", comms_status.send_msg_count},
        {"Send Retry", comms_status.send_retry_count},
        {"Send Rx Flush", comms_status.send_flush_count},
        {"Send Rx Ack", comms_status.send_rx_ack_count},
        {"Send Rx Nak", comms_status.send_rx_nak_count},
        {"Send Rx Spur", comms_status.send_rx_spurious_count},
        {"Send No TO", comms_status.send_no_timeout_count},
        {"Send Rx TO", comms_status.send_rx_timeout_count},
        {"Send Total TO", comms_status.send_total_timeout_count},
        {"Send Bad Stat", comms_status.send_rx_bad_status},
    };
    printf("Comms Status:\n\n");
    for (const Counter_Row &row : rows) {
        Print_Label(row.label);
        printf("%8" PRIu32 "\n", row.value);
    }
    fflush(stdout);
}

static void Print_Report_Title(const char *what)
{
    printf("Flash %s of %s board (%s system):\n\n", what, Id_To_Str_Ptr(board_id, board_id_lut),
           system_name_str);
}

// An address a program cannot see is shown as a dash in the column.
static void Format_User_Addr(char (&out)[12], DWORD addr)
{
    if (addr == NO_USER_ADDR)
        snprintf(out, sizeof out, "       -");
    else
        snprintf(out, sizeof out, "%08" PRIX32, addr);
}

static void Print_Device_Map_Row(const DEVICE_MAP_STRUCT &blk)
{
    char real_str[12], prot_str[12];
    Format_User_Addr(real_str, blk.user_real_addr);
    Format_User_Addr(prot_str, blk.user_prot_addr);
    printf("%-12s  %s   %s   %6" PRIu32 "K  %3u  %3u  %-14s  %7" PRIu32 "\n",
           Id_To_Str_Ptr(blk.flash_id, flash_id_lut), real_str, prot_str, blk.block_size / 1024,
           blk.relative_block, blk.number_blocks, Date_Time_Str_Ptr(blk.reprogram_date_time),
           blk.reprogram_count);
}

void Display_Device_Map()
{
    static const int runs[] = {12, 8, 8, 7, 3, 3, 14, 7};
    static const int gaps[] = {0, 2, 3, 3, 2, 2, 2, 2};
    Print_Report_Title("device map");
    printf("              Real Mode  Prot Mode    Block  Blk  Tot  Program           Prog \n");
    printf("Device        Address    Address       Size  Num  Blk  Date/Time         Count\n");
    Print_Rule_Line(runs, gaps, 8);
    WORD count = number_device_map_entries;
    if (count > MAX_DEVICE_MAP_ENTRIES) count = MAX_DEVICE_MAP_ENTRIES;
    for (int i = count - 1; i >= 0; i--) Print_Device_Map_Row(device_map_tbl[i]);
    fflush(stdout);
}

static void Print_Directory_Entry(const FLASH_DIR_ENTRY_STRUCT &entry)
{
    char name[sizeof entry.program_name_str + 1];
    char group[sizeof entry.group_name_str + 1];
    char version[sizeof entry.version_str + 1];
    Get_Field(name, entry.program_name_str);
    Get_Field(group, entry.group_name_str);
    Get_Field(version, entry.version_str);
    const char *flags = (entry.dir_flags & DIR_BOOT) ? "B1-" : "---";
    const PROG_MEM_STRUCT &mem = entry.program_mem;
    printf("%-8s  %-10s  %-5s  %-14s  %08" PRIX32 "  %7" PRIu32 "  %-3s  %08" PRIX32 "\n", name,
           group, version, Date_Time_Str_Ptr(entry.file_date_time), mem.first_phys_addr,
           mem.logical_len, flags, mem.checksum);
    printf("                             %-14s  %08" PRIX32 "  %7" PRIu32 "\n",
           Date_Time_Str_Ptr(mem.reprogram_date_time), mem.last_phys_addr, mem.phys_size);
    printf("\n");
}

void Display_Directory()
{
    static const int runs[] = {8, 10, 5, 14, 8, 7, 3, 8};
    static const int gaps[] = {0, 2, 2, 2, 2, 2, 2, 2};
    Print_Report_Title("directory");
    printf("                             File/Program    Strt/End  Log/Phy              \n");
    printf("Name      Group       Ver    Date/Time       Address      Size  Flg  Checksum\n");
    Print_Rule_Line(runs, gaps, 8);
    for (WORD i = FIRST_PROG_DIR_ENTRY; i < MAX_DIR_ENTRIES; i++)
        if (dir_tbl[i].dir_flags & DIR_IN_USE) Print_Directory_Entry(dir_tbl[i]);
    fflush(stdout);
}
