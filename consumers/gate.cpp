// SPDX-License-Identifier: MIT
#include "gate.h"

#include "baseline.h"
#include "text.h"

namespace {

// `lines` of the table, each with the next of `cells` added at its end.
std::string with_cells(const std::string &lines, const std::vector<std::string> &cells) {
    std::string added;
    std::size_t at = 0;
    for (const std::string &cell : cells) {
        const std::size_t end = lines.find('\n', at);
        added += lines.substr(at, end - at) + cell + "\n";
        at = end + 1;
    }
    return added;
}

// The value found, and the baseline's beside it.
std::string found_text(const verdict &v, const judged_row &row) {
    if (!row.failure.empty()) {
        return "not judged, its flood failed";
    }
    return verdict_value_text(v) +
           (v.baseline ? " (baseline " + value_text(v.of.of, *v.baseline) + ")" : "");
}

} // namespace

gate::gate(const run_options &options) : options_(options) {
    std::vector<std::string> together;
    for (const std::string &command : options.commands) {
        (options.find_limit && options.together ? together : expected_)
            .push_back(valid_utf8(command));
    }
    if (!together.empty()) {
        expected_.push_back(join(together, " + "));
    }
}

const judged_row &gate::judge(json object, const std::string &failure) {
    judged_row row{row_name(object), nullptr, {}, failure, false};
    const auto value = [&](const std::string &key) {
        return object.contains(key) ? object[key] : json(nullptr);
    };
    for (const requirement &r : options_.requirements) {
        row.verdicts.push_back(
            {r, value(r.key), false, std::nullopt, uncertain_range(object, r.key)});
    }
    if (options_.baseline) {
        // Its baseline is the row of the same name that stands where it
        // stands among the rows of that name.
        std::size_t nth = seen_[row.name], same = 0;
        const json *before = nullptr;
        for (const json &earlier : *options_.baseline) {
            if (row_name(earlier) == row.name && same++ == nth) {
                before = &earlier;
                break;
            }
        }
        row.is_new = before == nullptr;
        if (before != nullptr) {
            for (auto &[r, was] :
                 baseline_requirements(*before, options_.find_limit, options_.transport.datagrams(),
                                       options_.tolerance)) {
                row.verdicts.push_back(
                    {r, value(r.key), false, was, uncertain_range(object, r.key)});
            }
        }
    }
    ++seen_[row.name];
    json verdicts = json::array();
    for (verdict &v : row.verdicts) {
        v.met = failure.empty() && (v.range ? meets(v.of, *v.range) : meets(v.of, v.value));
        verdicts.push_back({
            {"expr",  v.of.expr},
            {"value", v.value  },
            {"met",   v.met    }
        });
        if (v.baseline) {
            verdicts.back()["baseline"] = *v.baseline;
        }
        if (v.range) {
            verdicts.back()["range"] = {v.range->low, v.range->high};
        }
    }
    if (active()) {
        object["requirements"] = verdicts;
    }
    if (options_.baseline) {
        object["new"] = row.is_new;
    }
    row.object = std::move(object);
    rows_.push_back(std::move(row));
    return rows_.back();
}

void gate::not_flooded(const std::string &why) {
    std::map<std::string, std::size_t> expected;
    for (const std::string &name : expected_) {
        if (++expected[name] > seen_[name]) {
            judge(
                {
                    {"command", name}
            },
                why);
        }
    }
}

std::string gate::markdown_heading(const std::string &heading) const {
    return active() ? with_cells(heading, {" requirements |", "---|"}) : heading;
}

std::string gate::markdown_row(const std::string &row, const judged_row &judged) const {
    if (!active()) {
        return row;
    }
    std::vector<std::string> said;
    if (judged.is_new) {
        said.emplace_back("new");
    }
    for (const verdict &v : judged.verdicts) {
        said.push_back(v.met ? "✓ " + v.of.expr : "✗ " + v.of.expr + ": " + found_text(v, judged));
    }
    return with_cells(row, {" " + markdown_cell(join(said, "; ")) + " |"});
}

bool gate::missed() const {
    for (const judged_row &row : rows_) {
        for (const verdict &v : row.verdicts) {
            if (!v.met) {
                return true;
            }
        }
    }
    return false;
}

std::vector<std::string> gate::messages() const {
    std::vector<std::string> lines;
    for (const judged_row &row : rows_) {
        if (row.is_new) {
            lines.push_back(row.name + ": new, the baseline has no row of it");
        }
        for (const verdict &v : row.verdicts) {
            if (!v.met) {
                lines.push_back(row.name + ": missed " + v.of.expr + ": " + found_text(v, row));
            }
        }
    }
    return lines;
}
