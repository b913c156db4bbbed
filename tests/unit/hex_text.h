// Hex records for the hex tests, by the writer under test (hex_pipeline_test pins its output).
#ifndef HEX_TEXT_H
#define HEX_TEXT_H

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>
#include "OH86_DEC.h"

inline std::string Hex_Record(BYTE type, WORD offset, const std::vector<BYTE> &data)
{
    OH86_RECORD_STRUCT rec = {type, (BYTE)data.size(), offset, 0, {}};
    if (data.size() > OH86_MAX_DATA) return "record too long";
    std::copy(data.begin(), data.end(), rec.bData);
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    Send_OH86_Record(f, &rec);
    fclose(f);
    std::string out(buf, len);
    free(buf);
    return out;
}

const char *const HEX_END = ":00000001FF\n";

#endif
