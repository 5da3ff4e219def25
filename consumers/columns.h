// SPDX-License-Identifier: MIT
// A table of columns, each described once: its Markdown heading and cell,
// its JSON key and value, and the unit of its figure. The Markdown table
// and the JSON lines are both made from it, so a figure added to one is in
// the other.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

using json = nlohmann::ordered_json;

// The unit of a column's JSON value; its Markdown cell may scale it
// ("1.20 Gbit/s" for 150000000 bytes per second). An ending is how a process
// ended: {"exit": N} or {"signal": "NAME"}.
enum class unit {
    none,
    count,
    bits_per_second,
    bytes_per_second,
    kib,
    kib_per_minute,
    seconds,
    ending
};

// A number, which a Markdown table aligns right.
constexpr bool numeric(unit u) {
    return u != unit::none && u != unit::ending;
}

template <typename Record> struct column {
    const char *heading; // in Markdown; nullptr: in JSON only
    const char *key;     // in JSON; nullptr: in Markdown only
    bool datagrams_only; // only in a table of datagram floods; in JSON, null in others
    unit of;             // of the JSON value; none: not a figure
    json (*value)(const Record &);
    std::string (*cell)(const Record &);
};

template <typename Record> using columns = std::vector<column<Record>>;

template <typename Record>
std::string markdown_heading(const columns<Record> &table, bool datagrams) {
    std::string names = "|", rule = "|";
    for (const auto &c : table) {
        if (c.heading != nullptr && (datagrams || !c.datagrams_only)) {
            names += std::string(" ") + c.heading + " |";
            rule += numeric(c.of) ? "---:|" : "---|";
        }
    }
    return names + "\n" + rule + "\n";
}

template <typename Record>
std::string markdown_line(const columns<Record> &table, const Record &record, bool datagrams) {
    std::string line = "|";
    for (const auto &c : table) {
        if (c.heading != nullptr && (datagrams || !c.datagrams_only)) {
            line += " " + c.cell(record) + " |";
        }
    }
    return line + "\n";
}

template <typename Record> json json_object(const columns<Record> &table, const Record &record) {
    json object = json::object();
    for (const auto &c : table) {
        if (c.key != nullptr) {
            object[c.key] = c.value(record);
        }
    }
    return object;
}

// One line, whatever bytes its texts hold.
inline std::string json_line(const json &object) {
    return object.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}
