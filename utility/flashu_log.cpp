// Level-filtered output and error reporting.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <strings.h>
#include <fcntl.h>
#include <unistd.h>

#include "CONIO.h"
#include "FLCOMMON.h"

WORD log_level = LOG_NORMAL;
char log_str[LOG_STR_SIZE];
BYTE command_failed = 0;

static bool output_lost = false;

// Standard output that cannot be written (a closed pipe, a hung-up
// terminal) ends the session; what would still be printed goes nowhere.
void Check_Output()
{
    if (output_lost || (fflush(stdout) == 0 && !ferror(stdout))) return;
    if (errno == EAGAIN || errno == EINTR) {
        clearerr(stdout);
        return;
    }
    output_lost = true;
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) {
        dup2(null_fd, STDOUT_FILENO);
        close(null_fd);
    }
    clearerr(stdout);
    Con_Request_Stop(CON_STOP_OUTPUT_LOST);
}

bool Log_Shows(WORD this_log_level)
{
    if (this_log_level <= LOG_DEBUG) return this_log_level <= log_level;
    return (log_level & this_log_level) == this_log_level;
}

void Log_Str(WORD this_log_level, const char *log_str_ptr)
{
    if (Log_Shows(this_log_level) && !output_lost) {
        fputs(log_str_ptr, stdout);
        Check_Output();
    }
}

// A hidden message is not formatted at all: the hex reader logs every record.
void Log_Fmt(WORD this_log_level, const char *fmt, ...)
{
    if (!Log_Shows(this_log_level)) return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(log_str, sizeof log_str, fmt, ap);
    va_end(ap);
    Log_Str(this_log_level, log_str);
}

// ---- error codes ------------------------------------------------------------
// Searched from the top; the first row with a code wins.
const LOOKUP_TBL_STRUCT error_code_lut[] = {
    {E_REPORTED, "Error already reported"},
    {E_USER_ABORT, "User aborted command"},
    {E_SEG_LIMIT, "Hex file segment limit exceeded"},
    {E_SEG_EOF, "Premature EOF in segment file"},
    {E_BAD_TABLES, "Invalid flash tables"},
    {E_MSG_CHECKSUM, "Invalid message checksum"},
    {E_NOT_RESPONDING, "Target system not responding"},
    {E_INVALID_PARAM, "Invalid parameter"},
    {E_HEX_EOF, "Premature EOF in hex file"},
    {E_HEX_NUMERIC, "Invalid numeric in hex file"},
    {E_HEX_CHECKSUM, "Invalid checksum in hex file"},
    {E_TIME, "Target communications timeout"},
    {E_NOT_SUPPORTED, "Function not supported"},
    {E_INVALID_BUFFER, "Invalid buffer"},
    {E_LIST, "Invalid list"},
    {E_OVERRUN, "Data overrun error"},
    {E_PARITY, "Data parity error"},
    {E_FRAMING, "Data framing error"},
    {E_BREAK, "Break received"},
    {E_OPEN_COM, "Couldn't open COM"},
    {E_GET_STATE, "Failure GetCommState"},
    {E_SETUP_COMM, "Failure SetupComm"},
    {E_SET_STATE, "Failure SetCommState"},
    {E_PURGE, "Failure PurgeComm"},
    {E_WRITE_COMM, "Failure WriteComm"},
    {E_READ_COMM, "Failure ReadComm"},
    {E_CLOSE_COMM, "Failure CloseComm"},
    {E_FLASH_VPP, "Flash Vpp control error"},
    {E_FLASH_WRITE, "Flash write error"},
    {E_FLASH_RAM, "Flash write attempted to RAM"},
    {E_FLASH_UNERASED, "Flash write attempted to unerased data"},
    {E_FLASH_WRITE2, "Flash write error"},
    {E_BAD_WRITE_ADDR, "Invalid write RAM address"},
    {E_MEM, "Insufficient target memory"},
    {E_PARAM, "Invalid message parameter"},
    {0, nullptr},
};

