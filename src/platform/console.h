// Console and process services of the platform: single keys without echo, the pause, and the
// program's own file. One implementation per platform.
#pragma once

namespace console {

constexpr int KEY_ENTER = 13;
constexpr int KEY_ESC = 27;
// Returned by read_key when standard input has ended (closed, or a terminal hung up).
constexpr int KEY_END = -1;

// Called, async-signal-safe, when a signal or a console event ends the process: the cause's name
// ("SIGINT", "CTRL_C") and the status the process ends with.
using InterruptHandler = void (*)(const char* cause, int exit_status);

// Makes every print reach the console at once and turns off echo and line editing of the keyboard
// (input only: output keeps the terminal's line handling). The console is restored by restore(),
// which every end of the program calls, and on every signal whose default action ends the process,
// after on_interrupt and after the open serial ports are put back; a closed output does not end it. Standard
// descriptors the program was started without are opened on the null device first. Call once,
// first thing.
void init(InterruptHandler on_interrupt);

// Puts the console back as init() found it. Safe to call more than once.
void restore();

// Reads one key code (0 to 255), waiting for it. A function or arrow key yields two codes, a prefix
// 0 or 224 and then the key's code, on two calls. Enter yields 13; KEY_END at end of input.
int read_key();

// Tells whether a key code waits to be read, without consuming it.
bool key_waiting();

// Waits up to the given milliseconds for a key, without consuming it: true when a key code waits
// to be read, or input has ended (read_key then says KEY_END); false when none came in time.
bool key_within(unsigned milliseconds);

// True when standard input is a terminal (on Windows a console), where a person types keys.
bool input_is_terminal();

// True when standard output is a terminal that takes cursor movements: lines can be redrawn in
// place.
bool output_takes_cursor_moves();

// Sleeps for the given milliseconds.
void pause_ms(unsigned milliseconds);

// The path under which the program's own file can be opened: the running program as the system
// names it (/proc/self/exe, GetModuleFileNameA), or argument 0 as received when it cannot say.
const char* own_file_path(const char* argv0);

}  // namespace console
