// Console keys and process services on Win32, from the run-time library's console functions:
// _getch already delivers single keys without echo, with prefix codes 0 and 224 for function and
// arrow keys, and leaves the console as it was.
#include <conio.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/console.h"

namespace console {

namespace {
char module_path[MAX_PATH];
InterruptHandler interrupt_handler = nullptr;
DWORD output_mode_found = 0;
bool output_mode_changed = false;
}

namespace {

// Ctrl+C outside a key prompt, Ctrl+Break, the console window closed, logoff or shutdown: the run
// record is written, then the system's own handling ends the program.
BOOL WINAPI on_console_event(DWORD event) {
    const char* cause = event == CTRL_C_EVENT       ? "CTRL_C"
                        : event == CTRL_BREAK_EVENT ? "CTRL_BREAK"
                        : event == CTRL_CLOSE_EVENT ? "CTRL_CLOSE"
                                                    : "CTRL_SHUTDOWN";
    if (interrupt_handler != nullptr) interrupt_handler(cause, static_cast<int>(STATUS_CONTROL_C_EXIT));
    restore();
    return FALSE;
}

}  // namespace

void init(InterruptHandler on_interrupt) {
    interrupt_handler = on_interrupt;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void restore() {
    if (output_mode_changed) SetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), output_mode_found);
    output_mode_changed = false;
}

int read_key() { return _getch(); }

bool key_waiting() { return _kbhit() != 0; }

bool key_within(unsigned milliseconds) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    const DWORD start = GetTickCount();
    for (;;) {
        // The console's other events (a key let go, a shift key, the mouse, the window resized)
        // would wake the wait again at once: they go, the keys stay for _getch.
        INPUT_RECORD event;
        DWORD count = 0;
        while (PeekConsoleInputA(input, &event, 1, &count) && count == 1) {
            const KEY_EVENT_RECORD& key = event.Event.KeyEvent;
            const bool modifier = key.wVirtualKeyCode == VK_SHIFT || key.wVirtualKeyCode == VK_CONTROL ||
                                  key.wVirtualKeyCode == VK_MENU || key.wVirtualKeyCode == VK_CAPITAL;
            if (event.EventType == KEY_EVENT && key.bKeyDown && !modifier) return true;
            ReadConsoleInputA(input, &event, 1, &count);
        }
        if (_kbhit()) return true;
        const DWORD spent = GetTickCount() - start;
        if (spent >= milliseconds || WaitForSingleObject(input, milliseconds - spent) != WAIT_OBJECT_0) {
            return _kbhit() != 0;
        }
    }
}

bool input_is_terminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

bool output_takes_cursor_moves() {
    // A console that takes VT sequences (Windows 10 and later, once asked, until restore()); plain
    // lines elsewhere.
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    constexpr DWORD VIRTUAL_TERMINAL_PROCESSING = 0x0004;
    if (!GetConsoleMode(output, &output_mode_found)) return false;
    if ((output_mode_found & VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
    output_mode_changed = SetConsoleMode(output, output_mode_found | VIRTUAL_TERMINAL_PROCESSING) != 0;
    return output_mode_changed;
}

void pause_ms(unsigned milliseconds) { Sleep(milliseconds); }

// The running program itself, whatever argument 0 says: started from cmd.exe as `.\update`, argument
// 0 has neither the extension nor a file behind it.
const char* own_file_path(const char* argv0) {
    const DWORD length = GetModuleFileNameA(nullptr, module_path, sizeof module_path);
    return length > 0 && length < sizeof module_path ? module_path : (argv0 != nullptr ? argv0 : "");
}

}  // namespace console
