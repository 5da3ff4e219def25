// SPDX-License-Identifier: MIT
#include "growth.h"

namespace {

constexpr double slack = 16; // KiB a process must grow by for it to count as growing

} // namespace

void memory_growth::count_latest(process &p) {
    const auto [k, kib] = p.latest;
    if (kib > p.last + slack) {
        p.peak = kib;
        p.since_peak.clear();
    } else {
        p.since_peak.emplace_back(k, kib);
    }
    p.last = kib;
}

void memory_growth::ended(const process &p) {
    for (const auto &[k, kib] : p.since_peak) {
        grown_[k] += p.peak - kib;
    }
    grown_[p.latest.first] += p.peak - p.latest.second;
    kept_by_ended_ += p.peak;
}

void memory_growth::sample(const std::map<pid_t, process_stat> &now, std::optional<double> at) {
    for (auto it = living_.begin(); it != living_.end();) {
        const auto p = now.find(it->first);
        if (p == now.end() || p->second.zombie || p->second.start_ticks != it->second.start_ticks) {
            ended(it->second);
            it = living_.erase(it);
        } else {
            ++it;
        }
    }
    if (!at) {
        return;
    }
    const std::size_t k = grown_.size();
    grown_.push_back(kept_by_ended_);
    at_.push_back(*at);
    for (const auto &[pid, p] : now) {
        if (p.zombie) {
            continue;
        }
        const auto rss = static_cast<double>(p.rss_kib);
        const auto known = living_.find(pid);
        if (known == living_.end()) {
            living_[pid] = {
                p.start_ticks, rss, 0, 0, { },
                    { k, 0}
            };
            continue;
        }
        count_latest(known->second);
        known->second.latest = {k, rss - known->second.base};
        grown_[k] += rss - known->second.base;
    }
}

std::optional<double> memory_growth::per_minute() const {
    const std::size_t n = grown_.size();
    if (n < 2 || at_.back() - at_.front() < 0.5) {
        return std::nullopt;
    }
    double mean_t = 0, mean_kib = 0;
    for (std::size_t k = 0; k < n; ++k) {
        mean_t += at_[k] / static_cast<double>(n);
        mean_kib += grown_[k] / static_cast<double>(n);
    }
    double covariance = 0, variance = 0;
    for (std::size_t k = 0; k < n; ++k) {
        covariance += (at_[k] - mean_t) * (grown_[k] - mean_kib);
        variance += (at_[k] - mean_t) * (at_[k] - mean_t);
    }
    return covariance / variance * 60;
}
