// SPDX-License-Identifier: MIT
// How the tests run tsflood-consumers: started as a caller would start it,
// with what it printed, how it ended and how long it took; and what the
// tests of its runs share.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace harness {

using json = nlohmann::json;
using clock_type = std::chrono::steady_clock;

struct outcome_t {
    int status = -1; // exit status, or 128 + the signal that ended it
    std::string out, err;
    std::string terminal; // what it wrote to the terminal, if it had one
    double seconds = 0;

    std::vector<json> rows() const; // one JSON object a line of `out`
};

// Signals to send, each with its time in seconds after the harness blocked
// them, its first act.
using schedule_t = std::vector<std::pair<double, int>>;

// How the harness is started: as from a terminal, but for what is said here.
struct launch {
    schedule_t signals;                 // sent once it blocks them, or at once with `blocked`
    int ignored = 0;                    // a signal ignored, as under nohup
    bool blocked = false;               // the stop signals blocked by its caller
    std::vector<int> closed;            // standard descriptors closed
    rlim_t most_fds = 0;                // RLIMIT_NOFILE; 0: as it is
    bool as_nobody = false;             // run as the user nobody
    int extra_fd = -1;                  // a descriptor it inherits, not close-on-exec
    rlim_t most_rtprio = RLIM_INFINITY; // RLIMIT_RTPRIO; RLIM_INFINITY: as it is
    std::function<void(pid_t)> watch;   // on a thread of its own while it runs
    // Standard error, or with `table_too` standard output as well, on a
    // terminal (a pty) of type `term`, stopped with Ctrl-S with `stopped`
    // until the program ends.
    bool terminal = false, table_too = false, stopped = false;
    const char *term = "xterm";
    bool private_network = false; // in a network namespace of its own, made bare
};

launch signalled(schedule_t signals, int ignored = 0);

// When process `pid` blocks SIGTERM (seen in its /proc status), at most 5 s
// from now.
clock_type::time_point signals_blocked(pid_t pid);

// Runs tsflood-consumers with `args`, started as `how` says; a run stuck for
// 60 s ends by SIGALRM.
outcome_t run(const std::vector<std::string> &args, const launch &how = {});

// This test is a subreaper too: whatever the harness fails to end comes to
// it. Waits up to `seconds` for its descendants to end, reaping them;
// returns those still there.
std::size_t left_running(double seconds = 0.5);

// Whether the harness can hold a consumer's processes here: qemu-user, for
// one, does not let a program become a child subreaper.
bool harness_runs();
// Whether the harness can make a network namespace of its own here (root,
// or unprivileged user namespaces).
bool private_network();
// Why the harness cannot run as the user nobody here, if it cannot: not
// root, or a folder on its way that nobody may enter.
std::string nobody_cannot_run();

bool installed(const char *program);
// A UDP port nobody holds, on IPv4 and IPv6 loopback alike.
unsigned free_port();
// An executable shell script of `body`, to stand in for tsflood with -t.
std::string script(const std::string &name, const std::string &body);
std::uint64_t bytes_sent(const json &row);

} // namespace harness

// Skips a test of the harness's runs where it cannot run at all.
#define REQUIRE_HARNESS()                                                                          \
    if (!harness::harness_runs()) {                                                                \
        GTEST_SKIP() << "tsflood-consumers cannot become a child subreaper here";                  \
    }

#define REQUIRE_PRIVATE_NETWORK()                                                                  \
    if (!harness::private_network()) {                                                             \
        GTEST_SKIP() << "tsflood-consumers --netns cannot make a network namespace here";          \
    }

#define REQUIRE_NOBODY()                                                                           \
    if (const std::string why = harness::nobody_cannot_run(); !why.empty()) {                      \
        GTEST_SKIP() << why;                                                                       \
    }
