// Program entry and the input sources: FLASHOPT, the command line, command
// files and the interactive prompt; and every way out of a run.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "COMMS.h"
#include "CONIO.h"
#include "FLDATA.h"
#include "SERPORT.h"
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
static const char *const leave_hint_str =
    "\nType exit to leave (changed flash tables are written) or abort (they are not)\n";

// ---- ways out ----------------------------------------------------------------
// Runs in a signal handler (a second signal, the deadline): only
// async-signal-safe calls.
static void Release_At_Once()
{
    Serport_Release_At_Once();
    Unlink_Own_Temp_Files_At_Once();
    static const char msg[] = "\nEnded at once: flash table changes not yet written are lost\n";
    ssize_t n = write(STDOUT_FILENO, msg, sizeof msg - 1);
    (void)n;
}

// The port goes back as it was found, also after abort or a failed shutdown.
static void Release_Port()
{
    WORD status = 0;
    if (comOpen) Shutdown_Comms_Link(&status);
}

static void Refuse_Long_Line(const char *source)
{
    Log_Fmt(LOG_ALWAYS, "%s longer than %d characters, line ignored!\n", source,
            INPUT_LINE_SIZE - 1);
    command_failed = 1;
}

// Shuts a link that is still up down, writing the tables. When that fails
// the program ends all the same, but says what is lost.
static void Shutdown_On_Way_Out(const char *way_out)
{
    if (!link_up) return;
    WORD status = 0;
    Shutdown_Host_Target(&status);
    Report_Once(&status);
    if (status == 0) return;
    command_failed = 1;
    if (tables_written_at_shutdown)
        Log_Fmt(LOG_ALWAYS,
                "%s: flash tables up to date on the target, but the link was not shut down\n",
                way_out);
    else
        Log_Fmt(LOG_ALWAYS, "%s: flash tables NOT written to the target!\n", way_out);
}

// A command after exit on the same line ("exit ; init com1 ; program app")
// may bring the link up again; exit still promises written tables.
static void Run_Line(char *in_str)
{
    Process_Input_Line(in_str);
    Check_Output(); // the displays print straight to standard output
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

// False at the end of standard input, or when the session is to end. Ctrl-C
// at the prompt only says how to leave.
static bool Get_CLI_Input(char *in_str)
{
    Log_Fmt(LOG_ALWAYS, "%s ", prompt_str);
    bool too_long = false;
    if (!Con_Read_Line(in_str, INPUT_LINE_SIZE, &too_long)) return false;
    Drop_Control_Chars(in_str);
    if (Con_Take_Interrupt() && in_str[0] == '\0') Log_Str(LOG_ALWAYS, leave_hint_str);
    if (too_long) {
        Refuse_Long_Line("Input line");
        in_str[0] = '\0';
    }
    return true;
}

static void Close_Cmd_File()
{
    fclose(cmd_file);
    cmd_file = nullptr;
}

// After a piece that filled the line buffer: true when only its line end was
// left; otherwise the rest of the long line is passed over.
static bool Line_End_Follows(FILE *f)
{
    int c = getc(f);
    if (c == '\r') c = getc(f);
    if (c == '\n' || c == EOF) return true;
    while (c != '\n' && c != EOF) c = getc(f);
    return false;
}

static void Get_Cmd_File_Input(char *in_str)
{
    if (fgets(in_str, INPUT_LINE_SIZE, cmd_file) == nullptr) {
        Close_Cmd_File();
        in_str[0] = '\0';
        return;
    }
    size_t len = strlen(in_str);
    if (len == INPUT_LINE_SIZE - 1 && in_str[len - 1] != '\n' && !Line_End_Follows(cmd_file)) {
        char source[TEXT_FIELD_SIZE + 8];
        snprintf(source, sizeof source, "%s line", cmd_filepath_str);
        Refuse_Long_Line(source);
        in_str[0] = '\0';
        return;
    }
    if (len > 0 && in_str[len - 1] == '\n') in_str[--len] = '\0';
    if (len > 0 && in_str[len - 1] == '\r') in_str[--len] = '\0';
    // Printed in pieces so a long line is echoed whole.
    Log_Str(LOG_NORMAL, cmd_filepath_str);
    Log_Str(LOG_NORMAL, " CMD: ");
    Log_Str(LOG_NORMAL, in_str);
    Log_Str(LOG_NORMAL, "\n");
}

// Esc or Ctrl-C between the lines of a command file ends the file: one that
// names itself runs on for ever otherwise.
static bool Cmd_File_Stopped()
{
    if (!User_Abort()) return false;
    Log_Fmt(LOG_ALWAYS, "Command file %s stopped\n", cmd_filepath_str);
    command_failed = 1;
    Close_Cmd_File();
    return true;
}

// End of input counts as exit; so do SIGTERM, SIGHUP and a lost output.
static void End_Session(const char *way_out, bool at_prompt)
{
    if (at_prompt) Log_Str(LOG_ALWAYS, "\n");
    if (Con_Stop_Reason() != 0) Log_Fmt(LOG_ALWAYS, "%s: ending the session\n", way_out);
    Shutdown_On_Way_Out(way_out);
    exit_program = 1;
}

static const char *Stop_Name(int reason)
{
    return reason == SIGHUP ? "SIGHUP" : reason == SIGTERM ? "SIGTERM" : "Lost output";
}

static void Process_CLI()
{
    char in_str[INPUT_LINE_SIZE];
    Log_Str(LOG_TERSE, "\nType h or ? for help\n\n");
    cmd_mode = cli_cmd_mode;
    while (!exit_program) {
        if (Con_Stop_Reason() != 0) {
            End_Session(Stop_Name(Con_Stop_Reason()), false);
            break;
        }
        if (cmd_file != nullptr) {
            if (Cmd_File_Stopped()) continue;
            Get_Cmd_File_Input(in_str);
        } else if (!Get_CLI_Input(in_str)) {
            int reason = Con_Stop_Reason();
            End_Session(reason != 0 ? Stop_Name(reason) : "End of input", true);
            break;
        }
        Run_Line(in_str);
    }
    if (cmd_file != nullptr) Close_Cmd_File();
}

// 0: nothing failed; 1: a command failed; 2: a signal or lost output ended it.
int Torvex_Main(int argc, char **argv)
{
    if (argc > 1 && Show_Usage_Or_Version(argv[1])) return 0; // before anything else runs
    Con_Init();
    Con_Set_End_At_Once(Release_At_Once);
    Log_Str(LOG_ALWAYS, signon_str_ptr);
    Delete_Temp_Files();
    snprintf(prompt_str, sizeof prompt_str, "%s", default_prompt_str);
    Reset_Flash_Table_Images();
    Process_Environment();
    Process_Invoke_Line(argc, argv);
    Process_CLI();
    Release_Port();
    Delete_Temp_Files();
    Log_Str(LOG_ALWAYS, signoff_str_ptr);
    Check_Output();
    Con_Restore();
    return Con_Stop_Reason() != 0 ? 2 : command_failed ? 1 : 0;
}
