// SPDX-License-Identifier: MIT
// An earlier run's rows (its --json output) as a baseline: each row of this
// run must do no worse than its baseline's row, beyond the tolerance.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "requirements.h"

// Above the run-to-run noise of the figures of paced floods and searches on
// a busy machine: 8% for a loss-free limit, 7% for peak memory.
constexpr double default_tolerance = 0.15;

// The rows of the file at `path`, of the kind this run prints (a search's,
// or a flood's); or none, and in `error` why not.
std::optional<std::vector<json>> read_baseline(const std::string &path, bool search,
                                               std::string &error);

// What a row is known by: its command, or its commands joined by " + ".
std::string row_name(const json &row);

// The requirements that `before`, the baseline's row, sets a row of this
// run: a loss-free limit or rate no lower, drops, misses, peak memory,
// growth or CPU time no higher than its, by more than `tolerance` of it and
// more than a run's noise moves the figure; each with the baseline's figure.
// A figure this run can never have (drops through a pipe, when `datagrams`
// is false) sets nothing, as --require refuses it.
std::vector<std::pair<requirement, json>> baseline_requirements(const json &before, bool search,
                                                                bool datagrams, double tolerance);
