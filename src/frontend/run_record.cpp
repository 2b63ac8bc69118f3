#include "frontend/run_record.h"

#include <ctime>
#include <memory>
#include <mutex>

#include "frontend/json_text.h"
#include "platform/monotonic_clock.h"

namespace frontend {

namespace {

constexpr const char* PHASE_NAMES[] = {"file_check", "flash", "eeprom_write", "read_back"};

// Stand-ins in the rendered record, filled in when it is written, and their text there. A
// stand-in is matched key and all: inside a string value the quotes are escaped, so a path or a
// header field cannot match.
constexpr long long RUNNING_PHASE_MS = 900000000000001;
constexpr char RUNNING_PHASE_TEXT[] = "\"duration_ms\":900000000000001";
constexpr long long EXIT_STATUS = 900000000000002;
constexpr char EXIT_STATUS_TEXT[] = "\"exit_status\":900000000000002";
constexpr long long ROUND_TRIPS = 900000000000003;
constexpr char ROUND_TRIPS_TEXT[] = "\"flash_round_trip_ms\":900000000000003";
constexpr long long EEPROM = 900000000000004;
constexpr char EEPROM_TEXT[] = "\"eeprom\":900000000000004";
constexpr const char* CAUSE = "\x01" "cause";
constexpr char CAUSE_TEXT[] = "\"interrupted_by\":\"\\u0001cause\"";

// Room that filling in the stand-ins may take beyond the rendered text: the read-back's totals and
// sixteen differences take about 1,050 bytes at most, the rest about 200.
constexpr size_t FILL_ROOM = 2048;

// The records a signal must write, in a table a signal handler can walk: sized when the run
// starts, before any thread. A record beyond it grows it into a new table; the old one stays, as a
// handler may still be reading it. Tables change under the lock; a handler only reads.
struct Registry {
    explicit Registry(size_t count, Registry* previous)
        : size(count), records(new std::atomic<RunRecord*>[count]()), older(previous) {}
    const size_t size;
    const std::unique_ptr<std::atomic<RunRecord*>[]> records;
    Registry* const older;
};
std::atomic<Registry*> registry{nullptr};
std::mutex registry_lock;

// Makes the table hold count records at least, its records kept at their places. Under the lock.
Registry* registry_with_room(size_t count) {
    Registry* table = registry.load();
    if (table != nullptr && table->size >= count) return table;
    Registry* grown = new Registry(count, table);
    for (size_t i = 0; table != nullptr && i < table->size; ++i) grown->records[i].store(table->records[i].load());
    registry.store(grown);
    return grown;
}

// How long a signal waits for the records that other threads are appending: a log that takes
// nothing more (a FIFO whose reader stopped) must not hold the end of the process.
constexpr long long APPEND_WAIT_MS = 1000;

std::string utc_now() {
    const std::time_t now = std::time(nullptr);
    char text[32] = "";
    if (const std::tm* utc = std::gmtime(&now)) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc);
    return text;
}

bool starts_with(const char* text, size_t length, const char* prefix) {
    size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (i >= length || text[i] != prefix[i]) return false;
    }
    return true;
}

// Text put into a fixed buffer, as far as it has room. Async-signal-safe.
class Writer {
public:
    Writer(char* out, size_t room) : out_(out), room_(room) {}
    size_t length() const { return k_; }
    bool full() const { return k_ + 1 >= room_; }

    void put(char c) {
        if (!full()) out_[k_++] = c;
    }
    void put(const char* text) {
        for (; *text != '\0'; ++text) put(*text);
    }
    void number(long long value) {
        char digits[24];
        size_t n = 0;
        unsigned long long magnitude = value < 0 ? 0ull - static_cast<unsigned long long>(value) : value;
        do {
            digits[n++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude > 0);
        if (value < 0) put('-');
        while (n > 0) put(digits[--n]);
    }
    // Microseconds as milliseconds with up to three decimals.
    void milliseconds(unsigned us) {
        number(us / 1000);
        put('.');
        unsigned fraction = us % 1000, places = 3;
        while (places > 1 && fraction % 10 == 0) {
            fraction /= 10;
            --places;
        }
        for (unsigned scale = places == 3 ? 100 : places == 2 ? 10 : 1; scale > 0; scale /= 10) {
            put(static_cast<char>('0' + fraction / scale % 10));
        }
    }

private:
    char* out_;
    size_t room_;
    size_t k_ = 0;
};

}  // namespace

