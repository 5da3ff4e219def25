// SPDX-License-Identifier: MIT
#include "row.h"

#include <cmath>

#include "posix.h"
#include "text.h"

namespace {

constexpr std::uint64_t packet_size = 188;

std::string packets_text(std::uint64_t bytes) {
    const std::string packets = std::to_string(bytes / packet_size);
    return bytes % packet_size == 0
               ? packets
               : packets + " and " + std::to_string(bytes % packet_size) + " bytes";
}

std::string processes_text(unsigned n) {
    return std::to_string(n) + " process" + (n > 1 ? "es" : "");
}

// How it ended, and what the harness noticed on the way.
std::string ended_text(const consumer_row &row) {
    std::string text;
    if (!row.failure.empty()) {
        text = "failed: " + row.failure + "; ";
    }
    if (!row.flood_end.empty()) {
        text += row.flood_end + "; ";
    }
    const ending &e = row.ended;
    switch (e.kind) {
    case ending::exited:
        text += "exit " + std::to_string(e.code) + " after " + fixed(e.after, 1) + " s";
        break;
    case ending::signalled:
        text += "signal " + signal_name(e.code) + " after " + fixed(e.after, 1) + " s";
        break;
    case ending::by_harness:
        text += row.grace_cut ? "still running when the harness was stopped: ended"
                              : "still running " + seconds_text(row.grace) + " after its " +
                                    (row.datagrams ? "flood" : "input") + " ended: ended";
        break;
    case ending::not_started:
        return text + "not started: " + row.not_started;
    }
    const unsigned others =
        row.left_running - (e.kind == ending::by_harness && row.left_running > 0 ? 1 : 0);
    if (others > 0 && e.kind == ending::by_harness) {
        text += ", with " + std::to_string(others) + " more process" + (others > 1 ? "es" : "");
    } else if (others > 0) {
        text += "; " + processes_text(others) + " it left running: ended";
    }
    if (!row.other_sockets.empty()) {
        text += "; the port was held by another process too, which may have taken datagrams: " +
                join(row.other_sockets, " / ");
    }
    for (const auto &note : row.notes) {
        text += "; " + note;
    }
    return text;
}

// Its drops, and where any datagram missed it, how many, within the
// bound the samples leave.
std::string dropped_text(const consumer_row &row) {
    if (!row.ledger) {
        return "n/a";
    }
    const receiver_ledger &l = *row.ledger;
    std::string text = std::to_string(l.dropped);
    for (const auto &s : row.sockets) {
        if (s.closed_at) {
            text += " (a socket closed at " + fixed(*s.closed_at, 1) + " s)";
            break;
        }
    }
    // Of the uncertain, those that reached its sockets were never missed.
    const std::uint64_t maybe_missed = l.uncertain - l.unread;
    if (l.missed > 0 || maybe_missed > 0) {
        text += "; missed " + std::to_string(l.missed) +
                (maybe_missed > 0 ? " to " + std::to_string(l.missed + maybe_missed) : "");
    }
    if (l.unread > 0) {
        text += "; " + std::to_string(l.unread) + " perhaps discarded unread";
    }
    return text;
}

json ledger_value(const consumer_row &row, std::uint64_t receiver_ledger::*figure) {
    return row.ledger ? json(*row.ledger.*figure) : json(nullptr);
}

json optional(const std::optional<double> &value) {
    return value ? json(*value) : json(nullptr);
}

json text_or_null(const std::string &text) {
    return text.empty() ? json(nullptr) : json(valid_utf8(text));
}

json ended_json(const consumer_row &row) {
    switch (row.ended.kind) {
    case ending::exited:
        return {
            {"exit", row.ended.code}
        };
    case ending::signalled:
        return {
            {"signal", signal_name(row.ended.code)}
        };
    case ending::by_harness:
        return {
            {"ended_by_harness", true}
        };
    case ending::not_started:
        break;
    }
    return {
        {"not_started", row.not_started}
    };
}

json sockets_json(const consumer_row &row) {
    json sockets = json::array();
    for (const auto &s : row.sockets) {
        sockets.push_back({
            {"inode",       s.inode                },
            {"family",      s.ipv6 ? "udp6" : "udp"},
            {"address",     s.address              },
            {"dropped",     s.drops                },
            {"closed_at_s", optional(s.closed_at)  }
        });
    }
    return sockets;
}

json texts(const std::vector<std::string> &lines) {
    json array = json::array();
    for (const auto &line : lines) {
        array.push_back(valid_utf8(line));
    }
    return array;
}

} // namespace

