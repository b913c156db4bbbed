// Progress lines. A line rewritten with a carriage return suits a terminal
// but turns a log into one endless line, so into a file or a pipe only whole
// lines go, one per finished step or tenth of the run.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "flashu.h"

constexpr int PROGRESS_LINE_SIZE = 200;
constexpr int PROGRESS_FEW_STEPS = 10;
constexpr int DEFAULT_COLUMNS = 80;

int progress_columns = PROGRESS_ASK;

enum SHARE_FORM { SHARE_NONE, SHARE_SHORT, SHARE_FULL };

static struct {
    int columns; // 0: not a terminal
    DWORD whole, steps;
    char label[40];
    char text[PROGRESS_LINE_SIZE]; // the latest text, trailing blanks dropped
    DWORD done;
    bool written;        // a log has had the latest line
    unsigned last_tenth; // tenths of the whole that the log's last line showed
    size_t shown_len;    // what the terminal's line holds now
} progress;

static int Stdout_Columns()
{
    if (progress_columns != PROGRESS_ASK) return progress_columns;
    if (!isatty(STDOUT_FILENO)) return 0;
    struct winsize ws;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return DEFAULT_COLUMNS;
}

void Progress_Begin(DWORD whole, DWORD steps, const char *label)
{
    progress.columns = Stdout_Columns();
    progress.whole = whole;
    progress.steps = steps;
    snprintf(progress.label, sizeof progress.label, "%s", label ? label : "");
    progress.text[0] = '\0';
    progress.done = 0;
    progress.written = true;
    progress.last_tenth = 0;
    progress.shown_len = 0;
}

static unsigned Percent()
{
    if (progress.whole == 0) return 0;
    unsigned long long p = (unsigned long long)progress.done * 100 / progress.whole;
    return p > 100 ? 100 : (unsigned)p;
}

// The latest text with the share of the whole appended; returns its length.
static size_t Compose(char *line, size_t size, SHARE_FORM form)
{
    int n;
    if (progress.whole == 0 || form == SHARE_NONE)
        n = snprintf(line, size, "%s", progress.text);
    else if (form == SHARE_SHORT)
        n = snprintf(line, size, "%s (%u%%)", progress.text, Percent());
    else if (progress.label[0])
        n = snprintf(line, size, "%s (%u%% of %s)", progress.text, Percent(), progress.label);
    else
        n = snprintf(line, size, "%s of %" PRIu32 " (%u%%)", progress.text, progress.whole,
                     Percent());
    return n < 0 ? 0 : (size_t)n < size ? (size_t)n : size - 1;
}

// A line that wraps cannot be rewritten in place: the share shrinks or goes
// to keep it within the width, and blanks cover what a longer line left.
static void Show_On_Terminal()
{
    char line[PROGRESS_LINE_SIZE];
    size_t width = (size_t)progress.columns - 1, len = Compose(line, sizeof line, SHARE_FULL);
    if (len > width) len = Compose(line, sizeof line, SHARE_SHORT);
    if (len > width) len = Compose(line, sizeof line, SHARE_NONE);
    size_t end = len;
    while (end < progress.shown_len && end + 1 < sizeof line) line[end++] = ' ';
    line[end] = '\0';
    progress.shown_len = len;
    Log_Fmt(LOG_NORMAL, "\r%s", line);
}

static void Write_Line()
{
    char line[PROGRESS_LINE_SIZE];
    Compose(line, sizeof line, SHARE_FULL);
    Log_Fmt(LOG_NORMAL, "%s\n", line);
    progress.written = true;
    progress.last_tenth = Percent() / 10;
}

void Progress_Show(DWORD done, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(progress.text, sizeof progress.text, fmt, ap);
    va_end(ap);
    size_t len = strlen(progress.text);
    while (len > 0 && progress.text[len - 1] == ' ') progress.text[--len] = '\0';
    progress.done = done;
    progress.written = false;
    if (progress.columns > 0) Show_On_Terminal();
}

void Progress_Step_Done(bool end_line)
{
    if (progress.columns > 0) {
        if (end_line) {
            Log_Str(LOG_NORMAL, "\n");
            progress.shown_len = 0;
        }
        return;
    }
    if (progress.written) return;
    bool few = progress.steps > 0 && progress.steps <= PROGRESS_FEW_STEPS;
    if (few || (progress.whole > 0 && Percent() / 10 > progress.last_tenth)) Write_Line();
}

void Progress_End()
{
    if (progress.columns > 0) {
        Log_Str(LOG_NORMAL, "\n");
        progress.shown_len = 0;
    } else if (!progress.written) {
        Write_Line();
    }
}
