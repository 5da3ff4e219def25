// SPDX-License-Identifier: MIT
#include "row.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::uint64_t packet_size = 188;

// `value` with `decimals` decimals.
std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// Bytes per second as "1.65 GiB/s", "335 MiB/s" or "4.21 MiB/s".
std::string byte_rate_text(double rate) {
    constexpr double mib = 1 << 20, gib = 1 << 30;
    return rate >= gib        ? fixed(rate / gib, 2) + " GiB/s"
           : rate >= 10 * mib ? fixed(rate / mib, 0) + " MiB/s"
                              : fixed(rate / mib, 2) + " MiB/s";
}

// "3 s", "0.5 s": as the user wrote it.
std::string seconds_text(double seconds) {
    char text[64];
    std::snprintf(text, sizeof text, "%g s", seconds);
    return text;
}

std::string memory_text(double kib) {
    return kib >= 1 << 20 ? fixed(kib / (1 << 20), 2) + " GiB" : fixed(kib / 1024, 1) + " MiB";
}

// "+12.5 MiB/min", "-0.3 MiB/min", "0.0 MiB/min".
std::string growth_text(double kib_per_min) {
    const std::string size = memory_text(std::abs(kib_per_min));
    const bool zero = size.find_first_of("123456789") == std::string::npos;
    return (zero ? "" : kib_per_min < 0 ? "-" : "+") + size + "/min";
}

} // namespace

std::string markdown_code(const std::string &text) {
    // A fence of more backticks than the text has in a row, spaced from a
    // backtick at either end; a pipe still ends a table cell, so it is escaped.
    std::size_t run = 0, longest = 0;
    std::string escaped;
    for (const char c : text) {
        run = c == '`' ? run + 1 : 0;
        longest = std::max(longest, run);
        escaped += c == '|' ? "\\|" : c == '\n' ? " " : std::string(1, c);
    }
    const std::string fence(longest + 1, '`');
    const bool pad = !text.empty() && (text.front() == '`' || text.back() == '`');
    return fence + (pad ? " " : "") + escaped + (pad ? " " : "") + fence;
}

std::string markdown_cell(const std::string &text) {
    std::string safe;
    for (const char c : text) {
        safe += c == '|' ? "\\|" : c == '<' ? "&lt;" : c == '\n' ? " " : std::string(1, c);
    }
    return safe;
}

namespace {

std::string join(const std::vector<std::string> &lines) {
    std::string joined;
    for (const auto &line : lines) {
        joined += (joined.empty() ? "" : " / ") + line;
    }
    return joined;
}

std::string signal_name(int sig) {
    const char *name = sigabbrev_np(sig);
    return name != nullptr ? name : std::to_string(sig);
}

std::string packets_text(std::uint64_t bytes) {
    const std::string packets = std::to_string(bytes / packet_size);
    return bytes % packet_size == 0
               ? packets
               : packets + " and " + std::to_string(bytes % packet_size) + " bytes";
}

// How it ended, and what the harness noticed on the way.
std::string ended_text(const row_t &row) {
    std::string text;
    if (!row.flood_end.empty()) {
        text = row.flood_end + "; ";
    }
    const ending_t &e = row.ended;
    switch (e.kind) {
    case ending_t::exited:
        text += "exit " + std::to_string(e.code) + " after " + fixed(e.after, 1) + " s";
        break;
    case ending_t::signalled:
        text += "signal " + signal_name(e.code) + " after " + fixed(e.after, 1) + " s";
        break;
    case ending_t::by_harness:
        text += row.grace_cut
                    ? "still running when the harness was stopped: ended"
                    : "still running " + seconds_text(row.grace) + " after its input ended: ended";
        break;
    case ending_t::not_started:
        return "not started: " + row.not_started;
    }
    const unsigned others =
        row.left_running - (e.kind == ending_t::by_harness && row.left_running > 0 ? 1 : 0);
    if (others > 0 && e.kind == ending_t::by_harness) {
        text += ", with " + std::to_string(others) + " more process" + (others > 1 ? "es" : "");
    } else if (others > 0) {
        text += "; " + std::to_string(others) + " process" + (others > 1 ? "es" : "") +
                " it left running: ended";
    }
    if (!row.other_sockets.empty()) {
        text += "; the port was held by another process too, which may have taken datagrams: " +
                join(row.other_sockets);
    }
    return text;
}

std::string dropped_text(const row_t &row) {
    const auto dropped = row.dropped();
    if (!dropped) {
        return "n/a";
    }
    std::string text = std::to_string(*dropped);
    for (const auto &s : row.sockets) {
        if (s.closed_at) {
            text += " (a socket closed at " + fixed(*s.closed_at, 1) + " s)";
            break;
        }
    }
    return text;
}

} // namespace

