#include "station/device.h"

#include <cstdio>
#include <ctime>
#include <random>

#include "platform/console.h"
#include "platform/monotonic_clock.h"

namespace station {

namespace {

// How often an open refused just after the port appeared is tried again.
constexpr unsigned RETRY_OPEN_MS = 100;

}  // namespace

frontend::Settings device_settings() {
    frontend::Settings settings;
    settings.unattended = true;
    settings.image_with_file = true;
    settings.file_shared = true;
    return settings;
}

frontend::Stopped DevicePort::open(const frontend::Settings& settings, frontend::RunRecord& record,
                                   frontend::Dialog& dialog) {
    device_.enter(Stage::opening);
    for (;;) {
        const frontend::Stopped stopped = GivenPort::open(settings, record, dialog);
        if (!stopped) break;
        device_.device_path = serial_port().device_tried();
        // A port that has just appeared may be refused a moment longer: udev sets its group and
        // mode after it made the device. A port that opened and took no setting is no such case.
        if (serial_port().is_open() || monotonic_clock::now_ms() >= device_.retry_open_until_ms) return stopped;
        console::pause_ms(RETRY_OPEN_MS);
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

void run_device(Device& device) {
    device.started_ms = monotonic_clock::now_ms();
    device.outcome = device.flow.end(device.flow.update_device());
    device.record_problem = device.flow.record_problem();
    device.ended_ms = monotonic_clock::now_ms();
    device.enter(Stage::done);
}

std::string station_run_id() {
    char text[48] = "";
    const std::time_t now = std::time(nullptr);
    if (const std::tm* utc = std::gmtime(&now)) std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", utc);
    std::random_device random;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "-%08x", static_cast<unsigned>(random()));
    return std::string(text) + suffix;
}

std::string first_line(const std::string& text) {
    const size_t start = text.find_first_not_of('\n');
    if (start == std::string::npos) return "";
    return text.substr(start, text.find('\n', start) - start);
}

std::string fitted(const std::string& text, size_t width) {
    return text.size() <= width ? text : "~" + text.substr(text.size() - (width - 1));
}

std::string progress_of(const Device& device) {
    const Stage stage = device.stage();
    char progress[16] = "";
    if (stage == Stage::flash || stage == Stage::eeprom_write || stage == Stage::read_back) {
        std::snprintf(progress, sizeof progress, "%4lX %3u%%", static_cast<unsigned long>(device.position.load()),
                      device.percent.load());
    }
    return progress;
}

std::string result_of(const Device& device) {
    return std::string(core::outcome_name(device.outcome)) + " " + std::to_string(static_cast<int>(device.outcome));
}

std::string plain_line(const Device& device, Stage stage, const std::string& label) {
    std::string line = label + ": ";
    if (stage != Stage::done) return line + STAGE_NAMES[static_cast<int>(stage)] + "\n";
    line += std::string(core::outcome_name(device.outcome)) + ", status " + std::to_string(static_cast<int>(device.outcome));
    if (device.outcome != core::Outcome::completed) line += ": " + first_line(device.flow.result_text());
    return line + "\n";
}

}  // namespace station
