// The web page's update run: the console updater's steps, messages and run record over the same
// core, each step started by the page's script. Messages go to the page as the console would print
// them (Module.onText), progress as events (Module.onEvent); the port is the page's Web Serial port.
// The page starts a step only when the one before it succeeded, and ends every run with web_end.
#include <emscripten.h>

#include <memory>
#include <string>

#include "core/eeprom_transfer.h"
#include "core/flash_transfer.h"
#include "core/layout.h"
#include "core/update_image.h"
#include "core/usb_serial_chips.h"
#include "platform/web_serial_port.h"
#include "run/console_text.h"
#include "run/run_record.h"
#include "run/shown_text.h"

namespace {

// What the page hears of, besides text.
enum class PageEvent { flash_progress = 1, eeprom_write_progress, read_back_progress, difference };

EM_JS(void, page_text, (const char* text), { Module.onText(UTF8ToString(text)); });

EM_JS(void, page_event, (int kind, unsigned a, unsigned b, unsigned c), { Module.onEvent(kind, a, b, c); });

void say(const std::string& text) { page_text(text.c_str()); }

void event(PageEvent kind, unsigned a, unsigned b, unsigned c = 0) { page_event(static_cast<int>(kind), a, b, c); }

// One run of the page: from the file picked to the result.
struct PageRun {
    explicit PageRun(long payload_offset) : image(payload_offset) {}

    core::UpdateImage image;
    std::string shown_path;
    platform::WebSerialPort port;
    core::Link link{port};
    bool port_open = false;
    std::string result;  // the last step's text, for the page's result panel
};

// How the messages name the port: the page knows no more of it than the browser's chooser shows.
const std::string PORT_NAME = "Serial port";

std::unique_ptr<PageRun> current;
std::string identity;  // the adapter named by web_port_opened

class PageEvents : public core::Events {
public:
    void flash_started() override { say(run::FLASH_STARTED_TEXT); }
    void flash_reply(uint32_t, unsigned round_trip_us) override { run_record::flash_reply(round_trip_us); }
    void flash_record_accepted(uint32_t done) override {
        event(PageEvent::flash_progress, done, done * 100u / core::FLASH_DATA_SIZE);
    }
    void flash_completed() override { say(run::FLASH_COMPLETED_TEXT); }
    void eeprom_write_started() override {
        say(run::EEPROM_WRITE_TEXT);
        run_record::begin(run_record::Phase::eeprom_write);
    }
    void read_back_started() override {
        say(run::READ_BACK_TEXT);
        in_read_back_ = true;
        run_record::begin(run_record::Phase::read_back);
    }
    void eeprom_chunk(uint32_t a, unsigned percent) override {
        event(in_read_back_ ? PageEvent::read_back_progress : PageEvent::eeprom_write_progress, a, percent);
    }
    void read_back_difference(uint32_t a, uint16_t received, uint8_t expected) override {
        say(run::difference_text(a, received, expected));
        run_record::eeprom_difference(a, received == core::NO_BYTE ? -1 : received, expected);
        event(PageEvent::difference, a, received, expected);
    }
    void eeprom_finished() override { run_record::end_phase(); }
    // A port that went away has nothing more to verify.
    bool stop_requested() override { return platform::WebSerialPort::lost(); }

private:
    bool in_read_back_ = false;
};

// A step failed: its message, what to do next, and the outcome for the page.
int failed(core::Outcome outcome, const std::string& text) {
    std::string shown = text;
    if (const char* step = run::next_step(outcome)) {
        run_record::set_next_step(step);
        shown += std::string(step) + "\n";
    }
    say(shown);
    current->result = shown;
    run_record::settle(core::outcome_name(outcome));
    return static_cast<int>(outcome);
}

}  // namespace

