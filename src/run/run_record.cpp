#include "run/run_record.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <vector>

#include "core/reply_times.h"
#include "platform/record_file.h"
#include "run/shown_text.h"

namespace run_record {

namespace {

using Json = nlohmann::ordered_json;

constexpr const char* PHASE_NAMES[] = {"file_check", "flash", "eeprom_write", "read_back"};
constexpr size_t PHASES = sizeof PHASE_NAMES / sizeof PHASE_NAMES[0];
constexpr size_t DIFFERENCES_KEPT = 16;

// Stand-ins in the record rendered for an interruption, filled in when it happens, and their text
// in the rendered record.
constexpr long long RUNNING_PHASE_MS = 900000000000001;
constexpr char RUNNING_PHASE_TEXT[] = "\"duration_ms\":900000000000001";
constexpr int INTERRUPT_STATUS = 900000002;
constexpr char INTERRUPT_STATUS_TEXT[] = "\"exit_status\":900000002";
constexpr const char* INTERRUPT_CAUSE = "\x01" "cause";
constexpr char INTERRUPT_CAUSE_TEXT[] = "\"interrupted_by\":\"\\u0001cause\"";

struct PhaseTime {
    bool ran = false;
    long long spent_ms = 0;
    long long started_ms = -1;  // while it runs
};

struct Difference {
    uint32_t address;
    int received;
    uint8_t expected;
};

struct Record {
    bool active = false;
    std::string log_path;
    std::string start, host, updater_version;
    std::string file_path;
    long file_length = -1;
    std::string payload_sha256;
    bool header_read = false;
    std::string device, version, year;
    bool port_opened = false;
    std::string settled_outcome;  // how the run ended, once known; empty before
    std::vector<std::string> port_help;
    std::string next_step;
    std::string port_name, port_device, port_identity;
    PhaseTime phases[PHASES];
    int running = -1;
    std::vector<Difference> differences;
    core::ReplyTimes replies;
    unsigned long difference_count = 0, missing = 0, skipped = 0, reread = 0;
};

Record record;

// The record for an interruption, rendered anew at every change, in two slots: a signal reads the
// one published while the other is rewritten. Each slot has room to fill in the stand-ins.
struct Slot {
    std::string text;
    std::vector<char> filled;
};
Slot slots[2];
std::atomic<int> published{-1};  // read by a signal handler or, on Windows, the console's handler thread
std::atomic<bool> written{false};

std::string utc_now() {
    const std::time_t now = std::time(nullptr);
    char text[32] = "";
    if (const std::tm* utc = std::gmtime(&now)) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc);
    return text;
}

// Text from outside the program (paths, header fields, names) goes in as it is: dump() escapes it,
// and turns bytes that are no UTF-8 into U+FFFD.
Json render(const char* outcome, int exit_status, bool interrupted) {
    Json line;
    line["start"] = record.start;
    line["host"] = record.host;
    line["updater_version"] = record.updater_version;
    line["update_file"] = {{"path", record.file_path},
                           {"length", record.file_length >= 0 ? Json(record.file_length) : Json()},
                           {"payload_sha256", record.payload_sha256.empty() ? Json() : Json(record.payload_sha256)}};
    line["header"] = record.header_read ? Json{{"device", record.device},
                                               {"version", record.version},
                                               {"year", record.year}}
                                        : Json();
    line["port"] = record.port_opened ? Json{{"name", record.port_name},
                                             {"device", record.port_device},
                                             {"identity", record.port_identity}}
                                      : Json();
    Json phases = Json::object();
    for (size_t i = 0; i < PHASES; ++i) {
        const PhaseTime& phase = record.phases[i];
        Json duration = phase.ran ? Json(phase.spent_ms) : Json();
        if (interrupted && static_cast<int>(i) == record.running) duration = RUNNING_PHASE_MS;
        phases[PHASE_NAMES[i]] = {{"ran", phase.ran}, {"duration_ms", duration}};
    }
    line["phases"] = phases;
    const core::ReplySummary replies = record.replies.summary();
    line["flash_round_trip_ms"] = replies.count == 0 ? Json()
                                                     : Json{{"replies", replies.count},
                                                            {"median", replies.median_us / 1000.0},
                                                            {"max", replies.max_us / 1000.0}};
    Json first = Json::array();
    for (const Difference& d : record.differences) {
        first.push_back({{"address", d.address},
                         {"received", d.received < 0 ? Json() : Json(d.received)},
                         {"expected", d.expected}});
    }
    line["eeprom"] = {{"differences", record.difference_count},
                      {"not_received", record.missing},
                      {"not_verified", record.skipped},
                      {"reread", record.reread},
                      {"first_differences", first}};
    line["port_help"] = record.port_help;
    line["next_step"] = record.next_step.empty() ? Json() : Json(record.next_step);
    line["outcome"] = outcome;
    line["exit_status"] = exit_status;
    line["interrupted"] = interrupted;
    if (interrupted) line["interrupted_by"] = INTERRUPT_CAUSE;
    return line;
}

std::string dump(const Json& line) { return line.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n"; }

// Renders the record for an interruption into the slot not published, then publishes it.
void prepare_interrupted() {
    // Once an interruption is being written (on Windows from another thread), no slot changes.
    if (!record.active || written) return;
    const int next = published.load(std::memory_order_relaxed) == 0 ? 1 : 0;
    Slot& slot = slots[next];
    const char* outcome = record.settled_outcome.empty() ? "interrupted" : record.settled_outcome.c_str();
    slot.text = dump(render(outcome, INTERRUPT_STATUS, true));
    slot.filled.assign(slot.text.size() + 64, '\0');
    published.store(next, std::memory_order_release);
}

// Appends decimal value to out at k. Async-signal-safe.
void put_number(char* out, size_t& k, long long value) {
    char digits[24];
    size_t n = 0;
    const bool negative = value < 0;
    unsigned long long magnitude = negative ? 0ull - static_cast<unsigned long long>(value) : value;
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude > 0);
    if (negative) out[k++] = '-';
    while (n > 0) out[k++] = digits[--n];
}

// Appends text to out at k, as far as room allows. Async-signal-safe.
void put_text(char* out, size_t& k, const char* text, size_t room) {
    for (; *text != '\0' && k + 1 < room; ++text) out[k++] = *text;
}

bool starts_with(const char* text, size_t length, const char* prefix) {
    size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (i >= length || text[i] != prefix[i]) return false;
    }
    return true;
}

}  // namespace

