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
