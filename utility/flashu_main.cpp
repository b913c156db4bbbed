// Program entry and the input sources: FLASHOPT, the command line, command
// files and the interactive prompt.
#include <cstdlib>
#include <cstring>

#include "CONIO.h"
#include "FLDATA.h"
#include "flashu.h"

CMD_MODE cmd_mode = null_cmd_mode;
BYTE exit_program = 0;
char prompt_str[TEXT_FIELD_SIZE] = "FLASH CMD:";
FILE *cmd_file = nullptr;
char cmd_filepath_str[TEXT_FIELD_SIZE];

static const char default_prompt_str[] = "FLASH CMD:";
static const char environ_var_name[] = "FLASHOPT";
static const char *const signon_str_ptr =
    "\nQuillet Bootloader Utility - V2.51\n\n"
    "Serial ports COM1..COM4 are the devices named by TORVEX_COM1..TORVEX_COM4.\n"
    "\n";
static const char *const signoff_str_ptr = "";

static void Refuse_Long_Line(const char *source)
{
    Log_Fmt(LOG_ALWAYS, "%s longer than %u characters, line ignored!\n", source,
            INPUT_LINE_SIZE - 1);
}

// Shuts a link that is still up down, writing the tables. When that fails
// the program ends all the same, but says what is lost.
static void Shutdown_On_Way_Out(const char *way_out)
{
    if (!link_up) return;
    WORD status = 0;
    Shutdown_Host_Target(&status);
    Report_Once(&status);
    if (status != 0) Log_Fmt(LOG_ALWAYS, "%s: flash tables NOT written to the target!\n", way_out);
}

// A command after exit on the same line ("exit ; init com1 ; program app")
// may bring the link up again; exit still promises written tables.
static void Run_Line(char *in_str)
{
    Process_Input_Line(in_str);
    if (exit_program != 0 && exit_program != EXIT_BY_ABORT) Shutdown_On_Way_Out("Exit");
}

static void Process_Environment()
{
    const char *value = getenv(environ_var_name);
    if (value == nullptr) return;
    Log_Str(LOG_TERSE, "Process environment variable FLASHOPT ...\n");
    cmd_mode = environ_cmd_mode;
    char in_str[INPUT_LINE_SIZE];
    if (strlen(value) >= sizeof in_str) {
        Refuse_Long_Line("FLASHOPT");
        return;
    }
    snprintf(in_str, sizeof in_str, "%s", value);
    Run_Line(in_str);
}

static void Process_Invoke_Line(int argc, char **argv)
{
    if (argc <= 1) return;
    Log_Str(LOG_TERSE, "Process command line parameters ...\n");
    char in_str[INPUT_LINE_SIZE] = "";
    size_t len = 0;
    for (int i = 1; i < argc; i++) {
        size_t arg_len = strlen(argv[i]);
        if (len + arg_len + 1 >= sizeof in_str) {
            Refuse_Long_Line("Command line");
            return;
        }
        memcpy(in_str + len, argv[i], arg_len);
        len += arg_len;
        in_str[len++] = ' ';
        in_str[len] = '\0';
    }
    cmd_mode = invoke_cmd_mode;
    Run_Line(in_str);
}

// False at the end of standard input.
static bool Get_CLI_Input(char *in_str)
{
    Log_Fmt(LOG_ALWAYS, "%s ", prompt_str);
    bool too_long = false;
    if (!Con_Read_Line(in_str, INPUT_LINE_SIZE, &too_long)) return false;
    Drop_Control_Chars(in_str);
    if (too_long) {
        Refuse_Long_Line("Input line");
        in_str[0] = '\0';
    }
    return true;
}

static void Get_Cmd_File_Input(char *in_str)
{
    if (fgets(in_str, INPUT_LINE_SIZE, cmd_file) == nullptr) {
        fclose(cmd_file);
        cmd_file = nullptr;
        in_str[0] = '\0';
        return;
    }
    size_t len = strlen(in_str);
    if (len > 0 && in_str[len - 1] == '\n') in_str[--len] = '\0';
    if (len > 0 && in_str[len - 1] == '\r') in_str[--len] = '\0';
    // Printed in pieces so a long line is echoed whole.
    Log_Str(LOG_NORMAL, cmd_filepath_str);
    Log_Str(LOG_NORMAL, " CMD: ");
    Log_Str(LOG_NORMAL, in_str);
    Log_Str(LOG_NORMAL, "\n");
}

// End of standard input counts as exit.
static void End_Of_Input()
{
    Log_Str(LOG_ALWAYS, "\n");
    Shutdown_On_Way_Out("End of input");
    exit_program = 1;
}

static void Process_CLI()
{
    char in_str[INPUT_LINE_SIZE];
    Log_Str(LOG_TERSE, "\nType h or ? for help\n\n");
    cmd_mode = cli_cmd_mode;
    while (!exit_program) {
        if (cmd_file != nullptr) {
            Get_Cmd_File_Input(in_str);
        } else if (!Get_CLI_Input(in_str)) {
            End_Of_Input();
            break;
        }
        Run_Line(in_str);
    }
    if (cmd_file != nullptr) {
        fclose(cmd_file);
        cmd_file = nullptr;
    }
}

int Torvex_Main(int argc, char **argv)
{
    if (argc > 1 && Show_Usage_Or_Version(argv[1])) return 0;   // before anything else runs
    Con_Init();
    Log_Str(LOG_ALWAYS, signon_str_ptr);
    Delete_Temp_Files();
    snprintf(prompt_str, sizeof prompt_str, "%s", default_prompt_str);
    Reset_Flash_Table_Images();
    Process_Environment();
    Process_Invoke_Line(argc, argv);
    Process_CLI();
    Delete_Temp_Files();
    Log_Str(LOG_ALWAYS, signoff_str_ptr);
    fflush(stdout);
    Con_Restore();
    return 0;
}
