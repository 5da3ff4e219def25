// SPDX-License-Identifier: MIT
#include "limit.h"

#include <cmath>

#include "posix.h"
#include "session.h"
#include "text.h"

namespace {

constexpr double tolerance = 0.05; // the limit lies within 5% above the rate found

// What a try achieved, in bits per second: paced, what its pacer sent of
// the pieces due over the time it paced; unpaced, its rate, else its
// average.
double achieved(const consumer_row &row) {
    return row.pace                ? row.pace->achieved()
           : row.rate              ? *row.rate * 8
           : row.flood_seconds > 0 ? static_cast<double>(row.bytes) * 8 / row.flood_seconds
                                   : 0;
}

// Nothing when no datagram was sent.
std::optional<double> dropped_percent(const consumer_row &row) {
    if (!row.ledger || row.ledger->sent == 0) {
        return std::nullopt;
    }
    return 100.0 * static_cast<double>(row.ledger->dropped) / static_cast<double>(row.ledger->sent);
}

// A try's rate, the one its result counts at, then each receiver's
// datagrams and drops.
std::string tries_text(const limit_result &limit) {
    std::string tries;
    for (const auto &rows : limit.tries) {
        const consumer_row &first = rows.front();
        const double rate = achieved(first);
        tries += std::string(tries.empty() ? "" : " / ") + (first.pace ? "" : "unpaced ") +
                 bit_rate_text(rate) +
                 (first.pace && first.pace->fell_behind() ? " (the pacer fell behind)" : "") +
                 ": " + std::to_string(first.datagrams_sent()) + ", ";
        for (std::size_t k = 0; k < rows.size(); ++k) {
            const auto percent = dropped_percent(rows[k]);
            tries += (k > 0 ? " + " : "") + (percent ? std::to_string(rows[k].ledger->dropped) +
                                                           " (" + fixed(*percent, 2) + "%)"
                                                     : "n/a");
        }
    }
    return tries;
}

std::string found_text(const limit_result &limit) {
    const std::string found = limit.unpaced_loss_free
                                  ? "all of the unpaced " + bit_rate_text(*limit.limit)
                              : limit.limit        ? bit_rate_text(*limit.limit)
                              : limit.note.empty() ? "below " + bit_rate_text(limit.floor)
                                                   : std::string("unknown");
    return found + (limit.note.empty() ? "" : " (" + markdown_cell(limit.note) + ")") +
           (limit.pacer_bound ? " (the most the pacer reaches here: it may lie above)" : "") +
           (limit.first_to_lose ? ", first to lose: " + markdown_code(*limit.first_to_lose) : "");
}

// Every row of every try, each with its try's number and achieved rate.
json tries_json(const limit_result &limit) {
    json tries = json::array();
    for (std::size_t t = 0; t < limit.tries.size(); ++t) {
        for (const consumer_row &row : limit.tries[t]) {
            tries.push_back(row_json(row));
            tries.back()["try"] = t + 1;
            tries.back()["rate_bits_per_s"] = achieved(row);
            const auto percent = dropped_percent(row);
            tries.back()["dropped_percent"] = percent ? json(*percent) : json(nullptr);
        }
    }
    return tries;
}

std::string commands_text(const limit_result &l) {
    std::string text;
    for (const auto &command : l.commands) {
        text += (text.empty() ? "" : " + ") + markdown_code(command);
    }
    return text;
}

} // namespace

// clang-format off
const columns<limit_result> limit_columns = {
    {"consumer", "command", false, unit::none,
     [](const limit_result &l) {
         return l.commands.size() == 1 ? json(valid_utf8(l.commands.front())) : json(nullptr);
     },
     commands_text},
    {nullptr, "commands", false, unit::none,
     [](const limit_result &l) {
         json commands = json::array();
         for (const auto &command : l.commands) {
             commands.push_back(valid_utf8(command));
         }
         return commands;
     }, nullptr},
    {"loss-free rate", "limit_bits_per_s", false, unit::bits_per_second,
     [](const limit_result &l) { return l.limit ? json(*l.limit) : json(nullptr); }, found_text},
    {nullptr, "first_to_lose", false, unit::none,
     [](const limit_result &l) {
         return l.first_to_lose ? json(valid_utf8(*l.first_to_lose)) : json(nullptr);
     }, nullptr},
    {nullptr, "pacer_bound", false, unit::none,
     [](const limit_result &l) { return json(l.pacer_bound); }, nullptr},
    {nullptr, "unpaced_loss_free", false, unit::none,
     [](const limit_result &l) { return json(l.unpaced_loss_free); }, nullptr},
    {nullptr, "floor_bits_per_s", false, unit::bits_per_second,
     [](const limit_result &l) { return json(l.floor); }, nullptr},
    {nullptr, "tolerance", false, unit::none,
     [](const limit_result &) { return json(tolerance); }, nullptr},
    {nullptr, "note", false, unit::none,
     [](const limit_result &l) { return l.note.empty() ? json(nullptr) : json(l.note); }, nullptr},
    {"tries: rate, datagrams sent, dropped", "tries", false, unit::none, tries_json, tries_text},
};
// clang-format on

