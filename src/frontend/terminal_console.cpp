// The front ends' console on the platform's terminal: for the console updater and the station.
#include <cstdio>

#include "frontend/console.h"

namespace frontend {

void TerminalConsole::print(const std::string& text) { std::fputs(text.c_str(), stdout); }

int TerminalConsole::read_key() { return unattended_ ? console::KEY_END : console::read_key(); }

bool TerminalConsole::key_waiting() { return !unattended_ && console::key_waiting(); }

void wait_for_enter(Console& console) {
    console.print("\nPress Enter to exit !\n");
    for (;;) {
        const int key = console.read_key();
        if (key == console::KEY_ENTER || key == console::KEY_END) return;
    }
}

}  // namespace frontend
