// SPDX-License-Identifier: MIT
// The highest rate at which a UDP consumer drops nothing: a search over
// paced floods, the consumer started afresh for each try.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "options.h"
#include "row.h"
#include "session.h"

// The lowest rate a search tries without -r.
constexpr double default_floor_bits_per_s = 1e6;

struct limit_t {
    std::string command;
    double floor = 0;            // bits per second: the lowest rate tried
    std::optional<double> limit; // the highest loss-free rate tried; none when even the floor drops
    bool unpaced_loss_free = false; // the consumer dropped nothing of the unpaced flood
    std::string note;               // why the search stopped short, if it did
    std::vector<row_t> tries;       // in the order they ran
};

// Tries the unpaced flood, then the floor (-r, else 1 Mbit/s), then rates
// halfway between the highest loss-free and the lowest lossy one on a
// logarithmic scale, until the two are within 5%. Each try floods for -s,
// the consumer started afresh.
limit_t find_limit(const options_t &options, const std::string &command, signals_t &signals);

// The search itself: `flood(rate)` runs one try (rate 0: unpaced); a stop
// signal counted in `signals` ends the search after the try it comes in.
limit_t search_limit(const std::string &command, double floor,
                     const std::function<row_t(double)> &flood, const signals_t &signals);

std::string limit_heading();
std::string limit_markdown(const limit_t &limit);
std::string limit_json(const limit_t &limit);