void Process_Error(WORD status, const char *oper_str_ptr)
{
    char error_str[TEXT_FIELD_SIZE];
    if (status == E_OK) return;
    command_failed = 1;
    if (Id_To_Index(status, error_code_lut) == 0xFFFF)
        snprintf(error_str, sizeof error_str, "ERROR %04X", (unsigned)status);
    else
        Id_To_Str(error_str, status, error_code_lut);
    Log_Fmt(LOG_ALWAYS, "\n%s FAILED!  %s\n\n", oper_str_ptr, error_str);
}

// ---- date/time and level texts ---------------------------------------------
constexpr int DATE_TIME_STR_SIZE = 20;
constexpr int LOG_LEVEL_STR_SIZE = 40;

static char date_time_str[DATE_TIME_STR_SIZE];
static char log_level_str[LOG_LEVEL_STR_SIZE];

// Callers hand a buffer of at least 20 characters.
void Set_Date_Time_Str(char *date_time_str_ptr, DWORD date_time)
{
    if (date_time == 0) {
        snprintf(date_time_str_ptr, DATE_TIME_STR_SIZE, "-");
        return;
    }
    time_t t = (time_t)date_time;
    struct tm tm_buf;
    if (localtime_r(&t, &tm_buf) == nullptr) {
        snprintf(date_time_str_ptr, DATE_TIME_STR_SIZE, "-");
        return;
    }
    unsigned year = (unsigned)tm_buf.tm_year;
    if (year >= 100) year -= 100;
    snprintf(date_time_str_ptr, DATE_TIME_STR_SIZE, "%02u/%02u/%02u %02u:%02u",
             (unsigned)tm_buf.tm_mon + 1, (unsigned)tm_buf.tm_mday, year % 100,
             (unsigned)tm_buf.tm_hour, (unsigned)tm_buf.tm_min);
}

const char *Date_Time_Str_Ptr(DWORD date_time)
{
    Set_Date_Time_Str(date_time_str, date_time);
    return date_time_str;
}

// Callers hand a buffer of at least 40 characters.
void Set_Log_Level_Str(char *log_level_str_ptr, WORD level)
{
    static const char *const plain[] = {"???", "TERSE", "NORMAL", "VERBOSE", "DEBUG"};
    static const struct {
        WORD bits;
        const char *word;
    } flags[] = {
        {LOG_ARG, " ARG"},       {LOG_OHREC, " OHREC"},       {LOG_OHSEG, " OHSEG"},
        {LOG_OHSORT, " OHSORT"}, {LOG_DOWNLOAD, " DOWNLOAD"},
    };
    WORD low = level & 0x000F;
    snprintf(log_level_str_ptr, LOG_LEVEL_STR_SIZE, "%s", low <= 4 ? plain[low] : "???");
    if (low != LOG_DEBUG) return;
    for (const auto &f : flags) {
        if ((level & f.bits) == f.bits)
            strncat(log_level_str_ptr, f.word, LOG_LEVEL_STR_SIZE - 1 - strlen(log_level_str_ptr));
    }
}

const char *Log_Level_Str_Ptr(WORD level)
{
    Set_Log_Level_Str(log_level_str, level);
    return log_level_str;
}

// ---- console helpers ---------------------------------------------------------
// Ctrl-C and a session asked to end count as the escape key.
bool User_Abort()
{
    bool stop = Con_Take_Interrupt() || Con_Stop_Reason() != 0;
    if (!stop && !(Con_Kbhit() && Con_Getch() == CON_ESC)) return false;
    Log_Str(LOG_ALWAYS, "\n");
    return true;
}

static bool Is_Word(const char *s, const char *a, const char *b)
{
    return strcasecmp(s, a) == 0 || strcasecmp(s, b) == 0;
}

