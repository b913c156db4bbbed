// Input line parsing: a line is upper-cased, cut into command segments at ";"
// (a "//" ends it), each segment into words, each word into name and value.
#include <cctype>
#include <cstring>

#include "CONIO.h"
#include "flashu.h"

constexpr int MAX_CMD_WORD_LEN = 75; // longest word whose ".FLC" path fits 80 characters

enum LINE_FIT { LINE_FITS, TOO_MANY_SEGMENTS, SEGMENT_TOO_LONG };

static void Upper_Case(char *s)
{
    for (; *s != '\0'; s++) *s = (char)toupper((unsigned char)*s);
}

// Length of the escape sequence a cursor or function key sends (ESC [ ... final
// or ESC O x), 1 for a lone ESC.
static size_t Escape_Length(const char *p)
{
    if (p[1] == 'O' && p[2] != '\0') return 3;
    if (p[1] != '[') return 1;
    size_t n = 2;
    while (p[n] >= 0x20 && p[n] <= 0x3F) n++; // parameters and intermediates
    return p[n] >= 0x40 && p[n] <= 0x7E ? n + 1 : n;
}

void Drop_Control_Chars(char *line)
{
    char *out = line;
    for (const char *p = line; *p != '\0';) {
        unsigned char c = (unsigned char)*p;
        if (c == 0x1B) {
            p += Escape_Length(p);
        } else {
            if (c == '\t')
                *out++ = ' ';
            else if (c >= 0x20 && c != 0x7F)
                *out++ = (char)c;
            p++;
        }
    }
    *out = '\0';
}

// Parse_Input_Line with a verdict on whether the line fits the line array.
static LINE_FIT Split_Segments(char *in_str_ptr, WORD *number_args_ptr, ARG_STRUCT *arg_array_ptr)
{
    Upper_Case(in_str_ptr);
    Log_Str(LOG_ARG, "Input line = '");
    Log_Str(LOG_ARG, in_str_ptr);
    Log_Str(LOG_ARG, "'\n");
    memset(arg_array_ptr, 0, sizeof(ARG_ARRAY_STRUCT));
    WORD seg = 0;
    size_t pos = 0;
    LINE_FIT fit = LINE_FITS;
    for (const char *p = in_str_ptr; *p != '\0'; p++) {
        if (p[0] == '/' && p[1] == '/') break;
        if (*p == ';') {
            if (seg + 1 >= MAX_ARGS) {
                fit = TOO_MANY_SEGMENTS;
                break;
            }
            seg++;
            pos = 0;
        } else if (pos + 1 >= ARG_STR_SIZE) {
            fit = SEGMENT_TOO_LONG;
            break;
        } else {
            arg_array_ptr[seg].arg_str[pos++] = *p;
        }
    }
    *number_args_ptr = (WORD)(seg + 1);
    return fit;
}

static void Trace_Segments(WORD number_args, const ARG_STRUCT *arg_array_ptr)
{
    Log_Fmt(LOG_ARG, "Input #args = %u\n", number_args);
    for (WORD i = 0; i < number_args; i++) {
        if (arg_array_ptr[i].arg_str[0] != '\0')
            Log_Fmt(LOG_ARG, "Input arg #%u = '%s'\n", i, arg_array_ptr[i].arg_str);
    }
}

// A line that does not fit is cut at the first segment or character too many.
void Parse_Input_Line(char *in_str_ptr, WORD *number_args_ptr, ARG_STRUCT *arg_array_ptr)
{
    Split_Segments(in_str_ptr, number_args_ptr, arg_array_ptr);
    Trace_Segments(*number_args_ptr, arg_array_ptr);
}

static void Split_Name_Value(ARG_STRUCT *arg)
{
    const char *sep = strpbrk(arg->arg_str, "=+");
    if (sep == nullptr) {
        snprintf(arg->name_str, sizeof arg->name_str, "%s", arg->arg_str);
        return;
    }
    size_t name_len = (size_t)(sep - arg->arg_str);
    memcpy(arg->name_str, arg->arg_str, name_len);
    arg->name_str[name_len] = '\0';
    snprintf(arg->value_str, sizeof arg->value_str, "%s", sep + 1);
}

