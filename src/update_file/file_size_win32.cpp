// File size query on Win32, through the run-time library's _stat.
#include <sys/stat.h>
#include <sys/types.h>

#include "update_file/file_size.h"

namespace update_file {

long query_file_size(const char* path) {
    struct _stat info;
    if (_stat(path, &info) != 0) return 0;
    return static_cast<long>(info.st_size);
}

}  // namespace update_file
