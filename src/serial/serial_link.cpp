#include "serial/serial_link.h"

#include <cstdio>
#include <string>
#include <vector>

#include "run/exit_program.h"
#include "run/run_record.h"
#include "run/shown_text.h"
#include "serial/serial_port.h"
#include "protocol/eeprom_settings.h"

namespace serial {

namespace {

// Large enough for a FLASH frame and for the data part of the largest EEPROM chunk.
constexpr size_t QUEUE_SIZE = protocol::EEPROM_CHUNK + 4 > 129 ? protocol::EEPROM_CHUNK + 4 : 129;

std::string port_name;  // "COMn", or the device path the user named; shown in the port's messages
uint8_t transmit_queue[QUEUE_SIZE];
uint32_t queue_length = 0;
uint8_t checksum = 0;

[[noreturn]] void fail(const char* message, const std::string& detail) {
    std::printf(message, port_name.c_str());
    if (!detail.empty()) std::printf("%s\n", run::shown_text(detail).c_str());
    run::exit_program(run::Outcome::port_error);
}

// n of "COMn" (n from 1), or 0 when name is no COM port name.
unsigned com_number(const std::string& name) {
    if (name.size() < 4 || name.size() > 8 || name.compare(0, 3, "COM") != 0 || name[3] == '0') return 0;
    unsigned n = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return 0;
        n = n * 10 + static_cast<unsigned>(name[i] - '0');
    }
    return n;
}

void open_as(unsigned n, const std::string& path) {
    std::string detail;
    switch (port_open(n, path, detail)) {
        case OpenStatus::opened:
            break;
        case OpenStatus::not_found:
            fail("%s not installed or in use by other program\n", detail);
        case OpenStatus::other_problem:
            fail("Other problem with %s\n", detail);
    }
    const PortInfo opened = opened_port();
    run_record::set_port(port_name, opened.path, opened.identity);
    std::printf("%s connected\n", port_name.c_str());
    switch (port_configure(detail)) {
        case ConfigStatus::configured:
            return;
        case ConfigStatus::parameters_not_accessible:
            fail("COM parameters not accessible\n", detail);
        case ConfigStatus::impossible_parameters:
            fail("Impossible COM parameters\n", detail);
        case ConfigStatus::impossible_timeouts:
            fail("Impossible COM timeouts\n", detail);
    }
}

}  // namespace

void open_port(unsigned n) {
    port_name = "COM" + std::to_string(n);
    open_as(n, "");
}

void open_port_named(const std::string& name) {
    const unsigned n = com_number(name);
    port_name = n > 0 ? name : run::shown_text(name);
    open_as(n, name);
}

void send_byte(uint16_t b) {
    // Written from the queue's first position; the queue is empty whenever a single byte is sent.
    transmit_queue[0] = static_cast<uint8_t>(b);
    port_write(transmit_queue, 1);
}

void queue_byte(uint16_t b) {
    transmit_queue[queue_length++] = static_cast<uint8_t>(b);
    checksum = static_cast<uint8_t>(checksum - b);
}

void flush_queue() {
    if (queue_length > 0) port_write(transmit_queue, queue_length);
    queue_length = 0;
}

void reset_frame_checksum() { checksum = 0; }

uint8_t frame_checksum() { return checksum; }

uint16_t receive_byte() { return port_read_byte(); }

uint16_t exchange_byte(uint16_t b) {
    send_byte(b);
    return receive_byte();
}

uint16_t unasked_byte() { return port_read_waiting_byte(); }

void discard_input() { port_discard_input(); }

void print_ports() {
    const std::vector<PortInfo> ports = list_ports();
    if (ports.empty()) std::printf("no serial ports found\n");
    for (const PortInfo& port : ports) {
        std::printf("%s = %s", port.name.c_str(), run::shown_text(port.path).c_str());
        if (!port.identity.empty()) std::printf(" (%s)", run::shown_text(port.identity).c_str());
        std::printf("\n");
    }
}

void print_ports_for_prompt() {
    if (!ports_listed_at_prompt()) return;
    print_ports();
    std::printf("\n");
}

void close_port() {
    if (!port_is_open()) return;
    port_close();
    std::printf("%s disconnected\n", port_name.c_str());
}

}  // namespace serial
