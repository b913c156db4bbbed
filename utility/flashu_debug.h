// Debug commands: the argument variables they share and the argument reader
// with its position rules, exposed for the tests.
#ifndef FLASHU_DEBUG_H
#define FLASHU_DEBUG_H

#include "flashu.h"

// One read or write RAM request carries at most this many bytes, so it is
// also the size of the data buffer the debug commands share.
constexpr int DEBUG_DATA_SIZE = 2048;

// Values of the last debug command that gave them; a left-out argument
// reuses them.
extern DWORD dwDest;
extern DWORD dwSrc;
extern DWORD dwCount;
extern DWORD dwVal;
extern DWORD dwBase;
extern DWORD dwBlock;
extern WORD wType;
extern WORD wCode;
extern WORD wID;
extern BYTE bData[DEBUG_DATA_SIZE];

// A number converts when the text begins with one; the value then holds it
// (0x prefix allowed for hex; values past 32 bits saturate).
bool Parse_Hex_Number(const char *str, DWORD *value);
bool Parse_Dec_Number(const char *str, DWORD *value);

// Walks the words of a debug command: the first argument is the first word's
// name, the second the next word's text; a later argument moves on to the
// next word only when the argument before it converted.
struct DEBUG_ARG_READER {
    const char *first_arg;
    WORD rest_count;
    const ARG_STRUCT *rest;
    WORD word; // index in rest of the word the next argument reads
    bool first_taken;
};

void Init_Arg_Reader(DEBUG_ARG_READER *reader, const char *first_arg, WORD rest_count,
                     const ARG_STRUCT *rest);
const char *Current_Arg_Str(const DEBUG_ARG_READER *reader);
// Reads one hex argument; on no number the variable keeps its value.
bool Read_Hex_Arg(DEBUG_ARG_READER *reader, DWORD *value);
bool Read_Hex_Arg16(DEBUG_ARG_READER *reader, WORD *value);
// Decodes the current word's whole text into dest (at least 256 bytes).
void Read_Data_Arg(DEBUG_ARG_READER *reader, BYTE *dest);

// Size of one read/write RAM transfer: sizes beyond one request are cut to
// it, with a note.
DWORD Limit_Transfer_Size(DWORD size);

#endif
