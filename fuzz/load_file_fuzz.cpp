// Fuzzes the packer's image input: Intel HEX and S-record text for FLASH- and EEPROM-sized images.
// A load file the readers accept must give an image of exactly the size asked for.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "load_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<uint8_t> image;
    std::string error;
    for (size_t image_size : {size_t{64000}, size_t{2048}}) {
        if (mkupdate::parse_intel_hex(text, "f.hex", image_size, image, error) && image.size() != image_size) std::abort();
        if (mkupdate::parse_srecord(text, "f.srec", image_size, image, error) && image.size() != image_size) std::abort();
    }
    return 0;
}
