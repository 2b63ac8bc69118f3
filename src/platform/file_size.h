// Size of an open file, as the platform's file system reports it.
#pragma once

#include <cstdio>

namespace platform {

// Size in bytes of the open file; 0 if the query fails or the size does not fit a long.
long query_file_size(std::FILE* file);

}  // namespace platform
