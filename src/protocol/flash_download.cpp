#include "protocol/flash_download.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <initializer_list>
#include <vector>

#include "run/exit_program.h"
#include "run/run_record.h"
#include "serial/serial_link.h"
#include "serial/serial_port.h"
#include "update_file/layout.h"
#include "update_file/update_file.h"

namespace protocol {

namespace {

constexpr uint16_t RECORD_ACCEPTED = 0x00;
constexpr uint16_t FLASH_BURNING_ERROR = 0x55;
constexpr uint16_t TRANSMISSION_ERROR = 0xAA;

std::vector<unsigned> reply_us;  // round trip of each FLASH record's reply

// The round trip less the wire time of the frame and its reply: what remains is the device's
// turnaround and the adapter's latency, whether or not the write waited for the frame to leave.
void record_reply_time(std::chrono::steady_clock::duration took) {
    const long long us = std::chrono::duration_cast<std::chrono::microseconds>(took).count() - FRAME_AND_REPLY_WIRE_US;
    reply_us.push_back(us > 0 ? static_cast<unsigned>(us) : 0);
}

[[noreturn]] void undefined_response(uint16_t reply) {
    std::printf("\nUndefined response %x. Check cable!\n", static_cast<unsigned>(reply));
    run::exit_program(run::Outcome::device_error);
}

}  // namespace

void download_flash() {
    using update_file::FLASH_DATA_SIZE;
    using update_file::RECORD_DATA_SIZE;
    reply_us.clear();
    reply_us.reserve(update_file::RECORD_COUNT);

    for (uint16_t b : {0x59, 0xD8, 0xFD, 0x00}) serial::send_byte(b);
    const uint16_t acknowledgement = serial::receive_byte();
    if (acknowledgement != 0x00 && acknowledgement != 0x59) {
        std::printf("\nError: No response from %s\n", update_file::device_name());
        run::exit_program(run::Outcome::device_error);
    }
    std::printf("\nDownloading FLASH...\n");

    for (uint32_t i = 0; i < FLASH_DATA_SIZE;) {
        const unsigned long record_start = i;
        // Nothing may wait before a record is sent: a byte there came unasked, and every reply from
        // now on would be read one record late, until a missing one put them back in step unseen.
        if (const uint16_t unasked = serial::unasked_byte(); unasked != serial::NO_BYTE) undefined_response(unasked);
        serial::reset_frame_checksum();
        for (uint32_t k = 0; k < RECORD_DATA_SIZE; ++k) serial::queue_byte(update_file::flash_byte(i++));
        serial::queue_byte(serial::frame_checksum());
        const auto sent = std::chrono::steady_clock::now();
        serial::flush_queue();

        const uint16_t reply = serial::receive_byte();
        if (reply != serial::NO_BYTE) {
            record_reply_time(std::chrono::steady_clock::now() - sent);
            run_record::flash_progress();
        }
        switch (reply) {
            case RECORD_ACCEPTED:
                std::printf("\r%lX %ld%%", static_cast<unsigned long>(i),
                            static_cast<long>(i * 100u / FLASH_DATA_SIZE));
                break;
            case FLASH_BURNING_ERROR:
                std::printf("\nFLASH burning error at address %lX. Try again!\n", record_start);
                run::exit_program(run::Outcome::flash_burn_error);
            case TRANSMISSION_ERROR:
                std::printf("\nTransmission error at address %lX. Try again!\n", record_start);
                run::exit_program(run::Outcome::device_error);
            default:
                undefined_response(reply);
        }
    }
    // Nothing may follow the last reply. A byte that does means a reply came unasked on the way and
    // every reply since was read one frame late: the last record's own reply is this byte.
    const uint16_t surplus = serial::receive_byte();
    if (surplus != serial::NO_BYTE) undefined_response(surplus);
    std::printf("\nDownload of FLASH program memory successfully completed\n\n");
}

ReplyTimes flash_reply_times() {
    ReplyTimes times;
    if (reply_us.empty()) return times;
    std::vector<unsigned> sorted = reply_us;
    std::sort(sorted.begin(), sorted.end());
    times.count = static_cast<unsigned>(sorted.size());
    times.median_us = sorted[sorted.size() / 2];
    times.max_us = sorted.back();
    return times;
}

void advise_on_slow_replies() {
    const ReplyTimes times = flash_reply_times();
    if (times.count == 0 || times.median_us <= SLOW_REPLY_US) return;
    std::printf("Slow serial adapter: replies took %.1f ms (median, 4 ms at most is usual). %s\n\n",
                times.median_us / 1000.0, serial::latency_advice());
}

}  // namespace protocol
