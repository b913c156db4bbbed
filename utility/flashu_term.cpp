// Link echo test through the target's RAM work area, and a plain serial
// terminal on a second port.
#include <cstdio>
#include <cstring>

#include "COMMS.h"
#include "CONIO.h"
#include "FLDATA.h"
#include "HCMDFMT.h"
#include "MSG.h"
#include "flashu.h"

namespace {

const WORD ECHO_MAX_SIZE = 1024;
const DWORD ECHO_UNLIMITED = 0xFFFFFFFFUL;
const WORD VT_READ_SIZE = 79; // one piece, plus its terminating zero
const int VT_IDLE_WAIT_MS = 1;
const int VT_ERROR_WAIT_MS = 10;

BYTE echo_data[ECHO_MAX_SIZE];
BYTE rx_data[ECHO_MAX_SIZE];

// Reports a failure once; true when the status is one.
bool Report_Failure(WORD *status_ptr)
{
    Report_Once(status_ptr);
    return *status_ptr != 0;
}

struct ECHO_SCORE {
    DWORD mismatches;
    DWORD errors;
    WORD last_bad_status;
};

// One write and read-back of the pattern; the read's status is left in
// *status_ptr so that the test ends with the last read-back's outcome.
void Echo_Pass(DWORD pass, WORD echo_size, ECHO_SCORE *score, WORD *status_ptr)
{
    BYTE pattern = (BYTE)(pass & 0xFF);
    memset(echo_data, pattern, echo_size);
    // A short answer must not leave an earlier pass's bytes to compare equal.
    memset(rx_data, (BYTE)~pattern, echo_size);

    WORD write_status = 0;
    Write_RAM(ram_work_start_addr, echo_size, echo_data, &write_status);
    if (write_status != 0) {
        score->errors++;
        score->last_bad_status = write_status;
    }
    if (Comms_Port_Lost()) { // the test ends with this failure
        *status_ptr = write_status;
        return;
    }

    *status_ptr = 0;
    Read_RAM(ram_work_start_addr, echo_size, rx_data, status_ptr);
    if (*status_ptr != 0) {
        score->errors++;
        score->last_bad_status = *status_ptr;
    } else if (memcmp(rx_data, echo_data, echo_size) != 0) {
        score->mismatches++;
    }
}

void Show_Echo_Score(DWORD pass, const ECHO_SCORE *score)
{
    Progress_Show(pass + 1,
                  "%s ...  Count: %-7" PRIu32 "  Mismatch: %-4" PRIu32 "  Errors: %-4" PRIu32
                  "  Status: %04X  ",
                  "Write/Read", pass + 1, score->mismatches, score->errors, score->last_bad_status);
    Progress_Step_Done(false);
}

void Print_Port_Marker(WORD read_status)
{
    switch (read_status) {
    case E_OVERRUN: fputs("<<OR>>", stdout); break;
    case E_PARITY: fputs("<<PAR>>", stdout); break;
    case E_FRAMING: fputs("<<FR>>", stdout); break;
    case E_BREAK: fputs("<<BRK>>", stdout); break;
    default: printf("<<PQ=%04X>>", read_status); break;
    }
    fflush(stdout);
}

// Shows what the port has delivered, at most one piece. A port that keeps
// failing gets one marker per change of its status, not one per poll.
// Returns the number of bytes shown.
WORD Show_Port_Input(WORD *last_read_status)
{
    char piece[VT_READ_SIZE + 1];
    WORD read_status = 0;
    WORD count = Comms_Read(piece, VT_READ_SIZE, &read_status);
    if (count > VT_READ_SIZE) count = VT_READ_SIZE;
    if (count > 0) {
        piece[count] = '\0';
        printf("%s", piece);
        fflush(stdout);
    }
    // A hung-up port has had its line from the driver; a marker would only repeat it.
    bool failed = read_status != 0 && read_status != E_TIME && !Comms_Port_Lost();
    if (failed && read_status != *last_read_status) Print_Port_Marker(read_status);
    *last_read_status = read_status;
    return count;
}

// Keys go through the console layer even on a pipe: a byte an earlier key
// poll (echo's escape check) held back there is a key too, and must not wait
// for more input to arrive behind it.
void Run_Terminal_Loop()
{
    bool tty = Con_Is_Tty();
    if (tty) Con_Raw_Begin(); // keys one by one, unechoed
    WORD last_read_status = 0;
    for (;;) {
        WORD shown = Show_Port_Input(&last_read_status);
        // Nothing moved on the port: rest in the key wait for a short while.
        int wait_ms = shown != 0 ? 0 : last_read_status != 0 ? VT_ERROR_WAIT_MS : VT_IDLE_WAIT_MS;
        int key = Con_Wait_Key(wait_ms);
        if (key == CON_ESC || key == CON_EOF) break;
        if (key == CON_NO_KEY) continue;
        BYTE ch = (BYTE)key;
        WORD write_status = 0;
        Comms_Write_Char(&ch, &write_status); // typed-key failures are not shown
    }
    if (tty) Con_Raw_End();
}

// Puts the target link back on its port after the terminal had it.
void Reopen_Target_Port(WORD *status_ptr)
{
    if (!link_up) return;
    Log_Str(LOG_VERBOSE, "Init target comms port\n");
    WORD open_status = 0;
    Init_Comms_Link(comm_port, baud_rate, &open_status);
    if (Report_Failure(&open_status)) *status_ptr = E_REPORTED;
}

void Announce_VT_Session()
{
    char port_name[TEXT_FIELD_SIZE];
    char baud_name[TEXT_FIELD_SIZE];
    Id_To_Str(port_name, vt_comm_port, comm_port_lut);
    Id_To_Str(baud_name, vt_baud_rate, baud_rate_lut);
    Log_Fmt(LOG_TERSE, "Start VT session on %s at %s baud.  Type ESC to exit ...\n", port_name,
            baud_name);
    Log_Str(LOG_TERSE, "\n");
}

} // namespace

