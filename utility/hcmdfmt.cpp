// Target command wrappers: each fills its one record, exchanges it with the
// monitor and takes the results out of the response in the same record.
#include "HCMDFMT.h"

#include <cstdio>
#include <cstring>

#include "FLCOMMON.h"
#include "MSG.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "command records are laid out for a little-endian host");

INIT_CMD_STRUCT init_cmd;
ECHO_CMD_STRUCT echo_cmd;
CHANGE_BAUD_CMD_STRUCT change_baud_cmd;
READ_RAM_CMD_STRUCT read_cmd;
WRITE_RAM_CMD_STRUCT write_cmd;
COPY_RAM_CMD_STRUCT copy_cmd;
COMPARE_RAM_CMD_STRUCT compare_cmd;
SET_RAM_CMD_STRUCT set_cmd;
INPUT_PORT_CMD_STRUCT input_cmd;
OUTPUT_PORT_CMD_STRUCT output_cmd;
GET_FLASH_ID_CMD_STRUCT id_cmd;
START_PROG_FLASH_CMD_STRUCT start_pgm_cmd;
PROGRAM_FLASH_CMD_STRUCT pgm_cmd;
END_PROG_FLASH_CMD_STRUCT end_pgm_cmd;
ERASE_FLASH_CMD_STRUCT erase_cmd;
SHUTDOWN_CMD_STRUCT shutdown_cmd;

// Data length of the last response frame, so a response can be checked
// against what it actually carried.
static WORD last_rx_length = 0;

static const WORD RAM_CMD_HEADER = offsetof(READ_RAM_CMD_STRUCT, data); // 15
static const WORD ECHO_MISMATCH = 0x1015;

// A response must reach past the id byte and the 16-bit status behind it.
static const WORD CMD_STATUS_END = 3;

void Send_Command_Response(void *lpTx, void *lpRx, WORD wTxSize, WORD wRxSize, WORD wTxTime,
                           WORD wRxTime, WORD *wStatus)
{
    last_rx_length = 0;
    Tx_Message(lpTx, wTxSize, wTxTime, wStatus);
    if (*wStatus != E_OK) return;
    WORD length = Rx_Message(lpRx, wRxSize, wRxTime, wStatus);
    if (*wStatus != E_OK) return;
    // A cancel instead of an answer (0xFFFF), or an answer too short to carry
    // a status, leaves the request's status 0 in the record: it must not pass
    // for a completed command.
    if (length == 0xFFFF || length < CMD_STATUS_END) {
        *wStatus = E_NOT_RESPONDING;
        return;
    }
    last_rx_length = length;
    const BYTE *rx = static_cast<const BYTE *>(lpRx);
    *wStatus = static_cast<WORD>(rx[1] | (rx[2] << 8));
}

static WORD Limit_Data_Size(DWORD size)
{
    return static_cast<WORD>(size < CMD_MAX_DATA ? size : static_cast<DWORD>(CMD_MAX_DATA));
}

// Larger of the transfer time of `length` bytes and the usual allowance.
static WORD Transfer_Allowance(WORD length)
{
    DWORD t = Transfer_Time(length);
    return t > CMD_RX_TIMEOUT ? static_cast<WORD>(t) : static_cast<WORD>(CMD_RX_TIMEOUT);
}

// Usual allowance plus one second per KiB the monitor has to work through.
static WORD Flash_Allowance(DWORD bytes)
{
    return static_cast<WORD>(CMD_RX_TIMEOUT + 100u * (bytes / 1024u));
}

#define SET_HEADER(rec, cmd_id, size)                                                              \
    do {                                                                                           \
        (rec).id = (cmd_id);                                                                       \
        (rec).status = 0;                                                                          \
        (rec).cmd_data_size = (size);                                                              \
    } while (0)

// Exchange of a fixed-size record with the usual allowance. An answer too
// short for the record is refused: the request's own fields would pass for
// the monitor's values (an init would report id 0 and have the tables read
// from address 0).
template <typename REC> static void Exchange_Fixed(REC *rec, const char *name, WORD *wStatus)
{
    Send_Command_Response(rec, rec, sizeof(REC), sizeof(REC), CMD_TX_TIMEOUT, CMD_RX_TIMEOUT,
                          wStatus);
    if (*wStatus != E_OK || last_rx_length >= sizeof(REC)) return;
    Log_Fmt(LOG_ALWAYS, "%s response carries %u bytes; %u expected\n", name, last_rx_length,
            static_cast<unsigned>(sizeof(REC)));
    *wStatus = E_REPORTED;
}

