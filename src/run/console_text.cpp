#include "run/console_text.h"

#include <cstdio>

#include "core/port.h"
#include "run/shown_text.h"

namespace run {

namespace {

template <typename... Values>
std::string format(const char* pattern, Values... values) {
    char text[256];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

}  // namespace

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
            return format("\nUndefined response %x. Check cable!\n", static_cast<unsigned>(failure.value));
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

std::string progress_text(unsigned long position, long percent) { return format("\r%lX %ld%%", position, percent); }

}  // namespace run
