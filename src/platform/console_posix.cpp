// Console keys and process services on POSIX terminals. The keyboard is switched to single keys
// without echo (input only; output keeps the terminal's own line handling) and switched back
// whatever ends the process: normal exit, or a signal whose default action ends or stops it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/console.h"
#include "platform/serial_port.h"

namespace console {

namespace {

// How long the rest of an escape sequence may take to follow its ESC, in milliseconds. A terminal
// sends a function or arrow key in one piece; a lone ESC is followed by nothing.
constexpr int ESCAPE_FOLLOW_MS = 40;

struct termios keyboard_found;
struct termios keyboard_single_keys;
volatile sig_atomic_t keyboard_changed = 0;

int pending_code = -1;  // second code of a two-code key
int read_ahead = -1;    // a byte read after a lone ESC

void set_single_keys() {
    if (tcsetattr(STDIN_FILENO, TCSANOW, &keyboard_single_keys) == 0) keyboard_changed = 1;
}

void put_keyboard_back() {
    if (keyboard_changed) {
        tcsetattr(STDIN_FILENO, TCSANOW, &keyboard_found);
        keyboard_changed = 0;
    }
}

InterruptHandler interrupt_handler = nullptr;
int first_realtime_signal = 0;  // SIGRTMIN, read once at init: the handler calls nothing it need not

// The signal's name as the system's tools give it ("SIGINT", "SIGIO", "SIGRTMIN+3"), for the run
// record. Async-signal-safe: the abbreviation comes from the C library's table.
const char* signal_name(int signal_number) {
    static char name[24] = "SIG";
    size_t k = 3;
    auto put = [&k](const char* text) {
        for (; *text != '\0' && k + 1 < sizeof name; ++text) name[k++] = *text;
    };
    if (signal_number == SIGIO) {
        put("IO");  // the table knows it by its older name, POLL
    } else if (signal_number >= first_realtime_signal && first_realtime_signal > 0) {
        put("RTMIN");
        if (const int above = signal_number - first_realtime_signal; above > 0) {
            name[k++] = '+';
            if (above >= 10) name[k++] = static_cast<char>('0' + above / 10);
            name[k++] = static_cast<char>('0' + above % 10);
        }
    } else if (const char* abbreviation = sigabbrev_np(signal_number)) {
        put(abbreviation);
    } else {
        return "signal";
    }
    name[k] = '\0';
    return name;
}

// Every signal whose default action ends the process: the run records are written, then the ports
// and the console are put back, the console last, as at every other end: where the port is the
// console's own terminal, the port's settings as found are the keyboard's single keys, and the
// console's as found must win. A SIGALRM from a timer is a port's drain timer: it only interrupts
// that drain.
void on_terminating_signal(int signal_number, siginfo_t* info, void*) {
    if (signal_number == SIGALRM && info != nullptr && info->si_code == SI_TIMER) return;
    if (interrupt_handler != nullptr) interrupt_handler(signal_name(signal_number), 128 + signal_number);
    serial::close_ports_on_signal();
    put_keyboard_back();
    // The default action takes effect when this handler returns, the signal being blocked until then.
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

void install(int signal_number, void (*handler)(int), int flags) {
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
}

void install_terminating(int signal_number) {
    struct sigaction action = {};
    action.sa_sigaction = on_terminating_signal;
    // Without SA_RESTART: the drain's timer must interrupt tcdrain.
    action.sa_flags = SA_SIGINFO;
    // One ending at a time in a thread: a second signal waits until the first has put everything back.
    sigfillset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
}

void on_continue(int);

void on_stop(int signal_number) {
    const int saved_errno = errno;
    put_keyboard_back();
    install(SIGCONT, on_continue, SA_RESTART);
    raise(signal_number);  // the default stop action, restored by SA_RESETHAND
    errno = saved_errno;
}

void on_continue(int) {
    const int saved_errno = errno;
    set_single_keys();
    install(SIGTSTP, on_stop, SA_RESETHAND | SA_RESTART);
    errno = saved_errno;
}

// One byte of standard input, waiting for it; KEY_END at end of input or on a read error.
int read_byte() {
    for (;;) {
        unsigned char byte;
        const ssize_t got = read(STDIN_FILENO, &byte, 1);
        if (got == 1) return byte;
        if (got < 0 && errno == EINTR) continue;
        return KEY_END;
    }
}

// One byte if it arrives within the given time; -1 otherwise.
int read_byte_within(int milliseconds) {
    pollfd wait = {STDIN_FILENO, POLLIN, 0};
    if (poll(&wait, 1, milliseconds) <= 0) return -1;
    const int byte = read_byte();
    return byte == KEY_END ? -1 : byte;
}

struct TwoCodes {
    int prefix;
    int code;
};

// Codes of the keys a terminal sends as escape sequences: ESC [ final, ESC O final, or
// ESC [ number ~, with modifiers ignored. The codes are the PC keyboard's scan codes.
TwoCodes codes_of(char introducer, int number, int final_byte) {
    if (final_byte == '~') {
        switch (number) {
            case 1: case 7: return {224, 71};  // Home
            case 2: return {224, 82};          // Insert
            case 3: return {224, 83};          // Delete
            case 4: case 8: return {224, 79};  // End
            case 5: return {224, 73};          // Page Up
            case 6: return {224, 81};          // Page Down
            case 11: case 12: case 13: case 14: case 15: return {0, 59 + number - 11};  // F1 to F5
            case 17: case 18: case 19: case 20: case 21: return {0, 64 + number - 17};  // F6 to F10
            case 23: return {224, 133};        // F11
            case 24: return {224, 134};        // F12
            default: return {224, 0};
        }
    }
    switch (final_byte) {
        case 'A': return {224, 72};  // Up
        case 'B': return {224, 80};  // Down
        case 'C': return {224, 77};  // Right
        case 'D': return {224, 75};  // Left
        case 'H': return {224, 71};  // Home
        case 'F': return {224, 79};  // End
        case 'P': case 'Q': case 'R': case 'S':
            if (introducer == 'O' || number == 1) return {0, 59 + final_byte - 'P'};  // F1 to F4
            return {224, 0};
        default: return {224, 0};
    }
}

// Standard descriptors that the program was started without get /dev/null, so that nothing opened
// later (the update file, the port) takes their place and receives the console's text.
void fill_closed_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        const int null_fd = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null_fd >= 0 && null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
}

constexpr int TERMINATING_SIGNALS[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,
                                       SIGFPE,  SIGUSR1,   SIGSEGV, SIGUSR2, SIGALRM, SIGTERM, SIGSTKFLT,
                                       SIGXCPU, SIGXFSZ,   SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGSYS};

}  // namespace

void init(InterruptHandler on_interrupt) {
    interrupt_handler = on_interrupt;
    fill_closed_standard_descriptors();
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    // A closed output (the updater piped into `head`) must not end a transfer in mid-frame.
    signal(SIGPIPE, SIG_IGN);
    for (int signal_number : TERMINATING_SIGNALS) install_terminating(signal_number);
    first_realtime_signal = SIGRTMIN;
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) install_terminating(signal_number);
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &keyboard_found) != 0) return;
    keyboard_single_keys = keyboard_found;
    // Keys one at a time without echo; Enter arrives as CR; Ctrl+S and Ctrl+Q are keys, not flow
    // control. Ctrl+C still interrupts (ISIG stays on).
    keyboard_single_keys.c_lflag &= ~(ICANON | ECHO | ECHONL | IEXTEN);
    keyboard_single_keys.c_iflag &= ~(ICRNL | INLCR | IGNCR | IXON);
    keyboard_single_keys.c_cc[VMIN] = 1;
    keyboard_single_keys.c_cc[VTIME] = 0;
    install(SIGTSTP, on_stop, SA_RESETHAND | SA_RESTART);
    set_single_keys();
}

