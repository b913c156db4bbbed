// Debug commands: target RAM and I/O access, single flash blocks, flash
// identification, the echo test, link statistics and the baud change. The
// dispatcher owns the frame and the error tail; a status left here other than
// 0 and 0x9000 is reported there as an "Operation" failure.
#include <cstdio>
#include <cstring>

#include "HCMDFMT.h"
#include "MSG.h"
#include "flashu_debug.h"

DWORD dwDest = 0;
DWORD dwSrc = 0;
DWORD dwCount = 256;
DWORD dwVal = 0;
DWORD dwBase = 0;
DWORD dwBlock = 0;
WORD wType = 0;
WORD wCode = 0;
WORD wID = 0;
BYTE bData[DEBUG_DATA_SIZE];

namespace {

enum : WORD {
    CMD_SYSTATUS = 0x420,
    CMD_CLRSTATUS = 0x421,
    CMD_READRAM = 0x613,
    CMD_READIO = 0x614,
    CMD_WRITERAM = 0x615,
    CMD_WRITEIO = 0x616,
    CMD_SETRAM = 0x617,
    CMD_COPYRAM = 0x618,
    CMD_COMPRAM = 0x619,
    CMD_WFLASH = 0x61A,
    CMD_EFLASH = 0x61B,
    CMD_GETID = 0x61C,
    CMD_ECHO = 0x61D,
    CMD_CHGBAUD = 0x61E,
};

const WORD OPTION_BAUD = 0x102;
const DWORD ECHO_DEFAULT_SIZE = 1024;
const DWORD MAX_DWORD = 0xFFFFFFFFUL;

// Values past 32 bits saturate.
bool Parse_Number(const char *str, unsigned radix, DWORD *value)
{
    unsigned long long v;
    if (!Scan_Number(str, radix, &v, nullptr)) return false;
    *value = v < NUMBER_TOO_LARGE ? DWORD(v) : MAX_DWORD;
    return true;
}

void Read_Ram_Cmd(DEBUG_ARG_READER *r, WORD *status_ptr)
{
    Read_Hex_Arg(r, &dwDest);
    Read_Hex_Arg(r, &dwCount);
    DWORD size = Limit_Transfer_Size(dwCount);
    Log_Fmt(LOG_ALWAYS, "Read %" PRIu32 " bytes from absolute location 0x%08" PRIX32 ":\n\n", size,
            dwDest);
    Read_RAM(dwDest, size, bData, status_ptr);
    if (*status_ptr == 0) Dump_Bytes(bData, (WORD)size);
}

void Read_Io_Cmd(DEBUG_ARG_READER *r, WORD *status_ptr)
{
    dwCount = 1;
    Read_Hex_Arg(r, &dwDest);
    Read_Hex_Arg(r, &dwCount);
    Log_Fmt(LOG_ALWAYS, "Read %" PRIu32 " bytes from input port 0x%08" PRIx32 ".\n", dwCount,
            dwDest);
    dwVal = Read_IO_Port((WORD)dwDest, (WORD)dwCount, status_ptr);
    if (*status_ptr == 0)
        Log_Fmt(LOG_ALWAYS, "Input value is %" PRIu32 " (%08" PRIx32 "H)\n", dwVal, dwVal);
}

void Write_Ram_Cmd(DEBUG_ARG_READER *r, WORD *status_ptr)
{
    Read_Hex_Arg(r, &dwDest);
    Read_Hex_Arg(r, &dwCount);
    Read_Data_Arg(r, bData);
    DWORD size = Limit_Transfer_Size(dwCount);
    Log_Fmt(LOG_ALWAYS, "Write %" PRIu32 " bytes to absolute location 0x%08" PRIX32 "\n", size,
            dwDest);
    Write_RAM(dwDest, size, bData, status_ptr);
}

void Write_Io_Cmd(DEBUG_ARG_READER *r, WORD *status_ptr)
{
    dwCount = 1;
    Read_Hex_Arg(r, &dwDest);
    Read_Hex_Arg(r, &dwCount);
    Read_Hex_Arg(r, &dwVal);
    Log_Fmt(LOG_ALWAYS,
            "Write %" PRIu32 " (%08" PRIx32 "H) as %" PRIu32 " bytes to output port 0x%08" PRIx32
            "\n",
            dwVal, dwVal, dwCount, dwDest);
    Write_IO_Port((WORD)dwDest, (WORD)dwCount, dwVal, status_ptr);
}

void Set_Ram_Cmd(DEBUG_ARG_READER *r, WORD *status_ptr)
{
    Read_Hex_Arg(r, &dwDest);
    Read_Hex_Arg(r, &dwCount);
    Read_Data_Arg(r, bData);
    Log_Fmt(LOG_ALWAYS, "Set %" PRIu32 " bytes to 0x%02X at 0x%08" PRIX32 "\n", dwCount, bData[0],
            dwDest);
    Set_RAM(dwDest, dwCount, bData[0], status_ptr);
}

void Read_Dest_Src_Count(DEBUG_ARG_READER *r)
{
    Read_Hex_Arg(r, &dwDest);
    Read_Hex_Arg(r, &dwSrc);
    Read_Hex_Arg(r, &dwCount);
}

void Copy_Ram_Cmd(DEBUG_ARG_READER *r, WORD *status_ptr)
{
    Read_Dest_Src_Count(r);
    Log_Fmt(LOG_ALWAYS, "Copy %" PRIu32 " bytes from 0x%08" PRIX32 " to 0x%08" PRIX32 "\n", dwCount,
            dwSrc, dwDest);
    Copy_RAM(dwDest, dwSrc, dwCount, status_ptr);
}

// A mismatch keeps the monitor's 0x8B so that the dispatcher reports it as
// the command's failure and the rest of the line is skipped.
void Compare_Ram_Cmd(DEBUG_ARG_READER *r, WORD *status_ptr)
{
    Read_Dest_Src_Count(r);
    Log_Fmt(LOG_ALWAYS, "Compare %" PRIu32 " bytes from 0x%08" PRIX32 " to 0x%08" PRIX32 "\n",
            dwCount, dwDest, dwSrc);
    Compare_RAM(dwDest, dwSrc, dwCount, status_ptr);
    if (*status_ptr == 0)
        Log_Str(LOG_ALWAYS, "Arrays match\n");
    else if (*status_ptr == E_COMPARE)
        Log_Str(LOG_ALWAYS, "Arrays don't match!\n");
}

void Program_Flash_Cmd(DEBUG_ARG_READER *r, WORD *status_ptr)
{
    Read_Hex_Arg16(r, &wType);
    Read_Hex_Arg(r, &dwBase);
    Read_Hex_Arg(r, &dwBlock);
    Read_Hex_Arg(r, &dwDest);
    Read_Hex_Arg(r, &dwSrc);
    Read_Hex_Arg(r, &dwCount);
    Log_Fmt(LOG_ALWAYS,
            "Program base 0x%08" PRIX32 ", block 0x%08" PRIX32 "\n from 0x%08" PRIX32
            ", to 0x%08" PRIX32 ", %" PRIu32 " bytes\n",
            dwBase, dwBlock, dwSrc, dwDest, dwCount);
    Program_Flash((BYTE)wType, dwBase, dwBlock, dwDest, dwSrc, dwCount, status_ptr);
}

void Erase_Flash_Cmd(DEBUG_ARG_READER *r, WORD *status_ptr)
{
    Read_Hex_Arg16(r, &wType);
    Read_Hex_Arg(r, &dwBase);
    Read_Hex_Arg(r, &dwBlock);
    Read_Hex_Arg(r, &dwCount);
    Log_Fmt(LOG_ALWAYS, "Erase base 0x%08" PRIX32 ", block 0x%08" PRIX32 ", %" PRIu32 " bytes.\n",
            dwBase, dwBlock, dwCount);
    Flash_Erase(wType, dwBase, dwBlock, dwCount, status_ptr);
}

void Get_Id_Cmd(DEBUG_ARG_READER *r, WORD *status_ptr)
{
    Read_Hex_Arg(r, &dwBase);
    Get_Flash_ID(dwBase, &wCode, &wID, status_ptr);
    if (*status_ptr == 0)
        Log_Fmt(LOG_ALWAYS, "Device Manufacturers Code = 0x%04X, Device ID = 0x%04X\n", wCode, wID);
}

// The echo test has its own defaults, renewed at every use.
void Echo_Cmd(const char *first_arg, WORD rest_count, const ARG_STRUCT *rest, WORD *status_ptr)
{
    DWORD size = ECHO_DEFAULT_SIZE;
    DWORD count = 0;
    if (first_arg[0] != '\0') {
        if (rest_count > 0) Parse_Dec_Number(rest[0].arg_str, &count);
        Parse_Dec_Number(first_arg, &size);
    }
    // Clamp before narrowing: 65536 must not become an empty pass.
    if (size > ECHO_DEFAULT_SIZE) size = ECHO_DEFAULT_SIZE;
    Echo_Data((WORD)size, count, status_ptr);
}

void Clear_Status_Cmd()
{
    Clear_Comms_Status();
    Log_Str(LOG_TERSE, "Comms status cleared\n");
}

// The host keeps its port at the old rate; the next init moves it.
void Change_Baud_Cmd(const char *first_arg, WORD rest_count, ARG_STRUCT *rest, WORD *status_ptr)
{
    if (first_arg[0] != '\0') {
        Execute_Option(OPTION_BAUD, first_arg, status_ptr);
        if (*status_ptr != 0) return;
    }
    Execute_Command_Array(rest_count, rest, status_ptr);
    if (*status_ptr != 0) return;
    Change_Link_Baud(status_ptr);
}

} // namespace

