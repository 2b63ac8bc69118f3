// The web page's update run: the flow every front end runs, its messages and its run record over the
// same core, with the page as its front end. A run is an object the page owns: it makes one for
// each file it checks and frees it when the next run begins. Messages go to the page as the console
// would print them (Module.onText), progress as events (Module.onEvent); the port is the one the
// person chose in the browser, opened when the flow asks (Module.frontEnd.openPort), and the EEPROM
// question is a promise the page resolves from its buttons and keys (Module.frontEnd.askEeprom).
// Everything the page shares with the core comes from web_table(), one JSON object.
#include <emscripten.h>

#include <cstdio>
#include <string>

#include "core/eeprom_transfer.h"
#include "core/flash_transfer.h"
#include "core/layout.h"
#include "core/port.h"
#include "core/update_image.h"
#include "core/usb_serial_chips.h"
#include "frontend/estimate.h"
#include "frontend/flow.h"
#include "frontend/json_text.h"
#include "frontend/run_record.h"
#include "frontend/shown_text.h"
#include "frontend/text.h"
#include "platform/monotonic_clock.h"
#include "platform/record_file.h"
#include "platform/web_serial_port.h"

namespace {

// What the page hears of, besides text. A progress event's third value is the time left in whole
// seconds, or NOT_KNOWN while too few steps are done to tell.
enum class PageEvent { flash_progress = 1, eeprom_write_progress, read_back_progress, difference, pause_started };
constexpr unsigned NOT_KNOWN = 0xFFFFFFFF;

// The header's fields, as web_header() takes them.
enum class HeaderField { device, version, year, banner };

// The keys of the EEPROM question, as the browser names them: the console's e, E and ESC.
constexpr const char* WRITE_KEYS[] = {"e", "E"};
constexpr const char* SKIP_KEY = "Escape";

EM_JS(void, page_text, (const char* text), { Module.onText(UTF8ToString(text)); });

EM_JS(void, page_event, (int kind, unsigned a, unsigned b, unsigned c, const char* text),
      { Module.onEvent(kind, a, b, c, UTF8ToString(text)); });

void event(PageEvent kind, unsigned a, unsigned b, unsigned c = 0, const std::string& text = "") {
    page_event(static_cast<int>(kind), a, b, c, text.c_str());
}

// Opens the port the person chose: true when it opened.
EM_ASYNC_JS(int, page_open_port, (), { return (await Module.frontEnd.openPort()) ? 1 : 0; });

// The USB ids of the port opened, vendor in the high half; 0 for a port without them.
EM_JS(unsigned, page_port_usb_ids, (), { return Module.frontEnd.portIds(); });

// What the page tells of its port, as PortText names it, into text (size bytes at most).
enum class PortText { chip, serial_number, error, help };
EM_JS(void, page_port_text, (int which, char* text, int size), {
    stringToUTF8(Module.frontEnd.portText(which), text, size);
});

std::string port_text(PortText which) {
    char text[512] = "";
    page_port_text(static_cast<int>(which), text, sizeof text);
    return text;
}

// The port is open: the page shows its adapter and the transfer.
EM_JS(void, page_port_opened, (const char* identity), { Module.frontEnd.portOpened(UTF8ToString(identity)); });

// The EEPROM question, answered by the person: true to write it.
EM_ASYNC_JS(int, page_ask_eeprom, (const char* advice), {
    return (await Module.frontEnd.askEeprom(UTF8ToString(advice))) ? 1 : 0;
});

// The page's transcript: text as the console would print it.
class PageText : public frontend::Dialog {
public:
    void print(const std::string& text) override { page_text(text.c_str()); }
};

// How the messages name the port: the page knows no more of it than the browser's chooser shows.
const std::string PORT_NAME = "Serial port";

// The port the person chose in the browser, opened when the flow asks for it.
class PagePort : public frontend::PortChoice {
public:
    frontend::Stopped open(const frontend::Settings& settings, frontend::RunRecord& record,
                           frontend::Dialog& dialog) override {
        if (page_open_port() == 0) {
            // The transport's own line on what to try, or the help on a port another program holds.
            std::vector<std::string> help{port_text(PortText::help)};
            if (help[0].empty()) {
                serial::PortProblem busy;
                busy.kind = serial::PortProblem::Kind::busy;
                help = frontend::port_help(busy, PORT_NAME, "");
            }
            record.set_port_help(help);
            dialog.print(frontend::port_failure_text(serial::OpenStatus::other_problem, serial::ConfigStatus::configured,
                                                     PORT_NAME, port_text(PortText::error)) +
                         frontend::help_text(help, settings.unattended));
            return core::Outcome::port_error;
        }
        open_ = true;
        const unsigned ids = page_port_usb_ids();
        const unsigned vendor = ids >> 16, product = ids & 0xFFFF;
        // The chip as the page's driver for it tells, else as its ids are known; its serial number.
        const core::UsbSerialChip* known = vendor != 0 ? core::find_usb_serial_chip(vendor, product) : nullptr;
        std::string identity = port_text(PortText::chip);
        if (identity.empty() && known != nullptr) identity = known->chip;
        if (const std::string serial = port_text(PortText::serial_number); !serial.empty()) {
            identity += std::string(identity.empty() ? "" : ", ") + "serial " + serial;
        }
        char device[32] = "";
        if (vendor != 0) std::snprintf(device, sizeof device, "usb %04x:%04x", vendor, product);
        record.set_port(PORT_NAME, device, identity);
        dialog.print(PORT_NAME + " connected\n");
        page_port_opened(identity.c_str());
        return std::nullopt;
    }
    core::Port& port() override { return port_; }
    std::string close() override {
        if (!open_) return "";
        port_.close();
        open_ = false;
        return PORT_NAME;
    }

private:
    platform::WebSerialPort port_;
    bool open_ = false;
};

// The page's buttons and keys answer the EEPROM question.
class PageQuestion : public frontend::EepromQuestion {
public:
    bool write_eeprom(frontend::Dialog&, const std::string& advice) override { return page_ask_eeprom(advice.c_str()) != 0; }
};

// The core's events as the page shows them: the transfers' fixed lines in the transcript, the bars
// with their time left, and the read-back's differences.
class PageEvents : public core::Listener {
public:
    PageEvents(PageText& text, uint16_t chunk) : text_(text), chunk_(chunk) {}
    void flash_started() override {
        text_.print(frontend::FLASH_STARTED_TEXT);
        started_ms_ = monotonic_clock::now_ms();
    }
    void flash_record_accepted(uint32_t done) override {
        event(PageEvent::flash_progress, done, frontend::flash_percent(done),
              left(done / core::RECORD_DATA_SIZE, core::RECORD_COUNT));
    }
    void flash_pause_started(unsigned ms) override { event(PageEvent::pause_started, ms, 0); }
    void flash_completed() override { text_.print(frontend::FLASH_COMPLETED_TEXT); }
    void eeprom_write_started() override {
        text_.print(frontend::EEPROM_WRITE_TEXT);
        started_ms_ = monotonic_clock::now_ms();
    }
    void read_back_started() override {
        text_.print(frontend::READ_BACK_TEXT);
        in_read_back_ = true;
        started_ms_ = monotonic_clock::now_ms();
    }
    void eeprom_chunk(uint32_t a, unsigned percent) override {
        event(in_read_back_ ? PageEvent::read_back_progress : PageEvent::eeprom_write_progress, a, percent,
              left(a / chunk_, (core::EEPROM_SIZE + chunk_ - 1) / chunk_));
    }
    void read_back_difference(uint32_t a, unsigned percent, uint16_t received, uint8_t expected) override {
        text_.print(frontend::progress_text(a, static_cast<long>(percent)) + frontend::difference_text(a, received, expected));
        event(PageEvent::difference, a, received, expected, difference_line(a, received, expected));
    }

private:
    // The bar's time left, after `done` of `total` steps since its start.
    unsigned left(uint32_t done, uint32_t total) const {
        const double seconds = frontend::seconds_left((monotonic_clock::now_ms() - started_ms_) / 1000.0, done, total);
        return seconds < 0 ? NOT_KNOWN : static_cast<unsigned>(seconds + 0.5);
    }

