#include "core/usb_serial_chips.h"

namespace core {

namespace {

constexpr UsbSerialChip CHIPS[] = {
    {0x0403, 0, "FTDI FT232/FT231X", "FTDI VCP"},
    {0x10C4, 0xEA60, "Silicon Labs CP210x", "Silicon Labs CP210x VCP"},
    {0x10C4, 0xEA70, "Silicon Labs CP2105", "Silicon Labs CP210x VCP"},
    {0x10C4, 0xEA71, "Silicon Labs CP2108", "Silicon Labs CP210x VCP"},
    {0x1A86, 0x7523, "WCH CH340", "WCH CH341SER"},
    {0x1A86, 0x5523, "WCH CH341", "WCH CH341SER"},
    {0x1A86, 0x55D4, "WCH CH9102", "WCH CH343SER"},
    {0x067B, 0x2303, "Prolific PL2303", "Prolific PL2303"},
    {0x067B, 0x23A3, "Prolific PL2303GC", "Prolific PL2303"},
};

}  // namespace

const UsbSerialChip* find_usb_serial_chip(uint16_t vendor, uint16_t product) {
    for (const UsbSerialChip& chip : CHIPS) {
        if (chip.vendor == vendor && (chip.product == 0 || chip.product == product)) return &chip;
    }
    return nullptr;
}

}  // namespace core
