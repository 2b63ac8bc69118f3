// An Authenticode signature added to a packed Windows update file after packing: the signing tool
// appends a certificate table behind the payload (after at most 7 zero bytes that align it to 8)
// and records its place in the PE header's security directory. These rules tell such a tail from
// anything else appended to the file. Pure: no OS header, no file access.
#pragma once

#include <cstddef>
#include <cstdint>

namespace core {

// Bytes of the file's start that hold every PE header find_certificate_table looks at.
constexpr size_t PE_HEADERS_READ = 4096;

// Zero bytes a signing tool may put between the payload and the certificate table.
constexpr long MAX_SIGNATURE_ALIGNMENT = 7;

// Room a signing tool's certificate table may take behind the payload: a file longer than that is
// no update file, judged by its length alone.
constexpr long MAX_SIGNATURE_SIZE = 16L << 20;

struct CertificateTable {
    long offset = 0;  // file offset of the table
    long size = 0;    // its length in bytes
};

// The security directory entry of the PE image whose first length bytes are head (PE32 or PE32+);
// false when head holds no PE image, or the image has no certificate table.
bool find_certificate_table(const uint8_t* head, size_t length, CertificateTable& table);

// True when a file of file_length bytes is exactly a payload ending at payload_end followed by
// table: the table starts at most MAX_SIGNATURE_ALIGNMENT bytes after payload_end and runs to the
// end of the file. (The alignment bytes themselves must be zeros; the caller reads them.)
bool certificate_table_ends_file(const CertificateTable& table, long payload_end, long file_length);

// The whole rule: head holds the file's first bytes, after holds the bytes that follow payload_end
// (up to MAX_SIGNATURE_ALIGNMENT of them, fewer at the end of the file). True, with the table, when
// the file is the payload followed by nothing but zero alignment and its certificate table.
bool is_signature_tail(const uint8_t* head, size_t head_length, const uint8_t* after, size_t after_length,
                       long payload_end, long file_length, CertificateTable& table);

}  // namespace core
