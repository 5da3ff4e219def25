// SPDX-License-Identifier: MIT
#include "text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr char hex[] = "0123456789abcdef";

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

} // namespace

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string bit_rate_text(double bits_per_second) {
    const double r = bits_per_second;
    return r >= 1e9   ? fixed(r / 1e9, 2) + " Gbit/s"
           : r >= 1e8 ? fixed(r / 1e6, 0) + " Mbit/s"
           : r >= 1e6 ? fixed(r / 1e6, r >= 1e7 ? 1 : 2) + " Mbit/s"
                      : fixed(r / 1e3, 1) + " kbit/s";
}

std::string byte_rate_text(double rate) {
    constexpr double mib = 1 << 20, gib = 1 << 30;
    return rate >= 1000 * mib ? fixed(rate / gib, 2) + " GiB/s"
           : rate >= 10 * mib ? fixed(rate / mib, 0) + " MiB/s"
                              : fixed(rate / mib, 2) + " MiB/s";
}

std::string memory_text(double kib) {
    return kib >= 1 << 20 ? fixed(kib / (1 << 20), 2) + " GiB" : fixed(kib / 1024, 1) + " MiB";
}

std::string growth_text(double kib_per_min) {
    const std::string size = memory_text(std::abs(kib_per_min));
    const bool zero = size.find_first_of("123456789") == std::string::npos;
    return (zero ? "" : kib_per_min < 0 ? "-" : "+") + size + "/min";
}

std::string seconds_text(double seconds) {
    char text[64];
    std::snprintf(text, sizeof text, "%g s", seconds);
    return text;
}

std::string join(const std::vector<std::string> &parts, const char *between) {
    std::string joined;
    for (const auto &part : parts) {
        joined += (joined.empty() ? "" : between) + part;
    }
    return joined;
}

std::optional<double> parse_decimal(const char *text) {
    std::size_t digits = 0, points = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p >= '0' && *p <= '9') {
            ++digits;
        } else if (*p != '.' || points++ > 0) {
            return std::nullopt;
        }
    }
    if (digits == 0) {
        return std::nullopt;
    }
    return std::strtod(text, nullptr);
}

std::string valid_utf8(const std::string &text) {
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
