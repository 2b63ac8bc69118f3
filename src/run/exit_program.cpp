#include "run/exit_program.h"

#include <cstdio>
#include <cstdlib>

#include "run/console.h"
#include "run/run_record.h"
#include "serial/serial_link.h"
#include "update_file/update_file.h"

namespace run {

namespace {

bool unattended = false;

const char* outcome_name(Outcome outcome) {
    switch (outcome) {
        case Outcome::completed: return "completed";
        case Outcome::user_break: return "user_break";
        case Outcome::file_error: return "file_error";
        case Outcome::port_error: return "port_error";
        case Outcome::device_error: return "device_error";
        case Outcome::flash_burn_error: return "flash_burn_error";
        case Outcome::eeprom_mismatch: return "eeprom_mismatch";
    }
    return "unknown";
}

void wait_for_enter() {
    std::printf("\nPress Enter to exit !\n");
    for (;;) {
        const int key = console::read_key();
        if (key == console::KEY_ENTER || key == console::KEY_END) return;
    }
}

}  // namespace

void run_unattended() {
    unattended = true;
    console::ignore_keys();
}

void exit_program(Outcome outcome) {
    const char* name = outcome_name(outcome);
    const int status = static_cast<int>(outcome);
    // The record tells the status the process ends with: written now when nobody is asked for
    // Enter, else once Enter is pressed, or by the signal handler with its own status when Ctrl+C
    // ends the exit prompt.
    run_record::settle(name);
    if (unattended) run_record::finish(name, status);
    update_file::release();
    serial::close_port();
    if (!unattended) {
        wait_for_enter();
        // A record that could not be written is said, and the person gets to read it.
        if (!run_record::finish(name, status)) wait_for_enter();
    }
    console::restore();
    std::exit(status);
}

}  // namespace run
