// Common definitions shared by every module of the host and the virtual board.
#ifndef CTCOMMON_H
#define CTCOMMON_H

#include <cinttypes>
#include <cstddef>
#include <cstdint>

// A DWORD is printed with the PRIu32/PRIX32/PRIx32 formats of <cinttypes>.
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;

// One row of a vocabulary table; a table ends with a row whose str_ptr is null.
struct LOOKUP_TBL_STRUCT {
    DWORD id;
    const char *str_ptr;
};

// Value of one hexadecimal digit (either case), or -1.
int Hex_Digit_Value(int c);

// Anything past 32 bits reads as this, so every range check refuses it.
const unsigned long long NUMBER_TOO_LARGE = 0x100000000ULL;

// Reads the number at the start of s in radix 10 or 16 (hex may carry a 0x
// prefix); the text after its digits is ignored. False when s does not begin
// with a digit. *end, when given, is set past the digits.
bool Scan_Number(const char *s, unsigned radix, unsigned long long *value, const char **end);

#endif
