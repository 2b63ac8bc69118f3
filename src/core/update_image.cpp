#include "core/update_image.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "core/layout.h"

namespace core {

Failure UpdateImage::wrong_length() const {
    Failure failure{Fault::file_length};
    failure.count = length_;
    failure.expected = expected_file_length(static_cast<uint32_t>(payload_offset_));
    return failure;
}

Failed UpdateImage::open_file(std::FILE* file, long length) {
    // A file of a length no update file has is refused before any of it is read.
    const long expected = expected_file_length(static_cast<uint32_t>(payload_offset_));
    if (length < expected || length - expected > MAX_SIGNATURE_ALIGNMENT + MAX_SIGNATURE_SIZE) {
        release();
        length_ = length;
        return wrong_length();
    }
    std::vector<uint8_t> bytes;
    try {
        bytes.resize(static_cast<size_t>(length));
    } catch (const std::bad_alloc&) {
        return Failure{Fault::out_of_memory};
    }
    errno = 0;
    const size_t got = std::fseek(file, 0, SEEK_SET) == 0 ? std::fread(bytes.data(), 1, bytes.size(), file) : 0;
    if (got != bytes.size()) {
        Failure failure{Fault::file_unreadable};
        failure.count = static_cast<long>(got);
        failure.expected = length;
        if (errno != 0) failure.detail = std::strerror(errno);
        return failure;
    }
    return open(bytes.data(), bytes.size());
}

Failed UpdateImage::open(const uint8_t* data, size_t length) {
    release();
    length_ = static_cast<long>(length);
    const FileVerdict verdict = judge_update_file(data, length, payload_offset_);
    if (!verdict.length_ok) return wrong_length();
    std::memcpy(digest_, verdict.digest, sizeof digest_);
    digest_known_ = verdict.digest_computed;
    if (!verdict.digest_matches) return Failure{Fault::file_damaged};
    try {
        payload_.assign(data + payload_offset_, data + payload_offset_ + HEADER_SIZE + FLASH_IMAGE_SIZE + EEPROM_SIZE);
    } catch (const std::bad_alloc&) {
        return Failure{Fault::out_of_memory};
    }
    header_ = verdict.header;
    signature_ = verdict.signature;
    bad_record_ = verdict.bad_record;
    return std::nullopt;
}

Failed UpdateImage::verify() const {
    if (payload_.empty() || bad_record_ >= 0) return Failure{Fault::file_damaged};
    return std::nullopt;
}

uint8_t UpdateImage::flash_byte(uint32_t i) const { return payload_[HEADER_SIZE + image_offset(i)]; }

uint8_t UpdateImage::record_checksum(uint32_t i) const { return payload_[HEADER_SIZE + i + i / RECORD_DATA_SIZE - 1]; }

uint8_t UpdateImage::eeprom_byte(uint32_t a) const {
    return a < EEPROM_SIZE ? payload_[HEADER_SIZE + FLASH_IMAGE_SIZE + a] : 0xFF;
}

void UpdateImage::release() {
    payload_.clear();
    payload_.shrink_to_fit();
    header_ = HeaderFields();
    signature_ = SignatureBlock();
    bad_record_ = -1;
}

}  // namespace core
