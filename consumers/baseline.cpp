// SPDX-License-Identifier: MIT
#include "baseline.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>

#include "text.h"

namespace {

// The figures compared, and which way is worse.
const struct {
    const char *key;
    bool higher_is_worse;
} compared[] = {
    {"limit_bits_per_s",       false},
    {"rate_bytes_per_s",       false},
    {"dropped",                true },
    {"missed",                 true },
    {"peak_rss_kib",           true },
    {"rss_growth_kib_per_min", true },
    {"cpu_seconds",            true },
};

// The least change that is not noise, whatever the tolerance: a busy
// machine moves a small consumer's CPU time by a tenth of a second or more,
// its peak memory by a few hundred KiB.
double least_change(unit of) {
    switch (of) {
    case unit::kib:
    case unit::kib_per_minute:
        return 1024;
    case unit::seconds:
        return 0.25;
    default:
        return 0;
    }
}

} // namespace

std::string row_name(const json &row) {
    if (row.contains("command") && row["command"].is_string()) {
        return row["command"].get<std::string>();
    }
    std::vector<std::string> commands;
    if (row.contains("commands") && row["commands"].is_array()) {
        for (const json &command : row["commands"]) {
            commands.push_back(command.is_string() ? command.get<std::string>() : command.dump());
        }
    }
    return join(commands, " + ");
}

std::optional<std::vector<json>> read_baseline(const std::string &path, bool search,
                                               std::string &error) {
    const std::string said = "--baseline " + path + ": ";
    std::ifstream in(path);
    if (!in) {
        error = said + std::strerror(errno);
        return std::nullopt;
    }
    std::vector<json> rows;
    std::size_t number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (line.find_first_not_of(" \t\r") == std::string::npos) {
            continue;
        }
        const json row = json::parse(line, nullptr, false);
        const std::string at = said + "line " + std::to_string(number);
        if (!row.is_object() || row_name(row).empty()) {
            error = at + " is not a row of tsflood-consumers --json";
            return std::nullopt;
        }
        if (row.contains("limit_bits_per_s") != search) {
            error = at + (search ? " is a flood's row, and --find-limit prints a search's"
                                 : " is a search's row (--find-limit), and this run floods");
            return std::nullopt;
        }
        rows.push_back(row);
    }
    if (in.bad()) {
        error = said + std::strerror(errno);
        return std::nullopt;
    }
    if (rows.empty()) {
        error = said + "no rows";
        return std::nullopt;
    }
    return rows;
}

std::vector<std::pair<requirement, json>> baseline_requirements(const json &before, bool search,
                                                                bool datagrams, double tolerance) {
    std::vector<std::pair<requirement, json>> made;
    for (const auto &[key, of] : figure_keys(search)) {
        const std::string &name = key; // a lambda takes no structured binding before C++20
        const auto figure = std::find_if(std::begin(compared), std::end(compared),
                                         [&](const auto &c) { return name == c.key; });
        if (figure == std::end(compared) || !before.contains(key) || !before[key].is_number()) {
            continue;
        }
        const double was = before[key].get<double>();
        const double slack = std::max(tolerance * std::abs(was), least_change(of));
        double bound = figure->higher_is_worse ? was + slack : std::max(0.0, was - slack);
        if (of == unit::count) { // a whole number, within the bound
            bound = figure->higher_is_worse ? std::floor(bound) : std::ceil(bound);
        }
        const std::string text = short_key(key, of) + (figure->higher_is_worse ? " <= " : " >= ") +
                                 requirement_value(of, bound);
        // Read back as any requirement is: it compares what it says, and
        // only what this run can judge.
        if (const auto r = parse_requirement(text, search, datagrams).parsed) {
            made.emplace_back(*r, before[key]);
        }
    }
    return made;
}
