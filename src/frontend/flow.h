// The update flow every front end runs: the run's steps in their order, written once. What differs
// between front ends comes in through small interfaces each implements: the dialog (where text
// goes, where keys come from), the shown events (where progress goes), the port choice (choosing
// and opening the port) and the EEPROM question. A step returns; the flow decides what ends the run.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "core/eeprom_transfer.h"
#include "core/events.h"
#include "core/failure.h"
#include "core/port.h"
#include "core/signature.h"
#include "core/update_image.h"
#include "frontend/dialog.h"
#include "frontend/run_record.h"

namespace frontend {

// Where the update stands after a step: empty while it goes on, else the outcome it stopped with.
using Stopped = std::optional<core::Outcome>;

// What the updaters' build fixes, for every front end: its version, which the record names, and
// where the payload of its update files starts.
struct Build {
    const char* version;
    long payload_offset;
    const core::TrustedKeys* trusted_keys = nullptr;  // the keys a file must be signed by (pinned, given)
};

// How a front end runs the flow.
struct Settings {
    uint16_t chunk = core::EEPROM_CHUNK;  // EEPROM bytes a frame, 1 to 255
    bool unattended = false;              // no person at the console: help in one line
    bool enter_at_end = false;            // "Press Enter to exit !" before the record is written
    bool image_with_file = false;         // the image's checksum test right after the file's, before the port
    bool banner = true;                   // the banner said after the file's check (the page shows it apart)
    bool file_shared = false;             // the file serves other runs too: its owner releases it
    const core::TrustedKeys* trusted_keys = nullptr;  // with any, a file not signed by one is refused
};

// The update file a run updates from, opened and judged once; a station's devices share it.
struct UpdateFile {
    explicit UpdateFile(long payload_offset) : image(payload_offset) {}
    ~UpdateFile() { release(); }
    UpdateFile(const UpdateFile&) = delete;
    UpdateFile& operator=(const UpdateFile&) = delete;

    // Releases the image and closes the file; nothing when done already.
    void release();
    // Closes the file, the image kept: it is in memory once checked.
    void close_file();

    core::UpdateImage image;
    std::FILE* file = nullptr;  // open from the file's check to the release: one opening serves the run
    std::string shown_path;     // the file as its messages name it
    bool verified = false;      // its 500 records passed the checksum test
};

// The port as a front end chooses and opens it: a key at the prompt, a name given, the browser's
// chooser.
class PortChoice {
public:
    virtual ~PortChoice() = default;

    // Chooses and opens the port: says "<port> connected" and records it, or says why not, with
    // the help (in one line when settings say nobody is at the console), and returns the outcome
    // the run stops with.
    virtual Stopped open(const Settings& settings, RunRecord& record, Dialog& dialog) = 0;

    // The open port, for the transfers.
    virtual core::Port& port() = 0;

    // Closes the port when it is open; returns the name to say it disconnected by, or empty when
    // nothing is to be said.
    virtual std::string close() = 0;
};

// The question after the FLASH and its pause: write the EEPROM too?
class EepromQuestion {
public:
    virtual ~EepromQuestion() = default;

    // True to write the EEPROM; advice is the slow-adapter advice, or empty.
    virtual bool write_eeprom(Dialog& dialog, const std::string& advice) = 0;
};

// An answer given before the run: --eeprom or --no-eeprom, a station's plan.
class GivenAnswer : public EepromQuestion {
public:
    explicit GivenAnswer(bool write) : write_(write) {}
    bool write_eeprom(Dialog&, const std::string&) override { return write_; }

private:
    bool write_;
};

// The console's prompt: e or E writes, ESC (or the end of input) does not; other keys are ignored.
class EepromPrompt : public EepromQuestion {
public:
    bool write_eeprom(Dialog& dialog, const std::string& advice) override;
};

// What differs between front ends, as a front end hands it to the flow.
struct FrontEnd {
    Dialog& dialog;          // the run's text, and its keys
    core::Events& shown;     // progress, as the front end shows it
    PortChoice& port;        // the port
    EepromQuestion& eeprom;  // the EEPROM question
};

// One run of the update: its steps in their order, and its ending.
class UpdateFlow {
public:
    UpdateFlow(UpdateFile& file, RunRecord& record, FrontEnd front_end, Settings settings);

