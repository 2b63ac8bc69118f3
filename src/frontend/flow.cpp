#include "frontend/flow.h"

#include <cerrno>
#include <cstring>

#include "core/eeprom_transfer.h"
#include "core/flash_transfer.h"
#include "core/link.h"
#include "core/payload.h"
#include "frontend/shown_text.h"
#include "frontend/text.h"
#include "platform/file_size.h"

namespace frontend {

namespace {

// Hands every event to two listeners: what a front end shows, and the record it keeps. A stop is
// requested when either asks for one.
class BothListeners : public core::Events {
public:
    BothListeners(core::Events& shown, core::Events& kept) : shown_(shown), kept_(kept) {}
    void flash_started() override { shown_.flash_started(), kept_.flash_started(); }
    void flash_reply(uint32_t record, unsigned us) override { shown_.flash_reply(record, us), kept_.flash_reply(record, us); }
    void flash_record_accepted(uint32_t done) override { shown_.flash_record_accepted(done), kept_.flash_record_accepted(done); }
    void flash_pause_started(unsigned ms) override { shown_.flash_pause_started(ms), kept_.flash_pause_started(ms); }
    void flash_completed() override { shown_.flash_completed(), kept_.flash_completed(); }
    void eeprom_write_started() override { shown_.eeprom_write_started(), kept_.eeprom_write_started(); }
    void read_back_started() override { shown_.read_back_started(), kept_.read_back_started(); }
    void read_back_again(unsigned pass) override { shown_.read_back_again(pass), kept_.read_back_again(pass); }
    void eeprom_chunk(uint32_t a, unsigned percent) override { shown_.eeprom_chunk(a, percent), kept_.eeprom_chunk(a, percent); }
    void read_back_difference(uint32_t a, unsigned percent, uint16_t received, uint8_t expected) override {
        shown_.read_back_difference(a, percent, received, expected);
        kept_.read_back_difference(a, percent, received, expected);
    }
    void eeprom_finished() override { shown_.eeprom_finished(), kept_.eeprom_finished(); }
    bool stop_requested() override { return shown_.stop_requested() || kept_.stop_requested(); }

private:
    core::Events& shown_;
    core::Events& kept_;
};

}  // namespace

void UpdateFile::release() {
    image.release();
    close_file();
}

void UpdateFile::close_file() {
    if (file != nullptr) std::fclose(file);
    file = nullptr;
}

bool EepromPrompt::write_eeprom(Dialog& dialog, const std::string&) {
    dialog.print(
        "Press 'e' to download EEPROM data memory !\n\n"
        "Press ESC not to download (if old and new versions are data compatible) !\n");
    for (;;) {
        const int key = dialog.read_key();
        if (key == console::KEY_ESC || key == console::KEY_END) return false;
        if (key == 'e' || key == 'E') return true;
    }
}

UpdateFlow::UpdateFlow(UpdateFile& file, RunRecord& record, FrontEnd front_end, Settings settings)
    : file_(file), record_(record), front_(front_end), settings_(settings), said_(front_end.dialog) {}

core::Outcome UpdateFlow::run(const char* path, const std::string& shown_path) {
    if (const Stopped stopped = check_file(path, shown_path)) return *stopped;
    return update_device();
}

const std::string& UpdateFlow::result_text() const { return completed_run_ ? completed_ : failure_; }

// A line that said what was completed, for the result.
void UpdateFlow::completed(const std::string& text) {
    const size_t start = text.find_first_not_of('\n');
    if (!completed_.empty()) completed_ += "\n";
    completed_ += text.substr(start, text.find_last_not_of('\n') + 1 - start);
}

Stopped UpdateFlow::check_file(const char* path, const std::string& shown_path) {
    file_.shown_path = shown_path;
    record_.set_update_file_path(path, shown_path);
    record_.begin(Phase::file_check);
    // One opening, in binary mode, serves the whole run: the header, the image and the EEPROM bytes
    // all come from the same file, whatever happens to its name meanwhile.
    file_.file = std::fopen(path, "rb");
    if (file_.file == nullptr) {
        const int error = errno;
        return failed(core::Outcome::file_error,
                      "File not found: " + shown_path + "\n" + shown_path + ": " + shown_text(std::strerror(error)) + "\n");
    }
    return after_file_check(judged(file_.image.open_file(file_.file, platform::query_file_size(file_.file))));
}

Stopped UpdateFlow::check_bytes(const uint8_t* data, size_t length, const std::string& name) {
    file_.shown_path = shown_text(name);
    record_.set_update_file_path(file_.shown_path, file_.shown_path);
    record_.begin(Phase::file_check);
    const long offset = core::find_payload_offset(data, length);
    if (offset < 0) return failed(core::Outcome::file_error, not_an_update_file_text(file_.shown_path));
    file_.image = core::UpdateImage(offset);
    return after_file_check(judged(file_.image.open(data, length)));
}

// The update file as judged: the record learns its length and payload digest (also of a file whose
// payload failed) and its header; a file that cannot be used is said.
Stopped UpdateFlow::judged(const core::Failed& failure) {
    if (!failure || failure->fault == core::Fault::file_damaged) {
        record_.set_update_file(file_.image.length(), file_.image.payload_sha256());
    }
    if (failure) return failed(failure->outcome(), failure_text(*failure, "", file_.shown_path));
    record_.set_header(file_.image.header());
    // Its origin: with trusted keys, signed by one of them, or refused before any port.
    static const core::TrustedKeys none;
    signature_ = core::judge_signature(file_.image.signature(), file_.image.payload_sha256(),
                                       settings_.trusted_keys != nullptr ? *settings_.trusted_keys : none);
    record_.set_signature(signature_);
    if (!signature_.accepted()) return failed(core::Outcome::file_error, untrusted_file_text(signature_));
    return std::nullopt;
}

// After a file found good: the banner, and the image's check where the front end has it with the
// file.
Stopped UpdateFlow::after_file_check(Stopped stopped) {
    if (stopped) return stopped;
    if (settings_.banner) said_.print(banner_text(file_.image.header()));
    if (settings_.image_with_file) stopped = verify_image();
    if (!stopped) record_.end_phase();
    return stopped;
}

core::Outcome UpdateFlow::update_device() {
    // The port: chosen and opened as the front end does.
    if (const Stopped stopped = front_.port.open(settings_, record_, said_)) return *stopped;
    // Every record of the FLASH image checked before anything is sent.
    if (!file_.verified) {
        record_.begin(Phase::file_check);
        if (const Stopped stopped = verify_image()) return *stopped;
    }
    // The FLASH records and the pause after them, the line watched through it; then a word on a
    // slow adapter if the replies took long.
    if (const Stopped stopped = download_flash()) return *stopped;
    // The EEPROM, unless the person (or the choice made in advance) leaves it as it is.
    if (!front_.eeprom.write_eeprom(said_, adapter_advice(record_, settings_.chunk))) return core::Outcome::completed;
    return download_eeprom();
}

// The image's place in the file and the checksum test of its 500 records.
Stopped UpdateFlow::verify_image() {
    said_.print(image_loaded_text(file_.image.length(), file_.shown_path, file_.image.image_start()));
    if (const core::Failed failure = file_.image.verify()) {
        return failed(failure->outcome(), failure_text(*failure, file_.image.header().device_name, file_.shown_path));
    }
    said_.print(CHECKSUM_OK_TEXT);
    file_.verified = true;
    return std::nullopt;
}

Stopped UpdateFlow::download_flash() {
    record_.begin(Phase::flash);
    core::Link link(front_.port.port());
    BothListeners events(front_.shown, record_);
    if (const core::Failed failure = core::download_flash(link, file_.image, events)) return failed(*failure);
    record_.end_phase();
    completed(FLASH_COMPLETED_TEXT);
    if (const std::string advice = adapter_advice(record_, settings_.chunk); !advice.empty()) said_.print(advice);
    return std::nullopt;
}

core::Outcome UpdateFlow::download_eeprom() {
    core::Link link(front_.port.port());
    BothListeners events(front_.shown, record_);
    const core::ReadBack found = core::download_eeprom(link, file_.image, events, settings_.chunk);
    read_back_ = found;
    record_.eeprom_totals(found);
    if (found.slow_line_ms > 0) said_.print(slow_line_text(found.slow_line_ms));
    if (found.clean()) {
        said_.print(EEPROM_COMPLETED_TEXT);
        completed(EEPROM_COMPLETED_TEXT);
        return core::Outcome::completed;
    }
    if (found.port_lost) record_.set_port_help({PORT_LOST_TEXT});
    return *failed(found.outcome(), read_back_failed_text(found), read_back_next_step(found));
}

// A step failed: its message, the line of what to do next where the outcome has one (kept in the
// record), and the outcome. The text is the run's result.
Stopped UpdateFlow::failed(core::Outcome outcome, const std::string& message) {
    return failed(outcome, message, next_step(outcome));
}

Stopped UpdateFlow::failed(core::Outcome outcome, const std::string& message, const char* step) {
    std::string text = message;
    if (step != nullptr) {
        record_.set_next_step(step);
        text += wrapped(step);
    }
    said_.print(text);
    return outcome;
}

Stopped UpdateFlow::failed(const core::Failure& failure) {
    if (failure.fault == core::Fault::port_lost) record_.set_port_help({PORT_LOST_TEXT});
    if (failure.late_reply != core::NO_BYTE) record_.set_late_reply(failure);
    return failed(failure.outcome(), failure_text(failure, file_.image.header().device_name, file_.shown_path));
}

// Writes the record; says so when it could not be written.
bool UpdateFlow::finish_record(core::Outcome outcome) {
    if (record_.finish(outcome, static_cast<int>(outcome))) return true;
    record_problem_ = record_not_written_text(record_.log_path(), record_.error());
    said_.print("\n" + record_problem_);
    return false;
}

core::Outcome UpdateFlow::end(core::Outcome outcome) {
    // The record tells the status the run ends with: written now when nobody is asked for Enter,
    // else once Enter is pressed, or by the signal handler with its own status when Ctrl+C ends
    // the exit prompt.
    record_.settle(outcome);
    completed_run_ = outcome == core::Outcome::completed;
    if (!completed_run_) failure_ = said_.last();
    const bool written = settings_.enter_at_end || finish_record(outcome);
    if (!settings_.file_shared) file_.release();
    if (const std::string name = front_.port.close(); !name.empty()) said_.print(name + " disconnected\n");
    if (settings_.enter_at_end) {
        wait_for_enter(said_);
        // A record that could not be written is said, and the person gets to read it.
        if (!finish_record(outcome)) wait_for_enter(said_);
    }
    // Where nobody is at the console to read that the record is lost, an update that completed
    // fails on it: whoever keys on the status learns it.
    if (written || !settings_.unattended || !completed_run_) return outcome;
    completed_run_ = false;
    failure_ = record_problem_;
    return core::Outcome::record_not_written;
}

void ConsoleEvents::flash_started() { dialog_.print(FLASH_STARTED_TEXT); }

void ConsoleEvents::flash_record_accepted(uint32_t done) { dialog_.print(progress_text(done, flash_percent(done))); }

void ConsoleEvents::flash_completed() { dialog_.print(FLASH_COMPLETED_TEXT); }

void ConsoleEvents::eeprom_write_started() { dialog_.print(EEPROM_WRITE_TEXT); }

void ConsoleEvents::read_back_started() { dialog_.print(READ_BACK_TEXT); }

void ConsoleEvents::eeprom_chunk(uint32_t a, unsigned percent) { dialog_.print(progress_text(a, static_cast<long>(percent))); }

void ConsoleEvents::read_back_difference(uint32_t a, unsigned percent, uint16_t received, uint8_t expected) {
    // Told once the read-back's answers are trusted: after its chunk's progress text again, on the
    // same line.
    dialog_.print(progress_text(a, static_cast<long>(percent)) + difference_text(a, received, expected));
}

void wait_for_enter(Dialog& dialog) {
    dialog.print("\nPress Enter to exit !\n");
    for (;;) {
        const int key = dialog.read_key();
        if (key == console::KEY_ENTER || key == console::KEY_END) return;
    }
}

unsigned flash_percent(uint32_t done) { return done * 100u / core::FLASH_DATA_SIZE; }

std::string adapter_advice(const RunRecord& record, uint16_t chunk) {
    const core::ReplySummary replies = record.replies().summary();
    return replies.count > 0 && replies.median_us > core::SLOW_REPLY_US ? slow_adapter_text(replies, chunk) : "";
}

NamedPort named_port(const std::string& given) {
    NamedPort port;
    const bool com = given.size() >= 4 && given.size() <= 8 && given.compare(0, 3, "COM") == 0 && given[3] != '0' &&
                     given.find_first_not_of("0123456789", 3) == std::string::npos;
    if (com) port.n = static_cast<unsigned>(std::stoul(given.substr(3)));
    port.path = port.n > 0 ? "" : given;
    port.name = port.n > 0 ? given : shown_text(given);
    return port;
}

}  // namespace frontend
