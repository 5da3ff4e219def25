// SPDX-License-Identifier: MIT
// The verdicts on a run's rows: which requirements each met and missed
// (--require, and those its baseline's row sets with --baseline), kept for
// the end of the run, its messages, exit status and JUnit report.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "options.h"
#include "requirements.h"

struct judged_row {
    std::string name; // its command, or its commands joined by " + "
    json object;      // as printed with --json, its verdicts added
    std::vector<verdict> verdicts;
    std::string failure; // why its flood failed, when it did: then it met nothing
    bool is_new = false; // the baseline has no row of it
};

class gate {
  public:
    explicit gate(const run_options &options);

    // Whether the rows carry verdicts: there are requirements or a baseline.
    bool active() const {
        return !options_.requirements.empty() || options_.baseline.has_value();
    }
    // Judges a row, given as its JSON object; `failure` says why its flood
    // failed ("" when it did not). What it returns lasts until the next.
    const judged_row &judge(json object, const std::string &failure);
    // The rows the run was to print and did not, each with `why`.
    void not_flooded(const std::string &why);

    // `markdown`, a heading or a row of the table, with the column of verdicts.
    std::string markdown_heading(const std::string &heading) const;
    std::string markdown_row(const std::string &row, const judged_row &judged) const;

    bool missed() const; // a requirement that some row missed
    // A line for each requirement a row missed, and for each new row.
    std::vector<std::string> messages() const;
    const std::vector<judged_row> &rows() const {
        return rows_;
    }

  private:
    const run_options &options_;
    std::vector<std::string> expected_;       // the rows' names, in their order
    std::map<std::string, std::size_t> seen_; // rows judged, by name
    std::vector<judged_row> rows_;
};