void Echo_Data(WORD size, DWORD count, WORD *status_ptr)
{
    *status_ptr = 0;
    Clear_Flash_Block(0, status_ptr);
    if (Report_Failure(status_ptr)) return;
    Clear_Comms_Status();

    WORD echo_size = size < ECHO_MAX_SIZE ? size : ECHO_MAX_SIZE;
    if (count == 0) {
        count = ECHO_UNLIMITED;
        Log_Fmt(LOG_NORMAL, "Echo %u bytes of data until ESC ...\n\n", echo_size);
    } else {
        Log_Fmt(LOG_NORMAL, "Echo %u bytes of data %" PRIu32 " time(s) ...\n\n", echo_size, count);
    }
    char passes[40];
    snprintf(passes, sizeof passes, "%" PRIu32 " %s", count, count == 1 ? "pass" : "passes");
    DWORD whole = count == ECHO_UNLIMITED ? 0 : count; // an unlimited test shows no share
    Progress_Begin(whole, whole, passes);

    ECHO_SCORE score = {0, 0, 0};
    DWORD pass = 0;
    while (pass < count) {
        Echo_Pass(pass, echo_size, &score, status_ptr);
        Show_Echo_Score(pass, &score);
        // Without a count only the user ends it: at the end of a script's
        // input nobody is left to press escape.
        if (User_Abort() || (count == ECHO_UNLIMITED && Con_Input_Ended()) || Comms_Port_Lost()) {
            Progress_End();
            return;
        }
        pass++;
        if (count == ECHO_UNLIMITED && pass == ECHO_UNLIMITED) pass = 0;
    }
    Progress_End();
}

void Emulate_Terminal(WORD *status_ptr)
{
    *status_ptr = 0;
    if (vt_comm_port == NO_PORT) {
        Log_Str(LOG_TERSE, "VT comms port not specified!\n");
        *status_ptr = E_REPORTED;
        return;
    }
    if (link_up) {
        Log_Str(LOG_VERBOSE, "Shutdown target communications link ...\n");
        Shutdown_Comms_Link(status_ptr);
        if (Report_Failure(status_ptr)) return;
    }

    Log_Str(LOG_VERBOSE, "Initialize VT session ...\n");
    Init_Comms_Link(vt_comm_port, vt_baud_rate, status_ptr);
    if (Report_Failure(status_ptr)) {
        // The target link stays usable even when the terminal port is not.
        Reopen_Target_Port(status_ptr);
        return;
    }

    Announce_VT_Session();
    Run_Terminal_Loop();

    Log_Str(LOG_TERSE, "\n\n");
    Log_Str(LOG_VERBOSE, "Shutdown VT communications link ...\n");
    Shutdown_Comms_Link(status_ptr);
    Report_Failure(status_ptr);
    Reopen_Target_Port(status_ptr);
    if (*status_ptr != 0) return;
    Log_Str(LOG_TERSE, "End terminal emulation\n");
}
