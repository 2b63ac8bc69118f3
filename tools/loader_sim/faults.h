// loader-sim's fault options, for every program that plays the device: loader-sim on a terminal,
// and the simulated device behind the web page's stand-in port.
#pragma once

#include <string>

#include "device.h"

namespace loader_sim {

enum class FaultOption { not_a_fault, taken, bad_value };

// Takes the fault option name (--ack, --reply, --late, --surplus, --eeprom-late, --eeprom-held,
// --eeprom-wrong, --hangup) with its value into faults.
FaultOption parse_fault_option(const std::string& name, const std::string& value, Faults& faults);

// Faults from a line of options as loader-sim takes them, --silent included, separated by blanks.
// False, with the option that was not understood, when one is none of them or its value is bad.
bool parse_fault_line(const std::string& line, Faults& faults, std::string& error);

// A whole unsigned number in the base, without sign.
bool parse_number(const std::string& text, int base, unsigned long& value);

}  // namespace loader_sim
