#include "console_session.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace harness {

namespace {

long long now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

std::vector<char*> c_strings(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

int decode_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

ConsoleSession::ConsoleSession(const Launch& launch) : launch_(launch) {
    int input_pipe[2] = {-1, -1};
    if (launch.piped_input && pipe(input_pipe) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> args = launch.args;
    std::string program = launch.program;
    // A new terminal's default settings, given to the console before the program can change them.
    int probe_master = -1, probe_slave = -1;
    if (openpty(&probe_master, &probe_slave, nullptr, nullptr, nullptr) != 0 ||
        tcgetattr(probe_slave, &initial_settings_) != 0) {
        throw std::runtime_error("openpty failed");
    }
    close(probe_master);
    close(probe_slave);
    if (!launch.console_echo) initial_settings_.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    pid_ = forkpty(&master_, nullptr, &initial_settings_, nullptr);
    if (pid_ < 0) throw std::runtime_error("forkpty failed");
    if (pid_ == 0) {
        for (const auto& [name, value] : launch.env) setenv(name.c_str(), value.c_str(), 1);
        if (launch.piped_input) {
            dup2(input_pipe[0], STDIN_FILENO);
            close(input_pipe[0]);
            close(input_pipe[1]);
        }
        if (launch.as_unprivileged_user && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(126);
        std::vector<char*> argv = c_strings(args);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    fcntl(master_, F_SETFL, O_NONBLOCK);
    if (launch.piped_input) {
        // A program may close its standard input before the input is written: that is no failure
        // of the test's own process.
        signal(SIGPIPE, SIG_IGN);
        close(input_pipe[0]);
        size_t done = 0;
        while (done < launch.input.size()) {
            const ssize_t written = write(input_pipe[1], launch.input.data() + done, launch.input.size() - done);
            if (written <= 0) break;
            done += static_cast<size_t>(written);
        }
        close(input_pipe[1]);
    }
}

ConsoleSession::~ConsoleSession() {
    if (!exited_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
}

void ConsoleSession::send(const std::string& keys) {
    size_t done = 0;
    while (done < keys.size()) {
        const ssize_t written = write(master_, keys.data() + done, keys.size() - done);
        if (written > 0) {
            done += static_cast<size_t>(written);
        } else if (written < 0 && errno == EAGAIN) {
            pump(10);
        } else {
            return;
        }
    }
}

void ConsoleSession::pump(int timeout_ms) {
    pollfd ready = {master_, POLLIN, 0};
    if (poll(&ready, 1, timeout_ms) <= 0) return;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(master_, buffer, sizeof buffer);
        if (got <= 0) return;
        output_.append(buffer, static_cast<size_t>(got));
    }
}

bool ConsoleSession::expect(const std::string& text, int timeout_ms) {
    const long long deadline = now_ms() + timeout_ms;
    for (;;) {
        const size_t at = output_.find(text, matched_);
        if (at != std::string::npos) {
            matched_ = at + text.size();
            return true;
        }
        const long long left = deadline - now_ms();
        if (left <= 0) return false;
        pump(static_cast<int>(std::min<long long>(left, 50)));
    }
}

int ConsoleSession::wait_exit(int timeout_ms) {
    const long long deadline = now_ms() + timeout_ms;
    while (!exited_) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            exit_status_ = decode_status(status);
            break;
        }
        if (now_ms() >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            exited_ = true;
            exit_status_ = -1;
            return -1;
        }
        pump(20);
    }
    // What the program wrote before it ended is still waiting on the terminal.
    for (int quiet = 0; quiet < 3;) {
        const size_t before = output_.size();
        pump(20);
        quiet = output_.size() == before ? quiet + 1 : 0;
    }
    return exit_status_;
}

bool ConsoleSession::still_running_after(int wait_ms) {
    const long long deadline = now_ms() + wait_ms;
    while (now_ms() < deadline) pump(10);
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        exit_status_ = decode_status(status);
        return false;
    }
    return true;
}

struct termios ConsoleSession::console_settings() const {
    struct termios settings = {};
    tcgetattr(master_, &settings);
    return settings;
}

Simulator::Simulator(const std::vector<std::string>& options) {
    char report[] = "/tmp/loader-sim-report-XXXXXX";
    const int report_fd = mkstemp(report);
    report_path_ = report;
    int out[2];
    if (report_fd < 0 || pipe(out) != 0) throw std::runtime_error("cannot start loader-sim");
    std::vector<std::string> args = {LOADER_SIM_BIN};
    args.insert(args.end(), options.begin(), options.end());
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(report_fd, STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        std::vector<char*> argv = c_strings(args);
        execv(args[0].c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(report_fd);
    // The first line is the terminal's path.
    const long long deadline = now_ms() + 5000;
    char c;
    while (now_ms() < deadline) {
        pollfd ready = {out[0], POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0) continue;
        if (read(out[0], &c, 1) != 1 || c == '\n') break;
        port_ += c;
    }
    close(out[0]);
    if (port_.empty()) throw std::runtime_error("loader-sim did not start: " + this->report());
}

Simulator::~Simulator() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    unlink(report_path_.c_str());
}

int Simulator::wait_exit(int timeout_ms) {
    const long long deadline = now_ms() + timeout_ms;
    while (pid_ > 0) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return decode_status(status);
        }
        if (now_ms() >= deadline) return -1;
        timespec pause = {0, 5000000};
        nanosleep(&pause, nullptr);
    }
    return -1;
}

std::string Simulator::report() const {
    std::string text;
    if (FILE* file = std::fopen(report_path_.c_str(), "r")) {
        char buffer[512];
        size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
        std::fclose(file);
    }
    return text;
}

std::string tty(const std::string& text) {
    std::string result;
    for (char c : text) {
        if (c == '\n') result += '\r';
        result += c;
    }
    return result;
}

}  // namespace harness
