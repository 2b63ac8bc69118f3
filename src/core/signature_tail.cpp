#include "core/signature_tail.h"

namespace core {

namespace {

constexpr size_t SECURITY_DIRECTORY = 4;  // index of the certificate table's entry

uint32_t little_endian(const uint8_t* bytes, size_t count) {
    uint32_t value = 0;
    for (size_t i = count; i > 0; --i) value = value << 8 | bytes[i - 1];
    return value;
}

}  // namespace

bool find_certificate_table(const uint8_t* head, size_t length, CertificateTable& table) {
    if (length < 0x40 || head[0] != 'M' || head[1] != 'Z') return false;
    const size_t pe = little_endian(head + 0x3C, 4);
    // "PE\0\0", the 20-byte file header, then the optional header with its magic.
    if (pe > length || length - pe < 24 + 2) return false;
    if (head[pe] != 'P' || head[pe + 1] != 'E' || head[pe + 2] != 0 || head[pe + 3] != 0) return false;
    const size_t optional = pe + 24;
    const uint32_t magic = little_endian(head + optional, 2);
    size_t count_at = 0;
    if (magic == 0x10B) count_at = optional + 92;        // PE32
    else if (magic == 0x20B) count_at = optional + 108;  // PE32+
    else return false;
    const size_t directories = count_at + 4;
    const size_t entry = directories + SECURITY_DIRECTORY * 8;
    if (entry + 8 > length || little_endian(head + count_at, 4) <= SECURITY_DIRECTORY) return false;
    table.offset = static_cast<long>(little_endian(head + entry, 4));
    table.size = static_cast<long>(little_endian(head + entry + 4, 4));
    return table.offset != 0 && table.size != 0;
}

bool certificate_table_ends_file(const CertificateTable& table, long payload_end, long file_length) {
    return table.offset >= payload_end && table.offset - payload_end <= MAX_SIGNATURE_ALIGNMENT &&
           table.size > 0 && table.size <= file_length - table.offset && table.offset + table.size == file_length;
}

bool is_signature_tail(const uint8_t* head, size_t head_length, const uint8_t* after, size_t after_length,
                       long payload_end, long file_length, CertificateTable& table) {
    if (!find_certificate_table(head, head_length, table) || !certificate_table_ends_file(table, payload_end, file_length)) {
        return false;
    }
    const size_t alignment = static_cast<size_t>(table.offset - payload_end);
    if (alignment > after_length) return false;
    for (size_t i = 0; i < alignment; ++i) {
        if (after[i] != 0) return false;
    }
    return true;
}

}  // namespace core
