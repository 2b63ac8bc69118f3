// The service bench: the station's devices run again and again, one slot a port. Its loop holds the
// slots, each a small state machine (idle, armed, updating, done, waiting for its device to go),
// and the operator's keys; every update is the one flow, on a thread of its own.
#include <cctype>
#include <cstdio>
#include <memory>
#include <thread>

#include "frontend/dialog.h"
#include "frontend/shown_text.h"
#include "frontend/text.h"
#include "platform/console.h"
#include "platform/monotonic_clock.h"
#include "platform/port_watch.h"
#include "station/device.h"
#include "station/station.h"

namespace station {

namespace {

// The slots' keys in the order of the ports: the digits, then the letters but e and q.
constexpr char SLOT_KEYS[] = "123456789abcdfghijklmnoprstuvwxyz";
constexpr size_t KEYED_SLOTS = sizeof SLOT_KEYS - 1;
// How long the loop waits for a key: a redraw while a device is updated, a look at the ports (four
// times a second is enough for a person plugging one in) while none is.
constexpr unsigned BUSY_TICK_MS = 100;
constexpr unsigned IDLE_TICK_MS = 250;
// A port that has just appeared may refuse its opening for a moment: udev sets its group and mode
// after it made the device.
constexpr long long OPEN_RETRY_MS = 2000;
constexpr size_t SERIAL_LENGTH = 64;
constexpr int KEY_BACKSPACE = 8, KEY_DELETE = 127;

enum class SlotState { idle, armed, updating, done, leaving };

// One port, updating one device each time it is armed.
struct Slot {
    std::string given, name;  // the port as given, and as the messages name it
    std::string column;       // the port in the table
    char key = 0;             // 0: none
    SlotState state = SlotState::idle;
    std::unique_ptr<Device> device;  // the device being updated, or the last one
    std::thread thread;
    std::string serial;          // the armed device's serial number, as given
    long long appeared_ms = -1;  // when its port appeared, where that armed it
    unsigned number = 0;         // the device's running number in the bench
    unsigned shown = 0;          // the device's stages told in plain lines, a bit each
    unsigned updated = 0, completed = 0;
    std::string last;                   // the last device's outcome and status
    std::string note;                   // what the last device's update failed with
    std::string failures;                // a line for every failed device, for the summary
};

constexpr char ROW[] = "%-3s %-12s %-7s %-9s %-12s %4s %4s  %s";

class Bench {
public:
    Bench(const Plan& plan, const frontend::Build& build, frontend::UpdateFile& file, const frontend::RunRecord& checked,
          record_file::LogFile* log, const std::string& id)
        : plan_(plan), build_(build), file_(file), checked_(checked), log_(log), id_(id), watch_(watched(plan.ports)),
          redraw_(console::output_takes_cursor_moves()) {
        slots_.resize(plan.ports.size());
        for (size_t k = 0; k < slots_.size(); ++k) {
            slots_[k].given = plan.ports[k];
            slots_[k].name = frontend::named_port(plan.ports[k]).name;
            if (!plan.serials && k < KEYED_SLOTS) slots_[k].key = SLOT_KEYS[k];
        }
        // The ports' column: without the ending that all share from a separator on, as the
        // "-if00-port0" of /dev/serial/by-id links, which would leave every row alike.
        const std::string& first = slots_[0].name;
        size_t shared = slots_.size() > 1 ? first.size() : 0;
        for (const Slot& slot : slots_) {
            const std::string& name = slot.name;
            size_t same = 0;
            while (same < shared && same < name.size() && name[name.size() - 1 - same] == first[first.size() - 1 - same]) {
                ++same;
            }
            shared = same < name.size() ? same : 0;
        }
        while (shared > 0 && std::string("-_.").find(first[first.size() - shared]) == std::string::npos) --shared;
        for (Slot& slot : slots_) slot.column = fitted(slot.name.substr(0, slot.name.size() - shared), 12);
    }

