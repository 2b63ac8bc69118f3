// Text from outside the program (paths, device names, the system's reasons) as it may reach the
// console: only printable ASCII, so that control characters in a name cannot drive the terminal.
#pragma once

#include <string>

namespace frontend {

// text with every byte other than printable ASCII (0x20 to 0x7E) replaced by '?'.
std::string shown_text(const std::string& text);

}  // namespace frontend
