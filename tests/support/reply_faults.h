// How a device can answer wrongly, late or not at all, and how the update must end: one table for
// every place that runs it. Every row runs in process through the shared steps; a row runs end to
// end on Linux where the real line, its timing or the console matters, and under wine where the
// Windows port's own code does.
#pragma once

#include <cstdio>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace reply_faults {

enum Where : unsigned { IN_PROCESS = 1, LINUX = 2, WINDOWS = 4 };

// A line of options as a command line's words.
inline std::vector<std::string> words(const std::string& line) {
    std::istringstream stream(line);
    std::vector<std::string> list;
    for (std::string word; stream >> word;) list.push_back(word);
    return list;
}

struct Row {
    std::string name;
    std::string device;   // loader-sim's options
    bool eeprom;          // the run goes on to the EEPROM
    std::string ending;   // the text the update ends with, before the line of what to do next
    int status;
    unsigned frames;      // FLASH frames on the wire, the failing one included
    unsigned where;
    bool hangs_up = false;  // the device goes away: a next run meets a new one
    std::string also = "";  // text the run shows on the way
    bool paced = false;     // end to end, the line is paced at 115200 baud, as the stand-in port always is
    std::string step = "";  // the line of what to do next, where it is not the status's own

    std::vector<std::string> options() const { return words(device + (paced ? " --pace" : "")); }
    // What the update ends with: its text and the line of what to do next.
    std::string tail() const;
    friend std::ostream& operator<<(std::ostream& out, const Row& row) { return out << row.name; }
};

// The line of what to do after a transfer that failed with this exit status, as an 80-column
// console shows it; none for the others.
inline std::string next_step(int status) {
    switch (status) {
        case 4: return "What to do: check the cable, switch the device off, hold the 5 keys while\n"
                       "switching it on, then run the update again.\n";
        case 5: return "What to do: run the update again; if the error comes back, contact support.\n";
        case 6: return "What to do: run the update again; if bytes still differ, contact support.\n";
        default: return "";
    }
}

inline std::string Row::tail() const { return ending + (step.empty() ? next_step(status) : step); }