    // A difference as the page lists it: "1A: 5, expected 7", "1A: not received, expected 7".
    static std::string difference_line(uint32_t a, uint16_t received, uint8_t expected) {
        char line[64];
        if (received == core::NO_BYTE) {
            std::snprintf(line, sizeof line, "%lX: not received, expected %X", static_cast<unsigned long>(a), expected);
        } else {
            std::snprintf(line, sizeof line, "%lX: %X, expected %X", static_cast<unsigned long>(a), received, expected);
        }
        return line;
    }

    PageText& text_;
    const uint16_t chunk_;
    bool in_read_back_ = false;
    long long started_ms_ = 0;
};

// How the page runs the flow: a person at the page, the image checked with its file, the banner
// shown apart from the transcript, no Enter at the end, a file signed by one of the page's keys
// where it has any.
frontend::Settings page_settings(const core::TrustedKeys* keys = nullptr) {
    frontend::Settings settings;
    settings.image_with_file = true;
    settings.banner = false;
    settings.trusted_keys = keys;
    return settings;
}

}  // namespace

// One run of the page: from the file picked to the result.
struct PageRun {
    explicit PageRun(const char* name)
        : record(&log, UPDATER_VERSION), file(0), shown(text, page_settings().chunk),
          flow(file, record, {text, shown, port, question}, page_settings(&keys)), name(name) {
        std::string unused;
        log.open(name, unused);
    }