bool Parse_Hex_Number(const char *str, DWORD *value)
{
    return Parse_Number(str, 16, value);
}

bool Parse_Dec_Number(const char *str, DWORD *value)
{
    return Parse_Number(str, 10, value);
}

void Init_Arg_Reader(DEBUG_ARG_READER *reader, const char *first_arg, WORD rest_count,
                     const ARG_STRUCT *rest)
{
    reader->first_arg = first_arg ? first_arg : "";
    reader->rest_count = rest ? rest_count : 0;
    if (reader->rest_count > MAX_ARGS) reader->rest_count = MAX_ARGS;
    reader->rest = rest;
    reader->word = 0;
    reader->first_taken = false;
}

const char *Current_Arg_Str(const DEBUG_ARG_READER *reader)
{
    if (!reader->first_taken) return reader->first_arg;
    if (reader->word >= reader->rest_count) return "";
    return reader->rest[reader->word].arg_str;
}

// The second argument always comes from the word after the first, whatever
// the first gave; from then on a word that held no number is read again.
static void Advance_Arg(DEBUG_ARG_READER *reader, bool converted)
{
    if (!reader->first_taken)
        reader->first_taken = true;
    else if (converted && reader->word < reader->rest_count)
        reader->word++;
}

bool Read_Hex_Arg(DEBUG_ARG_READER *reader, DWORD *value)
{
    bool converted = Parse_Hex_Number(Current_Arg_Str(reader), value);
    Advance_Arg(reader, converted);
    return converted;
}

