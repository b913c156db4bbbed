// Bringing the target monitor on-line and off-line: the init exchange with
// the fall-back to 9600 baud, the baud change, and the shutdown that writes
// the changed flash tables first.
#include "COMMS.h"
#include "FLDATA.h"
#include "HCMDFMT.h"
#include "MSG.h"
#include "MYTIME.h"
#include "flashu.h"

BYTE link_up = 0;
BYTE tables_written_at_shutdown = 0;
WORD target_prog_id;
WORD target_prog_version;
DWORD boot_tbl_addr;

static const DWORD FALLBACK_BAUD_RATE = 9600;
static const DWORD BAUD_CHANGE_PAUSE_MS = 20;

static bool Open_Link(DWORD rate, WORD *status_ptr)
{
    *status_ptr = E_OK;
    Init_Message_Link(comm_port, rate, status_ptr);
    if (*status_ptr == E_OK) return true;
    Report_Once(status_ptr);
    return false;
}

static bool Init_Exchange(WORD *status_ptr)
{
    *status_ptr = E_OK;
    Init_Command(&target_prog_id, &target_prog_version, &boot_tbl_addr, status_ptr);
    return *status_ptr == E_OK;
}

// A failed exchange after the fall-back is reported with its advice line.
static bool Init_Exchange_Or_Advise(const char *oper_str, const char *advice_str, WORD *status_ptr)
{
    if (Init_Exchange(status_ptr)) return true;
    if (*status_ptr != E_REPORTED) Process_Error(*status_ptr, oper_str);
    *status_ptr = E_REPORTED;
    Log_Str(LOG_ALWAYS, advice_str);
    return false;
}

void Synch_Host_Target_Link(WORD *status_ptr)
{
    char port_str[TEXT_FIELD_SIZE], baud_str[TEXT_FIELD_SIZE];
    Id_To_Str(port_str, comm_port, comm_port_lut);
    Id_To_Str(baud_str, baud_rate, baud_rate_lut);
    Log_Fmt(LOG_TERSE, "Establish link to target system on %s at %s baud ...\n", port_str,
            baud_str);
    if (!Open_Link(baud_rate, status_ptr)) return;
    // The board may still run at 9600 from reset: the first try stays silent.
    if (Init_Exchange(status_ptr)) return;

    Log_Fmt(LOG_VERBOSE, "Re-synch with target system at %" PRIu32 " baud ...\n",
            FALLBACK_BAUD_RATE);
    if (!Open_Link(FALLBACK_BAUD_RATE, status_ptr)) return;
    if (!Init_Exchange_Or_Advise("Initialize host/target comms",
                                 "Reset target system and perform init command again\n",
                                 status_ptr))
        return;
    if (baud_rate == FALLBACK_BAUD_RATE) return;

    Change_Link_Baud(status_ptr);
    if (*status_ptr != E_OK) return;
    if (!Open_Link(baud_rate, status_ptr)) return;
    Init_Exchange_Or_Advise("Change host/target baud",
                            "Reset target system, lower baud rate, and perform init command "
                            "again\n",
                            status_ptr);
}

void Change_Link_Baud(WORD *status_ptr)
{
    char baud_str[TEXT_FIELD_SIZE];
    Id_To_Str(baud_str, baud_rate, baud_rate_lut);
    Log_Fmt(LOG_VERBOSE, "Change host/target baud to %s ...\n", baud_str);
    Change_Baud(baud_rate, status_ptr);
    if (*status_ptr != E_OK) {
        Report_Once(status_ptr);
        return;
    }
    delay(BAUD_CHANGE_PAUSE_MS);
    Log_Str(LOG_VERBOSE, "Change baud OK\n");
}

// A second init re-reads the tables from the board, so table changes not yet
// written (the directory entries of programs just stored, a new boot program)
// would be thrown away while their programs stay in flash. Ask first, as abort
// does; declining leaves everything as it is.
static bool Reinit_Confirmed(WORD *status_ptr)
{
    if (!link_up || !Flash_Tables_Changed()) return true;
    if (User_Confirmed("Tables in flash memory require updating.  Initialize anyway?", false))
        return true;
    *status_ptr = E_REPORTED;
    return false;
}

// Tables half read must never go back to the board: without them the link
// is of no use, so it goes down until an init reads them.
static void Take_Link_Down()
{
    WORD status = E_OK;
    Shutdown_Message_Link(&status);
    link_up = 0;
    Log_Str(LOG_ALWAYS, "Flash tables not read: link taken down, perform init command again\n");
}

void Init_Host_Target(WORD *status_ptr)
{
    if (comm_port == NO_PORT) {
        Log_Str(LOG_TERSE, "Target comms port not specified!\n");
        *status_ptr = E_REPORTED;
        return;
    }
    if (!Reinit_Confirmed(status_ptr)) return;
    Log_Str(LOG_VERBOSE, "Start initialization ...\n");
    Synch_Host_Target_Link(status_ptr);
    if (*status_ptr != E_OK) {
        Report_Once(status_ptr);
        return;
    }
    Log_Fmt(LOG_NORMAL, "Target system on-line (id = %u, version = %hX.%02hX)\n", target_prog_id,
            static_cast<unsigned short>(target_prog_version >> 8),
            static_cast<unsigned short>(target_prog_version & 0xFF));
    link_up = 1;

    Read_Flash_Tables(status_ptr);
    if (*status_ptr == E_BAD_TABLES) {
        Log_Str(LOG_ALWAYS, "Flash tables INVALID!\n");
        Log_Str(LOG_ALWAYS, "Performing reinittbls command ...\n");
        *status_ptr = E_REPORTED;
        Init_Flash_Tables();
        // A rebuild that failed leaves nothing that may be written back at exit.
        if (!Flash_Tables_Known()) {
            Take_Link_Down();
            return;
        }
    } else if (*status_ptr != E_OK) {
        Report_Once(status_ptr);
        Take_Link_Down();
        return;
    }
    Log_Str(LOG_TERSE, "Initialization complete\n");
}

void Shutdown_Host_Target(WORD *status_ptr)
{
    Log_Str(LOG_TERSE, "Start shutdown ...\n");
    tables_written_at_shutdown = 0;
    Write_Flash_Tables(status_ptr);
    if (*status_ptr != E_OK) {
        Report_Once(status_ptr);
        return;
    }
    tables_written_at_shutdown = 1;
    Log_Str(LOG_VERBOSE, "Shutdown communications link ...\n");
    Shutdown_Cmd_Resp(status_ptr);
    if (*status_ptr != E_OK) {
        Report_Once(status_ptr);
        return;
    }
    Shutdown_Message_Link(status_ptr);
    if (*status_ptr != E_OK) {
        Report_Once(status_ptr);
        return;
    }
    Log_Str(LOG_TERSE, "Shutdown complete\n");
    link_up = 0;
}

// A target port that hung up takes the target off-line: later target commands
// are refused at once instead of each failing on the dead port, and exit does
// not try to write the tables through it. The monitor cannot be told.
void Drop_Lost_Link()
{
    if (!Comms_Port_Lost()) return;
    WORD status;
    Shutdown_Message_Link(&status);
    if (!link_up) return;
    link_up = 0;
    Log_Str(LOG_ALWAYS, "Target system off-line: perform init command again\n");
    if (Flash_Tables_Changed()) Log_Str(LOG_ALWAYS, "Flash tables NOT written to the target!\n");
}
