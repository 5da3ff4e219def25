// SPDX-License-Identifier: MIT
// One consumer's result, and the two ways it is printed: a Markdown table
// row and a JSON object, both from this one record through one table of
// columns.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "columns.h"
#include "said.h"

struct seen_socket {
    std::uint64_t inode;
    bool ipv6;
    std::string address; // bound to
    std::uint64_t drops; // its count when last seen
    std::optional<double>
        closed_at; // seconds after the consumer started, if before the flood ended
};

// How the consumer's own process ended.
struct ending {
    enum kind_type { exited, signalled, by_harness, not_started } kind = not_started;
    int code = 0;     // exit status or signal number
    double after = 0; // seconds after the consumer started
};

struct consumer_row {
    std::string command;
    bool udp = false;
    double grace = 0;    // the consumer's time to end by itself, as asked
    long pipe_bytes = 0; // the consumer's pipe as granted
    std::string to;      // the datagrams' destination
    std::string group;   // the multicast group and port, when the flood went to one
    bool rtp = false;    // each datagram began with an RTP header
    std::optional<std::uint16_t> first_sequence, last_sequence; // its RTP sequence numbers

    std::uint64_t bytes = 0; // given to the consumer: into its pipe, or in datagrams
    std::uint64_t datagrams = 0;
    double flood_seconds = 0;           // from tsflood's start to the end of the consumer's input
    std::optional<double> rate;         // bytes per second, over at least half a second
    double asked_rate = 0;              // bits per second; 0: unpaced
    std::optional<bool> realtime_pacer; // when paced: whether its thread had real-time priority
    std::string flood_end;              // what ended the flood before its time, if anything
    bool cut_short = false;             // by tsflood or the harness, not by the consumer
    std::vector<double> continued_at;   // when the harness went on after being stopped
    std::vector<seen_socket> sockets;
    std::vector<std::string> other_sockets; // the holders of other processes' sockets on the port

    consumer_output output;
    ending ended;
    std::string not_started;        // why, when the consumer could not be started
    std::string failure;            // what the harness could not do, which ended the row
    bool grace_cut = false;         // by a stop signal, the consumer still running
    unsigned left_running = 0;      // the consumer's processes the harness had to end
    std::vector<std::string> notes; // what else the harness noticed
    double cpu_seconds = 0;         // user and system, the whole tree
    double harness_cpu_seconds = 0; // the harness\'s own, while it ran this consumer
    std::uint64_t peak_rss_kib = 0;
    std::optional<double> rss_growth_kib_per_min;
    std::vector<std::pair<double, std::uint64_t>> rss_kib; // (seconds after start, whole tree)

    bool flooded() const {
        return bytes > 0;
    }
    // Not flooded as asked, for a cause of the harness's or tsflood's, not
    // the consumer's: what exit status 1 says.
    bool failed() const {
        return !flooded() || cut_short || !failure.empty();
    }
    std::optional<std::uint64_t> dropped() const; // nothing when no socket was seen
};

// A rate as engineers write it: "38.0 Mbit/s", "1.20 Gbit/s".
std::string bit_rate_text(double bits_per_second);
// Bytes per second as "1.65 GiB/s", "335 MiB/s" or "4.21 MiB/s".
std::string byte_rate_text(double bytes_per_second);
// `value` with `decimals` decimals.
std::string fixed(double value, int decimals);

// Text made safe for a Markdown table cell, as text and as code. Bytes that
// are not part of a UTF-8 character show as \xHH there and in JSON.
std::string markdown_cell(const std::string &text);
std::string markdown_code(const std::string &text);
std::string valid_utf8(const std::string &text);

extern const columns<consumer_row> row_columns;

std::string markdown_heading(bool udp);
std::string markdown_row(const consumer_row &row);
json row_json(const consumer_row &row);
