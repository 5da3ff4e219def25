// SPDX-License-Identifier: MIT
// Figures and texts as the rows print them: rates, sizes, fixed-point
// numbers, and text made safe for a Markdown table and for JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// `value` with `decimals` decimals.
std::string fixed(double value, int decimals);
// A rate as engineers write it: "38.0 Mbit/s", "1.20 Gbit/s".
std::string bit_rate_text(double bits_per_second);
// Bytes per second as "1.65 GiB/s", "335 MiB/s" or "4.21 MiB/s".
std::string byte_rate_text(double bytes_per_second);
// KiB as "12.5 MiB" or "1.20 GiB".
std::string memory_text(double kib);
// "+12.5 MiB/min", "-0.3 MiB/min", "0.0 MiB/min".
std::string growth_text(double kib_per_min);
// "3 s", "0.5 s": as the user wrote it.
std::string seconds_text(double seconds);
std::string join(const std::vector<std::string> &parts, const char *between);

// A decimal number: digits with at most one point among or around them
// ("5", "0.5", ".5", "5."). No sign, exponent, hexadecimal or octal reading
// ("08" is 8).
std::optional<double> parse_decimal(const char *text);

// Bytes that are not part of a UTF-8 character, as \xHH.
std::string valid_utf8(const std::string &text);
// Text made safe for a Markdown table cell, as text and as code.
std::string markdown_cell(const std::string &text);
std::string markdown_code(const std::string &text);
