#include "frontend/key_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "frontend/shown_text.h"

namespace frontend {

namespace {

// No key file is near this long: a file that is, is none.
constexpr size_t LONGEST_KEY_FILE = 64 * 1024;

}  // namespace

bool read_public_key_file(const std::string& path, core::PublicKey& key, std::string& error) {
    std::string text;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = shown_text(path) + ": cannot open: " + shown_text(std::strerror(errno));
        return false;
    }
    char chunk[4096];
    size_t got = 0;
    while (text.size() <= LONGEST_KEY_FILE && (got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
    const bool failed = std::ferror(file) != 0;
    const int reason = errno;
    std::fclose(file);
    if (failed) {
        error = shown_text(path) + ": cannot read: " + shown_text(std::strerror(reason));
        return false;
    }
    // A file far longer than a key is judged as the nothing it holds of one.
    const char* problem = core::parse_public_key(text.size() > LONGEST_KEY_FILE ? std::string() : text, key);
    if (problem != nullptr) error = shown_text(path) + ": " + problem;
    return problem == nullptr;
}

}  // namespace frontend
