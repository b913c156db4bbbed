// The help texts and the current-options report; printed whatever the log level.
#include <cstring>

#include "VERSION.h"
#include "flashu.h"

static const char usage_text[] =
    "usage: torvex [WORD]...        (the words form the first command line)\n"
    "       torvex -h | --help | -V | --version\n"
    "\n"
    "TORVEX programs the flash of an embedded x86 board through its boot monitor\n"
    "over a serial port. It runs command lines from the environment variable\n"
    "FLASHOPT, then its arguments joined by blanks, then the prompt FLASH CMD: and\n"
    "command files. A line holds commands separated by \";\"; \"//\" starts a comment;\n"
    "options are words name=value and stay set for the commands that follow. A\n"
    "word W that is no command runs the command file W.FLC, one line at a time.\n"
    "Type help at the prompt for the commands and options.\n"
    "\n"
    "  torvex 'init com1 ; program app ; setboot app ; exit'\n"
    "  FLASHOPT='port=com2 baud=19200' torvex\n"
    "\n"
    "COM1..COM4 are the devices named by the environment variables TORVEX_COM1..\n"
    "TORVEX_COM4 (default /dev/ttyS0..3), e.g.\n"
    "  TORVEX_COM1=/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0\n"
    "\n"
    "Exit status: 0 when no command failed, 1 when a command failed, 2 when a\n"
    "signal or lost output ended the run.\n";

bool Show_Usage_Or_Version(const char *first_arg)
{
    if (!strcmp(first_arg, "-h") || !strcmp(first_arg, "--help")) {
        fputs(usage_text, stdout);
    } else if (!strcmp(first_arg, "-V") || !strcmp(first_arg, "--version")) {
        printf("torvex %s (Quillet Bootloader Utility V2.51)\n", TORVEX_VERSION);
    } else {
        return false;
    }
    fflush(stdout);
    return true;
}

struct HELP_ROW {
    const char *cells[4];
};

struct HELP_TEXT {
    const char *heading;
    int rule[4];     // runs of rule characters under the heading
    int rule_gap[4]; // blanks before each run
    int rule_runs;
    int widths[3]; // padded column widths; the last cell is unpadded
    int columns;   // cells per row
    const HELP_ROW *rows;
    size_t row_count;
};

static const HELP_ROW command_rows[] = {
    {{"abort", "a", "Abort program (tables not updated!)"}},
    {{"checkhex", "chk <file> [format=x] [addr=x]", "Display hex file addresses"}},
    {{"delete", "del <name>", "Delete program"}},
    {{"dir", "d", "Display flash directory"}},
    {{"dos", "-", "Shell to DOS"}},
    {{"exit", "e,x,quit,q", "Update tables & exit program"}},
    {{"help", "h,?", "Display commmand/option help"}},
    {{"init", "i   <port> [baud=x]", "Init link to target & read tables"}},
    {{"map", "m", "Display flash device map"}},
    {{"noboot", "nb", "Set no boot program"}},
    {{"options", "opt", "Display current options"}},
    {{"program", "pr  <file> [format=x] [addr=x]", "Program flash memory"}},
    {{"", "    [name=x] [gr=x] [ver=x]", ""}},
    {{"reinittbls", "rt  <board> [system=x]", "Re-initialize flash tables"}},
    {{"readio", "rio <ioport>", "Read IO port on target"}},
    {{"setboot", "sb  <name>", "Set boot program"}},
    {{"shutdown", "sh", "Update tables & shutdown link"}},
    {{"term", "vt  <vtport> [vtbaud=x]", "Emulate terminal (VT)"}},
    {{"writeio", "wio <ioport> <value>", "Write IO port on target"}},
    {{"<file>", "-", "Execute commands in <file>.FLC"}},
    {{"//", "-", "Comment (rest of line ignored)"}},
};

static const HELP_ROW option_rows[] = {
    {{"addr=", "<hex>", "0", "Set binary file addr"}},
    {{"baud=", "<number>", "9600", "Set target comms baud rate"}},
    {{"board=", "", "", "Set target system board"}},
    {{"file=", "<path>", "-", "Set program file"}},
    {{"format=", "hex|bin", "hex", "Set file format"}},
    {{"group=", "<str>", "-", "Set group name"}},
    {{"log=", "terse|normal|", "NORMAL", "Set logging level"}},
    {{"", "verbose", "", ""}},
    {{"name=", "<str>", "<file>", "Set program name"}},
    {{"port=", "com1|2|3|4", "-", "Set target comms port"}},
    {{"prompt=", "<str>", "FLASH CMD:", "Set prompt"}},
    {{"system=", "<str>", "TARGET", "Set target system name"}},
    {{"vector=", "<b:o>|<phys>", "-", "Set start vector"}},
    {{"verify=", "on|off", "off", "Verify flash after writing"}},
    {{"version=", "<str>", "-", "Set program version"}},
    {{"vtbaud=", "<number>", "9600", "Set terminal emulator baud rate"}},
    {{"vtport=", "com1|2|3|4", "-", "Set terminal emulator comms port"}},
    {{";", "", "", "Command separator on single line"}},
};

