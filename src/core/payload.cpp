#include "core/payload.h"

#include <cstring>

namespace core {

namespace {

// The C locale's whitespace, as the header tokens are separated.
bool is_space(uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The header is ASCII text; anything else in a token is shown as '?'.
bool is_printable_ascii(uint8_t c) { return c >= 0x21 && c <= 0x7E; }

}  // namespace

HeaderFields parse_header(const uint8_t (&header)[32]) {
    HeaderFields fields;
    char* targets[3] = {fields.device_name, fields.version, fields.year};
    size_t pos = 0;
    for (char* target : targets) {
        while (pos < sizeof header && is_space(header[pos])) ++pos;
        size_t length = 0;
        while (pos < sizeof header && !is_space(header[pos]) && length < TOKEN_MAX) {
            target[length++] = is_printable_ascii(header[pos]) ? static_cast<char>(header[pos]) : '?';
            ++pos;
        }
        target[length] = '\0';
    }
    return fields;
}

const char* header_format_error(const uint8_t (&header)[32]) {
    if (std::memcmp(header + 28, "\r\n\r\n", 4) != 0) return "header does not end in CR LF CR LF";
    size_t pos = 0;
    for (int token = 0; token < 3; ++token) {
        if (token > 0) {
            if (pos >= 28 || header[pos] != ' ') return "header fields are not separated by one blank";
            ++pos;
        }
        size_t start = pos;
        while (pos < 28 && header[pos] > ' ' && header[pos] < 0x7F) ++pos;
        if (pos == start) return "header lacks one of its three fields";
        if (pos - start > TOKEN_MAX) return "header field longer than 31 characters";
    }
    for (; pos < 28; ++pos) {
        if (header[pos] != ' ') return "header has more than three fields or is not padded with blanks";
    }
    return nullptr;
}

const char* make_header(const std::string& device_name, const std::string& version,
                        const std::string& year, uint8_t (&header)[32]) {
    for (const std::string* field : {&device_name, &version, &year}) {
        if (field->empty()) return "header fields must not be empty";
        for (unsigned char c : *field) {
            if (!is_printable_ascii(c)) return "header fields must be printable ASCII without whitespace";
        }
    }
    const std::string text = device_name + ' ' + version + ' ' + year;
    if (text.size() > 28) {
        return "header fields too long: device, version and year with one blank between them "
               "must fit in 28 characters";
    }
    std::memset(header, ' ', 28);
    std::memcpy(header, text.data(), text.size());
    std::memcpy(header + 28, "\r\n\r\n", 4);
    return nullptr;
}

uint8_t record_checksum_of(const uint8_t* data, size_t length) {
    uint8_t sum = 0;
    for (size_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum - data[i]);
    return sum;
}

DigestBlock read_digest_block(const uint8_t (&block)[48], uint8_t (&digest)[32]) {
    bool all_zero = true;
    for (uint8_t byte : block) all_zero = all_zero && byte == 0;
    if (all_zero) return DigestBlock::absent;
    if (std::memcmp(block, DIGEST_MARK, sizeof DIGEST_MARK) != 0) return DigestBlock::damaged;
    std::memcpy(digest, block + sizeof DIGEST_MARK, sizeof digest);
    return DigestBlock::present;
}

void make_digest_block(const uint8_t (&digest)[32], uint8_t (&block)[48]) {
    std::memcpy(block, DIGEST_MARK, sizeof DIGEST_MARK);
    std::memcpy(block + sizeof DIGEST_MARK, digest, sizeof digest);
}

long find_payload_offset(const uint8_t* data, size_t length) {
    const size_t mark_length = sizeof OFFSET_MARK - 1;
    for (size_t pos = 0; pos + mark_length < length; ++pos) {
        const void* candidate = std::memchr(data + pos, OFFSET_MARK[0], length - mark_length - pos);
        if (candidate == nullptr) return -1;
        pos = static_cast<size_t>(static_cast<const uint8_t*>(candidate) - data);
        if (std::memcmp(data + pos, OFFSET_MARK, mark_length) != 0) continue;
        long value = 0;
        size_t digits = 0;
        for (size_t p = pos + mark_length; p < length && digits <= 9 && data[p] >= '0' && data[p] <= '9'; ++p) {
            ++digits;
            value = value * 10 + (data[p] - '0');
        }
        // The program also holds the mark's text on its own (without digits, where it builds the
        // mark): only a mark with its number and terminator counts.
        const size_t end = pos + mark_length + digits;
        if (digits == 0 || digits > 9 || end >= length || data[end] != '\0') continue;
        return value;
    }
    return -1;
}

}  // namespace core
