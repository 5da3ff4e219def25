// SPDX-License-Identifier: MIT
#include "session.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <optional>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mover.h"
#include "procfs.h"
#include "sampler.h"

namespace {

using clock_type = std::chrono::steady_clock;
using time_point = clock_type::time_point;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr auto chores_period = milliseconds(1); // signals and output, while the flood moves
constexpr auto listen_wait = seconds(10);       // for a UDP consumer to listen; not part of -s
constexpr auto spin_margin = std::chrono::microseconds(30); // before a paced piece is due
constexpr auto finish_wait = seconds(1);        // for the rest of the packet in progress
constexpr auto term_wait = seconds(1);          // between TERM and KILL
constexpr auto kill_wait = seconds(5);          // for KILLed processes to go
constexpr auto calibration = milliseconds(250); // of the unpaced flood into a sink
constexpr std::size_t big_step = 1 << 20;
constexpr int flood_pipe_size = 1 << 20; // tsflood's blocks pass whole

// A descriptor, closed with its owner.
class fd_t {
  public:
    fd_t() = default;
    explicit fd_t(int fd) : fd_(fd) {}
    fd_t(const fd_t &) = delete;
    fd_t &operator=(fd_t &&other) noexcept {
        reset(other.fd_);
        other.fd_ = -1;
        return *this;
    }
    ~fd_t() {
        reset();
    }
    int get() const {
        return fd_;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

void set_nonblocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

double seconds_between(time_point from, time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

std::string status_text(int status) {
    return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                             : std::string("signal ") + sigabbrev_np(WTERMSIG(status));
}

// Starts argv in a child with standard input, output and error on `in`,
// `out` and `err`, the signal mask and dispositions a program expects, in a
// process group of its own (with `own_session`, a session of its own, away
// from the harness's terminal). The child is killed if the harness dies.
pid_t spawn(const char *const argv[], int in, int out, int err, bool own_session) {
    const pid_t harness = getpid();
    const pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    if (own_session) {
        setsid();
    } else {
        setpgid(0, 0);
    }
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != harness) {
        _exit(126); // the harness died before the guard was set
    }
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(argv[0], const_cast<char *const *>(argv));
    _exit(127);
}

// Starts tsflood with its output on a pipe of its own, whose read end, made
// non-blocking and large enough for tsflood's blocks to pass whole, goes to
// `flood`. Returns its pid, or -1.
pid_t start_tsflood(const std::string &path, fd_t &flood) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return -1;
    }
    flood.reset(ends[0]);
    fcntl(ends[0], F_SETPIPE_SZ, flood_pipe_size);
    set_nonblocking(ends[0]);
    const fd_t out(ends[1]), null(open("/dev/null", O_RDWR | O_CLOEXEC));
    const char *const argv[] = {path.c_str(), nullptr};
    return spawn(argv, null.get(), out.get(), null.get(), false);
}

// Where to send the flood for a consumer listening on `sockets`, on loopback
// only: the address an IPv4 socket is bound to in 127.0.0.0/8 (or an IPv6
// socket, v4-mapped), 127.0.0.1 for the IPv4 wildcard, ::1 for ::1 or the
// IPv6 wildcard (which takes IPv6 whether or not it takes IPv4). IPv4 first.
// Nothing when no socket is on loopback.
std::optional<std::pair<sockaddr_storage, socklen_t>>
loopback_destination(std::vector<udp_socket_t> sockets, unsigned port) {
    static const unsigned char v4_mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    const auto zero = [](const unsigned char *from, std::size_t n) {
        return std::all_of(from, from + n, [](unsigned char b) { return b == 0; });
    };
    std::stable_sort(sockets.begin(), sockets.end(),
                     [](const auto &a, const auto &b) { return !a.ipv6 && b.ipv6; });
    sockaddr_storage to{};
    for (const auto &s : sockets) {
        const unsigned char *v4 = !s.ipv6 ? s.address.data()
                                  : std::equal(v4_mapped, v4_mapped + 12, s.address.data())
                                      ? s.address.data() + 12
                                      : nullptr;
        if (v4 != nullptr && (v4[0] == 127 || zero(v4, 4))) {
            auto &in = reinterpret_cast<sockaddr_in &>(to);
            in = {AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
            if (v4[0] == 127) {
                std::memcpy(&in.sin_addr, v4, sizeof in.sin_addr);
            }
            return std::pair(to, static_cast<socklen_t>(sizeof in));
        }
        if (s.ipv6 &&
            (zero(s.address.data(), 16) || (zero(s.address.data(), 15) && s.address[15] == 1))) {
            auto &in6 = reinterpret_cast<sockaddr_in6 &>(to);
            in6 = {AF_INET6, htons(static_cast<std::uint16_t>(port)), 0, in6addr_loopback, 0};
            return std::pair(to, static_cast<socklen_t>(sizeof in6));
        }
    }
    return std::nullopt;
}

class session_t {
  public:
    session_t(const options_t &options, const std::string &command, signals_t &signals)
        : o_(options), signals_(signals), self_(getpid()) {
        row_.command = command;
        row_.udp = options.port != 0;
        row_.grace = options.grace;
        row_.asked_rate = options.rate;
    }

    row_t run() {
        if (start()) {
            if (!row_.udp || listening()) {
                flood();
            }
            end_input();
            grace();
            end_tree();
            read_output(true);
        }
        row_.said.end();
        if (sampler_) {
            sampler_->fill(row_);
        }
        row_.peak_rss_kib = std::max(row_.peak_rss_kib, max_rss_reaped_);
        return std::move(row_);
    }

  private:
    double at(time_point t) const {
        return seconds_between(started_, t);
    }

    std::string at_text(time_point t) const {
        char text[32];
        std::snprintf(text, sizeof text, " at %.1f s", at(t));
        return text;
    }

    bool not_started(const std::string &why) {
        row_.not_started = why;
        return false;
    }

    // The consumer's pipes, and the consumer under sh -c in a session of
    // its own.
    bool start() {
        int out[2], in[2];
        if (pipe2(out, O_CLOEXEC) != 0) {
            return not_started(std::string("no pipe: ") + std::strerror(errno));
        }
        output_.reset(out[0]);
        set_nonblocking(out[0]);
        fcntl(out[0], F_SETPIPE_SZ, flood_pipe_size); // a chatty consumer waits on it less
        fd_t consumer_in, consumer_out(out[1]);
        if (row_.udp) {
            const auto taken = udp_sockets(o_.port);
            if (!taken.empty()) {
                return not_started("UDP port " + std::to_string(o_.port) + " is in use by " +
                                   holder_of(taken.front().inode));
            }
            consumer_in.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
        } else {
            if (pipe2(in, O_CLOEXEC) != 0) {
                return not_started(std::string("no pipe: ") + std::strerror(errno));
            }
            consumer_in.reset(in[0]);
            input_.reset(in[1]);
            if (o_.pipe_asked != 0 &&
                fcntl(in[1], F_SETPIPE_SZ, static_cast<int>(o_.pipe_asked)) < 0) {
                return not_started("no pipe of " + std::to_string(o_.pipe_asked) +
                                   " bytes: " + std::strerror(errno));
            }
            row_.pipe_bytes = fcntl(in[1], F_GETPIPE_SZ);
            set_nonblocking(in[1]);
        }
        // "--": a command that starts with "-" is a command, not an option of sh.
        const char *const argv[] = {"/bin/sh", "-c", "--", row_.command.c_str(), nullptr};
        consumer_ = spawn(argv, consumer_in.get(), out[1], out[1], true);
        started_ = clock_type::now();
        if (consumer_ < 0) {
            return not_started(std::string("no process: ") + std::strerror(errno));
        }
        sampler_.emplace(o_.port, started_);
        row_.ended.kind = ending_t::by_harness; // until it ends by itself
        return true;
    }

    // Waits, apart from -s, for a process of the consumer to hold a UDP
    // socket on the port; then aims the flood at it, on loopback: at the
    // address it is bound to, or for a wildcard at 127.0.0.1 (IPv4) or ::1
    // (IPv6, which takes it whether or not it takes IPv4 too). An IPv4
    // socket is preferred.
    bool listening() {
        const time_point until = started_ + listen_wait;
        const std::string port = std::to_string(o_.port);
        std::vector<udp_socket_t> sockets;
        while ((sockets = sampler_->listening()).empty()) {
            if (signals_.stops > 0) {
                row_.flood_end = std::string("stopped by SIG") + sigabbrev_np(signals_.first) +
                                 " before it listened";
                return false;
            }
            if (consumer_ended_ || clock_type::now() >= until) {
                row_.flood_end =
                    (consumer_ended_ ? "never listened on port " : "not listening on port ") +
                    port + (consumer_ended_ ? "" : " after 10 s");
                return false;
            }
            wait(std::min(until, clock_type::now() + milliseconds(20)));
        }
        const auto to = loopback_destination(sockets, o_.port);
        if (!to) {
            row_.flood_end = "it listens on " + address_text(sockets.front()) + " port " + port +
                             ", not on loopback: not flooded";
            return false;
        }
        const auto &[address, size] = *to;
        const bool ipv4 = address.ss_family == AF_INET;
        char text[INET6_ADDRSTRLEN];
        inet_ntop(address.ss_family,
                  ipv4 ? static_cast<const void *>(
                             &reinterpret_cast<const sockaddr_in &>(address).sin_addr)
                       : &reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr,
                  text, sizeof text);
        row_.to = ipv4 ? std::string(text) + ":" + port : "[" + std::string(text) + "]:" + port;
        input_.reset(socket(address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        const int on = 1;
        if (input_.get() < 0 ||
            setsockopt(input_.get(), ipv4 ? IPPROTO_IP : IPPROTO_IPV6,
                       ipv4 ? IP_RECVERR : IPV6_RECVERR, &on, sizeof on) != 0 ||
            connect(input_.get(), reinterpret_cast<const sockaddr *>(&address), size) != 0) {
            row_.flood_end = "no socket to send from: " + std::string(std::strerror(errno));
            return false;
        }
        return true;
    }

    // tsflood into a pipe of the harness's, and its output on to the
    // consumer until -s is up, a stop signal comes or the flood cannot go
    // on; into a pipe, then the rest of the packet in progress.
    void flood() {
        tsflood_ = start_tsflood(o_.tsflood, flood_);
        if (tsflood_ < 0) {
            tsflood_ = 0;
            row_.flood_end = std::string("tsflood could not be started: ") + std::strerror(errno);
            return;
        }
        flood_began_ = clock_type::now();
        sampler_->flood_began(tsflood_);

        mover_t mover(flood_.get(), input_.get(), row_.udp, o_.rate);
        const time_point stop_at = flood_began_ + seconds_of(o_.seconds);
        time_point chores_at = flood_began_;
        bool ended = false;
        // Moves at most `most` bytes, or waits for the flood to be able to
        // move or for its next piece to be due, doing the chores every
        // millisecond; true once it ended. A sleep wakes tens of
        // microseconds late, so it ends that much before a piece is due,
        // and the rest is spun away.
        const auto move = [&](std::size_t most, time_point until) {
            const time_point now = clock_type::now();
            if (mover.ready() && now < chores_at) {
                const auto step = mover.step(most);
                if (step == mover_t::step_t::early) {
                    const time_point due = std::min(mover.next_due(), until);
                    if (due - now > spin_margin) {
                        wait(due - spin_margin);
                    }
                    while (clock_type::now() < due) {
                    }
                }
                return step == mover_t::step_t::ended;
            }
            chores_at = now + chores_period;
            auto fds = mover.wants();
            wait(mover.ready() ? now : until, fds.data(), fds.size());
            mover.polled(fds);
            return false;
        };
        while (signals_.stops == 0 && clock_type::now() < stop_at && !ended) {
            ended = move(big_step, stop_at);
        }
        if (signals_.stops > 0) {
            row_.flood_end = std::string("flood stopped by SIG") + sigabbrev_np(signals_.first) +
                             at_text(clock_type::now());
        }
        const time_point finish_by = clock_type::now() + finish_wait;
        while (!ended && mover.bytes() % mover_t::packet_size != 0 && signals_.stops < 2 &&
               clock_type::now() < finish_by) {
            const auto rest = mover_t::packet_size - mover.bytes() % mover_t::packet_size;
            ended = move(static_cast<std::size_t>(rest), finish_by);
        }
        sampler_->flood_ended();
        const time_point end = clock_type::now();
        if (ended) {
            flood_failure(mover.error(), end);
        } else if (signals_.stops >= 2) {
            row_.flood_end += ", then at once by a second";
        }
        row_.bytes = mover.bytes();
        row_.datagrams = mover.datagrams();
        row_.rate = mover.rate(end);
        row_.flood_seconds = seconds_between(flood_began_, end);
    }

    void flood_failure(int error, time_point when) {
        const std::string time = at_text(when);
        if (error == 0) {
            tsflood_ended_ = true; // said once it is reaped
        } else if (error == EPIPE) {
            row_.flood_end = "it closed its input" + time;
        } else if (error == ECONNREFUSED) {
            row_.flood_end = row_.to + " refused the flood" + time + ": nobody listened";
        } else {
            row_.flood_end = "the flood failed" + time + ": " + std::strerror(error);
        }
    }

    // The consumer's input ends: its pipe closes, or no more datagrams come.
    void end_input() {
        input_.reset();
        flood_.reset();
        if (tsflood_ > 0) {
            kill(tsflood_, SIGKILL);
            waitpid(tsflood_, &tsflood_status_, 0);
            tsflood_ = 0;
        }
        if (tsflood_ended_) {
            row_.flood_end = "tsflood ended: " + status_text(tsflood_status_);
        }
        input_ended_ = clock_type::now();
    }

    // Time for the consumer to end by itself; a stop signal cuts it short.
    void grace() {
        const int stops = signals_.stops;
        const time_point until = input_ended_ + seconds_of(o_.grace);
        while (!consumer_ended_ && stops < 2 && signals_.stops == stops &&
               clock_type::now() < until) {
            wait(until);
        }
        row_.grace_cut = !consumer_ended_ && signals_.stops > 0 && clock_type::now() < until;
    }

    // Ends every process the consumer left: TERM, then KILL after a second
    // (at once after another stop signal), and reaps them all.
    void end_tree() {
        reap(); // a consumer that has just ended ended by itself
        if (sampler_) {
            sampler_->sample(); // the sockets' last counts, before they close
        }
        auto tree = descendants(self_);
        // A consumer that has ended but is not reaped yet ended by itself.
        harness_ends_consumer_ = std::any_of(tree.begin(), tree.end(), [&](const process_t &p) {
            return p.pid == consumer_ && !p.zombie;
        });
        for (const auto &p : tree) {
            row_.left_running += p.zombie ? 0 : 1;
            kill(p.pid, SIGTERM);
        }
        const int stops = signals_.stops;
        const time_point kill_at = clock_type::now() + term_wait;
        while (!tree.empty() && clock_type::now() < kill_at && signals_.stops == stops) {
            wait(std::min(kill_at, clock_type::now() + milliseconds(20)));
            tree = descendants(self_);
        }
        const time_point give_up = clock_type::now() + kill_wait;
        while (!tree.empty() && clock_type::now() < give_up) {
            for (const auto &p : tree) {
                kill(p.pid, SIGKILL);
            }
            wait(clock_type::now() + milliseconds(10));
            tree = descendants(self_);
        }
        if (!tree.empty()) {
            row_.flood_end += (row_.flood_end.empty() ? "" : "; ") + std::to_string(tree.size()) +
                              " of its processes would not end";
        }
    }

    // Waits until `until` or until one of `extra` is ready; meanwhile reads
    // the stop signals and the consumer's output, and reaps children.
    void wait(time_point until, pollfd *extra = nullptr, std::size_t extras = 0) {
        pollfd fds[4] = {
            {signals_.fd,   POLLIN, 0},
            {output_.get(),            POLLIN, 0},
            {           },
            {           }
        };
        std::copy(extra, extra + extras, fds + 2);
        const auto timeout = std::max(until - clock_type::now(), clock_type::duration::zero());
        const timespec ts{static_cast<time_t>(std::chrono::duration_cast<seconds>(timeout).count()),
                          static_cast<long>((timeout % seconds(1)) / std::chrono::nanoseconds(1))};
        ppoll(fds, 2 + extras, &ts, nullptr);
        std::copy(fds + 2, fds + 2 + extras, extra);
        if (fds[0].revents != 0) {
            read_signals();
        }
        if (fds[1].revents != 0) {
            read_output(false);
        }
        reap();
    }

    void read_signals() {
        signalfd_siginfo info;
        while (read(signals_.fd, &info, sizeof info) == sizeof info) {
            if (info.ssi_signo != SIGCHLD && signals_.stops++ == 0) {
                signals_.first = static_cast<int>(info.ssi_signo);
            }
        }
    }

    // Reads what the consumer printed: a bounded amount, so the flood goes
    // on beside a chatty consumer; with `all`, until its last writer is gone.
    void read_output(bool all) {
        static char chunk[1 << 16];
        for (int reads = 0; output_.get() >= 0 && (all || reads < 16); ++reads) {
            const ssize_t n = read(output_.get(), chunk, sizeof chunk);
            if (n > 0) {
                row_.said.take(chunk, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                if (n == 0) {
                    output_.reset();
                }
                return;
            }
        }
    }

    // Collects every child that ended: the consumer, what it left to the
    // harness as a subreaper, and tsflood. Their resource use is the tree's.
    void reap() {
        int status;
        rusage use{};
        for (pid_t pid; (pid = wait4(-1, &status, WNOHANG, &use)) > 0;) {
            if (pid == tsflood_) {
                tsflood_status_ = status;
                tsflood_ = 0;
                continue;
            }
            row_.cpu_seconds +=
                static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
                static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
            max_rss_reaped_ = std::max(max_rss_reaped_, static_cast<std::uint64_t>(use.ru_maxrss));
            if (pid == consumer_) {
                consumer_ended_ = true;
                if (!harness_ends_consumer_) {
                    const bool exited = WIFEXITED(status);
                    row_.ended = {exited ? ending_t::exited : ending_t::signalled,
                                  exited ? WEXITSTATUS(status) : WTERMSIG(status),
                                  at(clock_type::now())};
                }
            }
        }
    }

    const options_t &o_;
    signals_t &signals_;
    const pid_t self_;
    row_t row_;
    time_point started_, flood_began_, input_ended_;
    fd_t output_; // the consumer's standard output and error, read end
    fd_t input_;  // the consumer's pipe, write end; or the UDP socket
    fd_t flood_;  // tsflood's pipe, read end
    pid_t consumer_ = 0, tsflood_ = 0;
    int tsflood_status_ = 0;
    bool consumer_ended_ = false, tsflood_ended_ = false, harness_ends_consumer_ = false;
    std::optional<sampler_t> sampler_; // from the consumer's start
    std::uint64_t max_rss_reaped_ = 0;
};

} // namespace

row_t flood_consumer(const options_t &options, const std::string &command, signals_t &signals) {
    return session_t(options, command, signals).run();
}

double unpaced_maximum(const options_t &options) {
    fd_t flood, sink, out;
    const pid_t tsflood = start_tsflood(options.tsflood, flood);
    if (tsflood < 0) {
        return 0;
    }
    if (options.port != 0) {
        sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof at;
        sink.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        bind(sink.get(), reinterpret_cast<sockaddr *>(&at), size);
        getsockname(sink.get(), reinterpret_cast<sockaddr *>(&at), &size);
        out.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        connect(out.get(), reinterpret_cast<sockaddr *>(&at), size);
    } else {
        out.reset(open("/dev/null", O_WRONLY | O_CLOEXEC | O_NONBLOCK));
    }
    mover_t mover(flood.get(), out.get(), options.port != 0);
    time_point first{};
    while (first == time_point{} || clock_type::now() - first < calibration) {
        if (!mover.ready()) {
            auto fds = mover.wants();
            poll(fds.data(), fds.size(), 100);
            mover.polled(fds);
        } else if (mover.step(big_step) == mover_t::step_t::ended) {
            break;
        } else if (first == time_point{} && mover.bytes() > 0) {
            first = clock_type::now();
        }
    }
    const double seconds = seconds_between(first, clock_type::now());
    kill(tsflood, SIGKILL);
    waitpid(tsflood, nullptr, 0);
    return first == time_point{} ? 0 : static_cast<double>(mover.bytes()) * 8 / seconds;
}
