// Intel hex (OH86) record codec. Works on a stream the caller opened and
// keeps no state between calls.
#include "OH86_DEC.h"

#include "RMX_ERR.h"

static DWORD Byte_Result(WORD status, BYTE value)
{
    return ((DWORD)status << 16) | value;
}

// Anything may separate two byte pairs (blanks, line ends, stray text), but
// the two digits of one pair must stand together.
DWORD Get_OH86_Byte(FILE *pFile)
{
    int c;
    int high;
    do {
        c = fgetc(pFile);
        if (c == EOF) return Byte_Result(E_HEX_EOF, 0);
        high = Hex_Digit_Value(c);
    } while (high < 0);

    c = fgetc(pFile);
    if (c == EOF) return Byte_Result(E_HEX_EOF, 0);
    int low = Hex_Digit_Value(c);
    if (low < 0) return Byte_Result(E_HEX_NUMERIC, 0);
    return Byte_Result(E_OK, (BYTE)((high << 4) | low));
}

static WORD Get_Byte_Into(FILE *pFile, BYTE *dest)
{
    DWORD result = Get_OH86_Byte(pFile);
    *dest = (BYTE)(result & 0xFF);
    return (WORD)(result >> 16);
}

// The checksum byte is stored but not verified: the caller decides what a
// wrong sum means.
WORD Get_OH86_Record(FILE *pFile, OH86_RECORD_STRUCT *lpRec)
{
    int c;
    do {
        c = fgetc(pFile);
        if (c == EOF) return E_HEX_EOF;
    } while (c != ':');

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

WORD Send_OH86_Record(FILE *pFile, OH86_RECORD_STRUCT *lpRec)
{
    BYTE offset_high = (BYTE)(lpRec->wOffset >> 8);
    BYTE offset_low = (BYTE)(lpRec->wOffset & 0xFF);
    BYTE sum = (BYTE)(lpRec->bRecLen + offset_high + offset_low + lpRec->bRecType);
    for (unsigned i = 0; i < lpRec->bRecLen; i++) sum = (BYTE)(sum + lpRec->bData[i]);
    lpRec->bChecksum = (BYTE)(0 - sum);

    fprintf(pFile, ":%02X%02X%02X%02X", lpRec->bRecLen, offset_high, offset_low, lpRec->bRecType);
    for (unsigned i = 0; i < lpRec->bRecLen; i++) fprintf(pFile, "%02X", lpRec->bData[i]);
    fprintf(pFile, "%02X\n", lpRec->bChecksum);
    return E_OK;
}
