// Hex records for the hex tests, by the writer under test (hex_pipeline_test pins its output).
#ifndef HEX_TEXT_H
#define HEX_TEXT_H

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>
#include "OH86_DEC.h"

inline std::string Hex_Record(BYTE type, WORD offset, const std::vector<BYTE> &data)
{
    OH86_RECORD_STRUCT rec = {type, (BYTE)data.size(), offset, 0, {}};
    if (data.size() > OH86_MAX_DATA) return "record too long";
    std::copy(data.begin(), data.end(), rec.bData);
    char text[4 * OH86_MAX_DATA] = {};
    FILE *f = fmemopen(text, sizeof text - 1, "w");
    Send_OH86_Record(f, &rec);
    fclose(f);
    return text;
}

const char *const HEX_END = ":00000001FF\n";

#endif
