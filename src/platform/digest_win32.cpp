// SHA-256 on Win32, from the system's CryptoAPI (advapi32): the AES provider has had SHA-256 since
// Windows XP SP3.
#include <windows.h>
#include <wincrypt.h>

#include "core/digest.h"

namespace core {

bool sha256(const uint8_t* data, size_t length, uint8_t (&digest)[DIGEST_SIZE]) {
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return false;
    HCRYPTHASH hash = 0;
    DWORD size = DIGEST_SIZE;
    const bool done = CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) &&
                      CryptHashData(hash, data, static_cast<DWORD>(length), 0) &&
                      CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0) && size == DIGEST_SIZE;
    if (hash != 0) CryptDestroyHash(hash);
    CryptReleaseContext(provider, 0);
    return done;
}

}  // namespace core
