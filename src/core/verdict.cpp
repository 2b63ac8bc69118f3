#include "core/verdict.h"

#include <algorithm>
#include <cstring>

#include "core/layout.h"

namespace core {

FileVerdict judge_update_file(const uint8_t* data, size_t length, long payload_offset) {
    FileVerdict verdict;
    verdict.payload_offset = payload_offset;
    verdict.length = static_cast<long>(length);
    verdict.offset_usable = payload_offset >= static_cast<long>(DIGEST_BLOCK_SIZE);
    if (!verdict.offset_usable) return verdict;
    verdict.expected_length = expected_file_length(static_cast<uint32_t>(payload_offset));
    const long expected = verdict.expected_length;
    verdict.is_signed = verdict.length > expected &&
                        is_signature_tail(data, std::min<size_t>(length, PE_HEADERS_READ), data + expected,
                                          static_cast<size_t>(verdict.length - expected), expected, verdict.length,
                                          verdict.table);
    verdict.length_ok = verdict.length == expected || verdict.is_signed;
    if (!verdict.length_ok) return verdict;

    const uint8_t* payload = data + payload_offset;
    uint8_t header[HEADER_SIZE];
    std::memcpy(header, payload, HEADER_SIZE);
    verdict.header = parse_header(header);
    verdict.header_problem = header_format_error(header);
    const uint8_t* records = payload + HEADER_SIZE;
    for (uint32_t b = 0; b < RECORD_COUNT && verdict.bad_record < 0; ++b) {
        const uint8_t* record = records + b * RECORD_SIZE;
        if (record_checksum_of(record, RECORD_DATA_SIZE) != record[RECORD_DATA_SIZE]) verdict.bad_record = b;
    }
    uint8_t block[DIGEST_BLOCK_SIZE];
    uint8_t recorded[DIGEST_SIZE];
    std::memcpy(block, payload - DIGEST_BLOCK_SIZE, DIGEST_BLOCK_SIZE);
    verdict.digest_block = read_digest_block(block, recorded);
    if (payload_offset >= static_cast<long>(DIGEST_BLOCK_SIZE + SIGNATURE_BLOCK_SIZE)) {
        uint8_t signature[SIGNATURE_BLOCK_SIZE];
        std::memcpy(signature, payload - DIGEST_BLOCK_SIZE - SIGNATURE_BLOCK_SIZE, SIGNATURE_BLOCK_SIZE);
        verdict.signature = read_signature_block(signature);
    }
    verdict.digest_computed = sha256(payload, PAYLOAD_SIZE, verdict.digest);
    if (!verdict.digest_computed) std::memset(verdict.digest, 0, sizeof verdict.digest);
    // Every file the packer makes records its digest: a block of zeros is what a download cut short
    // into a pre-sized file leaves, whose records of zeros have right checksums.
    verdict.digest_matches = verdict.digest_block == DigestBlock::present && verdict.digest_computed &&
                             std::memcmp(verdict.digest, recorded, DIGEST_SIZE) == 0;
    return verdict;
}

}  // namespace core
