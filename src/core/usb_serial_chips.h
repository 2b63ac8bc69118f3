// The USB serial chips that adapters for the device are built with, by their USB vendor and
// product ids: the knowledge behind naming an adapter that has no port and the driver it needs.
#pragma once

#include <cstdint>

namespace core {

struct UsbSerialChip {
    uint16_t vendor;
    uint16_t product;    // 0: any product of the vendor
    const char* chip;    // as a person finds it printed on the adapter or its box
    const char* driver;  // the driver to install where the system lacks it
};

// The chip with these ids, or nullptr when it is none of the known ones.
const UsbSerialChip* find_usb_serial_chip(uint16_t vendor, uint16_t product);

}  // namespace core
