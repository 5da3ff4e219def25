// SPDX-License-Identifier: MIT
// The flood phase: tsflood started in a session of its own, its output moved
// on to the consumer, and the unpaced flood measured once at the start.
#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "mover.h"
#include "pacer.h"
#include "phases.h"
#include "procfs.h"

namespace {

using std::chrono::milliseconds;

constexpr auto housekeeping = milliseconds(1); // of signals and output, while the flood moves
constexpr auto finish_wait = std::chrono::seconds(1);      // for the rest of the packet
constexpr auto reopen_wait = std::chrono::seconds(1);      // for a receiver's new socket
constexpr auto first_bytes_wait = std::chrono::seconds(2); // for tsflood, when measured
constexpr auto calibration = milliseconds(250);            // of the unpaced flood into a sink
constexpr std::size_t big_step = 1 << 20;
constexpr int flood_pipe_size = 1 << 20; // tsflood's blocks pass whole

// tsflood, with its output on a pipe of the harness's.
struct running_tsflood {
    child process;
    unique_fd output; // read end, non-blocking
};

running_tsflood start_tsflood(const std::string &path) {
    pipe_ends pipe = make_pipe();
    fcntl(pipe.read.get(), F_SETPIPE_SZ, flood_pipe_size); // a smaller one only slows it
    set_nonblocking(pipe.read.get());
    return {spawn({{path}, -1, pipe.write.get(), -1, true}), std::move(pipe.read)};
}

// Kills `tree` and reaps those of it that the harness, a subreaper, gets:
// what they used counts for no consumer.
void kill_and_reap(const std::vector<process_stat> &tree) {
    for (const auto &p : tree) {
        signal_process(p, SIGKILL);
    }
    const time_point give_up = clock_type::now() + std::chrono::seconds(1);
    for (std::size_t left = tree.size(); left > 0 && clock_type::now() < give_up;) {
        left = 0;
        for (const auto &p : tree) {
            const auto now = stat_of(p.pid);
            if (now && now->start_ticks == p.start_ticks) {
                ++left;
                if (now->zombie && now->ppid == getpid()) {
                    waitpid(p.pid, nullptr, WNOHANG);
                }
            }
        }
        if (left > 0) {
            std::this_thread::sleep_for(milliseconds(1));
        }
    }
}

// Ends tsflood and all it started: its session and its descendants, none of
// which is the consumer's. Returns how tsflood ended.
int end_tsflood(running_tsflood &tsflood) {
    const pid_t pid = tsflood.process.pid();
    // Found while tsflood lives, before its output closes, so that what left
    // its session is still known by its parentage.
    std::vector<process_stat> tree = descendants(pid);
    for (const auto &p : descendants(getpid())) {
        if (p.session == pid && p.pid != pid) {
            tree.push_back(p);
        }
    }
    tsflood.process.signal(SIGKILL);
    tsflood.output.reset();
    const int status = tsflood.process.reap(true)->status;
    kill_and_reap(tree);
    return status;
}

std::string status_text(int status) {
    return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                             : "signal " + signal_name(WTERMSIG(status));
}

// The start of the window a rate is taken over: a second after the first
// byte, or when the harness was last continued after a stop, whichever is
// later.
class rate_window {
  public:
    explicit rate_window(const run_context &ctx) : ctx_(ctx), continued_(ctx.signals.continued()) {}

    // Before each step: the bytes a second after the first, as they were
    // then, before any step that came later.
    void before_step(const flood_mover &mover) {
        if (!after_start_ && mover.first_byte()) {
            const time_point second = *mover.first_byte() + std::chrono::seconds(1);
            if (clock_type::now() >= second) {
                after_start_ = {second, mover.bytes()};
            }
        }
    }
    // After a wait: true when the harness went on after a stop.
    bool continued(const flood_mover &mover) {
        if (ctx_.signals.continued() == continued_) {
            return false;
        }
        continued_ = ctx_.signals.continued();
        after_stop_ = {*continued_, mover.bytes()};
        continued_at_.push_back(ctx_.since_start(*continued_));
        return true;
    }
    bool after_stop() const {
        return after_stop_ && start()->at == after_stop_->at;
    }
    std::optional<byte_mark> start() const {
        if (after_stop_ && (!after_start_ || after_stop_->at > after_start_->at)) {
            return after_stop_;
        }
        return after_start_;
    }
    const std::vector<double> &continued_at() const {
        return continued_at_;
    }

