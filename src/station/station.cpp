#include "station/station.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <thread>

#include "frontend/dialog.h"
#include "frontend/shown_text.h"
#include "platform/console.h"
#include "station/device.h"

namespace station {

namespace {

// How often the table is drawn anew: as often as a person can read it.
constexpr unsigned REDRAW_MS = 100;

// What tells an adapter from the others: its USB serial number where known, else its identity.
std::string adapter_of(const Device& device) {
    const size_t serial = device.identity.rfind("serial ");
    return frontend::shown_text(serial != std::string::npos ? device.identity.substr(serial) : device.identity);
}

constexpr char TABLE_LINE[] = "%-12s %-16s %-7s %-9s %9s  %s";

// One line of the table, within 79 columns: port, adapter, phase, progress, reply median, result.
std::string table_line(const Device& device) {
    const Stage stage = device.stage();
    const bool opened = stage >= Stage::flash;
    const core::ReplySummary replies = device.record.replies().summary();
    char median[16] = "";
    if (replies.count > 0) std::snprintf(median, sizeof median, "%.2f ms", replies.median_us / 1000.0);
    char line[128];
    std::snprintf(line, sizeof line, TABLE_LINE, fitted(device.port.given().name, 12).c_str(),
                  opened ? fitted(adapter_of(device), 16).c_str() : "", STAGE_NAMES[static_cast<int>(stage)],
                  progress_of(device).c_str(), median, stage == Stage::done ? result_of(device).c_str() : "");
    std::string text = line;
    text.erase(text.find_last_not_of(' ') + 1);
    return text.substr(0, 79);
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
                    if ((entered & ~shown_[k] & 1u << stage) == 0) continue;
                    text += plain_line(*devices_[k], static_cast<Stage>(stage), devices_[k]->port.given().name);
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
