// SPDX-License-Identifier: MIT
#include "posix.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

extern "C" { // glibc 2.36's header declares its functions without C linkage
#include <sys/pidfd.h>
}

[[noreturn]] void throw_errno(const std::string &what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void unique_fd::reset(int fd) noexcept {
    if (fd_ >= 0) {
        close(fd_);
    }
    fd_ = fd;
}

pipe_ends make_pipe() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        throw_errno("no pipe");
    }
    return {unique_fd(ends[0]), unique_fd(ends[1])};
}

unique_fd open_file(const char *path, int flags) {
    unique_fd fd(open(path, flags | O_CLOEXEC));
    if (!fd) {
        throw_errno(std::string("cannot open ") + path);
    }
    return fd;
}

void set_nonblocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        throw_errno("cannot make a descriptor non-blocking");
    }
}

std::optional<std::string> read_file(const std::string &path) {
    const unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return std::nullopt;
    }
    std::string text;
    char chunk[4096];
    for (ssize_t n; (n = read(fd.get(), chunk, sizeof chunk)) != 0;) {
        if (n < 0 && errno != EINTR) {
            return std::nullopt;
        }
        text.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
    return text;
}

unsigned hold_standard_descriptors() {
    unsigned closed = 0;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        // The lowest free number is `fd`, as those below it are open.
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDONLY) == fd) {
            closed |= 1u << fd;
        }
    }
    return closed;
}

std::string signal_name(int sig) {
    if (const char *name = sigabbrev_np(sig)) {
        return name;
    }
    // Real-time signals have no abbreviation.
    if (sig >= SIGRTMIN && sig <= SIGRTMAX) {
        return "RTMIN+" + std::to_string(sig - SIGRTMIN);
    }
    return std::to_string(sig);
}

namespace {

bool executable(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

} // namespace

std::optional<std::string> find_program(const std::string &name) {
    if (name.find('/') != std::string::npos) {
        return executable(name) ? std::optional(name) : std::nullopt;
    }
    const char *env = std::getenv("PATH");
    const std::string path = env != nullptr ? env : "/usr/local/bin:/usr/bin:/bin";
    for (std::size_t at = 0, end; at <= path.size(); at = end + 1) {
        end = std::min(path.find(':', at), path.size());
        const std::string folder = end > at ? path.substr(at, end - at) : ".";
        if (executable(folder + '/' + name)) {
            return folder + '/' + name;
        }
    }
    return std::nullopt;
}

child::child(child &&other) noexcept
    : pid_(std::exchange(other.pid_, 0)), pidfd_(std::move(other.pidfd_)),
      ended_(std::move(other.ended_)) {}

child &child::operator=(child &&other) noexcept {
    if (this != &other) {
        signal(SIGKILL);
        reap(true);
        pid_ = std::exchange(other.pid_, 0);
        pidfd_ = std::move(other.pidfd_);
        ended_ = std::move(other.ended_);
    }
    return *this;
}

child::~child() {
    if (pid_ > 0 && !ended_) {
        signal(SIGKILL);
        reap(true);
    }
}

void child::signal(int sig) const {
    if (pid_ <= 0 || ended_) {
        return;
    }
    if (pidfd_) {
        pidfd_send_signal(pidfd_.get(), sig, nullptr, 0);
    } else {
        kill(pid_, sig); // not reaped, so the pid is still its own
    }
}

const std::optional<child_status> &child::reap(bool wait) {
    if (pid_ > 0 && !ended_) {
        child_status s;
        pid_t got;
        while ((got = wait4(pid_, &s.status, wait ? 0 : WNOHANG, &s.use)) < 0 && errno == EINTR) {
        }
        if (got == pid_) {
            s.at = clock_type::now();
            ended_ = s;
            pidfd_.reset();
        }
    }
    return ended_;
}

namespace {

// In the child: says errno to the parent on `report`, and ends.
[[noreturn]] void fail_child(int report) {
    const int error = errno;
    if (write(report, &error, sizeof error) < 0) {
        // nothing more to say it with
    }
    _exit(127);
}

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void become(const char *path, const char *const *argv, const char *const *envp,
                         const int (&fds)[3], bool own_session, pid_t parent, int report,
                         unsigned most_fds) {
    const auto fail = [report] { fail_child(report); };
    if ((own_session ? setsid() : setpgid(0, 0)) < 0 || prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
        fail();
    }
    if (getppid() != parent) {
        _exit(126); // the harness died before the guard was set
    }
    for (int target = 0; target < 3; ++target) {
        if (dup2(fds[target], target) != target) {
            fail();
        }
    }
    // Nothing else of the harness's goes along, whatever opened it.
    if (close_range(3, ~0u, CLOSE_RANGE_CLOEXEC) != 0) {
        for (unsigned fd = 3; fd < most_fds; ++fd) {
            fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
        }
    }
    // The dispositions a program expects, whatever the harness's caller
    // left ignored: the harness ends what it started with SIGTERM.
    struct sigaction by_default {};
    by_default.sa_handler = SIG_DFL;
    for (const int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) {
        if (sigaction(sig, &by_default, nullptr) != 0) {
            fail();
        }
    }
    sigset_t none;
    sigemptyset(&none);
    if (sigprocmask(SIG_SETMASK, &none, nullptr) != 0) {
        fail();
    }
    execve(path, const_cast<char *const *>(argv), const_cast<char *const *>(envp));
    fail_child(report);
}

} // namespace

child spawn(const spawn_request &request) {
    const std::string &name = request.argv.at(0);
    const auto path = find_program(name);
    if (!path) {
        errno = ENOENT;
        throw_errno("cannot run " + name);
    }
    std::vector<const char *> argv;
    for (const auto &arg : request.argv) {
        argv.push_back(arg.c_str());
    }
    argv.push_back(nullptr);
    // The harness's environment, but for what the request sets.
    std::vector<const char *> envp;
    for (const std::string &set : request.environment) {
        envp.push_back(set.c_str());
    }
    for (char **e = environ; *e != nullptr; ++e) {
        const char *const equals = std::strchr(*e, '=');
        const std::size_t length =
            equals != nullptr ? static_cast<std::size_t>(equals - *e + 1) : 0;
        if (std::none_of(
                request.environment.begin(), request.environment.end(),
                [&](const std::string &set) { return set.compare(0, length, *e, length) == 0; })) {
            envp.push_back(*e);
        }
    }
    envp.push_back(nullptr);
    unique_fd null;
    if (request.in < 0 || request.out < 0 || request.err < 0) {
        null = open_file("/dev/null", O_RDWR);
    }
    const int fds[3] = {request.in >= 0 ? request.in : null.get(),
                        request.out >= 0 ? request.out : null.get(),
                        request.err >= 0 ? request.err : null.get()};
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    const auto most_fds = static_cast<unsigned>(std::min<rlim_t>(files.rlim_cur, 1 << 16));
    pipe_ends report = make_pipe(); // the errno of a child that could not exec
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        throw_errno("cannot start " + name);
    }
    if (pid == 0) {
        become(path->c_str(), argv.data(), envp.data(), fds, request.own_session, parent,
               report.write.get(), most_fds);
    }
    report.write.reset();
    child started(pid, unique_fd(pidfd_open(pid, 0))); // by its pid, where the kernel has none
    int error = 0;
    ssize_t n;
    while ((n = read(report.read.get(), &error, sizeof error)) < 0 && errno == EINTR) {
    }
    if (n == static_cast<ssize_t>(sizeof error)) {
        started.reap(true);
        errno = error;
        throw_errno("cannot run " + name);
    }
    return started;
}

