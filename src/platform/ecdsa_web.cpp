// ECDSA P-256 verification in the browser, from the Web Crypto API, which hashes the message itself.
// As for the digest, the page runs in a secure context and the call waits on the promise.
#include <emscripten.h>

#include "core/ecdsa.h"

namespace {

// 1: the signature matches, 0: it does not, -1: the browser could not verify.
EM_ASYNC_JS(int, web_ecdsa_verify, (const uint8_t* spki, size_t spki_length, const uint8_t* message, size_t length,
                                    const uint8_t* signature), {
    let key;
    try {
        key = await crypto.subtle.importKey('spki', HEAPU8.slice(spki, spki + spki_length),
                                            { name: 'ECDSA', namedCurve: 'P-256' }, false, ['verify']);
    } catch (e) {
        // A point off the curve: the key has signed nothing.
        return e.name === 'DataError' ? 0 : -1;
    }
    try {
        return (await crypto.subtle.verify({ name: 'ECDSA', hash: 'SHA-256' }, key, HEAPU8.slice(signature, signature + 64),
                                           HEAPU8.slice(message, message + length))) ? 1 : 0;
    } catch (e) {
        return -1;
    }
});

}  // namespace

namespace core {

EcdsaCheck ecdsa_p256_verify(const PublicKey& key, const uint8_t* message, size_t length,
                             const uint8_t (&signature)[SIGNATURE_SIZE]) {
    uint8_t der[SPKI_SIZE];
    spki_der(key, der);
    const int verified = web_ecdsa_verify(der, sizeof der, message, length, signature);
    return verified > 0 ? EcdsaCheck::matches : verified == 0 ? EcdsaCheck::differs : EcdsaCheck::unavailable;
}

}  // namespace core
