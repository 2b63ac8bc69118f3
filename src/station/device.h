// One device's update as the station and the bench run it: its port, record, events and flow, run
// on a thread of its own. What the table shows is written by that thread and read by the display's;
// the rest is the thread's alone until the update ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "frontend/flow.h"
#include "frontend/run_record.h"
#include "frontend/serial_port_choice.h"
#include "platform/record_file.h"

namespace station {

enum class Stage : int { waiting, opening, flash, pause, eeprom_write, read_back, done };
constexpr const char* STAGE_NAMES[] = {"waiting", "open", "FLASH", "pause", "EEPROM", "verify", "done"};

// A device's text, not shown: the flow keeps what tells how its update ended.
class DeviceText : public frontend::Dialog {
public:
    void print(const std::string&) override {}
};

struct Device;

// A device's port: opened as given (tried again until the device's retry time where an open is
// refused), the table told of it, closed without a word.
class DevicePort : public frontend::GivenPort {
public:
    DevicePort(const std::string& given, Device& device) : GivenPort(given), device_(device) {}
    frontend::Stopped open(const frontend::Settings& settings, frontend::RunRecord& record,
                           frontend::Dialog& dialog) override;
    std::string close() override {
        GivenPort::close();
        return "";
    }

private:
    Device& device_;
};

// The core's events as the table shows them.
class DeviceEvents : public core::Listener {
public:
    explicit DeviceEvents(Device& device) : device_(device) {}
    void flash_record_accepted(uint32_t done) override { show(done, frontend::flash_percent(done)); }
    // Each device settles in its own time after its FLASH.
    void flash_pause_started(unsigned) override { enter(Stage::pause); }
    void eeprom_write_started() override { enter(Stage::eeprom_write); }
    void read_back_started() override { enter(Stage::read_back); }
    void eeprom_chunk(uint32_t a, unsigned percent) override { show(a, percent); }

private:
    void show(uint32_t position, unsigned percent);
    void enter(Stage stage);
    Device& device_;
};

// How each device's update runs: unattended (nobody answers a device's questions, and its help goes
// in one line, whose start the summary shows), the update file checked once for all.
frontend::Settings device_settings();

// One port and the device behind it.
struct Device {
    Device(const std::string& given, bool eeprom, frontend::UpdateFile& file, const frontend::Build& build,
           record_file::LogFile* log)
        : port(given, *this), record(log, build.version), answer(eeprom), shown(*this),
          flow(file, record, {text, shown, port, answer}, device_settings()) {}

    DevicePort port;
    frontend::RunRecord record;
    DeviceText text;
    frontend::GivenAnswer answer;
    DeviceEvents shown;
    frontend::UpdateFlow flow;
    std::string device_path, identity;  // known once the stage has passed opening
    std::string record_problem;         // why the record could not be written, if it could not
    long long retry_open_until_ms = 0;  // an open refused before then is tried again
    long long started_ms = 0, ended_ms = 0;
    core::Outcome outcome = core::Outcome::completed;  // known once the stage is done

    std::atomic<uint32_t> position{0};
    std::atomic<unsigned> percent{0};

    Stage stage() const { return stage_.load(); }
    // Enters a stage; every stage entered is kept, so that none goes unseen between two looks.
    void enter(Stage next) {
        entered_.fetch_or(1u << static_cast<int>(next));
        stage_.store(next);
    }
    // The stages entered so far, a bit each.
    unsigned entered() const { return entered_.load(); }

private:
    std::atomic<Stage> stage_{Stage::waiting};
    std::atomic<unsigned> entered_{0};
};

// The update of one device, from its port's opening to its record: a device thread's work.
void run_device(Device& device);

// An id that the records of one station or bench run share: when it started, and a random part.
std::string station_run_id();

// The first line of a device's last words, without its leading newline.
std::string first_line(const std::string& text);

// text cut to width, its end kept: a device path differs from the next in its end.
std::string fitted(const std::string& text, size_t width);

// The progress column of a device's line: position and share while a transfer runs, else empty.
std::string progress_of(const Device& device);

// The result column of a device whose update has ended: its outcome's name and status.
std::string result_of(const Device& device);

// The line for a device, named by label, that entered a stage, where lines cannot be redrawn.
std::string plain_line(const Device& device, Stage stage, const std::string& label);

}  // namespace station
