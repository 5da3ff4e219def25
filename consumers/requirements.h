// SPDX-License-Identifier: MIT
// Conditions on a row (--require): one column, by its JSON key, against a
// value in that column's unit. The columns tables say which keys there are
// and their units, so a column added to them can be required as it is.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "columns.h"

enum class comparison { less, at_most, equal, not_equal, at_least, greater };

struct requirement {
    std::string expr; // as written
    std::string key;  // the column's JSON key
    unit of = unit::none;
    comparison op = comparison::equal;
    json wanted; // in the column's JSON unit; an ending as its JSON object
};

// A requirement read from `text` for the rows of a search (--find-limit) or
// of floods, through a pipe or with datagrams; or, in `error`, what is wrong
// with it: a malformed condition, a key no column has (the message names
// those there are), a value not in the column's unit, or a column that never
// has a value in such a run.
struct parsed_requirement {
    std::optional<requirement> parsed;
    std::string error;
};
parsed_requirement parse_requirement(const std::string &text, bool search, bool datagrams);

// `value`, a row's JSON value of a column in unit `of`, as a requirement
// states it: in bits per second for a rate, with the unit after it ("83.9M",
// "12.5MiB", "1MiB/min"); such a text reads back as that value, to 4 digits.
std::string requirement_value(unit of, double value);
// The same value as the Markdown table shows it ("83.9 Mbit/s"); "n/a" for null.
std::string value_text(unit of, const json &value);

// The key as a requirement may name it: without its unit's suffix
// ("rate" for rate_bytes_per_s).
std::string short_key(const std::string &key, unit of);

// The values a row's figure may have, where the row is not sure of it.
struct figure_range {
    json low, high; // counts
};
// Those of `key` in `row`, the row's JSON object: missed and dropped may be
// up to its `uncertain` more than counted, read as many fewer; none where
// the row is sure of the figure.
std::optional<figure_range> uncertain_range(const json &row, const std::string &key);

struct verdict {
    requirement of;
    json value; // the row's, null when it had none
    bool met = false;
    std::optional<json> baseline;      // the figure of the baseline's row it was made from
    std::optional<figure_range> range; // the values the row gives for it, when unsure
};

// Whether `value` meets `r`; a null value meets nothing.
bool meets(const requirement &r, const json &value);
// Whether every value in `range` meets `r`.
bool meets(const requirement &r, const figure_range &range);
// The value a verdict was on, as the Markdown table shows it: its range
// where the row is unsure of it ("482 to 502").
std::string verdict_value_text(const verdict &v);

// The figures of the rows of a search or of floods: each column with a key
// and a unit, with that unit.
std::vector<std::pair<std::string, unit>> figure_keys(bool search);
