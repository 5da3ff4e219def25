// SPDX-License-Identifier: MIT
#include "report.h"

#include <algorithm>
#include <sys/wait.h>

#include "text.h"

namespace {

// Where a receiver's ledger went, as the flood's end: when it stopped
// receiving for good.
std::string stopped_text(const consumer_row &row, const consumer_process &c) {
    const bool closed = !row.sockets.empty() &&
                        std::all_of(row.sockets.begin(), row.sockets.end(),
                                    [](const seen_socket &s) { return s.closed_at.has_value(); });
    const std::string at = fixed(seconds_between(c.started, *row.ledger->stopped), 1) + " s";
    return closed ? "it closed its socket at " + at : "it stopped receiving the flood at " + at;
}

// With a network namespace of the program's own, its UDP counters count
// this flood and nothing else: what its sockets took (read, or dropped at
// a full buffer) against the rows, which may count as read some that a
// socket closed on unread, and what it sent against the flood.
std::string counters_disagree(const run_record &record, const std::vector<consumer_row> &rows) {
    std::uint64_t took = 0, unsure = 0;
    for (const consumer_row &row : rows) {
        if (row.ledger) {
            took += row.ledger->read + row.ledger->dropped;
            unsure += row.ledger->uncertain;
        }
    }
    const udp_counters &c = *record.counted;
    const std::uint64_t kernel = c.in + c.rcvbuf_errors;
    std::vector<std::string> said;
    if (c.out != record.flooded.datagrams) {
        said.push_back("it sent " + std::to_string(c.out) + " datagrams where the flood sent " +
                       std::to_string(record.flooded.datagrams) +
                       ": something else in it sent UDP");
    }
    if (kernel > took || kernel + unsure < took) {
        said.push_back("its sockets took " + std::to_string(kernel) +
                       " datagrams (InDatagrams and RcvbufErrors) where the rows account for " +
                       (unsure > 0 ? std::to_string(took - unsure) + " to " : "") +
                       std::to_string(took));
    }
    return said.empty() ? "" : "the network namespace's UDP counters disagree: " + join(said, ", ");
}

} // namespace

std::vector<consumer_row> make_rows(run_context &ctx, const run_record &record) {
    const run_options &o = ctx.options;
    const flood_result &flooded = record.flooded;
    std::vector<consumer_row> rows(record.commands.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        rows[i].command = record.commands[i];
        rows[i].datagrams = ctx.through.datagrams();
        rows[i].not_started = record.starts[i].not_started;
    }
    for (std::size_t k = 0; k < ctx.consumers.size(); ++k) {
        consumer_process &c = ctx.consumers[k];
        const tree_result &tree = record.trees[k];
        const std::string &why_not = record.ready.why_not[k];
        consumer_row &row = rows[record.started[k]];
        row.grace = o.grace;
        row.asked_rate = o.rate;
        row.pipe_bytes = record.starts[record.started[k]].pipe_bytes;
        row.to = record.ready.output.to;
        row.group =
            o.transport.kind == transport_options::kind_type::group ? o.transport.group.text : "";
        row.rtp = o.transport.rtp;
        row.failure = record.failure;
        row.grace_cut = record.grace_cut;
        row.harness_cpu_seconds = record.harness_cpu_seconds;
        // The flood went to all of them, each as far as it was reached.
        row.bytes = flooded.bytes;
        row.flood_seconds = flooded.seconds;
        row.rate = flooded.rate;
        row.pace = flooded.pace;
        row.cut_short = flooded.cut_short;
        row.continued_at = flooded.continued_at;
        row.first_sequence = flooded.first_sequence;
        row.last_sequence = flooded.last_sequence;
        const tree_report seen = ctx.sampler->report(c.tree);
        if (ctx.through.datagrams() && flooded.bytes > 0) {
            row.ledger = seen.ledger;
        }
        row.sockets = seen.sockets;
        row.other_sockets = seen.other_holders;
        // One that was not ready when the flood began may have been reached later.
        const bool reached_later = row.ledger && row.ledger->received;
        row.flood_end = !why_not.empty() && reached_later
                            ? "at first " + why_not + "; reached later, its ledger counts from then"
                        : !why_not.empty()                  ? why_not
                        : !flooded.end.empty()              ? flooded.end
                        : row.ledger && row.ledger->stopped ? stopped_text(row, c)
                                                            : "";
        row.output = std::move(c.said);
        if (const auto &ended = c.process.reap(false); ended && !tree.by_harness) {
            const bool exited = WIFEXITED(ended->status);
            row.ended = {exited ? ending::exited : ending::signalled,
                         exited ? WEXITSTATUS(ended->status) : WTERMSIG(ended->status),
                         seconds_between(c.started, ended->at)};
        } else {
            row.ended.kind = ending::by_harness;
        }
        row.left_running = tree.left_running;
        row.cpu_seconds = tree.cpu_seconds + seen.unwaited_cpu_seconds;
        row.peak_rss_kib = std::max(tree.peak_rss_kib, seen.peak_kib);
        row.rss_growth_kib_per_min = seen.growth_kib_per_min;
        row.rss_kib = seen.rss_kib;
        row.notes = flooded.notes;
        if (flooded.pace) {
            const auto pacer_notes = flooded.pace->notes();
            row.notes.insert(row.notes.end(), pacer_notes.begin(), pacer_notes.end());
        }
        if (flooded.stopped_while_finishing) {
            row.notes.push_back("stopped by " + ctx.stop_text() + " as its flood ended: no grace");
        }
        if (row.ledger && row.ledger->overdrawn) {
            row.notes.push_back("its sockets dropped more datagrams than reached them: another "
                                "sender reached them too");
        }
        if (row.flood_end.empty() && row.failure.empty() && !row.flooded()) {
            row.flood_end = row.why_not_flooded();
        }
        if (tree.would_not_end > 0) {
            row.notes.push_back(std::to_string(tree.would_not_end) +
                                " of its processes would not end");
        }
    }
    if (record.counted && flooded.bytes > 0) {
        const std::string disagree = counters_disagree(record, rows);
        for (consumer_row &row : rows) {
            if (!disagree.empty() && row.ledger) {
                row.notes.push_back(disagree);
            }
        }
    }
    return rows;
}
