// Option settings: each value is checked, stored and confirmed.
#include <cstring>
#include <utility>

#include "flashu.h"

WORD comm_port = NO_PORT;
WORD vt_comm_port = NO_PORT;
DWORD baud_rate = 9600;
DWORD vt_baud_rate = 9600;
char system_name_str[TEXT_FIELD_SIZE] = "TARGET";
WORD board_id = 2;
char filepath_str[TEXT_FIELD_SIZE] = "";
WORD file_format = 0;
DWORD program_addr = 0;
char prog_name_str[TEXT_FIELD_SIZE] = "";
char version_str[TEXT_FIELD_SIZE] = "";
char group_name_str[TEXT_FIELD_SIZE] = "";
WORD verify_flash = 0;
WORD tbl_tab = 18;

enum : WORD {
    OPT_PORT = 0x101,
    OPT_BAUD = 0x102,
    OPT_VTPORT = 0x103,
    OPT_VTBAUD = 0x104,
    OPT_SYSTEM = 0x305,
    OPT_BOARD = 0x306,
    OPT_FILE = 0x107,
    OPT_NAME = 0x108,
    OPT_VERSION = 0x109,
    OPT_GROUP = 0x10A,
    OPT_VECTOR = 0x30B,
    OPT_LOG = 0x10C,
    OPT_PROMPT = 0x10D,
    OPT_FORMAT = 0x10E,
    OPT_ADDR = 0x10F,
    OPT_VERIFY = 0x110,
};

constexpr int MAX_PROG_NAME_LEN = 8;
constexpr int MAX_VERSION_LEN = 5;
constexpr int MAX_GROUP_LEN = 10;
constexpr int MAX_SYSTEM_NAME_LEN = 9;

// ---- number readers: digits at the start of the text, the rest ignored ----------
static bool Read_Decimal(const char *s, DWORD *value)
{
    unsigned long long v;
    if (!Scan_Number(s, 10, &v, nullptr)) return false;
    *value = v < NUMBER_TOO_LARGE ? DWORD(v) : 0xFFFFFFFF; // fails every rate check
    return true;
}

static bool Read_Hex(const char *s, unsigned long long *value, const char **end)
{
    return Scan_Number(s, 16, value, end);
}

static void Refuse(const char *msg, WORD *status_ptr)
{
    Log_Str(LOG_ALWAYS, msg);
    *status_ptr = E_REPORTED;
}

// ---- one function per option --------------------------------------------------------
static void Set_Port(WORD option, const char *value, WORD *status_ptr)
{
    bool vt = option == OPT_VTPORT;
    DWORD id = Str_To_Id(value, comm_port_lut);
    if (id == 0xFFFFFFFF || value[0] == '\0') {
        Refuse(vt ? "Invalid VT port name!  Type com1, com2, com3, or com4\n"
                  : "Invalid port name!  Type com1, com2, com3, or com4\n",
               status_ptr);
        return;
    }
    (vt ? vt_comm_port : comm_port) = (WORD)id;
    Log_Fmt(LOG_TERSE, vt ? "VT Port set to %s\n" : "Port set to %s\n",
            Id_To_Str_Ptr(id, comm_port_lut));
    if (!vt && vt_comm_port == NO_PORT) Execute_Option(OPT_VTPORT, value, status_ptr);
}

static void Set_Baud(WORD option, const char *value, WORD *status_ptr)
{
    bool vt = option == OPT_VTBAUD;
    DWORD rate;
    if (!Read_Decimal(value, &rate)) {
        Refuse("Invalid characters in baud rate!\n", status_ptr);
        return;
    }
    if (Id_To_Index(rate, baud_rate_lut) == 0xFFFF) {
        Refuse(vt ? "Invalid VT baud rate!  Enter 300 to 115200\n"
                  : "Invalid baud rate!  Enter 300 to 115200\n",
               status_ptr);
        return;
    }
    if (vt) {
        vt_baud_rate = rate;
        Log_Fmt(LOG_TERSE, "VT baud rate set to %" PRIu32 "\n", rate);
        return;
    }
    DWORD old_rate = baud_rate;
    baud_rate = rate;
    Log_Fmt(LOG_TERSE, "Baud rate set to %" PRIu32 "\n", rate);
    if (rate != old_rate && link_up)
        Log_Str(LOG_TERSE, "WARNING!  Perform shutdown commmand, then init command\n");
}