namespace {

// The tries a search takes, halving the span between `low` and `high` on a
// logarithmic scale, until `high` is within the tolerance of `low`.
int bisections(double low, double high) {
    return high / low > 1 + tolerance
               ? static_cast<int>(
                     std::ceil(std::log2(std::log(high / low) / std::log1p(tolerance))))
               : 0;
}

} // namespace

bool limit_result::failed() const {
    if (!note.empty()) {
        return true;
    }
    for (const auto &rows : tries) {
        for (const consumer_row &row : rows) {
            if (row.failed()) {
                return true;
            }
        }
    }
    return false;
}

limit_result search_limit(const std::vector<std::string> &commands, double floor,
                          const std::function<std::vector<consumer_row>(double)> &flood,
                          const std::function<bool()> &stopped, const search_observer &observe) {
    limit_result found{commands, floor, {}, false, "", {}, {}, false};
    std::optional<double> clean, lossy; // the highest loss-free and lowest lossy rates tried
    // One try at `rate`; true when it went through and no receiver dropped
    // anything.
    const auto loss_free = [&](double rate) {
        if (observe) {
            // Before the floor's try, its own and those of a search from it.
            const int left = lossy ? bisections(clean.value_or(floor), *lossy) : -1;
            observe({static_cast<int>(found.tries.size()) + 1, rate, clean, lossy,
                     left < 0 ? left : left + (clean ? 0 : 1)});
        }
        found.tries.push_back(flood(rate));
        bool dropped_none = true;
        for (const consumer_row &row : found.tries.back()) {
            if (!found.note.empty()) {
                break;
            }
            const std::string why = row.why_not_flooded();
            if (stopped()) {
                found.note = "stopped";
            } else if (!why.empty() || !row.flood_end.empty()) {
                found.note = "a try was not flooded for its whole time: " +
                             (why.empty() ? row.flood_end : why);
            } else if (!row.ledger) {
                found.note = "a try sent no datagrams";
            } else if (row.ledger->missed > 0) {
                found.note = "a try's receiver missed " + std::to_string(row.ledger->missed) +
                             " of the " + std::to_string(row.ledger->sent) +
                             " datagrams sent: it had no socket the flood reached then";
            }
            dropped_none = dropped_none && row.ledger && row.ledger->dropped == 0;
        }
        if (!dropped_none && commands.size() > 1 && found.note.empty() &&
            (!lossy || rate <= *lossy)) {
            // The receiver that dropped most at the lowest lossy rate.
            const auto &rows = found.tries.back();
            found.first_to_lose =
                std::max_element(rows.begin(), rows.end(),
                                 [](const consumer_row &a, const consumer_row &b) {
                                     return a.ledger->dropped < b.ledger->dropped;
                                 })
                    ->command;
        }
        return found.note.empty() && dropped_none;
    };
    const auto stop_short = [&] {
        found.limit.reset();
        return found;
    };
    // A try's rate: what it achieved, which a pacer at its most may leave
    // short of what was asked.
    const auto achieved_by_try = [&] { return achieved(found.tries.back().front()); };
    // Whether the pacer of the last try fell behind, and how often a
    // loss-free try's has: one that spun without pause paces no faster
    // here; one that fell behind once may have been held up by a busy
    // machine, twice it is at its most.
    int behind = 0;
    const auto pacer_at_its_most = [&] {
        const auto &pace = found.tries.back().front().pace;
        if (!pace || !pace->fell_behind()) {
            return false;
        }
        return pace->spun_without_pause() || ++behind >= 2;
    };
    if (loss_free(0)) {
        found.unpaced_loss_free = true;
        found.limit = achieved_by_try();
        return found;
    }
    lossy = achieved_by_try();
    if (!found.note.empty()) {
        return stop_short();
    }
    if (!loss_free(floor)) {
        return found.note.empty() ? found : stop_short();
    }
    clean = achieved_by_try();
    while (*lossy / *clean > 1 + tolerance) {
        const double mid = std::sqrt(*clean * *lossy);
        const bool clean_at_mid = loss_free(mid);
        if (!found.note.empty()) {
            return stop_short();
        }
        (clean_at_mid ? clean : lossy) = achieved_by_try();
        if (clean_at_mid && pacer_at_its_most()) {
            // No faster pace here: the limit may lie above.
            found.pacer_bound = true;
            break;
        }
    }
    found.limit = clean;
    return found;
}

limit_result find_limit(const run_options &options, const std::vector<std::string> &commands,
                        stop_signals &signals, status_line *status) {
    return search_limit(
        commands, options.rate > 0 ? options.rate : default_floor_bits_per_s,
        [&](double rate) {
            run_options at = options;
            at.rate = rate;
            return flood_consumers(at, commands, signals, status);
        },
        [&] { return signals.count() > 0; },
        [&](const status_line::search_state &state) {
            if (status != nullptr) {
                status->search(state);
            }
        });
}

std::string limit_heading() {
    return markdown_heading(limit_columns, false);
}

std::string limit_markdown(const limit_result &limit) {
    return markdown_line(limit_columns, limit, false);
}
