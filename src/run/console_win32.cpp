// Console keys and process services on Win32, from the run-time library's console functions:
// _getch already delivers single keys without echo, with prefix codes 0 and 224 for function and
// arrow keys, and leaves the console as it was.
#include <conio.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "run/console.h"

namespace console {

namespace {
char module_path[MAX_PATH];
bool keys_ignored = false;
}

void init() { std::setvbuf(stdout, nullptr, _IONBF, 0); }

void restore() {}

void ignore_keys() { keys_ignored = true; }

int read_key() { return keys_ignored ? KEY_END : _getch(); }

bool key_waiting() { return !keys_ignored && _kbhit() != 0; }

void pause_ms(unsigned milliseconds) { Sleep(milliseconds); }

// The running program itself, whatever argument 0 says: started from cmd.exe as `.\update`, argument
// 0 has neither the extension nor a file behind it.
const char* own_file_path(const char* argv0) {
    const DWORD length = GetModuleFileNameA(nullptr, module_path, sizeof module_path);
    return length > 0 && length < sizeof module_path ? module_path : (argv0 != nullptr ? argv0 : "");
}

}  // namespace console