    // Runs the bench until the operator ends it and its updates have ended; the summary, and the
    // exit status.
    int run() {
        const char* how = "A slot updates its device when its key is pressed. q ends the bench.\n\n";
        if (plan_.arm_on_appearance) {
            how = "A slot updates its device when its port appears, or when its key is pressed.\nq ends the bench.\n\n";
        }
        if (plan_.serials) {
            how = "Type or scan a device's serial number and Enter: the first idle slot updates it.\n"
                  "The line q ends the bench.\n\n";
        }
        std::fputs(how, stdout);
        long long looked_ms = -static_cast<long long>(IDLE_TICK_MS);
        for (;;) {
            if (plan_.arm_on_appearance && monotonic_clock::now_ms() - looked_ms >= IDLE_TICK_MS) {
                look_at_ports();
                looked_ms = monotonic_clock::now_ms();
            }
            for (size_t k = 0; k < slots_.size(); ++k) {
                Slot& slot = slots_[k];
                if (slot.state == SlotState::updating && slot.device->stage() == Stage::done) finish(k);
                if (slot.state == SlotState::armed) start(k);
            }
            show();
            if (ending_ && !busy()) break;
            const unsigned tick = busy() ? BUSY_TICK_MS : IDLE_TICK_MS;
            if (input_ended_) console::pause_ms(tick);
            else if (console::key_within(tick)) take_key(console::read_key());
        }
        return summary();
    }

private:
    static std::vector<port_watch::Watch::Port> watched(const std::vector<std::string>& ports) {
        std::vector<port_watch::Watch::Port> watched;
        for (const std::string& given : ports) {
            const frontend::NamedPort named = frontend::named_port(given);
            watched.push_back({named.n, named.path});
        }
        return watched;
    }

    bool busy() const {
        for (const Slot& slot : slots_) {
            if (slot.state == SlotState::armed || slot.state == SlotState::updating) return true;
        }
        return false;
    }

    // A slot is armed for its next device, unless it is already or the bench is ending.
    bool arm(Slot& slot, const std::string& serial, long long appeared_ms) {
        if (ending_ || slot.state == SlotState::armed || slot.state == SlotState::updating) return false;
        slot.state = SlotState::armed;
        slot.serial = serial;
        slot.appeared_ms = appeared_ms;
        return true;
    }

    // An armed slot's update starts: a new device, its record, its thread.
    void start(size_t k) {
        Slot& slot = slots_[k];
        slot.device = std::make_unique<Device>(slot.given, plan_.eeprom, file_, build_, log_);
        Device& device = *slot.device;
        device.record.set_station_run(id_);
        device.record.take_file_check(checked_);
        slot.number = ++started_;
        device.record.set_bench_device(static_cast<unsigned>(k + 1), slot.number, slot.serial);
        if (slot.appeared_ms >= 0) device.retry_open_until_ms = slot.appeared_ms + OPEN_RETRY_MS;
        slot.shown = 0;
        slot.state = SlotState::updating;
        slot.thread = std::thread(run_device, std::ref(device));
    }

    // A slot's update has ended: counted, and the slot waits for its next device (with --auto, for
    // its port to go first where it is still there).
    void finish(size_t k) {
        Slot& slot = slots_[k];
        slot.thread.join();
        const Device& device = *slot.device;
        const core::Outcome outcome = device.outcome;
        ++slot.updated;
        slot.last = result_of(device);
        slot.note.clear();
        if (outcome == core::Outcome::completed) {
            ++slot.completed;
            ++completed_;
            completed_ms_ += device.ended_ms - device.started_ms;
        } else {
            // A port that cannot be opened is said with its help, a failed transfer by its first line.
            const std::string& text = device.flow.result_text();
            if (outcome == core::Outcome::port_error) {
                for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
                    if (end > at) slot.note += frontend::wrapped(text.substr(at, end - at));
                }
            } else {
                slot.note = first_line(text) + "\n";
            }
            slot.failures += "  device " + std::to_string(slot.number) + serial_of(slot) + ": " + slot.last + ": " +
                             first_line(text) + "\n";
            if (first_failed_ == 0 || slot.number < first_failed_) {
                first_failed_ = slot.number;
                status_ = static_cast<int>(outcome);
            }
        }
        slot.note += device.record_problem;
        slot.state = !plan_.arm_on_appearance ? SlotState::done : watch_.there(k) ? SlotState::leaving : SlotState::idle;
        if (!redraw_) {
            tell_stages(slot);
            std::fputs((outcome == core::Outcome::port_error ? slot.note : device.record_problem).c_str(), stdout);
            std::fputs((totals_line() + "\n").c_str(), stdout);
        }
    }

    // With --auto: a port that appeared arms its idle slot, once; a slot whose device has gone
    // waits for the next.
    void look_at_ports() {
        const std::vector<port_watch::Change> changes = watch_.look();
        for (size_t k = 0; k < slots_.size(); ++k) {
            Slot& slot = slots_[k];
            if (changes[k] == port_watch::Change::appeared && slot.state == SlotState::idle) {
                arm(slot, "", monotonic_clock::now_ms());
            } else if (changes[k] == port_watch::Change::went_away && slot.state == SlotState::leaving) {
                slot.state = SlotState::idle;
            }
        }
    }