static void Set_Board(const char *value, WORD *status_ptr)
{
    DWORD id = Str_To_Id(value, board_id_lut);
    if (id == 0xFFFFFFFF) {
        Refuse("Invalid board name!\n", status_ptr);
        return;
    }
    board_id = (WORD)id;
    Init_Device_Map_Table();
    Log_Fmt(LOG_TERSE, "Board set to %s\n", Id_To_Str_Ptr(id, board_id_lut));
}

// Splits the last path component into base name and extension (with its dot).
static void Split_Path(const char *path, char *base, char *ext)
{
    const char *name = strrchr(path, '/');
    name = name ? name + 1 : path;
    const char *dot = strrchr(name, '.');
    size_t base_len = dot ? (size_t)(dot - name) : strlen(name);
    snprintf(base, TEXT_FIELD_SIZE, "%.*s", (int)base_len, name);
    snprintf(ext, TEXT_FIELD_SIZE, "%s", dot ? dot : "");
}

// The candidate path of the file option: as typed, else with .HEX/.BIN added.
static bool Find_Program_File(const char *value, char *path, WORD *status_ptr)
{
    char base[TEXT_FIELD_SIZE], ext[TEXT_FIELD_SIZE];
    snprintf(path, TEXT_FIELD_SIZE, "%s", value);
    if (File_Found(path)) return true;
    Split_Path(value, base, ext);
    if (ext[0] != '\0') {
        Log_Fmt(LOG_ALWAYS, "File %s not found!\n", value);
        *status_ptr = E_REPORTED;
        return false;
    }
    if (strlen(value) + 4 >= TEXT_FIELD_SIZE) {
        Log_Fmt(LOG_ALWAYS, "File name %s too long to add .HEX or .BIN!\n", value);
        *status_ptr = E_REPORTED;
        return false;
    }
    const char *tries[2] = {".HEX", ".BIN"};
    if (file_format == 1) std::swap(tries[0], tries[1]);
    for (const char *t : tries) {
        snprintf(path, TEXT_FIELD_SIZE, "%s%s", value, t);
        if (File_Found(path)) return true;
    }
    Log_Fmt(LOG_ALWAYS, "File %s.HEX or %s.BIN not found!\n", value, value);
    *status_ptr = E_REPORTED;
    return false;
}

static void Set_File(const char *value, WORD *status_ptr)
{
    char path[TEXT_FIELD_SIZE], base[TEXT_FIELD_SIZE], ext[TEXT_FIELD_SIZE];
    if (!Find_Program_File(value, path, status_ptr)) return;
    snprintf(filepath_str, sizeof filepath_str, "%s", path);
    Split_Path(filepath_str, base, ext);
    if (ext[0] == '.' && Str_To_Id(ext + 1, file_format_lut) != 0xFFFFFFFF) {
        Execute_Option(OPT_FORMAT, ext + 1, status_ptr);
        if (*status_ptr != 0) return;
    }
    Log_Fmt(LOG_TERSE, "Program file set to %s\n", filepath_str);
    Execute_Option(OPT_NAME, base, status_ptr);
}

static void Set_Text(const char *value, size_t max_len, char *field, const char *too_long_msg,
                     const char *set_fmt, WORD *status_ptr)
{
    if (strlen(value) > max_len) {
        Refuse(too_long_msg, status_ptr);
        return;
    }
    snprintf(field, TEXT_FIELD_SIZE, "%s", value);
    Log_Fmt(LOG_TERSE, set_fmt, field);
}

static void Set_System(const char *value, WORD *status_ptr)
{
    Set_Text(value, MAX_SYSTEM_NAME_LEN, system_name_str, "System name too long!\n",
             "System name set to %s\n", status_ptr);
    if (*status_ptr == 0) Set_System_Name_Entry(system_name_str);
}

// base:offset, or one physical address split into base and low four bits.
static bool Read_Vector(const char *value, WORD *base, DWORD *offset, WORD *status_ptr)
{
    unsigned long long first, second;
    const char *end;
    if (!Read_Hex(value, &first, &end)) {
        Refuse("Invalid start vector!\n", status_ptr);
        return false;
    }
    if (*end == ':' && Read_Hex(end + 1, &second, nullptr)) {
        if (first > 0xFFFF) {
            Refuse("Start vector base not in real-mode address space!\n", status_ptr);
            return false;
        }
        if (second > 0xFFFF) {
            Refuse("Start vector offset not in real-mode address space!\n", status_ptr);
            return false;
        }
        *base = (WORD)first;
        *offset = (DWORD)second;
        return true;
    }
    if (first > 0xFFFF0) {
        Refuse("Start vector not in real-mode address space!\n", status_ptr);
        return false;
    }
    *base = (WORD)(first >> 4);
    *offset = (DWORD)(first & 0xF);
    return true;
}

