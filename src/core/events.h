// What an update reports while it runs, for a front end to show and a record to keep. Every call
// has an empty default: a listener takes what it needs.
#pragma once

#include <cstdint>

namespace core {

class Events {
public:
    virtual ~Events() = default;

    // The device acknowledged the FLASH start sequence; the records follow.
    virtual void flash_started() {}

    // A FLASH record's reply arrived (whatever it says), round_trip_us after the record's write
    // began, less the wire time of the frame and its reply.
    virtual void flash_reply(uint32_t /*record*/, unsigned /*round_trip_us*/) {}

    // The device accepted the record that ends just before logical offset `done`.
    virtual void flash_record_accepted(uint32_t /*done*/) {}

    // All 500 records were accepted; the line is watched for ms through the pause after the FLASH.
    virtual void flash_pause_started(unsigned /*ms*/) {}

    // All 500 records were accepted and nothing followed the last reply through the pause.
    virtual void flash_completed() {}

    // The EEPROM write pass begins.
    virtual void eeprom_write_started() {}

    // The read-back begins.
    virtual void read_back_started() {}

    // The chunk at address a is about to go out, in the write pass or the read-back; percent is
    // the share done once it is through.
    virtual void eeprom_chunk(uint32_t /*a*/, unsigned /*percent*/) {}

    // The read-back's byte at address a differs from the file's; received is NO_BYTE when it did
    // not arrive. Told once the read-back's answers are trusted, after its last chunk; percent is
    // the share done once the chunk of a was through, as its eeprom_chunk said.
    virtual void read_back_difference(uint32_t /*a*/, unsigned /*percent*/, uint16_t /*received*/, uint8_t /*expected*/) {}

    // The EEPROM transfer is over.
    virtual void eeprom_finished() {}

    // Asked during the read-back, after each byte: true ends the chunk early (a key waiting).
    virtual bool stop_requested() { return false; }
};

}  // namespace core