extern "C" {

// Judges the update file's bytes, named name, as the console updater judges its own file, and
// starts a new run record. The outcome: 0, or file_error's status after the messages.
EMSCRIPTEN_KEEPALIVE int web_check_file(const uint8_t* data, size_t length, const char* name) {
    const long offset = core::find_payload_offset(data, length);
    current = std::make_unique<PageRun>(offset < 0 ? 0 : offset);
    current->shown_path = run::shown_text(name);
    std::string reason;
    run_record::start("", UPDATER_VERSION, reason);
    run_record::set_update_file_path(name, current->shown_path);
    run_record::begin(run_record::Phase::file_check);
    if (offset < 0) return failed(core::Outcome::file_error, run::not_an_update_file_text(current->shown_path));
    if (const core::Result opened = current->image.open(data, length)) {
        if (opened->fault == core::Fault::file_damaged) {
            run_record::set_update_file(current->image.length(), current->image.payload_sha256());
        }
        return failed(opened->outcome(), run::failure_text(*opened, "", current->shown_path));
    }
    const core::HeaderFields& header = current->image.header();
    run_record::set_update_file(current->image.length(), current->image.payload_sha256());
    run_record::set_header(header.device_name, header.version, header.year);
    say(run::image_loaded_text(current->image.length(), current->shown_path, current->image.image_start()));
    if (const core::Result checked = current->image.verify()) {
        return failed(checked->outcome(), run::failure_text(*checked, header.device_name, current->shown_path));
    }
    say(run::CHECKSUM_OK_TEXT);
    run_record::end_phase();
    return 0;
}

// The header of the file checked last: 0 the device, 1 the version, 2 the year; 3 the banner.
EMSCRIPTEN_KEEPALIVE const char* web_header(int field) {
    static std::string banner;
    const core::HeaderFields& header = current->image.header();
    switch (field) {
        case 0: return header.device_name;
        case 1: return header.version;
        case 2: return header.year;
        default: banner = run::banner_text(header); return banner.c_str();
    }
}

// The page opened the port the person chose; vendor and product are its USB ids, 0 when the port
// has none. Returns the adapter's chip when it is a known one, else an empty text.
EMSCRIPTEN_KEEPALIVE const char* web_port_opened(unsigned vendor, unsigned product) {
    const core::UsbSerialChip* chip = vendor != 0 ? core::find_usb_serial_chip(vendor, product) : nullptr;
    identity = chip != nullptr ? chip->chip : "";
    char device[32] = "";
    if (vendor != 0) snprintf(device, sizeof device, "usb %04x:%04x", vendor, product);
    current->port_open = true;
    run_record::set_port(PORT_NAME, device, identity);
    say(PORT_NAME + " connected\n");
    return identity.c_str();
}

// The port could not be opened: the system's reason and what the person can do, as a port error.
EMSCRIPTEN_KEEPALIVE int web_port_failed(const char* reason) {
    serial::PortProblem busy;
    busy.kind = serial::PortProblem::Kind::busy;
    std::string text =
        run::port_failure_text(serial::OpenStatus::other_problem, serial::ConfigStatus::configured, PORT_NAME, reason);
    const std::vector<std::string> help = run::port_help(busy, PORT_NAME, "");
    run_record::set_port_help(help);
    for (const std::string& line : help) text += run::wrapped(line);
    return failed(core::Outcome::port_error, text);
}

// The FLASH transfer. The outcome: 0, or the failure's status after its messages.
EMSCRIPTEN_KEEPALIVE int web_download_flash() {
    PageEvents events;
    run_record::begin(run_record::Phase::flash);
    if (const core::Result failure = core::download_flash(current->link, current->image, events)) {
        return failed(failure->outcome(), run::failure_text(*failure, current->image.header().device_name, current->shown_path));
    }
    run_record::end_phase();
    return 0;
}

// The EEPROM transfer and its read-back. The outcome: 0, or the status its findings end the run with.
EMSCRIPTEN_KEEPALIVE int web_download_eeprom() {
    PageEvents events;
    const core::ReadBack found = core::download_eeprom(current->link, current->image, events);
    run_record::eeprom_totals(found.differences, found.missing, found.skipped, found.reread);
    if (found.clean()) {
        say(run::EEPROM_COMPLETED_TEXT);
        return 0;
    }
    return failed(found.outcome(), run::read_back_failed_text(found));
}

// The text of the step that failed last, for the result panel.
EMSCRIPTEN_KEEPALIVE const char* web_result_text() { return current ? current->result.c_str() : ""; }

// outcome's name in the run record.
EMSCRIPTEN_KEEPALIVE const char* web_outcome_name(int outcome) {
    return core::outcome_name(static_cast<core::Outcome>(outcome));
}

// The exit path: releases the image, closes the port and writes the run record with the outcome
// (Module.onRecord).
EMSCRIPTEN_KEEPALIVE void web_end(int outcome) {
    const char* name = core::outcome_name(static_cast<core::Outcome>(outcome));
    run_record::settle(name);
    run_record::finish(name, outcome);
    if (!current) return;
    current->image.release();
    if (current->port_open) {
        current->port.close();
        current->port_open = false;
        say(PORT_NAME + " disconnected\n");
    }
}

}  // extern "C"
