// Signing update files: the vendor's P-256 private key (PEM, as openssl or keygen makes it), the
// signature of a file's statement (core/signature.h) made with it or brought from elsewhere, and
// new key pairs. Mbed TLS does the key's reading, the signing and the keys' making.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/signature.h"

namespace mkupdate {

class PrivateKey {
public:
    PrivateKey();
    ~PrivateKey();
    PrivateKey(const PrivateKey&) = delete;
    PrivateKey& operator=(const PrivateKey&) = delete;

    // Reads the P-256 private key in the PEM file at path (SEC1 "EC PRIVATE KEY" or PKCS#8
    // "PRIVATE KEY", unencrypted); false with one line naming the file and what is wrong.
    bool read(const std::string& path, std::string& error);

    const core::PublicKey& public_key() const { return public_; }

    // The signature (r then s) of message's SHA-256, deterministic (RFC 6979); false on failure.
    bool sign(const uint8_t* message, size_t length, uint8_t (&signature)[core::SIGNATURE_SIZE]) const;

private:
    struct Context;
    std::unique_ptr<Context> context_;
    core::PublicKey public_;
};

// Signs the valid update file held in file, whose payload starts at payload_offset, with key; false
// with an error when it is no valid update file or its stub leaves no room for the signature.
bool sign_update_file(std::vector<uint8_t>& file, long payload_offset, const PrivateKey& key, std::string& error);

// Puts signature into the file for key: made elsewhere over the file's statement, in DER (as
// `openssl dgst -sign` writes it) or as r then s; false with an error when it is neither, or is
// not key's signature of this file's statement.
bool insert_signature(std::vector<uint8_t>& file, long payload_offset, const core::PublicKey& key,
                      const std::vector<uint8_t>& signature, std::string& error);

// Makes a new key pair as NAME.key (private, readable by its owner only) and NAME.pub; false with
// an error, nothing left behind, when either exists already or cannot be written.
bool make_key_pair(const std::string& name, std::string& error);

}  // namespace mkupdate