void Init_Command(WORD *program_id, WORD *program_ver, DWORD *boot_address, WORD *wStatus)
{
    if (*wStatus != E_OK) {
        // Ending the program here would lose changed flash tables; the
        // message stands and the caller sees a reported failure.
        printf("Link init error during init.\n");
        fflush(stdout);
        *wStatus = E_REPORTED;
        return;
    }
    *program_ver = 0xFFFF;
    *program_id = 0xFFFF;
    SET_HEADER(init_cmd, INIT_CMD, 0);
    Exchange_Fixed(&init_cmd, "Init", wStatus);
    if (*wStatus != E_OK) return;
    *program_ver = init_cmd.program_version;
    *program_id = init_cmd.program_id;
    *boot_address = init_cmd.boot_phys_address;
}

bool Echo_Msg(const void *lpData, WORD wCount, WORD *wStatus)
{
    WORD n = Limit_Data_Size(wCount);
    SET_HEADER(echo_cmd, ECHO_CMD, n);
    if (n > 0) memcpy(echo_cmd.data, lpData, n);
    WORD length = static_cast<WORD>(n + CMD_HEADER_SIZE);
    Send_Command_Response(&echo_cmd, &echo_cmd, length, length, CMD_TX_TIMEOUT,
                          Transfer_Allowance(length), wStatus);
    if (*wStatus != E_OK) return false;
    if (n > 0 && memcmp(lpData, echo_cmd.data, n) != 0) {
        *wStatus = ECHO_MISMATCH;
        return false;
    }
    return true;
}

DWORD Change_Baud(DWORD dwBaudRate, WORD *wStatus)
{
    SET_HEADER(change_baud_cmd, CHANGE_BAUD_CMD, 0);
    change_baud_cmd.baud_rate = dwBaudRate;
    Exchange_Fixed(&change_baud_cmd, "Change baud", wStatus);
    return change_baud_cmd.baud_rate;
}

// A response must carry exactly the data asked for: the caller learns no
// count, so a short answer would leave the rest of its buffer stale (a table
// read would keep old entries and write them back into flash later).
static bool Read_Response_Fits(WORD asked)
{
    DWORD claimed = read_cmd.cmd_data_size;
    DWORD carried = last_rx_length > RAM_CMD_HEADER ? last_rx_length - RAM_CMD_HEADER : 0;
    if (claimed == asked && claimed <= carried) return true;
    Log_Fmt(LOG_ALWAYS,
            "Read RAM response claims %" PRIu32 " data bytes; %u asked, %" PRIu32 " received\n",
            claimed, asked, carried);
    return false;
}

void Read_RAM(DWORD phys_address, DWORD size, void *lpData, WORD *wStatus)
{
    WORD n = Limit_Data_Size(size);
    SET_HEADER(read_cmd, READ_RAM_CMD, n);
    read_cmd.phys_address = phys_address;
    Send_Command_Response(&read_cmd, &read_cmd, RAM_CMD_HEADER,
                          static_cast<WORD>(n + RAM_CMD_HEADER), CMD_TX_TIMEOUT, CMD_RX_TIMEOUT,
                          wStatus);
    if (*wStatus != E_OK) return;
    if (!Read_Response_Fits(n)) {
        *wStatus = E_REPORTED;
        return;
    }
    WORD sum_status;
    DWORD sum = Calc_Checksum(read_cmd.data, n, &sum_status);
    // A data checksum that does not match is a failure of its own, named by the
    // caller's report, so that a table read or block save never stops unexplained.
    if (sum != read_cmd.data_checksum) {
        *wStatus = E_MSG_CHECKSUM;
        return;
    }
    if (sum_status != E_OK) {
        *wStatus = sum_status;
        return;
    }
    memcpy(lpData, read_cmd.data, n);
}

void Write_RAM(DWORD phys_address, DWORD size, const void *lpData, WORD *wStatus)
{
    WORD n = Limit_Data_Size(size);
    SET_HEADER(write_cmd, WRITE_RAM_CMD, n);
    write_cmd.phys_address = phys_address;
    if (n > 0) memcpy(write_cmd.data, lpData, n);
    WORD ignored;
    write_cmd.data_checksum = Calc_Checksum(write_cmd.data, n, &ignored);
    WORD length = static_cast<WORD>(n + RAM_CMD_HEADER);
    Send_Command_Response(&write_cmd, &write_cmd, length, length, CMD_TX_TIMEOUT,
                          Transfer_Allowance(length), wStatus);
}

