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

}  // namespace

void run_unattended() {
    unattended = true;
    console::ignore_keys();
}

void exit_program(Outcome outcome) {
    // The record first: whoever waits for it need not wait for the Enter below.
    run_record::finish(outcome_name(outcome), static_cast<int>(outcome));
    update_file::release();
    serial::close_port();
    if (!unattended) {
        std::printf("\nPress Enter to exit !\n");
        for (;;) {
            const int key = console::read_key();
            if (key == console::KEY_ENTER || key == console::KEY_END) break;
        }
    }
    console::restore();
    std::exit(static_cast<int>(outcome));
}

}  // namespace run
