// Command records understood by the target monitor, and one wrapper per
// command. Every record is the data part of one frame of the message link;
// the monitor answers with the same layout, its result in `status`.
// All records are packed little-endian and start with the same 7-byte header:
//   0 id (u8), 1 status (u16), 3 cmd_data_size (u32).
#ifndef HCMDFMT_H
#define HCMDFMT_H

#include <cstddef>

#include "CTCOMMON.h"
#include "RMX_ERR.h"

// Command ids.
enum : BYTE {
    ECHO_CMD = 0x01,
    CHANGE_BAUD_CMD = 0x02,
    INIT_CMD = 0x03,
    SHUTDOWN_CMD = 0x04,
    READ_RAM_CMD = 0x0A,
    WRITE_RAM_CMD = 0x0B,
    COPY_RAM_CMD = 0x0C,
    COMPARE_RAM_CMD = 0x0D,
    SET_RAM_CMD = 0x0E,
    INPUT_PORT_CMD = 0x0F,
    OUTPUT_PORT_CMD = 0x10,
    GET_FLASH_ID_CMD = 0x14,
    ERASE_FLASH_CMD = 0x15,
    PROGRAM_FLASH_CMD = 0x17,
};

enum : WORD {
    CMD_HEADER_SIZE = 7,
    CMD_MAX_DATA = 2048,    // data bytes per echo / read RAM / write RAM command
    CMD_TX_TIMEOUT = 65535, // sending allowance of every command (10 ms units)
    CMD_RX_TIMEOUT = 6000,  // usual response allowance: 60 s
};

#pragma pack(push, 1)

#define CMD_HEADER_FIELDS                                                                          \
    BYTE id;                                                                                       \
    WORD status;                                                                                   \
    DWORD cmd_data_size

struct ECHO_CMD_STRUCT {
    CMD_HEADER_FIELDS;
    BYTE data[CMD_MAX_DATA];
};

struct CHANGE_BAUD_CMD_STRUCT {
    CMD_HEADER_FIELDS;
    DWORD baud_rate;
};

struct INIT_CMD_STRUCT {
    CMD_HEADER_FIELDS;
    WORD program_id;
    WORD program_version; // major in the high byte, minor in the low
    DWORD boot_phys_address;
};

struct SHUTDOWN_CMD_STRUCT {
    CMD_HEADER_FIELDS;
};

struct READ_RAM_CMD_STRUCT {
    CMD_HEADER_FIELDS;
    DWORD phys_address;
    DWORD data_checksum; // byte sum of the cmd_data_size data bytes
    BYTE data[CMD_MAX_DATA];
};

struct WRITE_RAM_CMD_STRUCT {
    CMD_HEADER_FIELDS;
    DWORD phys_address;
    DWORD data_checksum;
    BYTE data[CMD_MAX_DATA];
};

struct COPY_RAM_CMD_STRUCT {
    CMD_HEADER_FIELDS;
    DWORD src_phys_address;
    DWORD dest_phys_address;
};

struct COMPARE_RAM_CMD_STRUCT {
    CMD_HEADER_FIELDS;
    DWORD src_phys_address;
    DWORD dest_phys_address;
};

struct SET_RAM_CMD_STRUCT {
    CMD_HEADER_FIELDS;
    DWORD phys_address;
    BYTE bValue;
};

struct INPUT_PORT_CMD_STRUCT {
    CMD_HEADER_FIELDS;
    WORD io_port;
    WORD io_size;
    DWORD io_value;
};

struct OUTPUT_PORT_CMD_STRUCT {
    CMD_HEADER_FIELDS;
    WORD io_port;
    WORD io_size;
    DWORD io_value;
};

struct GET_FLASH_ID_CMD_STRUCT {
    CMD_HEADER_FIELDS;
    WORD flash_type_id;
    DWORD flash_base_address;
    WORD manufacture_code;
    WORD device_code;
};

struct ERASE_FLASH_CMD_STRUCT {
    CMD_HEADER_FIELDS;
    WORD flash_type_id;
    DWORD flash_base_address;
    DWORD flash_block_address;
    DWORD flash_block_size;
};

struct PROGRAM_FLASH_CMD_STRUCT {
    CMD_HEADER_FIELDS;
    WORD flash_type_id;
    DWORD flash_base_address;
    DWORD flash_block_address;
    DWORD flash_dest_address;
    DWORD src_phys_address;
};