RunRecord::RunRecord(record_file::LogFile* log, const char* updater_version)
    : log_(log), start_(utc_now()), updater_version_(updater_version) {
    if (log_ == nullptr) return;
    host_ = record_file::host_name();
    // The record is ready before a signal can find it.
    prepare_interrupted();
    const std::lock_guard<std::mutex> lock(registry_lock);
    Registry* table = registry_with_room(1);
    for (size_t i = 0; registry_index_ < 0; ++i) {
        if (i == table->size) table = registry_with_room(2 * table->size);
        if (table->records[i].load() == nullptr) {
            table->records[i].store(this);
            registry_index_ = static_cast<int>(i);
        }
    }
}

RunRecord::~RunRecord() {
    if (registry_index_ < 0) return;
    const std::lock_guard<std::mutex> lock(registry_lock);
    // Out of the older tables too, which a handler may still be reading.
    const auto index = static_cast<size_t>(registry_index_);
    for (Registry* table = registry.load(); table != nullptr && index < table->size; table = table->older) {
        table->records[index].store(nullptr);
    }
}

void RunRecord::reserve(size_t count) {
    const std::lock_guard<std::mutex> lock(registry_lock);
    registry_with_room(count);
}

void RunRecord::set_station_run(const std::string& id) {
    station_run_ = id;
    prepare_interrupted();
}

void RunRecord::set_bench_device(unsigned slot, unsigned number, const std::string& serial) {
    slot_ = slot;
    bench_device_ = number;
    device_serial_ = serial;
    prepare_interrupted();
}

void RunRecord::set_update_file_path(const std::string& path, const std::string& shown_path) {
    file_path_ = record_file::full_path(path);
    if (file_path_.empty()) file_path_ = shown_path;
    prepare_interrupted();
}

void RunRecord::set_update_file(long length, const uint8_t (&payload_sha256)[32]) {
    file_length_ = length;
    static const char HEX[] = "0123456789abcdef";
    payload_sha256_.clear();
    for (uint8_t byte : payload_sha256) {
        payload_sha256_ += HEX[byte >> 4];
        payload_sha256_ += HEX[byte & 15];
    }
    prepare_interrupted();
}

void RunRecord::set_header(const core::HeaderFields& header) {
    header_read_ = true;
    header_ = header;
    prepare_interrupted();
}

void RunRecord::set_signature(const core::SignatureFinding& finding) {
    signature_judged_ = true;
    signature_ = finding;
    prepare_interrupted();
}

void RunRecord::take_file_check(const RunRecord& other) {
    file_path_ = other.file_path_;
    file_length_ = other.file_length_;
    payload_sha256_ = other.payload_sha256_;
    header_read_ = other.header_read_;
    header_ = other.header_;
    signature_judged_ = other.signature_judged_;
    signature_ = other.signature_;
    phases_[static_cast<int>(Phase::file_check)] = other.phases_[static_cast<int>(Phase::file_check)];
    prepare_interrupted();
}

void RunRecord::set_port(const std::string& name, const std::string& device, const std::string& identity) {
    port_opened_ = true;
    port_name_ = name;
    port_device_ = device;
    port_identity_ = identity;
    prepare_interrupted();
}

void RunRecord::set_port_help(const std::vector<std::string>& lines) {
    port_help_ = lines;
    prepare_interrupted();
}

void RunRecord::set_next_step(const std::string& step) {
    next_step_ = step;
    prepare_interrupted();
}

void RunRecord::set_late_reply(const core::Failure& failure) {
    late_reply_ = true;
    late_reply_value_ = failure.late_reply;
    late_reply_record_ =
        failure.fault == core::Fault::no_acknowledgement ? -1 : static_cast<int>(failure.address / core::RECORD_DATA_SIZE);
    prepare_interrupted();
}

void RunRecord::begin(Phase phase) {
    stop_running();
    const int index = static_cast<int>(phase);
    phases_[index].ran = true;
    running_since_ms_.store(monotonic_clock::now_ms());
    running_.store(index);
    prepare_interrupted();
}

void RunRecord::end_phase() {
    if (stop_running()) prepare_interrupted();
}

bool RunRecord::stop_running() {
    const int index = running_.exchange(-1);
    if (index < 0) return false;
    phases_[index].spent_ms += monotonic_clock::now_ms() - running_since_ms_.load();
    return true;
}

void RunRecord::flash_reply(uint32_t, unsigned round_trip_us) { replies_.add(round_trip_us); }

void RunRecord::read_back_difference(uint32_t a, unsigned /*percent*/, uint16_t received, uint8_t expected) {
    const unsigned long count = difference_count_.load(std::memory_order_relaxed);
    if (count < DIFFERENCES_KEPT) differences_[count] = {a, received, expected};
    if (received == core::NO_BYTE) missing_.fetch_add(1, std::memory_order_relaxed);
    difference_count_.store(count + 1, std::memory_order_release);
}

void RunRecord::read_back_again(unsigned pass) { reread_.store(pass); }

