#include "pack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "core/digest.h"
#include "core/layout.h"
#include "core/payload.h"
#include "core/signature_tail.h"
#include "core/verdict.h"

namespace mkupdate {

using namespace core;

bool build_update_file(const PackInput& input, std::vector<uint8_t>& out, std::string& error) {
    const long mark = find_payload_offset(input.stub.data(), input.stub.size());
    long offset = input.payload_offset < 0 ? mark : input.payload_offset;
    if (offset < 0) {
        error = "the stub carries no payload offset mark (give --payload-offset)";
        return false;
    }
    // The stub looks for its payload at its own offset only: a file packed at another could never run.
    if (mark >= 0 && offset != mark) {
        error = "--payload-offset " + std::to_string(offset) + " differs from the stub's own payload offset " +
                std::to_string(mark);
        return false;
    }
    if (offset > MAX_PAYLOAD_OFFSET) {
        error = "payload offset " + std::to_string(offset) + " is larger than " + std::to_string(MAX_PAYLOAD_OFFSET);
        return false;
    }
    if (offset < static_cast<long>(DIGEST_BLOCK_SIZE) || input.stub.size() > static_cast<size_t>(offset) - DIGEST_BLOCK_SIZE) {
        error = "the stub is " + std::to_string(input.stub.size()) + " bytes, more than its payload offset " +
                std::to_string(offset) + " less the " + std::to_string(DIGEST_BLOCK_SIZE) + "-byte digest block";
        return false;
    }
    if (input.flash.size() != FLASH_DATA_SIZE || input.eeprom.size() > EEPROM_SIZE) {
        error = "FLASH data must be 64,000 bytes and EEPROM data at most 2,048";
        return false;
    }
    uint8_t header[HEADER_SIZE];
    if (const char* problem = make_header(input.device_name, input.version, input.year, header)) {
        error = problem;
        return false;
    }

    out.assign(static_cast<size_t>(expected_file_length(static_cast<uint32_t>(offset))), 0xFF);
    std::copy(input.stub.begin(), input.stub.end(), out.begin());
    std::fill(out.begin() + static_cast<long>(input.stub.size()), out.begin() + offset, 0);
    uint8_t* payload = out.data() + offset;
    std::memcpy(payload, header, HEADER_SIZE);
    uint8_t* records = payload + HEADER_SIZE;
    for (uint32_t b = 0; b < RECORD_COUNT; ++b) {
        const uint8_t* data = input.flash.data() + b * RECORD_DATA_SIZE;
        std::memcpy(records + b * RECORD_SIZE, data, RECORD_DATA_SIZE);
        records[b * RECORD_SIZE + RECORD_DATA_SIZE] = record_checksum_of(data, RECORD_DATA_SIZE);
    }
    std::copy(input.eeprom.begin(), input.eeprom.end(), records + FLASH_IMAGE_SIZE);

    // The payload's digest, at the end of the stub's padding.
    uint8_t digest[DIGEST_SIZE];
    uint8_t block[DIGEST_BLOCK_SIZE];
    if (!sha256(payload, PAYLOAD_SIZE, digest)) {
        error = "cannot compute the payload's SHA-256";
        return false;
    }
    make_digest_block(digest, block);
    std::memcpy(payload - DIGEST_BLOCK_SIZE, block, DIGEST_BLOCK_SIZE);
    return true;
}

namespace {

// Where writing to path really goes: the file a symbolic link at path points to (as cp writes
// through it), followed link by link; path itself otherwise.
std::string written_path(const std::string& path) {
    std::string target = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info;
        if (lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return target;
        std::vector<char> link(static_cast<size_t>(info.st_size > 0 ? info.st_size : PATH_MAX) + 1);
        const ssize_t length = readlink(target.c_str(), link.data(), link.size() - 1);
        if (length < 0) return target;
        const std::string pointed(link.data(), static_cast<size_t>(length));
        const size_t slash = target.rfind('/');
        target = pointed[0] == '/' || slash == std::string::npos ? pointed : target.substr(0, slash + 1) + pointed;
    }
    return target;
}

}  // namespace

bool output_path_usable(const std::string& path, std::string& error) {
    struct stat info;
    if (stat(written_path(path).c_str(), &info) == 0) {
        if (S_ISREG(info.st_mode)) return true;
        error = path + ": not a regular file; an update file never replaces it";
        return false;
    }
    // Nothing there yet is written new; a name that resolves nowhere (links in a loop, a folder
    // that is none) is no place to write.
    if (errno == ENOENT) return true;
    error = path + ": " + std::strerror(errno);
    return false;
}

bool write_file_atomically(const std::string& path, const std::vector<uint8_t>& data, unsigned mode,
                           std::string& error) {
    if (!output_path_usable(path, error)) return false;
    const std::string target = written_path(path);
    // The temporary file sits beside the target under a short name of its own, so that a target
    // name up to the system's limit still works.
    const size_t slash = target.rfind('/');
    std::string temporary = (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) + ".mkupdate-XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        error = path + ": cannot create: " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t written = write(fd, data.data() + done, data.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) break;
        done += static_cast<size_t>(written);
    }
    // The mode asked for, less what the user's umask takes away, as any new file gets.
    const mode_t mask = umask(0);
    umask(mask);
    const bool complete = done == data.size() && fchmod(fd, static_cast<mode_t>(mode) & ~mask) == 0 && fsync(fd) == 0;
    const int write_error = errno;
    if (close(fd) != 0 || !complete || rename(temporary.c_str(), target.c_str()) != 0) {
        error = path + ": cannot write: " + std::strerror(complete ? errno : write_error);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool check_update_file(const std::vector<uint8_t>& file, long payload_offset, const core::TrustedKeys& keys,
                       std::FILE* out) {
    long offset = payload_offset;
    if (offset < 0) offset = find_payload_offset(file.data(), file.size());
    if (offset < 0) {
        std::fprintf(out, "Payload offset: not found (no updater stub; give --payload-offset)\n"
                          "Not a valid update file\n");
        return false;
    }
    const FileVerdict verdict = judge_update_file(file.data(), file.size(), offset);
    if (!verdict.offset_usable) {
        std::fprintf(out, "Payload offset: %ld, too small for the %u-byte digest block before it\n"
                          "Not a valid update file\n", offset, DIGEST_BLOCK_SIZE);
        return false;
    }
    std::fprintf(out, "Payload offset: %ld\n", offset);
    std::fprintf(out, "Length: %zu bytes, expected %ld: %s\n", file.size(), verdict.expected_length,
                 verdict.length_ok ? "OK" : "WRONG");
    if (verdict.is_signed) {
        std::fprintf(out, "Signed: certificate table of %ld bytes at %ld, after the payload\n", verdict.table.size,
                     verdict.table.offset);
    }
    if (!verdict.length_ok) {
        std::fprintf(out, "Not a valid update file\n");
        return false;
    }
    const HeaderFields& fields = verdict.header;
    std::fprintf(out, "Device: %s\nVersion: %s\nYear: %s\n", fields.device_name, fields.version, fields.year);
    std::fprintf(out, "Header: %s\n", verdict.header_problem ? verdict.header_problem : "OK");
    if (verdict.bad_record < 0) {
        std::fprintf(out, "Records: %u, checksums OK\n", RECORD_COUNT);
    } else {
        std::fprintf(out, "Records: checksum error in record %ld (address %lX)\n", verdict.bad_record,
                     static_cast<unsigned long>(verdict.bad_record) * RECORD_DATA_SIZE);
    }
    std::string hex;
    for (uint8_t byte : verdict.digest) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        hex += pair;
    }
    const char* digest = verdict.digest_matches ? "matches" : verdict.digest_block == DigestBlock::absent ? "absent" : "WRONG";
    std::fprintf(out, "Payload SHA-256: %s: %s\n", verdict.digest_computed ? hex.c_str() : "(not computed)", digest);
    const SignatureFinding signature = judge_signature(verdict.signature, verdict.digest, keys);
    std::fprintf(out, "Signature: %s\n", signature_text(signature).c_str());
    std::fprintf(out, "%s\n", !verdict.valid()         ? "Not a valid update file"
                              : signature.accepted() ? "Valid update file"
                                                     : "Valid update file, but not signed by a key given");
    return verdict.valid() && signature.accepted();
}

}  // namespace mkupdate
