#include "sign.h"

#include <mbedtls/asn1.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/ecdsa.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "load_file.h"
#include "pack.h"
#include "core/layout.h"
#include "core/verdict.h"
#include "frontend/shown_text.h"

namespace mkupdate {

namespace {

// A random source for key making and the signature's blinding.
struct Random {
    Random() {
        mbedtls_entropy_init(&entropy);
        mbedtls_ctr_drbg_init(&drbg);
        seeded = mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy, nullptr, 0) == 0;
    }
    ~Random() {
        mbedtls_ctr_drbg_free(&drbg);
        mbedtls_entropy_free(&entropy);
    }
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    bool seeded = false;
};

// The public half of a P-256 key held by pk.
bool public_key_of(mbedtls_pk_context& pk, core::PublicKey& key) {
    unsigned char der[256];
    const int length = mbedtls_pk_write_pubkey_der(&pk, der, sizeof der);  // written at the buffer's end
    return length > 0 && core::read_spki(der + sizeof der - length, static_cast<size_t>(length), key);
}

bool is_p256(const mbedtls_pk_context& pk) {
    return mbedtls_pk_get_type(&pk) == MBEDTLS_PK_ECKEY && mbedtls_pk_ec(pk)->grp.id == MBEDTLS_ECP_DP_SECP256R1;
}

// The statement of the valid update file held in file, and the place of its signature block; false
// with an error otherwise.
bool statement_of(const std::vector<uint8_t>& file, long payload_offset, const uint8_t (&key_id)[core::KEY_ID_SIZE],
                  uint8_t (&statement)[core::STATEMENT_SIZE], size_t& block_at, std::string& error) {
    const core::FileVerdict verdict = core::judge_update_file(file.data(), file.size(), payload_offset);
    if (!verdict.valid()) {
        error = "not a valid update file (see mkupdate check)";
        return false;
    }
    if (verdict.is_signed) {
        error = "carries an Authenticode signature, which a change would break: sign before the Authenticode signature";
        return false;
    }
    // Room: zeros, or a signature to replace; anything else is the stub's.
    const char* no_room = "its stub leaves no room for a signature before the digest block";
    if (payload_offset < static_cast<long>(core::DIGEST_BLOCK_SIZE + core::SIGNATURE_BLOCK_SIZE)) {
        error = no_room;
        return false;
    }
    block_at = static_cast<size_t>(payload_offset) - core::DIGEST_BLOCK_SIZE - core::SIGNATURE_BLOCK_SIZE;
    const uint8_t* block = file.data() + block_at;
    const bool zeros = std::all_of(block, block + core::SIGNATURE_BLOCK_SIZE, [](uint8_t byte) { return byte == 0; });
    if (!zeros && std::memcmp(block, core::SIGNATURE_MARK, sizeof core::SIGNATURE_MARK) != 0) {
        error = no_room;
        return false;
    }
    core::make_statement(verdict.digest, key_id, statement);
    return true;
}

// The signature as r then s from DER (SEQUENCE of two INTEGERs) or from its 64 bytes as they are.
bool raw_signature(const std::vector<uint8_t>& given, uint8_t (&signature)[core::SIGNATURE_SIZE]) {
    if (given.size() == core::SIGNATURE_SIZE) {
        std::memcpy(signature, given.data(), sizeof signature);
        return true;
    }
    unsigned char der[128];  // a P-256 signature's DER takes 72 bytes at most
    if (given.empty() || given.size() > sizeof der) return false;
    std::memcpy(der, given.data(), given.size());
    unsigned char* p = der;
    unsigned char* const end = der + given.size();
    size_t length = 0;
    mbedtls_mpi r, s;
    mbedtls_mpi_init(&r);
    mbedtls_mpi_init(&s);
    const bool read = mbedtls_asn1_get_tag(&p, end, &length, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) == 0 &&
                      p + length == end && mbedtls_asn1_get_mpi(&p, end, &r) == 0 &&
                      mbedtls_asn1_get_mpi(&p, end, &s) == 0 && p == end &&
                      mbedtls_mpi_write_binary(&r, signature, core::POINT_SIZE) == 0 &&
                      mbedtls_mpi_write_binary(&s, signature + core::POINT_SIZE, core::POINT_SIZE) == 0;
    mbedtls_mpi_free(&s);
    mbedtls_mpi_free(&r);
    return read;
}

// The signature written into the file's block, and checked there as every updater will check it.
bool put_signature(std::vector<uint8_t>& file, size_t block_at, long payload_offset, const core::PublicKey& key,
                   const uint8_t (&signature)[core::SIGNATURE_SIZE], std::string& error) {
    uint8_t block[core::SIGNATURE_BLOCK_SIZE];
    core::make_signature_block(key, signature, block);
    std::vector<uint8_t> signed_file = file;
    std::memcpy(signed_file.data() + block_at, block, sizeof block);
    const core::FileVerdict verdict = core::judge_update_file(signed_file.data(), signed_file.size(), payload_offset);
    const core::SignatureFinding finding = core::judge_signature(verdict.signature, verdict.digest, {key});
    if (finding.verdict != core::SignatureVerdict::valid) {
        error = "the signature is not key " + core::key_id_text(key.id) + "'s over this file's statement";
        return false;
    }
    file.swap(signed_file);
    return true;
}

}  // namespace

struct PrivateKey::Context {
    Context() { mbedtls_pk_init(&pk); }
    ~Context() { mbedtls_pk_free(&pk); }
    mbedtls_pk_context pk;
};

