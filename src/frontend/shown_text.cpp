#include "frontend/shown_text.h"

namespace frontend {

std::string shown_text(const std::string& text) {
    std::string shown = text;
    for (char& c : shown) {
        if (c < 0x20 || c > 0x7E) c = '?';
    }
    return shown;
}

}  // namespace frontend
