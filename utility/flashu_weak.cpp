// TEMPORARY seam while the subsystems are being built in parallel: weak
// definitions that the real modules override at link time. Each owner deletes
// the entries it implements; the file goes away once all are real.
#include "flashu.h"

#define WEAK __attribute__((weak))

static void Not_Built(const char *what, WORD *status_ptr)
{
    Log_Fmt(LOG_ALWAYS, "%s is not built yet\n", what);
    if (status_ptr) *status_ptr = E_REPORTED;
}

WEAK BYTE link_up = 0;

WEAK void Init_Host_Target(WORD *s) { Not_Built("init", s); }
WEAK void Synch_Host_Target_Link(WORD *s) { Not_Built("link synch", s); }
WEAK void Change_Link_Baud(WORD *s) { Not_Built("baud change", s); }
WEAK void Shutdown_Host_Target(WORD *s) { Not_Built("shutdown", s); }
WEAK void Init_Device_Map_Table() {}
WEAK void Init_Flash_Tables() { Not_Built("reinittbls", nullptr); }
WEAK bool Flash_Tables_Changed() { return false; }
WEAK void Read_Flash_Tables(WORD *s) { Not_Built("table read", s); }
WEAK void Write_Flash_Tables(WORD *s) { Not_Built("table write", s); }
WEAK WORD Find_Alloc_Dir_Entry(const char *) { return 0xFFFF; }
WEAK WORD Find_Free_Dir_Entry() { return 0xFFFF; }
WEAK void Add_Directory_Entry(WORD) {}
WEAK void Delete_Dir_Entry(WORD *s) { Not_Built("delete", s); }
WEAK void Set_Flash_Boot(WORD *s) { Not_Built("setboot", s); }
WEAK void Clear_Flash_Boot() { Not_Built("noboot", nullptr); }
WEAK void Set_System_Name_Entry(const char *) {}
WEAK void Set_Program_Vector_Entry(WORD *) {}
WEAK DWORD Lookup_User_Block_Addr(WORD, DWORD, DWORD) { return 0xFFFFFFFF; }
WEAK bool Segment_In_Device_Block(WORD, DWORD, DWORD) { return false; }
WEAK WORD Lookup_Device_Map_Index(DWORD, DWORD) { return 0xFFFF; }
WEAK void Clear_Flash_Block(WORD, WORD *s) { Not_Built("block clear", s); }
WEAK void Save_Flash_Block(WORD, WORD *s) { Not_Built("block save", s); }
WEAK void Program_Flash_Block(WORD, WORD *s) { Not_Built("block program", s); }
WEAK void Delete_Temp_Files() {}
WEAK void Program_Flash_Memory(WORD *s) { Not_Built("program", s); }
WEAK void Erase_All_Flash_Memory(WORD *s) { Not_Built("eraseall", s); }
WEAK void Display_Command_Info() { Not_Built("help", nullptr); }
WEAK void Display_Debug_Info() { Not_Built("debug help", nullptr); }
WEAK void Display_Options() { Not_Built("options", nullptr); }
WEAK void Display_System_Table() { Not_Built("systbl", nullptr); }
WEAK void Display_Status() { Not_Built("status", nullptr); }
WEAK void Display_Device_Map() { Not_Built("map", nullptr); }
WEAK void Display_Directory() { Not_Built("dir", nullptr); }
