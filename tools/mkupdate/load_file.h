// Reading memory images for the packer: raw binaries, Intel HEX and Motorola S-record load files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mkupdate {

enum class RawSize { exact, at_most };

// Reads an image of `size` bytes from the file at path: Intel HEX when the name ends in .hex,
// S-record when it ends in .srec, .s19 or .mot (any case), a raw binary otherwise (of exactly or at
// most `size` bytes, judged by its length before it is read). Bytes a load file does not give are
// 0xFF. On failure returns false with an error that names the file and, for a load file, the line.
bool read_image(const std::string& path, size_t size, RawSize raw_size, std::vector<uint8_t>& image,
                std::string& error);

// Load files larger than this hold no image of the device: refused unread.
constexpr size_t MAX_LOAD_FILE_SIZE = 64u << 20;

// Reads a whole regular file of at most limit bytes; false with an error naming it. A larger file
// is refused by its size, before any of it is read.
bool read_whole_file(const std::string& path, size_t limit, std::vector<uint8_t>& data, std::string& error);

// The two load-file readers over the file's text; name is used in error messages.
bool parse_intel_hex(const std::string& text, const std::string& name, size_t size,
                     std::vector<uint8_t>& image, std::string& error);
bool parse_srecord(const std::string& text, const std::string& name, size_t size,
                   std::vector<uint8_t>& image, std::string& error);

}  // namespace mkupdate