inline std::vector<Row> rows() {
    const std::string no_response = "\nError: No response from VORNIK-5\n";
    const std::string silence = "\nUndefined response ffff. Check cable!\n";
    const std::string lost = "\nThe serial port went away during the update: the adapter was unplugged, or its connection "
                             "failed.\n";
    const std::string flash_done = "\nDownload of FLASH program memory successfully completed\n\n";
    auto differ = [](int count, int missing) {
        return "\nEEPROM verification failed: " + std::to_string(count) + " of 2048 bytes differ" +
               (missing > 0 ? ", " + std::to_string(missing) + " not received" : "") + ". Try again!\n";
    };
    const unsigned ALL = IN_PROCESS | LINUX;
    const std::string completed = "\nDownload of EEPROM data memory successfully completed\n";
    auto slow = [](int ms) { return "The device answered the EEPROM read-back up to " + std::to_string(ms) + " ms late"; };
    std::vector<Row> table = {
        {"no_acknowledgement", "--ack none", false, no_response, 4, 0, ALL},
        {"wrong_acknowledgement", "--ack 5a", false, no_response, 4, 0, IN_PROCESS},
        {"acknowledgement_zero_is_taken_like_59", "--ack 0", false, flash_done, 0, 500, IN_PROCESS},
        // A line that hangs up is a port lost, said at once.
        {"hang_up_before_acknowledgement", "--hangup ack", false, lost, 4, 0, ALL, true},
        {"hang_up_mid_flash", "--hangup flash:250", false, lost, 4, 251, ALL, true},
        {"hang_up_in_eeprom_write_pass", "--hangup eeprom-write:100", true, lost, 4, 500, ALL, true},
        {"hang_up_in_eeprom_read_back", "--hangup eeprom-read:100", true, lost, 4, 500, ALL, true},
        {"late_reply_to_a_record", "--late 3=150", false, silence, 4, 4, IN_PROCESS},
        {"late_reply_to_the_first_record", "--late 0=200", false, silence, 4, 1, LINUX},
        {"late_reply_to_the_last_record", "--late 499=200", false, silence, 4, 500, ALL},
        {"wrong_read_back_byte", "--eeprom-wrong 5A=00", true, differ(1, 0), 6, 500, ALL, false, "\r5A 4%Error at address 5A: 0 (!=77)\n"},
        // A write reply after its window is never taken for a read-back byte: not before the
        // read-back, nor in it, ahead of the device's own answer, whether it equals the file's byte
        // or not.
        {"late_eeprom_write_reply_then_a_wrong_byte", "--eeprom-late 7FE=60 --eeprom-wrong 7FF=00", true,
         "Error at address 7FF: 0 (!=1)\n" + differ(1, 0), 6, 500, ALL},
        {"late_eeprom_write_reply_over_a_wrong_byte", "--eeprom-late 7FF=120 --eeprom-wrong 0=AA", true, differ(1, 0), 6,
         500, ALL, false, "\r0 0%Error at address 0: aa (!=1)\n"},
        {"late_eeprom_write_reply_over_a_right_byte", "--eeprom-late 7FF=120", true,
         "\nDownload of EEPROM data memory successfully completed\n", 0, 500, ALL},
        // The reply to the frame before the last comes after its window, with the last one's behind it.
        {"held_eeprom_write_reply", "--eeprom-held 7FE", true, "\nDownload of EEPROM data memory successfully completed\n", 0,
         500, ALL},
        // A late write reply equal to the file's byte at 0 lands in address 0's window; the device's
        // own answer, itself late, comes with address 1's right behind it. Every answer after it is
        // shifted: the read-back runs again from the start, and only that pass is judged.
        {"late_write_reply_shifts_the_read_back_over_a_wrong_byte",
         "--eeprom-reply 01 --eeprom-late 7FF=115 --eeprom-answer-late 0=25 --eeprom-wrong 0=AA", true, differ(1, 0), 6,
         500, ALL, false, "\r0 0%Error at address 0: aa (!=1)\n", true},
        {"late_write_reply_and_slow_answers_from_a_device_that_holds_the_file", "--eeprom-late 7FF=115 --reply-delay 30",
         true, "\nDownload of EEPROM data memory successfully completed\n", 0, 500, IN_PROCESS},
        // A line that turns slow, or slower and slower, or is slow throughout, answers each poll of
        // the read-back's next pass within its longer window: the device that holds the file
        // completes, and how late the line answered is said.
        {"eeprom_line_turns_slow_and_stays", "--eeprom-delay 200@3000", true, completed, 0, 500, IN_PROCESS, false,
         slow(200)},
        {"eeprom_line_slower_and_slower", "--eeprom-delay 300@0+70", true, completed, 0, 500, IN_PROCESS, false, slow(300)},
        {"eeprom_line_52_ms_late", "--eeprom-delay 52", true, completed, 0, 500, IN_PROCESS, false, slow(52)},
        {"eeprom_line_120_ms_late_over_a_wrong_byte", "--eeprom-delay 120 --eeprom-wrong 100=00", true,
         "\nThe device answered the EEPROM read-back up to 120 ms late: a slow line or\n"
         "adapter. The read-back ran again, waiting longer for each answer.\n" + differ(1, 0),
         6, 500, IN_PROCESS, false, "\r100 12%Error at address 100: 0 (!=2)\n"},
        // A line that never stays quiet ends the read-back at once, within seconds.
        {"eeprom_line_never_quiet", "--heartbeat 250", true,
         "\nEEPROM verification failed: the device kept sending without being asked, so\n"
         "none of its 2048 bytes could be verified.\n", 6, 500, ALL, false, "", false,
         "What to do: switch the device off, hold the 5 keys while switching it on, then\nrun the update again.\n"},
        // A burning error reported after the reply window is too late to be the reply, but it is said.
        {"late_burning_error", "--reply 250=55 --late 250=120", false,
         silence + "The device reported a FLASH burning error at address 7D00 after its reply window.\n", 4, 251,
         IN_PROCESS},
        // Replies out of step with their frames: a device that acknowledges with 00 and fails the
        // last record would otherwise be reported as a success.
        {"stray_byte_waiting_before_the_run", "--stray 0 --ack 0 --reply 499=55", false,
         "\nFLASH burning error at address F980. Try again!\n", 5, 500, LINUX | WINDOWS},
        // On a paced line an unasked byte comes while the next record is on the wire: the check
        // before each record misses it, every reply is read one record late, and only the last
        // record's own reply, watched for through the pause after the FLASH, shows it.
        {"surplus_byte_mid_flash", "--surplus 250=0 --ack 0 --reply 499=55", false, "\nUndefined response 55. Check cable!\n",
         4, 500, IN_PROCESS},
        {"surplus_byte_hides_a_late_burning_error_on_the_last_record",
         "--surplus 100=0 --reply-delay 2 --reply 499=55 --late 499=120", false, "\nUndefined response 55. Check cable!\n",
         4, 500, ALL, false, "", true},
        // Where the unasked byte is there before the next record goes out, it ends the run at once. A
        // missing reply later would put the replies back in step, and the run would pass.
        {"surplus_byte_then_a_missing_reply", "--surplus 10=33 --reply 200=none", false,
         "\nUndefined response 33. Check cable!\n", 4, 11, LINUX | WINDOWS},
    };
    for (unsigned record : {0u, 2u, 250u, 499u}) {
        char address[16];
        std::snprintf(address, sizeof address, "%X", record * 128);
        const std::string at = std::to_string(record);
        const unsigned e2e = record == 499 ? unsigned{LINUX} : 0u;
        table.push_back({"burning_error_at_record_" + at, "--reply " + at + "=55", false,
                         "\nFLASH burning error at address " + std::string(address) + ". Try again!\n", 5, record + 1,
                         IN_PROCESS | e2e | (record == 2 ? unsigned{WINDOWS} : 0u)});
        table.push_back({"transmission_error_at_record_" + at, "--reply " + at + "=aa", false,
                         "\nTransmission error at address " + std::string(address) + ". Try again!\n", 4, record + 1,
                         IN_PROCESS | e2e});
        table.push_back({"undefined_reply_at_record_" + at, "--reply " + at + "=42", false,
                         "\nUndefined response 42. Check cable!\n", 4, record + 1, IN_PROCESS});
        table.push_back({"no_reply_at_record_" + at, "--reply " + at + "=none", false, silence, 4, record + 1, IN_PROCESS | e2e});
    }
    return table;
}

// The rows that run in the given place.
inline std::vector<Row> rows_for(Where where) {
    std::vector<Row> chosen;
    for (const Row& row : rows()) {
        if ((row.where & where) != 0) chosen.push_back(row);
    }
    return chosen;
}

}  // namespace reply_faults
