// The FLASH transfer with the device's loader.
#pragma once

#include "core/events.h"
#include "core/failure.h"
#include "core/link.h"
#include "core/update_image.h"

namespace core {

// A FLASH frame and its reply on the wire at 115200 baud, 8N1: 130 bytes of 10 bits.
constexpr unsigned FRAME_AND_REPLY_WIRE_US = 130 * 10 * 1000000ull / 115200;  // 11,284

// The pause that gives the device time to settle after its FLASH, before the EEPROM. The line is
// watched through it: it must stay quiet.
constexpr unsigned PAUSE_AFTER_FLASH_MS = 5000;

// Opens the transfer, sends the 500 records of the image with their checksums and checks the
// device's reply to each, then watches the line through the pause after the FLASH. Succeeds when
// all were accepted and nothing at all came after the last reply: with no sequence numbers on the
// wire, a reply read out of step shifts every later one, and only a byte after the last shows it.
// Fails at a missing, negative or unknown reply, a byte that came unasked, or a port that went
// away.
Failed download_flash(Link& link, const UpdateImage& image, Events& events);

}  // namespace core
