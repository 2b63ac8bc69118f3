// The FLASH transfer with the device's loader.
#pragma once

#include "core/events.h"
#include "core/failure.h"
#include "core/link.h"
#include "core/update_image.h"

namespace core {

// A FLASH frame and its reply on the wire at 115200 baud, 8N1: 130 bytes of 10 bits.
constexpr unsigned FRAME_AND_REPLY_WIRE_US = 130 * 10 * 1000000ull / 115200;  // 11,284

// Opens the transfer, sends the 500 records of the image with their checksums and checks the
// device's reply to each. Succeeds when all were accepted and nothing followed the last reply;
// fails at a missing, negative or unknown reply, or at a byte that came unasked.
Result download_flash(Link& link, const UpdateImage& image, Events& events);

}  // namespace core
