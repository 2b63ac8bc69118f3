// What an update reports while it runs, for a front end to show and a record to keep. Events names
// every call and defaults none, so that a listener that hands events on is checked by the compiler
// for each of them; Listener is the base of those that take only what they need.
#pragma once

#include <cstdint>

namespace core {

class Events {
public:
    virtual ~Events() = default;

    // The device acknowledged the FLASH start sequence; the records follow.
    virtual void flash_started() = 0;

    // A FLASH record's reply arrived (whatever it says), round_trip_us after the record's write
    // began, less the wire time of the frame and its reply.
    virtual void flash_reply(uint32_t record, unsigned round_trip_us) = 0;

    // The device accepted the record that ends just before logical offset `done`.
    virtual void flash_record_accepted(uint32_t done) = 0;

    // All 500 records were accepted; the line is watched for ms through the pause after the FLASH.
    virtual void flash_pause_started(unsigned ms) = 0;

    // All 500 records were accepted and nothing followed the last reply through the pause.
    virtual void flash_completed() = 0;

    // The EEPROM write pass begins.
    virtual void eeprom_write_started() = 0;

    // The read-back begins.
    virtual void read_back_started() = 0;

    // The read-back runs again from the start, waiting longer for each answer: a byte came out of
    // step. pass counts the passes run again so far, this one included.
    virtual void read_back_again(unsigned pass) = 0;

    // The chunk at address a is about to go out, in the write pass or the read-back; percent is
    // the share done once it is through.
    virtual void eeprom_chunk(uint32_t a, unsigned percent) = 0;

    // The read-back's byte at address a differs from the file's; received is NO_BYTE when it did
    // not arrive. Told once the read-back's answers are trusted, after its last chunk; percent is
    // the share done once the chunk of a was through, as its eeprom_chunk said.
    virtual void read_back_difference(uint32_t a, unsigned percent, uint16_t received, uint8_t expected) = 0;

    // The EEPROM transfer is over.
    virtual void eeprom_finished() = 0;

    // Asked during the read-back, after each byte: true ends the chunk early (a key waiting).
    virtual bool stop_requested() = 0;
};

// A listener that takes some of the events: the others do nothing, and no stop is asked for.
class Listener : public Events {
public:
    void flash_started() override {}
    void flash_reply(uint32_t, unsigned) override {}
    void flash_record_accepted(uint32_t) override {}
    void flash_pause_started(unsigned) override {}
    void flash_completed() override {}
    void eeprom_write_started() override {}
    void read_back_started() override {}
    void read_back_again(unsigned) override {}
    void eeprom_chunk(uint32_t, unsigned) override {}
    void read_back_difference(uint32_t, unsigned, uint16_t, uint8_t) override {}
    void eeprom_finished() override {}
    bool stop_requested() override { return false; }
};

}  // namespace core
