// The steps every front end shares around the core's work: the update file's check with its
// record, a port opened with its help, the two transfers with their record and advice, and a
// failed step with what to do next. A step returns; the front end decides what ends its run.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "core/events.h"
#include "core/failure.h"
#include "core/link.h"
#include "core/update_image.h"
#include "frontend/console.h"
#include "frontend/run_record.h"
#include "platform/serial_port.h"

namespace frontend {

// What a step leaves: empty when the update goes on, else the outcome it ends with.
using Ending = std::optional<core::Outcome>;

// A port as given on the command line: "COMn" (any n from 1) opens COMn as the key n would, else it
// is a device path; name is how the messages name it.
struct NamedPort {
    unsigned n = 0;
    std::string path;
    std::string name;
};
NamedPort named_port(const std::string& given);

// One device's update as a front end holds it: the update file's image (which several devices may
// share), the link to the device's port, its record, and where its text goes.
struct DeviceRun {
    const core::UpdateImage& image;
    core::Link& link;
    RunRecord& record;
    Console& console;
    std::string shown_path;      // the update file as its messages name it
    bool one_line_help = false;  // help as one line, for a run without a person, not wrapped for a console
};

// The core's events as the console shows them: the transfers' fixed lines, progress rewritten in
// place, and the read-back's differences; a waiting key ends a read-back chunk early.
class ConsoleEvents : public core::Events {
public:
    explicit ConsoleEvents(Console& console) : console_(console) {}
    void flash_started() override;
    void flash_record_accepted(uint32_t done) override;
    void flash_completed() override;
    void eeprom_write_started() override;
    void read_back_started() override;
    void eeprom_chunk(uint32_t a, unsigned percent) override;
    void read_back_difference(uint32_t a, unsigned percent, uint16_t received, uint8_t expected) override;
    bool stop_requested() override { return console_.key_waiting(); }

private:
    Console& console_;
};

// Hands every event to two listeners: what a front end shows, and the record it keeps. A stop is
// requested when either asks for one.
class BothListeners : public core::Events {
public:
    BothListeners(core::Events& shown, core::Events& kept) : shown_(shown), kept_(kept) {}
    void flash_started() override { shown_.flash_started(), kept_.flash_started(); }
    void flash_reply(uint32_t record, unsigned us) override { shown_.flash_reply(record, us), kept_.flash_reply(record, us); }
    void flash_record_accepted(uint32_t done) override { shown_.flash_record_accepted(done), kept_.flash_record_accepted(done); }
    void flash_pause_started(unsigned ms) override { shown_.flash_pause_started(ms), kept_.flash_pause_started(ms); }
    void flash_completed() override { shown_.flash_completed(), kept_.flash_completed(); }
    void eeprom_write_started() override { shown_.eeprom_write_started(), kept_.eeprom_write_started(); }
    void read_back_started() override { shown_.read_back_started(), kept_.read_back_started(); }
    void eeprom_chunk(uint32_t a, unsigned percent) override { shown_.eeprom_chunk(a, percent), kept_.eeprom_chunk(a, percent); }
    void read_back_difference(uint32_t a, unsigned percent, uint16_t received, uint8_t expected) override {
        shown_.read_back_difference(a, percent, received, expected);
        kept_.read_back_difference(a, percent, received, expected);
    }
    void eeprom_finished() override { shown_.eeprom_finished(), kept_.eeprom_finished(); }
    bool stop_requested() override { return shown_.stop_requested() || kept_.stop_requested(); }

private:
    core::Events& shown_;
    core::Events& kept_;
};

// The update file as judged: the record learns its length and payload digest (also of a file whose
// payload failed) and its header; a file that cannot be used is said, with file_error.
Ending file_checked(const core::UpdateImage& image, const core::Result& judged, RunRecord& record, Console& console,
                    const std::string& shown_path);

// Opens the update file at path into file (kept open for the run) and judges it into image, as
// file_checked() records and says it; a file that cannot be opened is said with the system's
// reason. Messages name the file as shown_path.
Ending check_update_file(core::UpdateImage& image, std::FILE*& file, const char* path, const std::string& shown_path,
                         RunRecord& record, Console& console);

// The image's place in the file and the checksum test of its 500 records: "Checksum test OK", or
// the checksum message and file_error.
Ending image_verified(const core::UpdateImage& image, Console& console, const std::string& shown_path);

// A step failed: its message, the line of what to do next where the outcome has one (kept in the
// record), and the outcome.
Ending failed(DeviceRun& run, core::Outcome outcome, const std::string& message);
Ending failed(DeviceRun& run, const core::Failure& failure);

// Opens and configures the port named port_name: COMn (n >= 1) or, with n 0, the device at path.
// Says "<port> connected" and records the port; on failure says why and what the person can do
// about it, with port_error. Warns of ModemManager where it may probe the port.
Ending open_port(serial::SerialPort& port, unsigned n, const std::string& path, const std::string& port_name,
                 RunRecord& record, Console& console, bool one_line_help);

// The FLASH transfer, shown by shown and kept by the record; after it, the slow-adapter advice when
// the replies took long.
Ending download_flash(DeviceRun& run, core::Events& shown);

// The slow-adapter advice after the FLASH replies the record holds, with how long the EEPROM takes
// with this adapter; empty when they came in time.
std::string adapter_advice(const RunRecord& record);

// The EEPROM transfer and its read-back; completed when every byte read back matched.
Ending download_eeprom(DeviceRun& run, core::Events& shown);

}  // namespace frontend
