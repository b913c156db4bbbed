// The command dispatcher: words of a segment are run as options until the
// first command, which takes the rest of the words as its arguments.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

#include "CONIO.h"
#include "flashu.h"

BYTE debug_cmds_enabled = 0;

enum : WORD {
    CMD_OPTION_BIT = 0x100,
    CMD_ONLINE_BIT = 0x200,
    CMD_DEBUG_BIT = 0x400,

    CMD_INIT = 0x001,
    CMD_EXIT = 0x002,
    CMD_ABORT = 0x003,
    CMD_REINITTBLS = 0x204,
    CMD_PROGRAM = 0x205,
    CMD_SETBOOT = 0x206,
    CMD_NOBOOT = 0x207,
    CMD_DELETE = 0x208,
    CMD_ERASEALL = 0x61F,
    CMD_SHUTDOWN = 0x209,
    CMD_DOS = 0x00A,
    CMD_TERM = 0x00B,
    CMD_HELP = 0x00C,
    CMD_OPTIONS = 0x00D,
    CMD_DIR = 0x20E,
    CMD_MAP = 0x20F,
    CMD_CHECKHEX = 0x010,
    CMD_SYSTBL = 0x611,
    CMD_DEBUG = 0x012,
    CMD_READRAM = 0x613,
    CMD_COMPRAM = 0x619,
    CMD_CHGBAUD = 0x61E,
    CMD_STATUS = 0x420,
    CMD_CLRSTATUS = 0x421,
    CMD_CMD_FILE = 0x022,

    OPT_PORT = 0x101,
    OPT_VTPORT = 0x103,
    OPT_BOARD = 0x306,
    OPT_FILE = 0x107,
    OPT_NAME = 0x108,
};

bool File_Found(const char *path)
{
    FILE *f = Open_User_File(path, "r");
    if (f == nullptr) return false;
    fclose(f);
    return true;
}

static bool Is_Debug_Target_Command(WORD id)
{
    return (id >= CMD_READRAM && id <= CMD_CHGBAUD) || id == CMD_STATUS || id == CMD_CLRSTATUS;
}

// ---- a hint after an unknown word ---------------------------------------------------
enum { SUGGEST_MAX_EDITS = 2, SUGGEST_WORD_MAX = 16 };

// Edits (insert, delete, change, or swap of two neighbours) that turn a into b.
static int Edit_Distance(const char *a, size_t la, const char *b, size_t lb)
{
    int d[SUGGEST_WORD_MAX + 1][SUGGEST_WORD_MAX + 1];
    for (size_t i = 0; i <= la; i++) d[i][0] = (int)i;
    for (size_t j = 0; j <= lb; j++) d[0][j] = (int)j;
    for (size_t i = 1; i <= la; i++) {
        for (size_t j = 1; j <= lb; j++) {
            int best = std::min(d[i - 1][j], d[i][j - 1]) + 1;
            best = std::min(best, d[i - 1][j - 1] + (a[i - 1] != b[j - 1]));
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                best = std::min(best, d[i - 2][j - 2] + 1);
            d[i][j] = best;
        }
    }
    return d[la][lb];
}

// The nearest command or option word within two edits, and fewer edits than
// the typed word has characters (so a single letter suggests nothing); the
// first in table order on a tie. Debug words only once they are enabled.
static void Suggest_Word(const char *name)
{
    size_t len = strlen(name);
    if (len == 0 || len > SUGGEST_WORD_MAX) return;
    int best = (int)std::min<size_t>(SUGGEST_MAX_EDITS, len - 1) + 1;
    char best_word[SUGGEST_WORD_MAX + 1] = "";
    for (const LOOKUP_TBL_STRUCT *row = user_command_lut; row->str_ptr != nullptr; row++) {
        if ((row->id & CMD_DEBUG_BIT) && !debug_cmds_enabled) continue;
        for (const char *w = row->str_ptr; *w != '\0'; w += strspn(w, " ")) {
            size_t wl = strcspn(w, " ");
            int d = wl <= SUGGEST_WORD_MAX ? Edit_Distance(name, len, w, wl) : best;
            if (d < best) {
                best = d;
                memcpy(best_word, w, wl);
                best_word[wl] = '\0';
            }
            w += wl;
        }
    }
    if (best_word[0] != '\0') Log_Fmt(LOG_ALWAYS, "Did you mean %s?\n", best_word);
}

// A word that is no command or option may name a command file.
static WORD Command_File_Id(const char *name, WORD *status_ptr)
{
    char path[TEXT_FIELD_SIZE];
    int len = snprintf(path, sizeof path, "%s.FLC", name);
    if (len > 0 && (size_t)len < sizeof path && File_Found(path)) {
        // Only a file that exists becomes the path shown in the echo of the
        // current file's lines.
        memcpy(cmd_filepath_str, path, (size_t)len + 1);
        return CMD_CMD_FILE;
    }
    Log_Fmt(LOG_ALWAYS, "Invalid command/option %s!\n", name);
    Suggest_Word(name);
    *status_ptr = E_REPORTED;
    return 0;
}