namespace {

// The stop signals its caller does not ignore: every signal that would end
// the program by default and is not a fault of its own (SIGSEGV and the
// like) nor SIGPIPE, which it ignores; and SIGCONT.
sigset_t handled_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCONT);
    std::vector<int> stops = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,   SIGUSR1,   SIGUSR2, SIGALRM,
                              SIGPOLL, SIGPROF, SIGPWR,  SIGSTKFLT, SIGVTALRM, SIGXCPU, SIGXFSZ};
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) {
        stops.push_back(sig);
    }
    for (const int sig : stops) {
        struct sigaction inherited {};
        if (sigaction(sig, nullptr, &inherited) == 0 && inherited.sa_handler != SIG_IGN) {
            sigaddset(&set, sig);
        }
    }
    return set;
}

} // namespace

void stop_signals::block() {
    const sigset_t set = handled_signals();
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

stop_signals::stop_signals() {
    const sigset_t set = handled_signals();
    fd_.reset(signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!fd_) {
        throw_errno("no signalfd to read signals from");
    }
}

void stop_signals::take() {
    signalfd_siginfo info;
    while (read(fd_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        const auto sig = static_cast<int>(info.ssi_signo);
        if (sig == SIGCONT) {
            continued_ = clock_type::now();
        } else if (count_++ == 0) {
            first_ = sig;
        }
    }
}

void stop_signals::end_by_first() const {
    std::signal(first_, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, first_);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(first_);
    _exit(128 + first_);
}

woken wait_until(time_point deadline, const watched &what, pollfd *extra, std::size_t extras) {
    std::vector<pollfd> fds = {
        {what.signals, POLLIN, 0}
    };
    for (const int output : what.outputs) {
        fds.push_back({output, POLLIN, 0});
    }
    const std::size_t first_child = fds.size();
    bool unwatchable = false; // a child without a pidfd
    for (const child *c : what.children) {
        if (c->pid() > 0 && !c->reaped()) {
            fds.push_back({c->pollable(), POLLIN, 0});
            unwatchable = unwatchable || c->pollable() < 0;
        }
    }
    const std::size_t first_extra = fds.size();
    fds.insert(fds.end(), extra, extra + extras);

    auto timeout = std::max(deadline - clock_type::now(), clock_type::duration::zero());
    if (unwatchable) {
        timeout = std::min<clock_type::duration>(timeout, std::chrono::milliseconds(20));
    }
    const auto whole = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    const timespec ts{static_cast<time_t>(whole.count()),
                      static_cast<long>(std::chrono::nanoseconds(timeout - whole).count())};
    woken w;
    if (ppoll(fds.data(), fds.size(), &ts, nullptr) < 0) {
        return w; // EINTR, say: as if nothing had come
    }
    std::copy(fds.begin() + static_cast<std::ptrdiff_t>(first_extra), fds.end(), extra);
    w.signal = fds[0].revents != 0;
    w.output = std::any_of(fds.begin() + 1, fds.begin() + static_cast<std::ptrdiff_t>(first_child),
                           [](const pollfd &p) { return p.revents != 0; });
    w.child = unwatchable || std::any_of(fds.begin() + static_cast<std::ptrdiff_t>(first_child),
                                         fds.begin() + static_cast<std::ptrdiff_t>(first_extra),
                                         [](const pollfd &p) { return p.revents != 0; });
    w.ready = std::any_of(extra, extra + extras, [](const pollfd &p) { return p.revents != 0; });
    return w;
}

double cpu_seconds(const rusage &use) {
    return static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
           static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}
