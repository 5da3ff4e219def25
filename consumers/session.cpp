// SPDX-License-Identifier: MIT
#include "session.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

#include "phases.h"
#include "procfs.h"

namespace {

constexpr int output_pipe_size = 1 << 20; // a chatty consumer waits on it less

// User and system time of the harness's threads so far.
double own_cpu_seconds() {
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    return static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
           static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

} // namespace

namespace {

constexpr std::size_t output_chunk = 1 << 16;
constexpr double output_rate = 64 << 20; // bytes per second that may always be read
constexpr double most_output_room = 1 << 20;

} // namespace

double run_context::room(time_point now) const {
    return std::min(most_output_room,
                    output_room_ + output_rate * seconds_between(output_read_, now));
}

woken run_context::wait(time_point until, pollfd *extra, std::size_t extras) const {
    const time_point now = clock_type::now();
    const double room_now = room(now);
    watched what{signals.pollable(), room_now > 0 ? output.get() : -1, {&consumer}};
    if (room_now <= 0 && output) {
        until = std::min(until, now + seconds_of(-room_now / output_rate)); // when there is room
    }
    return wait_until(until, what, extra, extras);
}

void run_context::attend(const woken &w) {
    if (w.signal) {
        signals.take();
    }
    if (w.output) {
        read_output(false);
    }
    if (w.child) {
        consumer.reap(false);
    }
}

void run_context::read_output(bool all) {
    static char chunk[output_chunk];
    const time_point now = clock_type::now();
    output_room_ = room(now);
    output_read_ = now;
    while (output && (all || output_room_ > 0)) {
        const ssize_t n = read(output.get(), chunk, sizeof chunk);
        if (n > 0) {
            said.take(chunk, static_cast<std::size_t>(n));
            output_room_ -= static_cast<double>(n);
        } else if (n == 0 || errno != EINTR) {
            if (n == 0) {
                output.reset(); // its last writer is gone
            }
            return;
        }
    }
}

std::string run_context::at_text(time_point t) const {
    return " at " + fixed(since_start(t), 1) + " s";
}

std::string run_context::stop_text() const {
    return "SIG" + signal_name(signals.first());
}

start_result start_consumer(run_context &ctx, const std::string &command) {
    const run_options &o = ctx.options;
    ctx.show(status_line::phase_type::starting);
    start_result r;
    if (o.port != 0) {
        const auto taken = udp_sockets(o.port);
        if (!taken.empty()) {
            r.not_started = "UDP port " + std::to_string(o.port) + " is in use by " +
                            holder_of(taken.front().inode);
            return r;
        }
    }
    pipe_ends output = make_pipe();
    set_nonblocking(output.read.get());
    fcntl(output.read.get(), F_SETPIPE_SZ, output_pipe_size); // a smaller one does too
    unique_fd input;
    if (o.port == 0) {
        pipe_ends in = make_pipe();
        if (o.pipe_asked != 0 &&
            fcntl(in.write.get(), F_SETPIPE_SZ, static_cast<int>(o.pipe_asked)) < 0) {
            throw_errno("no pipe of " + std::to_string(o.pipe_asked) + " bytes");
        }
        r.pipe_bytes = fcntl(in.write.get(), F_GETPIPE_SZ);
        set_nonblocking(in.write.get());
        input = std::move(in.read);
        r.input = std::move(in.write);
    }
    // "--": a command that starts with "-" is a command, not an option of sh.
    ctx.consumer = spawn({
        {"/bin/sh", "-c", "--", command},
        input.get(),
        output.write.get(),
        output.write.get(),
        true
    });
    ctx.started = clock_type::now();
    ctx.output = std::move(output.read);
    ctx.sampler.emplace(o.port, ctx.started,
                        ctx.status != nullptr ? &ctx.status->dropped : nullptr);
    return r;
}

bool grace_cut(run_context &ctx, const flood_result &flooded) {
    ctx.show(status_line::phase_type::grace, ctx.options.grace);
    const time_point until = flooded.input_ended + seconds_of(ctx.options.grace);
    const auto waiting = [&] { return !ctx.consumer.reaped() && clock_type::now() < until; };
    // A stop signal after the flood's end, or a second one, leaves none.
    while (waiting() && ctx.signals.count() == flooded.stops && flooded.stops < 2) {
        ctx.attend(ctx.wait(until));
    }
    return waiting() && ctx.signals.count() > 0;
}

consumer_row flood_consumer(const run_options &options, const std::string &command,
                            stop_signals &signals, status_line *status) {
    consumer_row row;
    row.command = command;
    row.udp = options.port != 0;
    row.grace = options.grace;
    row.asked_rate = options.rate;
    run_context ctx(options, signals, status);
    if (status != nullptr) {
        status->udp = options.port != 0;
    }
    const double harness_cpu_before = own_cpu_seconds();
    start_result started;
    try {
        started = start_consumer(ctx, command);
    } catch (const std::system_error &e) {
        started.not_started = e.what();
    }
    if (!started.not_started.empty()) {
        row.not_started = started.not_started;
        return row;
    }
    row.pipe_bytes = started.pipe_bytes;

    flood_result flooded;
    try {
        unique_fd input = std::move(started.input);
        if (row.udp) {
            listener_result heard = wait_for_listener(ctx);
            flooded.end = heard.why_not;
            row.to = heard.to;
            input = std::move(heard.socket);
        }
        if (input) {
            flooded = flood(ctx, std::move(input), row.udp, row.to);
        }
    } catch (const std::system_error &e) {
        row.failure = e.what();
    }
    if (flooded.input_ended == time_point{}) {
        flooded.input_ended = clock_type::now(); // never flooded
    }
    row.grace_cut = grace_cut(ctx, flooded);
    const tree_result tree = end_tree(ctx, flooded.tsflood_pid);
    ctx.read_output(true);
    ctx.said.end();

    row.bytes = flooded.bytes;
    row.datagrams = flooded.datagrams;
    row.flood_seconds = flooded.seconds;
    row.rate = flooded.rate;
    row.flood_end = flooded.end.empty() && row.failure.empty() && !row.flooded()
                        ? "it was sent nothing"
                        : flooded.end;
    row.cut_short = flooded.cut_short;
    row.realtime_pacer = flooded.realtime_pacer;
    row.continued_at = flooded.continued_at;
    row.output = std::move(ctx.said);
    if (const auto &ended = ctx.consumer.reap(false); ended && !tree.by_harness) {
        const bool exited = WIFEXITED(ended->status);
        row.ended = {exited ? ending::exited : ending::signalled,
                     exited ? WEXITSTATUS(ended->status) : WTERMSIG(ended->status),
                     ctx.since_start(ended->at)};
    } else {
        row.ended.kind = ending::by_harness;
    }
    row.left_running = tree.left_running;
    const tree_report seen = ctx.sampler->report();
    row.cpu_seconds = tree.cpu_seconds + seen.unwaited_cpu_seconds;
    row.peak_rss_kib = std::max(tree.peak_rss_kib, seen.peak_kib);
    row.rss_growth_kib_per_min = seen.growth_kib_per_min;
    row.rss_kib = seen.rss_kib;
    row.sockets = seen.sockets;
    row.other_sockets = seen.other_holders;
    row.notes = flooded.notes;
    if (flooded.stopped_while_finishing) {
        row.notes.push_back("stopped by " + ctx.stop_text() + " as its flood ended: no grace");
    }
    if (row.dropped() && *row.dropped() > row.datagrams) {
        row.notes.push_back("its sockets dropped more datagrams than were sent to them: another "
                            "sender reached them too");
    }
    row.harness_cpu_seconds = own_cpu_seconds() - harness_cpu_before;
    if (tree.would_not_end > 0) {
        row.notes.push_back(std::to_string(tree.would_not_end) + " of its processes would not end");
    }
    return row;
}
