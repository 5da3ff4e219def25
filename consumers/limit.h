// SPDX-License-Identifier: MIT
// The highest rate at which a UDP consumer drops nothing: a search over
// paced floods, the consumer started afresh for each try.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "options.h"
#include "progress.h"
#include "row.h"

class stop_signals;

// The lowest rate a search tries without -r.
constexpr double default_floor_bits_per_s = 1e6;

struct limit_result {
    std::vector<std::string> commands; // one, or the receivers of one group together
    double floor = 0;                  // bits per second: the lowest rate tried
    std::optional<double> limit;       // the highest loss-free rate tried; none when even the floor
                                       // drops, or when the search stopped short
    bool unpaced_loss_free = false;    // no receiver dropped anything of the unpaced flood
    std::string note;                  // why the search stopped short, if it did
    std::vector<std::vector<consumer_row>> tries; // in the order they ran, a row per command
    std::optional<std::string> first_to_lose; // together: who dropped most at the lowest lossy rate
    bool pacer_bound = false;                 // loss-free at the fastest pace this machine reaches

    bool failed() const; // stopped short, or a try failed: exit status 1
};

// Tries the unpaced flood, then the floor (-r, else 1 Mbit/s), then rates
// halfway between the highest loss-free and the lowest lossy one on a
// logarithmic scale, until the two are within 5%. Each try floods for -s,
// the consumers started afresh; with --together, all receivers at once on
// one group, loss-free only when every one of them is.
limit_result find_limit(const run_options &options, const std::vector<std::string> &commands,
                        stop_signals &signals, status_line *status = nullptr);

// The search itself: `flood(rate)` runs one try (rate 0: unpaced), a row
// for each of `commands`; once `stopped()`, the search ends after the try it
// came in. A try is loss-free when the flood went on for its whole time
// and no receiver's sockets dropped anything; one that did not go on for
// its whole time ends the search. `observe`, if any, hears before each try
// where the search stands.
using search_observer = std::function<void(const status_line::search_state &)>;
limit_result search_limit(const std::vector<std::string> &commands, double floor,
                          const std::function<std::vector<consumer_row>(double)> &flood,
                          const std::function<bool()> &stopped,
                          const search_observer &observe = nullptr);

extern const columns<limit_result> limit_columns;

std::string limit_heading();
std::string limit_markdown(const limit_result &limit);
