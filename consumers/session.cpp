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

start_result start_consumer(run_context &ctx, const std::string &command) {
    const run_options &o = ctx.options;
    ctx.show(status_line::phase_type::starting);
    start_result r;
    if (o.port != 0 && ctx.consumers.empty()) {
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
    if (!ctx.sampler) {
        ctx.sampler.emplace(o.port, ctx.status != nullptr ? &ctx.status->dropped : nullptr);
    }
    consumer_process c;
    c.command = command;
    // "--": a command that starts with "-" is a command, not an option of sh.
    c.process = spawn({
        {"/bin/sh", "-c", "--", command},
        input.get(),
        output.write.get(),
        output.write.get(),
        true
    });
    c.started = c.output_read = clock_type::now();
    c.output = std::move(output.read);
    c.tree = ctx.sampler->add(c.process.pid(), c.started);
    ctx.consumers.push_back(std::move(c));
    return r;
}

bool grace_cut(run_context &ctx, const flood_result &flooded) {
    ctx.show(status_line::phase_type::grace, ctx.options.grace);
    const time_point until = flooded.input_ended + seconds_of(ctx.options.grace);
    const auto waiting = [&] { return !ctx.all_ended() && clock_type::now() < until; };
    // A stop signal after the flood's end, or a second one, leaves none.
    while (waiting() && ctx.signals.count() == flooded.stops && flooded.stops < 2) {
        ctx.attend(ctx.wait(until));
    }
    return waiting() && ctx.signals.count() > 0;
}

namespace {

// A consumer's row, from what the phases found.
consumer_row make_row(const run_context &ctx, consumer_process &c, const flood_result &flooded,
                      const tree_result &tree, const std::string &why_not) {
    consumer_row row;
    row.command = c.command;
    row.udp = ctx.options.port != 0;
    row.grace = ctx.options.grace;
    row.asked_rate = ctx.options.rate;
    // The sampler numbers the consumers in the order they started, as the run does.
    const auto &left = c.tree < flooded.left.size() ? flooded.left[c.tree] : std::nullopt;
    if (left) { // it left the group: the flood was its until then
        row.bytes = left->bytes;
        row.datagrams = left->datagrams;
        row.flood_seconds = flooded.seconds - seconds_between(left->at, flooded.input_ended);
        row.flood_end = "it closed its socket at " + fixed(left->after, 1) + " s";
    } else if (why_not.empty()) { // else the flood went to the others together, not to it
        row.bytes = flooded.bytes;
        row.datagrams = flooded.datagrams;
        row.flood_seconds = flooded.seconds;
        row.rate = flooded.rate;
    }
    row.flood_end = !why_not.empty()         ? why_not
                    : !row.flood_end.empty() ? row.flood_end
                                             : flooded.end;
    row.cut_short = flooded.cut_short;
    row.realtime_pacer = flooded.realtime_pacer;
    row.continued_at = flooded.continued_at;
    row.first_sequence = flooded.first_sequence;
    row.last_sequence = flooded.last_sequence;
    row.group = ctx.options.group ? ctx.options.group->text : "";
    row.rtp = ctx.options.rtp;
    row.output = std::move(c.said);
    if (const auto &ended = c.process.reap(false); ended && !tree.by_harness) {
        const bool exited = WIFEXITED(ended->status);
        row.ended = {exited ? ending::exited : ending::signalled,
                     exited ? WEXITSTATUS(ended->status) : WTERMSIG(ended->status),
                     seconds_between(c.started, ended->at)};
    } else {
        row.ended.kind = ending::by_harness;
    }
    row.left_running = tree.left_running;
    const tree_report seen = ctx.sampler->report(c.tree);
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
    if (tree.would_not_end > 0) {
        row.notes.push_back(std::to_string(tree.would_not_end) + " of its processes would not end");
    }
    return row;
}

} // namespace

std::vector<consumer_row> flood_consumers(const run_options &options,
                                          const std::vector<std::string> &commands,
                                          stop_signals &signals, status_line *status) {
    run_context ctx(options, signals, status);
    if (status != nullptr) {
        status->udp = options.port != 0;
    }
    const double harness_cpu_before = own_cpu_seconds();
    std::vector<consumer_row> rows(commands.size());
    std::vector<std::size_t> started; // each consumer's command, by number
    unique_fd input;
    long pipe_bytes = 0;
    for (std::size_t i = 0; i < commands.size(); ++i) {
        start_result start;
        try {
            start = start_consumer(ctx, commands[i]);
        } catch (const std::system_error &e) {
            start.not_started = e.what();
        }
        rows[i].command = commands[i];
        rows[i].udp = options.port != 0;
        rows[i].not_started = start.not_started;
        if (start.not_started.empty()) {
            started.push_back(i);
            input = std::move(start.input);
            pipe_bytes = start.pipe_bytes;
        }
    }
    if (ctx.consumers.empty()) {
        return rows;
    }

    flood_result flooded;
    std::string to, failure, listened_note;
    std::vector<std::string> why_not(ctx.consumers.size());
    try {
        if (options.port != 0) {
            listener_result heard = wait_for_listener(ctx);
            why_not = heard.why_not;
            listened_note = heard.note;
            to = heard.to;
            input = std::move(heard.socket);
        }
        if (input) {
            flooded = flood(ctx, std::move(input), options.port != 0, to);
        }
    } catch (const std::system_error &e) {
        failure = e.what();
    }
    if (flooded.input_ended == time_point{}) {
        flooded.input_ended = clock_type::now(); // never flooded
    }
    const bool cut = grace_cut(ctx, flooded);
    const std::vector<tree_result> trees = end_trees(ctx, flooded.tsflood_pid);
    ctx.read_output(true);
    const double harness_cpu = own_cpu_seconds() - harness_cpu_before;
    for (std::size_t k = 0; k < ctx.consumers.size(); ++k) {
        consumer_process &c = ctx.consumers[k];
        c.said.end();
        consumer_row &row = rows[started[k]];
        row = make_row(ctx, c, flooded, trees[k], why_not[k]);
        row.pipe_bytes = pipe_bytes;
        row.to = to;
        row.failure = failure;
        row.grace_cut = cut;
        row.harness_cpu_seconds = harness_cpu;
        if (!listened_note.empty()) {
            row.notes.push_back(listened_note);
        }
        if (row.flood_end.empty() && row.failure.empty() && !row.flooded()) {
            row.flood_end = "it was sent nothing";
        }
    }
    return rows;
}

consumer_row flood_consumer(const run_options &options, const std::string &command,
                            stop_signals &signals, status_line *status) {
    return flood_consumers(options, {command}, signals, status).front();
}
