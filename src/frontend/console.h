// Where a front end's text goes and where its keys come from: the console updater's terminal, the
// page's transcript, a station's device line, or a test's script.
#pragma once

#include <string>

#include "platform/console.h"

namespace frontend {

class Console {
public:
    virtual ~Console() = default;

    // Shows text as it comes, nothing held back.
    virtual void print(const std::string& text) = 0;

    // One key code, waiting for it; console::KEY_END when no key will come.
    virtual int read_key() { return console::KEY_END; }

    // Whether a key code waits to be read, without consuming it.
    virtual bool key_waiting() { return false; }
};

}  // namespace frontend
