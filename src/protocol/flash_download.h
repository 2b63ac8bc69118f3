// The FLASH transfer with the device's loader.
#pragma once

namespace protocol {

// Opens the transfer, sends the 500 records of the loaded image with their checksums and checks the
// device's reply to each, showing progress. Returns when all were accepted; any missing, negative or
// unknown reply prints its message and ends the run.
void download_flash();

}  // namespace protocol