void RunRecord::eeprom_totals(const core::ReadBack& found) {
    skipped_ = found.skipped;
    reread_.store(found.reread);
    slow_line_ms_ = found.slow_line_ms;
    kept_sending_ = found.kept_sending;
    prepare_interrupted();
}

void RunRecord::settle(core::Outcome outcome) {
    end_phase();
    settled_outcome_ = core::outcome_name(outcome);
    prepare_interrupted();
}

std::string RunRecord::render(const char* outcome, bool interrupted) const {
    const size_t limit = log_ != nullptr ? log_->whole_limit() : 0;
    std::string text = render_within(outcome, interrupted, 0);
    for (size_t cut_at = 2048; limit > 0 && text.size() + FILL_ROOM > limit && cut_at >= 64; cut_at /= 2) {
        text = render_within(outcome, interrupted, cut_at);
    }
    return text;
}

std::string RunRecord::render_within(const char* outcome, bool interrupted, size_t string_limit) const {
    JsonText line(string_limit);
    line.field("start", start_).field("host", host_).field("updater_version", updater_version_);
    if (!station_run_.empty()) line.field("station_run", station_run_);
    if (slot_ > 0) {
        line.field("slot", static_cast<long long>(slot_)).field("bench_device", static_cast<long long>(bench_device_));
    }
    if (!device_serial_.empty()) line.field("device_serial", device_serial_);
    line.object("update_file").field("path", file_path_);
    if (file_length_ >= 0) line.field("length", static_cast<long long>(file_length_));
    else line.null("length");
    if (!payload_sha256_.empty()) line.field("payload_sha256", payload_sha256_);
    else line.null("payload_sha256");
    line.end();
    if (header_read_) {
        line.object("header").field("device", header_.device_name).field("version", header_.version);
        line.field("year", header_.year).end();
    } else {
        line.null("header");
    }
    // Nothing to tell of a file nobody asked to be signed, and which is not.
    if (signature_judged_ && (signature_.required || signature_.verdict != core::SignatureVerdict::not_signed)) {
        line.object("signature");
        if (signature_.verdict != core::SignatureVerdict::not_signed) line.field("key_id", core::key_id_text(signature_.key_id));
        else line.null("key_id");
        line.field("verdict", core::signature_verdict_name(signature_.verdict)).field("required", signature_.required).end();
    } else {
        line.null("signature");
    }
    if (port_opened_) {
        line.object("port").field("name", port_name_).field("device", port_device_).field("identity", port_identity_).end();
    } else {
        line.null("port");
    }
    line.object("phases");
    const int running = running_.load();
    for (size_t i = 0; i < PHASES; ++i) {
        line.object(PHASE_NAMES[i]).field("ran", phases_[i].ran);
        if (interrupted && static_cast<int>(i) == running) line.field("duration_ms", RUNNING_PHASE_MS);
        else if (phases_[i].ran) line.field("duration_ms", phases_[i].spent_ms);
        else line.null("duration_ms");
        line.end();
    }
    line.end();
    line.field("flash_round_trip_ms", ROUND_TRIPS);
    if (late_reply_) {
        line.object("late_reply").field("reply", static_cast<long long>(late_reply_value_));
        if (late_reply_record_ >= 0) line.field("record", static_cast<long long>(late_reply_record_));
        else line.null("record");
        line.end();
    } else {
        line.null("late_reply");
    }
    line.field("eeprom", EEPROM).field("port_help", port_help_);
    if (!next_step_.empty()) line.field("next_step", next_step_);
    else line.null("next_step");
    line.field("outcome", outcome).field("exit_status", EXIT_STATUS).field("interrupted", interrupted);
    if (interrupted) line.field("interrupted_by", CAUSE);
    return line.line();
}

void RunRecord::prepare_interrupted() {
    // Once the record is being written (by an interruption, on Windows from another thread), no
    // slot changes.
    if (log_ == nullptr || writing_.load() != not_yet) return;
    const int next = published_.load(std::memory_order_relaxed) == 0 ? 1 : 0;
    Slot& slot = slots_[next];
    slot.text = render(settled_outcome_.empty() ? "interrupted" : settled_outcome_.c_str(), true);
    slot.filled.assign(slot.text.size() + FILL_ROOM, '\0');
    published_.store(next, std::memory_order_release);
}

