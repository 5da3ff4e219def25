// SPDX-License-Identifier: MIT
// A run of consumers: their phases in turn, then their rows.
#include "session.h"

#include <exception>
#include <fcntl.h>
#include <sys/resource.h>

#include "phases.h"
#include "report.h"

namespace {

constexpr int output_pipe_size = 1 << 20; // a chatty consumer waits on it less

// User and system time of the harness's threads so far.
double own_cpu_seconds() {
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    return cpu_seconds(use);
}

udp_counters counted_since(const udp_counters &before) {
    const udp_counters now = udp_counters_now();
    return {now.out - before.out, now.in - before.in, now.rcvbuf_errors - before.rcvbuf_errors};
}

} // namespace

start_result start_consumer(run_context &ctx, const std::string &command) {
    ctx.show(status_line::phase_type::starting);
    start_result r;
    if (ctx.consumers.empty()) {
        r.not_started = ctx.through.refused();
        if (!r.not_started.empty()) {
            return r;
        }
    }
    pipe_ends output = make_pipe();
    set_nonblocking(output.read.get());
    fcntl(output.read.get(), F_SETPIPE_SZ, output_pipe_size); // a smaller one does too
    const unique_fd input = ctx.through.consumer_input();
    if (input) {
        r.pipe_bytes = fcntl(input.get(), F_GETPIPE_SZ);
    }
    if (!ctx.sampler) {
        ctx.sampler.emplace(ctx.through.watch(),
                            ctx.status != nullptr ? &ctx.status->dropped : nullptr);
    }
    consumer_process c;
    c.command = command;
    // "--": a command that starts with "-" is a command, not an option of sh.
    c.process = spawn({
        {"/bin/sh", "-c", "--", command},
        input.get(),
        output.write.get(),
        output.write.get(),
        true,
        {std::string(tree_sampler::tree_variable) + "=" +
         tree_sampler::tree_marker(ctx.consumers.size())    }
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

std::vector<consumer_row> flood_consumers(const run_options &options,
                                          const std::vector<std::string> &commands,
                                          stop_signals &signals, status_line *status) {
    const std::unique_ptr<transport> through = make_transport(options);
    run_context ctx(options, *through, signals, status);
    if (status != nullptr) {
        status->udp = through->datagrams();
    }
    const double harness_cpu_before = own_cpu_seconds();
    run_record record;
    record.commands = commands;
    for (std::size_t i = 0; i < commands.size(); ++i) {
        start_result start;
        try {
            start = start_consumer(ctx, commands[i]);
        } catch (const std::exception &e) {
            start.not_started = e.what();
        }
        if (start.not_started.empty()) {
            record.started.push_back(i);
        }
        record.starts.push_back(start);
    }
    if (ctx.consumers.empty()) {
        return make_rows(ctx, record);
    }
    std::optional<udp_counters> before;
    try {
        record.ready = wait_until_ready(ctx);
        if (record.ready.output.fd) {
            if (options.netns) {
                before = udp_counters_now();
            }
            record.flooded =
                flood(ctx, {std::move(record.ready.output.fd), record.ready.output.to});
        }
    } catch (const std::exception &e) {
        record.failure = e.what();
    }
    record.ready.why_not.resize(ctx.consumers.size());
    if (record.flooded.input_ended == time_point{}) {
        record.flooded.input_ended = clock_type::now(); // never flooded
    }
    record.grace_cut = grace_cut(ctx, record.flooded);
    record.trees = end_trees(ctx, record.flooded.tsflood_pid);
    ctx.read_output(true);
    for (consumer_process &c : ctx.consumers) {
        c.said.end();
    }
    if (before) {
        record.counted = counted_since(*before);
    }
    if (record.failure.empty()) {
        record.failure = ctx.sampler->failure();
    }
    record.harness_cpu_seconds = own_cpu_seconds() - harness_cpu_before;
    return make_rows(ctx, record);
}

consumer_row flood_consumer(const run_options &options, const std::string &command,
                            stop_signals &signals, status_line *status) {
    return flood_consumers(options, {command}, signals, status).front();
}
