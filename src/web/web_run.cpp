// The web page's update run: the console updater's steps, messages and run record over the same
// core, each step started by the page's script. A run is an object the page owns: it makes one
// for each file it checks, passes it to every step, and frees it when the next run begins.
// Messages go to the page as the console would print them (Module.onText), progress as events
// (Module.onEvent); the port is the page's Web Serial port.
#include <emscripten.h>

#include <cstdio>
#include <string>

#include "core/eeprom_transfer.h"
#include "core/flash_transfer.h"
#include "core/layout.h"
#include "core/update_image.h"
#include "core/usb_serial_chips.h"
#include "frontend/estimate.h"
#include "frontend/run_record.h"
#include "frontend/shown_text.h"
#include "frontend/steps.h"
#include "frontend/text.h"
#include "platform/record_file.h"
#include "platform/web_serial_port.h"

namespace {

// What the page hears of, besides text. A progress event's third value is the time left in whole
// seconds, or NOT_KNOWN while too few steps are done to tell.
enum class PageEvent { flash_progress = 1, eeprom_write_progress, read_back_progress, difference, pause_started };
constexpr unsigned NOT_KNOWN = 0xFFFFFFFF;

EM_JS(void, page_text, (const char* text), { Module.onText(UTF8ToString(text)); });

EM_JS(void, page_event, (int kind, unsigned a, unsigned b, unsigned c), { Module.onEvent(kind, a, b, c); });

void event(PageEvent kind, unsigned a, unsigned b, unsigned c = 0) { page_event(static_cast<int>(kind), a, b, c); }

// The page's transcript: text as the console would print it. The last text said is what a failed
// step ended with, for the result panel.
class PageText : public frontend::Console {
public:
    void print(const std::string& text) override {
        page_text(text.c_str());
        last_ = text;
    }
    const std::string& last() const { return last_; }

private:
    std::string last_;
};

// How the messages name the port: the page knows no more of it than the browser's chooser shows.
const std::string PORT_NAME = "Serial port";

class PageEvents : public core::Events {
public:
    explicit PageEvents(PageText& text) : text_(text) {}
    void flash_started() override {
        text_.print(frontend::FLASH_STARTED_TEXT);
        started_ms_ = record_file::monotonic_ms();
    }
    void flash_record_accepted(uint32_t done) override {
        event(PageEvent::flash_progress, done, done * 100u / core::FLASH_DATA_SIZE,
              left(done / core::RECORD_DATA_SIZE, core::RECORD_COUNT));
    }
    void flash_pause_started(unsigned ms) override { event(PageEvent::pause_started, ms, 0); }
    void flash_completed() override { text_.print(frontend::FLASH_COMPLETED_TEXT); }
    void eeprom_write_started() override {
        text_.print(frontend::EEPROM_WRITE_TEXT);
        started_ms_ = record_file::monotonic_ms();
    }
    void read_back_started() override {
        text_.print(frontend::READ_BACK_TEXT);
        in_read_back_ = true;
        started_ms_ = record_file::monotonic_ms();
    }
    void eeprom_chunk(uint32_t a, unsigned percent) override {
        event(in_read_back_ ? PageEvent::read_back_progress : PageEvent::eeprom_write_progress, a, percent,
              left(a / core::EEPROM_CHUNK, core::EEPROM_SIZE / core::EEPROM_CHUNK));
    }
    void read_back_difference(uint32_t a, unsigned percent, uint16_t received, uint8_t expected) override {
        text_.print(frontend::progress_text(a, static_cast<long>(percent)) + frontend::difference_text(a, received, expected));
        event(PageEvent::difference, a, received, expected);
    }

private:
    // The bar's time left, after `done` of `total` steps since its start.
    unsigned left(uint32_t done, uint32_t total) const {
        const double seconds = frontend::seconds_left((record_file::monotonic_ms() - started_ms_) / 1000.0, done, total);
        return seconds < 0 ? NOT_KNOWN : static_cast<unsigned>(seconds + 0.5);
    }

    PageText& text_;
    bool in_read_back_ = false;
    long long started_ms_ = 0;
};

}  // namespace

// One run of the page: from the file picked to the result.
struct PageRun {
    explicit PageRun(const char* name) : shown_path(frontend::shown_text(name)), record(&log, UPDATER_VERSION) {
        std::string unused;
        log.open(name, unused);
    }

    frontend::DeviceRun device() { return {image, link, record, text, shown_path, false}; }

    // The outcome a failed step ended with, its text kept for the result panel.
    int ended(frontend::Ending ending) {
        result = text.last();
        record.settle(*ending);
        return static_cast<int>(*ending);
    }

    PageText text;
    std::string shown_path;
    record_file::LogFile log;  // the page's: the record's line goes to the page
    frontend::RunRecord record;
    core::UpdateImage image{0};
    platform::WebSerialPort port;
    core::Link link{port};
    bool port_open = false;
    std::string identity;  // the adapter's chip, where it is a known one
    std::string header;    // a header field, the banner or the advice, as last asked for
    std::string result;    // the text of the step that failed
};

