// The monitor's commands: one request record in, one response record out.
// The response reuses the request's layout with the result in `status`.
#include <cstdio>
#include <cstring>

#include "HCMDFMT.h"
#include "vboard.h"

namespace vboard {

DWORD Byte_Sum(const BYTE *data, DWORD len)
{
    DWORD sum = 0;
    for (DWORD i = 0; i < len; i++) sum += data[i];
    return sum;
}

namespace {

bool Known_Baud(DWORD baud)
{
    static const DWORD rates[] = {300, 1200, 2400, 4800, 9600, 19200, 38400, 48000, 57600, 115200};
    for (DWORD r : rates)
        if (r == baud) return true;
    return false;
}

// Copies the request into a zeroed record of type T, so fields a short
// request lacks read as 0 instead of past its end.
template <typename T> T Take(const BYTE *req, WORD req_len)
{
    T rec;
    memset(&rec, 0, sizeof rec);
    memcpy(&rec, req, req_len < sizeof rec ? req_len : sizeof rec);
    rec.status = ST_OK;
    return rec;
}

template <typename T> WORD Give(const T &rec, WORD len, BYTE *resp)
{
    memcpy(resp, &rec, len);
    return len;
}

WORD Do_Echo(const BYTE *req, WORD req_len, BYTE *resp)
{
    ECHO_CMD_STRUCT rec = Take<ECHO_CMD_STRUCT>(req, req_len);
    DWORD n = req_len > CMD_HEADER_SIZE ? req_len - CMD_HEADER_SIZE : 0;
    if (n > CMD_MAX_DATA) n = CMD_MAX_DATA;
    if (rec.cmd_data_size < n) n = rec.cmd_data_size;
    rec.cmd_data_size = n;
    return Give(rec, WORD(CMD_HEADER_SIZE + n), resp);
}

WORD Do_Change_Baud(const BYTE *req, WORD req_len, BYTE *resp, CMD_OUTCOME *outcome)
{
    CHANGE_BAUD_CMD_STRUCT rec = Take<CHANGE_BAUD_CMD_STRUCT>(req, req_len);
    if (Known_Baud(rec.baud_rate))
        outcome->new_baud = rec.baud_rate;
    else
        rec.status = ST_BAD_PARAM;
    return Give(rec, sizeof rec, resp);
}

WORD Do_Init(const BYTE *req, WORD req_len, const MONITOR_ID *mon, BYTE *resp)
{
    INIT_CMD_STRUCT rec = Take<INIT_CMD_STRUCT>(req, req_len);
    rec.program_id = mon->prog_id;
    rec.program_version = mon->version;
    rec.boot_phys_address = mon->boot_addr;
    return Give(rec, sizeof rec, resp);
}

WORD Do_Read(const BYTE *req, WORD req_len, BYTE *resp)
{
    READ_RAM_CMD_STRUCT rec = Take<READ_RAM_CMD_STRUCT>(req, req_len);
    DWORD n = rec.cmd_data_size;
    if (n > CMD_MAX_DATA)
        rec.status = ST_BAD_PARAM;
    else
        rec.status = Mem_Read(rec.phys_address, n, rec.data);
    if (rec.status != ST_OK) n = 0;
    rec.cmd_data_size = n;
    rec.data_checksum = Byte_Sum(rec.data, n);
    return Give(rec, WORD(offsetof(READ_RAM_CMD_STRUCT, data) + n), resp);
}

WORD Do_Write(const BYTE *req, WORD req_len, BYTE *resp)
{
    WRITE_RAM_CMD_STRUCT rec = Take<WRITE_RAM_CMD_STRUCT>(req, req_len);
    const WORD head = offsetof(WRITE_RAM_CMD_STRUCT, data);
    DWORD n = rec.cmd_data_size;
    if (n > CMD_MAX_DATA || req_len != head + n)
        rec.status = ST_BAD_PARAM;
    else if (Byte_Sum(rec.data, n) != rec.data_checksum)
        rec.status = ST_BAD_PARAM;
    else
        rec.status = Mem_Write_Ram(rec.phys_address, rec.data, n);
    return Give(rec, head, resp);
}

WORD Do_Copy(const BYTE *req, WORD req_len, BYTE *resp)
{
    COPY_RAM_CMD_STRUCT rec = Take<COPY_RAM_CMD_STRUCT>(req, req_len);
    rec.status = Mem_Copy(rec.dest_phys_address, rec.src_phys_address, rec.cmd_data_size);
    return Give(rec, sizeof rec, resp);
}

WORD Do_Compare(const BYTE *req, WORD req_len, BYTE *resp)
{
    COMPARE_RAM_CMD_STRUCT rec = Take<COMPARE_RAM_CMD_STRUCT>(req, req_len);
    rec.status = Mem_Compare(rec.dest_phys_address, rec.src_phys_address, rec.cmd_data_size);
    return Give(rec, sizeof rec, resp);
}

WORD Do_Set(const BYTE *req, WORD req_len, BYTE *resp)
{
    SET_RAM_CMD_STRUCT rec = Take<SET_RAM_CMD_STRUCT>(req, req_len);
    rec.status = Mem_Fill_Ram(rec.phys_address, rec.cmd_data_size, rec.bValue);
    return Give(rec, sizeof rec, resp);
}

WORD Do_Port(const BYTE *req, WORD req_len, BYTE *resp, bool output)
{
    INPUT_PORT_CMD_STRUCT rec = Take<INPUT_PORT_CMD_STRUCT>(req, req_len);
    if (output)
        Mem_Port_Write(rec.io_port, rec.io_size, rec.io_value);
    else
        rec.io_value = Mem_Port_Read(rec.io_port, rec.io_size);
    return Give(rec, sizeof rec, resp);
}

WORD Do_Flash_Id(const BYTE *req, WORD req_len, BYTE *resp)
{
    GET_FLASH_ID_CMD_STRUCT rec = Take<GET_FLASH_ID_CMD_STRUCT>(req, req_len);
    if (Mem_In_Flash(rec.flash_base_address, 1)) {
        WORD manufacture_code = 0, device_code = 0; // the record's fields are unaligned
        Mem_Flash_Codes(&manufacture_code, &device_code);
        rec.manufacture_code = manufacture_code;
        rec.device_code = device_code;
    } else {
        rec.status = ST_BAD_PARAM;
    }
    return Give(rec, sizeof rec, resp);
}

WORD Do_Erase(const BYTE *req, WORD req_len, BYTE *resp)
{
    ERASE_FLASH_CMD_STRUCT rec = Take<ERASE_FLASH_CMD_STRUCT>(req, req_len);
    rec.status = Mem_Erase(rec.flash_block_address, rec.flash_block_size);
    Trace_Fmt("\"ev\":\"erase\",\"block\":%" PRIu32 ",\"block_size\":%" PRIu32 ",\"status\":%u",
              rec.flash_block_address, rec.flash_block_size, rec.status);
    return Give(rec, sizeof rec, resp);
}

WORD Do_Program(const BYTE *req, WORD req_len, BYTE *resp)
{
    PROGRAM_FLASH_CMD_STRUCT rec = Take<PROGRAM_FLASH_CMD_STRUCT>(req, req_len);
    rec.status = Mem_Program(rec.flash_dest_address, rec.src_phys_address, rec.cmd_data_size);
    Trace_Fmt("\"ev\":\"program\",\"block\":%" PRIu32 ",\"dest\":%" PRIu32 ",\"src\":%" PRIu32
              ",\"len\":%" PRIu32 ",\"status\":%u",
              rec.flash_block_address, rec.flash_dest_address, rec.src_phys_address,
              rec.cmd_data_size, rec.status);
    return Give(rec, sizeof rec, resp);
}

WORD Do_Unknown(const BYTE *req, WORD req_len, BYTE *resp)
{
    SHUTDOWN_CMD_STRUCT rec = Take<SHUTDOWN_CMD_STRUCT>(req, req_len);
    rec.status = ST_NOT_SUPPORTED;
    return Give(rec, sizeof rec, resp);
}

} // namespace

WORD Execute_Request(const BYTE *req, WORD req_len, const MONITOR_ID *mon, BYTE *resp,
                     CMD_OUTCOME *outcome)
{
    *outcome = CMD_OUTCOME{0, false};
    if (req_len > MAX_RECORD) req_len = MAX_RECORD;
    switch (req_len ? req[0] : 0) {
    case ECHO_CMD: return Do_Echo(req, req_len, resp);
    case CHANGE_BAUD_CMD: return Do_Change_Baud(req, req_len, resp, outcome);
    case INIT_CMD: return Do_Init(req, req_len, mon, resp);
    case SHUTDOWN_CMD:
        outcome->shutdown = true;
        return Give(Take<SHUTDOWN_CMD_STRUCT>(req, req_len), sizeof(SHUTDOWN_CMD_STRUCT), resp);
    case READ_RAM_CMD: return Do_Read(req, req_len, resp);
    case WRITE_RAM_CMD: return Do_Write(req, req_len, resp);
    case COPY_RAM_CMD: return Do_Copy(req, req_len, resp);
    case COMPARE_RAM_CMD: return Do_Compare(req, req_len, resp);
    case SET_RAM_CMD: return Do_Set(req, req_len, resp);
    case INPUT_PORT_CMD: return Do_Port(req, req_len, resp, false);
    case OUTPUT_PORT_CMD: return Do_Port(req, req_len, resp, true);
    case GET_FLASH_ID_CMD: return Do_Flash_Id(req, req_len, resp);
    case ERASE_FLASH_CMD: return Do_Erase(req, req_len, resp);
    case PROGRAM_FLASH_CMD: return Do_Program(req, req_len, resp);
    default: return Do_Unknown(req, req_len, resp);
    }
}

const char *Command_Name(BYTE id)
{
    switch (id) {
    case ECHO_CMD: return "echo";
    case CHANGE_BAUD_CMD: return "change_baud";
    case INIT_CMD: return "init";
    case SHUTDOWN_CMD: return "shutdown";
    case READ_RAM_CMD: return "read_ram";
    case WRITE_RAM_CMD: return "write_ram";
    case COPY_RAM_CMD: return "copy_ram";
    case COMPARE_RAM_CMD: return "compare_ram";
    case SET_RAM_CMD: return "set_ram";
    case INPUT_PORT_CMD: return "input_port";
    case OUTPUT_PORT_CMD: return "output_port";
    case GET_FLASH_ID_CMD: return "get_flash_id";
    case ERASE_FLASH_CMD: return "erase_flash";
    case PROGRAM_FLASH_CMD: return "program_flash";
    default: return "unknown";
    }
}

void Describe_Request(const BYTE *req, WORD req_len, char *out, size_t cap)
{
    if (cap) out[0] = 0;
    if (req_len < CMD_HEADER_SIZE) return;
    READ_RAM_CMD_STRUCT any = Take<READ_RAM_CMD_STRUCT>(req, req_len);
    const DWORD len = any.cmd_data_size;
    switch (req[0]) {
    case CHANGE_BAUD_CMD:
        snprintf(out, cap, ",\"baud\":%" PRIu32,
                 Take<CHANGE_BAUD_CMD_STRUCT>(req, req_len).baud_rate);
        break;
    case READ_RAM_CMD:
    case WRITE_RAM_CMD:
        snprintf(out, cap, ",\"addr\":%" PRIu32 ",\"len\":%" PRIu32, any.phys_address, len);
        break;
    case COPY_RAM_CMD:
    case COMPARE_RAM_CMD: {
        COPY_RAM_CMD_STRUCT r = Take<COPY_RAM_CMD_STRUCT>(req, req_len);
        snprintf(out, cap, ",\"src\":%" PRIu32 ",\"dest\":%" PRIu32 ",\"len\":%" PRIu32,
                 r.src_phys_address, r.dest_phys_address, len);
        break;
    }
    case SET_RAM_CMD: {
        SET_RAM_CMD_STRUCT r = Take<SET_RAM_CMD_STRUCT>(req, req_len);
        snprintf(out, cap, ",\"addr\":%" PRIu32 ",\"len\":%" PRIu32 ",\"value\":%u", r.phys_address,
                 len, r.bValue);
        break;
    }
    case INPUT_PORT_CMD:
    case OUTPUT_PORT_CMD: {
        INPUT_PORT_CMD_STRUCT r = Take<INPUT_PORT_CMD_STRUCT>(req, req_len);
        snprintf(out, cap, ",\"port\":%u,\"io_size\":%u,\"value\":%" PRIu32, r.io_port, r.io_size,
                 r.io_value);
        break;
    }
    case GET_FLASH_ID_CMD:
        snprintf(out, cap, ",\"base\":%" PRIu32,
                 Take<GET_FLASH_ID_CMD_STRUCT>(req, req_len).flash_base_address);
        break;
    case ERASE_FLASH_CMD: {
        ERASE_FLASH_CMD_STRUCT r = Take<ERASE_FLASH_CMD_STRUCT>(req, req_len);
        snprintf(out, cap, ",\"base\":%" PRIu32 ",\"block\":%" PRIu32 ",\"block_size\":%" PRIu32,
                 r.flash_base_address, r.flash_block_address, r.flash_block_size);
        break;
    }
    case PROGRAM_FLASH_CMD: {
        PROGRAM_FLASH_CMD_STRUCT r = Take<PROGRAM_FLASH_CMD_STRUCT>(req, req_len);
        snprintf(out, cap,
                 ",\"base\":%" PRIu32 ",\"block\":%" PRIu32 ",\"dest\":%" PRIu32 ",\"src\":%" PRIu32
                 ",\"len\":%" PRIu32,
                 r.flash_base_address, r.flash_block_address, r.flash_dest_address,
                 r.src_phys_address, len);
        break;
    }
    default: snprintf(out, cap, ",\"len\":%" PRIu32, len); break;
    }
}

} // namespace vboard
