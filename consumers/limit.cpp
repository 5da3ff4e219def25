// SPDX-License-Identifier: MIT
#include "limit.h"

#include <cmath>

namespace {

constexpr double tolerance = 0.05; // the limit lies within 5% above the rate found

// What a try achieved, in bits per second: its rate after the first second,
// else over the whole flood.
double achieved(const row_t &row) {
    return row.rate                ? *row.rate * 8
           : row.flood_seconds > 0 ? static_cast<double>(row.bytes) * 8 / row.flood_seconds
                                   : 0;
}

// Nothing when no socket of the consumer's was seen.
std::optional<double> dropped_percent(const row_t &row) {
    if (!row.dropped() || row.datagrams == 0) {
        return std::nullopt;
    }
    return 100.0 * static_cast<double>(*row.dropped()) / static_cast<double>(row.datagrams);
}

} // namespace

limit_t search_limit(const std::string &command, double floor,
                     const std::function<row_t(double)> &flood, const signals_t &signals) {
    limit_t found{command, floor, {}, false, "", {}};
    // One try at `rate`; true when it went through and dropped nothing.
    const auto loss_free = [&](double rate) {
        found.tries.push_back(flood(rate));
        const row_t &row = found.tries.back();
        if (!row.flooded() || !row.dropped()) {
            found.note = "a try was not flooded" +
                         (row.flood_end.empty() ? std::string() : ": " + row.flood_end);
        } else if (signals.stops > 0) {
            found.note = "stopped";
        }
        return found.note.empty() && row.dropped() == 0;
    };
    if (loss_free(0)) {
        found.unpaced_loss_free = true;
        found.limit = achieved(found.tries.back());
        return found;
    }
    double lossy = achieved(found.tries.back());
    if (!found.note.empty() || !loss_free(floor)) {
        return found;
    }
    double clean = floor;
    while (lossy / clean > 1 + tolerance) {
        const double mid = std::sqrt(clean * lossy);
        if (loss_free(mid)) {
            clean = mid;
        } else if (!found.note.empty()) {
            break;
        } else {
            lossy = mid;
        }
    }
    found.limit = clean;
    return found;
}

limit_t find_limit(const options_t &options, const std::string &command, signals_t &signals) {
    return search_limit(
        command, options.rate > 0 ? options.rate : default_floor_bits_per_s,
        [&](double rate) {
            options_t at = options;
            at.rate = rate;
            return flood_consumer(at, command, signals);
        },
        signals);
}

std::string limit_heading() {
    return "| consumer | loss-free rate | tries: rate, datagrams sent, dropped |\n"
           "|---|---:|---|\n";
}

std::string limit_markdown(const limit_t &limit) {
    std::string tries;
    for (const row_t &row : limit.tries) {
        char percent[32];
        std::snprintf(percent, sizeof percent, "%.2f%%", dropped_percent(row).value_or(0));
        tries += (tries.empty() ? "" : " / ") +
                 (row.asked_rate > 0 ? bit_rate_text(row.asked_rate)
                                     : "unpaced " + bit_rate_text(achieved(row))) +
                 ": " + std::to_string(row.datagrams) + ", " +
                 (row.dropped() ? std::to_string(*row.dropped()) + " (" + percent + ")" : "n/a");
    }
    const std::string found = limit.unpaced_loss_free
                                  ? "all of the unpaced " + bit_rate_text(*limit.limit)
                              : limit.limit        ? bit_rate_text(*limit.limit)
                              : limit.note.empty() ? "below " + bit_rate_text(limit.floor)
                                                   : std::string("unknown");
    return "| " + markdown_code(limit.command) + " | " + found +
           (limit.note.empty() ? "" : " (" + limit.note + ")") + " | " + tries + " |\n";
}

std::string limit_json(const limit_t &limit) {
    using json = nlohmann::ordered_json;
    json tries = json::array();
    for (const row_t &row : limit.tries) {
        tries.push_back(row_json(row));
        tries.back()["rate_bits_per_s"] = achieved(row);
        const auto percent = dropped_percent(row);
        tries.back()["dropped_percent"] = percent ? json(*percent) : json(nullptr);
    }
    const json object = {
        {"command",           limit.command                                        },
        {"limit_bits_per_s",  limit.limit ? json(*limit.limit) : json(nullptr)     },
        {"unpaced_loss_free", limit.unpaced_loss_free                              },
        {"floor_bits_per_s",  limit.floor                                          },
        {"tolerance",         tolerance                                            },
        {"note",              limit.note.empty() ? json(nullptr) : json(limit.note)},
        {"tries",             tries                                                },
    };
    return object.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}