// Never sent by the host; no id assigned.
struct START_PROG_FLASH_CMD_STRUCT {
    CMD_HEADER_FIELDS;
    WORD flash_type_id;
    DWORD flash_base_address;
    DWORD flash_block_number;
};

struct END_PROG_FLASH_CMD_STRUCT {
    CMD_HEADER_FIELDS;
    WORD flash_type_id;
    DWORD flash_base_address;
    DWORD flash_block_number;
};

#undef CMD_HEADER_FIELDS
#pragma pack(pop)

// Sizes and the offsets the monitor relies on.
static_assert(sizeof(ECHO_CMD_STRUCT) == 2055, "echo record");
static_assert(offsetof(ECHO_CMD_STRUCT, status) == 1, "status at 1");
static_assert(offsetof(ECHO_CMD_STRUCT, cmd_data_size) == 3, "cmd_data_size at 3");
static_assert(offsetof(ECHO_CMD_STRUCT, data) == 7, "echo data at 7");
static_assert(sizeof(CHANGE_BAUD_CMD_STRUCT) == 11, "change baud record");
static_assert(offsetof(CHANGE_BAUD_CMD_STRUCT, baud_rate) == 7, "baud_rate at 7");
static_assert(sizeof(INIT_CMD_STRUCT) == 15, "init record");
static_assert(offsetof(INIT_CMD_STRUCT, program_id) == 7, "program_id at 7");
static_assert(offsetof(INIT_CMD_STRUCT, program_version) == 9, "program_version at 9");
static_assert(offsetof(INIT_CMD_STRUCT, boot_phys_address) == 11, "boot_phys_address at 11");
static_assert(sizeof(SHUTDOWN_CMD_STRUCT) == 7, "shutdown record");
static_assert(sizeof(READ_RAM_CMD_STRUCT) == 2063, "read RAM record");
static_assert(offsetof(READ_RAM_CMD_STRUCT, phys_address) == 7, "phys_address at 7");
static_assert(offsetof(READ_RAM_CMD_STRUCT, data_checksum) == 11, "data_checksum at 11");
static_assert(offsetof(READ_RAM_CMD_STRUCT, data) == 15, "read data at 15");
static_assert(sizeof(WRITE_RAM_CMD_STRUCT) == 2063, "write RAM record");
static_assert(offsetof(WRITE_RAM_CMD_STRUCT, data_checksum) == 11, "data_checksum at 11");
static_assert(offsetof(WRITE_RAM_CMD_STRUCT, data) == 15, "write data at 15");
static_assert(sizeof(COPY_RAM_CMD_STRUCT) == 15, "copy RAM record");
static_assert(offsetof(COPY_RAM_CMD_STRUCT, src_phys_address) == 7, "src at 7");
static_assert(offsetof(COPY_RAM_CMD_STRUCT, dest_phys_address) == 11, "dest at 11");
static_assert(sizeof(COMPARE_RAM_CMD_STRUCT) == 15, "compare RAM record");
static_assert(offsetof(COMPARE_RAM_CMD_STRUCT, dest_phys_address) == 11, "dest at 11");
static_assert(sizeof(SET_RAM_CMD_STRUCT) == 12, "set RAM record");
static_assert(offsetof(SET_RAM_CMD_STRUCT, bValue) == 11, "bValue at 11");
static_assert(sizeof(INPUT_PORT_CMD_STRUCT) == 15, "input port record");
static_assert(offsetof(INPUT_PORT_CMD_STRUCT, io_size) == 9, "io_size at 9");
static_assert(offsetof(INPUT_PORT_CMD_STRUCT, io_value) == 11, "io_value at 11");
static_assert(sizeof(OUTPUT_PORT_CMD_STRUCT) == 15, "output port record");
static_assert(offsetof(OUTPUT_PORT_CMD_STRUCT, io_value) == 11, "io_value at 11");
static_assert(sizeof(GET_FLASH_ID_CMD_STRUCT) == 17, "get flash id record");
static_assert(offsetof(GET_FLASH_ID_CMD_STRUCT, flash_base_address) == 9, "base at 9");
static_assert(offsetof(GET_FLASH_ID_CMD_STRUCT, manufacture_code) == 13, "manufacture_code at 13");
static_assert(offsetof(GET_FLASH_ID_CMD_STRUCT, device_code) == 15, "device_code at 15");
static_assert(sizeof(ERASE_FLASH_CMD_STRUCT) == 21, "erase flash record");
static_assert(offsetof(ERASE_FLASH_CMD_STRUCT, flash_block_address) == 13, "block at 13");
static_assert(offsetof(ERASE_FLASH_CMD_STRUCT, flash_block_size) == 17, "block size at 17");
static_assert(sizeof(PROGRAM_FLASH_CMD_STRUCT) == 25, "program flash record");
static_assert(offsetof(PROGRAM_FLASH_CMD_STRUCT, flash_dest_address) == 17, "dest at 17");
static_assert(offsetof(PROGRAM_FLASH_CMD_STRUCT, src_phys_address) == 21, "src at 21");
static_assert(sizeof(START_PROG_FLASH_CMD_STRUCT) == 17, "start program record");
static_assert(sizeof(END_PROG_FLASH_CMD_STRUCT) == 17, "end program record");

