// SPDX-License-Identifier: MIT
#include "harness.h"

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "procfs.h"

namespace harness {

// When process `pid` blocks SIGTERM (seen in its /proc status), at most 5 s
// from now.
clock_type::time_point signals_blocked(pid_t pid) {
    const auto until = clock_type::now() + std::chrono::seconds(5);
    for (std::string line; clock_type::now() < until;) {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        while (std::getline(status, line)) {
            if (line.rfind("SigBlk:", 0) == 0 &&
                (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1) & 1) != 0) {
                return clock_type::now();
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return clock_type::now();
}

std::vector<json> outcome_t::rows() const {
    std::vector<json> rows;
    for (std::size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
        rows.push_back(json::parse(out.substr(at, end - at)));
    }
    return rows;
}

launch signalled(schedule_t signals, int ignored) {
    launch how;
    how.signals = std::move(signals);
    how.ignored = ignored;
    return how;
}

// Runs tsflood-consumers with `args`, started as `how` says; a run stuck for
// 60 s ends by SIGALRM.
outcome_t run(const std::vector<std::string> &args, const launch &how) {
    int out[2], err[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
    std::vector<const char *> argv = {HARNESS_PATH};
    for (const auto &arg : args) {
        argv.push_back(arg.c_str());
    }
    argv.push_back(nullptr);
    // Blocked before the fork, a signal sent at once finds the child blocking it.
    sigset_t stops, before;
    sigemptyset(&stops);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&stops, sig);
    }
    sigprocmask(how.blocked ? SIG_BLOCK : SIG_UNBLOCK, &stops, &before);
    int terminal = -1, slave = -1;
    if (how.terminal) {
        EXPECT_EQ(openpty(&terminal, &slave, nullptr, nullptr, nullptr), 0);
        fcntl(terminal, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
        if (how.stopped) {
            EXPECT_EQ(write(terminal, "\x13", 1), 1); // Ctrl-S
        }
    }
    const auto began = clock_type::now();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(how.table_too ? slave : out[1], STDOUT_FILENO);
        dup2(how.terminal ? slave : err[1], STDERR_FILENO);
        if (how.terminal) {
            setenv("TERM", how.term, 1);
        }
        for (const int fd : how.closed) {
            close(fd);
        }
        for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
            signal(sig, sig == how.ignored ? SIG_IGN : SIG_DFL);
        }
        if (how.most_fds != 0) {
            const rlimit most{how.most_fds, how.most_fds};
            setrlimit(RLIMIT_NOFILE, &most);
        }
        if (how.most_rtprio != RLIM_INFINITY) {
            const rlimit most{how.most_rtprio, how.most_rtprio};
            setrlimit(RLIMIT_RTPRIO, &most);
        }
        if (how.extra_fd >= 0) {
            fcntl(how.extra_fd, F_SETFD, 0);
        }
        if (how.as_nobody && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(126);
        }
        if (how.private_network && unshare(CLONE_NEWNET) != 0) {
            _exit(125);
        }
        alarm(60);
        execv(argv[0], const_cast<char *const *>(argv.data()));
        _exit(127);
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    close(out[1]);
    close(err[1]);
    if (slave >= 0) {
        close(slave);
    }
    std::thread watcher;
    if (how.watch) {
        watcher = std::thread(how.watch, pid);
    }
    const auto blocked = how.signals.empty() || how.blocked ? began : signals_blocked(pid);
    for (const auto &[at, sig] : how.signals) {
        std::this_thread::sleep_until(blocked + std::chrono::duration<double>(at));
        kill(pid, sig);
    }
    outcome_t outcome;
    pollfd fds[3] = {
        {out[0],   POLLIN, 0},
        {err[0],   POLLIN, 0},
        {terminal, POLLIN, 0}
    };
    std::string *const into[3] = {&outcome.out, &outcome.err, &outcome.terminal};
    while (fds[0].fd >= 0 || fds[1].fd >= 0 || fds[2].fd >= 0) {
        if (how.stopped && fds[0].fd < 0 && fds[1].fd < 0) {
            EXPECT_EQ(write(terminal, "\x11", 1), 1); // Ctrl-Q, once it has ended
        }
        poll(fds, 3, -1);
        for (std::size_t i = 0; i < 3; ++i) {
            char chunk[4096];
            const ssize_t n = fds[i].revents != 0 ? read(fds[i].fd, chunk, sizeof chunk) : -1;
            if (n > 0) {
                into[i]->append(chunk, static_cast<std::size_t>(n));
            } else if (n == 0 || (n < 0 && fds[i].revents != 0 && errno == EIO)) {
                close(fds[i].fd); // a pty's other end, closed, reads as EIO
                fds[i].fd = -1;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (watcher.joinable()) {
        watcher.join();
    }
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    outcome.seconds = std::chrono::duration<double>(clock_type::now() - began).count();
    return outcome;
}

// This test is a subreaper too: whatever the harness fails to end comes to
// it. Waits up to `seconds` for its descendants to end, reaping them;
// returns those still there.
std::size_t left_running(double seconds) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    const auto until = clock_type::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        const auto left = descendants(getpid());
        if (left.empty() || clock_type::now() >= until) {
            return left.size();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Whether the harness can hold a consumer's processes here: qemu-user, for
// one, does not let a program become a child subreaper.
bool harness_runs() {
    static const bool runs = run({"-s", "0.1", "true"}).err.find("subreaper") == std::string::npos;
    return runs;
}

// Whether the harness can make a network namespace of its own here (root,
// or unprivileged user namespaces).
bool private_network() {
    static const bool made = run({"--netns", "-u", "5000", "-s", "0.1", "-g", "0", "true"})
                                 .err.find("no network namespace") == std::string::npos;
    return made;
}

bool installed(const char *program) {
    return std::system((std::string("command -v ") + program + " >/dev/null").c_str()) == 0;
}

// A UDP port nobody holds, on IPv4 and IPv6 loopback alike.
unsigned free_port() {
    const int s = socket(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    socklen_t size = sizeof any;
    bind(s, reinterpret_cast<sockaddr *>(&any), size);
    getsockname(s, reinterpret_cast<sockaddr *>(&any), &size);
    close(s);
    return ntohs(any.sin6_port);
}

// An executable shell script of `body`, to stand in for tsflood with -t.
std::string script(const std::string &name, const std::string &body) {
    const std::string path = testing::TempDir() + name;
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), 0755);
    return path;
}

std::uint64_t bytes_sent(const json &row) {
    return row["packets_sent"].get<std::uint64_t>() * 188 + row["torn_bytes"].get<std::uint64_t>();
}

std::string nobody_cannot_run() {
    if (geteuid() != 0) {
        return "needs root, to run the harness as the user nobody";
    }
    // A checkout in a folder nobody may enter (a home, a mktemp -d) is
    // out of its reach.
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(setgid(65534) == 0 && setuid(65534) == 0 && access(HARNESS_PATH, X_OK) == 0 &&
                      access(MODEL_PATH, X_OK) == 0
                  ? 0
                  : 1);
    }
    int status = 1;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0
               ? ""
               : std::string("the user nobody cannot reach ") + HARNESS_PATH +
                     ": a folder on its way is closed to other users";
}

} // namespace harness
