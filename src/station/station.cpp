#include "station/station.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <memory>
#include <random>
#include <thread>

#include "frontend/dialog.h"
#include "frontend/flow.h"
#include "frontend/run_record.h"
#include "frontend/serial_port_choice.h"
#include "frontend/shown_text.h"
#include "frontend/text.h"
#include "platform/console.h"
#include "platform/monotonic_clock.h"
#include "platform/record_file.h"

namespace station {

namespace {

// How often the table is drawn anew: as often as a person can read it.
constexpr unsigned REDRAW_MS = 100;

enum class Stage : int { waiting, opening, flash, pause, eeprom_write, read_back, done };
constexpr const char* STAGE_NAMES[] = {"waiting", "open", "FLASH", "pause", "EEPROM", "verify", "done"};

// A device's text, not shown: the flow keeps what tells how its update ended.
class DeviceText : public frontend::Dialog {
public:
    void print(const std::string&) override {}
};

struct Device;

// A device's port: opened as given, the table told of it, closed without a word.
class DevicePort : public frontend::GivenPort {
public:
    DevicePort(const std::string& given, Device& device) : GivenPort(given), device_(device) {}
    frontend::Stopped open(const frontend::Settings& settings, frontend::RunRecord& record, frontend::Dialog& dialog) override;
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
frontend::Settings device_settings() {
    frontend::Settings settings;
    settings.unattended = true;
    settings.image_with_file = true;
    settings.file_shared = true;
    return settings;
}

// One port and the device behind it, updated by a thread of its own. What the table shows is
// written by that thread and read by the station's; the rest is the thread's alone until it ends.
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

frontend::Stopped DevicePort::open(const frontend::Settings& settings, frontend::RunRecord& record,
                                   frontend::Dialog& dialog) {
    device_.enter(Stage::opening);
    if (const frontend::Stopped stopped = GivenPort::open(settings, record, dialog)) {
        device_.device_path = serial_port().device_tried();
        return stopped;
    }
    const serial::PortInfo opened = serial_port().opened();
    device_.device_path = opened.path;
    device_.identity = opened.identity;
    device_.enter(Stage::flash);
    return std::nullopt;
}

void DeviceEvents::show(uint32_t position, unsigned percent) {
    device_.position.store(position, std::memory_order_relaxed);
    device_.percent.store(percent, std::memory_order_relaxed);
}

void DeviceEvents::enter(Stage stage) {
    show(0, 0);
    device_.enter(stage);
}

// The update of one device, from its port's opening to its record: the thread's work.
void run_device(Device& device) {
    device.started_ms = monotonic_clock::now_ms();
    device.outcome = device.flow.end(device.flow.update_device());
    device.record_problem = device.flow.record_problem();
    device.ended_ms = monotonic_clock::now_ms();
    device.enter(Stage::done);
}

// An id that the records of this station run share: when it started, and a random part.
std::string station_run_id() {
    char text[48] = "";
    const std::time_t now = std::time(nullptr);
    if (const std::tm* utc = std::gmtime(&now)) std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", utc);
    std::random_device random;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "-%08x", static_cast<unsigned>(random()));
    return std::string(text) + suffix;
}

// The first line of a device's last words, without its leading newline.
std::string first_line(const std::string& text) {
    const size_t start = text.find_first_not_of('\n');
    if (start == std::string::npos) return "";
    return text.substr(start, text.find('\n', start) - start);
}

// What tells an adapter from the others: its USB serial number where known, else its identity.
std::string adapter_of(const Device& device) {
    const size_t serial = device.identity.rfind("serial ");
    return frontend::shown_text(serial != std::string::npos ? device.identity.substr(serial) : device.identity);
}

// text cut to width, its end kept: a device path differs from the next in its end.
std::string fitted(const std::string& text, size_t width) {
    return text.size() <= width ? text : "~" + text.substr(text.size() - (width - 1));
}

constexpr char TABLE_LINE[] = "%-12s %-16s %-7s %-9s %9s  %s";

// One line of the table, within 79 columns: port, adapter, phase, progress, reply median, result.
std::string table_line(const Device& device) {
    const Stage stage = device.stage();
    const bool opened = stage >= Stage::flash;
    const core::ReplySummary replies = device.record.replies().summary();
    char progress[16] = "";
    if (stage == Stage::flash || stage == Stage::eeprom_write || stage == Stage::read_back) {
        std::snprintf(progress, sizeof progress, "%4lX %3u%%", static_cast<unsigned long>(device.position.load()),
                      device.percent.load());
    }
    char median[16] = "";
    if (replies.count > 0) std::snprintf(median, sizeof median, "%.2f ms", replies.median_us / 1000.0);
    std::string result;
    if (stage == Stage::done) {
        result = std::string(core::outcome_name(device.outcome)) + " " + std::to_string(static_cast<int>(device.outcome));
    }
    char line[128];
    std::snprintf(line, sizeof line, TABLE_LINE, fitted(device.port.given().name, 12).c_str(),
                  opened ? fitted(adapter_of(device), 16).c_str() : "", STAGE_NAMES[static_cast<int>(stage)], progress,
                  median, result.c_str());
    std::string text = line;
    text.erase(text.find_last_not_of(' ') + 1);
    return text.substr(0, 79);
}

// The line for a device that entered a stage, where lines cannot be redrawn.
std::string plain_line(const Device& device, Stage stage) {
    std::string line = device.port.given().name + ": ";
    if (stage != Stage::done) return line + STAGE_NAMES[static_cast<int>(stage)] + "\n";
    line += std::string(core::outcome_name(device.outcome)) + ", status " + std::to_string(static_cast<int>(device.outcome));
    if (device.outcome != core::Outcome::completed) line += ": " + first_line(device.flow.result_text());
    return line + "\n";
}

// The summary's line for a device: its port and adapter, how its update ended and how long it took.
std::string summary_line(const Device& device) {
    std::string line = device.port.given().name;
    if (!device.device_path.empty() && device.device_path != device.port.given().name) {
        line += " " + frontend::shown_text(device.device_path);
    }
    if (const std::string adapter = adapter_of(device); !adapter.empty()) line += " (" + adapter + ")";
    char figures[96];
    std::snprintf(figures, sizeof figures, ": %s, status %d, %.1f s", core::outcome_name(device.outcome),
                  static_cast<int>(device.outcome), (device.ended_ms - device.started_ms) / 1000.0);
    line += figures;
    if (device.outcome != core::Outcome::completed) line += ": " + first_line(device.flow.result_text());
    return line + "\n" + device.record_problem;
}

// What the person at the bench sees while the devices are updated: the table redrawn in place on a
// terminal, else a plain line for every port and phase change.
class Display {
public:
    explicit Display(const std::vector<std::unique_ptr<Device>>& devices)
        : devices_(devices), redraw_(console::output_takes_cursor_moves()), shown_(devices.size(), 0) {}