std::string consumer_row::why_not_flooded() const {
    if (!not_started.empty()) {
        return "not started: " + not_started;
    }
    if (!failure.empty()) {
        return failure;
    }
    if (cut_short || (bytes == 0 && !flood_end.empty())) {
        return flood_end;
    }
    if (bytes == 0) {
        return "it was sent nothing";
    }
    if (!flooded()) {
        return "none of the " + std::to_string(ledger->sent) + " datagrams sent reached it" +
               (flood_end.empty() ? "" : ": " + flood_end);
    }
    return "";
}

// clang-format off
const columns<consumer_row> row_columns = {
    {"consumer", "command", false, unit::none,
     [](const consumer_row &r) { return json(valid_utf8(r.command)); },
     [](const consumer_row &r) { return markdown_code(r.command); }},
    {nullptr, "mode", false, unit::none,
     [](const consumer_row &r) { return json(r.datagrams ? "udp" : "pipe"); }, nullptr},
    {nullptr, "pipe_bytes", false, unit::count,
     [](const consumer_row &r) { return r.datagrams ? json(nullptr) : json(r.pipe_bytes); },
     nullptr},
    {nullptr, "to", false, unit::none,
     [](const consumer_row &r) { return r.datagrams ? text_or_null(r.to) : json(nullptr); },
     nullptr},
    {nullptr, "group", false, unit::none,
     [](const consumer_row &r) { return text_or_null(r.group); }, nullptr},
    {nullptr, "rtp", false, unit::none, [](const consumer_row &r) { return json(r.rtp); }, nullptr},
    {nullptr, "first_sequence", false, unit::none,
     [](const consumer_row &r) {
         return r.first_sequence ? json(*r.first_sequence) : json(nullptr);
     }, nullptr},
    {nullptr, "last_sequence", false, unit::none,
     [](const consumer_row &r) {
         return r.last_sequence ? json(*r.last_sequence) : json(nullptr);
     }, nullptr},
    {"packets sent", "packets_sent", false, unit::count,
     [](const consumer_row &r) { return json(r.bytes / packet_size); },
     [](const consumer_row &r) { return packets_text(r.bytes); }},
    {nullptr, "torn_bytes", false, unit::count,
     [](const consumer_row &r) { return json(r.bytes % packet_size); }, nullptr},
    {"datagrams sent", "datagrams_sent", true, unit::count,
     [](const consumer_row &r) { return r.ledger ? json(r.ledger->sent) : json(0); },
     [](const consumer_row &r) { return std::to_string(r.datagrams_sent()); }},
    {nullptr, "read", true, unit::count,
     [](const consumer_row &r) { return ledger_value(r, &receiver_ledger::read); }, nullptr},
    {"dropped at its socket", "dropped", true, unit::count,
     [](const consumer_row &r) { return ledger_value(r, &receiver_ledger::dropped); },
     dropped_text},
    {nullptr, "missed", true, unit::count,
     [](const consumer_row &r) { return ledger_value(r, &receiver_ledger::missed); }, nullptr},
    {nullptr, "uncertain", true, unit::count,
     [](const consumer_row &r) { return ledger_value(r, &receiver_ledger::uncertain); }, nullptr},
    {nullptr, "unread", true, unit::count,
     [](const consumer_row &r) { return ledger_value(r, &receiver_ledger::unread); }, nullptr},
    {nullptr, "sockets", false, unit::none, sockets_json, nullptr},
    {nullptr, "other_sockets", false, unit::none,
     [](const consumer_row &r) { return texts(r.other_sockets); }, nullptr},
    {"rate", "rate_bytes_per_s", false, unit::bytes_per_second,
     [](const consumer_row &r) { return optional(r.rate); },
     [](const consumer_row &r) {
         const std::string burst =
             r.pace && r.pace->burst > 1 ? ", bursts of " + std::to_string(r.pace->burst) : "";
         const std::string pacer = !r.pace                 ? ""
                                   : r.pace->left_realtime ? " (real-time, then normal pacer" + burst + ")"
                                   : r.pace->realtime      ? " (real-time pacer" + burst + ")"
                                                           : " (normal pacer" + burst + ")";
         return !r.rate                           ? std::string("n/a")
                : r.datagrams || r.asked_rate > 0 ? bit_rate_text(*r.rate * 8) + pacer
                                                  : byte_rate_text(*r.rate);
     }},
    {nullptr, "asked_bits_per_s", false, unit::bits_per_second,
     [](const consumer_row &r) { return r.asked_rate > 0 ? json(r.asked_rate) : json(nullptr); },
     nullptr},
    {nullptr, "paced_bits_per_s", false, unit::bits_per_second,
     [](const consumer_row &r) { return r.pace ? json(r.pace->achieved()) : json(nullptr); },
     nullptr},
    {nullptr, "pacer", false, unit::none,
     [](const consumer_row &r) {
         // The priority it paced at last.
         return !r.pace ? json(nullptr)
                        : json(r.pace->realtime && !r.pace->left_realtime ? "realtime" : "normal");
     }, nullptr},
    {nullptr, "burst", false, unit::count,
     [](const consumer_row &r) { return r.pace ? json(r.pace->burst) : json(nullptr); }, nullptr},
    {nullptr, "flood_seconds", false, unit::seconds,
     [](const consumer_row &r) { return json(r.flood_seconds); }, nullptr},
    {nullptr, "flood_end", false, unit::none,
     [](const consumer_row &r) { return text_or_null(r.flood_end); }, nullptr},
    {nullptr, "harness_continued_at_s", false, unit::none,
     [](const consumer_row &r) { return json(r.continued_at); }, nullptr},
    {"CPU", "cpu_seconds", false, unit::seconds,
     [](const consumer_row &r) { return json(r.cpu_seconds); },
     [](const consumer_row &r) {
         return fixed(r.cpu_seconds, 2) + " s (harness " + fixed(r.harness_cpu_seconds, 2) + " s)";
     }},
    {nullptr, "harness_cpu_seconds", false, unit::seconds,
     [](const consumer_row &r) { return json(r.harness_cpu_seconds); }, nullptr},
    {"peak memory", "peak_rss_kib", false, unit::kib,
     [](const consumer_row &r) { return json(r.peak_rss_kib); },
     [](const consumer_row &r) { return memory_text(static_cast<double>(r.peak_rss_kib)); }},
    {"memory growth", "rss_growth_kib_per_min", false, unit::kib_per_minute,
     [](const consumer_row &r) { return optional(r.rss_growth_kib_per_min); },
     [](const consumer_row &r) {
         return r.rss_growth_kib_per_min ? growth_text(*r.rss_growth_kib_per_min) : "n/a";
     }},
    {nullptr, "rss_kib", false, unit::none,
     [](const consumer_row &r) {
         json rss = json::array();
         for (const auto &[at, kib] : r.rss_kib) {
             rss.push_back({std::round(at * 100) / 100, kib});
         }
         return rss;
     }, nullptr},
    {"consumer said at the end", "said", false, unit::none,
     [](const consumer_row &r) { return json(r.output.speaking()); },
     [](const consumer_row &r) { return markdown_cell(join(r.output.speaking(), " / ")); }},
    {nullptr, "output", false, unit::none,
     [](const consumer_row &r) {
         return json{{"lines", r.output.lines()}, {"first", r.output.first()},
                     {"last", r.output.last()}};
     }, nullptr},
    {"consumer ended", "ended", false, unit::ending, ended_json,
     [](const consumer_row &r) { return markdown_cell(ended_text(r)); }},
    {nullptr, "ended_after_s", false, unit::seconds,
     [](const consumer_row &r) {
         const bool by_itself = r.ended.kind == ending::exited || r.ended.kind == ending::signalled;
         return by_itself ? json(r.ended.after) : json(nullptr);
     }, nullptr},
    {nullptr, "left_running", false, unit::count,
     [](const consumer_row &r) { return json(r.left_running); }, nullptr},
    {nullptr, "failure", false, unit::none,
     [](const consumer_row &r) { return text_or_null(r.failure); }, nullptr},
    {nullptr, "notes", false, unit::none,
     [](const consumer_row &r) { return texts(r.notes); }, nullptr},
};
// clang-format on

std::string markdown_heading(bool datagrams) {
    return markdown_heading(row_columns, datagrams);
}

std::string markdown_row(const consumer_row &row) {
    return markdown_line(row_columns, row, row.datagrams);
}

json row_json(const consumer_row &row) {
    return json_object(row_columns, row);
}
