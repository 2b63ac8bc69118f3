// The run record: every update with a log appends one JSON object, on one line, to the log: what
// was written (the update file and its header), where (host, port, device), how each phase went
// and how the update ended. The line is written with a single append, so that updaters and the
// devices of a station can share one file. One object per update, listening to the core's events;
// without a log it keeps the figures the front end needs and writes nothing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/eeprom_transfer.h"
#include "core/events.h"
#include "core/failure.h"
#include "core/payload.h"
#include "core/reply_times.h"
#include "core/signature.h"
#include "platform/record_file.h"

namespace frontend {

enum class Phase { file_check, flash, eeprom_write, read_back };

class RunRecord : public core::Listener {
public:
    // Starts a record of one update (start time, host, the updater's version), appended to log when
    // it ends; nullptr keeps none. From now on a signal finds it ready to write.
    RunRecord(record_file::LogFile* log, const char* updater_version);
    ~RunRecord() override;
    RunRecord(const RunRecord&) = delete;
    RunRecord& operator=(const RunRecord&) = delete;

    // The id that the records of one station run share.
    void set_station_run(const std::string& id);

    // A bench's device: the slot that updates it, its running number in the bench, and its serial
    // number as the operator gave it (empty: none given).
    void set_bench_device(unsigned slot, unsigned number, const std::string& serial);

    // The update file's path, known before the file is checked: as an absolute path, or as shown
    // when the system cannot make one of it.
    void set_update_file_path(const std::string& path, const std::string& shown_path);

    // The update file, once checked: its length and the SHA-256 of its payload.
    void set_update_file(long length, const uint8_t (&payload_sha256)[32]);

    void set_header(const core::HeaderFields& header);

    // The update file's signature, as judged with its check.
    void set_signature(const core::SignatureFinding& finding);

    // The update file's check as another record has it, where one check serves several updates:
    // the file, its header and the check's time.
    void take_file_check(const RunRecord& other);

    // The port as the messages name it, the device behind it and that device's identity.
    void set_port(const std::string& name, const std::string& device, const std::string& identity);

    // The help shown for the port: what to do about a port that could not be used, or the warning
    // before a transfer on it.
    void set_port_help(const std::vector<std::string>& lines);

    // The line of what to do next, shown after a failed transfer.
    void set_next_step(const std::string& step);

    // The reply that came only after its window, as the failure that ended the FLASH names it.
    void set_late_reply(const core::Failure& failure);

    // A phase starts (ending the one running); time spent in a phase across several starts adds up.
    void begin(Phase phase);

    // The running phase ends.
    void end_phase();

    // The read-back's totals: the bytes left unverified, how late a slow line answered, whether the
    // line kept sending.
    void eeprom_totals(const core::ReadBack& found);

    // How the update ended is known: the running phase ends, and an interruption from now on (Ctrl+C
    // at the exit prompt) records this outcome with the status the process ends with.
    void settle(core::Outcome outcome);

    // Appends the record with the update's outcome and exit status. False when it could not be
    // written: error() says why. Once only; true without a log, and true when an interruption has
    // written the record already.
    bool finish(core::Outcome outcome, int exit_status);
    std::string error() const;
    std::string log_path() const { return log_ != nullptr ? log_->path() : ""; }

    // The FLASH replies' round trips so far.
    const core::ReplyTimes& replies() const { return replies_; }

    // What the core reports, as the record keeps it: kept as it comes, never rendered on the way.
    void flash_reply(uint32_t record, unsigned round_trip_us) override;
    void eeprom_write_started() override { begin(Phase::eeprom_write); }
    void read_back_started() override { begin(Phase::read_back); }
    void read_back_again(unsigned pass) override;
    void read_back_difference(uint32_t a, unsigned percent, uint16_t received, uint8_t expected) override;
    void eeprom_finished() override { end_phase(); }

    // For a process ended from outside (a signal, a closed console): appends every record not yet
    // written, marked interrupted by cause, with the status the process ends with, the running
    // phase's time so far, and the replies and differences so far. A record that another thread is
    // appending at that moment is waited for (a second at most), so that every record of the run
    // is written exactly once. Async-signal-safe.
    static void finish_all_interrupted(const char* cause, int exit_status);

    // Makes room for count records with a log at once, where a signal reaches them: called when the
    // run starts, before any thread. A record beyond them makes room for itself.
    static void reserve(size_t count);

private:
    struct PhaseTime {
        bool ran = false;
        long long spent_ms = 0;
    };
    struct Difference {
        uint32_t address;
        uint16_t received;  // NO_BYTE when it did not arrive
        uint8_t expected;
    };
    static constexpr size_t PHASES = 4;
    static constexpr size_t DIFFERENCES_KEPT = 16;

    // The record as JSON text, with stand-ins for what changes on the hot path or is known only at
    // its end; fill() puts them in.
    // Into a log that takes a write whole only up to a limit (a pipe), the record stays within it,
    // filled in: its longest strings are cut, marked as cut.
    std::string render(const char* outcome, bool interrupted) const;
    std::string render_within(const char* outcome, bool interrupted, size_t string_limit) const;
    // Ends the running phase, if one runs, adding its time; true when one ran.
    bool stop_running();
    // Renders the record for an interruption anew and publishes it.
    void prepare_interrupted();
    // text with its stand-ins filled in, into out; returns its length. Async-signal-safe.
    size_t fill(const std::string& text, std::vector<char>& out, int exit_status, const char* cause) const;
    void finish_interrupted(const char* cause, int exit_status);

    record_file::LogFile* log_;
    std::string start_, host_, updater_version_, station_run_;
    unsigned slot_ = 0, bench_device_ = 0;
    std::string device_serial_;
    std::string file_path_;
    long file_length_ = -1;
    std::string payload_sha256_;
    bool header_read_ = false;
    core::HeaderFields header_;
    bool signature_judged_ = false;
    core::SignatureFinding signature_;
    bool port_opened_ = false;
    std::string port_name_, port_device_, port_identity_;
    std::vector<std::string> port_help_;
    std::string next_step_;
    std::string settled_outcome_;
    PhaseTime phases_[PHASES];
    std::atomic<int> running_{-1};
    std::atomic<long long> running_since_ms_{0};
    // Kept as they come, for the end and for an interruption alike.
    core::ReplyTimes replies_;
    Difference differences_[DIFFERENCES_KEPT] = {};
    std::atomic<unsigned long> difference_count_{0}, missing_{0};
    unsigned long skipped_ = 0;
    std::atomic<unsigned long> reread_{0};
    unsigned slow_line_ms_ = 0;
    bool kept_sending_ = false;
    bool late_reply_ = false;  // a FLASH reply came after its window: its value and record follow
    uint16_t late_reply_value_ = 0;
    int late_reply_record_ = -1;  // -1 for the acknowledgement

    // The record for an interruption, rendered anew at every change but the hot path's, in two
    // slots: a signal reads the one published while the other is rewritten. Each slot has room to
    // fill in the stand-ins.
    struct Slot {
        std::string text;
        std::vector<char> filled;
    };
    Slot slots_[2];
    std::atomic<int> published_{-1};
    // Who writes the record: nobody yet, the thread that finishes it or an interruption (appending),
    // and whether it is done.
    enum Writing : int { not_yet, appending, written };
    std::atomic<int> writing_{not_yet};
    std::string error_;
    int registry_index_ = -1;
};

}  // namespace frontend