    // The whole run from the update file at path (named as shown_path), to the outcome it ends with.
    core::Outcome run(const char* path, const std::string& shown_path);

    // The update file at path, kept open for the run: its check (a file that cannot be opened is
    // said with the system's reason), the banner, and with image_with_file the image's check.
    Stopped check_file(const char* path, const std::string& shown_path);

    // The same for an update file held in memory, named as name; its payload is where its stub's
    // mark says.
    Stopped check_bytes(const uint8_t* data, size_t length, const std::string& name);

    // The device's update once its file is checked: the port, the image's check unless done, the
    // FLASH with its pause, the EEPROM question, the EEPROM. The outcome it ends with.
    core::Outcome update_device();

    // The ending, on every end: the record settled and written, the file released (unless shared),
    // the port closed and said so, and Enter asked for where the settings say. A record that could
    // not be written is said (and kept in record_problem()); unattended, a completed update then
    // ends as record_not_written. The outcome the run ends with.
    core::Outcome end(core::Outcome outcome);

    // What the person reads as the result, once the run has ended: the text of the step that
    // failed, or the lines that said what was completed.
    const std::string& result_text() const;

    // Why the record could not be written, or empty.
    const std::string& record_problem() const { return record_problem_; }

    // What the EEPROM's read-back found, once it ran.
    const core::ReadBack& read_back() const { return read_back_; }

    // The file's signature as judged with its check.
    const core::SignatureFinding& signature() const { return signature_; }

private:
    Stopped judged(const core::Failed& failure);
    Stopped after_file_check(Stopped stopped);
    Stopped verify_image();
    Stopped download_flash();
    core::Outcome download_eeprom();
    Stopped failed(core::Outcome outcome, const std::string& message);
    Stopped failed(core::Outcome outcome, const std::string& message, const char* step);
    Stopped failed(const core::Failure& failure);
    void completed(const std::string& text);
    bool finish_record(core::Outcome outcome);

    // The front end's dialog, its last text kept: the text a failed step ended with.
    class KeptDialog : public Dialog {
    public:
        explicit KeptDialog(Dialog& dialog) : dialog_(dialog) {}
        void print(const std::string& text) override {
            dialog_.print(text);
            last_ = text;
        }
        int read_key() override { return dialog_.read_key(); }
        bool key_waiting() override { return dialog_.key_waiting(); }
        const std::string& last() const { return last_; }

    private:
        Dialog& dialog_;
        std::string last_;
    };

    UpdateFile& file_;
    RunRecord& record_;
    FrontEnd front_;
    Settings settings_;
    KeptDialog said_;
    std::string completed_;  // the lines that said what was completed, one a line
    std::string failure_;    // the text of the step that failed
    bool completed_run_ = false;
    std::string record_problem_;
    core::ReadBack read_back_;
    core::SignatureFinding signature_;
};

// The core's events as the console shows them: the transfers' fixed lines, progress rewritten in
// place, and the read-back's differences; a waiting key ends a read-back chunk early.
class ConsoleEvents : public core::Listener {
public:
    explicit ConsoleEvents(Dialog& dialog) : dialog_(dialog) {}
    void flash_started() override;
    void flash_record_accepted(uint32_t done) override;
    void flash_completed() override;
    void eeprom_write_started() override;
    void read_back_started() override;
    void eeprom_chunk(uint32_t a, unsigned percent) override;
    void read_back_difference(uint32_t a, unsigned percent, uint16_t received, uint8_t expected) override;
    bool stop_requested() override { return dialog_.key_waiting(); }

private:
    Dialog& dialog_;
};

// The share of the FLASH done once the record ending before `done` is accepted: up to 100.
unsigned flash_percent(uint32_t done);

// The slow-adapter advice after the FLASH replies the record holds, with how long the EEPROM takes
// with this adapter, chunk bytes a frame; empty when they came in time.
std::string adapter_advice(const RunRecord& record, uint16_t chunk);

// A port as given on the command line: "COMn" (any n from 1) opens COMn as the key n would, else it
// is a device path; name is how the messages name it.
struct NamedPort {
    unsigned n = 0;
    std::string path;
    std::string name;
};
NamedPort named_port(const std::string& given);

}  // namespace frontend