std::string bit_rate_text(double bits_per_second) {
    const double r = bits_per_second;
    return r >= 1e9   ? fixed(r / 1e9, 2) + " Gbit/s"
           : r >= 1e8 ? fixed(r / 1e6, 0) + " Mbit/s"
           : r >= 1e6 ? fixed(r / 1e6, r >= 1e7 ? 1 : 2) + " Mbit/s"
                      : fixed(r / 1e3, 1) + " kbit/s";
}

std::optional<std::uint64_t> row_t::dropped() const {
    if (sockets.empty()) {
        return std::nullopt;
    }
    std::uint64_t sum = 0;
    for (const auto &s : sockets) {
        sum += s.drops;
    }
    return sum;
}

std::string markdown_heading(bool udp) {
    return udp ? "| consumer | packets sent | datagrams sent | dropped at its socket | rate | CPU "
                 "| "
                 "peak memory | memory growth | consumer said at the end | consumer ended |\n"
                 "|---|---:|---:|---:|---:|---:|---:|---:|---|---|\n"
               : "| consumer | packets sent | rate | CPU | peak memory | memory growth | "
                 "consumer said at the end | consumer ended |\n"
                 "|---|---:|---:|---:|---:|---:|---|---|\n";
}

std::string markdown_row(const row_t &row) {
    std::string line = "| " + markdown_code(row.command) + " | " + packets_text(row.bytes) + " | ";
    if (row.udp) {
        line += std::to_string(row.datagrams) + " | " + dropped_text(row) + " | ";
    }
    const auto growth = row.rss_growth_kib_per_min;
    line += (!row.rate                       ? "n/a"
             : row.udp || row.asked_rate > 0 ? bit_rate_text(*row.rate * 8)
                                             : byte_rate_text(*row.rate)) +
            " | " + fixed(row.cpu_seconds, 2) + " s" + " | " +
            memory_text(static_cast<double>(row.peak_rss_kib)) + " | " +
            (growth ? growth_text(*growth) : "n/a") + " | " +
            markdown_cell(join(row.said.words())) + " | " + markdown_cell(ended_text(row)) + " |\n";
    return line;
}

nlohmann::ordered_json row_json(const row_t &row) {
    using json = nlohmann::ordered_json;
    const auto optional = [](const auto &value) { return value ? json(*value) : json(nullptr); };
    json ended;
    switch (row.ended.kind) {
    case ending_t::exited:
        ended = {
            {"exit", row.ended.code}
        };
        break;
    case ending_t::signalled:
        ended = {
            {"signal", signal_name(row.ended.code)}
        };
        break;
    case ending_t::by_harness:
        ended = {
            {"ended_by_harness", true}
        };
        break;
    case ending_t::not_started:
        ended = {
            {"not_started", row.not_started}
        };
        break;
    }
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
    json rss = json::array();
    for (const auto &[at, kib] : row.rss_kib) {
        rss.push_back({std::round(at * 100) / 100, kib});
    }
    return {
        {"command",                row.command                                                },
        {"mode",                   row.udp ? "udp" : "pipe"                                   },
        {"pipe_bytes",             row.udp ? json(nullptr) : json(row.pipe_bytes)             },
        {"to",                     row.udp && !row.to.empty() ? json(row.to) : json(nullptr)  },
        {"packets_sent",           row.bytes / packet_size                                    },
        {"torn_bytes",             row.bytes % packet_size                                    },
        {"datagrams_sent",         row.datagrams                                              },
        {"dropped",                optional(row.dropped())                                    },
        {"sockets",                sockets                                                    },
        {"other_sockets",          row.other_sockets                                          },
        {"flood_seconds",          row.flood_seconds                                          },
        {"flood_end",              row.flood_end.empty() ? json(nullptr) : json(row.flood_end)},
        {"rate_bytes_per_s",       optional(row.rate)                                         },
        {"asked_bits_per_s",       row.asked_rate > 0 ? json(row.asked_rate) : json(nullptr)  },
        {"said",                   row.said.words()                                           },
        {"output",
         {{"lines", row.said.lines()}, {"first", row.said.first()}, {"last", row.said.last()}}},
        {"ended",                  ended                                                      },
        {"ended_after_s",
         row.ended.kind == ending_t::exited || row.ended.kind == ending_t::signalled
             ? json(row.ended.after)
             : json(nullptr)                                                                  },
        {"left_running",           row.left_running                                           },
        {"cpu_seconds",            row.cpu_seconds                                            },
        {"peak_rss_kib",           row.peak_rss_kib                                           },
        {"rss_growth_kib_per_min", optional(row.rss_growth_kib_per_min)                       },
        {"rss_kib",                rss                                                        },
    };
}

std::string json_row(const row_t &row) {
    // A command that is not UTF-8 gets U+FFFD for each byte that is not.
    return row_json(row).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) +
           "\n";
}