static WORD Lookup_Word(const char *name, WORD *status_ptr)
{
    DWORD id = Sub_Str_To_Id(name, user_command_lut);
    if (id == 0xFFFFFFFF || ((id & CMD_DEBUG_BIT) && !debug_cmds_enabled))
        return Command_File_Id(name, status_ptr);
    if ((id & CMD_ONLINE_BIT) && !link_up) {
        Log_Str(LOG_ALWAYS, "Target system not on-line!\n");
        *status_ptr = E_REPORTED;
        return 0;
    }
    return (WORD)id;
}

void Execute_Command_Array(WORD number_args, ARG_STRUCT *arg_array_ptr, WORD *status_ptr)
{
    WORD count = number_args > MAX_ARGS ? MAX_ARGS : number_args;
    for (WORD i = 0; i < count; i++) {
        ARG_STRUCT *arg = &arg_array_ptr[i];
        if (arg->name_str[0] == '\0') {
            Log_Str(LOG_ALWAYS, "Command/option name not specified!\n");
            *status_ptr = E_REPORTED;
            return;
        }
        WORD lookup_status = 0;
        WORD id = Lookup_Word(arg->name_str, &lookup_status);
        if (lookup_status != 0) {
            *status_ptr = lookup_status;
            return;
        }
        if (!(id & CMD_OPTION_BIT)) {
            Execute_Command(id, (WORD)(count - i - 1), arg + 1, status_ptr);
            Report_Once(status_ptr);
            Drop_Lost_Link();
            return;
        }
        if (arg->value_str[0] == '\0') {
            Log_Fmt(LOG_ALWAYS, "Option %s value not specified!\n", arg->name_str);
            *status_ptr = E_REPORTED;
            return;
        }
        Execute_Option(id, arg->value_str, status_ptr);
        if (*status_ptr != 0) {
            Report_Once(status_ptr);
            return;
        }
    }
}

// ---- argument patterns ----------------------------------------------------------
struct CMD_ARGS {
    ARG_ARRAY_STRUCT words; // the words after the command word, zero-padded
    WORD count;
    const char *first; // name of the first word, "" when there is none
    ARG_STRUCT *rest;  // the words after the first one
    WORD rest_count;
};

static void Collect_Args(WORD number_args, const ARG_STRUCT *arg_array_ptr, CMD_ARGS *a)
{
    memset(a->words, 0, sizeof a->words);
    a->count = number_args > MAX_ARGS ? MAX_ARGS : number_args;
    if (a->count > 0) memcpy(a->words, arg_array_ptr, a->count * sizeof(ARG_STRUCT));
    a->first = a->words[0].name_str;
    a->rest = &a->words[1];
    a->rest_count = a->count > 0 ? (WORD)(a->count - 1) : 0;
}

// The first argument sets one option by position, the rest run as a segment.
static void Positional_Option(WORD option_id, CMD_ARGS *a, WORD *status_ptr)
{
    if (a->first[0] != '\0') {
        Execute_Option(option_id, a->first, status_ptr);
        if (*status_ptr != 0) return;
    }
    Execute_Command_Array(a->rest_count, a->rest, status_ptr);
}

// A command among the arguments (program app shutdown) may have taken the
// link down before the command's own action.
static bool Still_Online(WORD *status_ptr)
{
    if (*status_ptr != 0) return false;
    if (link_up) return true;
    Log_Str(LOG_ALWAYS, "Target system not on-line!\n");
    *status_ptr = E_REPORTED;
    return false;
}

static void Name_Argument(CMD_ARGS *a, WORD *status_ptr)
{
    if (a->first[0] != '\0') Execute_Option(OPT_NAME, a->first, status_ptr);
}

// ---- commands without a module of their own -----------------------------------------
static void Exit_Command(WORD *status_ptr)
{
    if (link_up) {
        Shutdown_Host_Target(status_ptr);
        if (*status_ptr != 0) return;
    }
    exit_program = 1;
}

static void Abort_Command()
{
    if (link_up && Flash_Tables_Changed() &&
        !User_Confirmed("Tables in flash memory require updating.  Abort anyway?", false))
        return;
    exit_program = EXIT_BY_ABORT; // the link is left as it is, whatever follows
}

// A session asked to end hangs the shell up and still waits for it (the
// deadline of the console layer bounds that).
static void Wait_For_Shell(pid_t pid)
{
    bool hung_up = false;
    int wstatus;
    while (waitpid(pid, &wstatus, WNOHANG) == 0) {
        if (Con_Stop_Reason() != 0 && !hung_up) hung_up = kill(pid, SIGHUP) == 0;
        usleep(20000);
    }
}