// One record of each type for the whole program, zero at start. After an
// exchange a record holds the response.
extern INIT_CMD_STRUCT init_cmd;
extern ECHO_CMD_STRUCT echo_cmd;
extern CHANGE_BAUD_CMD_STRUCT change_baud_cmd;
extern READ_RAM_CMD_STRUCT read_cmd;
extern WRITE_RAM_CMD_STRUCT write_cmd;
extern COPY_RAM_CMD_STRUCT copy_cmd;
extern COMPARE_RAM_CMD_STRUCT compare_cmd;
extern SET_RAM_CMD_STRUCT set_cmd;
extern INPUT_PORT_CMD_STRUCT input_cmd;
extern OUTPUT_PORT_CMD_STRUCT output_cmd;
extern GET_FLASH_ID_CMD_STRUCT id_cmd;
extern START_PROG_FLASH_CMD_STRUCT start_pgm_cmd;
extern PROGRAM_FLASH_CMD_STRUCT pgm_cmd;
extern END_PROG_FLASH_CMD_STRUCT end_pgm_cmd;
extern ERASE_FLASH_CMD_STRUCT erase_cmd;
extern SHUTDOWN_CMD_STRUCT shutdown_cmd;

// Response allowance for a transfer of wSize bytes: wSize * 100 / 30, in 10 ms.
inline DWORD Transfer_Time(DWORD wSize)
{
    return wSize * 100 / 30;
}

// Sends lpTx, receives into lpRx; the status becomes the response's status
// field unless the link failed.
void Send_Command_Response(void *lpTx, void *lpRx, WORD wTxSize, WORD wRxSize, WORD wTxTime,
                           WORD wRxTime, WORD *wStatus);

void Init_Command(WORD *program_id, WORD *program_ver, DWORD *boot_address, WORD *wStatus);
bool Echo_Msg(const void *lpData, WORD wCount, WORD *wStatus);
DWORD Change_Baud(DWORD dwBaudRate, WORD *wStatus);
void Read_RAM(DWORD phys_address, DWORD size, void *lpData, WORD *wStatus);
void Write_RAM(DWORD phys_address, DWORD size, const void *lpData, WORD *wStatus);
void Copy_RAM(DWORD dwDest, DWORD dwSrc, DWORD dwCount, WORD *wStatus);
void Compare_RAM(DWORD dwDest, DWORD dwSrc, DWORD dwCount, WORD *wStatus);
void Set_RAM(DWORD phys_address, DWORD dwSize, BYTE bValue, WORD *wStatus);
DWORD Read_IO_Port(WORD wIoPort, WORD wSize, WORD *wStatus);
void Write_IO_Port(WORD wIoPort, WORD wSize, DWORD dwIoValue, WORD *wStatus);
void Get_Flash_ID(DWORD dwBlockBase, WORD *wCode, WORD *wID, WORD *wStatus);
void Program_Flash(BYTE type_id, DWORD base_address, DWORD block_address, DWORD dest_address,
                   DWORD src_address, DWORD dwSize, WORD *wStatus);
void Flash_Erase(WORD type_id, DWORD base_address, DWORD block_address, DWORD block_size,
                 WORD *wStatus);
void Shutdown_Cmd_Resp(WORD *wStatus);

#endif
