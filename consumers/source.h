// SPDX-License-Identifier: MIT
// tsflood, the flood's source: started in a session of its own with its
// output on a pipe of the harness's, ended with all it started, none of
// which is a consumer's; and the unpaced flood measured once, before any
// consumer starts.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "options.h"
#include "posix.h"
#include "procfs.h"

class transport;

struct running_tsflood {
    child process;
    unique_fd output; // read end, non-blocking
};

running_tsflood start_tsflood(const std::string &path);

// Ends tsflood and all it started: its session and its descendants.
// Returns how tsflood ended, as waitpid says.
int end_tsflood(running_tsflood &tsflood);

// "exit 0", "signal KILL".
std::string status_text(int status);

// Kills `tree` and reaps those of it that the harness, a subreaper, gets:
// what they used counts for no consumer.
void kill_and_reap(const std::vector<process_stat> &tree);

// The most the flood reaches unpaced on this machine, in bits per second:
// tsflood's output for a quarter of a second into the transport's sink
// (datagrams to a loopback socket that nobody reads, or /dev/null). 0 when
// tsflood gives nothing within 2 s; nothing when a stop signal came.
std::optional<double> unpaced_maximum(const run_options &options, transport &through,
                                      stop_signals &signals);
