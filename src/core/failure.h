// How an update ends: the outcome behind the updater's exit statuses, and the failure that ended
// it, as a value the front end turns into its own text. The core reports; it never prints or ends
// the process.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/port.h"

namespace core {

// How a run ended; the value is the console updater's exit status.
enum class Outcome : int {
    completed = 0,        // FLASH downloaded and, when chosen, the EEPROM verified
    user_break = 1,       // the person broke off before a port was opened
    file_error = 2,       // the update file is missing, of the wrong length, unreadable or damaged
    port_error = 3,       // the port could not be opened or configured
    device_error = 4,     // the device did not answer or answered wrongly
    flash_burn_error = 5, // the device reported a FLASH burning error
    eeprom_mismatch = 6,  // the EEPROM read-back found differences, or could not verify the bytes
    record_not_written = 7,  // the update ended, but its run record could not be written
};

// The outcome with the highest value.
constexpr Outcome LAST_OUTCOME = Outcome::record_not_written;

// The outcome's name in the run record: "completed", "user_break", ...
const char* outcome_name(Outcome outcome);

enum class Fault {
    // The update file.
    file_unreadable,      // detail: the system's reason; count: bytes read, expected: bytes the file has
    file_length,          // count: the file's length, expected: the expected length
    file_damaged,         // a payload digest that is missing or does not match, or a record checksum
    out_of_memory,
    // The device.
    no_acknowledgement,   // the FLASH start sequence went unanswered or was answered wrongly
    flash_burning_error,  // address: the record's first logical offset
    transmission_error,   // address: the record's first logical offset
    undefined_response,   // value: the reply, or NO_BYTE for none; address: the record's first
                          // logical offset
    port_lost,            // the port went away under the transfer: an unplugged adapter, a line hung up
};

struct Failure {
    explicit Failure(Fault what) : fault(what) {}

    Fault fault;
    uint32_t address = 0;
    uint16_t value = 0;
    long count = 0;
    long expected = 0;
    uint16_t late_reply = NO_BYTE;  // a reply that came only after its window, or NO_BYTE
    std::string detail;

    Outcome outcome() const;
};

// The failure that ended a step; empty when it succeeded.
using Failed = std::optional<Failure>;

}  // namespace core