bool Read_Hex_Arg16(DEBUG_ARG_READER *reader, WORD *value)
{
    DWORD wide = *value;
    bool converted = Read_Hex_Arg(reader, &wide);
    if (converted) *value = (WORD)wide;
    return converted;
}

void Read_Data_Arg(DEBUG_ARG_READER *reader, BYTE *dest)
{
    // Words are at most 79 characters, so the decoded text always fits.
    char text[ARG_STR_SIZE];
    snprintf(text, sizeof text, "%s", Current_Arg_Str(reader));
    Decode_Hex(reinterpret_cast<char *>(dest), text);
    Advance_Arg(reader, true);
}

DWORD Limit_Transfer_Size(DWORD size)
{
    if (size <= DEBUG_DATA_SIZE) return size;
    Log_Fmt(LOG_ALWAYS, "Size %" PRIu32 " is more than one transfer, limited to %u bytes\n", size,
            (unsigned)DEBUG_DATA_SIZE);
    return DEBUG_DATA_SIZE;
}

void Execute_Debug_Command(WORD user_command, const char *first_arg, WORD rest_count,
                           ARG_STRUCT *rest, WORD *status_ptr)
{
    *status_ptr = 0;
    // The reader's words, with a missing first argument or rest made empty,
    // also serve the two commands that read their words themselves.
    DEBUG_ARG_READER reader;
    Init_Arg_Reader(&reader, first_arg, rest_count, rest);

    switch (user_command) {
    case CMD_READRAM: Read_Ram_Cmd(&reader, status_ptr); break;
    case CMD_READIO: Read_Io_Cmd(&reader, status_ptr); break;
    case CMD_WRITERAM: Write_Ram_Cmd(&reader, status_ptr); break;
    case CMD_WRITEIO: Write_Io_Cmd(&reader, status_ptr); break;
    case CMD_SETRAM: Set_Ram_Cmd(&reader, status_ptr); break;
    case CMD_COPYRAM: Copy_Ram_Cmd(&reader, status_ptr); break;
    case CMD_COMPRAM: Compare_Ram_Cmd(&reader, status_ptr); break;
    case CMD_WFLASH: Program_Flash_Cmd(&reader, status_ptr); break;
    case CMD_EFLASH: Erase_Flash_Cmd(&reader, status_ptr); break;
    case CMD_GETID: Get_Id_Cmd(&reader, status_ptr); break;
    case CMD_ECHO: Echo_Cmd(reader.first_arg, reader.rest_count, rest, status_ptr); break;
    case CMD_SYSTATUS: Display_Status(); break;
    case CMD_CLRSTATUS: Clear_Status_Cmd(); break;
    case CMD_CHGBAUD: Change_Baud_Cmd(reader.first_arg, reader.rest_count, rest, status_ptr); break;
    default:
        Log_Fmt(LOG_ALWAYS, "INTERNAL ERROR!  Unknown command id #%u\n", user_command);
        *status_ptr = E_REPORTED;
        break;
    }
}
