#include "run/trusted_keys.h"

#include "frontend/key_file.h"
#include "pinned_key.h"

namespace run {

bool load_trusted_keys(const std::vector<std::string>& files, core::TrustedKeys& keys, std::string& error) {
    keys.clear();
    if (PINNED_KEY_PEM[0] != '\0') {
        core::PublicKey pinned;
        if (const char* problem = core::parse_public_key(PINNED_KEY_PEM, pinned)) {
            error = std::string("the key this updater was built to trust: ") + problem;
            return false;
        }
        keys.push_back(pinned);
    }
    for (const std::string& file : files) {
        core::PublicKey key;
        if (!frontend::read_public_key_file(file, key, error)) return false;
        keys.push_back(key);
    }
    return true;
}

}  // namespace run
