// SHA-256 on Linux, from Mbed TLS's crypto library (Debian's libmbedtls-dev, linked statically).
#include <mbedtls/sha256.h>

#include "core/digest.h"

namespace core {

bool sha256(const uint8_t* data, size_t length, uint8_t (&digest)[DIGEST_SIZE]) {
    return mbedtls_sha256_ret(data, length, digest, 0) == 0;  // 0: SHA-256, not SHA-224
}

}  // namespace core
