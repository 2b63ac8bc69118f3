// The simulated device's loader: consumes the bytes the host sends, byte by byte, keeps what the
// FLASH and EEPROM transfers write, and says what to answer and when. Faults are injected by the
// settings. It knows nothing of time or terminals; the program around it does.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/layout.h"

namespace loader_sim {

constexpr int NO_REPLY = -1;

enum class HangupPoint { never, before_acknowledgement, flash_record, eeprom_write, eeprom_read };

// A line that turns slow: every EEPROM answer (write replies and read-back answers, counted from 0
// over the whole session) from the from-th on comes ms late, or, with growth_us, each growth_us
// later than the one before, up to ms.
struct LineDelay {
    unsigned ms = 0;
    uint32_t from = 0;
    unsigned growth_us = 0;

    unsigned of_answer(uint32_t k) const {
        if (ms == 0 || k < from) return 0;
        if (growth_us == 0) return ms;
        const unsigned long long grown = (static_cast<unsigned long long>(k - from) + 1) * growth_us / 1000;
        return grown < ms ? static_cast<unsigned>(grown) : ms;
    }
};

struct Faults {
    int acknowledgement = 0x59;                  // or NO_REPLY
    std::map<uint32_t, int> record_reply;        // record -> reply value or NO_REPLY
    std::map<uint32_t, unsigned> record_late_ms; // record -> extra delay of its reply
    std::map<uint32_t, uint8_t> record_surplus;  // record -> a byte sent unasked right after its reply
    std::map<uint32_t, unsigned> eeprom_late_ms; // write frame address -> extra delay of its reply
    std::set<uint32_t> eeprom_held;              // write frame address -> reply held until the host sends on
    std::map<uint32_t, uint8_t> eeprom_wrong;    // address -> value read back instead
    std::map<uint32_t, unsigned> eeprom_answer_late_ms;  // address -> extra delay of its read-back answer
    unsigned reply_delay_ms = 0;                 // extra delay of every answer: a slow device
    HangupPoint hangup = HangupPoint::never;
    uint32_t hangup_at = 0;                      // record or EEPROM address of the hang-up
    bool silent = false;                         // never answer anything
    uint8_t eeprom_write_reply = 0x00;
    LineDelay eeprom_delay;
    unsigned heartbeat_ms = 0;                   // from the EEPROM's start on, a byte every heartbeat_ms
    uint8_t heartbeat_byte = 0x00;               // unasked, as an application that has started sends
};

struct Reply {
    uint8_t byte;
    unsigned extra_delay_ms;
    bool held;  // sent only when the next byte from the host arrives: after the host gave up waiting
    int surplus;  // a second byte right behind it, unasked, or NO_REPLY
};

enum class Step { go_on, reply_ready, hang_up };

// Where a byte put a transfer, for timing it.
enum class Milestone { none, flash_started, flash_finished, eeprom_started, eeprom_finished };

class Device {
public:
    static constexpr uint32_t FLASH_SIZE = core::FLASH_DATA_SIZE;
    static constexpr uint32_t EEPROM_SIZE = core::EEPROM_SIZE;

    explicit Device(const Faults& faults);

    // Takes one byte from the host. reply_ready: *reply holds the answer; hang_up: the device closes
    // the line now.
    Step receive(uint8_t byte, Reply* reply);

    // What the last byte received began or ended, if anything.
    Milestone milestone() const { return milestone_; }

    // True while a transfer is under way: between a start sequence and the transfer's end.
    bool transfer_open() const { return state_ != State::idle; }

    // The host went away: the loader waits for a new start sequence.
    void reset_transfer();

    // From now on the device behaves: no fault is injected any more.
    void clear_faults() { faults_ = Faults(); }

    const std::vector<uint8_t>& flash() const { return flash_; }
    const std::vector<uint8_t>& eeprom() const { return eeprom_; }
    uint32_t records_received() const { return records_; }
    uint32_t eeprom_bytes_written() const { return eeprom_written_; }
    uint32_t eeprom_bytes_read() const { return eeprom_read_; }
    const std::vector<std::string>& protocol_errors() const { return errors_; }
    // The period of the unasked byte sent from the EEPROM's start on, and the byte; 0: none.
    unsigned heartbeat_ms() const { return faults_.heartbeat_ms; }
    uint8_t heartbeat_byte() const { return faults_.heartbeat_byte; }

private:
    enum class State {
        idle, flash_records, eeprom_command, eeprom_write_header, eeprom_write_rest,
        eeprom_read_header, eeprom_read_poll, eeprom_read_end
    };

    Step answer(int value, unsigned extra_delay_ms, Reply* reply, bool held = false);
    void error(const std::string& text);

    Faults faults_;
    State state_ = State::idle;
    Milestone milestone_ = Milestone::none;
    uint32_t window_ = 0;  // the last four bytes received in idle, the newest lowest
    std::vector<uint8_t> frame_;
    uint32_t record_ = 0;
    uint32_t address_ = 0;
    uint32_t remaining_ = 0;
    std::vector<uint8_t> flash_;
    std::vector<uint8_t> eeprom_;
    uint32_t records_ = 0;
    uint32_t eeprom_written_ = 0;
    uint32_t eeprom_read_ = 0;
    uint32_t eeprom_answers_ = 0;  // EEPROM answers sent this session, for the line's delay
    std::vector<std::string> errors_;
};

}  // namespace loader_sim
