// ECDSA P-256 verification on Win32, from the system's CNG (bcrypt.dll, Windows Vista and later).
// The library is loaded from the system's folder when a signature is checked, so that the program
// still starts on a system without it and needs no DLL beyond the system's.
#include <windows.h>
#include <bcrypt.h>

#include <cstring>

#include "core/digest.h"
#include "core/ecdsa.h"

namespace core {

namespace {

using OpenProvider = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG);
using CloseProvider = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, ULONG);
using ImportKeyPair = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, BCRYPT_KEY_HANDLE, LPCWSTR, BCRYPT_KEY_HANDLE*, PUCHAR, ULONG,
                                        ULONG);
using DestroyKey = NTSTATUS(WINAPI*)(BCRYPT_KEY_HANDLE);
using VerifySignature = NTSTATUS(WINAPI*)(BCRYPT_KEY_HANDLE, VOID*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG);

// The answers that say something of the key or the signature; any other failure is the system's.
constexpr NTSTATUS INVALID_SIGNATURE = static_cast<NTSTATUS>(0xC000A000);
constexpr NTSTATUS INVALID_PARAMETER = static_cast<NTSTATUS>(0xC000000D);

template <typename Function>
Function function(HMODULE library, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

}  // namespace

EcdsaCheck ecdsa_p256_verify(const PublicKey& key, const uint8_t* message, size_t length,
                             const uint8_t (&signature)[SIGNATURE_SIZE]) {
    uint8_t hash[DIGEST_SIZE];
    if (!sha256(message, length, hash)) return EcdsaCheck::unavailable;
    char path[MAX_PATH + 16];
    const UINT folder = GetSystemDirectoryA(path, MAX_PATH);
    if (folder == 0 || folder >= MAX_PATH) return EcdsaCheck::unavailable;
    std::strcpy(path + folder, "\\bcrypt.dll");
    const HMODULE library = LoadLibraryA(path);
    if (library == nullptr) return EcdsaCheck::unavailable;
    const auto open = function<OpenProvider>(library, "BCryptOpenAlgorithmProvider");
    const auto close = function<CloseProvider>(library, "BCryptCloseAlgorithmProvider");
    const auto import = function<ImportKeyPair>(library, "BCryptImportKeyPair");
    const auto destroy = function<DestroyKey>(library, "BCryptDestroyKey");
    const auto verify = function<VerifySignature>(library, "BCryptVerifySignature");
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    EcdsaCheck check = EcdsaCheck::unavailable;
    if (open && close && import && destroy && verify && open(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) == 0) {
        // The public key blob: its header, then X and Y, big-endian.
        uint8_t blob[sizeof(BCRYPT_ECCKEY_BLOB) + 2 * POINT_SIZE];
        const BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, POINT_SIZE};
        std::memcpy(blob, &header, sizeof header);
        std::memcpy(blob + sizeof header, key.x, POINT_SIZE);
        std::memcpy(blob + sizeof header + POINT_SIZE, key.y, POINT_SIZE);
        BCRYPT_KEY_HANDLE handle = nullptr;
        uint8_t raw[SIGNATURE_SIZE];
        std::memcpy(raw, signature, sizeof raw);
        const NTSTATUS imported = import(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &handle, blob, sizeof blob, 0);
        if (imported == 0) {
            const NTSTATUS verified = verify(handle, nullptr, hash, sizeof hash, raw, sizeof raw, 0);
            check = verified == 0                   ? EcdsaCheck::matches
                    : verified == INVALID_SIGNATURE ? EcdsaCheck::differs
                                                    : EcdsaCheck::unavailable;
            destroy(handle);
        } else if (imported == INVALID_PARAMETER) {
            check = EcdsaCheck::differs;  // a point off the curve: the key has signed nothing
        }
        close(algorithm, 0);
    }
    FreeLibrary(library);
    return check;
}

}  // namespace core
