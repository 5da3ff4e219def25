// SPDX-License-Identifier: MIT
// One consumer's run: start it, flood it, end it with all it started, and
// say how it went.
#pragma once

#include <string>

#include "options.h"
#include "row.h"

// The harness's stop signals (SIGINT, SIGTERM, SIGHUP) and SIGCHLD, blocked
// from the start of main and read from a signalfd, so none is lost.
struct signals_t {
    int fd = -1;
    int stops = 0; // stop signals received
    int first = 0; // the first of them
};

// Floods `command` as `options` say and ends it, every process it started
// included. The harness must be a child subreaper.
row_t flood_consumer(const options_t &options, const std::string &command, signals_t &signals);

// The most the flood reaches unpaced on this machine, in bits per second:
// tsflood's output for a quarter of a second, in datagrams to a loopback
// socket that nobody reads (with -u), or into /dev/null. 0 when tsflood
// cannot run.
double unpaced_maximum(const options_t &options);