// A script answers with a whole line, so the question never eats part of the
// next command: y or yes is yes, n, no or escape is no, anything else (an
// empty line, the end of input) the default. The answer taken is shown.
static int Answer_From_Line(bool default_answer)
{
    char line[256];
    bool too_long = false;
    if (!Con_Read_Line(line, sizeof line, &too_long)) line[0] = '\0';
    const char *p = line + strspn(line, " \t");
    char word[256];
    size_t len = strlen(p);
    while (len > 0 && (p[len - 1] == ' ' || p[len - 1] == '\t')) len--;
    snprintf(word, sizeof word, "%.*s", (int)len, p);
    bool no = Is_Word(word, "n", "no") || word[0] == CON_ESC || Con_Take_Interrupt();
    bool yes = Is_Word(word, "y", "yes") || (!no && default_answer);
    Log_Str(LOG_ALWAYS, yes ? "y" : "n");
    return yes ? 'y' : 'n';
}

bool User_Confirmed(const char *prompt_str_ptr, bool default_answer)
{
    Log_Fmt(LOG_ALWAYS, "%s [%c]: ", prompt_str_ptr, default_answer ? 'y' : 'n');
    int key = Con_Is_Tty() ? Con_Getche() : Answer_From_Line(default_answer);
    Log_Str(LOG_ALWAYS, "\n");
    if (key == 'y' || key == 'Y') return true;
    if (key == 'n' || key == 'N' || key == CON_ESC) return false;
    return default_answer;
}

void Dump_Bytes(const BYTE *string, WORD count)
{
    char line[100];
    for (DWORD pos = 0; pos < count; pos += 16) {
        size_t n = 0;
        for (DWORD col = 0; col < 16; col++) {
            if (pos + col < count)
                n += snprintf(line + n, sizeof line - n, " %02X", string[pos + col]);
            else
                n += snprintf(line + n, sizeof line - n, "   ");
            if (col == 7) n += snprintf(line + n, sizeof line - n, "  ");
        }
        n += snprintf(line + n, sizeof line - n, "     ");
        for (DWORD col = 0; col < 16; col++) {
            char c = ' ';
            if (pos + col < count) {
                BYTE b = string[pos + col];
                c = (b >= 0x21 && b <= 0x7E) ? (char)b : '.';
            }
            line[n++] = c;
        }
        line[n++] = '\n';
        line[n] = '\0';
        fputs(line, stdout);
    }
    fflush(stdout);
}

static char Letter_Escape(char c)
{
    switch (c) {
    case 'n': return 10;
    case 't': return 9;
    case 'v': return 11;
    case 'b': return 8;
    case 'r': return 13;
    case 'f': return 12;
    case 'a': return 7;
    default: return c;
    }
}

// The output is never longer than the input (every escape shrinks), so a
// destination as large as the source string suffices.
void Decode_Hex(char *lpDest, const char *lpSrc)
{
    enum { PLAIN, ESCAPE, HEX } state = PLAIN;
    WORD accum = 0;
    for (; *lpSrc != '\0'; lpSrc++) {
        char c = *lpSrc;
        if (state == PLAIN) {
            if (c == '\\') {
                state = ESCAPE;
                accum = 0;
            } else
                *lpDest++ = c;
        } else if (state == ESCAPE) {
            if (c == 'x' || c == 'X') {
                state = HEX;
                continue;
            }
            *lpDest++ = (c == '\\') ? '\\' : Letter_Escape(c);
            state = PLAIN;
        } else {
            int digit = Hex_Digit_Value(c);
            if (digit >= 0) {
                accum = (WORD)((accum << 4) + digit);
                continue;
            }
            // The character that ends a hex escape is taken as plain input,
            // so "\x01\x02" gives two bytes.
            *lpDest++ = (char)(accum & 0xFF);
            if (c == '\\')
                accum = 0;
            else
                *lpDest++ = c;
            state = (c == '\\') ? ESCAPE : PLAIN;
        }
    }
    if (state == ESCAPE)
        *lpDest++ = '\\';
    else if (state == HEX)
        *lpDest++ = (char)(accum & 0xFF);
    *lpDest = '\0';
}
