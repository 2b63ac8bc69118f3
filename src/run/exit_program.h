// The single exit path of an update run.
#pragma once

namespace run {

// How a run ended; the value is the process's exit status.
enum class Outcome : int {
    completed = 0,        // FLASH downloaded and, when chosen, the EEPROM verified
    user_break = 1,       // a key other than a port number at the port prompt
    file_error = 2,       // the update file is missing, of the wrong length, unreadable or damaged
    port_error = 3,       // the port could not be opened or configured
    device_error = 4,     // the device did not answer or answered wrongly
    flash_burn_error = 5, // the device reported a FLASH burning error
    eeprom_mismatch = 6,  // the EEPROM read-back found differences
};

// From now on no key is read: the exit path asks for no Enter, and a key waiting never ends a
// read-back chunk early. For runs without a person (--batch).
void run_unattended();

// Releases the image, the update file and the port in that order, asks for Enter (unless the run
// is unattended), restores the
// console and ends the process with the outcome as its exit status. Never returns.
[[noreturn]] void exit_program(Outcome outcome);

}  // namespace run
