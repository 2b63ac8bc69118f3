// Runs a program with a pseudo terminal as its console, as a user's terminal would be, and the
// simulated device loader beside it. Every wait is bounded; whatever is still running when its
// object goes is killed.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <string>
#include <utility>
#include <vector>

namespace harness {

struct Launch {
    std::string program;
    std::vector<std::string> args;  // args[0] is argument 0 as the program receives it
    std::vector<std::pair<std::string, std::string>> env;
    bool piped_input = false;       // standard input from a pipe instead of the console
    std::string input;              // with piped_input: all of it, then end of input
    bool as_unprivileged_user = false;  // when started by root: run as nobody, whom permissions bind
    bool console_echo = true;       // false: the console starts without echo, as a program that sets
                                    // its terminal up late (wine's console) would otherwise see keys
                                    // typed before that echoed
};

class ConsoleSession {
public:
    explicit ConsoleSession(const Launch& launch);
    const Launch& launch() const { return launch_; }
    ~ConsoleSession();
    ConsoleSession(const ConsoleSession&) = delete;
    ConsoleSession& operator=(const ConsoleSession&) = delete;

    // Types keys on the console.
    void send(const std::string& keys);

    // Waits until text appears in the output after the previous match; false after timeout_ms.
    bool expect(const std::string& text, int timeout_ms = 10000);

    // Waits for the program to end and its output to be read. Returns the exit status, 128 plus the
    // signal number if a signal ended it, or -1 if it was still running after timeout_ms (it is
    // killed then).
    int wait_exit(int timeout_ms = 20000);

    // True if the program is still running after reading what it printed for wait_ms.
    bool still_running_after(int wait_ms);

    const std::string& output() const { return output_; }
    // The console's settings as the program found them, and as they are now.
    const struct termios& initial_console_settings() const { return initial_settings_; }
    struct termios console_settings() const;
    pid_t pid() const { return pid_; }

private:
    void pump(int timeout_ms);

    pid_t pid_ = -1;
    int master_ = -1;
    struct termios initial_settings_ = {};
    int exit_status_ = -1;
    bool exited_ = false;
    Launch launch_;
    std::string output_;
    size_t matched_ = 0;
};

// build/loader-sim on its own pseudo terminal.
class Simulator {
public:
    explicit Simulator(const std::vector<std::string>& options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // The device path of its terminal, for UPDATER_COMn.
    const std::string& port() const { return port_; }

    // Exit status once it has ended by itself, or -1 if it was still running after timeout_ms.
    int wait_exit(int timeout_ms = 10000);

    // What it reported on standard error.
    std::string report() const;

    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    std::string port_;
    std::string report_path_;
};

// Text as it appears on a terminal that turns "\n" into "\r\n".
std::string tty(const std::string& text);

}  // namespace harness
