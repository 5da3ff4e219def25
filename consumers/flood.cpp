// SPDX-License-Identifier: MIT
// The flood phase: tsflood's output moved on to the consumers, paced or
// not, in one loop that attends to everything the run watches.
#include <algorithm>
#include <cstring>
#include <sys/random.h>

#include "mover.h"
#include "phases.h"
#include "source.h"
#include "text.h"

namespace {

using std::chrono::milliseconds;

constexpr auto housekeeping = milliseconds(1);   // of signals and output, while the flood moves
constexpr auto blocked_look = milliseconds(100); // around, while it waits to move
constexpr auto finish_wait = std::chrono::seconds(1);    // for the rest of the packet
constexpr auto unreached_wait = std::chrono::seconds(1); // for a receiver's new socket
constexpr auto starved_wait = std::chrono::seconds(2);   // for tsflood, the consumer ready
constexpr std::size_t big_step = 1 << 20;

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

} // namespace

moved_until move_until(run_context &ctx, flood_mover &mover, const move_limits &l) {
    time_point housekeeping_at = clock_type::now();
    std::uint64_t attended_bytes = mover.bytes();
    // Everything a wait found, attended to in this one place.
    const auto attend = [&](const woken &w) {
        ctx.attend(w);
        ctx.flooded(mover.bytes() - attended_bytes);
        attended_bytes = mover.bytes();
        if (ctx.status != nullptr) {
            ctx.status->bytes.store(mover.bytes(), std::memory_order_relaxed);
        }
        housekeeping_at = clock_type::now() + housekeeping;
        return l.between && l.between();
    };
    for (;;) {
        if (ctx.signals.count() > l.stops_allowed) {
            return moved_until::stopped;
        }
        if (l.done && l.done()) {
            return moved_until::done;
        }
        const time_point now = clock_type::now();
        // Paced, what fell due before the deadline still goes, however late
        // the loop came round to it.
        const std::uint64_t owed = l.pace != nullptr && now >= l.deadline && mover.ready()
                                       ? l.pace->due(l.deadline - std::chrono::nanoseconds(1))
                                       : 0;
        if (now >= l.deadline && owed == 0) {
            return moved_until::deadline;
        }
        if (owed == 0 && (!mover.ready() || now >= housekeeping_at)) {
            // Blocked, or time to look around: a wait for the flood to be
            // able to move, none when it can.
            auto fds = mover.wants();
            const woken w = ctx.wait(mover.ready() ? now : std::min(l.deadline, now + blocked_look),
                                     fds.data(), fds.size());
            mover.polled(fds);
            if (attend(w)) {
                return moved_until::between;
            }
            continue;
        }
        std::uint64_t pieces = owed > 0 ? owed : flood_mover::any_pieces;
        if (l.pace != nullptr && owed == 0 && (pieces = l.pace->due(now)) == 0) {
            const woken w = l.pace->wait(std::min(l.pace->next_due(), l.deadline),
                                         [&](time_point wake) { return ctx.wait(wake); });
            if (w.any() && attend(w)) {
                return moved_until::between;
            }
            continue;
        }
        if (l.before_step) {
            l.before_step();
        }
        const std::uint64_t before = mover.pieces();
        const auto step = mover.step(l.most(), pieces);
        if (l.pace != nullptr) {
            l.pace->sent(mover.pieces() - before, clock_type::now());
        }
        if (step == flood_mover::step_result::ended) {
            return moved_until::ended;
        }
    }
}

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