static void Set_Vector(const char *value, WORD *status_ptr)
{
    WORD base;
    DWORD offset;
    if (!Read_Vector(value, &base, &offset, status_ptr)) return;
    oh_vector_base = base;
    oh_vector_offset = offset;
    Set_Program_Vector_Entry(status_ptr);
}

static void Set_Log(const char *value, WORD *status_ptr)
{
    DWORD level = Sub_Str_To_Id(value, log_level_lut);
    if (level == 0xFFFFFFFF) {
        Refuse("Invalid log level!  Type terse, normal, or verbose\n", status_ptr);
        return;
    }
    if (level <= LOG_DEBUG)
        log_level = (WORD)level;
    else
        log_level = (WORD)(level | (log_level & 0xFFF0));
    Log_Fmt(LOG_TERSE, "Log level set to %s\n", Log_Level_Str_Ptr(log_level));
}

static void Set_Format(const char *value, WORD *status_ptr)
{
    DWORD id = Str_To_Id(value, file_format_lut);
    if (id == 0xFFFFFFFF) {
        Refuse("Invalid file format!\n", status_ptr);
        return;
    }
    file_format = (WORD)id;
    Log_Fmt(LOG_TERSE, "File format set to %s\n", Id_To_Str_Ptr(id, file_format_lut));
}

static void Set_Addr(const char *value, WORD *status_ptr)
{
    unsigned long long addr;
    if (!Read_Hex(value, &addr, nullptr)) {
        Refuse("Invalid hex characters in address!\n", status_ptr);
        return;
    }
    if (addr > 0xFFFFFFFFull) {
        Refuse("Address too large!  Enter 0 to FFFFFFFF\n", status_ptr);
        return;
    }
    program_addr = (DWORD)addr;
    Log_Fmt(LOG_TERSE, "Address set to 0x%08" PRIX32 "\n", program_addr);
}

static void Set_Verify(const char *value, WORD *status_ptr)
{
    DWORD id = Str_To_Id(value, on_off_lut);
    if (id == 0xFFFFFFFF) {
        Refuse("Invalid verify setting!  Type on or off\n", status_ptr);
        return;
    }
    verify_flash = (WORD)id;
    Log_Fmt(LOG_TERSE, "Verify after write set to %s\n", Id_To_Str_Ptr(id, on_off_lut));
}

void Execute_Option(WORD user_option, const char *value_str_ptr, WORD *status_ptr)
{
    *status_ptr = 0;
    switch (user_option) {
    case OPT_PORT:
    case OPT_VTPORT: Set_Port(user_option, value_str_ptr, status_ptr); break;
    case OPT_BAUD:
    case OPT_VTBAUD: Set_Baud(user_option, value_str_ptr, status_ptr); break;
    case OPT_SYSTEM: Set_System(value_str_ptr, status_ptr); break;
    case OPT_BOARD: Set_Board(value_str_ptr, status_ptr); break;
    case OPT_FILE: Set_File(value_str_ptr, status_ptr); break;
    case OPT_NAME:
        Set_Text(value_str_ptr, MAX_PROG_NAME_LEN, prog_name_str, "Program name too long!\n",
                 "Program name set to %s\n", status_ptr);
        break;
    case OPT_VERSION:
        Set_Text(value_str_ptr, MAX_VERSION_LEN, version_str, "Program version too long!\n",
                 "Program version set to %s\n", status_ptr);
        break;
    case OPT_GROUP:
        Set_Text(value_str_ptr, MAX_GROUP_LEN, group_name_str, "Group name too long!\n",
                 "Group name set to %s\n", status_ptr);
        break;
    case OPT_VECTOR: Set_Vector(value_str_ptr, status_ptr); break;
    case OPT_LOG: Set_Log(value_str_ptr, status_ptr); break;
    case OPT_PROMPT:
        Set_Text(value_str_ptr, TEXT_FIELD_SIZE - 1, prompt_str, "", "Prompt set to %s\n",
                 status_ptr);
        break;
    case OPT_FORMAT: Set_Format(value_str_ptr, status_ptr); break;
    case OPT_ADDR: Set_Addr(value_str_ptr, status_ptr); break;
    case OPT_VERIFY: Set_Verify(value_str_ptr, status_ptr); break;
    default:
        Log_Fmt(LOG_ALWAYS, "INTERNAL ERROR!  Unknown option id #%u\n", user_option);
        *status_ptr = E_REPORTED;
    }
}
