// SHA-256 in the browser, from the Web Crypto API. The page runs in a secure context (Web Serial
// needs one), where crypto.subtle is always there; the call waits on its promise.
#include <emscripten.h>

#include "core/digest.h"

namespace {

EM_ASYNC_JS(int, web_sha256, (const uint8_t* data, size_t length, uint8_t* digest), {
    try {
        const hash = await crypto.subtle.digest('SHA-256', HEAPU8.slice(data, data + length));
        HEAPU8.set(new Uint8Array(hash), digest);
        return 1;
    } catch (e) {
        return 0;
    }
});

}  // namespace

namespace core {

bool sha256(const uint8_t* data, size_t length, uint8_t (&digest)[DIGEST_SIZE]) {
    return web_sha256(data, length, digest) != 0;
}

}  // namespace core
