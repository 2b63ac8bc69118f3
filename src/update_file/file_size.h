// Size of a named file, as the platform's file system reports it.
#pragma once

namespace update_file {

// Size in bytes of the file named by path; 0 if the query fails or the size does not fit a long.
long query_file_size(const char* path);

}  // namespace update_file
