// SPDX-License-Identifier: MIT
// One consumer's run: start it, flood it, end it with all it started, and
// say how it went.
#pragma once

#include <string>

#include "options.h"
#include "posix.h"
#include "progress.h"
#include "row.h"

// Floods `command` as `options` say and ends it, every process it started
// included. The harness must be a child subreaper.
consumer_row flood_consumer(const run_options &options, const std::string &command,
                            stop_signals &signals, status_line *status = nullptr);

// The same for all of `commands` at once, on one flood to a multicast group
// (--together): a row for each, in their order.
std::vector<consumer_row> flood_consumers(const run_options &options,
                                          const std::vector<std::string> &commands,
                                          stop_signals &signals, status_line *status = nullptr);
