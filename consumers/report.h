// SPDX-License-Identifier: MIT
// The rows of a run, made in one place from what its phases found.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "phases.h"
#include "procfs.h"
#include "row.h"

struct run_record {
    std::vector<std::string> commands;
    std::vector<start_result> starts; // one for each command
    std::vector<std::size_t> started; // of each consumer that started, its command's number
    ready_result ready;               // when some started
    flood_result flooded;             // when some were flooded
    std::vector<tree_result> trees;   // one for each consumer that started
    bool grace_cut = false;
    double harness_cpu_seconds = 0;
    std::string failure;                 // what the harness could not do, which ended the run
    std::optional<udp_counters> counted; // by the program's own network namespace, over the run
};

// A row for each command, in their order.
std::vector<consumer_row> make_rows(run_context &ctx, const run_record &record);
