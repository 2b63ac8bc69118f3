#include "core/eeprom_transfer.h"

#include <initializer_list>

namespace core {

namespace {

constexpr uint16_t WRITE_COMMAND = 0x17;
constexpr uint16_t READ_BACK_COMMAND = 0x18;
constexpr uint16_t END_OF_TRANSFER = 0x00;
constexpr uint16_t POLL = 0x00;

// Times a chunk is read again while bytes keep turning up behind its answers.
constexpr unsigned REREADS = 3;

// Bytes a line that never goes quiet may send before the wait for quiet gives up on it.
constexpr unsigned QUIET_BOUND = 4096;

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

// Takes what the device sends until the line has stayed quiet for one reply window; returns how
// many bytes came.
unsigned wait_until_quiet(Link& link) {
    unsigned taken = 0;
    while (taken < QUIET_BOUND && link.receive_byte() != NO_BYTE) ++taken;
    return taken;
}

// A chunk's answers, held until nothing found behind them says that one was a late answer to
// something earlier.
struct Polled {
    uint32_t a = 0;
    uint32_t count = 0;  // answers taken; fewer than the chunk's bytes when a stop ended it early
    uint16_t received[EEPROM_CHUNK] = {};
};

// Sends the read-back header for the n bytes at a and polls them, one answer each.
void poll_chunk(Link& link, Events& events, uint32_t a, uint32_t n, Polled& polled) {
    polled.a = a;
    polled.count = 0;
    queue_chunk_header(link, a, n);
    link.flush_queue();
    while (polled.count < n) {
        polled.received[polled.count++] = link.exchange_byte(POLL);
        if (polled.count < n && events.stop_requested()) return;
    }
}

// Judges the chunk polled last, stray being the bytes found waiting behind its answers. A stray
// byte means that an answer taken may have been a late one to an earlier request, the chunk's own
// answer coming behind it: every address of the chunk is read again, a header and one poll each,
// until the line stays quiet behind them. Then each answer is compared and its difference reported.
void judge_chunk(Link& link, const UpdateImage& image, Events& events, Polled& polled, unsigned stray, ReadBack& found) {
    for (unsigned round = 0; stray > 0; ++round) {
        if (round == REREADS) {
            found.skipped += polled.count;  // never in step: none of its answers can be trusted
            return;
        }
        ++found.reread;
        for (uint32_t k = 0; k < polled.count; ++k) {
            Polled again;
            poll_chunk(link, events, polled.a + k, 1, again);
            polled.received[k] = again.received[0];
        }
        stray = wait_until_quiet(link);
    }
    for (uint32_t k = 0; k < polled.count; ++k) {
        const uint32_t a = polled.a + k;
        const uint16_t received = polled.received[k];
        const uint8_t expected = image.eeprom_byte(a);
        if (received == expected) continue;
        ++found.differences;
        if (received == NO_BYTE) ++found.missing;
        events.read_back_difference(a, received, expected);
    }
}

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
    // A write reply that came after its window must not pass for a read-back byte: the line has to
    // stay quiet for a reply window before the read-back begins.
    wait_until_quiet(link);
    link.send_byte(READ_BACK_COMMAND);
    ReadBack found;
    Polled polled;
    for (uint32_t a = 0; a < EEPROM_SIZE; a += EEPROM_CHUNK) {
        // What waits now came behind the last chunk's answers: it judges them before this chunk
        // goes out.
        const unsigned stray = link.discard_input();
        if (a > 0) judge_chunk(link, image, events, polled, stray, found);
        events.eeprom_chunk(a, percent_after(a));
        poll_chunk(link, events, a, chunk_length(a), polled);
        found.skipped += chunk_length(a) - polled.count;
    }
    // The last chunk's answers are judged by a reply window of quiet behind them.
    judge_chunk(link, image, events, polled, wait_until_quiet(link), found);
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

}  // namespace core
