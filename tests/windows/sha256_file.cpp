// Prints the SHA-256 of a file as the Windows updater computes it (CryptoAPI), in hexadecimal, so
// that the tests can hold it against published vectors and sha256sum. A test tool of the Windows build.
#include <cstdio>
#include <vector>

#include "core/digest.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: sha256_file FILE\n");
        return 2;
    }
    std::FILE* file = std::fopen(argv[1], "rb");
    if (file == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    std::vector<uint8_t> data;
    uint8_t buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) data.insert(data.end(), buffer, buffer + got);
    std::fclose(file);
    uint8_t digest[core::DIGEST_SIZE];
    if (!core::sha256(data.data(), data.size(), digest)) return 1;
    for (uint8_t byte : digest) std::printf("%02x", byte);
    std::printf("\n");
    return 0;
}
