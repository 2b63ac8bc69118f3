#include "core/eeprom_transfer.h"

#include <initializer_list>

namespace core {

namespace {

constexpr uint16_t WRITE_COMMAND = 0x17;
constexpr uint16_t READ_BACK_COMMAND = 0x18;
constexpr uint16_t END_OF_TRANSFER = 0x00;
constexpr uint16_t POLL = 0x00;

// An address whose poll a stop request left out.
constexpr uint16_t NOT_POLLED = 0xFFFD;

// Count and address, most significant byte first, as a write frame and a read-back header begin.
void queue_chunk_header(Link& link, uint32_t a, uint32_t n) {
    link.queue_byte(n & 0xFF);
    link.queue_byte((a >> 16) & 0xFF);
    link.queue_byte((a >> 8) & 0xFF);
    link.queue_byte(a & 0xFF);
}

uint32_t chunk_length(uint32_t a, uint16_t chunk) { return EEPROM_SIZE - a < chunk ? EEPROM_SIZE - a : chunk; }

// How a read-back pass, or a wait for quiet, went.
enum class Heard {
    in_step,      // one answer per poll, and nothing where no answer was due
    out_of_step,  // a byte came where no answer was due
    never_quiet,  // the line kept sending past the wait's limit
    lost,         // the port went away
};

// How long a pass waits: for each answer, and for the quiet behind its last.
struct Windows {
    unsigned reply_ms;
    unsigned quiet_ms;
};
constexpr Windows FIRST_PASS = {READ_TIMEOUT_MS, LATE_BYTE_MS};
constexpr Windows PASS_AGAIN = {SLOW_LINE_WINDOW_MS, SLOW_LINE_WINDOW_MS};

// Takes what the device sends until the line has stayed quiet for window_ms, QUIET_LIMIT_MS beyond
// the window at most.
Heard wait_until_quiet(Link& link, unsigned window_ms) {
    const long long limit = link.now_ms() + window_ms + QUIET_LIMIT_MS;
    Heard heard = Heard::in_step;
    for (;;) {
        const uint16_t byte = link.receive_within(window_ms);
        if (byte == NO_BYTE) return heard;
        if (byte == PORT_LOST) return Heard::lost;
        heard = Heard::out_of_step;
        // Quiet from now on would be heard only after the limit.
        if (link.now_ms() + window_ms > limit) return Heard::never_quiet;
    }
}

// One poll: its answer, or NO_BYTE or PORT_LOST, with how late an answer came kept in latest_ms
// where it is the latest yet.
uint16_t poll(Link& link, unsigned reply_ms, unsigned& latest_ms) {
    const long long asked_ms = link.now_ms();
    const uint16_t answer = link.exchange_byte(POLL, reply_ms);
    const long long took_ms = link.now_ms() - asked_ms;
    if (!no_byte(answer) && took_ms > latest_ms) latest_ms = static_cast<unsigned>(took_ms);
    return answer;
}

// One read-back pass from address 0: every chunk's header and its polls, the answers kept in
// answers, indexed by address, and how late the latest came in latest_ms. Without sequence
// numbers on the wire, a byte read out of step shifts every answer after it; it shows as a byte
// waiting before a chunk, or behind the last answer, and then none of the pass's answers can be
// trusted.
Heard read_back_pass(Link& link, Events& events, uint16_t chunk, Windows windows, uint16_t (&answers)[EEPROM_SIZE],
                     unsigned& latest_ms) {
    latest_ms = 0;
    for (uint32_t a = 0; a < EEPROM_SIZE; a += chunk) {
        const uint16_t waiting = link.receive_within(0);
        if (waiting == PORT_LOST) return Heard::lost;
        if (waiting != NO_BYTE) return Heard::out_of_step;
        const uint32_t n = chunk_length(a, chunk);
        events.eeprom_chunk(a, eeprom_percent_after(a, chunk));
        queue_chunk_header(link, a, n);
        link.flush_queue();
        for (uint32_t k = 0; k < n; ++k) answers[a + k] = NOT_POLLED;
        for (uint32_t k = 0; k < n; ++k) {
            const uint16_t answer = poll(link, windows.reply_ms, latest_ms);
            if (answer == PORT_LOST) return Heard::lost;
            answers[a + k] = answer;
            if (k + 1 < n && events.stop_requested()) break;
        }
    }
    return wait_until_quiet(link, windows.quiet_ms);
}

// Compares a pass read in step with the file, reporting each difference.
void judge(const uint16_t (&answers)[EEPROM_SIZE], const UpdateImage& image, Events& events, uint16_t chunk,
           ReadBack& found) {
    for (uint32_t a = 0; a < EEPROM_SIZE; ++a) {
        const uint16_t received = answers[a];
        const uint8_t expected = image.eeprom_byte(a);
        if (received == NOT_POLLED) {
            ++found.skipped;
        } else if (received != expected) {
            ++found.differences;
            if (received == NO_BYTE) ++found.missing;
            events.read_back_difference(a, eeprom_percent_after(a - a % chunk, chunk), received, expected);
        }
    }
}

// What ends the read-back with no pass to judge, kept in found: a line that kept sending leaves every
// byte unverified, a port that went away leaves the rest unread. True when heard is one of them.
bool ended_unjudged(Heard heard, ReadBack& found) {
    if (heard == Heard::never_quiet) {
        found.kept_sending = true;
        found.skipped = EEPROM_SIZE;
    }
    found.port_lost = found.port_lost || heard == Heard::lost;
    return heard == Heard::never_quiet || heard == Heard::lost;
}

// The read-back after its command: passes from the start until one comes in step, and its
// judgement, unless the line keeps sending or the port goes away first.
void read_back(Link& link, const UpdateImage& image, Events& events, uint16_t chunk, ReadBack& found) {
    uint16_t answers[EEPROM_SIZE];
    Windows windows = FIRST_PASS;
    for (unsigned pass = 0; pass < READ_BACK_PASSES; ++pass) {
        if (pass > 0) {
            // A pass given up may have met a line slower than its reply window: the next waits
            // longer, and what was on its way must not be taken for an answer.
            windows = PASS_AGAIN;
            if (ended_unjudged(wait_until_quiet(link, windows.quiet_ms), found)) return;
            ++found.reread;
            events.read_back_again(pass);
        }
        unsigned latest_ms = 0;
        const Heard heard = read_back_pass(link, events, chunk, windows, answers, latest_ms);
        if (heard == Heard::in_step) {
            judge(answers, image, events, chunk, found);
            if (latest_ms > READ_TIMEOUT_MS) found.slow_line_ms = latest_ms;
            return;
        }
        if (ended_unjudged(heard, found)) return;
    }
    found.skipped = EEPROM_SIZE;  // never read in step: nothing can be said of any byte
}

}  // namespace

unsigned eeprom_percent_after(uint32_t a, uint16_t chunk) { return (a + chunk_length(a, chunk)) * 100u / EEPROM_SIZE; }

ReadBack download_eeprom(Link& link, const UpdateImage& image, Events& events, uint16_t chunk) {
    ReadBack found;
    events.eeprom_write_started();
    for (uint16_t b : {0x00, 0xFD, 0xD8, 0x59}) link.send_byte(b);
    link.send_byte(WRITE_COMMAND);
    for (uint32_t a = 0; a < EEPROM_SIZE && !found.port_lost; a += chunk) {
        events.eeprom_chunk(a, eeprom_percent_after(a, chunk));
        found.port_lost = !write_eeprom_chunk(link, image, a, chunk_length(a, chunk));
    }
    if (!found.port_lost) {
        link.send_byte(END_OF_TRANSFER);
        events.read_back_started();
        // A write reply that came after its window must not pass for a read-back byte: the line
        // has to stay quiet for a reply window before the read-back begins.
        ended_unjudged(wait_until_quiet(link, READ_TIMEOUT_MS), found);
    }
    // The read-back's command even where the line keeps sending: its end closes the transfer.
    if (!found.port_lost) link.send_byte(READ_BACK_COMMAND);
    if (!found.port_lost && !found.kept_sending) read_back(link, image, events, chunk, found);
    if (found.port_lost) {
        found.skipped = EEPROM_SIZE;  // whatever was read before, nothing more can be said
    } else {
        link.send_byte(END_OF_TRANSFER);
        link.send_byte(END_OF_TRANSFER);
    }
    events.eeprom_finished();
    return found;
}

bool write_eeprom_chunk(Link& link, const UpdateImage& image, uint32_t a, uint32_t n) {
    queue_chunk_header(link, a, n);
    link.queue_byte(image.eeprom_byte(a));
    link.flush_queue();
    ++a;
    --n;
    // The device's reply to a write frame is not examined.
    if (link.receive_byte() == PORT_LOST) return false;
    for (; n > 0; --n) link.queue_byte(image.eeprom_byte(a++));
    link.flush_queue();
    return true;
}

}  // namespace core
