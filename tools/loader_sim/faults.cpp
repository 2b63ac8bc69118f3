#include "faults.h"

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace loader_sim {

bool parse_number(const std::string& text, int base, unsigned long& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(text.c_str(), &end, base);
    return *end == '\0' && errno == 0 && text[0] != '-';
}

namespace {


// "KEY=VALUE" with the key in key_base and the value in value_base.
bool parse_pair(const std::string& text, int key_base, int value_base, unsigned long& key, unsigned long& value) {
    const size_t equals = text.find('=');
    return equals != std::string::npos && parse_number(text.substr(0, equals), key_base, key) &&
           parse_number(text.substr(equals + 1), value_base, value);
}

bool parse_reply_value(const std::string& text, int& value) {
    unsigned long number = 0;
    if (text == "none") {
        value = NO_REPLY;
        return true;
    }
    if (!parse_number(text, 16, number) || number > 0xFF) return false;
    value = static_cast<int>(number);
    return true;
}

// "MS", "MS@N" or "MS@N+US": MS milliseconds late from answer N on, or growing by US an answer up
// to MS.
bool parse_line_delay(const std::string& text, LineDelay& delay) {
    const size_t at = text.find('@'), plus = text.find('+');
    unsigned long ms = 0, from = 0, growth = 0;
    if (!parse_number(text.substr(0, std::min(at, plus)), 10, ms)) return false;
    if (at != std::string::npos && !parse_number(text.substr(at + 1, plus == std::string::npos ? plus : plus - at - 1), 10, from)) {
        return false;
    }
    if (plus != std::string::npos && (at == std::string::npos || plus < at || !parse_number(text.substr(plus + 1), 10, growth))) {
        return false;
    }
    delay = {static_cast<unsigned>(ms), static_cast<uint32_t>(from), static_cast<unsigned>(growth)};
    return true;
}

}  // namespace

FaultOption parse_fault_option(const std::string& name, const std::string& value, Faults& faults) {
    unsigned long key = 0, number = 0;
    bool ok = true;
    if (name == "--ack") ok = parse_reply_value(value, faults.acknowledgement);
    else if (name == "--reply") {
        const size_t equals = value.find('=');
        int reply = 0;
        ok = equals != std::string::npos && parse_number(value.substr(0, equals), 10, key) &&
             parse_reply_value(value.substr(equals + 1), reply);
        if (ok) faults.record_reply[static_cast<uint32_t>(key)] = reply;
    } else if (name == "--late") {
        ok = parse_pair(value, 10, 10, key, number);
        if (ok) faults.record_late_ms[static_cast<uint32_t>(key)] = static_cast<unsigned>(number);
    } else if (name == "--surplus") {
        ok = parse_pair(value, 10, 16, key, number) && number <= 0xFF;
        if (ok) faults.record_surplus[static_cast<uint32_t>(key)] = static_cast<uint8_t>(number);
    } else if (name == "--eeprom-late") {
        ok = parse_pair(value, 16, 10, key, number);
        if (ok) faults.eeprom_late_ms[static_cast<uint32_t>(key)] = static_cast<unsigned>(number);
    } else if (name == "--eeprom-held") {
        ok = parse_number(value, 16, key);
        if (ok) faults.eeprom_held.insert(static_cast<uint32_t>(key));
    } else if (name == "--eeprom-answer-late") {
        ok = parse_pair(value, 16, 10, key, number);
        if (ok) faults.eeprom_answer_late_ms[static_cast<uint32_t>(key)] = static_cast<unsigned>(number);
    } else if (name == "--eeprom-reply") {
        int reply = 0;
        ok = parse_reply_value(value, reply) && reply != NO_REPLY;
        if (ok) faults.eeprom_write_reply = static_cast<uint8_t>(reply);
    } else if (name == "--reply-delay") {
        ok = parse_number(value, 10, number);
        if (ok) faults.reply_delay_ms = static_cast<unsigned>(number);
    } else if (name == "--eeprom-delay") {
        ok = parse_line_delay(value, faults.eeprom_delay);
    } else if (name == "--heartbeat") {
        const size_t equals = value.find('=');
        ok = parse_number(value.substr(0, equals), 10, number) && number > 0;
        faults.heartbeat_ms = static_cast<unsigned>(number);
        if (ok && equals != std::string::npos) ok = parse_number(value.substr(equals + 1), 16, key) && key <= 0xFF;
        faults.heartbeat_byte = static_cast<uint8_t>(key);
    } else if (name == "--eeprom-wrong") {
        ok = parse_pair(value, 16, 16, key, number) && number <= 0xFF;
        if (ok) faults.eeprom_wrong[static_cast<uint32_t>(key)] = static_cast<uint8_t>(number);
    } else if (name == "--hangup") {
        const size_t colon = value.find(':');
        const std::string point = value.substr(0, colon);
        const std::string at = colon == std::string::npos ? "" : value.substr(colon + 1);
        if (point == "ack" && at.empty()) faults.hangup = HangupPoint::before_acknowledgement;
        else if (point == "flash" && parse_number(at, 10, number)) faults.hangup = HangupPoint::flash_record;
        else if (point == "eeprom-write" && parse_number(at, 16, number)) faults.hangup = HangupPoint::eeprom_write;
        else if (point == "eeprom-read" && parse_number(at, 16, number)) faults.hangup = HangupPoint::eeprom_read;
        else ok = false;
        faults.hangup_at = static_cast<uint32_t>(number);
    } else {
        return FaultOption::not_a_fault;
    }
    return ok ? FaultOption::taken : FaultOption::bad_value;
}

bool parse_fault_line(const std::string& line, Faults& faults, std::string& error) {
    std::istringstream words(line);
    std::vector<std::string> options;
    for (std::string word; words >> word;) options.push_back(word);
    for (size_t i = 0; i < options.size(); ++i) {
        if (options[i] == "--silent") {
            faults.silent = true;
            continue;
        }
        const std::string value = i + 1 < options.size() ? options[i + 1] : "";
        if (parse_fault_option(options[i], value, faults) != FaultOption::taken) {
            error = options[i] + " " + value;
            return false;
        }
        ++i;
    }
    return true;
}

}  // namespace loader_sim
