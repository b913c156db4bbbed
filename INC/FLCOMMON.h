// Definitions shared by the modules of the flash utility: log levels, the
// message buffer, error reporting, console helpers and the option settings.
#ifndef FLCOMMON_H
#define FLCOMMON_H

#include <cstdio>

#include "CTCOMMON.h"
#include "RMX_ERR.h"

// ---- log levels and debug flag words -------------------------------------
enum : WORD {
    LOG_ALWAYS = 0x000,
    LOG_TERSE = 0x001,
    LOG_NORMAL = 0x002,
    LOG_VERBOSE = 0x003,
    LOG_DEBUG = 0x004,
    LOG_ARG = 0x014,
    LOG_OHREC = 0x024,
    LOG_OHSEG = 0x044,
    LOG_OHSORT = 0x084,
    LOG_DOWNLOAD = 0x104,
};

constexpr int LOG_STR_SIZE = 255;
constexpr int TEXT_FIELD_SIZE = 80;

extern WORD log_level;
extern char log_str[LOG_STR_SIZE];

// Whether a message of this level is printed at the present log level.
bool Log_Shows(WORD this_log_level);
void Log_Str(WORD this_log_level, const char *log_str_ptr);
// Flushes standard output; one that cannot be written any more is dropped
// and the session asked to end (CON_STOP_OUTPUT_LOST).
void Check_Output();
// Set by every reported failure (Process_Error and each failed command
// line): the run's exit status is then 1.
extern BYTE command_failed;
// Formats into log_str (bounded) and prints it at the given level.
void Log_Fmt(WORD this_log_level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void Process_Error(WORD status, const char *oper_str_ptr);
// A failure not yet reported is reported as an "Operation" failure; any
// failure leaves the status at E_REPORTED so callers above stay quiet.
inline void Report_Once(WORD *status_ptr)
{
    if (*status_ptr == E_OK) return;
    if (*status_ptr != E_REPORTED) Process_Error(*status_ptr, "Operation");
    *status_ptr = E_REPORTED;
}

void Set_Date_Time_Str(char *date_time_str_ptr, DWORD date_time);
const char *Date_Time_Str_Ptr(DWORD date_time);
void Set_Log_Level_Str(char *log_level_str_ptr, WORD level);
const char *Log_Level_Str_Ptr(WORD level);

bool User_Abort();
bool User_Confirmed(const char *prompt_str_ptr, bool default_answer);
void Dump_Bytes(const BYTE *string, WORD count);
void Decode_Hex(char *lpDest, const char *lpSrc);

// ---- lookup tables ------------------------------------------------------
WORD Id_To_Index(DWORD lut_id, const LOOKUP_TBL_STRUCT *lut_ptr);
void Id_To_Str(char *return_str_ptr, DWORD lut_id, const LOOKUP_TBL_STRUCT *lut_ptr);
const char *Id_To_Str_Ptr(DWORD lut_id, const LOOKUP_TBL_STRUCT *lut_ptr);
DWORD Str_To_Id(const char *find_str_ptr, const LOOKUP_TBL_STRUCT *lut_ptr);
DWORD Sub_Str_To_Id(const char *find_str_ptr, const LOOKUP_TBL_STRUCT *lut_ptr);

extern const LOOKUP_TBL_STRUCT comm_port_lut[];
extern const LOOKUP_TBL_STRUCT baud_rate_lut[];
extern const LOOKUP_TBL_STRUCT board_id_lut[];
extern const LOOKUP_TBL_STRUCT flash_id_lut[];
extern const LOOKUP_TBL_STRUCT log_level_lut[];
extern const LOOKUP_TBL_STRUCT file_format_lut[];
extern const LOOKUP_TBL_STRUCT on_off_lut[];
extern const LOOKUP_TBL_STRUCT error_code_lut[];
extern const LOOKUP_TBL_STRUCT user_command_lut[];

// ---- port numbers -------------------------------------------------------
enum : WORD {
    NOCOMMS = 0x8000,
    NO_PORT = 0xFFFF,
};

// ---- option settings (start values in the options module) ---------------
extern WORD comm_port;
extern WORD vt_comm_port;
extern DWORD baud_rate;
extern DWORD vt_baud_rate;
extern char system_name_str[TEXT_FIELD_SIZE];
extern WORD board_id;
extern char filepath_str[TEXT_FIELD_SIZE];
extern WORD file_format; // 0 hex, 1 binary
extern DWORD program_addr;
extern char prog_name_str[TEXT_FIELD_SIZE];
extern char version_str[TEXT_FIELD_SIZE];
extern char group_name_str[TEXT_FIELD_SIZE];
extern WORD oh_vector_base;
extern DWORD oh_vector_offset;
extern WORD verify_flash; // 1: compare every programmed block with the work area

// ---- interpreter state ----------------------------------------------------
enum CMD_MODE {
    null_cmd_mode = 0,
    environ_cmd_mode = 1,
    invoke_cmd_mode = 2,
    cli_cmd_mode = 3,
};
extern CMD_MODE cmd_mode;
extern BYTE exit_program; // 0 runs on; EXIT_BY_ABORT when abort ended it
const BYTE EXIT_BY_ABORT = 2;
extern BYTE debug_cmds_enabled;
extern char prompt_str[TEXT_FIELD_SIZE];
extern WORD tbl_tab;

// ---- link state (owned by the link set-up module) ----------------------------
extern BYTE link_up;

#endif
