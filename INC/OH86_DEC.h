// Intel hex (OH86) record codec: one record of a hex text file in and out.
#ifndef OH86_DEC_H
#define OH86_DEC_H

#include <cstddef>
#include <cstdio>

#include "CTCOMMON.h"

constexpr int OH86_MAX_DATA = 255;

enum : BYTE {
    OH86_DATA_REC = 0,
    OH86_EOF_REC = 1,
    OH86_EXT_SEG_ADDR_REC = 2,
    OH86_START_SEG_ADDR_REC = 3,
    OH86_EXT_LIN_ADDR_REC = 4,
    OH86_START_LIN_ADDR_REC = 5,
};

#pragma pack(push, 1)
struct OH86_RECORD_STRUCT {
    BYTE bRecType;
    BYTE bRecLen;
    WORD wOffset;
    BYTE bChecksum;
    BYTE bData[OH86_MAX_DATA];
};
#pragma pack(pop)
static_assert(sizeof(OH86_RECORD_STRUCT) == 260, "OH86_RECORD_STRUCT must be packed");

// A hex text read in large blocks: the caller owns the descriptor and the
// buffer, the codec only moves through them. Text already in memory needs no
// descriptor (fd -1).
struct OH86_FILE {
    int fd;
    BYTE *buf;
    size_t buf_size;
    const BYTE *pos; // next unread character
    const BYTE *end; // end of the characters read so far
    DWORD line;      // line of the next character, from 1
    DWORD rec_line;  // line of the colon of the last record started
};

void Attach_OH86_File(OH86_FILE *pFile, int fd, BYTE *buf, size_t buf_size);
void Attach_OH86_Text(OH86_FILE *pFile, const char *text, size_t len);

// Low byte: the byte read; high 16 bits: status (0, 0x65 or 0x84).
DWORD Get_OH86_Byte(OH86_FILE *pFile);
// The checksum byte is stored, not compared: OH86_Checksum_Valid tells.
WORD Get_OH86_Record(OH86_FILE *pFile, OH86_RECORD_STRUCT *lpRec);
bool OH86_Checksum_Valid(const OH86_RECORD_STRUCT *lpRec);
WORD Send_OH86_Record(FILE *pFile, OH86_RECORD_STRUCT *lpRec);

#endif
