#include "core/eeprom_transfer.h"

#include <initializer_list>

namespace core {

namespace {

constexpr uint16_t WRITE_COMMAND = 0x17;
constexpr uint16_t READ_BACK_COMMAND = 0x18;
constexpr uint16_t END_OF_TRANSFER = 0x00;
constexpr uint16_t POLL = 0x00;

// Count and address, most significant byte first, as a write frame and a read-back header begin.
void queue_chunk_header(Link& link, uint32_t a, uint32_t n) {
    link.queue_byte(n & 0xFF);
    link.queue_byte((a >> 16) & 0xFF);
    link.queue_byte((a >> 8) & 0xFF);
    link.queue_byte(a & 0xFF);
}

uint32_t chunk_length(uint32_t a) { return EEPROM_SIZE - a < EEPROM_CHUNK ? EEPROM_SIZE - a : EEPROM_CHUNK; }

// The share done once the chunk at a is through; a last, shorter chunk makes it 100, not more.
unsigned percent_after(uint32_t a) { return (a + chunk_length(a)) * 100u / EEPROM_SIZE; }

}  // namespace

ReadBack download_eeprom(Link& link, const UpdateImage& image, Events& events) {
    events.eeprom_write_started();
    for (uint16_t b : {0x00, 0xFD, 0xD8, 0x59}) link.send_byte(b);
    link.send_byte(WRITE_COMMAND);
    for (uint32_t a = 0; a < EEPROM_SIZE; a += EEPROM_CHUNK) {
        events.eeprom_chunk(a, percent_after(a));
        write_eeprom_chunk(link, image, a, chunk_length(a));
    }
    link.send_byte(END_OF_TRANSFER);

    events.read_back_started();
    // A write reply that came after its window waits here; it must not pass for a read-back byte.
    link.discard_input();
    link.send_byte(READ_BACK_COMMAND);
    ReadBack found;
    for (uint32_t a = 0; a < EEPROM_SIZE; a += EEPROM_CHUNK) {
        events.eeprom_chunk(a, percent_after(a));
        verify_eeprom_chunk(link, image, events, a, chunk_length(a), found);
    }
    link.send_byte(END_OF_TRANSFER);
    link.send_byte(END_OF_TRANSFER);
    events.eeprom_finished();
    return found;
}

void write_eeprom_chunk(Link& link, const UpdateImage& image, uint32_t a, uint32_t n) {
    queue_chunk_header(link, a, n);
    link.queue_byte(image.eeprom_byte(a));
    link.flush_queue();
    ++a;
    --n;
    link.receive_byte();  // the device's reply to a write frame is not examined
    for (; n > 0; --n) link.queue_byte(image.eeprom_byte(a++));
    link.flush_queue();
}

void verify_eeprom_chunk(Link& link, const UpdateImage& image, Events& events, uint32_t a, uint32_t n, ReadBack& found) {
    // What waits now answers something earlier, never this chunk's polls.
    link.discard_input();
    queue_chunk_header(link, a, n);
    link.flush_queue();
    while (n > 0) {
        const uint16_t received = link.exchange_byte(POLL);
        const uint8_t expected = image.eeprom_byte(a);
        if (received != expected) {
            ++found.differences;
            if (received == NO_BYTE) ++found.missing;
            events.read_back_difference(a, received, expected);
        }
        ++a;
        --n;
        if (n > 0 && events.stop_requested()) {
            found.skipped += n;
            return;
        }
    }
}

}  // namespace core
