#include "protocol/eeprom_download.h"

#include <cstdio>
#include <initializer_list>

#include "protocol/eeprom_settings.h"
#include "run/console.h"
#include "run/run_record.h"
#include "serial/serial_link.h"
#include "update_file/update_file.h"

namespace protocol {

namespace {

constexpr uint16_t WRITE_COMMAND = 0x17;
constexpr uint16_t READ_BACK_COMMAND = 0x18;
constexpr uint16_t END_OF_TRANSFER = 0x00;
constexpr uint16_t POLL = 0x00;

// Count and address, most significant byte first, as a write frame and a read-back header begin.
void queue_chunk_header(uint32_t a, uint32_t n) {
    serial::queue_byte(n & 0xFF);
    serial::queue_byte((a >> 16) & 0xFF);
    serial::queue_byte((a >> 8) & 0xFF);
    serial::queue_byte(a & 0xFF);
}

uint32_t chunk_length(uint32_t a) { return EEPROM_SIZE - a < EEPROM_CHUNK ? EEPROM_SIZE - a : EEPROM_CHUNK; }

// The share done once the chunk at a is through; a last, shorter chunk makes it 100, not more.
void print_progress(uint32_t a) {
    std::printf("\r%lX %ld%%", static_cast<unsigned long>(a),
                static_cast<long>((a + chunk_length(a)) * 100u / EEPROM_SIZE));
}

}  // namespace

ReadBack download_eeprom() {
    std::printf("\nDownloading EEPROM...\n");
    run_record::begin(run_record::Phase::eeprom_write);
    for (uint16_t b : {0x00, 0xFD, 0xD8, 0x59}) serial::send_byte(b);
    serial::send_byte(WRITE_COMMAND);
    for (uint32_t a = 0; a < EEPROM_SIZE; a += EEPROM_CHUNK) {
        print_progress(a);
        write_eeprom_chunk(a, chunk_length(a));
    }
    serial::send_byte(END_OF_TRANSFER);

    std::printf("\nVerifying EEPROM...\n");
    run_record::begin(run_record::Phase::read_back);
    // A write reply that came after its window waits here; it must not pass for a read-back byte.
    serial::discard_input();
    serial::send_byte(READ_BACK_COMMAND);
    ReadBack found;
    for (uint32_t a = 0; a < EEPROM_SIZE; a += EEPROM_CHUNK) {
        print_progress(a);
        verify_eeprom_chunk(a, chunk_length(a), found);
    }
    serial::send_byte(END_OF_TRANSFER);
    serial::send_byte(END_OF_TRANSFER);
    run_record::end_phase();
    return found;
}

void write_eeprom_chunk(uint32_t a, uint32_t n) {
    queue_chunk_header(a, n);
    serial::queue_byte(update_file::eeprom_byte(a));
    serial::flush_queue();
    ++a;
    --n;
    serial::receive_byte();  // the device's reply to a write frame is not examined
    for (; n > 0; --n) serial::queue_byte(update_file::eeprom_byte(a++));
    serial::flush_queue();
}

void verify_eeprom_chunk(uint32_t a, uint32_t n, ReadBack& found) {
    // What waits now answers something earlier, never this chunk's polls.
    serial::discard_input();
    queue_chunk_header(a, n);
    serial::flush_queue();
    while (n > 0) {
        const uint16_t received = serial::exchange_byte(POLL);
        const uint8_t expected = update_file::eeprom_byte(a);
        if (received != expected) {
            // Continues the chunk's progress text on the same line.
            std::printf("Error at address %lX: %x (!=%x)\n", static_cast<unsigned long>(a),
                        static_cast<unsigned>(received), static_cast<unsigned>(expected));
            ++found.differences;
            run_record::eeprom_difference(a, received == serial::NO_BYTE ? -1 : received, expected);
            if (received == serial::NO_BYTE) ++found.missing;
        }
        ++a;
        --n;
        if (n > 0 && console::key_waiting()) {
            found.skipped += n;
            return;
        }
    }
}

}  // namespace protocol
