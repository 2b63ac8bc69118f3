#include "core/usb_serial_chips.h"

#include <iterator>

namespace core {

namespace {

using Family = UsbSerialFamily;

// The ids are those of the Linux kernel's drivers for these chips, under the makers' own vendor
// ids. FTDI's and Silicon Labs' ids stand for the maker's whole range: the adapters built on their
// chips come under many product ids of the maker's, every one spoken to alike.
constexpr UsbSerialChip CHIPS[] = {
    {0x0403, 0, "FTDI FT232/FT231X", "FTDI VCP", Family::ftdi},
    {0x10C4, 0xEA60, "Silicon Labs CP210x", "Silicon Labs CP210x VCP", Family::cp210x},
    {0x10C4, 0xEA70, "Silicon Labs CP2105", "Silicon Labs CP210x VCP", Family::cp210x},
    {0x10C4, 0xEA71, "Silicon Labs CP2108", "Silicon Labs CP210x VCP", Family::cp210x},
    {0x10C4, 0, "Silicon Labs CP210x", "Silicon Labs CP210x VCP", Family::cp210x},
    {0x1A86, 0x7522, "WCH CH340", "WCH CH341SER", Family::ch341},
    {0x1A86, 0x7523, "WCH CH340", "WCH CH341SER", Family::ch341},
    {0x1A86, 0x5523, "WCH CH341", "WCH CH341SER", Family::ch341},
    {0x1A86, 0x55D4, "WCH CH9102", "WCH CH343SER", Family::cdc_acm},
    // The PL2303 H, HX, HXD and TA share one product id and tell themselves apart by their device
    // descriptor; the other ids are makers' cables built on them.
    {0x067B, 0x2303, "Prolific PL2303", "Prolific PL2303", Family::pl2303},
    {0x067B, 0x2304, "Prolific PL2303TB", "Prolific PL2303", Family::pl2303},
    {0x067B, 0x04BB, "Prolific PL2303", "Prolific PL2303", Family::pl2303},
    {0x067B, 0x1234, "Prolific PL2303", "Prolific PL2303", Family::pl2303},
    {0x067B, 0xAAA0, "Prolific PL2303", "Prolific PL2303", Family::pl2303},
    {0x067B, 0xAAA2, "Prolific PL2303", "Prolific PL2303", Family::pl2303},
    {0x067B, 0xAAA8, "Prolific PL2303", "Prolific PL2303", Family::pl2303},
    {0x067B, 0x0611, "Prolific PL2303", "Prolific PL2303", Family::pl2303},
    {0x067B, 0x0612, "Prolific PL2303", "Prolific PL2303", Family::pl2303},
    {0x067B, 0x0609, "Prolific PL2303", "Prolific PL2303", Family::pl2303},
    {0x067B, 0x331A, "Prolific PL2303", "Prolific PL2303", Family::pl2303},
    {0x067B, 0x0307, "Prolific PL2303", "Prolific PL2303", Family::pl2303},
    {0x067B, 0xE1F1, "Prolific PL2303", "Prolific PL2303", Family::pl2303},
    {0x067B, 0x23A3, "Prolific PL2303GC", "Prolific PL2303", Family::pl2303g},
    {0x067B, 0x23B3, "Prolific PL2303GB", "Prolific PL2303", Family::pl2303g},
    {0x067B, 0x23C3, "Prolific PL2303GT", "Prolific PL2303", Family::pl2303g},
    {0x067B, 0x23D3, "Prolific PL2303GL", "Prolific PL2303", Family::pl2303g},
    {0x067B, 0x23E3, "Prolific PL2303GE", "Prolific PL2303", Family::pl2303g},
    {0x067B, 0x23F3, "Prolific PL2303GS", "Prolific PL2303", Family::pl2303g},
};

}  // namespace

const UsbSerialChip* find_usb_serial_chip(uint16_t vendor, uint16_t product) {
    for (const UsbSerialChip& chip : CHIPS) {
        if (chip.vendor == vendor && (chip.product == 0 || chip.product == product)) return &chip;
    }
    return nullptr;
}

UsbSerialChips usb_serial_chips() { return {CHIPS, std::size(CHIPS)}; }

const char* usb_serial_family_name(UsbSerialFamily family) {
    switch (family) {
        case UsbSerialFamily::ftdi: return "ftdi";
        case UsbSerialFamily::cp210x: return "cp210x";
        case UsbSerialFamily::ch341: return "ch341";
        case UsbSerialFamily::pl2303: return "pl2303";
        case UsbSerialFamily::pl2303g: return "pl2303g";
        case UsbSerialFamily::cdc_acm: return "cdc_acm";
    }
    return "";
}

}  // namespace core
