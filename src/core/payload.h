// Format rules of the payload, shared by the program's reader and the packer: the header tokens,
// the record checksum, the logical-offset mapping and the stub's payload-offset mark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace core {

constexpr size_t TOKEN_MAX = 31;  // characters of one header token, without terminator

struct HeaderFields {
    char device_name[TOKEN_MAX + 1] = "";
    char version[TOKEN_MAX + 1] = "";
    char year[TOKEN_MAX + 1] = "";
};

// Reads up to three whitespace-separated tokens from the 32 header bytes only. Leading whitespace is
// skipped, a token ends at whitespace or after 31 characters (its rest becomes the next token), a
// token not present stays empty. Bytes other than printable ASCII inside a token are stored as '?',
// so that a damaged or hostile file cannot drive the terminal when the fields are printed.
HeaderFields parse_header(const uint8_t (&header)[32]);

// Why a header does not follow the producer's rule (three tokens, blanks up to offset 27, CR LF CR LF
// at 28 to 31); nullptr when it does.
const char* header_format_error(const uint8_t (&header)[32]);

// Builds a header from the three fields; returns an error text instead when a field is empty,
// holds anything but printable ASCII without whitespace, or the three do not fit.
const char* make_header(const std::string& device_name, const std::string& version,
                        const std::string& year, uint8_t (&header)[32]);

// Checksum byte c of a record: the data bytes plus c sum to 0 modulo 256.
uint8_t record_checksum_of(const uint8_t* data, size_t length);

// Image offset of the data byte for logical FLASH offset i.
constexpr uint32_t image_offset(uint32_t i) { return i + i / 128; }

// The digest block: DIGEST_MARK (16 bytes, NUL-padded), then the payload's SHA-256 (32 bytes).
constexpr char DIGEST_MARK[16] = "UPDATER-SHA256:";

enum class DigestBlock { absent, present, damaged };

// What the 48 bytes before the payload hold: all zeros (absent: no digest, which no update file may lack),
// a well-formed block (present; its digest copied to digest), or anything else (damaged).
DigestBlock read_digest_block(const uint8_t (&block)[48], uint8_t (&digest)[32]);

// The block that records digest.
void make_digest_block(const uint8_t (&digest)[32], uint8_t (&block)[48]);

// The executable part carries this mark followed by its payload offset in decimal and a NUL, so
// that the packer and the inspector can tell where any stub's payload begins.
constexpr char OFFSET_MARK[] = "UPDATER-PAYLOAD-OFFSET=";

// Finds the first well-formed mark (up to 9 digits, then NUL) in data and returns the offset it
// names; copies of the mark's text without them are passed over. -1 when there is none.
long find_payload_offset(const uint8_t* data, size_t length);

}  // namespace core
