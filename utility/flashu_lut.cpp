// Vocabulary tables and the five look-up operations that translate between
// typed words, stored ids and printed names.
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "FLCOMMON.h"

constexpr int LUT_PAD_SIZE = 80;

const LOOKUP_TBL_STRUCT comm_port_lut[] = {
    {0, "COM1"},          {1, "COM2"},   {2, "COM3"},  {3, "COM4"},
    {NOCOMMS, "NOCOMMS"}, {NO_PORT, ""}, {0, nullptr},
};

const LOOKUP_TBL_STRUCT baud_rate_lut[] = {
    {300, "300"},     {1200, "1200"},     {2400, "2400"},   {4800, "4800"},
    {9600, "9600"},   {19200, "19.2K"},   {38400, "38.4K"}, {48000, "48.0K"},
    {57600, "57.6K"}, {115200, "115.2K"}, {0, nullptr},
};

const LOOKUP_TBL_STRUCT board_id_lut[] = {
    {1, "KESTREL0"}, {2, "PELLAR/KESTREL"}, {3, "PELLAR"}, {4, "PELLAR"}, {0, nullptr},
};

const LOOKUP_TBL_STRUCT flash_id_lut[] = {
    {0x01, "RAM"},      {0x70, "28F400CV-T"}, {0x9C, "28F800CV-T"}, {0xA0, "28F016SA"},
    {0xDA, "29LV800T"}, {0xC4, "29LV160T"},   {0, nullptr},
};

const LOOKUP_TBL_STRUCT log_level_lut[] = {
    {0x001, "TERSE T"},  {0x002, "NORMAL N"}, {0x003, "VERBOSE V"}, {0x004, "DEBUG"},
    {0x014, "ARG"},      {0x024, "OHREC"},    {0x044, "OHSEG"},     {0x084, "OHSORT"},
    {0x104, "DOWNLOAD"}, {0, nullptr},
};

const LOOKUP_TBL_STRUCT file_format_lut[] = {
    {0, "HEX"},
    {1, "BIN"},
    {0, nullptr},
};

const LOOKUP_TBL_STRUCT on_off_lut[] = {
    {0, "OFF"},
    {1, "ON"},
    {0, nullptr},
};

// Commands first, then options. The id bits: 0x100 option, 0x200 needs the
// target on-line, 0x400 debug command.
const LOOKUP_TBL_STRUCT user_command_lut[] = {
    {0x001, "INIT I"},        {0x002, "EXIT E X QUIT Q"},
    {0x003, "ABORT A"},       {0x204, "REINITTBLS RT"},
    {0x205, "PROGRAM PR"},    {0x206, "SETBOOT SB"},
    {0x207, "NOBOOT NB"},     {0x208, "DELETE DEL"},
    {0x61F, "ERASEALL"},      {0x209, "SHUTDOWN SH"},
    {0x00A, "DOS"},           {0x00B, "TERM VT"},
    {0x00C, "HELP H ?"},      {0x00D, "OPTIONS OPT"},
    {0x20E, "DIR D"},         {0x20F, "MAP M"},
    {0x010, "CHECKHEX CHK"},  {0x611, "SYSTBL ST"},
    {0x012, "DEBUG ???"},     {0x613, "READRAM RRAM"},
    {0x614, "READIO RIO"},    {0x615, "WRITERAM WRAM"},
    {0x616, "WRITEIO WIO"},   {0x617, "SETRAM SRAM"},
    {0x618, "COPYRAM CPRAM"}, {0x619, "COMPRAM CMRAM"},
    {0x61A, "WFLASH WFL"},    {0x61B, "EFLASH EFL"},
    {0x61C, "GETID GID"},     {0x61D, "ECHO"},
    {0x420, "STATUS S"},      {0x421, "CLRSTATUS CS"},
    {0x61E, "CHGBAUD CB"},    {0x101, "PORT"},
    {0x102, "BAUD"},          {0x103, "VTPORT"},
    {0x104, "VTBAUD"},        {0x305, "SYSTEM"},
    {0x306, "BOARD"},         {0x107, "FILE"},
    {0x108, "NAME"},          {0x109, "VERSION VER"},
    {0x10A, "GROUP GR"},      {0x30B, "VECTOR"},
    {0x10C, "LOG"},           {0x10D, "PROMPT"},
    {0x10E, "FORMAT"},        {0x10F, "ADDR"},
    {0x110, "VERIFY"},        {0, nullptr},
};

WORD Id_To_Index(DWORD lut_id, const LOOKUP_TBL_STRUCT *lut_ptr)
{
    for (WORD i = 0; lut_ptr[i].str_ptr != nullptr; i++)
        if (lut_ptr[i].id == lut_id) return i;
    return 0xFFFF;
}

const char *Id_To_Str_Ptr(DWORD lut_id, const LOOKUP_TBL_STRUCT *lut_ptr)
{
    static char unknown_str[TEXT_FIELD_SIZE];
    WORD index = Id_To_Index(lut_id, lut_ptr);
    if (index != 0xFFFF) return lut_ptr[index].str_ptr;
    snprintf(unknown_str, sizeof unknown_str, "UNKNOWN LUT #%u", (unsigned)lut_id);
    return unknown_str;
}

// Callers hand a buffer of at least 80 characters.
void Id_To_Str(char *return_str_ptr, DWORD lut_id, const LOOKUP_TBL_STRUCT *lut_ptr)
{
    snprintf(return_str_ptr, TEXT_FIELD_SIZE, "%s", Id_To_Str_Ptr(lut_id, lut_ptr));
}

DWORD Str_To_Id(const char *find_str_ptr, const LOOKUP_TBL_STRUCT *lut_ptr)
{
    for (WORD i = 0; lut_ptr[i].str_ptr != nullptr; i++)
        if (strcasecmp(lut_ptr[i].str_ptr, find_str_ptr) == 0) return lut_ptr[i].id;
    return 0xFFFFFFFF;
}

// A word matches a row when it equals one of the row's blank-separated words
// (or a run of consecutive ones); padding both with blanks makes that a plain
// substring search.
DWORD Sub_Str_To_Id(const char *find_str_ptr, const LOOKUP_TBL_STRUCT *lut_ptr)
{
    char pattern[LUT_PAD_SIZE];
    char row[LUT_PAD_SIZE];
    if (strlen(find_str_ptr) > LUT_PAD_SIZE - 3) return 0xFFFFFFFF;
    snprintf(pattern, sizeof pattern, " %s ", find_str_ptr);
    for (WORD i = 0; lut_ptr[i].str_ptr != nullptr; i++) {
        snprintf(row, sizeof row, " %s ", lut_ptr[i].str_ptr);
        if (strstr(row, pattern) != nullptr) return lut_ptr[i].id;
    }
    return 0xFFFFFFFF;
}