    record_file::LogFile log;  // the page's: the record's line goes to the page
    core::TrustedKeys keys;    // the page's own (trusted_keys.js)
    frontend::RunRecord record;
    frontend::UpdateFile file;
    PageText text;
    PageEvents shown;
    PagePort port;
    PageQuestion question;
    frontend::UpdateFlow flow;
    std::string name;
    std::string header;  // a header field, the banner or the signature, as last asked for
};

extern "C" {

// What the page shares with the core, as one JSON object: the event kinds and NOT_KNOWN, the
// outcomes' statuses by name, the header's fields, the pause after the FLASH, the port's write
// bound (as port.js takes it), what portText() is asked for, the EEPROM question's keys, and the
// texts the page shows of the core's: the note during the pause, and the port's name; and the USB
// serial chips the page's WebUSB drivers know.
EMSCRIPTEN_KEEPALIVE const char* web_table() {
    static std::string table;
    if (!table.empty()) return table.c_str();
    frontend::JsonText json;
    json.object("events")
        .field("flash_progress", static_cast<long long>(PageEvent::flash_progress))
        .field("eeprom_write_progress", static_cast<long long>(PageEvent::eeprom_write_progress))
        .field("read_back_progress", static_cast<long long>(PageEvent::read_back_progress))
        .field("difference", static_cast<long long>(PageEvent::difference))
        .field("pause_started", static_cast<long long>(PageEvent::pause_started))
        .end();
    json.field("not_known", static_cast<long long>(NOT_KNOWN));
    json.object("outcomes");
    for (int status = 0; status <= static_cast<int>(core::LAST_OUTCOME); ++status) {
        json.field(core::outcome_name(static_cast<core::Outcome>(status)), static_cast<long long>(status));
    }
    json.end();
    json.object("header_fields")
        .field("device", static_cast<long long>(HeaderField::device))
        .field("version", static_cast<long long>(HeaderField::version))
        .field("year", static_cast<long long>(HeaderField::year))
        .field("banner", static_cast<long long>(HeaderField::banner))
        .end();
    json.field("pause_ms", static_cast<long long>(core::PAUSE_AFTER_FLASH_MS));
    json.object("write_bound")
        .field("msPerByte", static_cast<long long>(core::write_limit_ms(1) - core::write_limit_ms(0)))
        .field("msFixed", static_cast<long long>(core::write_limit_ms(0)))
        .end();
    json.object("port_texts")
        .field("chip", static_cast<long long>(PortText::chip))
        .field("serial_number", static_cast<long long>(PortText::serial_number))
        .field("error", static_cast<long long>(PortText::error))
        .field("help", static_cast<long long>(PortText::help))
        .end();
    json.object("keys")
        .field("write_eeprom", std::vector<std::string>(std::begin(WRITE_KEYS), std::end(WRITE_KEYS)))
        .field("skip_eeprom", std::vector<std::string>{SKIP_KEY})
        .end();
    char pause[64];
    std::snprintf(pause, sizeof pause, "The device settles for %u seconds\xE2\x80\xA6", core::PAUSE_AFTER_FLASH_MS / 1000);
    json.object("texts").field("pause", pause).field("port_name", PORT_NAME).end();
    // The USB serial chips by their ids, "vvvv:pppp", or "vvvv" for any product of the vendor: each
    // chip's name and the family of requests it speaks, for the page's chooser and its drivers.
    json.object("usb_chips");
    for (const core::UsbSerialChip& chip : core::usb_serial_chips()) {
        char ids[16];
        if (chip.product == 0) {
            std::snprintf(ids, sizeof ids, "%04x", chip.vendor);
        } else {
            std::snprintf(ids, sizeof ids, "%04x:%04x", chip.vendor, chip.product);
        }
        json.object(ids).field("chip", chip.chip).field("family", core::usb_serial_family_name(chip.family)).end();
    }
    json.end();
    table = json.line();
    return table.c_str();
}

// A new run for the update file named name; the page frees it with web_free_run.
EMSCRIPTEN_KEEPALIVE PageRun* web_new_run(const char* name) { return new PageRun(name); }

EMSCRIPTEN_KEEPALIVE void web_free_run(PageRun* run) { delete run; }

// Judges the update file's bytes as the console updater judges its own file, and checks its image.
// The outcome: completed's status, or file_error's after the messages.
EMSCRIPTEN_KEEPALIVE int web_check_file(PageRun* run, const uint8_t* data, size_t length) {
    return static_cast<int>(run->flow.check_bytes(data, length, run->name).value_or(core::Outcome::completed));
}

// Makes the run take only files signed by the P-256 public key in pem, or by another key it was
// given: "" when the key is taken, else what is wrong with it.
EMSCRIPTEN_KEEPALIVE const char* web_trust_key(PageRun* run, const char* pem) {
    core::PublicKey key;
    const char* problem = core::parse_public_key(pem, key);
    if (problem == nullptr) run->keys.push_back(key);
    return problem != nullptr ? problem : "";
}

// The signature of the file checked, in words: "signed by key <id>", "not signed", ...
EMSCRIPTEN_KEEPALIVE const char* web_signature(PageRun* run) {
    run->header = core::signature_text(run->flow.signature());
    return run->header.c_str();
}

// A field of the header of the file checked, as the table's header_fields name it.
EMSCRIPTEN_KEEPALIVE const char* web_header(PageRun* run, int field) {
    const core::HeaderFields& header = run->file.image.header();
    switch (static_cast<HeaderField>(field)) {
        case HeaderField::device: run->header = header.device_name; break;
        case HeaderField::version: run->header = header.version; break;
        case HeaderField::year: run->header = header.year; break;
        default: run->header = frontend::banner_text(header); break;
    }
    return run->header.c_str();
}

// The device's update, from the port the person chose to the EEPROM; the outcome's status.
EMSCRIPTEN_KEEPALIVE int web_update(PageRun* run) { return static_cast<int>(run->flow.update_device()); }

// The ending: the record written with the outcome (Module.onRecord), the image released and the
// port closed.
EMSCRIPTEN_KEEPALIVE void web_end(PageRun* run, int outcome) { run->flow.end(static_cast<core::Outcome>(outcome)); }

// The result's text: what the step that failed said, or the lines of what was completed.
EMSCRIPTEN_KEEPALIVE const char* web_result_text(PageRun* run) { return run->flow.result_text().c_str(); }

// 1 when the read-back found no byte that differs but left bytes unverified, else 0.
EMSCRIPTEN_KEEPALIVE int web_eeprom_unverified(PageRun* run) { return run->flow.read_back().unverified() ? 1 : 0; }

// outcome's name in the run record.
EMSCRIPTEN_KEEPALIVE const char* web_outcome_name(int outcome) {
    return core::outcome_name(static_cast<core::Outcome>(outcome));
}

}  // extern "C"