void Parse_Command_Line(char *in_str_ptr, WORD *number_args_ptr, ARG_STRUCT *arg_array_ptr)
{
    Log_Fmt(LOG_ARG, "Cmd input = '%s'\n", in_str_ptr);
    memset(arg_array_ptr, 0, sizeof(ARG_ARRAY_STRUCT));
    *number_args_ptr = 0;
    if (in_str_ptr[0] == '\0') return;
    WORD count = 0;
    const char *p = in_str_ptr;
    while (count < MAX_ARGS) {
        while (*p != '\0' && isspace((unsigned char)*p)) p++;
        if (*p == '\0') break;
        size_t len = 0;
        while (p[len] != '\0' && !isspace((unsigned char)p[len])) len++;
        if (len >= ARG_STR_SIZE) len = ARG_STR_SIZE - 1; // a segment never holds more
        memcpy(arg_array_ptr[count].arg_str, p, len);
        p += len;
        while (*p != '\0' && !isspace((unsigned char)*p)) p++;
        count++;
    }
    // Only white space gives the word scan's end-of-input result, traced as
    // it is; its entries stay empty and unsplit.
    *number_args_ptr = count == 0 ? (WORD)0xFFFF : count;
    Log_Fmt(LOG_ARG, "Cmd #args = %u\n", *number_args_ptr);
    if (count == 0) return;
    for (WORD i = 0; i < count; i++) {
        Split_Name_Value(&arg_array_ptr[i]);
        Log_Fmt(LOG_ARG, "Cmd arg #%u = '%s', name = '%s', value = '%s'\n", i,
                arg_array_ptr[i].arg_str, arg_array_ptr[i].name_str, arg_array_ptr[i].value_str);
    }
}

// The first word of a segment is always looked up and may become a command
// file path (word + ".FLC"), so it must leave room for that.
static bool First_Words_Fit(WORD number_args, const ARG_STRUCT *arg_array_ptr)
{
    for (WORD i = 0; i < number_args; i++) {
        const char *p = arg_array_ptr[i].arg_str;
        while (*p != '\0' && isspace((unsigned char)*p)) p++;
        size_t len = 0;
        while (p[len] != '\0' && !isspace((unsigned char)p[len]) && p[len] != '=' && p[len] != '+')
            len++;
        if (len > MAX_CMD_WORD_LEN) return false;
    }
    return true;
}

static bool Line_Is_Unfit(LINE_FIT fit, WORD number_args, const ARG_STRUCT *arg_array_ptr)
{
    if (fit == TOO_MANY_SEGMENTS) {
        Log_Fmt(LOG_ALWAYS, "More than %d commands in one line, line ignored!\n", MAX_ARGS);
        return true;
    }
    if (fit == SEGMENT_TOO_LONG) {
        Log_Fmt(LOG_ALWAYS, "Command longer than %d characters, line ignored!\n", ARG_STR_SIZE - 1);
        return true;
    }
    if (!First_Words_Fit(number_args, arg_array_ptr)) {
        Log_Fmt(LOG_ALWAYS, "Command name longer than %d characters, line ignored!\n",
                MAX_CMD_WORD_LEN);
        return true;
    }
    return false;
}

static bool Refuse_Unfit_Line(LINE_FIT fit, WORD number_args, const ARG_STRUCT *arg_array_ptr)
{
    if (!Line_Is_Unfit(fit, number_args, arg_array_ptr)) return false;
    command_failed = 1;
    return true;
}

// One line naming the commands a failure (or the session's end) keeps from
// running, each as typed but upper case, trimmed.
static void Report_Not_Run(const ARG_STRUCT *line_array, WORD from, WORD number_segments)
{
    bool any = false;
    for (WORD i = from; i < number_segments; i++) {
        const char *seg = line_array[i].arg_str + strspn(line_array[i].arg_str, " \t");
        int len = (int)strlen(seg);
        while (len > 0 && isspace((unsigned char)seg[len - 1])) len--;
        if (len == 0) continue;
        Log_Str(LOG_ALWAYS, any ? " ; " : "Not run: ");
        Log_Fmt(LOG_ALWAYS, "%.*s", len, seg);
        any = true;
    }
    if (any) Log_Str(LOG_ALWAYS, "\n");
}

void Process_Input_Line(char *in_str_ptr)
{
    ARG_ARRAY_STRUCT line_array;
    ARG_ARRAY_STRUCT word_array;
    WORD number_segments = 0;
    if (in_str_ptr[0] == '\0') return;
    LINE_FIT fit = Split_Segments(in_str_ptr, &number_segments, line_array);
    if (Refuse_Unfit_Line(fit, number_segments, line_array)) return;
    Trace_Segments(number_segments, line_array);
    Log_Str(LOG_TERSE, "\n");
    for (WORD i = 0; i < number_segments; i++) {
        WORD number_words = 0;
        WORD status = 0;
        Parse_Command_Line(line_array[i].arg_str, &number_words, word_array);
        Execute_Command_Array(number_words, word_array, &status);
        bool line_ends = status != 0 || Con_Stop_Reason() != 0;
        if (status != 0) command_failed = 1;
        if (line_ends) Report_Not_Run(line_array, (WORD)(i + 1), number_segments);
        Log_Str(LOG_TERSE, "\n");
        if (line_ends) break;
    }
}
