// SPDX-License-Identifier: MIT
// The harness's process and descriptor plumbing: descriptors that close with
// their owner and never leak into a child, child processes held by a pidfd,
// the stop signals read from a signalfd, and a wait that only says what woke
// it. A failed system call throws std::system_error, whose text names what
// could not be done and why.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <utility>
#include <vector>

using clock_type = std::chrono::steady_clock;
using time_point = clock_type::time_point;

// `seconds` as a duration of the steady clock.
inline clock_type::duration seconds_of(double seconds) {
    return std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(seconds));
}

inline double seconds_between(time_point from, time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// Throws std::system_error for errno: "`what`: strerror(errno)".
[[noreturn]] void throw_errno(const std::string &what);

// A descriptor, closed with its owner.
class unique_fd {
  public:
    unique_fd() = default;
    explicit unique_fd(int fd) noexcept : fd_(fd) {}
    unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
    unique_fd &operator=(unique_fd &&other) noexcept {
        reset(other.release());
        return *this;
    }
    ~unique_fd() {
        reset();
    }
    int get() const noexcept {
        return fd_;
    }
    explicit operator bool() const noexcept {
        return fd_ >= 0;
    }
    int release() noexcept {
        return std::exchange(fd_, -1);
    }
    void reset(int fd = -1) noexcept;

  private:
    int fd_ = -1;
};

struct pipe_ends {
    unique_fd read, write;
};

// Every descriptor below is opened close-on-exec; a child gets only the
// three that spawn() hands it.
pipe_ends make_pipe();
unique_fd open_file(const char *path, int flags); // throws
void set_nonblocking(int fd);                     // throws

// The whole of a small file, such as one of /proc; nothing when it cannot be
// opened (errno says why).
std::optional<std::string> read_file(const std::string &path);

// Standard input, output and error, each opened on /dev/null when it was
// closed, so that no descriptor of the program's own takes their numbers.
// Output and error are opened read-only, so that what is written to a
// closed one fails as it would have. Returns which were closed, as bits
// 1 << fd.
unsigned hold_standard_descriptors();

// "TERM", "RTMIN+3": a signal's name without "SIG", or its number.
std::string signal_name(int sig);

// `name` as execvp would find it: a path when it holds a slash, else the
// first executable file of that name in a folder of the PATH.
std::optional<std::string> find_program(const std::string &name);

// How a child ended, as wait4 tells it.
struct child_status {
    int status = 0; // as waitpid gives it
    rusage use{};   // the child's and that of the children it waited for
    time_point at;  // when it was reaped
};

// User and system time together, in seconds.
double cpu_seconds(const rusage &use);

// A child process, held by a pidfd (Linux 5.3 and later; by its pid where
// the kernel has none), so no signal can reach another process that reuses
// its pid. Dropped while it runs, it is killed and reaped.
class child {
  public:
    child() = default;
    child(pid_t pid, unique_fd pidfd) : pid_(pid), pidfd_(std::move(pidfd)) {}
    child(child &&other) noexcept;
    child &operator=(child &&other) noexcept;
    ~child();

    pid_t pid() const {
        return pid_;
    }
    // Readable once the process has ended; -1 without a pidfd, when only
    // reap(false) can tell.
    int pollable() const {
        return pidfd_.get();
    }
    bool reaped() const {
        return ended_.has_value();
    }
    const std::optional<child_status> &ended() const {
        return ended_;
    }
    void signal(int sig) const; // nothing once reaped
    // Reaps the process once it has ended, waiting for it with `wait`;
    // afterwards, how it ended.
    const std::optional<child_status> &reap(bool wait);

  private:
    pid_t pid_ = 0;
    unique_fd pidfd_;
    std::optional<child_status> ended_;
};

struct spawn_request {
    std::vector<std::string> argv;          // argv[0]: a path, or a name looked up on the PATH
    int in = -1, out = -1, err = -1;        // -1: /dev/null
    bool own_session = false;               // else a process group of its own
    std::vector<std::string> environment{}; // "NAME=VALUE"s beside, or instead of, the harness's
};

// Starts a program with standard input, output and error as asked and no
// other descriptor, the default signal mask, SIGPIPE, SIGINT, SIGTERM and
// SIGHUP, killed if the harness dies (PR_SET_PDEATHSIG). Throws when it cannot be started or
// executed.
child spawn(const spawn_request &request);

// The harness's stop signals, read from a signalfd so that none is lost:
// every signal that would end it by default (SIGINT, SIGTERM, SIGHUP,
// SIGUSR1, SIGALRM, the real-time ones, ...) but a fault of its own, and
// but those its caller ignores; and SIGCONT, which says that it was
// stopped. They are blocked from the program's first instruction.
class stop_signals {
  public:
    static void block(); // from the program's first instruction
    stop_signals();      // throws
    int pollable() const {
        return fd_.get();
    }
    void take(); // reads all that are pending
    int count() const {
        return count_;
    }
    int first() const {
        return first_;
    }
    // When the last SIGCONT came, if one did: the harness had been stopped.
    std::optional<time_point> continued() const {
        return continued_;
    }
    // Ends the program by the first stop signal, as its caller expects.
    [[noreturn]] void end_by_first() const;

  private:
    unique_fd fd_;
    int count_ = 0, first_ = 0;
    std::optional<time_point> continued_;
};

// What woke a wait; nothing when its deadline came.
struct woken {
    bool signal = false; // the signalfd holds a signal
    bool output = false; // an output descriptor is readable, or closed
    bool child = false;  // a child has ended (always, for one without a pidfd)
    bool ready = false;  // one of the extra descriptors is ready; their revents say which

    bool any() const {
        return signal || output || child || ready;
    }
};

// What a wait watches: the signalfd, outputs to read, children.
struct watched {
    int signals = -1;
    std::vector<int> outputs;
    std::vector<const child *> children;
};

// Waits until `deadline` or until something watched, or one of `extra`,
// is ready, and says which; it reads nothing and reaps nothing. A child
// without a pidfd cuts the wait to 20 ms.
woken wait_until(time_point deadline, const watched &what, pollfd *extra = nullptr,
                 std::size_t extras = 0);
