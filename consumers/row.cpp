// SPDX-License-Identifier: MIT
#include "row.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "posix.h"

namespace {

constexpr std::uint64_t packet_size = 188;

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

std::string join(const std::vector<std::string> &parts, const char *between) {
    std::string joined;
    for (const auto &part : parts) {
        joined += (joined.empty() ? "" : between) + part;
    }
    return joined;
}

// The length of the UTF-8 character at `s` (at most `n` bytes), or 0 when
// none starts there: no overlong form, surrogate or code point past U+10FFFF.
std::size_t utf8_length(const unsigned char *s, std::size_t n) {
    const unsigned char c = s[0];
    const std::size_t length = c < 0x80   ? 1
                               : c < 0xc2 ? 0
                               : c < 0xe0 ? 2
                               : c < 0xf0 ? 3
                               : c < 0xf5 ? 4
                                          : 0;
    if (length == 0 || length > n) {
        return 0;
    }
    // The second byte's range, which rules out the forms above.
    const unsigned char low = c == 0xe0 ? 0xa0 : c == 0xf0 ? 0x90 : 0x80;
    const unsigned char high = c == 0xed ? 0x9f : c == 0xf4 ? 0x8f : 0xbf;
    if (length > 1 && (s[1] < low || s[1] > high)) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if ((s[i] & 0xc0) != 0x80) {
            return 0;
        }
    }
    return length;
}

// `text` as one line of a table cell: in UTF-8, a pipe escaped, a line end
// or tab a space, and any other control character, which a terminal would
// act on, as \xHH.
std::string table_safe(const std::string &text) {
    static const char hex[] = "0123456789abcdef";
    std::string safe;
    for (const char c : valid_utf8(text)) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '|') {
            safe += "\\|";
        } else if (c == '\n' || c == '\r' || c == '\t') {
            safe += ' ';
        } else if (byte < 0x20 || byte == 0x7f) {
            safe += {'\\', 'x', hex[byte >> 4], hex[byte & 15]};
        } else {
            safe += c;
        }
    }
    return safe;
}

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
                                    (row.udp ? "flood" : "input") + " ended: ended";
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

std::string dropped_text(const consumer_row &row) {
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

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string byte_rate_text(double rate) {
    constexpr double mib = 1 << 20, gib = 1 << 30;
    return rate >= 1000 * mib ? fixed(rate / gib, 2) + " GiB/s"
           : rate >= 10 * mib ? fixed(rate / mib, 0) + " MiB/s"
                              : fixed(rate / mib, 2) + " MiB/s";
}

std::string bit_rate_text(double bits_per_second) {
    const double r = bits_per_second;
    return r >= 1e9   ? fixed(r / 1e9, 2) + " Gbit/s"
           : r >= 1e8 ? fixed(r / 1e6, 0) + " Mbit/s"
           : r >= 1e6 ? fixed(r / 1e6, r >= 1e7 ? 1 : 2) + " Mbit/s"
                      : fixed(r / 1e3, 1) + " kbit/s";
}

std::string valid_utf8(const std::string &text) {
    static const char hex[] = "0123456789abcdef";
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    std::string valid;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t n = utf8_length(bytes + at, text.size() - at);
        if (n == 0) {
            valid += {'\\', 'x', hex[bytes[at] >> 4], hex[bytes[at] & 15]};
            ++at;
        } else {
            valid.append(text, at, n);
            at += n;
        }
    }
    return valid;
}