static const HELP_ROW debug_rows[] = {
    {{"log=", "arg|ohrec|ohseg|ohsort|", "Set debug logging level"}},
    {{"", "download", ""}},
    {{"eraseall", "-", "Erase all flash blocks (except boot)"}},
    {{"clrstatus", "cs", "Clear comms status"}},
    {{"systbl", "st", "Display system tables"}},
    {{"status", "s", "Display comms status"}},
    {{"???", "-", "Display debug commmand/option help"}},
    {{"readram", "rram   <addr> [size]", "Read RAM"}},
    {{"readio", "rio    <port> <size>", "Read I/O"}},
    {{"writeram", "wram   <addr> <size> <value>", "Write RAM"}},
    {{"writeio", "wio    <port> <size> <value>", "Write I/O"}},
    {{"setram", "sram   <addr> <size> <value>", "Set RAM"}},
    {{"copyram", "cpram  <dest> <src>  <size>", "Copy RAM"}},
    {{"compram", "cmpram <dest> <src>  <size>", "Compare RAM"}},
    {{"wflash", "wfl    <type> <base> <blk>", "Program flash block"}},
    {{"", "       <dest> <src>  <size>", "Program flash block"}},
    {{"eflash", "efl    <type> <base> <blk>", "Erase flash block"}},
    {{"", "       <size>", ""}},
    {{"getid", "gid    <base>", "Get flash id"}},
    {{"echo", "-      [size] [count]", "Echo data"}},
    {{"chgbaud", "cb     <baud>", "Change baud"}},
};

#define ROWS(a) a, sizeof(a) / sizeof((a)[0])

static const HELP_TEXT command_help = {"Command     Abbrev/Options                 Description",
                                       {10, 29, 35, 0},
                                       {0, 2, 2, 0},
                                       3,
                                       {12, 31, 0},
                                       3,
                                       ROWS(command_rows)};
static const HELP_TEXT option_help = {"Options   Possible Values  Default        Description",
                                      {8, 15, 11, 33},
                                      {0, 2, 2, 4},
                                      4,
                                      {10, 17, 15},
                                      4,
                                      ROWS(option_rows)};
static const HELP_TEXT debug_help = {"Command     Abbrev/Options                 Description",
                                     {10, 29, 35, 0},
                                     {0, 2, 2, 0},
                                     3,
                                     {12, 31, 0},
                                     3,
                                     ROWS(debug_rows)};

static void Print_Help_Text(const HELP_TEXT &h)
{
    printf("%s\n", h.heading);
    Print_Rule_Line(h.rule, h.rule_gap, h.rule_runs);
    for (size_t r = 0; r < h.row_count; r++) {
        const HELP_ROW &row = h.rows[r];
        for (int c = 0; c < h.columns - 1; c++) printf("%-*s", h.widths[c], row.cells[c]);
        printf("%s\n", row.cells[h.columns - 1]);
    }
    fflush(stdout);
}

// The debug commands are in no table of the help: one line says how to reach them.
static void Print_Debug_Hint()
{
    printf("Type debug to enable the debug commands, then debug or ??? to list them.\n");
    fflush(stdout);
}

void Display_Command_Info()
{
    Print_Help_Text(command_help);
    if (cmd_mode != cli_cmd_mode || User_Confirmed("\nDisplay command options?", true)) {
        printf("\n");
        Print_Help_Text(option_help);
    }
    Print_Debug_Hint();
}

void Display_Debug_Info()
{
    Print_Help_Text(debug_help);
}

void Display_Options()
{
    printf("Current Options:\n");
    printf("\n");
    Print_Label("Addr");
    printf("0x%08" PRIX32 "\n", program_addr);
    Print_Label("Baud");
    printf("%" PRIu32 "\n", baud_rate);
    Print_Text_Row("Board", Id_To_Str_Ptr(board_id, board_id_lut));
    Print_Text_Row("File", filepath_str);
    Print_Text_Row("Format", Id_To_Str_Ptr(file_format, file_format_lut));
    Print_Text_Row("Group", group_name_str);
    Print_Text_Row("Log", Log_Level_Str_Ptr(log_level));
    Print_Text_Row("Name", prog_name_str);
    Print_Text_Row("Port", Id_To_Str_Ptr(comm_port, comm_port_lut));
    Print_Text_Row("Prompt", prompt_str);
    Print_Text_Row("System", system_name_str);
    Print_Label("Vector");
    printf("%04X:%04" PRIX32 "\n", oh_vector_base, oh_vector_offset);
    Print_Label("VT Baud");
    printf("%" PRIu32 "\n", vt_baud_rate);
    Print_Text_Row("VT Port", Id_To_Str_Ptr(vt_comm_port, comm_port_lut));
    Print_Text_Row("Version", version_str);
    Print_Text_Row("Verify", Id_To_Str_Ptr(verify_flash, on_off_lut));
    fflush(stdout);
}