static void Dos_Command()
{
    Log_Str(LOG_ALWAYS, "Type EXIT to return to TORVEX program ...\n");
    const char *shell = getenv("SHELL");
    if (shell == nullptr || shell[0] == '\0') shell = "/bin/sh";
    fflush(stdout);
    Con_Restore();
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL); // TORVEX ignores it; the shell's programs must not
        execl(shell, shell, (char *)nullptr);
        _exit(127);
    }
    if (pid < 0) return;
    struct sigaction ignore {
    }, old_int{}, old_quit{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGINT, &ignore, &old_int);
    sigaction(SIGQUIT, &ignore, &old_quit);
    Wait_For_Shell(pid);
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGQUIT, &old_quit, nullptr);
}

static void Checkhex_Command(CMD_ARGS *a, WORD *status_ptr)
{
    Positional_Option(OPT_FILE, a, status_ptr);
    if (*status_ptr != 0) return;
    WORD saved_level = log_level;
    if (log_level <= LOG_DEBUG)
        log_level = LOG_OHSORT;
    else
        log_level = (WORD)((log_level & 0xFFF0) | LOG_OHSORT);
    Process_Program_File(status_ptr);
    log_level = saved_level;
    if (*status_ptr == 0) Delete_Temp_Files();
}

static void Debug_Command()
{
    if (debug_cmds_enabled) {
        Display_Debug_Info();
        return;
    }
    Log_Str(LOG_TERSE, "Debug commands ENABLED\n");
    debug_cmds_enabled = 1;
}

static void Command_File_Command()
{
    if (cmd_file != nullptr) fclose(cmd_file);
    cmd_file = Open_User_File(cmd_filepath_str, "r");
    Log_Fmt(LOG_NORMAL, "Process %s flash command file ...\n", cmd_filepath_str);
}

// Commands whose whole action is one call, with or without a status.
static bool Run_Simple_Command(WORD id, WORD *status_ptr)
{
    switch (id) {
    case CMD_SHUTDOWN: Shutdown_Host_Target(status_ptr); return true;
    case CMD_NOBOOT: Clear_Flash_Boot(); return true;
    case CMD_HELP: Display_Command_Info(); return true;
    case CMD_OPTIONS: Display_Options(); return true;
    case CMD_DIR: Display_Directory(); return true;
    case CMD_MAP: Display_Device_Map(); return true;
    case CMD_SYSTBL: Display_System_Table(); return true;
    case CMD_DOS: Dos_Command(); return true;
    case CMD_DEBUG: Debug_Command(); return true;
    case CMD_CMD_FILE: Command_File_Command(); return true;
    case CMD_ABORT: Abort_Command(); return true;
    case CMD_EXIT: Exit_Command(status_ptr); return true;
    default: return false;
    }
}

// Commands that take a positional option or a program name first.
static bool Run_Argument_Command(WORD id, CMD_ARGS *a, WORD *status_ptr)
{
    switch (id) {
    case CMD_INIT:
        Positional_Option(OPT_PORT, a, status_ptr);
        if (*status_ptr == 0) Init_Host_Target(status_ptr);
        return true;
    case CMD_TERM:
        Positional_Option(OPT_VTPORT, a, status_ptr);
        if (*status_ptr == 0) Emulate_Terminal(status_ptr);
        return true;
    case CMD_PROGRAM:
        Positional_Option(OPT_FILE, a, status_ptr);
        if (Still_Online(status_ptr)) Program_Flash_Memory(status_ptr);
        return true;
    case CMD_REINITTBLS:
        Positional_Option(OPT_BOARD, a, status_ptr);
        if (Still_Online(status_ptr)) Init_Flash_Tables();
        return true;
    case CMD_CHECKHEX: Checkhex_Command(a, status_ptr); return true;
    case CMD_SETBOOT:
        Name_Argument(a, status_ptr);
        if (*status_ptr == 0) Set_Flash_Boot(status_ptr);
        return true;
    case CMD_DELETE:
        Name_Argument(a, status_ptr);
        if (*status_ptr == 0) Delete_Dir_Entry(status_ptr);
        return true;
    case CMD_ERASEALL:
        Name_Argument(a, status_ptr);
        if (*status_ptr == 0) Erase_All_Flash_Memory(status_ptr);
        return true;
    default: return false;
    }
}

void Execute_Command(WORD user_command, WORD number_args, ARG_STRUCT *arg_array_ptr,
                     WORD *status_ptr)
{
    CMD_ARGS a;
    *status_ptr = 0;
    Collect_Args(number_args, arg_array_ptr, &a);
    if (Is_Debug_Target_Command(user_command)) {
        Execute_Debug_Command(user_command, a.first, a.rest_count, a.rest, status_ptr);
    } else if (!Run_Simple_Command(user_command, status_ptr) &&
               !Run_Argument_Command(user_command, &a, status_ptr)) {
        Log_Fmt(LOG_ALWAYS, "INTERNAL ERROR!  Unknown command id #%u\n", user_command);
        *status_ptr = E_REPORTED;
    }
    // The compare mismatch of compram reaches the word dispatcher unreported.
    if (user_command == CMD_COMPRAM && *status_ptr == E_COMPARE) return;
    Report_Once(status_ptr);
}
