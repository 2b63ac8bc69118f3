#include "frontend/steps.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "core/eeprom_transfer.h"
#include "core/flash_transfer.h"
#include "frontend/shown_text.h"
#include "frontend/text.h"
#include "platform/file_size.h"

namespace frontend {

void ConsoleEvents::flash_started() { console_.print(FLASH_STARTED_TEXT); }

void ConsoleEvents::flash_record_accepted(uint32_t done) {
    console_.print(progress_text(done, static_cast<long>(done * 100u / core::FLASH_DATA_SIZE)));
}

void ConsoleEvents::flash_completed() { console_.print(FLASH_COMPLETED_TEXT); }

void ConsoleEvents::eeprom_write_started() { console_.print(EEPROM_WRITE_TEXT); }

void ConsoleEvents::read_back_started() { console_.print(READ_BACK_TEXT); }

void ConsoleEvents::eeprom_chunk(uint32_t a, unsigned percent) { console_.print(progress_text(a, static_cast<long>(percent))); }

void ConsoleEvents::read_back_difference(uint32_t a, unsigned percent, uint16_t received, uint8_t expected) {
    // Told once the read-back's answers are trusted: after its chunk's progress text again, on the
    // same line.
    console_.print(progress_text(a, static_cast<long>(percent)) + difference_text(a, received, expected));
}

Ending file_checked(const core::UpdateImage& image, const core::Result& judged, RunRecord& record, Console& console,
                    const std::string& shown_path) {
    // The record tells which file it was, also when its payload failed.
    if (!judged || judged->fault == core::Fault::file_damaged) record.set_update_file(image.length(), image.payload_sha256());
    if (judged) {
        console.print(failure_text(*judged, "", shown_path));
        return judged->outcome();
    }
    record.set_header(image.header());
    return std::nullopt;
}

Ending check_update_file(core::UpdateImage& image, std::FILE*& file, const char* path, const std::string& shown_path,
                         RunRecord& record, Console& console) {
    record.set_update_file_path(path, shown_path);
    // One opening, in binary mode, serves the whole run: the header, the image and the EEPROM bytes
    // all come from the same file, whatever happens to its name meanwhile.
    file = std::fopen(path, "rb");
    if (file == nullptr) {
        const int error = errno;
        console.print("File not found: " + shown_path + "\n" + shown_path + ": " + shown_text(std::strerror(error)) + "\n");
        return core::Outcome::file_error;
    }
    return file_checked(image, image.open_file(file, platform::query_file_size(file)), record, console, shown_path);
}

Ending image_verified(const core::UpdateImage& image, Console& console, const std::string& shown_path) {
    console.print(image_loaded_text(image.length(), shown_path, image.image_start()));
    if (const core::Result checked = image.verify()) {
        console.print(failure_text(*checked, image.header().device_name, shown_path));
        return checked->outcome();
    }
    console.print(CHECKSUM_OK_TEXT);
    return std::nullopt;
}

Ending failed(DeviceRun& run, core::Outcome outcome, const std::string& message) {
    std::string text = message;
    if (const char* step = next_step(outcome)) {
        run.record.set_next_step(step);
        text += wrapped(step);
    }
    run.console.print(text);
    return outcome;
}

Ending failed(DeviceRun& run, const core::Failure& failure) {
    if (failure.fault == core::Fault::port_lost) run.record.set_port_help({PORT_LOST_TEXT});
    return failed(run, failure.outcome(), failure_text(failure, run.image.header().device_name, run.shown_path));
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

Ending download_flash(DeviceRun& run, core::Events& shown) {
    run.record.begin(Phase::flash);
    BothListeners events(shown, run.record);
    if (const core::Result failure = core::download_flash(run.link, run.image, events)) return failed(run, *failure);
    run.record.end_phase();
    if (const std::string advice = adapter_advice(run.record); !advice.empty()) run.console.print(advice);
    return std::nullopt;
}

std::string adapter_advice(const RunRecord& record) {
    const core::ReplySummary replies = record.replies().summary();
    return replies.count > 0 && replies.median_us > core::SLOW_REPLY_US ? slow_adapter_text(replies) : "";
}

Ending download_eeprom(DeviceRun& run, core::Events& shown) {
    BothListeners events(shown, run.record);
    const core::ReadBack found = core::download_eeprom(run.link, run.image, events);
    run.record.eeprom_totals(found);
    if (found.clean()) {
        run.console.print(EEPROM_COMPLETED_TEXT);
        return core::Outcome::completed;
    }
    if (found.port_lost) run.record.set_port_help({PORT_LOST_TEXT});
    return failed(run, found.outcome(), read_back_failed_text(found));
}

}  // namespace frontend