  private:
    const run_context &ctx_;
    std::optional<time_point> continued_;
    std::optional<byte_mark> after_start_, after_stop_;
    std::vector<double> continued_at_;
};

// A paced flood's waits for its pieces.
struct pacing {
    explicit pacing(double gap_seconds)
        : gap(gap_seconds), priority(gap_seconds), margin(priority.realtime()) {}
    const double gap;
    pacing_priority priority;
    spin_margin margin;
    pacer_waits waits;
    bool left_realtime = false;

    // Waits until `due`: a sleep until the margin before it, unless
    // `sleep` wakes early, then the margin spun. False when woken early.
    template <typename Sleep> bool wait(time_point due, Sleep sleep) {
        const spin_margin::duration before = margin.get();
        if (due - clock_type::now() > before) {
            const time_point wake = due - before;
            if (sleep(wake)) {
                return false;
            }
            margin.woke_late_by(clock_type::now() - wake);
            ++waits.slept;
        } else {
            ++waits.spun_only;
        }
        while (clock_type::now() < due) {
        }
        // Spinning at real-time priority for nearly all of each gap would
        // have the kernel's throttling stop the thread for 50 ms a second.
        if (priority.realtime() && margin.get() * 10 > seconds_of(gap) * 9) {
            priority.give_up();
            left_realtime = true;
        }
        return true;
    }
};

enum class moved_until { deadline, done, ended, stopped, left };

// Moves the flood, at most `most()` bytes a step, until `deadline`, until
// `done()`, until the flood cannot go on, or until more than
// `stops_allowed` stop signals have come. Between steps, at least every
// millisecond, it attends to what the run watches; so does the sleep until
// a paced piece is due, which then goes back to the loop.
template <typename Most, typename Done>
moved_until move_until(run_context &ctx, flood_mover &mover, rate_window *window, pacing *pace,
                       time_point deadline, int stops_allowed, Most most, Done done,
                       const std::function<bool()> &all_left = nullptr) {
    time_point housekeeping_at = clock_type::now();
    std::uint64_t attended_bytes = mover.bytes();
    bool left = false; // every receiver of the group
    // Waits until `until` or something watched; true when something came.
    const auto attend = [&](time_point until, pollfd *fds, std::size_t n) {
        const woken w = ctx.wait(until, fds, n);
        ctx.attend(w);
        ctx.flooded(mover.bytes() - attended_bytes);
        attended_bytes = mover.bytes();
        if (ctx.status != nullptr) {
            ctx.status->bytes.store(mover.bytes(), std::memory_order_relaxed);
        }
        // After a stop the pace starts afresh: what was due while the
        // harness was stopped is not sent in a burst.
        if (window != nullptr && window->continued(mover)) {
            mover.restart_pace();
        }
        left = all_left && all_left();
        housekeeping_at = clock_type::now() + housekeeping;
        return w.any();
    };
    for (;;) {
        if (ctx.signals.count() > stops_allowed) {
            return moved_until::stopped;
        }
        if (left) {
            return moved_until::left;
        }
        if (done()) {
            return moved_until::done;
        }
        const time_point now = clock_type::now();
        if (now >= deadline) {
            return moved_until::deadline;
        }
        if (!mover.ready() || now >= housekeeping_at) {
            // Blocked, or time to look around: a wait for the flood to be
            // able to move, none when it can.
            auto fds = mover.wants();
            attend(mover.ready() ? now : deadline, fds.data(), fds.size());
            mover.polled(fds);
            continue;
        }
        if (window != nullptr) {
            window->before_step(mover);
        }
        const auto step = mover.step(most());
        if (step == flood_mover::step_result::ended) {
            return moved_until::ended;
        }
        if (step == flood_mover::step_result::early && pace != nullptr) {
            pace->wait(std::min(mover.next_due(), deadline),
                       [&](time_point wake) { return attend(wake, nullptr, 0); });
        }
    }
}

// Why the flood could not go on, from the errno that ended it.
std::string failure_text(int error, const std::string &to, const std::string &at) {
    switch (error) {
    case EPIPE:
        return "it closed its input" + at;
    case ECONNREFUSED:
        return to + " refused the flood" + at + ": nobody listened";
    default:
        return "the flood failed" + at + ": " + std::strerror(error);
    }
}

} // namespace

