// SPDX-License-Identifier: MIT
#include "said.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

// The first `c` in [from, to), or `to`.
const char *find(const char *from, const char *to, char c) {
    const void *at = std::memchr(from, c, static_cast<std::size_t>(to - from));
    return at != nullptr ? static_cast<const char *>(at) : to;
}

bool is_line_end(char c) {
    return c == '\n' || c == '\r';
}

// Where the last `lines` lines that are not blank begin in [data, end):
// just after the line end before the first of them; `data` when the chunk
// has fewer.
const char *last_lines(const char *data, const char *end, std::size_t lines, bool carried) {
    std::size_t found = 0;
    const char *at = end;
    while (at > data && found < lines) {
        --at;
        if (is_line_end(*at) && (at > data ? !is_line_end(at[-1]) : carried)) {
            ++found;
        }
    }
    if (found < lines) {
        return data;
    }
    while (at > data && !is_line_end(at[-1])) {
        --at;
    }
    return at;
}

} // namespace

void consumer_output::take(const char *data, std::size_t n) {
    const char *const end = data + n;
    if (first_.size() == first_kept) {
        // Once the first lines are kept, only the last ones are: those of
        // the chunk before its last `last_kept` are only counted, which a
        // consumer that prints fast needs.
        const char *const from = last_lines(data, end, last_kept, !line_.empty());
        bool in_line = !line_.empty();
        for (const char *p = data; p < from; ++p) {
            const bool ends = is_line_end(*p);
            lines_ += ends && in_line ? 1 : 0;
            in_line = !ends;
        }
        if (from > data) {
            line_.clear();
            cut_ = false;
        }
        data = from;
    }
    // The next "\n" and "\r" at or after p, each searched for once.
    const char *lf = nullptr, *cr = nullptr;
    for (const char *p = data;;) {
        if (lf == nullptr || lf < p) {
            lf = find(p, end, '\n');
        }
        if (cr == nullptr || cr < p) {
            cr = find(p, end, '\r');
        }
        const char *const line_end = std::min(lf, cr);
        add(p, line_end);
        if (line_end == end) {
            return;
        }
        close_line();
        p = line_end + 1;
    }
}

void consumer_output::add(const char *from, const char *to) {
    static const char hex[] = "0123456789abcdef";
    for (; from < to && !cut_; ++from) {
        const auto c = static_cast<unsigned char>(*from);
        if (line_.size() >= longest) {
            cut_ = true;
        } else if (c == '\\') {
            line_ += "\\\\";
        } else if (c >= 0x20 && c < 0x7f) {
            line_ += static_cast<char>(c);
        } else {
            line_ += {'\\', 'x', hex[c >> 4], hex[c & 15]};
        }
    }
}

void consumer_output::close_line() {
    if (!line_.empty()) {
        if (cut_) {
            line_ += "…";
        }
        if (first_.size() < first_kept) {
            first_.push_back(line_);
        } else {
            last_[static_cast<std::size_t>((lines_ - first_kept) % last_kept)].swap(line_);
        }
        ++lines_;
    }
    line_.clear();
    cut_ = false;
}

void consumer_output::end() {
    close_line();
}

std::vector<std::string> consumer_output::last() const {
    std::vector<std::string> lines;
    const std::uint64_t after_first = lines_ - first_.size();
    for (std::uint64_t i = after_first - std::min<std::uint64_t>(after_first, last_kept);
         i < after_first; ++i) {
        lines.push_back(last_[static_cast<std::size_t>(i % last_kept)]);
    }
    return lines;
}

std::vector<std::string> consumer_output::speaking() const {
    std::vector<std::string> kept = first_, last = this->last(), speaking;
    kept.insert(kept.end(), last.begin(), last.end());
    for (const auto &line : kept) {
        std::string lower = line;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (lower.find("packet") != std::string::npos) {
            speaking.push_back(line);
        }
    }
    if (speaking.empty() && !kept.empty()) {
        speaking.push_back(kept.back());
    }
    if (speaking.size() > 2) {
        speaking.erase(speaking.begin(), speaking.end() - 2);
    }
    return speaking;
}