PrivateKey::PrivateKey() : context_(std::make_unique<Context>()) {}
PrivateKey::~PrivateKey() = default;

bool PrivateKey::read(const std::string& path, std::string& error) {
    std::vector<uint8_t> text;
    if (!read_whole_file(path, 64 * 1024, text, error)) return false;
    const std::string pem(text.begin(), text.end());
    text.push_back('\0');  // PEM is parsed as a string
    const char* problem = nullptr;
    switch (core::pem_key_kind(pem)) {
        case core::PemKey::none: problem = "not a PEM key file"; break;
        case core::PemKey::public_key: problem = "a public key, where the private key is needed"; break;
        case core::PemKey::other: problem = "holds no private key"; break;
        case core::PemKey::private_key: break;
    }
    if (problem == nullptr) {
        const int parsed = mbedtls_pk_parse_key(&context_->pk, text.data(), text.size(), nullptr, 0);
        if (parsed == MBEDTLS_ERR_PK_PASSWORD_REQUIRED) problem = "encrypted: give the key without a passphrase";
        else if (parsed != 0) problem = "not a readable private key";
        else if (!is_p256(context_->pk) || !public_key_of(context_->pk, public_)) problem = "not an ECDSA P-256 key (prime256v1)";
    }
    if (problem != nullptr) error = frontend::shown_text(path) + ": " + problem;
    return problem == nullptr;
}

bool PrivateKey::sign(const uint8_t* message, size_t length, uint8_t (&signature)[core::SIGNATURE_SIZE]) const {
    uint8_t hash[core::DIGEST_SIZE];
    Random random;
    if (!random.seeded || !core::sha256(message, length, hash)) return false;
    mbedtls_ecp_keypair* pair = mbedtls_pk_ec(context_->pk);
    mbedtls_mpi r, s;
    mbedtls_mpi_init(&r);
    mbedtls_mpi_init(&s);
    const bool done = mbedtls_ecdsa_sign_det_ext(&pair->grp, &r, &s, &pair->d, hash, sizeof hash, MBEDTLS_MD_SHA256,
                                                 mbedtls_ctr_drbg_random, &random.drbg) == 0 &&
                      mbedtls_mpi_write_binary(&r, signature, core::POINT_SIZE) == 0 &&
                      mbedtls_mpi_write_binary(&s, signature + core::POINT_SIZE, core::POINT_SIZE) == 0;
    mbedtls_mpi_free(&s);
    mbedtls_mpi_free(&r);
    return done;
}

bool sign_update_file(std::vector<uint8_t>& file, long payload_offset, const PrivateKey& key, std::string& error) {
    uint8_t statement[core::STATEMENT_SIZE];
    uint8_t signature[core::SIGNATURE_SIZE];
    size_t block_at = 0;
    if (!statement_of(file, payload_offset, key.public_key().id, statement, block_at, error)) return false;
    if (!key.sign(statement, sizeof statement, signature)) {
        error = "cannot sign: the signing failed";
        return false;
    }
    return put_signature(file, block_at, payload_offset, key.public_key(), signature, error);
}

bool insert_signature(std::vector<uint8_t>& file, long payload_offset, const core::PublicKey& key,
                      const std::vector<uint8_t>& signature, std::string& error) {
    uint8_t statement[core::STATEMENT_SIZE];
    uint8_t raw[core::SIGNATURE_SIZE];
    size_t block_at = 0;
    if (!statement_of(file, payload_offset, key.id, statement, block_at, error)) return false;
    if (!raw_signature(signature, raw)) {
        error = "the signature is neither DER (as openssl dgst -sign writes it) nor 64 bytes of r and s";
        return false;
    }
    return put_signature(file, block_at, payload_offset, key, raw, error);
}

bool make_key_pair(const std::string& name, std::string& error) {
    const std::string private_path = name + ".key", public_path = name + ".pub";
    for (const std::string& path : {private_path, public_path}) {
        struct stat info;
        if (lstat(path.c_str(), &info) == 0) {
            error = frontend::shown_text(path) + ": exists already; a key is never replaced";
            return false;
        }
    }
    Random random;
    mbedtls_pk_context pk;
    mbedtls_pk_init(&pk);
    unsigned char private_pem[1024] = "", public_pem[512] = "";
    const bool made = random.seeded && mbedtls_pk_setup(&pk, mbedtls_pk_info_from_type(MBEDTLS_PK_ECKEY)) == 0 &&
                      mbedtls_ecp_gen_key(MBEDTLS_ECP_DP_SECP256R1, mbedtls_pk_ec(pk), mbedtls_ctr_drbg_random,
                                          &random.drbg) == 0 &&
                      mbedtls_pk_write_key_pem(&pk, private_pem, sizeof private_pem) == 0 &&
                      mbedtls_pk_write_pubkey_pem(&pk, public_pem, sizeof public_pem) == 0;
    mbedtls_pk_free(&pk);
    if (!made) {
        error = "cannot make a key pair";
        return false;
    }
    const char* private_text = reinterpret_cast<const char*>(private_pem);
    const char* public_text = reinterpret_cast<const char*>(public_pem);
    const std::vector<uint8_t> private_bytes(private_text, private_text + std::strlen(private_text));
    const std::vector<uint8_t> public_bytes(public_text, public_text + std::strlen(public_text));
    const bool written = write_file_atomically(private_path, private_bytes, 0600, error) &&
                         write_file_atomically(public_path, public_bytes, 0644, error);
    std::memset(private_pem, 0, sizeof private_pem);
    if (!written) unlink(private_path.c_str());
    return written;
}

}  // namespace mkupdate
