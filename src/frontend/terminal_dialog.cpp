// The front ends' dialog on the platform's terminal: for the console updater and the station.
#include <cstdio>

#include "frontend/dialog.h"

namespace frontend {

void TerminalDialog::print(const std::string& text) { std::fputs(text.c_str(), stdout); }

int TerminalDialog::read_key() { return unattended_ ? console::KEY_END : console::read_key(); }

bool TerminalDialog::key_waiting() { return !unattended_ && console::key_waiting(); }

void wait_for_enter(Dialog& dialog) {
    dialog.print("\nPress Enter to exit !\n");
    for (;;) {
        const int key = dialog.read_key();
        if (key == console::KEY_ENTER || key == console::KEY_END) return;
    }
}

}  // namespace frontend