bool start(const std::string& log_path, const char* updater_version, std::string& reason) {
    // A front end that runs one update after another starts each record afresh.
    record = Record();
    written = false;
    record.active = true;
    record.log_path = log_path;
    record.start = utc_now();
    record.host = record_file::host_name();
    record.updater_version = updater_version;
    // Ready before the file exists: a signal from the moment it is opened finds a record to write.
    prepare_interrupted();
    if (record_file::log_open(log_path, reason)) return true;
    record.active = false;
    published.store(-1, std::memory_order_release);
    return false;
}

void set_update_file_path(const std::string& path, const std::string& shown_path) {
    if (!record.active) return;
    record.file_path = record_file::full_path(path);
    if (record.file_path.empty()) record.file_path = shown_path;
    prepare_interrupted();
}

void set_update_file(long length, const uint8_t (&payload_sha256)[32]) {
    if (!record.active) return;
    record.file_length = length;
    static const char HEX[] = "0123456789abcdef";
    record.payload_sha256.clear();
    for (uint8_t byte : payload_sha256) {
        record.payload_sha256 += HEX[byte >> 4];
        record.payload_sha256 += HEX[byte & 15];
    }
    prepare_interrupted();
}

void set_header(const char* device, const char* version, const char* year) {
    if (!record.active) return;
    record.header_read = true;
    record.device = device;
    record.version = version;
    record.year = year;
    prepare_interrupted();
}

void set_port(const std::string& name, const std::string& device, const std::string& identity) {
    if (!record.active) return;
    record.port_opened = true;
    record.port_name = name;
    record.port_device = device;
    record.port_identity = identity;
    prepare_interrupted();
}

