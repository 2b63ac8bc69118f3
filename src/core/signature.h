// The update file's origin: a signature by its vendor's key, ECDSA P-256 over SHA-256, kept in the
// stub's padding just before the digest block. What is signed is one short statement (the mark and
// its version, the payload's SHA-256 and the key's id), so that any tool can sign it. Pure rules:
// the key's form, the statement, the block and the verdict; the verification itself is the
// platform's (ecdsa.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/digest.h"

namespace core {

constexpr size_t KEY_ID_SIZE = 8;        // the first bytes of the SHA-256 of the key's DER
constexpr size_t POINT_SIZE = 32;        // each of the public point's X and Y, big-endian
constexpr size_t SIGNATURE_SIZE = 64;    // r then s, 32 bytes each, big-endian
constexpr size_t SPKI_SIZE = 91;         // a P-256 public key's DER (SubjectPublicKeyInfo)

// The first 16 bytes of the statement and of the signature block: the mark and the version.
constexpr uint8_t SIGNATURE_MARK[16] = {'U', 'P', 'D', 'A', 'T', 'E', 'R', '-', 'S', 'I', 'G', 'N', 'E', 'D', ':', 1};

// The statement: the mark, the payload's SHA-256, the key's id.
constexpr size_t STATEMENT_SIZE = sizeof SIGNATURE_MARK + DIGEST_SIZE + KEY_ID_SIZE;  // 56

// The signature block: the mark, the public key's X and Y, the signature. All zeros, or anything
// without the mark (an older stub reaching into it): not signed.
constexpr uint32_t SIGNATURE_BLOCK_SIZE = sizeof SIGNATURE_MARK + 2 * POINT_SIZE + SIGNATURE_SIZE;  // 144

// A P-256 public key: its point, and its id.
struct PublicKey {
    uint8_t x[POINT_SIZE] = {};
    uint8_t y[POINT_SIZE] = {};
    uint8_t id[KEY_ID_SIZE] = {};
};
using TrustedKeys = std::vector<PublicKey>;

// The key's DER, as `openssl pkey -pubin -outform DER` writes it.
void spki_der(const PublicKey& key, uint8_t (&der)[SPKI_SIZE]);

// Reads a public key from PEM text (`-----BEGIN PUBLIC KEY-----`), its id computed; nullptr, or what
// is wrong with the text: not PEM, a private key, not a P-256 key.
const char* parse_public_key(const std::string& pem, PublicKey& key);

// The same from the key's DER; false when it is not an uncompressed P-256 key. The id is computed.
bool read_spki(const uint8_t* der, size_t length, PublicKey& key);

// The kind of key a PEM text holds, by the label of its first key block.
enum class PemKey { none, public_key, private_key, other };
PemKey pem_key_kind(const std::string& pem);

// The key's id as 16 lower-case hexadecimal digits.
std::string key_id_text(const uint8_t (&id)[KEY_ID_SIZE]);

void make_statement(const uint8_t (&payload_sha256)[DIGEST_SIZE], const uint8_t (&key_id)[KEY_ID_SIZE],
                    uint8_t (&statement)[STATEMENT_SIZE]);

struct SignatureBlock {
    bool present = false;
    PublicKey key;  // the key that signed, as the block names it (its id computed)
    uint8_t signature[SIGNATURE_SIZE] = {};
};

SignatureBlock read_signature_block(const uint8_t (&block)[SIGNATURE_BLOCK_SIZE]);
void make_signature_block(const PublicKey& key, const uint8_t (&signature)[SIGNATURE_SIZE],
                          uint8_t (&block)[SIGNATURE_BLOCK_SIZE]);

// What a file's signature says. Without trusted keys a signature is judged by the key it names
// (valid or invalid), which tells only that the file is as that key's holder signed it.
enum class SignatureVerdict { not_signed, valid, other_key, invalid };

// valid, not_signed, other_key, invalid: as the run record names them.
const char* signature_verdict_name(SignatureVerdict verdict);

struct SignatureFinding {
    SignatureVerdict verdict = SignatureVerdict::not_signed;
    uint8_t key_id[KEY_ID_SIZE] = {};  // the signing key's, when signed
    bool required = false;             // the file had to be signed by one of the trusted keys
    bool unverifiable = false;         // the system could not verify it (judged invalid)

    // True when the file may be used: signed by a trusted key, or no signature was required.
    bool accepted() const { return !required || verdict == SignatureVerdict::valid; }
};

// Judges block for the payload digest: against the trusted keys when there are any (the file must
// be signed by one of them), else against the key the block names.
SignatureFinding judge_signature(const SignatureBlock& block, const uint8_t (&payload_sha256)[DIGEST_SIZE],
                                 const TrustedKeys& trusted);

// The finding in words: "signed by key <id>", "not signed", "signed by another key (<id>)",
// "signature does not match (key <id>)", or that the system cannot check it.
std::string signature_text(const SignatureFinding& finding);

}  // namespace core
