// SPDX-License-Identifier: MIT
// The command line of tsflood-consumers, checked in full before anything
// starts.
#pragma once

#include <optional>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "baseline.h"
#include "requirements.h"

// A multicast group the flood goes to, on loopback only.
struct multicast_group {
    sockaddr_storage address{}; // the group and the port
    socklen_t size = 0;
    std::string text; // "239.1.2.3:5000", "[ff0e::1:2]:5000"
    bool ipv6() const {
        return address.ss_family == AF_INET6;
    }
};

// How the flood reaches the consumers, named once: through a pipe (-P
// sizes it), to a UDP port (-u PORT) or to a multicast group (-u
// GROUP:PORT).
struct transport_options {
    enum class kind_type { pipe, udp, group } kind = kind_type::pipe;
    long pipe_asked = 0;   // -P; 0 leaves the consumer's pipe as the kernel makes it
    long pipe_granted = 0; // what the kernel grants for pipe_asked (F_GETPIPE_SZ)
    unsigned port = 0;     // of the consumer's socket, or the group's
    multicast_group group;
    bool rtp = false; // an RTP header before each datagram's 7 packets

    bool datagrams() const {
        return kind != kind_type::pipe;
    }
};

// The most pieces a paced flood sends back to back by default, and at all
// (one sendmmsg).
constexpr unsigned default_burst = 16, most_burst = 64;

struct run_options {
    double seconds = 5;  // of flood per consumer
    double grace = 3;    // for a consumer to end by itself once its input has ended
    std::string tsflood; // path of the tsflood to run
    transport_options transport;
    bool together = false; // every COMMAND at once, on one flood to the group
    bool netns = false;    // in a network namespace of the program's own
    double rate = 0;       // -r, bits per second; 0 floods as fast as the consumer takes it
    unsigned burst = default_burst;        // --burst: the most pieces back to back as the pace goes
    bool find_limit = false;               // search each consumer's highest loss-free rate (UDP)
    bool json = false;                     // one JSON object per line instead of a Markdown table
    std::optional<bool> progress;          // a status line; nothing said: on a terminal
    std::vector<requirement> requirements; // --require, each row's
    std::optional<std::vector<::json>> baseline; // --baseline: an earlier run's rows
    double tolerance = default_tolerance;        // a fraction of the baseline's figure
    std::string junit;                           // --junit: where the JUnit report goes
    std::vector<std::string> commands;
};

constexpr const char *usage_line =
    "usage: tsflood-consumers [-s SECONDS] [-g GRACE] [-t TSFLOOD] [-r RATE [--burst N]]\n"
    "                         [-P BYTES | -u [GROUP:]PORT [--rtp] [--together] [--netns]]\n"
    "                         [--find-limit] [--json] [--progress | --no-progress]\n"
    "                         [--require EXPR]... [--baseline FILE [--tolerance PERCENT]]\n"
    "                         [--junit FILE] [--] COMMAND...";

struct parsed_command_line {
    std::optional<run_options> options; // when the run may start
    std::string message; // else what is wrong, or the text --help or --version asked for
    bool info = false;   // message is that text, for standard output
};

parsed_command_line parse_options(int argc, char **argv);
