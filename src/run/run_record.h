// The run record: with --log FILE, every run appends one JSON object, on one line, to FILE: what
// was written (the update file and its header), where (host, port, device), how each phase went
// and how the run ended. The line is written with a single append, so that updaters running side
// by side can share one file. Without a log every call here is a no-op.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace run_record {

enum class Phase { file_check, flash, eeprom_write, read_back };

// Opens the log for appending, creating it when missing, and starts a new record: start time, host,
// the updater's version. False with the system's reason when the file cannot be written.
bool start(const std::string& log_path, const char* updater_version, std::string& reason);

// The update file's path, known before the file is checked: as an absolute path, or as shown when
// the system cannot make one of it.
void set_update_file_path(const std::string& path, const std::string& shown_path);

// The update file, once checked: its length and the SHA-256 of its payload.
void set_update_file(long length, const uint8_t (&payload_sha256)[32]);

// The header fields.
void set_header(const char* device, const char* version, const char* year);

// The port as the messages name it, the device behind it and that device's identity.
void set_port(const std::string& name, const std::string& device, const std::string& identity);

// The help shown for the port: what to do about a port that could not be used, or the warning
// before a transfer on it.
void set_port_help(const std::vector<std::string>& lines);

// The line of what to do next, shown after a failed transfer.
void set_next_step(const std::string& step);

// A phase starts (ending the one running); time spent in a phase across several starts adds up.
void begin(Phase phase);

// The running phase ends.
void end_phase();

// A FLASH record's reply arrived, round_trip_us as the core times it: kept for the record's
// round-trip figures, which an interruption from now on carries too.
void flash_reply(unsigned round_trip_us);

// One difference found by the read-back; received is -1 for a byte that did not arrive.
void eeprom_difference(uint32_t address, int received, uint8_t expected);

// The read-back's totals, the bytes left unverified and the chunks read again included.
void eeprom_totals(unsigned long differences, unsigned long missing, unsigned long skipped, unsigned long reread);

// How the run ended is known: the running phase ends, and an interruption from now on (Ctrl+C at
// the exit prompt) records this outcome with the status the process ends with.
void settle(const char* outcome);

// Appends the record with the run's outcome (its name and the exit status) and closes the log.
// Returns false, after printing why, when the record could not be written. Once only.
bool finish(const char* outcome, int exit_status);

// For a run ended from outside (a signal, a closed console): appends the record marked interrupted,
// by cause, with the status the process ends with. Async-signal-safe: it writes the record rendered
// at the last change, with the running phase's time so far. Nothing when a record was written.
void finish_interrupted(const char* cause, int exit_status);

}  // namespace run_record
