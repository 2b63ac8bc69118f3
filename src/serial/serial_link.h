// SerialLink: owns the COM port for the whole run and carries the byte transport of both device
// transfers: single bytes, frames queued with a running checksum, one-byte reads with a timeout.
#pragma once

#include <cstdint>
#include <string>

namespace serial {

// What receive_byte returns when no byte arrived within the read timeout.
constexpr uint16_t NO_BYTE = 0xFFFF;

// Reply window of one read, in milliseconds.
constexpr unsigned READ_TIMEOUT_MS = 50;

// Opens and configures COMn (1 to 9) at 115200 baud, 8N1, raw; prints "COMn connected". On failure
// prints the port's message and ends the run.
void open_port(unsigned n);

// Opens and configures the port given by name, as open_port does: "COMn" (any n from 1) as the key
// n would, or else a device path. The messages name it as given.
void open_port_named(const std::string& name);

// Prints one line per port present, "COMn = <device> (<identity>)", or "no serial ports found".
void print_ports();

// print_ports() and a blank line, on the systems where the port prompt needs them.
void print_ports_for_prompt();

// One write of the single byte b. Only while the transmit queue is empty.
void send_byte(uint16_t b);

// Appends b to the transmit queue and subtracts it from the frame checksum.
void queue_byte(uint16_t b);

// One write of all queued bytes, then empties the queue; sends nothing when it is empty.
void flush_queue();

// Sets the frame checksum to 0, at the start of a frame.
void reset_frame_checksum();

// The running frame checksum: 0 minus the bytes queued since the last reset, modulo 256.
uint8_t frame_checksum();

// The oldest byte received and not yet read (0 to 255), or NO_BYTE if none arrives within 50 ms.
uint16_t receive_byte();

// send_byte(b), then receive_byte().
uint16_t exchange_byte(uint16_t b);

// A byte that has arrived unasked and waits to be read, or NO_BYTE; never waits.
uint16_t unasked_byte();

// Discards what has arrived and not been read: late answers to earlier requests.
void discard_input();

// If the port is open: closes it and prints "COMn disconnected". Called by the exit path.
void close_port();

}  // namespace serial