std::optional<double> taken_rate(std::optional<time_point> first_byte,
                                 std::optional<byte_mark> window_start, byte_mark end) {
    if (window_start && seconds_between(window_start->at, end.at) >= shortest_rate_window) {
        return static_cast<double>(end.bytes - window_start->bytes) /
               seconds_between(window_start->at, end.at);
    }
    if (!first_byte || end.at <= *first_byte) {
        return std::nullopt;
    }
    return static_cast<double>(end.bytes) / seconds_between(*first_byte, end.at);
}

flood_result flood(run_context &ctx, unique_fd input, bool datagrams, const std::string &to) {
    flood_result r;
    running_tsflood tsflood = start_tsflood(ctx.options.tsflood);
    r.tsflood_pid = tsflood.process.pid();
    const time_point began = clock_type::now();
    ctx.sampler->flood_began(r.tsflood_pid);
    ctx.show(status_line::phase_type::flooding, ctx.options.seconds);

    flood_mover mover(tsflood.output.get(), input.get(), datagrams, ctx.options.rate);
    if (ctx.options.rtp) {
        // A random source and starting points, as RFC 3550 asks.
        std::uint32_t random[3] = {};
        if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
            throw_errno("no random numbers for RTP");
        }
        mover.use_rtp(random[0], static_cast<std::uint16_t>(random[1]), random[2]);
    }
    rate_window window(ctx);
    std::optional<pacing> pace;
    if (mover.paced()) {
        pace.emplace(mover.gap());
    }
    pacing *const pacer = pace ? &*pace : nullptr;
    // A group's receiver that leaves refuses nothing, as a socket does: it
    // is seen gone, and the flood is over for it then; once all have been
    // gone for a second, for all. One that opens a socket on the port again
    // (ffmpeg's rtp:// does, after probing) has not left.
    r.left.resize(ctx.consumers.size());
    const auto all_left = [&] {
        const time_point now = clock_type::now();
        for (std::size_t k = 0; k < ctx.consumers.size(); ++k) {
            const consumer_process &c = ctx.consumers[k];
            const auto heard = ctx.sampler->listening(c.tree);
            if (!heard.open.empty()) {
                r.left[k].reset();
            } else if (!r.left[k] && heard.listened) {
                r.left[k] = receiver_left{seconds_between(c.started, now), now, mover.bytes(),
                                          mover.datagrams()};
            }
        }
        return std::all_of(r.left.begin(), r.left.end(),
                           [&](const auto &l) { return l && now - l->at >= reopen_wait; });
    };
    auto how = move_until(
        ctx, mover, &window, pacer, began + seconds_of(ctx.options.seconds), 0,
        [] { return big_step; }, [] { return false; },
        ctx.options.group ? std::function<bool()>(all_left) : nullptr);
    ctx.signals.take(); // one that came as the time was up, SIGCONT too
    window.continued(mover);
    r.stops = ctx.signals.count();
    if (how == moved_until::stopped) {
        r.end = "flood stopped by " + ctx.stop_text() + ctx.at_text(clock_type::now());
    }
    const auto packet_whole = [&] { return mover.bytes() % flood_mover::packet_size == 0; };
    if (how != moved_until::ended && !datagrams && !packet_whole()) {
        ctx.show(status_line::phase_type::finishing);
        const auto rest = [&] {
            return static_cast<std::size_t>(flood_mover::packet_size -
                                            mover.bytes() % flood_mover::packet_size);
        };
        const auto finished = move_until(ctx, mover, &window, pacer,
                                         clock_type::now() + finish_wait, 1, rest, packet_whole);
        how = finished == moved_until::ended ? finished : how;
    }
    if (pace) {
        r.realtime_pacer = pace->priority.realtime();
        pace->priority.give_up();
        const std::string note = pace->waits.note(pace->gap);
        if (!note.empty()) {
            r.notes.push_back(note);
        }
        if (pace->left_realtime) {
            r.notes.push_back("the pacer left real-time priority, where it would have spun "
                              "without pause");
        }
    }
    r.stopped_while_finishing = r.stops == 0 && ctx.signals.count() > 0;
    if (ctx.signals.count() >= 2 && r.stops > 0) {
        r.end += ", then at once by a second";
    }
    ctx.sampler->flood_ended();
    const time_point end = clock_type::now();
    input.reset(); // the consumer's input ends
    r.input_ended = clock_type::now();
    const int tsflood_status = end_tsflood(tsflood);
    if (how == moved_until::ended && mover.error() == 0) {
        r.end = "tsflood ended: " + status_text(tsflood_status);
        r.cut_short = true;
    } else if (how == moved_until::ended) {
        r.end = failure_text(mover.error(), to, ctx.at_text(end));
        r.cut_short = mover.error() != EPIPE && mover.error() != ECONNREFUSED;
    }
    r.bytes = mover.bytes();
    r.datagrams = mover.datagrams();
    if (const auto sequences = mover.sequences()) {
        r.first_sequence = sequences->first;
        r.last_sequence = sequences->second;
    }
    r.rate = taken_rate(mover.first_byte(), window.start(), {end, mover.bytes()});
    r.seconds = seconds_between(began, end);
    r.continued_at = window.continued_at();
    if (pace && r.rate && *r.rate * 8 < ctx.options.rate * 0.99) {
        r.notes.push_back("the pacer reached " + bit_rate_text(*r.rate * 8) + " of the " +
                          bit_rate_text(ctx.options.rate) +
                          " asked: more than it paces here, or held up by a busy machine");
    }
    if (!r.continued_at.empty()) {
        const bool windowed =
            window.after_stop() && seconds_between(window.start()->at, end) >= shortest_rate_window;
        r.notes.push_back("the harness was stopped, and went on at " +
                          fixed(r.continued_at.back(), 1) + " s: its rate " +
                          (windowed ? "is taken after that" : "counts the time it was stopped"));
    }
    return r;
}

