// A public key file as the updaters and the packer take it: PEM text, a P-256 key.
#pragma once

#include <string>

#include "core/signature.h"

namespace frontend {

// Reads the P-256 public key in the PEM file at path; false with one line naming the file and what
// is wrong with it (unreadable, not PEM, a private key, not a P-256 key).
bool read_public_key_file(const std::string& path, core::PublicKey& key, std::string& error);

}  // namespace frontend