void Copy_RAM(DWORD dwDest, DWORD dwSrc, DWORD dwCount, WORD *wStatus)
{
    SET_HEADER(copy_cmd, COPY_RAM_CMD, dwCount);
    copy_cmd.src_phys_address = dwSrc;
    copy_cmd.dest_phys_address = dwDest;
    Exchange_Fixed(&copy_cmd, "Copy RAM", wStatus);
}

void Compare_RAM(DWORD dwDest, DWORD dwSrc, DWORD dwCount, WORD *wStatus)
{
    SET_HEADER(compare_cmd, COMPARE_RAM_CMD, dwCount);
    compare_cmd.src_phys_address = dwSrc;
    compare_cmd.dest_phys_address = dwDest;
    Exchange_Fixed(&compare_cmd, "Compare RAM", wStatus);
}

void Set_RAM(DWORD phys_address, DWORD dwSize, BYTE bValue, WORD *wStatus)
{
    SET_HEADER(set_cmd, SET_RAM_CMD, dwSize);
    set_cmd.phys_address = phys_address;
    set_cmd.bValue = bValue;
    Exchange_Fixed(&set_cmd, "Set RAM", wStatus);
}

DWORD Read_IO_Port(WORD wIoPort, WORD wSize, WORD *wStatus)
{
    SET_HEADER(input_cmd, INPUT_PORT_CMD, 0);
    input_cmd.io_port = wIoPort;
    input_cmd.io_size = wSize;
    Exchange_Fixed(&input_cmd, "Input port", wStatus);
    return input_cmd.io_value;
}

void Write_IO_Port(WORD wIoPort, WORD wSize, DWORD dwIoValue, WORD *wStatus)
{
    SET_HEADER(output_cmd, OUTPUT_PORT_CMD, 0);
    output_cmd.io_port = wIoPort;
    output_cmd.io_size = wSize;
    output_cmd.io_value = dwIoValue;
    Exchange_Fixed(&output_cmd, "Output port", wStatus);
}

void Get_Flash_ID(DWORD dwBlockBase, WORD *wCode, WORD *wID, WORD *wStatus)
{
    SET_HEADER(id_cmd, GET_FLASH_ID_CMD, 0);
    id_cmd.flash_base_address = dwBlockBase;
    Exchange_Fixed(&id_cmd, "Get flash ID", wStatus);
    *wCode = id_cmd.manufacture_code;
    *wID = id_cmd.device_code;
}

void Program_Flash(BYTE type_id, DWORD base_address, DWORD block_address, DWORD dest_address,
                   DWORD src_address, DWORD dwSize, WORD *wStatus)
{
    SET_HEADER(pgm_cmd, PROGRAM_FLASH_CMD, dwSize);
    pgm_cmd.flash_type_id = type_id;
    pgm_cmd.flash_base_address = base_address;
    pgm_cmd.flash_block_address = block_address;
    pgm_cmd.flash_dest_address = dest_address;
    pgm_cmd.src_phys_address = src_address;
    Send_Command_Response(&pgm_cmd, &pgm_cmd, sizeof pgm_cmd, sizeof pgm_cmd, CMD_TX_TIMEOUT,
                          Flash_Allowance(dwSize), wStatus);
}

void Flash_Erase(WORD type_id, DWORD base_address, DWORD block_address, DWORD block_size,
                 WORD *wStatus)
{
    SET_HEADER(erase_cmd, ERASE_FLASH_CMD, 0);
    erase_cmd.flash_type_id = type_id;
    erase_cmd.flash_base_address = base_address;
    erase_cmd.flash_block_address = block_address;
    erase_cmd.flash_block_size = block_size;
    Send_Command_Response(&erase_cmd, &erase_cmd, sizeof erase_cmd, sizeof erase_cmd,
                          CMD_TX_TIMEOUT, Flash_Allowance(block_size), wStatus);
}

void Shutdown_Cmd_Resp(WORD *wStatus)
{
    SET_HEADER(shutdown_cmd, SHUTDOWN_CMD, 0);
    Exchange_Fixed(&shutdown_cmd, "Shutdown", wStatus);
}