size_t RunRecord::fill(const std::string& text, std::vector<char>& out, int exit_status, const char* cause) const {
    Writer line(out.data(), out.size());
    // A record cut short before (a full disk) must not swallow this one.
    if (log_->ends_mid_line()) line.put('\n');
    const size_t length = text.size();
    for (size_t i = 0; i < length && !line.full();) {
        const char* rest = text.data() + i;
        if (starts_with(rest, length - i, RUNNING_PHASE_TEXT)) {
            const int running = running_.load();
            long long spent = 0;
            if (running >= 0) spent = phases_[running].spent_ms + monotonic_clock::now_ms() - running_since_ms_.load();
            line.put("\"duration_ms\":");
            line.number(spent);
            i += sizeof RUNNING_PHASE_TEXT - 1;
        } else if (starts_with(rest, length - i, EXIT_STATUS_TEXT)) {
            line.put("\"exit_status\":");
            line.number(exit_status);
            i += sizeof EXIT_STATUS_TEXT - 1;
        } else if (starts_with(rest, length - i, CAUSE_TEXT)) {
            line.put("\"interrupted_by\":\"");
            line.put(cause);
            line.put('"');
            i += sizeof CAUSE_TEXT - 1;
        } else if (starts_with(rest, length - i, ROUND_TRIPS_TEXT)) {
            const core::ReplySummary replies = replies_.summary();
            line.put("\"flash_round_trip_ms\":");
            if (replies.count == 0) {
                line.put("null");
            } else {
                line.put("{\"replies\":");
                line.number(replies.count);
                line.put(",\"median\":");
                line.milliseconds(replies.median_us);
                line.put(",\"max\":");
                line.milliseconds(replies.max_us);
                line.put('}');
            }
            i += sizeof ROUND_TRIPS_TEXT - 1;
        } else if (starts_with(rest, length - i, EEPROM_TEXT)) {
            const unsigned long count = difference_count_.load(std::memory_order_acquire);
            line.put("\"eeprom\":{\"differences\":");
            line.number(static_cast<long long>(count));
            line.put(",\"not_received\":");
            line.number(static_cast<long long>(missing_.load()));
            line.put(",\"not_verified\":");
            line.number(static_cast<long long>(skipped_));
            line.put(",\"reread\":");
            line.number(static_cast<long long>(reread_.load()));
            line.put(",\"slow_line_ms\":");
            if (slow_line_ms_ > 0) line.number(slow_line_ms_);
            else line.put("null");
            line.put(kept_sending_ ? ",\"kept_sending\":true" : ",\"kept_sending\":false");
            line.put(",\"first_differences\":[");
            for (unsigned long k = 0; k < count && k < DIFFERENCES_KEPT; ++k) {
                const Difference& d = differences_[k];
                line.put(k > 0 ? ",{\"address\":" : "{\"address\":");
                line.number(d.address);
                line.put(",\"received\":");
                if (d.received == core::NO_BYTE) line.put("null");
                else line.number(d.received);
                line.put(",\"expected\":");
                line.number(d.expected);
                line.put('}');
            }
            line.put("]}");
            i += sizeof EEPROM_TEXT - 1;
        } else {
            line.put(text[i++]);
        }
    }
    return line.length();
}

bool RunRecord::finish(core::Outcome outcome, int exit_status) {
    if (log_ == nullptr || writing_.load() != not_yet) return true;
    end_phase();
    // The whole line first; then, with no signal let in on this thread, the record is claimed and
    // appended in one go. A signal on another thread meanwhile waits for it to be written.
    const std::string text = render(core::outcome_name(outcome), false);
    std::vector<char> out(text.size() + FILL_ROOM);
    const size_t length = fill(text, out, exit_status, "");
    log_->wait_for_room();
    const record_file::SignalsHeld held;
    int nobody = not_yet;
    if (!writing_.compare_exchange_strong(nobody, appending)) return true;  // an interruption wrote it
    const bool appended = log_->append(out.data(), length);
    writing_.store(written);
    if (appended) return true;
    error_ = log_->error();
    return false;
}

std::string RunRecord::error() const { return error_; }

void RunRecord::finish_interrupted(const char* cause, int exit_status) {
    const int index = published_.load(std::memory_order_acquire);
    int nobody = not_yet;
    if (index < 0 || !writing_.compare_exchange_strong(nobody, appending)) return;
    Slot& slot = slots_[index];
    log_->append(slot.filled.data(), fill(slot.text, slot.filled, exit_status, cause));
    writing_.store(written);
}

void RunRecord::finish_all_interrupted(const char* cause, int exit_status) {
    const Registry* table = registry.load();
    const size_t size = table != nullptr ? table->size : 0;
    for (size_t i = 0; i < size; ++i) {
        if (RunRecord* record = table->records[i].load()) record->finish_interrupted(cause, exit_status);
    }
    // Records that their own threads are appending: the process may end only once they are written.
    const long long deadline = monotonic_clock::now_ms() + APPEND_WAIT_MS;
    for (size_t i = 0; i < size; ++i) {
        const RunRecord* record = table->records[i].load();
        while (record != nullptr && record->writing_.load() == appending && monotonic_clock::now_ms() < deadline) {
            record_file::sleep_ms(1);
        }
    }
}

}  // namespace frontend
