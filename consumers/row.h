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
#include "ledger.h"
#include "pacer.h"
#include "said.h"
#include "sampler.h"

// How the consumer's own process ended.
struct ending {
    enum kind_type { exited, signalled, by_harness, not_started } kind = not_started;
    int code = 0;     // exit status or signal number
    double after = 0; // seconds after the consumer started
};

struct consumer_row {
    std::string command;
    bool datagrams = false; // over UDP, not through a pipe
    double grace = 0;       // the consumer's time to end by itself, as asked
    long pipe_bytes = 0;    // the consumer's pipe as granted
    std::string to;         // the datagrams' destination
    std::string group;      // the multicast group and port, when the flood went to one
    bool rtp = false;       // each datagram began with an RTP header
    std::optional<std::uint16_t> first_sequence, last_sequence; // its RTP sequence numbers

    std::uint64_t bytes = 0;          // the flood's: into its pipe, or in datagrams
    double flood_seconds = 0;         // from tsflood's start to the end of the consumer's input
    std::optional<double> rate;       // bytes per second, over at least half a second
    double asked_rate = 0;            // bits per second; 0: unpaced
    std::optional<pace_report> pace;  // when paced
    std::string flood_end;            // what ended the flood before its time, if anything
    bool cut_short = false;           // by tsflood, the harness or a stop signal, not the consumer
    std::vector<double> continued_at; // when the harness went on after being stopped
    std::optional<receiver_ledger> ledger; // of its datagrams, once they were sent
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
    double harness_cpu_seconds = 0; // the harness's own, while it ran this consumer
    std::uint64_t peak_rss_kib = 0;
    std::optional<double> rss_growth_kib_per_min;
    std::vector<std::pair<double, std::uint64_t>> rss_kib; // (seconds after start, whole tree)

    std::uint64_t datagrams_sent() const {
        return ledger ? ledger->sent : 0;
    }
    // Given something: bytes into its pipe, or datagrams that reached its
    // sockets, read or dropped there.
    bool flooded() const {
        return bytes > 0 && (!ledger || ledger->read + ledger->dropped > 0);
    }
    // Not flooded as asked, for a cause of the harness's or tsflood's, or
    // nothing reached it: what exit status 1 says.
    bool failed() const {
        return !flooded() || cut_short || !failure.empty();
    }
    // Why it was not flooded as asked; "" when it was.
    std::string why_not_flooded() const;
};

extern const columns<consumer_row> row_columns;

std::string markdown_heading(bool datagrams);
std::string markdown_row(const consumer_row &row);
json row_json(const consumer_row &row);
