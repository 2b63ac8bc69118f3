#include "run/exit_program.h"

#include <cstdio>
#include <cstdlib>

#include "run/console.h"
#include "serial/serial_link.h"
#include "update_file/update_file.h"

namespace run {

namespace {
bool unattended = false;
}

void run_unattended() {
    unattended = true;
    console::ignore_keys();
}

void exit_program(Outcome outcome) {
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
