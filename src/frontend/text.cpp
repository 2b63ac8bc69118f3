#include "frontend/text.h"

#include <cstdio>

#include "core/usb_serial_chips.h"
#include "frontend/estimate.h"
#include "frontend/shown_text.h"

namespace frontend {

namespace {

template <typename... Values>
std::string format(const char* pattern, Values... values) {
    char text[512];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

// A report of the device's that came after its reply window, in a line of its own; empty for any
// other late reply, which the record keeps.
std::string late_report_text(const core::Failure& failure) {
    const unsigned long address = failure.address;
    switch (failure.late_reply) {
        case 0x55: return format("The device reported a FLASH burning error at address %lX after its reply window.\n", address);
        case 0xAA: return format("The device reported a transmission error at address %lX after its reply window.\n", address);
        default: return "";
    }
}

}  // namespace

std::string not_an_update_file_text(const std::string& shown_path) {
    return shown_path + " is no update file: it does not carry the updater and its payload.\n";
}

std::string untrusted_file_text(const core::SignatureFinding& finding) {
    const bool unsigned_file = finding.verdict == core::SignatureVerdict::not_signed;
    return "Update file not signed by a trusted key: " + (unsigned_file ? "the file is not signed" : core::signature_text(finding)) +
           "\n";
}

std::string banner_text(const core::HeaderFields& header) {
    const char* device = header.device_name;
    return format("\n%s Version %s by Tarvenholt %s\n\n"
                  "Connect the %s with the serial cable to a COM-Port.\n"
                  "Then hold all 5 keys pressed while connecting the power supply\n"
                  "and release the 5 keys. Now the %s is ready for updating.\n"
                  "It is indicated by the Display showing nothing or a dark bar.\n\n",
                  device, header.version, header.year, device, device);
}

std::string image_loaded_text(long file_length, const std::string& shown_path, long image_start) {
    return format("Filelength = %ld Bytes\n", file_length) + shown_path + " opened\n" +
           format("Readaddress = %lu\n%lu Bytes allocated\n%lu Bytes read\n", static_cast<unsigned long>(image_start),
                  static_cast<unsigned long>(core::FLASH_IMAGE_SIZE), static_cast<unsigned long>(core::FLASH_IMAGE_SIZE));
}

std::string difference_text(uint32_t address, uint16_t received, uint8_t expected) {
    return format("Error at address %lX: %x (!=%x)\n", static_cast<unsigned long>(address),
                  static_cast<unsigned>(received), static_cast<unsigned>(expected));
}

std::string read_back_failed_text(const core::ReadBack& found) {
    if (found.port_lost) return "\n" + std::string(PORT_LOST_TEXT) + "\n";
    if (found.kept_sending) {
        return "\n" + wrapped(format("EEPROM verification failed: the device kept sending without being asked, so "
                                     "none of its %lu bytes could be verified.",
                                     static_cast<unsigned long>(core::EEPROM_SIZE)));
    }
    std::string text = format("\nEEPROM verification failed: %lu of %lu bytes differ", found.differences,
                              static_cast<unsigned long>(core::EEPROM_SIZE));
    if (found.missing > 0) text += format(", %lu not received", found.missing);
    if (found.skipped > 0) text += format(", %lu not verified", found.skipped);
    return text + ". Try again!\n";
}

std::string failure_text(const core::Failure& failure, const std::string& device_name, const std::string& shown_path) {
    switch (failure.fault) {
        case core::Fault::file_unreadable:
            return format("Error: %lu bytes read instead of %lu\n", static_cast<unsigned long>(failure.count),
                          static_cast<unsigned long>(failure.expected)) +
                   (failure.detail.empty() ? "" : shown_path + ": " + shown_text(failure.detail) + "\n");
        case core::Fault::file_length:
            return format("Error: Filelength %ld not OK. Probably incomplete download from website.\n"
                          "Try again! Correct filelength should be %ld Bytes !\n",
                          failure.count, failure.expected);
        case core::Fault::file_damaged:
            return "Error in checksum. Probably download error from website.\nTry again or contact Tarvenholt !\n";
        case core::Fault::out_of_memory:
            return "Error: Too few RAM memory\n";
        case core::Fault::no_acknowledgement:
            return "\nError: No response from " + device_name + "\n";
        case core::Fault::flash_burning_error:
            return format("\nFLASH burning error at address %lX. Try again!\n", static_cast<unsigned long>(failure.address));
        case core::Fault::transmission_error:
            return format("\nTransmission error at address %lX. Try again!\n", static_cast<unsigned long>(failure.address));
        case core::Fault::undefined_response:
            return format("\nUndefined response %x. Check cable!\n", static_cast<unsigned>(failure.value)) +
                   late_report_text(failure);
        case core::Fault::port_lost:
            return "\n" + std::string(PORT_LOST_TEXT) + "\n";
    }
    return "";
}

std::string port_failure_text(serial::OpenStatus open, serial::ConfigStatus config, const std::string& port_name,
                              const std::string& detail) {
    std::string text;
    switch (open) {
        case serial::OpenStatus::not_found: text = port_name + " not installed or in use by other program\n"; break;
        case serial::OpenStatus::other_problem: text = "Other problem with " + port_name + "\n"; break;
        case serial::OpenStatus::opened:
            switch (config) {
                case serial::ConfigStatus::configured: return "";
                case serial::ConfigStatus::parameters_not_accessible: text = "COM parameters not accessible\n"; break;
                case serial::ConfigStatus::impossible_parameters: text = "Impossible COM parameters\n"; break;
                case serial::ConfigStatus::impossible_timeouts: text = "Impossible COM timeouts\n"; break;
            }
            break;
    }
    return detail.empty() ? text : text + shown_text(detail) + "\n";
}

namespace {

// The letter key of the k-th port beyond COM9 in the list (k from 0), or 0 past 'z'.
char letter_key(size_t k) { return k < 26 ? static_cast<char>('a' + k) : 0; }

std::string chip_name(const serial::AdapterWithoutPort& adapter) {
    const core::UsbSerialChip* chip = core::find_usb_serial_chip(adapter.vendor, adapter.product);
    return format("%s adapter (%04x:%04x)", chip != nullptr ? chip->chip : "USB serial", adapter.vendor, adapter.product);
}

}  // namespace

std::string port_list_text(const std::vector<serial::PortInfo>& ports) {
    if (ports.empty()) return "no serial ports found\n";
    std::string text;
    size_t letters = 0;
    for (const serial::PortInfo& port : ports) {
        text += port.name + " = " + shown_text(port.path);
        if (!port.identity.empty()) text += " (" + shown_text(port.identity) + ")";
        if (port.number > 9) {
            if (const char key = letter_key(letters++)) text += std::string(" - press ") + key;
        }
        text += "\n";
    }
    return text;
}

unsigned port_for_key(int key, const std::vector<serial::PortInfo>& ports) {
    if (key >= '1' && key <= '9') return static_cast<unsigned>(key - '0');
    size_t letters = 0;
    for (const serial::PortInfo& port : ports) {
        if (port.number > 9 && letter_key(letters++) == key) return port.number;
    }
    return 0;
}

std::vector<std::string> port_help(const serial::PortProblem& problem, const std::string& port_name,
                                   const std::string& device) {
    using Kind = serial::PortProblem::Kind;
    std::vector<std::string> lines;
    if (problem.no_uart) {
        lines.push_back(shown_text(device) + " has no UART behind it: the system keeps the name of an on-board serial "
                        "port that this machine does not have. Choose the port the cable is plugged into (update "
                        "--list-ports lists those present).");
        return lines;
    }
    switch (problem.kind) {
        case Kind::missing:
            for (const serial::AdapterWithoutPort& adapter : problem.adapters_without_port) {
                const core::UsbSerialChip* chip = core::find_usb_serial_chip(adapter.vendor, adapter.product);
                if (adapter.problem_code != 0) {
                    lines.push_back(format("A %s is plugged in, but its driver does not work (Device Manager problem "
                                           "code %u): install the %s driver, then plug the adapter in again.",
                                           chip_name(adapter).c_str(), adapter.problem_code,
                                           chip != nullptr ? chip->driver : "adapter's"));
                } else {
                    lines.push_back("A " + chip_name(adapter) +
                                    " is plugged in but has no serial port: brltty (a Braille display service) may "
                                    "have taken it. Remove it (sudo apt remove brltty), then plug the adapter in again.");
                }
            }
            if (lines.empty()) {
                lines.push_back("Check that the adapter is plugged in, that its cable carries data (some USB cables "
                                "only charge) and that its driver is installed (FTDI, Silicon Labs CP210x, WCH "
                                "CH340/CH341, Prolific PL2303). Then run the update again.");
            }
            break;
        case Kind::busy:
            lines.push_back(problem.holder.empty()
                                ? "Another program (a terminal, an IDE, a 3D-printer host) holds " + port_name +
                                      ": close it, then run the update again."
                                : port_name + " is held by process " + shown_text(problem.holder) +
                                      ": close that program, then run the update again.");
            break;
        case Kind::denied:
            if (!problem.group.empty()) {
                lines.push_back("You may not use " + shown_text(device) + ": it belongs to the group " +
                                shown_text(problem.group) + ". Run: sudo usermod -aG " + shown_text(problem.group) +
                                " $USER, then log out and back in.");
            } else {
                lines.push_back("You may not use " + shown_text(device) +
                                ": ask for the right to use serial ports, then run the update again.");
            }
            break;
        case Kind::none:
        case Kind::other:
            break;
    }
    return lines;
}

std::string modem_manager_warning(const std::string& device) {
    return "Warning: ModemManager is running and may probe " + shown_text(device) +
           " in the middle of the update: stop it for the update (sudo systemctl stop ModemManager) or keep it off the "
           "port with a udev rule (ENV{ID_MM_DEVICE_IGNORE}=\"1\").";
}

const char* next_step(core::Outcome outcome) {
    switch (outcome) {
        case core::Outcome::device_error:
            return "What to do: check the cable, switch the device off, hold the 5 keys while switching it on, "
                   "then run the update again.";
        case core::Outcome::flash_burn_error:
            return "What to do: run the update again; if the error comes back, contact support.";
        case core::Outcome::eeprom_mismatch:
            return "What to do: run the update again; if bytes still differ, contact support.";
        default:
            return nullptr;
    }
}

const char* read_back_next_step(const core::ReadBack& found) {
    if (found.kept_sending) {
        return "What to do: switch the device off, hold the 5 keys while switching it on, then run the update again.";
    }
    return next_step(found.outcome());
}

std::string slow_line_text(unsigned latest_ms) {
    return "\n" + wrapped(format("The device answered the EEPROM read-back up to %u ms late: a slow line or adapter. "
                                 "The read-back ran again, waiting longer for each answer.",
                                 latest_ms));
}

std::string wrapped(const std::string& paragraph) {
    constexpr size_t WIDTH = 79;  // a console of 80 columns, which moves on at the 80th itself
    std::string text, line;
    size_t at = 0;
    while (at < paragraph.size()) {
        size_t end = paragraph.find(' ', at);
        if (end == std::string::npos) end = paragraph.size();
        const std::string word = paragraph.substr(at, end - at);
        if (!line.empty() && line.size() + 1 + word.size() > WIDTH) {
            text += line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        at = end + 1;
    }
    return text + line + "\n";
}

std::string help_text(const std::vector<std::string>& help, bool one_line) {
    std::string text;
    for (const std::string& line : help) text += one_line ? line + " " : wrapped(line);
    if (one_line && !text.empty()) text.back() = '\n';
    return text;
}

namespace {

// How long the EEPROM takes when every answer waits reply_us, and how long at 1 ms of latency.
std::string eeprom_estimate(unsigned reply_us, uint16_t chunk) {
    return format("The EEPROM takes about %.0f s with this adapter (about %.0f s at 1 ms latency).",
                  eeprom_seconds(reply_us, chunk), eeprom_seconds(LOW_LATENCY_REPLY_US, chunk));
}

}  // namespace

std::string slow_adapter_text(const core::ReplySummary& replies, uint16_t chunk) {
    return format("Slow serial adapter: replies took %.1f ms (median, 4 ms at most is usual). ", replies.median_us / 1000.0) +
           eeprom_estimate(replies.median_us, chunk) + " " + serial::latency_advice() + "\n\n";
}

std::string latency_timer_text(unsigned timer_ms, uint16_t chunk) {
    return format("Slow serial adapter: its latency timer is %u ms (2 ms at most is usual). ", timer_ms) +
           eeprom_estimate(timer_ms * 1000, chunk) + " " + serial::latency_advice();
}

std::string record_not_written_text(const std::string& path, const std::string& reason) {
    return "The run record could not be written to " + shown_text(path) + ": " + shown_text(reason) + "\n";
}

std::string progress_text(unsigned long position, long percent) { return format("\r%lX %ld%%", position, percent); }

}  // namespace frontend