void set_port_help(const std::vector<std::string>& lines) {
    if (!record.active) return;
    record.port_help = lines;
    prepare_interrupted();
}

void set_next_step(const std::string& step) {
    if (!record.active) return;
    record.next_step = step;
    prepare_interrupted();
}

void begin(Phase phase) {
    if (!record.active) return;
    end_phase();
    record.running = static_cast<int>(phase);
    record.phases[record.running].ran = true;
    record.phases[record.running].started_ms = record_file::monotonic_ms();
    prepare_interrupted();
}

void end_phase() {
    if (!record.active || record.running < 0) return;
    PhaseTime& phase = record.phases[record.running];
    phase.spent_ms += record_file::monotonic_ms() - phase.started_ms;
    phase.started_ms = -1;
    record.running = -1;
    prepare_interrupted();
}

void flash_reply(unsigned round_trip_us) {
    if (!record.active) return;
    record.replies.add(round_trip_us);
    prepare_interrupted();
}

void eeprom_difference(uint32_t address, int received, uint8_t expected) {
    if (!record.active) return;
    if (record.differences.size() < DIFFERENCES_KEPT) record.differences.push_back({address, received, expected});
    ++record.difference_count;
    if (received < 0) ++record.missing;
    prepare_interrupted();
}

void eeprom_totals(unsigned long differences, unsigned long missing, unsigned long skipped, unsigned long reread) {
    if (!record.active) return;
    record.difference_count = differences;
    record.missing = missing;
    record.skipped = skipped;
    record.reread = reread;
    prepare_interrupted();
}

void settle(const char* outcome) {
    if (!record.active) return;
    end_phase();
    record.settled_outcome = outcome;
    prepare_interrupted();
}

bool finish(const char* outcome, int exit_status) {
    if (!record.active || written.exchange(true)) return true;
    end_phase();
    // A record cut short before (a full disk) must not swallow this one.
    const std::string line = (record_file::log_ends_mid_line() ? "\n" : "") + dump(render(outcome, exit_status, false));
    const bool ok = record_file::log_append(line.data(), line.size());
    if (!ok) {
        std::printf("\nThe run record could not be written to %s: %s\n", run::shown_text(record.log_path).c_str(),
                    run::shown_text(record_file::log_error()).c_str());
    }
    record_file::log_close();
    return ok;
}

void finish_interrupted(const char* cause, int exit_status) {
    const int slot_index = published.load(std::memory_order_acquire);
    if (slot_index < 0 || written.exchange(true)) return;
    Slot& slot = slots[slot_index];
    const char* text = slot.text.data();
    const size_t length = slot.text.size();
    char* out = slot.filled.data();
    const size_t room = slot.filled.size();
    size_t k = 0;
    if (record_file::log_ends_mid_line()) out[k++] = '\n';
    // The stand-ins are filled in where they stand, matched key and all: inside a string value the
    // quotes are escaped, so a path cannot match. A cause is a short signal name.
    for (size_t i = 0; i < length && k + 40 < room;) {
        const char* rest = text + i;
        if (starts_with(rest, length - i, RUNNING_PHASE_TEXT)) {
            const int running = record.running;
            long long spent = 0;
            if (running >= 0) spent = record.phases[running].spent_ms + record_file::monotonic_ms() - record.phases[running].started_ms;
            put_text(out, k, "\"duration_ms\":", room);
            put_number(out, k, spent);
            i += sizeof RUNNING_PHASE_TEXT - 1;
        } else if (starts_with(rest, length - i, INTERRUPT_STATUS_TEXT)) {
            put_text(out, k, "\"exit_status\":", room);
            put_number(out, k, exit_status);
            i += sizeof INTERRUPT_STATUS_TEXT - 1;
        } else if (starts_with(rest, length - i, INTERRUPT_CAUSE_TEXT)) {
            put_text(out, k, "\"interrupted_by\":\"", room);
            put_text(out, k, cause, room);
            put_text(out, k, "\"", room);
            i += sizeof INTERRUPT_CAUSE_TEXT - 1;
        } else {
            out[k++] = text[i++];
        }
    }
    record_file::log_append(out, k);
}

}  // namespace run_record