    void take_key(int key) {
        if (key == console::KEY_END) {
            input_ended_ = true;
            return end();
        }
        // A function or arrow key: its second code goes with it.
        if (key == 0 || key == 224) {
            console::read_key();
            return;
        }
        if (plan_.serials) return take_serial_key(key);
        key = std::tolower(key);
        if (key == 'q') end();
        for (Slot& slot : slots_) {
            if (slot.key != 0 && slot.key == key) arm(slot, "", -1);
        }
    }

    // A key of the serial number's line: shown as typed, Backspace takes back, Enter takes the line.
    void take_serial_key(int key) {
        if (key == KEY_BACKSPACE || key == KEY_DELETE) {
            if (!line_.empty()) line_.pop_back();
        } else if (key == console::KEY_ESC) {
            line_.clear();
        } else if (key >= 0x20 && key < 0x7F) {
            if (line_.size() < SERIAL_LENGTH) line_ += static_cast<char>(key);
            else say("A serial number has " + std::to_string(SERIAL_LENGTH) + " characters at most.");
        } else if (key == console::KEY_ENTER) {
            const std::string serial = line_;
            line_.clear();
            if (serial == "q" || serial == "Q") end();
            if (serial.empty() || ending_) return;
            for (size_t k = 0; k < slots_.size(); ++k) {
                if (arm(slots_[k], serial, -1)) return say(serial + ": slot " + std::to_string(k + 1));
            }
            say("No slot is idle for " + serial + ": give it again once one is.");
        }
    }

    // No slot is armed from now on; the bench ends once the updates under way have ended.
    void end() {
        if (!ending_) say("Ending once the updates under way have ended.");
        ending_ = true;
    }

    // A word to the operator: under the table, or a plain line.
    void say(const std::string& text) {
        message_ = frontend::shown_text(text);
        if (!redraw_) std::fputs((message_ + "\n").c_str(), stdout);
    }

    static std::string serial_of(const Slot& slot) {
        return slot.serial.empty() ? "" : " (" + frontend::shown_text(slot.serial) + ")";
    }

    // The plain lines of the stages a slot's device entered since the last.
    void tell_stages(Slot& slot) {
        const unsigned entered = slot.device->entered();
        const std::string label = slot.name + " device " + std::to_string(slot.number) + serial_of(slot);
        for (int stage = static_cast<int>(Stage::opening); stage <= static_cast<int>(Stage::done); ++stage) {
            if ((entered & ~slot.shown & 1u << stage) != 0) {
                std::fputs(plain_line(*slot.device, static_cast<Stage>(stage), label).c_str(), stdout);
            }
        }
        slot.shown = entered;
    }

    std::string totals_line() const {
        const unsigned updated = started_ - running();
        char line[160];
        int length = std::snprintf(line, sizeof line, "Updated %u, completed %u, failed %u, yield ", updated, completed_,
                                   updated - completed_);
        length += std::snprintf(line + length, sizeof line - length, updated > 0 ? "%.1f %%" : "-",
                                100.0 * completed_ / (updated > 0 ? updated : 1));
        if (completed_ > 0) {
            std::snprintf(line + length, sizeof line - length, ", mean completed update %.1f s",
                          completed_ms_ / 1000.0 / completed_);
        }
        return line;
    }

    // Slots whose device is being updated.
    unsigned running() const {
        unsigned count = 0;
        for (const Slot& slot : slots_) count += slot.state == SlotState::updating;
        return count;
    }

    // A slot's row, within 79 columns: key, port, state, progress, serial, counts, last outcome.
    std::string row(const Slot& slot) const {
        static constexpr const char* STATE_NAMES[] = {"idle", "armed", "", "done", "remove"};
        const bool updating = slot.state == SlotState::updating;
        const bool running = updating || slot.state == SlotState::armed;
        const char key[2] = {slot.key, '\0'};
        char line[160];
        const char* state = updating ? STAGE_NAMES[static_cast<int>(slot.device->stage())]
                                     : STATE_NAMES[static_cast<int>(slot.state)];
        std::snprintf(line, sizeof line, ROW, key, slot.column.c_str(), state,
                      updating ? progress_of(*slot.device).c_str() : "", fitted(frontend::shown_text(slot.serial), 12).c_str(),
                      std::to_string(slot.completed).c_str(), std::to_string(slot.updated - slot.completed).c_str(),
                      running ? "" : slot.last.c_str());
        std::string text = line;
        text.erase(text.find_last_not_of(' ') + 1);
        return text.substr(0, 79) + "\n" + (running ? "" : slot.note);
    }

