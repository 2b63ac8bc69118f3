// Making and inspecting update files: a stub (the updater's executable part) with the payload
// appended behind it at the stub's payload offset.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/signature.h"

namespace mkupdate {

struct PackInput {
    std::vector<uint8_t> stub;
    long payload_offset = -1;     // -1: take it from the stub's mark
    std::vector<uint8_t> flash;   // 64,000 bytes
    std::vector<uint8_t> eeprom;  // at most 2,048 bytes; the rest of the area is 0xFF
    std::string device_name, version, year;
};

// Lays out the whole update file. Returns false with an error when the stub carries no offset and
// none was given, an offset given differs from the stub's own, the stub does not fit below its
// offset, or a header field breaks the header's rules.
bool build_update_file(const PackInput& input, std::vector<uint8_t>& out, std::string& error);

// The largest payload offset a stub may have: far above any updater's, low enough that an update
// file always fits in memory.
constexpr long MAX_PAYLOAD_OFFSET = 64L << 20;

// False with an error when path (or what a symbolic link there points to) exists and is not a
// regular file: a device, a FIFO, a socket or a folder is never replaced by an update file; and when
// it resolves nowhere (links in a loop, a folder in the way that is none).
bool output_path_usable(const std::string& path, std::string& error);

// Writes data to path through a temporary file in the same folder, renamed into place only when
// complete, so that no partial file is ever left under path. mode is the new file's permission bits.
bool write_file_atomically(const std::string& path, const std::vector<uint8_t>& data, unsigned mode,
                           std::string& error);

// Inspects an update file: prints the header fields, the length and checksum verdicts and the
// signature to out. Returns true only for a valid update file, with keys one signed by one of them.
// payload_offset -1: take it from the file's stub.
bool check_update_file(const std::vector<uint8_t>& file, long payload_offset, const core::TrustedKeys& keys,
                       std::FILE* out);

}  // namespace mkupdate
