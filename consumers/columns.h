// SPDX-License-Identifier: MIT
// A table of columns, each described once: its Markdown heading and cell,
// its JSON key and value. The Markdown table and the JSON lines are both
// made from it, so a figure added to one is in the other.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

using json = nlohmann::ordered_json;

template <typename Record> struct column {
    const char *heading; // in Markdown; nullptr: in JSON only
    const char *key;     // in JSON; nullptr: in Markdown only
    bool udp_only;       // in Markdown, only in a table of UDP floods
    bool numeric;        // right-aligned in Markdown
    json (*value)(const Record &);
    std::string (*cell)(const Record &);
};

template <typename Record> using columns = std::vector<column<Record>>;

template <typename Record> std::string markdown_heading(const columns<Record> &table, bool udp) {
    std::string names = "|", rule = "|";
    for (const auto &c : table) {
        if (c.heading != nullptr && (udp || !c.udp_only)) {
            names += std::string(" ") + c.heading + " |";
            rule += c.numeric ? "---:|" : "---|";
        }
    }
    return names + "\n" + rule + "\n";
}

template <typename Record>
std::string markdown_line(const columns<Record> &table, const Record &record, bool udp) {
    std::string line = "|";
    for (const auto &c : table) {
        if (c.heading != nullptr && (udp || !c.udp_only)) {
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
