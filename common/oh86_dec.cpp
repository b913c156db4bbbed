// Intel hex (OH86) record codec. Reads through a block buffer the caller
// owns and keeps no state between calls.
#include "OH86_DEC.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "RMX_ERR.h"

// ---- digits -------------------------------------------------------------------
constexpr int NOT_HEX = 0x10;

struct NIBBLE_TBL {
    BYTE value[256];
    constexpr NIBBLE_TBL() : value()
    {
        for (int c = 0; c < 256; c++) value[c] = NOT_HEX;
        for (int d = 0; d < 10; d++) value['0' + d] = (BYTE)d;
        for (int d = 0; d < 6; d++) value['A' + d] = value['a' + d] = (BYTE)(10 + d);
    }
};
static constexpr NIBBLE_TBL nibble;

// Two digits into a byte; a character that is no digit sets NOT_HEX in *bad.
static inline BYTE Digit_Pair(const BYTE *p, unsigned *bad)
{
    BYTE high = nibble.value[p[0]];
    BYTE low = nibble.value[p[1]];
    *bad |= high | low;
    return (BYTE)((high << 4) | low);
}

// ---- the block buffer ----------------------------------------------------------
void Attach_OH86_File(OH86_FILE *pFile, int fd, BYTE *buf, size_t buf_size)
{
    pFile->fd = fd;
    pFile->buf = buf;
    pFile->buf_size = buf_size;
    pFile->pos = pFile->end = buf;
    pFile->line = 1;
    pFile->rec_line = 0;
}

void Attach_OH86_Text(OH86_FILE *pFile, const char *text, size_t len)
{
    Attach_OH86_File(pFile, -1, nullptr, 0);
    pFile->pos = (const BYTE *)text;
    pFile->end = pFile->pos + len;
}

// Makes at least want characters readable at pos when the file still holds
// them, reading as much as the buffer takes; returns how many are readable.
// A read error ends the text like the end of the file.
static size_t Fill_OH86(OH86_FILE *pFile, size_t want)
{
    size_t have = (size_t)(pFile->end - pFile->pos);
    if (have >= want || pFile->fd < 0) return have;
    memmove(pFile->buf, pFile->pos, have);
    pFile->pos = pFile->buf;
    while (have < pFile->buf_size) {
        ssize_t n = read(pFile->fd, pFile->buf + have, pFile->buf_size - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            pFile->fd = -1;
            break;
        }
        have += (size_t)n;
        if (have >= want) break;
    }
    pFile->end = pFile->buf + have;
    return have;
}

static inline int Next_Char(OH86_FILE *pFile)
{
    if (pFile->pos == pFile->end && Fill_OH86(pFile, 1) == 0) return EOF;
    int c = *pFile->pos++;
    if (c == '\n') pFile->line++;
    return c;
}

// ---- reading ---------------------------------------------------------------------
static DWORD Byte_Result(WORD status, BYTE value)
{
    return ((DWORD)status << 16) | value;
}

// Anything may separate two byte pairs (blanks, line ends, stray text), but
// the two digits of one pair must stand together.
DWORD Get_OH86_Byte(OH86_FILE *pFile)
{
    int c;
    BYTE high;
    do {
        if ((c = Next_Char(pFile)) == EOF) return Byte_Result(E_HEX_EOF, 0);
        high = nibble.value[c];
    } while (high == NOT_HEX);

    if ((c = Next_Char(pFile)) == EOF) return Byte_Result(E_HEX_EOF, 0);
    BYTE low = nibble.value[c];
    if (low == NOT_HEX) return Byte_Result(E_HEX_NUMERIC, 0);
    return Byte_Result(E_OK, (BYTE)((high << 4) | low));
}

static WORD Get_Byte_Into(OH86_FILE *pFile, BYTE *dest)
{
    DWORD result = Get_OH86_Byte(pFile);
    *dest = (BYTE)(result & 0xFF);
    return (WORD)(result >> 16);
}

