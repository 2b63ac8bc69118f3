#include "core/flash_transfer.h"

#include <chrono>
#include <initializer_list>

#include "core/layout.h"

namespace core {

namespace {

constexpr uint16_t RECORD_ACCEPTED = 0x00;
constexpr uint16_t FLASH_BURNING_ERROR = 0x55;
constexpr uint16_t TRANSMISSION_ERROR = 0xAA;

// How long a port that no longer answers may take to show that it went away: the system hangs up
// an unplugged USB adapter's port only some time after its last transfer failed.
constexpr unsigned LOSS_NOTICE_MS = 500;

Failure undefined_response(uint16_t reply) {
    if (reply == PORT_LOST) return Failure{Fault::port_lost};
    Failure failure{Fault::undefined_response};
    failure.value = reply;
    return failure;
}

// A reply that did not come: the port may be going away; then that is what is said. A reply that
// comes meanwhile is too late to be taken, but it is kept for the failure to name.
Failure missing(Link& link, Failure failure) {
    const uint16_t late = link.receive_within(LOSS_NOTICE_MS);
    if (late == PORT_LOST) return Failure{Fault::port_lost};
    failure.late_reply = late;
    return failure;
}

Failure at_record(Fault fault, uint32_t record_start) {
    Failure failure{fault};
    failure.address = record_start;
    return failure;
}

// The round trip less the wire time of the frame and its reply: what remains is the device's
// turnaround and the adapter's latency, whether or not the write waited for the frame to leave.
unsigned beyond_wire_time(std::chrono::steady_clock::duration took) {
    const long long us = std::chrono::duration_cast<std::chrono::microseconds>(took).count() - FRAME_AND_REPLY_WIRE_US;
    return us > 0 ? static_cast<unsigned>(us) : 0;
}

}  // namespace

Failed download_flash(Link& link, const UpdateImage& image, Events& events) {
    for (uint16_t b : {0x59, 0xD8, 0xFD, 0x00}) link.send_byte(b);
    const uint16_t acknowledgement = link.receive_byte();
    if (acknowledgement == PORT_LOST) return Failure{Fault::port_lost};
    if (acknowledgement == NO_BYTE) return missing(link, Failure{Fault::no_acknowledgement});
    if (acknowledgement != 0x00 && acknowledgement != 0x59) return Failure{Fault::no_acknowledgement};
    events.flash_started();

    for (uint32_t i = 0; i < FLASH_DATA_SIZE;) {
        const uint32_t record_start = i;
        // Nothing may wait before a record is sent: a byte there came unasked, and every reply from
        // now on would be read one record late, until a missing one put them back in step unseen.
        if (const uint16_t unasked = link.receive_within(0); unasked != NO_BYTE) return undefined_response(unasked);
        link.reset_frame_checksum();
        for (uint32_t k = 0; k < RECORD_DATA_SIZE; ++k) link.queue_byte(image.flash_byte(i++));
        link.queue_byte(link.frame_checksum());
        const auto sent = std::chrono::steady_clock::now();
        link.flush_queue();

        const uint16_t reply = link.receive_byte();
        if (!no_byte(reply)) {
            events.flash_reply(record_start / RECORD_DATA_SIZE, beyond_wire_time(std::chrono::steady_clock::now() - sent));
        }
        switch (reply) {
            case RECORD_ACCEPTED:
                events.flash_record_accepted(i);
                break;
            case FLASH_BURNING_ERROR:
                return at_record(Fault::flash_burning_error, record_start);
            case TRANSMISSION_ERROR:
                return at_record(Fault::transmission_error, record_start);
            case NO_BYTE: {
                Failure failure = undefined_response(reply);
                failure.address = record_start;
                return missing(link, failure);
            }
            default:
                return undefined_response(reply);
        }
    }
    // Nothing may follow the last reply, through the whole pause. A byte that does means a reply
    // came unasked on the way, and every reply since was read one frame late, the check before each
    // record missing it while the next frame was on the wire: the last record's own reply is this
    // byte, and none of the replies can be trusted.
    events.flash_pause_started(PAUSE_AFTER_FLASH_MS);
    if (const uint16_t surplus = link.receive_within(PAUSE_AFTER_FLASH_MS); surplus != NO_BYTE) {
        return undefined_response(surplus);
    }
    events.flash_completed();
    return std::nullopt;
}

}  // namespace core