void restore() { put_keyboard_back(); }

bool output_takes_cursor_moves() {
    const char* term = std::getenv("TERM");
    return isatty(STDOUT_FILENO) && term != nullptr && std::strcmp(term, "dumb") != 0;
}

int read_key() {
    if (pending_code >= 0) {
        const int code = pending_code;
        pending_code = -1;
        return code;
    }
    int byte = read_ahead;
    read_ahead = -1;
    if (byte < 0) byte = read_byte();
    if (byte == '\n') return KEY_ENTER;  // a line feed from piped input
    if (byte != KEY_ESC) return byte;

    const int introducer = read_byte_within(ESCAPE_FOLLOW_MS);
    if (introducer < 0) return KEY_ESC;
    if (introducer != '[' && introducer != 'O') {
        read_ahead = introducer;
        return KEY_ESC;
    }
    // Parameters (digits and ';') up to the final byte; only the first number is kept.
    int number = 0;
    bool first_number = true;
    for (int length = 0; length < 16; ++length) {
        const int next = read_byte_within(ESCAPE_FOLLOW_MS);
        if (next < 0) break;
        if (next >= '0' && next <= '9') {
            if (first_number && number < 1000) number = number * 10 + (next - '0');
            continue;
        }
        if (next == ';') {
            first_number = false;
            continue;
        }
        const TwoCodes codes = codes_of(static_cast<char>(introducer), number, next);
        pending_code = codes.code;
        return codes.prefix;
    }
    pending_code = 0;
    return 224;
}

bool key_waiting() {
    if (pending_code >= 0 || read_ahead >= 0) return true;
    int waiting = 0;
    return ioctl(STDIN_FILENO, FIONREAD, &waiting) == 0 && waiting > 0;
}

bool key_within(unsigned milliseconds) {
    if (key_waiting()) return true;
    // A hang-up or a closed input wakes the wait as a key would: read_key tells the end.
    pollfd wait = {STDIN_FILENO, POLLIN, 0};
    return poll(&wait, 1, static_cast<int>(milliseconds)) > 0;
}

bool input_is_terminal() { return isatty(STDIN_FILENO) != 0; }

void pause_ms(unsigned milliseconds) {
    timespec remaining = {static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

const char* own_file_path(const char* argv0) {
    // The running program itself, whatever argument 0 says or a name now points at.
    if (access("/proc/self/exe", R_OK) == 0) return "/proc/self/exe";
    return argv0 != nullptr ? argv0 : "";
}

}  // namespace console
