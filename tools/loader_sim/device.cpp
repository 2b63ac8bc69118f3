#include "device.h"

#include <cstdio>

namespace loader_sim {

namespace {

constexpr uint32_t FLASH_START = 0x59D8FD00;   // in order of arrival, the first byte highest
constexpr uint32_t EEPROM_START = 0x00FDD859;
constexpr uint32_t FRAME_SIZE = 129;
constexpr uint32_t RECORDS = 500;

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", value);
    return text;
}

}  // namespace

Device::Device(const Faults& faults) : faults_(faults), flash_(FLASH_SIZE, 0xFF), eeprom_(EEPROM_SIZE, 0xFF) {}

void Device::reset_transfer() {
    state_ = State::idle;
    window_ = 0;
    frame_.clear();
}

void Device::error(const std::string& text) { errors_.push_back(text); }

Step Device::answer(int value, unsigned extra_delay_ms, Reply* reply, bool held) {
    if (faults_.silent || value == NO_REPLY) return Step::go_on;
    reply->byte = static_cast<uint8_t>(value);
    reply->extra_delay_ms = extra_delay_ms + faults_.reply_delay_ms;
    reply->held = held;
    reply->surplus = NO_REPLY;
    return Step::reply_ready;
}

Step Device::receive(uint8_t byte, Reply* reply) {
    milestone_ = Milestone::none;
    switch (state_) {
        case State::idle:
            window_ = window_ << 8 | byte;
            if (window_ == FLASH_START) {
                window_ = 0;
                milestone_ = Milestone::flash_started;
                if (faults_.hangup == HangupPoint::before_acknowledgement) return Step::hang_up;
                state_ = State::flash_records;
                record_ = 0;
                frame_.clear();
                return answer(faults_.acknowledgement, 0, reply);
            }
            if (window_ == EEPROM_START) {
                window_ = 0;
                milestone_ = Milestone::eeprom_started;
                state_ = State::eeprom_command;
                eeprom_answers_ = 0;
            }
            return Step::go_on;

        case State::flash_records: {
            frame_.push_back(byte);
            if (frame_.size() < FRAME_SIZE) return Step::go_on;
            uint8_t sum = 0;
            for (uint8_t b : frame_) sum = static_cast<uint8_t>(sum + b);
            const uint32_t record = record_++;
            if (sum == 0) {
                std::copy(frame_.begin(), frame_.end() - 1, flash_.begin() + record * 128);
                ++records_;
            } else {
                error("checksum error in FLASH record " + std::to_string(record));
            }
            frame_.clear();
            if (record_ == RECORDS) {
                state_ = State::idle;
                milestone_ = Milestone::flash_finished;
            }
            if (faults_.hangup == HangupPoint::flash_record && faults_.hangup_at == record) return Step::hang_up;
            const auto configured = faults_.record_reply.find(record);
            const int value = configured != faults_.record_reply.end() ? configured->second : sum == 0 ? 0x00 : 0xAA;
            const auto late = faults_.record_late_ms.find(record);
            const Step step = answer(value, late != faults_.record_late_ms.end() ? late->second : 0, reply);
            const auto surplus = faults_.record_surplus.find(record);
            if (step == Step::reply_ready && surplus != faults_.record_surplus.end()) reply->surplus = surplus->second;
            return step;
        }

        case State::eeprom_command:
            if (byte == 0x17) {
                state_ = State::eeprom_write_header;
            } else if (byte == 0x18) {
                state_ = State::eeprom_read_header;
            } else {
                error("unknown EEPROM command " + hex(byte));
                state_ = State::idle;
            }
            return Step::go_on;

        case State::eeprom_write_header:
        case State::eeprom_read_header: {
            const bool writing = state_ == State::eeprom_write_header;
            if (frame_.empty() && byte == 0x00) {  // a count of 0 ends the pass
                state_ = writing ? State::eeprom_command : State::eeprom_read_end;
                return Step::go_on;
            }
            frame_.push_back(byte);
            if (frame_.size() < (writing ? 5u : 4u)) return Step::go_on;
            remaining_ = frame_[0];
            address_ = static_cast<uint32_t>(frame_[1]) << 16 | frame_[2] << 8 | frame_[3];
            if (address_ + remaining_ > EEPROM_SIZE) error("EEPROM chunk at " + hex(address_) + " outside the EEPROM");
            if (!writing) {
                frame_.clear();
                state_ = State::eeprom_read_poll;
                return Step::go_on;
            }
            const uint32_t a = address_;
            if (a < EEPROM_SIZE) eeprom_[a] = frame_[4];
            ++eeprom_written_;
            ++address_;
            --remaining_;
            frame_.clear();
            state_ = remaining_ > 0 ? State::eeprom_write_rest : State::eeprom_write_header;
            if (faults_.hangup == HangupPoint::eeprom_write && faults_.hangup_at == a) return Step::hang_up;
            const auto late = faults_.eeprom_late_ms.find(a);
            const unsigned line_ms = faults_.eeprom_delay.of_answer(eeprom_answers_++);
            return answer(faults_.eeprom_write_reply, (late != faults_.eeprom_late_ms.end() ? late->second : 0) + line_ms,
                          reply, faults_.eeprom_held.count(a) != 0);
        }

        case State::eeprom_write_rest:
            if (address_ < EEPROM_SIZE) eeprom_[address_] = byte;
            ++eeprom_written_;
            ++address_;
            if (--remaining_ == 0) state_ = State::eeprom_write_header;
            return Step::go_on;

        case State::eeprom_read_poll: {
            if (byte != 0x00) error("EEPROM poll byte " + hex(byte) + " instead of 0");
            const uint32_t a = address_++;
            if (--remaining_ == 0) state_ = State::eeprom_read_header;
            if (faults_.hangup == HangupPoint::eeprom_read && faults_.hangup_at == a) return Step::hang_up;
            ++eeprom_read_;
            const auto wrong = faults_.eeprom_wrong.find(a);
            const int value = wrong != faults_.eeprom_wrong.end() ? wrong->second : a < EEPROM_SIZE ? eeprom_[a] : 0xFF;
            const auto late = faults_.eeprom_answer_late_ms.find(a);
            const unsigned line_ms = faults_.eeprom_delay.of_answer(eeprom_answers_++);
            return answer(value, (late != faults_.eeprom_answer_late_ms.end() ? late->second : 0) + line_ms, reply);
        }

        case State::eeprom_read_end:
            if (byte != 0x00) error("EEPROM end of reading " + hex(byte) + " instead of 0");
            state_ = State::idle;
            milestone_ = Milestone::eeprom_finished;
            return Step::go_on;
    }
    return Step::go_on;
}

}  // namespace loader_sim
