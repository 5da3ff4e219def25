// SPDX-License-Identifier: MIT
#include "progress.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "text.h"

namespace {

using std::chrono::milliseconds;

constexpr auto refresh = milliseconds(250);
constexpr auto plain_refresh = milliseconds(1000);

// What the status line is written to: a description of standard error of
// its own, non-blocking, where standard error is a terminal or a pipe (so
// that one that blocks, as a terminal stopped with Ctrl-S does, holds up no
// write); else standard error itself.
unique_fd open_output() {
    struct stat st {};
    if (isatty(STDERR_FILENO) || (fstat(STDERR_FILENO, &st) == 0 && S_ISFIFO(st.st_mode))) {
        unique_fd own(open("/proc/self/fd/2", O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (own) {
            return own;
        }
    }
    return unique_fd(fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3));
}

} // namespace

std::unique_ptr<status_line> status_line::open(std::optional<bool> wanted) {
    if (!wanted.value_or(isatty(STDERR_FILENO) == 1)) {
        return nullptr;
    }
    unique_fd output = open_output();
    if (!output) {
        return nullptr;
    }
    const char *term = std::getenv("TERM");
    const bool plain = term != nullptr && std::strcmp(term, "dumb") == 0;
    return std::unique_ptr<status_line>(new status_line(std::move(output), plain));
}

status_line::status_line(unique_fd terminal, bool plain)
    : terminal_(std::move(terminal)), plain_(plain), phase_began_(clock_type::now()),
      thread_(&status_line::run, this) {}

status_line::~status_line() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_one();
    thread_.join();
    clear();
}

void status_line::consumer(std::size_t number, std::size_t of, const std::string &command) {
    const std::lock_guard<std::mutex> lock(mutex_);
    number_ = number;
    of_ = of;
    command_ = valid_utf8(command);
    search_.reset();
}

void status_line::phase(phase_type phase, double seconds) {
    const std::lock_guard<std::mutex> lock(mutex_);
    phase_ = phase;
    phase_seconds_ = seconds;
    phase_began_ = clock_type::now();
    if (phase == phase_type::flooding) {
        bytes = 0;
        dropped = 0;
    }
}

void status_line::search(const search_state &state) {
    const std::lock_guard<std::mutex> lock(mutex_);
    search_ = state;
}

void status_line::clear() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (drawn_ && !plain_) {
        const char erase[] = "\r\x1b[K";
        if (write(terminal_.get(), erase, sizeof erase - 1) < 0) {
            // a terminal that takes nothing now has nothing to erase
        }
    }
    drawn_ = false;
}

void status_line::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!changed_.wait_for(lock, plain_ ? plain_refresh : refresh, [this] { return stop_; })) {
        winsize size{};
        const std::size_t width =
            ioctl(terminal_.get(), TIOCGWINSZ, &size) == 0 && size.ws_col > 20 ? size.ws_col : 80;
        write_line(text(width));
    }
}

std::string status_line::text(std::size_t width) {
    const double elapsed = seconds_between(phase_began_, clock_type::now());
    const auto of_seconds = [&] {
        return fixed(elapsed, 1) + " of " + fixed(phase_seconds_, 1) + " s";
    };
    std::string now;
    switch (phase_) {
    case phase_type::starting:
        now = "starting";
        break;
    case phase_type::listening:
        now = "waiting for it to listen";
        break;
    case phase_type::flooding: {
        const double rate = elapsed > 0 ? static_cast<double>(bytes.load()) / elapsed : 0;
        now = "flooding " + of_seconds() + ", " +
              (udp ? bit_rate_text(rate * 8) + ", " + std::to_string(dropped.load()) + " dropped"
                   : byte_rate_text(rate));
        break;
    }
    case phase_type::finishing:
        now = "finishing its last packet";
        break;
    case phase_type::grace:
        now = "grace " + of_seconds();
        break;
    case phase_type::ending:
        now = "ending its processes";
        break;
    }
    if (search_) {
        const search_state &s = *search_;
        now = "try " + std::to_string(s.try_number) + " at " +
              (s.rate > 0 ? bit_rate_text(s.rate) : std::string("unpaced")) +
              (s.loss_free ? ", loss-free at " + bit_rate_text(*s.loss_free) : "") +
              (s.lossy ? ", lossy at " + bit_rate_text(*s.lossy) : "") +
              (s.tries_left >= 0 ? ", about " + std::to_string(s.tries_left) + " more" : "") +
              ": " + now;
    }
    const std::string number = "[" + std::to_string(number_) + "/" + std::to_string(of_) + "] ";
    // The command gets what the rest leaves of the width, ten characters at
    // least; the line stays one short of it, so the terminal does not wrap.
    const std::size_t room =
        width > number.size() + now.size() + 14 ? width - number.size() - now.size() - 4 : 10;
    const std::string command =
        command_.size() > room ? command_.substr(0, room - 1) + "…" : command_;
    return number + command + " | " + now;
}

void status_line::write_line(const std::string &line) {
    const std::string out = plain_ ? line + "\n" : "\r" + line + "\x1b[K";
    // A line the terminal cannot take now is dropped; one cut short is
    // erased by the next.
    drawn_ = write(terminal_.get(), out.data(), out.size()) > 0;
}
