// The hex file pass against a decoder written from the record rules; no file or descriptor left.
// An input beginning with '!' has its checksums made right first, so mutations reach past them.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>
#include "flashu.h"
#include "flashu_seg.h"
#include "fuzz.h"

namespace {
struct SEGMENT {
    DWORD start;
    std::string bytes;
    WORD index;
}; // index: in file order
struct DECODED {
    bool ok = false;
    std::vector<SEGMENT> segments;
    WORD vector_base = 0;
    DWORD vector_offset = 0;
};

int Nibble(unsigned char c)
{
    return isdigit(c) ? c - '0' : isxdigit(c) ? (c | 0x20) - 'a' + 10 : -1;
}

// Records start after a colon; anything may stand between two digit pairs, nothing within one.
struct HEX_TEXT {
    char *p, *end;
    bool Colon() { return (p = std::find(p, end, ':')) < end && ++p; }
    bool Byte(BYTE *b)
    {
        while (p < end && Nibble(*p) < 0) p++;
        if (end - p < 2 || Nibble(p[1]) < 0) return false;
        *b = BYTE(Nibble(p[0]) << 4 | Nibble(p[1]));
        p += 2;
        return true;
    }
    bool Record(BYTE rec[260]) // length, offset, type, data, checksum
    {
        bool ok = Colon();
        for (int i = 0; ok && i < (i ? rec[0] + 5 : 1); i++) ok = Byte(&rec[i]);
        return ok;
    }
};

const auto Sum = [](const BYTE *rec, int n) { return BYTE(std::accumulate(rec, rec + n, 0)); };

// 32-bit addresses wrap, a run never continues past the top; at most 20 runs; a short address
// record reads missing bytes as 0; the first start vector that is not 0:0 counts.
DECODED Decode(std::string file)
{
    DECODED d;
    HEX_TEXT text{&file[0], &file[0] + file.size()};
    DWORD base = 0, next = 0, total = 0;
    for (BYTE rec[260]; text.Record(rec) && Sum(rec, rec[0] + 5) == 0;) {
        const BYTE len = rec[0], type = rec[3], *data = rec + 4;
        auto word = [&](int at) {
            return WORD((at < len ? data[at] << 8 : 0) | (at + 1 < len ? data[at + 1] : 0));
        };
        const DWORD addr = base + DWORD(rec[1] << 8 | rec[2]);
        if (type > 5) return d;
        if (type == 0 && len > 0) {
            if (d.segments.empty() || next == 0 || addr != next) {
                if (d.segments.size() == MAX_SEG_MAP_ENTRIES) return d;
                d.segments.push_back({addr, "", WORD(d.segments.size())});
            }
            d.segments.back().bytes.append(reinterpret_cast<const char *>(data), len);
            next = addr + len;
            total += len;
        } else if (type == 1) {
            d.ok = total > 0;
            std::stable_sort(d.segments.begin(), d.segments.end(),
                             [](const SEGMENT &a, const SEGMENT &b) { return a.start < b.start; });
            return d;
        } else if (type == 2 || type == 4) {
            base = DWORD(word(0)) << (type == 2 ? 4 : 16);
        } else if ((type == 3 || type == 5) && d.vector_base == 0 && d.vector_offset == 0) {
            d.vector_base = type == 3 ? word(0) : 0;
            d.vector_offset = type == 3 ? word(2) : DWORD(word(0)) << 16 | word(2);
        }
    }
    return d;
}

void Make_Checksums_Right(std::string *file)
{
    HEX_TEXT text{&(*file)[0], &(*file)[0] + file->size()};
    for (BYTE rec[260]; text.Record(rec);) {
        const BYTE want = BYTE(0 - Sum(rec, rec[0] + 4));
        text.p[-2] = "0123456789ABCDEF"[want >> 4];
        text.p[-1] = "0123456789ABCDEF"[want & 15];
    }
}

int Lowest_Free_Fd()
{
    int fd = open("/dev/null", O_RDONLY);
    close(fd);
    return fd;
}
} // namespace

int Fuzz_Hex(const uint8_t *data, size_t size)
{
    Fuzz_Quiet quiet;
    const int free_fd = Lowest_Free_Fd();
    std::string file(reinterpret_cast<const char *>(data), size);
    if (size > 0 && data[0] == '!') Make_Checksums_Right(&file);
    std::ofstream("IN.HEX", std::ios::binary) << file;
    snprintf(filepath_str, sizeof filepath_str, "IN.HEX");
    file_format = 0;
    log_level = LOG_ALWAYS;
    WORD status = 0;
    Process_Program_File(&status);
    const DECODED want = Decode(file);
    FUZZ_CHECK(want.ok == (status == 0), "the decoder %s the file, the pass said 0x%04X",
               want.ok ? "accepts" : "rejects", status);
    FUZZ_CHECK(!want.ok ||
                   (number_seg_map_entries == want.segments.size() &&
                    oh_vector_base == want.vector_base && oh_vector_offset == want.vector_offset),
               "%u segments, %zu decoded, or another start vector", number_seg_map_entries,
               want.segments.size());
    for (size_t i = 0; want.ok && i < MAX_SEG_MAP_ENTRIES; i++) {
        const SEGMENT_MAP_STRUCT &got = seg_map_tbl[i];
        FUZZ_CHECK(i < want.segments.size() || got.size == 0,
                   "map entry %zu past the last segment is in use", i);
        if (i >= want.segments.size()) continue;
        const SEGMENT &w = want.segments[i];
        FUZZ_CHECK(
            got.index == w.index && got.start_addr == w.start && got.size == w.bytes.size() &&
                got.end_addr == DWORD(w.start + got.size - 1) &&
                (std::ostringstream() << std::ifstream(got.filepath_str).rdbuf()).str() == w.bytes,
            "segment %zu (#%u at %08X, %u bytes) is not the decoded one", i, got.index,
            got.start_addr, got.size);
    }
    Delete_Temp_Files();
    unlink("IN.HEX");
    FUZZ_CHECK(std::filesystem::is_empty("."), "a file was left behind in the folder");
    FUZZ_CHECK(Lowest_Free_Fd() == free_fd, "a file descriptor was left open");
    return 0;
}