static WORD Get_Record_By_Bytes(OH86_FILE *pFile, OH86_RECORD_STRUCT *lpRec)
{
    BYTE offset_high = 0;
    BYTE offset_low = 0;
    WORD status;
    if ((status = Get_Byte_Into(pFile, &lpRec->bRecLen)) != E_OK) return status;
    if ((status = Get_Byte_Into(pFile, &offset_high)) != E_OK) return status;
    if ((status = Get_Byte_Into(pFile, &offset_low)) != E_OK) return status;
    lpRec->wOffset = (WORD)((offset_high << 8) | offset_low);
    if ((status = Get_Byte_Into(pFile, &lpRec->bRecType)) != E_OK) return status;
    for (unsigned i = 0; i < lpRec->bRecLen; i++)
        if ((status = Get_Byte_Into(pFile, &lpRec->bData[i])) != E_OK) return status;
    return Get_Byte_Into(pFile, &lpRec->bChecksum);
}

// A record written the way tools write them, nothing but digits from the
// colon to the checksum, is decoded straight from the buffer. Anything else
// is left to the byte-wise reader, which gives the same result for this case.
static bool Get_Plain_Record(OH86_FILE *pFile, OH86_RECORD_STRUCT *lpRec)
{
    unsigned bad = 0;
    if (Fill_OH86(pFile, 2) < 2) return false;
    BYTE len = Digit_Pair(pFile->pos, &bad);
    size_t text_len = 2 * (5 + (size_t)len);
    if ((bad & NOT_HEX) || Fill_OH86(pFile, text_len) < text_len) return false;
    const BYTE *p = pFile->pos;
    BYTE offset_high = Digit_Pair(p + 2, &bad);
    BYTE offset_low = Digit_Pair(p + 4, &bad);
    BYTE type = Digit_Pair(p + 6, &bad);
    for (unsigned i = 0; i < len; i++) lpRec->bData[i] = Digit_Pair(p + 8 + 2 * i, &bad);
    BYTE checksum = Digit_Pair(p + 8 + 2 * len, &bad);
    if (bad & NOT_HEX) return false;
    lpRec->bRecLen = len;
    lpRec->wOffset = (WORD)((offset_high << 8) | offset_low);
    lpRec->bRecType = type;
    lpRec->bChecksum = checksum;
    pFile->pos += text_len;
    return true;
}

WORD Get_OH86_Record(OH86_FILE *pFile, OH86_RECORD_STRUCT *lpRec)
{
    int c;
    do {
        if ((c = Next_Char(pFile)) == EOF) return E_HEX_EOF;
    } while (c != ':');
    pFile->rec_line = pFile->line;
    if (Get_Plain_Record(pFile, lpRec)) return E_OK;
    return Get_Record_By_Bytes(pFile, lpRec);
}

// ---- checksums and writing --------------------------------------------------------
static BYTE Record_Byte_Sum(const OH86_RECORD_STRUCT *lpRec)
{
    unsigned sum =
        lpRec->bRecLen + (lpRec->wOffset >> 8) + (lpRec->wOffset & 0xFF) + lpRec->bRecType;
    for (unsigned i = 0; i < lpRec->bRecLen; i++) sum += lpRec->bData[i];
    return (BYTE)sum;
}

bool OH86_Checksum_Valid(const OH86_RECORD_STRUCT *lpRec)
{
    return (BYTE)(Record_Byte_Sum(lpRec) + lpRec->bChecksum) == 0;
}

WORD Send_OH86_Record(FILE *pFile, OH86_RECORD_STRUCT *lpRec)
{
    lpRec->bChecksum = (BYTE)(0 - Record_Byte_Sum(lpRec));
    fprintf(pFile, ":%02X%02X%02X%02X", lpRec->bRecLen, lpRec->wOffset >> 8, lpRec->wOffset & 0xFF,
            lpRec->bRecType);
    for (unsigned i = 0; i < lpRec->bRecLen; i++) fprintf(pFile, "%02X", lpRec->bData[i]);
    fprintf(pFile, "%02X\n", lpRec->bChecksum);
    return E_OK;
}