    void update() {
        std::string text;
        if (redraw_) {
            char heading[96];
            std::snprintf(heading, sizeof heading, TABLE_LINE, "PORT", "ADAPTER", "PHASE", "PROGRESS", "REPLY", "RESULT");
            if (!drawn_) text += std::string(heading) + "\n";
            if (drawn_) text += "\x1b[" + std::to_string(devices_.size()) + "A";
            for (const auto& device : devices_) text += "\r" + table_line(*device) + "\x1b[K\n";
            drawn_ = true;
        } else {
            for (size_t k = 0; k < devices_.size(); ++k) {
                const unsigned entered = devices_[k]->entered();
                for (int stage = static_cast<int>(Stage::opening); stage <= static_cast<int>(Stage::done); ++stage) {
                    if ((entered & ~shown_[k] & 1u << stage) != 0) text += plain_line(*devices_[k], static_cast<Stage>(stage));
                }
                shown_[k] = entered;
            }
        }
        std::fputs(text.c_str(), stdout);
    }

private:
    const std::vector<std::unique_ptr<Device>>& devices_;
    const bool redraw_;
    bool drawn_ = false;
    std::vector<unsigned> shown_;  // the stages shown of each device, a bit each
};

}  // namespace

int run(const Plan& plan, const frontend::Build& build, const char* path, const char* shown_path,
        record_file::LogFile* log) {
    frontend::TerminalDialog out(plan.unattended);
    frontend::UpdateFile file(build.payload_offset);
    std::vector<std::unique_ptr<Device>> devices;
    const std::string id = station_run_id();
    for (const std::string& given : plan.ports) {
        devices.push_back(std::make_unique<Device>(given, plan.eeprom, file, build, log));
        devices.back()->record.set_station_run(id);
    }

    // The update file, read and judged once for every device, in the first one's record; it is
    // read into memory, and closed.
    Device& first = *devices.front();
    frontend::Settings checked = device_settings();
    checked.trusted_keys = build.trusted_keys;
    frontend::UpdateFlow checking(file, first.record, {out, first.shown, first.port, first.answer}, checked);
    const frontend::Stopped stopped = checking.check_file(path, frontend::shown_text(shown_path));
    if (stopped) first.record.end_phase();
    file.close_file();
    for (const auto& device : devices) {
        if (device != devices.front()) device->record.take_file_check(first.record);
    }
    if (stopped) {
        for (const auto& device : devices) device->record.finish(*stopped, static_cast<int>(*stopped));
        if (!plan.unattended) frontend::wait_for_enter(out);
        return static_cast<int>(*stopped);
    }

    // Every device at once, each on a thread of its own; the table until the last has ended.
    out.print("\n");
    std::vector<std::thread> threads;
    for (const auto& device : devices) threads.emplace_back(run_device, std::ref(*device));
    Display display(devices);
    for (;;) {
        const bool all_done = std::all_of(devices.begin(), devices.end(),
                                          [](const auto& device) { return device->stage() == Stage::done; });
        display.update();
        if (all_done) break;
        console::pause_ms(REDRAW_MS);
    }
    for (std::thread& thread : threads) thread.join();

    // The summary, and the status of the first port that did not complete.
    std::string summary = "\n";
    int status = 0;
    unsigned completed = 0;
    for (const auto& device : devices) {
        summary += summary_line(*device);
        if (device->outcome == core::Outcome::completed) ++completed;
        else if (status == 0) status = static_cast<int>(device->outcome);
    }
    out.print(summary + std::to_string(completed) + " of " + std::to_string(devices.size()) + " devices updated\n");
    if (!plan.unattended) frontend::wait_for_enter(out);
    return status;
}

}  // namespace station
