// The hex file pass against a small Intel hex decoder written here from the
// record rules: the input is a file read by the same processing the program
// runs (Process_Program_File into the segment map and its segment files). A
// file the decoder rejects must be rejected; a file it accepts must give the
// same sorted segments, segment bytes and start vector.
#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "flashu.h"
#include "flashu_seg.h"
#include "fuzz.h"

namespace {

struct SEGMENT {
    DWORD start;
    std::string bytes;
    WORD index;  // in file order
};

struct DECODED {
    bool ok = false;
    std::vector<SEGMENT> segments;
    WORD vector_base = 0;
    DWORD vector_offset = 0;
};

int Nibble(int c)
{
    if (c >= '0' && c <= '9') return c - '0';
    c |= 0x20;
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Records start after a colon; anything may stand between two digit pairs,
// nothing between the two digits of one pair.
struct HEX_TEXT {
    uint8_t *p, *end;
    bool Colon()
    {
        while (p < end)
            if (*p++ == ':') return true;
        return false;
    }
    bool Byte(BYTE *b)
    {
        while (p < end && Nibble(*p) < 0) p++;
        if (end - p < 2 || Nibble(p[1]) < 0) return false;
        *b = BYTE(Nibble(p[0]) << 4 | Nibble(p[1]));
        return p += 2, true;
    }
};

// Addresses are 32-bit: base + offset wraps, and a run never continues past
// the top of the address space. At most 20 runs; a short address record reads
// its missing bytes as 0.
DECODED Decode(std::string file)
{
    DECODED d;
    HEX_TEXT text{reinterpret_cast<uint8_t *>(&file[0]), reinterpret_cast<uint8_t *>(&file[0]) + file.size()};
    DWORD base = 0, next = 0;
    size_t total = 0;
    for (;;) {
        BYTE rec[260];
        if (!text.Colon() || !text.Byte(&rec[0])) return d;
        BYTE sum = rec[0];
        for (int i = 1; i < rec[0] + 5; i++) {
            if (!text.Byte(&rec[i])) return d;
            sum = BYTE(sum + rec[i]);
        }
        if (sum != 0) return d;
        const BYTE len = rec[0], type = rec[3], *bytes = rec + 4;
        BYTE v[4] = {0, 0, 0, 0};
        memcpy(v, bytes, std::min<size_t>(len, 4));
        WORD high = WORD(v[0] << 8 | v[1]), low = WORD(v[2] << 8 | v[3]);
        DWORD addr = base + DWORD(rec[1] << 8 | rec[2]);
        if (type == 0 && len > 0) {
            if (!d.segments.empty() && next != 0 && addr == next) {
                d.segments.back().bytes.append(reinterpret_cast<const char *>(bytes), len);
            } else {
                if (d.segments.size() == MAX_SEG_MAP_ENTRIES) return d;
                d.segments.push_back({addr, std::string(reinterpret_cast<const char *>(bytes), len),
                                      WORD(d.segments.size())});
            }
            next = addr + len, total += len;
        } else if (type == 1) {
            d.ok = total > 0;
            std::stable_sort(d.segments.begin(), d.segments.end(),
                             [](const SEGMENT &a, const SEGMENT &b) { return a.start < b.start; });
            return d;
        } else if (type == 2 || type == 4) {
            base = DWORD(high) << (type == 2 ? 4 : 16);
        } else if (type == 3 || type == 5) {
            if (d.vector_base == 0 && d.vector_offset == 0)
                type == 3 ? (d.vector_base = high, d.vector_offset = low) : (d.vector_offset = DWORD(high) << 16 | low);
        } else if (type > 5) {
            return d;
        }
    }
}

// Every whole record gets the checksum its bytes call for: mutations then
// reach past the checksum test.
void Make_Checksums_Right(std::string *file)
{
    HEX_TEXT text{reinterpret_cast<uint8_t *>(&(*file)[0]), reinterpret_cast<uint8_t *>(&(*file)[0]) + file->size()};
    BYTE len, b;
    while (text.Colon() && text.Byte(&len)) {
        BYTE sum = len;
        int i = 1;
        for (; i < len + 4 && text.Byte(&b); i++) sum = BYTE(sum + b);
        if (i < len + 4 || !text.Byte(&b)) return;
        const BYTE want = BYTE(0 - sum);
        text.p[-2] = "0123456789ABCDEF"[want >> 4], text.p[-1] = "0123456789ABCDEF"[want & 15];
    }
}

std::string File_Bytes(const char *path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

int Lowest_Free_Fd()
{
    int fd = open("/dev/null", O_RDONLY);
    return close(fd), fd;
}

std::vector<std::string> Folder()
{
    std::vector<std::string> names;
    DIR *dir = opendir(".");
    while (struct dirent *e = dir ? readdir(dir) : nullptr)
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
    if (dir) closedir(dir);
    return names;
}

}  // namespace

// A file that begins with '!' (text before the first colon, which the reader
// skips) has its checksums made right first.
int Fuzz_Hex(const uint8_t *data, size_t size)
{
    Fuzz_Quiet quiet;
    const int free_fd = Lowest_Free_Fd();
    std::string file(reinterpret_cast<const char *>(data), size);
    if (size > 0 && data[0] == '!') Make_Checksums_Right(&file);
    std::ofstream("IN.HEX", std::ios::binary) << file;
    snprintf(filepath_str, sizeof filepath_str, "IN.HEX");
    file_format = 0, log_level = LOG_ALWAYS;
    WORD status = 0;
    Process_Program_File(&status);

    const DECODED want = Decode(file);
    if (!want.ok) {
        FUZZ_CHECK(status != 0, "a file the decoder rejects was accepted");
    } else {
        FUZZ_CHECK(status == 0, "a file the decoder accepts was rejected (status 0x%04X)", status);
        FUZZ_CHECK(number_seg_map_entries == want.segments.size(), "%u segments, %zu decoded",
                   number_seg_map_entries, want.segments.size());
        FUZZ_CHECK(oh_vector_base == want.vector_base && oh_vector_offset == want.vector_offset, "start vector");
        for (size_t i = 0; i < MAX_SEG_MAP_ENTRIES; i++) {
            const SEGMENT_MAP_STRUCT &got = seg_map_tbl[i];
            if (i >= want.segments.size()) {
                FUZZ_CHECK(got.size == 0, "map entry %zu past the last segment is in use", i);
                continue;
            }
            const SEGMENT &w = want.segments[i];
            FUZZ_CHECK(got.index == w.index && got.start_addr == w.start && got.size == w.bytes.size() &&
                           got.end_addr == DWORD(w.start + got.size - 1),
                       "segment %zu: #%u %08X-%08X (%u bytes), decoded #%u from %08X (%zu bytes)", i, got.index,
                       got.start_addr, got.end_addr, got.size, w.index, w.start, w.bytes.size());
            FUZZ_CHECK(File_Bytes(got.filepath_str) == w.bytes, "segment %zu: the bytes of %s differ", i,
                       got.filepath_str);
        }
    }
    Delete_Temp_Files();
    unlink("IN.HEX");
    FUZZ_CHECK(Folder().empty(), "left behind in the folder: %s", Folder()[0].c_str());
    FUZZ_CHECK(Lowest_Free_Fd() == free_fd, "a file descriptor was left open");
    return 0;
}
