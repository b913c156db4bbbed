// User file names arrive upper-cased by the line parser while Linux names are
// case-sensitive: each path component that does not exist as typed is matched
// case-insensitively against its directory (first match in sorted order).
#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "flashu.h"

static bool Path_Exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// The first entry of dir, in byte order, that equals name ignoring case.
static bool Find_Folded_Name(const std::string &dir, const std::string &name, std::string *found)
{
    DIR *d = opendir(dir.empty() ? "." : dir.c_str());
    if (d == nullptr) return false;
    std::vector<std::string> hits;
    while (struct dirent *e = readdir(d)) {
        if (strcasecmp(e->d_name, name.c_str()) == 0) hits.emplace_back(e->d_name);
    }
    closedir(d);
    if (hits.empty()) return false;
    *found = *std::min_element(hits.begin(), hits.end());
    return true;
}

// Resolves every component but keeps the last one as typed when it is
// missing and keep_missing_leaf is set (a file about to be created).
static bool Resolve_Components(const char *typed, std::string *real, bool keep_missing_leaf)
{
    std::string path(typed);
    if (Path_Exists(path)) {
        *real = path;
        return true;
    }
    std::string out = (path[0] == '/') ? "/" : "";
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos) slash = path.size();
        std::string comp = path.substr(pos, slash - pos);
        bool last = (slash == path.size());
        pos = slash + 1;
        if (comp.empty()) continue;
        std::string candidate = out + comp;
        if (comp != "." && comp != ".." && !Path_Exists(candidate)) {
            std::string found;
            if (Find_Folded_Name(out, comp, &found))
                candidate = out + found;
            else if (!(last && keep_missing_leaf))
                return false;
        }
        out = candidate;
        if (!last) out += "/";
    }
    *real = out;
    return true;
}

bool Resolve_User_Path(const char *typed, char *out, size_t out_size)
{
    std::string real;
    if (typed == nullptr || typed[0] == '\0' || out_size == 0) return false;
    if (!Resolve_Components(typed, &real, false) || real.size() >= out_size) return false;
    memcpy(out, real.c_str(), real.size() + 1);
    return true;
}

FILE *Open_User_File(const char *typed, const char *mode)
{
    std::string real;
    if (typed == nullptr || typed[0] == '\0') return nullptr;
    bool creating = strchr(mode, 'w') != nullptr || strchr(mode, 'a') != nullptr;
    if (!Resolve_Components(typed, &real, creating)) return nullptr;
    if (!creating) {
        // Only regular files: a directory, FIFO or device would be read as
        // an endless or blocking stream of lines.
        struct stat st;
        if (stat(real.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    }
    return fopen(real.c_str(), mode);
}
