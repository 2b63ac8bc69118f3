#include "core/signature.h"

#include <cstring>

#include "core/ecdsa.h"

namespace core {

namespace {

// Every P-256 public key's DER up to its point: SEQUENCE { SEQUENCE { id-ecPublicKey, prime256v1 },
// BIT STRING { 0x04 (uncompressed), X, Y } }. DER has one form only, so the prefix is fixed.
constexpr uint8_t SPKI_PREFIX[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01, 0x06,
                                   0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
static_assert(sizeof SPKI_PREFIX + 2 * POINT_SIZE == SPKI_SIZE, "a P-256 key's DER");

constexpr char BEGIN[] = "-----BEGIN ";
constexpr char DASHES[] = "-----";

// A PEM block: its label and where its base64 body lies in the text.
struct PemBlock {
    std::string label;
    size_t body = 0, body_end = 0;
};

// The first PEM block at or after from; false when there is none.
bool find_block(const std::string& pem, size_t from, PemBlock& block) {
    const size_t begin = pem.find(BEGIN, from);
    if (begin == std::string::npos) return false;
    const size_t label = begin + sizeof BEGIN - 1;
    const size_t label_end = pem.find(DASHES, label);
    if (label_end == std::string::npos) return false;
    block.label = pem.substr(label, label_end - label);
    block.body = label_end + sizeof DASHES - 1;
    block.body_end = pem.find("-----END " + block.label + DASHES, block.body);
    return block.body_end != std::string::npos;
}

bool ends_with(const std::string& text, const char* end) {
    const size_t length = std::strlen(end);
    return text.size() >= length && text.compare(text.size() - length, length, end) == 0;
}

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// The body's bytes, whitespace passed over; false on anything else but its closing '='.
bool base64_decode(const std::string& text, size_t begin, size_t end, std::vector<uint8_t>& out) {
    uint32_t bits = 0;
    int count = 0;
    bool padded = false;
    for (size_t i = begin; i < end; ++i) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        if (c == '=') {
            padded = true;
            continue;
        }
        const int value = base64_value(c);
        if (value < 0 || padded) return false;
        bits = bits << 6 | static_cast<uint32_t>(value);
        if ((count += 6) >= 8) {
            count -= 8;
            out.push_back(static_cast<uint8_t>(bits >> count));
        }
    }
    return true;
}

constexpr char HEX[] = "0123456789abcdef";

}  // namespace

void spki_der(const PublicKey& key, uint8_t (&der)[SPKI_SIZE]) {
    std::memcpy(der, SPKI_PREFIX, sizeof SPKI_PREFIX);
    std::memcpy(der + sizeof SPKI_PREFIX, key.x, POINT_SIZE);
    std::memcpy(der + sizeof SPKI_PREFIX + POINT_SIZE, key.y, POINT_SIZE);
}

bool read_spki(const uint8_t* der, size_t length, PublicKey& key) {
    if (length != SPKI_SIZE || std::memcmp(der, SPKI_PREFIX, sizeof SPKI_PREFIX) != 0) return false;
    std::memcpy(key.x, der + sizeof SPKI_PREFIX, POINT_SIZE);
    std::memcpy(key.y, der + sizeof SPKI_PREFIX + POINT_SIZE, POINT_SIZE);
    uint8_t digest[DIGEST_SIZE];
    if (!sha256(der, length, digest)) return false;
    std::memcpy(key.id, digest, KEY_ID_SIZE);
    return true;
}

PemKey pem_key_kind(const std::string& pem) {
    PemBlock block;
    bool any = false;
    for (size_t from = 0; find_block(pem, from, block); from = block.body_end) {
        any = true;
        // openssl ecparam -genkey writes the curve's parameters before the key.
        if (block.label == "EC PARAMETERS") continue;
        if (ends_with(block.label, "PRIVATE KEY")) return PemKey::private_key;
        return ends_with(block.label, "PUBLIC KEY") ? PemKey::public_key : PemKey::other;
    }
    return any ? PemKey::other : PemKey::none;
}

const char* parse_public_key(const std::string& pem, PublicKey& key) {
    switch (pem_key_kind(pem)) {
        case PemKey::none: return "not a PEM key file";
        case PemKey::private_key: return "a private key, where the public key is needed";
        case PemKey::other: return "holds no public key";
        case PemKey::public_key: break;
    }
    PemBlock block;
    for (size_t from = 0; find_block(pem, from, block) && !ends_with(block.label, "PUBLIC KEY"); from = block.body_end) {}
    std::vector<uint8_t> der;
    if (!base64_decode(pem, block.body, block.body_end, der)) return "damaged PEM: not base64";
    if (!read_spki(der.data(), der.size(), key)) return "not an ECDSA P-256 key (prime256v1, uncompressed)";
    return nullptr;
}

std::string key_id_text(const uint8_t (&id)[KEY_ID_SIZE]) {
    std::string text;
    for (uint8_t byte : id) {
        text += HEX[byte >> 4];
        text += HEX[byte & 15];
    }
    return text;
}

void make_statement(const uint8_t (&payload_sha256)[DIGEST_SIZE], const uint8_t (&key_id)[KEY_ID_SIZE],
                    uint8_t (&statement)[STATEMENT_SIZE]) {
    std::memcpy(statement, SIGNATURE_MARK, sizeof SIGNATURE_MARK);
    std::memcpy(statement + sizeof SIGNATURE_MARK, payload_sha256, DIGEST_SIZE);
    std::memcpy(statement + sizeof SIGNATURE_MARK + DIGEST_SIZE, key_id, KEY_ID_SIZE);
}

SignatureBlock read_signature_block(const uint8_t (&block)[SIGNATURE_BLOCK_SIZE]) {
    SignatureBlock read;
    if (std::memcmp(block, SIGNATURE_MARK, sizeof SIGNATURE_MARK) != 0) return read;
    uint8_t der[SPKI_SIZE];
    std::memcpy(read.key.x, block + sizeof SIGNATURE_MARK, POINT_SIZE);
    std::memcpy(read.key.y, block + sizeof SIGNATURE_MARK + POINT_SIZE, POINT_SIZE);
    spki_der(read.key, der);
    read.present = read_spki(der, sizeof der, read.key);
    std::memcpy(read.signature, block + sizeof SIGNATURE_MARK + 2 * POINT_SIZE, SIGNATURE_SIZE);
    return read;
}

void make_signature_block(const PublicKey& key, const uint8_t (&signature)[SIGNATURE_SIZE],
                          uint8_t (&block)[SIGNATURE_BLOCK_SIZE]) {
    std::memcpy(block, SIGNATURE_MARK, sizeof SIGNATURE_MARK);
    std::memcpy(block + sizeof SIGNATURE_MARK, key.x, POINT_SIZE);
    std::memcpy(block + sizeof SIGNATURE_MARK + POINT_SIZE, key.y, POINT_SIZE);
    std::memcpy(block + sizeof SIGNATURE_MARK + 2 * POINT_SIZE, signature, SIGNATURE_SIZE);
}

const char* signature_verdict_name(SignatureVerdict verdict) {
    switch (verdict) {
        case SignatureVerdict::not_signed: return "not_signed";
        case SignatureVerdict::valid: return "valid";
        case SignatureVerdict::other_key: return "other_key";
        case SignatureVerdict::invalid: return "invalid";
    }
    return "unknown";
}

SignatureFinding judge_signature(const SignatureBlock& block, const uint8_t (&payload_sha256)[DIGEST_SIZE],
                                 const TrustedKeys& trusted) {
    SignatureFinding finding;
    finding.required = !trusted.empty();
    if (!block.present) return finding;
    std::memcpy(finding.key_id, block.key.id, KEY_ID_SIZE);
    const PublicKey* key = &block.key;
    if (finding.required) {
        key = nullptr;
        for (const PublicKey& candidate : trusted) {
            if (std::memcmp(candidate.id, block.key.id, KEY_ID_SIZE) == 0) key = &candidate;
        }
        if (key == nullptr) {
            finding.verdict = SignatureVerdict::other_key;
            return finding;
        }
    }
    uint8_t statement[STATEMENT_SIZE];
    make_statement(payload_sha256, key->id, statement);
    const EcdsaCheck check = ecdsa_p256_verify(*key, statement, sizeof statement, block.signature);
    finding.verdict = check == EcdsaCheck::matches ? SignatureVerdict::valid : SignatureVerdict::invalid;
    finding.unverifiable = check == EcdsaCheck::unavailable;
    return finding;
}

std::string signature_text(const SignatureFinding& finding) {
    const std::string id = key_id_text(finding.key_id);
    switch (finding.verdict) {
        case SignatureVerdict::not_signed: return "not signed";
        case SignatureVerdict::valid: return "signed by key " + id;
        case SignatureVerdict::other_key: return "signed by another key (" + id + ")";
        case SignatureVerdict::invalid: break;
    }
    return finding.unverifiable ? "this system cannot check signatures (key " + id + ")"
                                : "signature does not match (key " + id + ")";
}

}  // namespace core
