// File size query on POSIX systems.
#include <sys/stat.h>

#include <climits>

#include "update_file/file_size.h"

namespace update_file {

long query_file_size(const char* path) {
    struct stat info;
    if (stat(path, &info) != 0 || info.st_size > LONG_MAX) return 0;
    return static_cast<long>(info.st_size);
}

}  // namespace update_file