    // What the operator sees: the slots, the totals, a word, and the serial number being typed.
    std::string screen() const {
        char heading[96];
        std::snprintf(heading, sizeof heading, ROW, "KEY", "PORT", "STATE", "PROGRESS", "SERIAL", "OK", "FAIL", "LAST");
        std::string text = std::string(heading) + "\n";
        for (const Slot& slot : slots_) text += row(slot);
        text += totals_line() + "\n";
        if (!message_.empty()) text += message_ + "\n";
        if (plan_.serials) text += "Serial: " + frontend::shown_text(line_);
        return text;
    }

    // The screen redrawn in place where it changed, or the plain lines of what happened.
    void show() {
        if (!redraw_) {
            for (Slot& slot : slots_) {
                if (slot.state == SlotState::updating) tell_stages(slot);
            }
            return;
        }
        const std::string text = screen();
        if (text == drawn_) return;
        // Back to the first line drawn; every line cleared behind its text, and what is left below.
        std::string out = "\r\x1b[" + std::to_string(drawn_lines_) + "A";
        if (drawn_lines_ == 0) out = "";
        drawn_lines_ = 0;
        for (const char c : text) {
            if (c == '\n') out += "\x1b[K", ++drawn_lines_;
            out += c;
        }
        std::fputs((out + "\x1b[J").c_str(), stdout);
        drawn_ = text;
    }

    // Every slot's devices and the totals; the exit status.
    int summary() {
        std::fputs(redraw_ && plan_.serials ? "\n\n" : "\n", stdout);
        for (size_t k = 0; k < slots_.size(); ++k) {
            const Slot& slot = slots_[k];
            std::printf("Slot %zu %s: %u updated, %u completed, %u failed\n%s", k + 1, slot.name.c_str(), slot.updated,
                        slot.completed, slot.updated - slot.completed, slot.failures.c_str());
        }
        std::printf("%s\n", totals_line().c_str());
        return status_;
    }

    const Plan& plan_;
    const frontend::Build& build_;
    frontend::UpdateFile& file_;
    const frontend::RunRecord& checked_;
    record_file::LogFile* log_;
    const std::string id_;
    std::vector<Slot> slots_;
    port_watch::Watch watch_;
    const bool redraw_;
    unsigned started_ = 0, completed_ = 0, first_failed_ = 0;
    long long completed_ms_ = 0;
    int status_ = 0;
    bool ending_ = false, input_ended_ = false;
    std::string line_;     // the serial number being typed
    std::string message_;  // the last word to the operator
    std::string drawn_;    // the screen as last drawn
    size_t drawn_lines_ = 0;
};

// Why the bench cannot start, on standard error; its exit status.
int refused(const std::string& reason) {
    std::fprintf(stderr, "update: %s\n", frontend::shown_text(reason).c_str());
    return static_cast<int>(core::Outcome::file_error);
}

}  // namespace

int run_bench(const Plan& plan, const frontend::Build& build, const char* path, const char* shown_path,
              record_file::LogFile* log) {
    if (!console::input_is_terminal()) return refused("--bench needs a terminal on standard input, where its slots are armed");
    if (!plan.serials && !plan.arm_on_appearance && plan.ports.size() > KEYED_SLOTS) {
        return refused("--bench arms at most " + std::to_string(KEYED_SLOTS) + " slots by key: more need --serials or --auto");
    }
    for (const std::string& given : plan.ports) {
        const frontend::NamedPort named = frontend::named_port(given);
        const std::string reason = plan.arm_on_appearance ? port_watch::unwatchable(named.n, named.path) : "";
        if (!reason.empty()) return refused("--auto: " + reason);
    }

    // The update file, read and judged once for every device, then closed: its image is in memory.
    frontend::TerminalDialog out(false);
    frontend::UpdateFile file(build.payload_offset);
    const std::string id = station_run_id();
    frontend::RunRecord checked(nullptr, build.version);
    frontend::GivenPort no_port("");
    frontend::GivenAnswer answer(plan.eeprom);
    core::Listener quiet;
    frontend::Settings settings = device_settings();
    settings.trusted_keys = build.trusted_keys;
    frontend::UpdateFlow checking(file, checked, {out, quiet, no_port, answer}, settings);
    const frontend::Stopped stopped = checking.check_file(path, frontend::shown_text(shown_path));
    file.close_file();
    if (stopped) {
        // No device was updated; the log keeps that the bench refused its file.
        checked.end_phase();
        frontend::RunRecord record(log, build.version);
        record.set_station_run(id);
        record.take_file_check(checked);
        record.finish(*stopped, static_cast<int>(*stopped));
        return static_cast<int>(*stopped);
    }
    out.print("\n");
    Bench bench(plan, build, file, checked, log, id);
    return bench.run();
}

}  // namespace station
