// UpdateImage: an update file's payload, judged and held in memory for one run: the header fields,
// the FLASH records and the EEPROM bytes. Built from the file's bytes, read from an open file or
// given as a buffer, with the payload offset of the stub that carries it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "core/failure.h"
#include "core/layout.h"
#include "core/verdict.h"

namespace core {

class UpdateImage {
public:
    explicit UpdateImage(long payload_offset) : payload_offset_(payload_offset) {}

    // Reads the open file whole (length bytes, as the file system reports its size) and judges it,
    // as open() does. Fails on a read that falls short, with the system's reason.
    Failed open_file(std::FILE* file, long length);

    // Judges the file's bytes: its length (or the payload followed by a signature), then its payload
    // digest, which must be recorded and match. On success the header, the records and the EEPROM
    // bytes are held; the records' checksums are judged by verify(). The length and the digest
    // are known also when the digest fails.
    Failed open(const uint8_t* data, size_t length);

    long length() const { return length_; }
    // The payload's SHA-256 (zeros where it was not computed) and whether it was.
    const uint8_t (&payload_sha256() const)[DIGEST_SIZE] { return digest_; }
    bool digest_known() const { return digest_known_; }
    const HeaderFields& header() const { return header_; }
    // The vendor's signature as the file carries it (not present where the file has none).
    const SignatureBlock& signature() const { return signature_; }

    // The file offset of the FLASH image.
    long image_start() const { return payload_offset_ + static_cast<long>(HEADER_SIZE); }

    // The checksum test of the 500 records: a failure at the first mismatch.
    Failed verify() const;

    // FLASH data byte for logical offset i, 0 <= i < 64,000.
    uint8_t flash_byte(uint32_t i) const;

    // For i a positive multiple of 128: the stored checksum byte of the record ending before offset i.
    uint8_t record_checksum(uint32_t i) const;

    // EEPROM byte at address a; 0xFF past the EEPROM contents.
    uint8_t eeprom_byte(uint32_t a) const;

    // Forgets everything: the memory goes back.
    void release();

private:
    // The length failure of a file of length_ bytes.
    Failure wrong_length() const;

    long payload_offset_;
    long length_ = 0;
    uint8_t digest_[DIGEST_SIZE] = {};
    bool digest_known_ = false;
    HeaderFields header_;
    SignatureBlock signature_;
    long bad_record_ = -1;
    std::vector<uint8_t> payload_;  // header, FLASH image, EEPROM contents
};

}  // namespace core
