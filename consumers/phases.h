// SPDX-License-Identifier: MIT
// The phases of a run of one consumer, or of several together on one
// flood: start them, wait until they are ready, flood them, finish the
// packet in progress, give them their grace, end their trees. Each is a
// function that returns what it found; the rows are made from those
// results at the end, by one function (report.h). What the phases share is
// the run's context.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "options.h"
#include "pacer.h"
#include "posix.h"
#include "progress.h"
#include "said.h"
#include "sampler.h"
#include "transport.h"

// One consumer while it runs: its first process, what it prints, and what
// the harness kept of it.
struct consumer_process {
    std::string command;
    child process;
    unique_fd output; // its standard output and error, read end
    consumer_output said;
    time_point started;
    std::size_t tree = 0;   // its number to the sampler
    double output_room = 0; // bytes of its output that may be read, as of output_read
    time_point output_read;
};

// What each phase watches while it waits: the stop signals, and each
// consumer's output and first process.
class run_context {
  public:
    run_context(const run_options &o, transport &t, stop_signals &s, status_line *line = nullptr)
        : options(o), through(t), signals(s), status(line) {}

    const run_options &options;
    transport &through;
    stop_signals &signals;
    status_line *const status;               // none when no status line is drawn
    std::vector<consumer_process> consumers; // one, or with --together all
    std::optional<tree_sampler> sampler;     // from the first consumer's start

    // Waits until `until` or until something watched, or one of `extra`, is
    // ready: the stop signals, the consumers' processes, and their output
    // where there is room to read it.
    woken wait(time_point until, pollfd *extra = nullptr, std::size_t extras = 0) const;
    // Takes in what a wait found: the stop signals that came, some of the
    // consumers' output, a consumer's first process if it ended.
    void attend(const woken &w);
    // Reads the consumers' output: each as fast as it is flooded, and at
    // 64 MiB/s at least, so that a consumer that prints faster waits on its
    // output and its talk cannot crowd out its flood; or with `all`, what
    // there is.
    void read_output(bool all);
    void flooded(std::uint64_t bytes); // more room for their output
    bool all_ended() const;            // every consumer's first process
    double since_start(time_point t) const {
        return seconds_between(consumers.front().started, t);
    }
    std::string at_text(time_point t) const; // " at 1.2 s"
    // The phase, to the status line.
    void show(status_line::phase_type phase, double seconds = 0) const {
        if (status != nullptr) {
            status->phase(phase, seconds);
        }
    }
    std::string stop_text() const; // "SIGINT"
};

// Start: a consumer under sh -c in a session of its own, its output read
// by the harness, its input what the transport gives it; one more of the
// run's consumers, when it could be started.
struct start_result {
    long pipe_bytes = 0; // its input's, as granted, when that is a pipe
    std::string not_started;
};
start_result start_consumer(run_context &ctx, const std::string &command);

// Wait until ready: apart from -s, up to 10 s for each consumer that
// listens to hold a socket the flood would reach; then the transport's
// output.
struct ready_result {
    flood_output output;              // none when no consumer is flooded
    std::vector<std::string> why_not; // each consumer's, when it was not ready
};
ready_result wait_until_ready(run_context &ctx);

// Flood: tsflood's output on to the consumers until -s is up, a stop
// signal comes or the flood cannot go on; then, into a pipe, the rest of
// the packet in progress. Their input ends with it.
struct flood_result {
    std::uint64_t bytes = 0, datagrams = 0;
    double seconds = 0;                   // from tsflood's start to the end of the consumer's input
    std::optional<double> rate;           // bytes per second
    std::vector<double> continued_at;     // when the harness went on after a stop
    std::vector<std::string> notes;       // what else was noticed
    std::string end;                      // what ended it before its time
    bool cut_short = false;               // by tsflood, the harness or a stop signal
    std::optional<pace_report> pace;      // when paced
    int stops = 0;                        // stop signals by the end of the flood
    bool stopped_while_finishing = false; // by a first stop signal, after the time was up
    pid_t tsflood_pid = 0;                // its session and its descendants are not the consumer's
    std::optional<std::uint16_t> first_sequence, last_sequence; // with --rtp
    time_point input_ended;
};
flood_result flood(run_context &ctx, flood_output output);

// The rate a consumer took: over the flood but its first second (its
// start-up), and but what came before the harness was last continued after
// a stop; over less than half a second, the whole flood's average instead.
// Bytes per second; nothing before the first byte.
constexpr double shortest_rate_window = 0.5; // seconds
struct byte_mark {
    time_point at;
    std::uint64_t bytes;
};
std::optional<double> taken_rate(std::optional<time_point> first_byte,
                                 std::optional<byte_mark> window_start, byte_mark end);

class flood_mover;
// How far one stretch of moving goes: until `deadline`, until `done()`,
// until the flood cannot go on, or until more than `stops_allowed` stop
// signals have come; at most `most()` bytes a step, the pieces `pace`
// lets go. `between` runs after each wait, and ends the stretch by
// returning true.
enum class moved_until { deadline, done, ended, stopped, between };
struct move_limits {
    time_point deadline;
    int stops_allowed = 0;
    std::function<std::size_t()> most;
    std::function<bool()> done;
    pacer *pace = nullptr;
    std::function<void()> before_step;
    std::function<bool()> between;
};
moved_until move_until(run_context &ctx, flood_mover &mover, const move_limits &limits);

// Grace: time for the consumers to end by themselves; a stop signal that
// comes after the flood ended cuts it short, as does one that came before.
bool grace_cut(run_context &ctx, const flood_result &flooded);

// End the trees: every process the consumers left gets TERM, then KILL
// after a second (at once after another stop signal), and all are reaped.
// A result for each consumer.
struct tree_result {
    bool by_harness = false; // the consumer's first process was still running
    unsigned left_running = 0;
    unsigned would_not_end = 0;
    double cpu_seconds = 0; // of every process of the tree
    std::uint64_t peak_rss_kib = 0;
};
std::vector<tree_result> end_trees(run_context &ctx, pid_t tsflood_pid);
