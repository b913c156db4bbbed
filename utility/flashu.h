// The flash utility's own interfaces between its subsystems. Each section
// names the source file that implements it.
#ifndef FLASHU_H
#define FLASHU_H

#include "FLCOMMON.h"

// ---- input sources (flashu_main.cpp) ---------------------------------------
// The command file named last (opened by the command-file command) and its
// upper-cased path, shown in the echo of each of its lines.
extern FILE *cmd_file;
extern char cmd_filepath_str[TEXT_FIELD_SIZE];

// ---- argument records (flashu_parse.cpp) ---------------------------------
constexpr int MAX_ARGS = 20;
constexpr int ARG_STR_SIZE = 80;
constexpr int INPUT_LINE_SIZE = 255;

struct ARG_STRUCT {
    char arg_str[ARG_STR_SIZE];
    char name_str[ARG_STR_SIZE];
    char value_str[ARG_STR_SIZE];
};
typedef ARG_STRUCT ARG_ARRAY_STRUCT[MAX_ARGS];

void Process_Input_Line(char *in_str_ptr);
// Cleans a line typed at the prompt: a tab becomes a blank, other control
// characters are dropped, and so is a cursor or function key's escape sequence.
void Drop_Control_Chars(char *line);
void Parse_Input_Line(char *in_str_ptr, WORD *number_args_ptr, ARG_STRUCT *arg_array_ptr);
void Parse_Command_Line(char *in_str_ptr, WORD *number_args_ptr, ARG_STRUCT *arg_array_ptr);

// ---- dispatch and options (flashu_cmd.cpp, flashu_options.cpp) ----------------
void Execute_Command_Array(WORD number_args, ARG_STRUCT *arg_array_ptr, WORD *status_ptr);
void Execute_Command(WORD user_command, WORD number_args, ARG_STRUCT *arg_array_ptr,
                     WORD *status_ptr);
void Execute_Option(WORD user_option, const char *value_str_ptr, WORD *status_ptr);
bool File_Found(const char *path);

// ---- user files (userfile.cpp) -----------------------------------------------
// Typed names are upper case; each path component missing as typed is matched
// case-insensitively (first match in sorted order). Resolve_User_Path writes
// the real path of an existing file or directory; false when none matches or
// it does not fit. Open_User_File opens the resolved file (only a regular file
// for reading); for "w"/"a" modes a missing last component is created as typed.
bool Resolve_User_Path(const char *typed, char *out, size_t out_size);
FILE *Open_User_File(const char *typed, const char *mode);

// ---- debug commands (flashu_debug.cpp) ------------------------------------
// Carries out one debug command (id with its 0x400 bit); the frame and error
// tail stay with Execute_Command. first_arg is the name of the first word after
// the command word; rest/rest_count are the words after that.
void Execute_Debug_Command(WORD user_command, const char *first_arg, WORD rest_count,
                           ARG_STRUCT *rest, WORD *status_ptr);

// ---- link set-up and shutdown (flashu_link.cpp) -----------------------------
void Init_Host_Target(WORD *status_ptr);
void Synch_Host_Target_Link(WORD *status_ptr);
void Change_Link_Baud(WORD *status_ptr);
void Shutdown_Host_Target(WORD *status_ptr);
// After a command: when the port has hung up, closes it and takes the target off-line.
void Drop_Lost_Link();
// Set by a shutdown once its table write is done, whatever follows.
extern BYTE tables_written_at_shutdown;

// ---- echo test and terminal (flashu_term.cpp) -------------------------------
void Echo_Data(WORD size, DWORD count, WORD *status_ptr);
void Emulate_Terminal(WORD *status_ptr);

