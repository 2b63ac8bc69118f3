// ECDSA P-256 verification on Linux, from Mbed TLS's crypto library (Debian's libmbedtls-dev, linked
// statically, as the digest is).
#include <mbedtls/ecdsa.h>

#include <algorithm>

#include "core/digest.h"
#include "core/ecdsa.h"

namespace core {

EcdsaCheck ecdsa_p256_verify(const PublicKey& key, const uint8_t* message, size_t length,
                             const uint8_t (&signature)[SIGNATURE_SIZE]) {
    uint8_t hash[DIGEST_SIZE];
    if (!sha256(message, length, hash)) return EcdsaCheck::unavailable;
    uint8_t point[1 + 2 * POINT_SIZE] = {0x04};  // uncompressed: X then Y
    std::copy(key.x, key.x + POINT_SIZE, point + 1);
    std::copy(key.y, key.y + POINT_SIZE, point + 1 + POINT_SIZE);
    mbedtls_ecp_group group;
    mbedtls_ecp_point q;
    mbedtls_mpi r, s;
    mbedtls_ecp_group_init(&group);
    mbedtls_ecp_point_init(&q);
    mbedtls_mpi_init(&r);
    mbedtls_mpi_init(&s);
    EcdsaCheck check = EcdsaCheck::unavailable;
    if (mbedtls_ecp_group_load(&group, MBEDTLS_ECP_DP_SECP256R1) == 0) {
        // A point off the curve, or an r or s out of range, is no signature of any key.
        const bool read = mbedtls_ecp_point_read_binary(&group, &q, point, sizeof point) == 0 &&
                          mbedtls_ecp_check_pubkey(&group, &q) == 0 &&
                          mbedtls_mpi_read_binary(&r, signature, POINT_SIZE) == 0 &&
                          mbedtls_mpi_read_binary(&s, signature + POINT_SIZE, POINT_SIZE) == 0;
        check = read && mbedtls_ecdsa_verify(&group, hash, sizeof hash, &q, &r, &s) == 0 ? EcdsaCheck::matches
                                                                                         : EcdsaCheck::differs;
    }
    mbedtls_mpi_free(&s);
    mbedtls_mpi_free(&r);
    mbedtls_ecp_point_free(&q);
    mbedtls_ecp_group_free(&group);
    return check;
}

}  // namespace core
