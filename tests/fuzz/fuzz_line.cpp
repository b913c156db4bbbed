// A typed line (flags: cleaned, debug on, link up) processed; every text setting stays ended.
#include <strings.h>
#include <cstring>
#include <string>
#include <vector>
#include "FLDATA.h"
#include "MSG.h"
#include "flashu.h"
#include "flashu_debug.h"
#include "fuzz.h"
#include "mem_port.h"

namespace {
// Settings and state a line may change, put back after each input.
struct SAVED {
    void *at;
    std::string bytes;
};
template <class... T> std::vector<SAVED> Save_All(T &...vars)
{
    return {SAVED{&vars, std::string(reinterpret_cast<const char *>(&vars), sizeof vars)}...};
}
const std::vector<SAVED> start_values = Save_All(
    log_level, debug_cmds_enabled, exit_program, comm_port, vt_comm_port, baud_rate, vt_baud_rate,
    system_name_str, board_id, filepath_str, file_format, program_addr, prog_name_str, version_str,
    group_name_str, verify_flash, tbl_tab, oh_vector_base, oh_vector_offset, prompt_str,
    cmd_filepath_str, cmd_mode, number_device_map_entries, target_prog_id, target_prog_version,
    boot_tbl_addr, system_tbl_addr, device_map_tbl_addr, dir_tbl_addr, dwDest, dwSrc, dwCount,
    dwVal, dwBase, dwBlock, wType, wCode, wID, bData);

// Any word may end up run as a command (the words after a command are run as a segment).
bool Harmless(std::string line)
{
    const char *separators = " \t\n\v\f\r;=+";
    for (char *w = strtok(&line[0], separators); w; w = strtok(nullptr, separators))
        for (const char *banned : {"DOS", "TERM", "VT", "ECHO"})
            if (strcasecmp(w, banned) == 0) return false;
    return line.find('/') == std::string::npos;
}
} // namespace

int Fuzz_Line(const uint8_t *data, size_t size)
{
    if (size == 0) return 0;
    Fuzz_Quiet quiet;
    const BYTE flags = data[0];
    std::string text(reinterpret_cast<const char *>(data) + 1,
                     std::min<size_t>(size - 1, INPUT_LINE_SIZE - 1));
    if (flags & 1) Drop_Control_Chars(&text[0]);
    text.resize(strlen(text.c_str()));
    if (!Harmless(text)) return 0;
    std::vector<char> line(text.c_str(), text.c_str() + text.size() + 1); // no room past the line
    WORD s;
    Mem_Port_Install(0);
    Reset_Flash_Table_Images();
    Clear_Comms_Status();
    debug_cmds_enabled = (flags & 2) != 0;
    if (flags & 4) { // the link marked up, on a silent line
        comm_port = 0;
        Init_Message_Link(0, 9600, &s);
        link_up = 1;
    }
    Process_Input_Line(line.data());
    for (const char *field : {prompt_str, filepath_str, prog_name_str, version_str, group_name_str,
                              system_name_str, cmd_filepath_str})
        FUZZ_CHECK(memchr(field, '\0', TEXT_FIELD_SIZE), "a text setting lost its end");
    if (cmd_file) fclose(cmd_file);
    cmd_file = nullptr;
    Shutdown_Message_Link(&s);
    link_up = 0;
    Mem_Port_Remove();
    Delete_Temp_Files();
    for (const SAVED &v : start_values) memcpy(v.at, v.bytes.data(), v.bytes.size());
    return 0;
}