flood_result flood(run_context &ctx, flood_output output) {
    flood_result r;
    running_tsflood tsflood = start_tsflood(ctx.options.tsflood);
    r.tsflood_pid = tsflood.process.pid();
    const time_point began = clock_type::now();
    const bool datagrams = ctx.through.datagrams();
    std::optional<pacer> pace;
    if (ctx.options.rate > 0) {
        pace.emplace(ctx.options.rate, flood_mover::datagram_size, ctx.options.burst);
    }
    flood_mover mover(tsflood.output.get(), output.fd.get(), datagrams, pace.has_value());
    if (ctx.options.transport.rtp) {
        // A random source and starting points, as RFC 3550 asks.
        std::uint32_t random[3] = {};
        if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
            throw_errno("no random numbers for RTP");
        }
        mover.use_rtp(random[0], static_cast<std::uint16_t>(random[1]), random[2],
                      pace ? &*pace : nullptr);
    }
    ctx.sampler->flood_began(r.tsflood_pid, datagrams ? &mover.begun() : nullptr);
    // The sampler's looks go on after the flood, its mover gone.
    const struct forget {
        tree_sampler &sampler;
        ~forget() {
            sampler.flood_gone();
        }
    } forget_mover{*ctx.sampler};
    ctx.show(status_line::phase_type::flooding, ctx.options.seconds);

    rate_window window(ctx);
    std::optional<time_point> unreached_since;
    double starved_for = 0; // seconds, once tsflood has given nothing for too long
    move_limits limits;
    limits.deadline = began + seconds_of(ctx.options.seconds);
    limits.most = [] { return big_step; };
    limits.pace = pace ? &*pace : nullptr;
    limits.before_step = [&] { window.before_step(mover); };
    limits.between = [&] {
        const time_point now = clock_type::now();
        // After a stop the pace starts afresh: what was due while the
        // harness was stopped is not sent in a burst.
        if (window.continued(mover) && pace) {
            pace->restart(now);
        }
        if (ctx.through.ends_when_unreached()) {
            if (ctx.sampler->reached() > 0) {
                unreached_since.reset();
            } else if (!unreached_since) {
                unreached_since = now;
            }
        }
        if (mover.starved_since() && now - *mover.starved_since() >= starved_wait) {
            starved_for = seconds_between(*mover.starved_since(), now);
        }
        return starved_for > 0 || (unreached_since && now - *unreached_since >= unreached_wait);
    };
    auto how = move_until(ctx, mover, limits);
    ctx.signals.take(); // one that came as the time was up, SIGCONT too
    window.continued(mover);
    r.stops = ctx.signals.count();
    if (how == moved_until::stopped) {
        // Before its time was up: too short to judge.
        r.end = "flood stopped by " + ctx.stop_text() + ctx.at_text(clock_type::now());
        r.cut_short = true;
    }
    const auto packet_whole = [&] { return mover.bytes() % flood_mover::packet_size == 0; };
    // The rest of the packet in progress, which a starved flood cannot give.
    if (how != moved_until::ended && starved_for == 0 && !datagrams && !packet_whole()) {
        ctx.show(status_line::phase_type::finishing);
        move_limits rest;
        rest.deadline = clock_type::now() + finish_wait;
        rest.stops_allowed = 1;
        rest.most = [&] {
            return static_cast<std::size_t>(flood_mover::packet_size -
                                            mover.bytes() % flood_mover::packet_size);
        };
        rest.done = packet_whole;
        const auto finished = move_until(ctx, mover, rest);
        how = finished == moved_until::ended ? finished : how;
    }
    r.stopped_while_finishing = r.stops == 0 && ctx.signals.count() > 0;
    if (ctx.signals.count() >= 2 && r.stops > 0) {
        r.end += ", then at once by a second";
    }
    const time_point end = clock_type::now();
    if (pace) {
        pace->finish();
        r.pace = pace->report(std::min(end, limits.deadline));
    }
    ctx.sampler->flood_ended();
    output.fd.reset(); // the consumer's input ends
    r.input_ended = clock_type::now();
    const int tsflood_status = end_tsflood(tsflood);
    if (how == moved_until::ended && mover.error() == 0) {
        r.end = "tsflood ended: " + status_text(tsflood_status);
        r.cut_short = true;
    } else if (how == moved_until::ended) {
        r.end = ctx.through.ended_text(mover.error(), output.to, ctx.at_text(end));
        r.cut_short = r.cut_short || !ctx.through.ended_by_consumer(mover.error());
    } else if (starved_for > 0) {
        r.end = "tsflood gave nothing for " + fixed(starved_for, 1) +
                " s while the consumer waited for more: the flood ended" + ctx.at_text(end);
        r.cut_short = true;
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
    if (!r.continued_at.empty()) {
        const bool windowed =
            window.after_stop() && seconds_between(window.start()->at, end) >= shortest_rate_window;
        // A SIGCONT sent to a program that was never stopped looks the same.
        r.notes.push_back("the harness was continued (SIGCONT) at " +
                          fixed(r.continued_at.back(), 1) + " s, as after a stop: its rate " +
                          (windowed ? "is taken after that" : "counts any time it was stopped"));
    }
    return r;
}
