#include "core/failure.h"

namespace core {

const char* outcome_name(Outcome outcome) {
    switch (outcome) {
        case Outcome::completed: return "completed";
        case Outcome::user_break: return "user_break";
        case Outcome::file_error: return "file_error";
        case Outcome::port_error: return "port_error";
        case Outcome::device_error: return "device_error";
        case Outcome::flash_burn_error: return "flash_burn_error";
        case Outcome::eeprom_mismatch: return "eeprom_mismatch";
        case Outcome::record_not_written: return "record_not_written";
    }
    return "unknown";
}

Outcome Failure::outcome() const {
    switch (fault) {
        case Fault::file_unreadable:
        case Fault::file_length:
        case Fault::file_damaged:
        case Fault::out_of_memory:
            return Outcome::file_error;
        case Fault::flash_burning_error:
            return Outcome::flash_burn_error;
        case Fault::no_acknowledgement:
        case Fault::transmission_error:
        case Fault::undefined_response:
        case Fault::port_lost:
            break;
    }
    return Outcome::device_error;
}

}  // namespace core
