// File size query on POSIX systems, of the open file itself: a file renamed over it meanwhile does
// not count.
#include <sys/stat.h>

#include <climits>

#include "platform/file_size.h"

namespace platform {

long query_file_size(std::FILE* file) {
    struct stat info;
    if (fstat(fileno(file), &info) != 0 || info.st_size > LONG_MAX) return 0;
    return static_cast<long>(info.st_size);
}

}  // namespace platform