// ---- flash tables and directory (flashu_tables.cpp, flashu_dir.cpp) ----------
void Init_Device_Map_Table();
void Init_Flash_Tables();
bool Flash_Tables_Changed();
bool Flash_Tables_Known(); // read from the board or rebuilt
void Read_Flash_Tables(WORD *status_ptr);
void Write_Flash_Tables(WORD *status_ptr);
WORD Find_Alloc_Dir_Entry(const char *prog_name_str_ptr);
WORD Find_Free_Dir_Entry();
void Add_Directory_Entry(WORD dir_index);
void Delete_Dir_Entry(WORD *status_ptr);
void Set_Flash_Boot(WORD *status_ptr);
void Clear_Flash_Boot();
// Option hooks that reach the tables: the system name into directory entry 0,
// the start vector into the named program's entry.
void Set_System_Name_Entry(const char *name);
void Set_Program_Vector_Entry(WORD *status_ptr);

// ---- flash block operations (flashu_blocks.cpp) -------------------------
DWORD Lookup_User_Block_Addr(WORD dev_index, DWORD start_find_addr, DWORD find_size);
bool Segment_In_Device_Block(WORD dev_index, DWORD start_find_addr, DWORD find_size);
WORD Lookup_Device_Map_Index(DWORD start_find_addr, DWORD find_size);
// The physical flash bytes of block dev_index that the range [first, last]
// (in a program's address space, as the download places it) would write.
bool Block_Phys_Range(WORD dev_index, DWORD first, DWORD last, DWORD *phys_first, DWORD *phys_last);
void Clear_Flash_Block(WORD dev_index, WORD *status_ptr);
void Save_Flash_Block(WORD dev_index, WORD *status_ptr);
void Program_Flash_Block(WORD dev_index, WORD *status_ptr);
// Records a reprogramming of the block (date and count) in its device map entry.
void Stamp_Flash_Block(WORD dev_index);

// ---- program files (flashu_hexfile.cpp, flashu_binfile.cpp) -------------------
void Process_Program_File(WORD *status_ptr);
void Delete_Temp_Files();
// For an end at once (a second signal): unlinks this run's files, nothing else.
void Unlink_Own_Temp_Files_At_Once();

// ---- programming pipeline (flashu_program.cpp) ------------------------------
void Program_Flash_Memory(WORD *status_ptr);
void Erase_All_Flash_Memory(WORD *status_ptr);

// ---- progress lines (flashu_progress.cpp) -------------------------------------
// A run of progress lines (hex read, download, echo test) printed at NORMAL.
// On a terminal the line is rewritten in place and shows the share done of
// the whole; elsewhere nothing is rewritten: a step's line (a block, a
// segment, a pass) is written out whole, one per step when at most ten steps
// are known to come, else one per tenth of the whole, so a log reads line by line.
// whole 0: no share shown; steps 0: not known; label names the whole, as in
// "(58% of file)"; nullptr gives "of 30000 (58%)".
void Progress_Begin(DWORD whole, DWORD steps, const char *label);
// The line as it stands: text (its trailing blanks are dropped) and done of the whole.
void Progress_Show(DWORD done, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// A step is complete; on a terminal end_line keeps its line on the screen.
void Progress_Step_Done(bool end_line);
// The run has ended: the terminal's line ends, a log gets the last line it has not had.
void Progress_End();
// Columns of the terminal standard output is, 0 when it is none;
// PROGRESS_ASK (the start value) asks the system at each run's start.
constexpr int PROGRESS_ASK = -1;
extern int progress_columns;

// ---- displays (flashu_help.cpp, flashu_display.cpp) --------------------------
void Display_Command_Info();
void Display_Debug_Info();
// Prints the usage or the version when the program's first argument asks for
// one (-h, --help, -V, --version); false for any other argument.
bool Show_Usage_Or_Version(const char *first_arg);
void Display_Options();
void Display_System_Table();
void Display_Status();
void Display_Device_Map();
void Display_Directory();
// Shared by the reports: count runs of the U+2500 rule character, each after
// its gap of blanks, then a line end; and a "label = " cell tbl_tab wide.
void Print_Rule_Line(const int *runs, const int *gaps, int count);
void Print_Label(const char *label);
void Print_Text_Row(const char *label, const char *text);

#endif
