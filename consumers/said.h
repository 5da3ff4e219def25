// SPDX-License-Identifier: MIT
// What a consumer says while it is flooded, kept in constant memory however
// much it prints, and as fast as it prints it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Keeps the first and the last lines of a byte stream. A line ends at "\n"
// or "\r" (a progress line redrawn in place is a line each time); blank lines
// are not kept. Each line is cut to `longest` characters, marked "…", and
// every byte but printable ASCII is escaped as \xHH (a backslash as \\), so a
// line is safe text for a table cell and for JSON whatever the consumer
// printed. The work is linear in the bytes given: bytes past the cut are
// only searched for the line's end.
class consumer_output {
  public:
    static constexpr std::size_t first_kept = 5, last_kept = 40, longest = 200;

    void take(const char *data, std::size_t n);
    void end(); // the last line, when the stream ended without a line end

    std::uint64_t lines() const {
        return lines_;
    } // every line that was not blank
    const std::vector<std::string> &first() const {
        return first_;
    }
    std::vector<std::string> last() const; // after `first`, oldest first
    // The last two lines that speak of packets, else the last line: what
    // the row says it said.
    std::vector<std::string> speaking() const;

  private:
    void add(const char *from, const char *to);
    void close_line();

    std::vector<std::string> first_;
    std::array<std::string, last_kept> last_; // a ring, by line number
    std::uint64_t lines_ = 0;
    std::string line_; // the line in progress, escaped
    bool cut_ = false;
};
