// File size query on Win32, of the open file itself, through the run-time library's _fstat.
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "platform/file_size.h"

namespace platform {

long query_file_size(std::FILE* file) {
    struct _stat info;
    if (_fstat(_fileno(file), &info) != 0) return 0;
    return static_cast<long>(info.st_size);
}

}  // namespace platform
