// SPDX-License-Identifier: MIT
#include "requirements.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "limit.h"
#include "posix.h"
#include "row.h"
#include "text.h"

namespace {

struct scale {
    std::string suffix;
    double factor; // to the column's JSON unit
};

// The suffixes a value of each unit takes after its number, and what they
// multiply it by. A rate is written in bits per second whatever the column
// holds, as -r takes it.
std::vector<scale> scales(unit of) {
    switch (of) {
    case unit::count:
        return {
            {"", 1}
        };
    case unit::bits_per_second:
    case unit::bytes_per_second: {
        const double to = of == unit::bytes_per_second ? 1.0 / 8 : 1;
        return {
            {"",  to      },
            {"k", 1e3 * to},
            {"K", 1e3 * to},
            {"M", 1e6 * to},
            {"G", 1e9 * to}
        };
    }
    case unit::kib:
        return {
            {"B",   1.0 / 1024},
            {"KiB", 1         },
            {"MiB", 1024      },
            {"GiB", 1 << 20   }
        };
    case unit::kib_per_minute: {
        std::vector<scale> per_minute = scales(unit::kib);
        for (scale &s : per_minute) {
            s.suffix += "/min";
        }
        return per_minute;
    }
    case unit::seconds:
        return {
            {"",  1},
            {"s", 1}
        };
    case unit::none:
    case unit::ending:
        break;
    }
    return {};
}

const char *unit_text(unit of) {
    switch (of) {
    case unit::count:
        return "a count, a whole number of 64 bits at most (0, 10)";
    case unit::bits_per_second:
    case unit::bytes_per_second:
        return "a rate in bits per second, with k, M or G as -r takes it (100M, 1.2G)";
    case unit::kib:
        return "a size in B, KiB, MiB or GiB (200MiB)";
    case unit::kib_per_minute:
        return "a growth per minute in B/min, KiB/min, MiB/min or GiB/min (1MiB/min)";
    case unit::seconds:
        return "a number of seconds (3, 0.5)";
    case unit::ending:
        return "an ending, 'exit N' or 'signal NAME' (exit 0, signal TERM), with == or !=";
    case unit::none:
        break;
    }
    return "";
}

// The suffixes of a JSON key in each unit, longest first.
std::vector<std::string> key_suffixes(unit of) {
    switch (of) {
    case unit::bits_per_second:
        return {"_bits_per_s"};
    case unit::bytes_per_second:
        return {"_bytes_per_s"};
    case unit::kib:
        return {"_kib"};
    case unit::kib_per_minute:
        return {"_kib_per_min"};
    case unit::seconds:
        return {"_seconds", "_s"};
    case unit::none:
    case unit::count:
    case unit::ending:
        break;
    }
    return {};
}

const struct {
    const char *text;
    comparison op;
} operators[] = {
    {"<=", comparison::at_most  },
    {">=", comparison::at_least },
    {"==", comparison::equal    },
    {"!=", comparison::not_equal},
    {"<",  comparison::less     },
    {">",  comparison::greater  },
};

template <typename Record>
std::vector<std::pair<std::string, unit>> keys_of(const columns<Record> &table, bool datagrams) {
    std::vector<std::pair<std::string, unit>> keys;
    for (const auto &c : table) {
        if (c.key != nullptr && c.of != unit::none && (datagrams || !c.datagrams_only)) {
            keys.emplace_back(c.key, c.of);
        }
    }
    return keys;
}

// The column of `table` that `name` names, by its key or its short key.
template <typename Record>
const column<Record> *find_column(const columns<Record> &table, const std::string &name) {
    for (const auto &c : table) {
        if (c.key != nullptr && c.of != unit::none &&
            (name == c.key || name == short_key(c.key, c.of))) {
            return &c;
        }
    }
    return nullptr;
}

std::string trimmed(const std::string &text) {
    const auto first = text.find_first_not_of(" \t");
    return first == std::string::npos
               ? ""
               : text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Whether `name` is what else real-time signal `sig` is called besides
// RTMIN+N, the row's name for it: RTMIN, RTMAX or RTMAX-N.
bool realtime_alias(int sig, const std::string &name) {
    return sig >= SIGRTMIN && sig <= SIGRTMAX &&
           ((sig == SIGRTMIN && name == "RTMIN") || (sig == SIGRTMAX && name == "RTMAX") ||
            name == "RTMAX-" + std::to_string(SIGRTMAX - sig));
}

// Whether `digits`, a whole number, fits in the 64 bits a row counts in.
bool fits_64_bits(const std::string &digits) {
    errno = 0;
    static_cast<void>(std::strtoull(digits.c_str(), nullptr, 10));
    return errno != ERANGE;
}

// "exit N" or "signal NAME" (TERM, SIGTERM), as the row's JSON has it.
std::optional<json> parse_ending(const std::string &text) {
    const auto space = text.find(' ');
    const std::string word = text.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : trimmed(text.substr(space));
    if (word == "exit" && !rest.empty() && rest.find('.') == std::string::npos) {
        const auto code = parse_decimal(rest.c_str());
        if (code && *code <= 255) {
            return json{
                {"exit", static_cast<int>(*code)}
            };
        }
    }
    if (word == "signal" && !rest.empty()) {
        const std::string name = rest.rfind("SIG", 0) == 0 ? rest.substr(3) : rest;
        for (int sig = 1; sig < NSIG; ++sig) {
            if (signal_name(sig) == name || realtime_alias(sig, name)) {
                return json{
                    {"signal", signal_name(sig)}
                };
            }
        }
    }
    return std::nullopt;
}

// A number in one of `of`'s scales, into the column's JSON unit; a growth
// may be negative.
std::optional<double> parse_figure(const std::string &text, unit of) {
    const bool negative = of == unit::kib_per_minute && !text.empty() && text.front() == '-';
    const std::string unsigned_text = text.substr(negative ? 1 : 0);
    const auto end = unsigned_text.find_first_not_of("0123456789.");
    const std::string number = unsigned_text.substr(0, end);
    const std::string suffix = end == std::string::npos ? "" : trimmed(unsigned_text.substr(end));
    const auto value = parse_decimal(number.c_str());
    if (!value || !std::isfinite(*value) ||
        (of == unit::count && (number.find('.') != std::string::npos || !fits_64_bits(number)))) {
        return std::nullopt;
    }
    for (const scale &s : scales(of)) {
        if (suffix == s.suffix) {
            return (negative ? -*value : *value) * s.factor;
        }
    }
    return std::nullopt;
}

// "the keys are a, b, c (each also without its unit: rate, peak_rss)".
std::string keys_text(const std::vector<std::pair<std::string, unit>> &keys) {
    std::vector<std::string> names, shorter;
    for (const auto &[key, of] : keys) {
        names.push_back(key);
        if (short_key(key, of) != key) {
            shorter.push_back(short_key(key, of));
        }
    }
    return "the keys that can be required are " + join(names, ", ") +
           (shorter.empty() ? "" : " (" + join(shorter, ", ") + " without their units)");
}

} // namespace

std::string short_key(const std::string &key, unit of) {
    for (const std::string &suffix : key_suffixes(of)) {
        if (key.size() > suffix.size() &&
            key.compare(key.size() - suffix.size(), suffix.size(), suffix) == 0) {
            return key.substr(0, key.size() - suffix.size());
        }
    }
    return key;
}

std::vector<std::pair<std::string, unit>> figure_keys(bool search) {
    return search ? keys_of(limit_columns, true) : keys_of(row_columns, true);
}

parsed_requirement parse_requirement(const std::string &text, bool search, bool datagrams) {
    const std::string said = "--require '" + text + "': ";
    const auto keys = search ? keys_of(limit_columns, datagrams) : keys_of(row_columns, datagrams);
    std::size_t at = std::string::npos;
    const char *op_text = nullptr;
    comparison op = comparison::equal;
    for (const auto &o : operators) {
        const auto found = text.find(o.text);
        if (found != std::string::npos && (at == std::string::npos || found < at)) {
            at = found;
            op_text = o.text;
            op = o.op;
        }
    }
    const std::string name = at == std::string::npos ? "" : trimmed(text.substr(0, at));
    const std::string value =
        at == std::string::npos ? "" : trimmed(text.substr(at + std::strlen(op_text)));
    if (name.empty() || value.empty() || name.find_first_of(" <>=!") != std::string::npos ||
        value.find_first_of("<>=!") != std::string::npos) {
        return {std::nullopt, said + "not KEY OP VALUE, OP one of < <= == != >= >"};
    }
    const auto *flood_column = find_column(row_columns, name);
    const auto *search_column = find_column(limit_columns, name);
    const unit of = search && search_column != nullptr   ? search_column->of
                    : !search && flood_column != nullptr ? flood_column->of
                                                         : unit::none;
    if (of == unit::none) {
        const std::string elsewhere =
            search && flood_column != nullptr
                ? name + " is a figure of a flood's row, and --find-limit prints a search's"
            : !search && search_column != nullptr
                ? name + " is a figure of a search's row: it needs --find-limit"
                : "no column has a figure named " + name;
        return {std::nullopt, said + elsewhere + "; " + keys_text(keys)};
    }
    const char *const key = search ? search_column->key : flood_column->key;
    const bool datagrams_only =
        search ? search_column->datagrams_only : flood_column->datagrams_only;
    if (datagrams_only && !datagrams) {
        return {std::nullopt,
                said + key + " is never known through a pipe: it needs -u; " + keys_text(keys)};
    }
    requirement r{text, key, of, op, nullptr};
    if (of == unit::ending) {
        const auto ending = parse_ending(value);
        if (!ending || (op != comparison::equal && op != comparison::not_equal)) {
            return {std::nullopt, said + key + " takes " + unit_text(of)};
        }
        r.wanted = *ending;
    } else if (const auto figure = parse_figure(value, of)) {
        r.wanted = *figure;
    } else {
        return {std::nullopt, said + key + " takes " + unit_text(of)};
    }
    return {r, ""};
}

bool meets(const requirement &r, const json &value) {
    if (r.of == unit::ending) {
        return value.is_object() && (value == r.wanted) == (r.op == comparison::equal);
    }
    if (!value.is_number()) {
        return false;
    }
    const double found = value.get<double>(), wanted = r.wanted.get<double>();
    switch (r.op) {
    case comparison::less:
        return found < wanted;
    case comparison::at_most:
        return found <= wanted;
    case comparison::equal:
        return found == wanted;
    case comparison::not_equal:
        return found != wanted;
    case comparison::at_least:
        return found >= wanted;
    case comparison::greater:
        return found > wanted;
    }
    return false;
}

std::optional<figure_range> uncertain_range(const json &row, const std::string &key) {
    if (!row.contains(key) || !row[key].is_number_unsigned() || !row.contains("uncertain") ||
        !row["uncertain"].is_number_unsigned() || row["uncertain"] == 0) {
        return std::nullopt;
    }
    const auto value = row[key].get<std::uint64_t>(),
               uncertain = row["uncertain"].get<std::uint64_t>();
    if (key == "missed" || key == "dropped") {
        // Those that reached its sockets and were perhaps never read were
        // neither missed nor dropped.
        const std::uint64_t unread = row.contains("unread") && row["unread"].is_number_unsigned()
                                         ? row["unread"].get<std::uint64_t>()
                                         : 0;
        const std::uint64_t more = uncertain - std::min(uncertain, unread);
        return more > 0 ? std::optional(figure_range{value, value + more}) : std::nullopt;
    }
    if (key == "read") {
        return figure_range{value - std::min(value, uncertain), value};
    }
    return std::nullopt;
}

bool meets(const requirement &r, const figure_range &range) {
    if (r.op == comparison::not_equal) {
        const double wanted = r.wanted.get<double>();
        return wanted < range.low.get<double>() || wanted > range.high.get<double>();
    }
    return meets(r, range.low) && meets(r, range.high);
}

std::string verdict_value_text(const verdict &v) {
    return v.range ? value_text(v.of.of, v.range->low) + " to " + value_text(v.of.of, v.range->high)
                   : value_text(v.of.of, v.value);
}

std::string requirement_value(unit of, double value) {
    if (of == unit::bytes_per_second) {
        return requirement_value(unit::bits_per_second, value * 8);
    }
    const std::vector<scale> all = scales(of);
    if (of == unit::count || all.empty()) {
        return fixed(value, 0);
    }
    // The largest scale in which the figure is 1 or more, to 4 digits.
    const scale *best = &all.front();
    for (const scale &s : all) {
        if (std::abs(value) >= s.factor && s.factor > best->factor) {
            best = &s;
        }
    }
    const double written = value / best->factor;
    const int whole_digits =
        written == 0 ? 1 : static_cast<int>(std::floor(std::log10(std::abs(written)))) + 1;
    std::string text = fixed(written, std::max(0, std::min(6, 4 - whole_digits)));
    if (text.find('.') != std::string::npos) {
        text.erase(text.find_last_not_of('0') + 1);
        if (text.back() == '.') {
            text.pop_back();
        }
    }
    return text + best->suffix;
}

std::string value_text(unit of, const json &value) {
    if (of == unit::ending && value.is_object()) {
        return value.contains("exit")               ? "exit " + value["exit"].dump()
               : value.contains("signal")           ? "signal " + value["signal"].get<std::string>()
               : value.contains("ended_by_harness") ? std::string("ended by the harness")
                                                    : std::string("not started");
    }
    if (!value.is_number()) {
        return "n/a";
    }
    const double v = value.get<double>();
    switch (of) {
    case unit::bits_per_second:
        return bit_rate_text(v);
    case unit::bytes_per_second:
        return bit_rate_text(v * 8);
    case unit::kib:
        return memory_text(v);
    case unit::kib_per_minute:
        return growth_text(v);
    case unit::seconds:
        return fixed(v, 2) + " s";
    case unit::count:
    case unit::none:
    case unit::ending:
        break;
    }
    return value.dump();
}
