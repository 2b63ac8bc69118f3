// The USB serial chips that adapters for the device are built with, by their USB vendor and
// product ids: the knowledge behind naming an adapter that has no port, the driver it needs, and
// the requests a driver of its own must speak to it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace core {

// The families of requests the chips speak: each maker's own, or the USB serial class (CDC-ACM).
// Prolific's G series speaks other requests than the PL2303 before it.
enum class UsbSerialFamily { ftdi, cp210x, ch341, pl2303, pl2303g, cdc_acm };

struct UsbSerialChip {
    uint16_t vendor;
    uint16_t product;    // 0: any product of the vendor
    const char* chip;    // as a person finds it printed on the adapter or its box
    const char* driver;  // the driver to install where the system lacks it
    UsbSerialFamily family;
};

// The chip with these ids, or nullptr when it is none of the known ones.
const UsbSerialChip* find_usb_serial_chip(uint16_t vendor, uint16_t product);

// Every known chip, in the order find_usb_serial_chip tries them.
struct UsbSerialChips {
    const UsbSerialChip* first;
    size_t count;
    const UsbSerialChip* begin() const { return first; }
    const UsbSerialChip* end() const { return first + count; }
};
UsbSerialChips usb_serial_chips();

// The family's name: "ftdi", "cp210x", "ch341", "pl2303", "pl2303g" or "cdc_acm".
const char* usb_serial_family_name(UsbSerialFamily family);

}  // namespace core
