// One verdict for an update file, for the updater before it sends anything and for `mkupdate
// check` alike: a pure function over the file's bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/digest.h"
#include "core/payload.h"
#include "core/signature.h"
#include "core/signature_tail.h"

namespace core {

struct FileVerdict {
    long payload_offset = -1;
    bool offset_usable = false;  // room for the digest block before the payload
    long length = 0;
    long expected_length = 0;
    bool length_ok = false;      // the expected length, or the payload followed by a signature
    bool is_signed = false;
    CertificateTable table;      // when signed
    // The rest only when the length is right:
    HeaderFields header;
    const char* header_problem = nullptr;  // a producer's rule the header breaks
    long bad_record = -1;                  // the first record whose checksum is wrong
    DigestBlock digest_block = DigestBlock::absent;
    bool digest_computed = false;
    uint8_t digest[DIGEST_SIZE] = {};      // the payload's SHA-256, as computed
    bool digest_matches = false;           // recorded before the payload, and equal
    SignatureBlock signature;              // the vendor's signature before the digest block, if any

    bool valid() const { return length_ok && header_problem == nullptr && bad_record < 0 && digest_matches; }
};

// Judges the length bytes at data as an update file whose payload begins at payload_offset.
FileVerdict judge_update_file(const uint8_t* data, size_t length, long payload_offset);

}  // namespace core
