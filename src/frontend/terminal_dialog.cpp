// The front ends' dialog on the platform's terminal: for the console updater and the station.
#include <cstdio>

#include "frontend/dialog.h"

namespace frontend {

void TerminalDialog::print(const std::string& text) { std::fputs(text.c_str(), stdout); }

int TerminalDialog::read_key() { return unattended_ ? console::KEY_END : console::read_key(); }

bool TerminalDialog::key_waiting() { return !unattended_ && console::key_waiting(); }

}  // namespace frontend
