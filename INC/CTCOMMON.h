// Common definitions shared by every module of the host and the virtual board.
#ifndef CTCOMMON_H
#define CTCOMMON_H

#include <cstddef>
#include <cstdint>

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;

// One row of a vocabulary table; a table ends with a row whose str_ptr is null.
struct LOOKUP_TBL_STRUCT {
    DWORD id;
    const char *str_ptr;
};

#endif
