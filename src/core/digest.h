// SHA-256 of a block of memory, from the platform's well-kept implementation (Mbed TLS on Linux,
// the system's CryptoAPI on Windows). One implementation per platform.
#pragma once

#include <cstddef>
#include <cstdint>

namespace core {

constexpr size_t DIGEST_SIZE = 32;

// Computes the SHA-256 digest of length bytes at data into digest; false if the platform's
// implementation failed.
bool sha256(const uint8_t* data, size_t length, uint8_t (&digest)[DIGEST_SIZE]);

}  // namespace core
