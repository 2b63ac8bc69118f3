// ECDSA P-256 verification with SHA-256, from the platform's well-kept implementation (Mbed TLS on
// Linux, the system's CNG on Windows, Web Crypto in the browser). One implementation per platform.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/signature.h"

namespace core {

enum class EcdsaCheck { matches, differs, unavailable };

// Whether signature (r then s) is key's over the SHA-256 of length bytes at message; unavailable
// when the platform cannot verify (a system without the algorithm).
EcdsaCheck ecdsa_p256_verify(const PublicKey& key, const uint8_t* message, size_t length,
                             const uint8_t (&signature)[SIGNATURE_SIZE]);

}  // namespace core
