// Intel hex (OH86) record codec: one record of a hex text file in and out.
#ifndef OH86_DEC_H
#define OH86_DEC_H

#include <cstdio>

#include "CTCOMMON.h"

#define OH86_MAX_DATA 255

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

// Low byte: the byte read; high 16 bits: status (0, 0x65 or 0x84).
DWORD Get_OH86_Byte(FILE *pFile);
WORD Get_OH86_Record(FILE *pFile, OH86_RECORD_STRUCT *lpRec);
WORD Send_OH86_Record(FILE *pFile, OH86_RECORD_STRUCT *lpRec);

#endif
