// Removal of the temporary segment files (*.~~~) left in the working directory.
#include <cstring>
#include <dirent.h>
#include <unistd.h>

#include "flashu.h"

static bool Is_Temp_File_Name(const char *name)
{
    size_t len = strlen(name);
    return len >= 4 && strcmp(name + len - 4, ".~~~") == 0;
}

void Delete_Temp_Files()
{
    DIR *d = opendir(".");
    if (d == nullptr) return;
    while (struct dirent *e = readdir(d)) {
        if (Is_Temp_File_Name(e->d_name)) unlink(e->d_name);
    }
    closedir(d);
}
