// The FLASH transfer with the device's loader.
#pragma once

namespace protocol {

// Opens the transfer, sends the 500 records of the loaded image with their checksums and checks the
// device's reply to each, showing progress. Returns when all were accepted and nothing followed the
// last reply; any missing, negative or unknown reply, or a byte after the last, prints its message
// and ends the run.
void download_flash();

}  // namespace protocol