std::string markdown_code(const std::string &text) {
    // A fence of more backticks than the text has in a row, spaced from a
    // backtick at either end; a pipe still ends a table cell, so it is escaped.
    std::size_t run = 0, longest = 0;
    for (const char c : text) {
        run = c == '`' ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    const std::string fence(longest + 1, '`');
    const bool pad = !text.empty() && (text.front() == '`' || text.back() == '`');
    return fence + (pad ? " " : "") + table_safe(text) + (pad ? " " : "") + fence;
}

std::string markdown_cell(const std::string &text) {
    std::string safe;
    for (const char c : table_safe(text)) {
        safe += c == '<' ? "&lt;" : std::string(1, c);
    }
    return safe;
}

std::optional<std::uint64_t> consumer_row::dropped() const {
    if (sockets.empty()) {
        return std::nullopt;
    }
    std::uint64_t sum = 0;
    for (const auto &s : sockets) {
        sum += s.drops;
    }
    return sum;
}

// clang-format off
const columns<consumer_row> row_columns = {
    {"consumer", "command", false, false,
     [](const consumer_row &r) { return json(valid_utf8(r.command)); },
     [](const consumer_row &r) { return markdown_code(r.command); }},
    {nullptr, "mode", false, false,
     [](const consumer_row &r) { return json(r.udp ? "udp" : "pipe"); }, nullptr},
    {nullptr, "pipe_bytes", false, false,
     [](const consumer_row &r) { return r.udp ? json(nullptr) : json(r.pipe_bytes); }, nullptr},
    {nullptr, "to", false, false,
     [](const consumer_row &r) { return r.udp ? text_or_null(r.to) : json(nullptr); }, nullptr},
    {nullptr, "group", false, false,
     [](const consumer_row &r) { return text_or_null(r.group); }, nullptr},
    {nullptr, "rtp", false, false, [](const consumer_row &r) { return json(r.rtp); }, nullptr},
    {nullptr, "first_sequence", false, false,
     [](const consumer_row &r) {
         return r.first_sequence ? json(*r.first_sequence) : json(nullptr);
     }, nullptr},
    {nullptr, "last_sequence", false, false,
     [](const consumer_row &r) {
         return r.last_sequence ? json(*r.last_sequence) : json(nullptr);
     }, nullptr},
    {"packets sent", "packets_sent", false, true,
     [](const consumer_row &r) { return json(r.bytes / packet_size); },
     [](const consumer_row &r) { return packets_text(r.bytes); }},
    {nullptr, "torn_bytes", false, false,
     [](const consumer_row &r) { return json(r.bytes % packet_size); }, nullptr},
    {"datagrams sent", "datagrams_sent", true, true,
     [](const consumer_row &r) { return json(r.datagrams); },
     [](const consumer_row &r) { return std::to_string(r.datagrams); }},
    {"dropped at its socket", "dropped", true, true,
     [](const consumer_row &r) { return r.dropped() ? json(*r.dropped()) : json(nullptr); },
     dropped_text},
    {nullptr, "sockets", false, false, sockets_json, nullptr},
    {nullptr, "other_sockets", false, false,
     [](const consumer_row &r) { return texts(r.other_sockets); }, nullptr},
    {"rate", "rate_bytes_per_s", false, true,
     [](const consumer_row &r) { return optional(r.rate); },
     [](const consumer_row &r) {
         const std::string pacer = !r.realtime_pacer  ? ""
                                   : *r.realtime_pacer ? " (real-time pacer)"
                                                       : " (normal pacer)";
         return !r.rate                     ? std::string("n/a")
                : r.udp || r.asked_rate > 0 ? bit_rate_text(*r.rate * 8) + pacer
                                            : byte_rate_text(*r.rate);
     }},
    {nullptr, "asked_bits_per_s", false, false,
     [](const consumer_row &r) { return r.asked_rate > 0 ? json(r.asked_rate) : json(nullptr); },
     nullptr},
    {nullptr, "pacer", false, false,
     [](const consumer_row &r) {
         return !r.realtime_pacer ? json(nullptr) : json(*r.realtime_pacer ? "realtime" : "normal");
     }, nullptr},
    {nullptr, "flood_seconds", false, false,
     [](const consumer_row &r) { return json(r.flood_seconds); }, nullptr},
    {nullptr, "flood_end", false, false,
     [](const consumer_row &r) { return text_or_null(r.flood_end); }, nullptr},
    {nullptr, "harness_continued_at_s", false, false,
     [](const consumer_row &r) { return json(r.continued_at); }, nullptr},
    {"CPU", "cpu_seconds", false, true,
     [](const consumer_row &r) { return json(r.cpu_seconds); },
     [](const consumer_row &r) {
         return fixed(r.cpu_seconds, 2) + " s (harness " + fixed(r.harness_cpu_seconds, 2) + " s)";
     }},
    {nullptr, "harness_cpu_seconds", false, false,
     [](const consumer_row &r) { return json(r.harness_cpu_seconds); }, nullptr},
    {"peak memory", "peak_rss_kib", false, true,
     [](const consumer_row &r) { return json(r.peak_rss_kib); },
     [](const consumer_row &r) { return memory_text(static_cast<double>(r.peak_rss_kib)); }},
    {"memory growth", "rss_growth_kib_per_min", false, true,
     [](const consumer_row &r) { return optional(r.rss_growth_kib_per_min); },
     [](const consumer_row &r) {
         return r.rss_growth_kib_per_min ? growth_text(*r.rss_growth_kib_per_min) : "n/a";
     }},
    {nullptr, "rss_kib", false, false,
     [](const consumer_row &r) {
         json rss = json::array();
         for (const auto &[at, kib] : r.rss_kib) {
             rss.push_back({std::round(at * 100) / 100, kib});
         }
         return rss;
     }, nullptr},
    {"consumer said at the end", "said", false, false,
     [](const consumer_row &r) { return json(r.output.speaking()); },
     [](const consumer_row &r) { return markdown_cell(join(r.output.speaking(), " / ")); }},
    {nullptr, "output", false, false,
     [](const consumer_row &r) {
         return json{{"lines", r.output.lines()}, {"first", r.output.first()},
                     {"last", r.output.last()}};
     }, nullptr},
    {"consumer ended", "ended", false, false, ended_json,
     [](const consumer_row &r) { return markdown_cell(ended_text(r)); }},
    {nullptr, "ended_after_s", false, false,
     [](const consumer_row &r) {
         const bool by_itself = r.ended.kind == ending::exited || r.ended.kind == ending::signalled;
         return by_itself ? json(r.ended.after) : json(nullptr);
     }, nullptr},
    {nullptr, "left_running", false, false,
     [](const consumer_row &r) { return json(r.left_running); }, nullptr},
    {nullptr, "failure", false, false,
     [](const consumer_row &r) { return text_or_null(r.failure); }, nullptr},
    {nullptr, "notes", false, false,
     [](const consumer_row &r) { return texts(r.notes); }, nullptr},
};
// clang-format on

std::string markdown_heading(bool udp) {
    return markdown_heading(row_columns, udp);
}

std::string markdown_row(const consumer_row &row) {
    return markdown_line(row_columns, row, row.udp);
}

json row_json(const consumer_row &row) {
    return json_object(row_columns, row);
}
