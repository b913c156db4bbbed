// Status words. 0 is success; every other value is one of these codes.
#ifndef RMX_ERR_H
#define RMX_ERR_H

#include "CTCOMMON.h"

enum : WORD {
    E_OK = 0x0000,
    E_TIME = 0x0001,           // target communications timeout
    E_MEM = 0x0002,            // insufficient target memory
    E_PARAM = 0x0004,          // invalid message parameter
    E_NOT_RESPONDING = 0x000B, // target system not responding
    E_NOT_SUPPORTED = 0x0023,
    E_FLASH_RAM = 0x002A,
    E_FLASH_WRITE = 0x002B,
    E_HEX_EOF = 0x0065, // premature EOF in hex file
    E_FLASH_UNERASED = 0x006E,
    E_HEX_NUMERIC = 0x0084, // invalid numeric in hex file
    E_LIST = 0x0085,
    E_FLASH_VPP = 0x008A,
    E_COMPARE = 0x008B, // compare RAM mismatch, from the monitor
    E_OVERRUN = 0x00F0,
    E_PARITY = 0x00F2,
    E_FRAMING = 0x00F3,
    E_BREAK = 0x00F4,
    E_OPEN_COM = 0x00F5,
    E_GET_STATE = 0x00F6,
    E_SETUP_COMM = 0x00F7,
    E_SET_STATE = 0x00F8,
    E_PURGE = 0x00F9,
    E_WRITE_COMM = 0x00FA,
    E_READ_COMM = 0x00FB,
    E_CLOSE_COMM = 0x00FC,
    E_INVALID_PARAM = 0x8004, // checksum of an empty buffer
    E_HEX_CHECKSUM = 0x800A,
    E_BAD_WRITE_ADDR = 0x800D,
    E_INVALID_BUFFER = 0x8023,
    E_FLASH_WRITE2 = 0x8085,
    E_REPORTED = 0x9000, // failure already printed
    E_USER_ABORT = 0x9001,
    E_SEG_LIMIT = 0x9002,
    E_SEG_EOF = 0x9003,
    E_BAD_TABLES = 0x9004,
    E_MSG_CHECKSUM = 0x9005, // read RAM data does not match its checksum
};

#endif
