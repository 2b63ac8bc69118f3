// The FLASH transfer with the device's loader.
#pragma once

namespace protocol {

// Above this median reply round trip the adapter, not the device, sets the pace.
constexpr unsigned SLOW_REPLY_US = 4000;

// A FLASH frame and its reply on the wire at 115200 baud, 8N1: 130 bytes of 10 bits.
constexpr unsigned FRAME_AND_REPLY_WIRE_US = 130 * 10 * 1000000ull / 115200;  // 11,284

// How long the device's replies to the FLASH records took: from the start of the record's write
// to its reply, less FRAME_AND_REPLY_WIRE_US.
struct ReplyTimes {
    unsigned count = 0;
    unsigned median_us = 0;
    unsigned max_us = 0;
};

// Opens the transfer, sends the 500 records of the loaded image with their checksums and checks the
// device's reply to each, showing progress. Returns when all were accepted and nothing followed the
// last reply; any missing, negative or unknown reply, or a byte after the last, prints its message
// and ends the run.
void download_flash();

// The round trips of the replies received so far.
ReplyTimes flash_reply_times();

// After the download: when the median round trip exceeded SLOW_REPLY_US, prints one line that says
// so and how to make the adapter answer at once.
void advise_on_slow_replies();

}  // namespace protocol