std::optional<double> unpaced_maximum(const run_options &options, stop_signals &signals) {
    running_tsflood tsflood = start_tsflood(options.tsflood);
    unique_fd sink, out;
    if (options.port != 0) {
        sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof at;
        sink.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        out.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!sink || !out || bind(sink.get(), reinterpret_cast<sockaddr *>(&at), size) != 0 ||
            getsockname(sink.get(), reinterpret_cast<sockaddr *>(&at), &size) != 0 ||
            connect(out.get(), reinterpret_cast<sockaddr *>(&at), size) != 0) {
            throw_errno("no loopback socket to measure the flood with");
        }
    } else {
        out = open_file("/dev/null", O_WRONLY | O_NONBLOCK);
    }
    run_context ctx(options, signals);
    flood_mover mover(tsflood.output.get(), out.get(), options.port != 0);
    const time_point give_up = clock_type::now() + first_bytes_wait;
    const auto how = move_until(
        ctx, mover, nullptr, nullptr, give_up + calibration, 0, [] { return big_step; },
        [&] {
            const auto first = mover.first_byte();
            return first ? clock_type::now() - *first >= calibration : clock_type::now() >= give_up;
        });
    const auto first = mover.first_byte();
    const double seconds = first ? seconds_between(*first, clock_type::now()) : 0;
    end_tsflood(tsflood);
    // No consumer runs yet: whatever is left below the harness is tsflood's.
    kill_and_reap(descendants(getpid()));
    if (how == moved_until::stopped) {
        return std::nullopt;
    }
    return seconds > 0 ? static_cast<double>(mover.bytes()) * 8 / seconds : 0;
}
