#include "load_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace mkupdate {

namespace {

bool ends_with(const std::string& text, const char* suffix) {
    const std::string s(suffix);
    if (text.size() < s.size()) return false;
    return std::equal(s.rbegin(), s.rend(), text.rbegin(),
                      [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) ==
                                                  std::tolower(static_cast<unsigned char>(b)); });
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Decodes pairs of hex digits; false if any character is not a hex digit or the count is odd.
bool decode_hex(const std::string& digits, std::vector<uint8_t>& bytes) {
    if (digits.size() % 2 != 0) return false;
    bytes.clear();
    for (size_t i = 0; i < digits.size(); i += 2) {
        const int high = hex_digit(digits[i]);
        const int low = hex_digit(digits[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return true;
}

// Collects the lines of a load file with their numbers and the error context.
class LineReader {
public:
    LineReader(const std::string& text, const std::string& name) : stream_(text), name_(name) {}

    // Next line without its line end and trailing blanks; false at the end of the text.
    bool next(std::string& line) {
        if (!std::getline(stream_, line)) return false;
        ++number_;
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
        return true;
    }

    bool fail(std::string& error, const std::string& message) const {
        error = name_ + ":" + std::to_string(number_) + ": " + message;
        return false;
    }

private:
    std::istringstream stream_;
    std::string name_;
    unsigned long number_ = 0;
};

// Places data bytes at address; refuses bytes outside the image and bytes given twice.
class ImageWriter {
public:
    ImageWriter(std::vector<uint8_t>& image, size_t size) : image_(image), given_(size, false) {
        image_.assign(size, 0xFF);
    }

    // Error text, or empty when all bytes were placed.
    std::string place(unsigned long long address, const uint8_t* data, size_t length) {
        for (size_t k = 0; k < length; ++k) {
            const unsigned long long at = address + k;
            char text[96];
            if (at >= given_.size()) {
                std::snprintf(text, sizeof text, "data at address 0x%llX lies outside 0 to 0x%zX", at,
                              given_.size() - 1);
                return text;
            }
            if (given_[at]) {
                std::snprintf(text, sizeof text, "address 0x%llX given twice", at);
                return text;
            }
            given_[at] = true;
            image_[at] = data[k];
        }
        return {};
    }

    // True when no byte was placed: a load file without data would pack an image of 0xFF alone.
    bool nothing_given() const { return std::find(given_.begin(), given_.end(), true) == given_.end(); }

    // error for a load file that holds no data at all; false.
    bool fail_empty(const std::string& name, std::string& error) const {
        error = name + ": no data records (the image would be all 0xFF)";
        return false;
    }

private:
    std::vector<uint8_t>& image_;
    std::vector<bool> given_;
};

}  // namespace

bool parse_intel_hex(const std::string& text, const std::string& name, size_t size,
                     std::vector<uint8_t>& image, std::string& error) {
    LineReader lines(text, name);
    ImageWriter writer(image, size);
    unsigned long long base = 0;
    bool ended = false;
    std::string line;
    std::vector<uint8_t> bytes;
    while (lines.next(line)) {
        if (line.empty()) continue;
        if (ended) return lines.fail(error, "data after the end-of-file record");
        if (line[0] != ':') return lines.fail(error, "record does not start with ':'");
        if (!decode_hex(line.substr(1), bytes) || bytes.size() < 5) {
            return lines.fail(error, "malformed record (not an even number of hex digits, or too short)");
        }
        const size_t count = bytes[0];
        if (bytes.size() != count + 5) return lines.fail(error, "record length does not match its byte count");
        uint8_t sum = 0;
        for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
        if (sum != 0) return lines.fail(error, "record checksum error");
        const unsigned offset = static_cast<unsigned>(bytes[1] << 8 | bytes[2]);
        const uint8_t* data = bytes.data() + 4;
        switch (bytes[3]) {
            case 0x00:
                if (std::string problem = writer.place(base + offset, data, count); !problem.empty()) {
                    return lines.fail(error, problem);
                }
                break;
            case 0x01:
                if (count != 0) return lines.fail(error, "end-of-file record with data");
                ended = true;
                break;
            case 0x02:
                if (count != 2) return lines.fail(error, "extended segment address record needs 2 bytes");
                base = static_cast<unsigned long long>(data[0] << 8 | data[1]) << 4;
                break;
            case 0x04:
                if (count != 2) return lines.fail(error, "extended linear address record needs 2 bytes");
                base = static_cast<unsigned long long>(data[0] << 8 | data[1]) << 16;
                break;
            case 0x03:
            case 0x05:
                if (count != 4) return lines.fail(error, "start address record needs 4 bytes");
                break;
            default:
                return lines.fail(error, "unknown record type " + std::to_string(bytes[3]));
        }
    }
    if (!ended) {
        error = name + ": missing end-of-file record (file incomplete?)";
        return false;
    }
    return writer.nothing_given() ? writer.fail_empty(name, error) : true;
}

bool parse_srecord(const std::string& text, const std::string& name, size_t size,
                   std::vector<uint8_t>& image, std::string& error) {
    LineReader lines(text, name);
    ImageWriter writer(image, size);
    unsigned long data_records = 0;
    bool ended = false;
    bool counted = false;  // the last record so far is a count record matching the data before it
    std::string line;
    std::vector<uint8_t> bytes;
    while (lines.next(line)) {
        if (line.empty()) continue;
        if (ended) return lines.fail(error, "data after the termination record");
        counted = false;
        if (line.size() < 2 || line[0] != 'S' || line[1] < '0' || line[1] > '9') {
            return lines.fail(error, "record does not start with S0 to S9");
        }
        const int type = line[1] - '0';
        if (!decode_hex(line.substr(2), bytes) || bytes.size() < 3) {
            return lines.fail(error, "malformed record (not an even number of hex digits, or too short)");
        }
        if (bytes.size() != static_cast<size_t>(bytes[0]) + 1) {
            return lines.fail(error, "record length does not match its byte count");
        }
        uint8_t sum = 0;
        for (size_t i = 0; i + 1 < bytes.size(); ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
        if (static_cast<uint8_t>(~sum) != bytes.back()) return lines.fail(error, "record checksum error");
        static const int address_length[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
        if (type == 4) return lines.fail(error, "unknown record type S4");
        const size_t address_bytes = static_cast<size_t>(address_length[type]);
        if (bytes.size() < 2 + address_bytes) return lines.fail(error, "record too short for its address");
        unsigned long long address = 0;
        for (size_t i = 0; i < address_bytes; ++i) address = address << 8 | bytes[1 + i];
        const uint8_t* data = bytes.data() + 1 + address_bytes;
        const size_t count = bytes.size() - 2 - address_bytes;
        switch (type) {
            case 1: case 2: case 3:
                if (std::string problem = writer.place(address, data, count); !problem.empty()) {
                    return lines.fail(error, problem);
                }
                ++data_records;
                break;
            case 5: case 6:
                if (address != data_records) {
                    return lines.fail(error, "record count " + std::to_string(address) + " does not match the " +
                                                 std::to_string(data_records) + " data records before it");
                }
                counted = true;
                break;
            case 7: case 8: case 9:
                ended = true;
                break;
            default:
                break;  // S0: header text
        }
    }
    // Converters that know no start address end the file with its count record instead (srec_cat
    // does); either one shows that the file is complete.
    if (!ended && !counted) {
        error = name + ": missing termination record S7, S8 or S9, or final count record S5 or S6 (file incomplete?)";
        return false;
    }
    return writer.nothing_given() ? writer.fail_empty(name, error) : true;
}

bool read_whole_file(const std::string& path, size_t limit, std::vector<uint8_t>& data, std::string& error) {
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        error = path + ": not a regular file";
        return false;
    }
    if (stat(path.c_str(), &info) == 0 && static_cast<unsigned long long>(info.st_size) > limit) {
        error = path + ": " + std::to_string(info.st_size) + " bytes, more than the " + std::to_string(limit) +
                " such a file can have";
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    data.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (file.bad()) {
        error = path + ": read error";
        return false;
    }
    return true;
}

bool read_image(const std::string& path, size_t size, RawSize raw_size, std::vector<uint8_t>& image,
                std::string& error) {
    std::vector<uint8_t> content;
    const bool hex = ends_with(path, ".hex");
    const bool srecord = ends_with(path, ".srec") || ends_with(path, ".s19") || ends_with(path, ".s28") ||
                         ends_with(path, ".s37") || ends_with(path, ".mot");
    // A raw image is judged by its length before it is read.
    struct stat info;
    const bool raw = !hex && !srecord;
    if (raw && stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        const auto length = static_cast<unsigned long long>(info.st_size);
        if (raw_size == RawSize::exact ? length != size : length > size) {
            error = path + ": raw image of " + std::to_string(length) + " bytes, expected " +
                    (raw_size == RawSize::exact ? "exactly " : "at most ") + std::to_string(size);
            return false;
        }
    }
    if (!read_whole_file(path, raw ? size : MAX_LOAD_FILE_SIZE, content, error)) return false;
    const std::string text(content.begin(), content.end());
    if (hex) return parse_intel_hex(text, path, size, image, error);
    if (srecord) return parse_srecord(text, path, size, image, error);
    if (raw_size == RawSize::exact ? content.size() != size : content.size() > size) {
        error = path + ": raw image of " + std::to_string(content.size()) + " bytes, expected " +
                (raw_size == RawSize::exact ? "exactly " : "at most ") + std::to_string(size);
        return false;
    }
    image.assign(size, 0xFF);
    std::copy(content.begin(), content.end(), image.begin());
    return true;
}

}  // namespace mkupdate
