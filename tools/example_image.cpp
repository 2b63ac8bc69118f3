// Writes the example firmware (64,000 bytes) and EEPROM contents (2,048 bytes) that the demo packs:
// deterministic filler that includes the byte values a serial line is most likely to mangle.
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

bool write_file(const char* path, const std::vector<uint8_t>& data) {
    std::FILE* file = std::fopen(path, "wb");
    const bool ok = file != nullptr && std::fwrite(data.data(), 1, data.size(), file) == data.size();
    if (file != nullptr && std::fclose(file) != 0) return false;
    if (!ok) std::fprintf(stderr, "example_image: cannot write %s\n", path);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: example_image FIRMWARE_OUT EEPROM_OUT\n");
        return 2;
    }
    std::vector<uint8_t> firmware(64000);
    uint32_t state = 0x2C00;
    for (size_t i = 0; i < firmware.size(); ++i) {
        state = state * 1103515245u + 12345u;
        firmware[i] = static_cast<uint8_t>(state >> 16);
    }
    const uint8_t awkward[] = {0x00, 0x0D, 0x0A, 0x11, 0x13, 0x03, 0x1B, 0x7F, 0xFF};
    for (size_t k = 0; k < sizeof awkward; ++k) firmware[k] = awkward[k];
    std::vector<uint8_t> eeprom(2048);
    for (size_t a = 0; a < eeprom.size(); ++a) eeprom[a] = static_cast<uint8_t>(a * 7 + (a >> 8));
    return write_file(argv[1], firmware) && write_file(argv[2], eeprom) ? 0 : 1;
}