extern "C" {

// A new run for the update file named name; the page frees it with web_free_run.
EMSCRIPTEN_KEEPALIVE PageRun* web_new_run(const char* name) { return new PageRun(name); }

EMSCRIPTEN_KEEPALIVE void web_free_run(PageRun* run) { delete run; }

// Judges the update file's bytes as the console updater judges its own file. The outcome: 0, or
// file_error's status after the messages.
EMSCRIPTEN_KEEPALIVE int web_check_file(PageRun* run, const uint8_t* data, size_t length) {
    run->record.set_update_file_path(run->shown_path, run->shown_path);
    run->record.begin(frontend::Phase::file_check);
    const long offset = core::find_payload_offset(data, length);
    if (offset < 0) {
        run->text.print(frontend::not_an_update_file_text(run->shown_path));
        return run->ended(core::Outcome::file_error);
    }
    run->image = core::UpdateImage(offset);
    const core::Result judged = run->image.open(data, length);
    frontend::Ending ended = frontend::file_checked(run->image, judged, run->record, run->text, run->shown_path);
    if (!ended) ended = frontend::image_verified(run->image, run->text, run->shown_path);
    if (ended) return run->ended(ended);
    run->record.end_phase();
    return 0;
}

// The header of the file checked: 0 the device, 1 the version, 2 the year; 3 the banner.
EMSCRIPTEN_KEEPALIVE const char* web_header(PageRun* run, int field) {
    const core::HeaderFields& header = run->image.header();
    switch (field) {
        case 0: run->header = header.device_name; break;
        case 1: run->header = header.version; break;
        case 2: run->header = header.year; break;
        default: run->header = frontend::banner_text(header); break;
    }
    return run->header.c_str();
}

// The page opened the port the person chose; vendor and product are its USB ids, 0 when the port
// has none; chip the adapter's chip as the page's driver for it tells, else empty; serial its serial
// number, empty when it has none. Returns the adapter's chip when it is a known one, else an empty
// text.
EMSCRIPTEN_KEEPALIVE const char* web_port_opened(PageRun* run, unsigned vendor, unsigned product, const char* chip,
                                                 const char* serial) {
    const core::UsbSerialChip* known = vendor != 0 ? core::find_usb_serial_chip(vendor, product) : nullptr;
    run->identity = *chip != '\0' ? chip : known != nullptr ? known->chip : "";
    if (*serial != '\0') run->identity += std::string(run->identity.empty() ? "" : ", ") + "serial " + serial;
    char device[32] = "";
    if (vendor != 0) std::snprintf(device, sizeof device, "usb %04x:%04x", vendor, product);
    run->port_open = true;
    run->record.set_port(PORT_NAME, device, run->identity);
    run->text.print(PORT_NAME + " connected\n");
    return run->identity.c_str();
}

// The port could not be opened: the system's reason and what the person can do, as a port error;
// help is the page's own line on it, or empty for the help on a port that another program holds.
EMSCRIPTEN_KEEPALIVE int web_port_failed(PageRun* run, const char* reason, const char* help) {
    std::vector<std::string> lines{help};
    if (*help == '\0') {
        serial::PortProblem busy;
        busy.kind = serial::PortProblem::Kind::busy;
        lines = frontend::port_help(busy, PORT_NAME, "");
    }
    run->record.set_port_help(lines);
    frontend::DeviceRun device = run->device();
    return run->ended(frontend::failed(
        device, core::Outcome::port_error,
        frontend::port_failure_text(serial::OpenStatus::other_problem, serial::ConfigStatus::configured, PORT_NAME,
                                    reason) +
            frontend::help_text(lines, false)));
}

// The FLASH transfer. The outcome: 0, or the failure's status after its messages.
EMSCRIPTEN_KEEPALIVE int web_download_flash(PageRun* run) {
    frontend::DeviceRun device = run->device();
    PageEvents shown(run->text);
    if (const frontend::Ending ended = frontend::download_flash(device, shown)) return run->ended(ended);
    return 0;
}

// The slow-adapter advice after the FLASH, with how long the EEPROM takes: for the EEPROM question.
EMSCRIPTEN_KEEPALIVE const char* web_adapter_advice(PageRun* run) {
    run->header = frontend::adapter_advice(run->record);
    return run->header.c_str();
}

// The EEPROM transfer and its read-back. The outcome: 0, or the status its findings end the run with.
EMSCRIPTEN_KEEPALIVE int web_download_eeprom(PageRun* run) {
    frontend::DeviceRun device = run->device();
    PageEvents shown(run->text);
    const frontend::Ending ended = frontend::download_eeprom(device, shown);
    return *ended == core::Outcome::completed ? 0 : run->ended(ended);
}

// The text of the step that failed, for the result panel.
EMSCRIPTEN_KEEPALIVE const char* web_result_text(PageRun* run) { return run->result.c_str(); }

// outcome's name in the run record.
EMSCRIPTEN_KEEPALIVE const char* web_outcome_name(int outcome) {
    return core::outcome_name(static_cast<core::Outcome>(outcome));
}

// The exit path: releases the image, closes the port and writes the run record with the outcome
// (Module.onRecord).
EMSCRIPTEN_KEEPALIVE void web_end(PageRun* run, int outcome) {
    const auto ending = static_cast<core::Outcome>(outcome);
    run->record.settle(ending);
    run->record.finish(ending, outcome);
    run->image.release();
    if (run->port_open) {
        run->port.close();
        run->port_open = false;
        run->text.print(PORT_NAME + " disconnected\n");
    }
}

}  // extern "C"
