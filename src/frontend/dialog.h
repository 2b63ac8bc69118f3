// Where a front end's text goes and where its keys come from: the console updater's terminal, the
// page's transcript, a station's device line, or a test's script.
#pragma once

#include <string>

#include "platform/console.h"

namespace frontend {

class Dialog {
public:
    virtual ~Dialog() = default;

    // Shows text as it comes, nothing held back.
    virtual void print(const std::string& text) = 0;

    // One key code, waiting for it; console::KEY_END when no key will come.
    virtual int read_key() { return console::KEY_END; }

    // Whether a key code waits to be read, without consuming it.
    virtual bool key_waiting() { return false; }
};

// The platform's terminal: text to standard output, keys from the keyboard. Unattended (no person
// at the console, --batch) no key is read: read_key() gives KEY_END and no key ever waits.
class TerminalDialog : public Dialog {
public:
    explicit TerminalDialog(bool unattended) : unattended_(unattended) {}
    void print(const std::string& text) override;
    int read_key() override;
    bool key_waiting() override;

private:
    bool unattended_;
};

// "Press Enter to exit !", then keys until Enter (or the end of input).
void wait_for_enter(Dialog& dialog);

}  // namespace frontend
