// SPDX-License-Identifier: MIT
#include "sampler.h"

#include <algorithm>
#include <unistd.h>

#include "procfs.h"

namespace {

constexpr auto period = std::chrono::milliseconds(50);
constexpr int drop_reads = 10;       // of the consumer's sockets' drops, in a period
constexpr double kept_period = 0.25; // seconds between the samples a row carries

} // namespace

sampler_t::sampler_t(unsigned port, clock_type::time_point started)
    : port_(port), harness_(getpid()), started_(started), thread_(&sampler_t::run, this) {}

sampler_t::~sampler_t() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    stopping_.notify_one();
    thread_.join();
}

double sampler_t::at(clock_type::time_point t) const {
    return std::chrono::duration<double>(t - started_).count();
}

void sampler_t::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        lock.unlock();
        sample();
        lock.lock();
        for (int read = 0; read < drop_reads && !stop_; ++read) {
            stopping_.wait_for(lock, period / drop_reads, [this] { return stop_; });
            if (port_ != 0 && !sockets_.empty()) {
                // A closing socket takes its count with it: the less time
                // since its last reading, the fewer drops go uncounted.
                lock.unlock();
                const std::lock_guard<std::mutex> one_at_a_time(sampling_);
                const auto on_port = udp_sockets(port_);
                lock.lock();
                update_sockets(on_port);
            }
        }
    }
}

void sampler_t::flood_began(pid_t tsflood) {
    const std::lock_guard<std::mutex> lock(mutex_);
    tsflood_ = tsflood;
    flood_began_ = clock_type::now();
    phase_ = phase_t::flooding;
}

void sampler_t::flood_ended() {
    sample(); // a socket that closed and so ended the flood closed during it
    const std::lock_guard<std::mutex> lock(mutex_);
    phase_ = phase_t::ended;
}

void sampler_t::sample() {
    const std::lock_guard<std::mutex> one_at_a_time(sampling_);
    pid_t tsflood;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        tsflood = tsflood_;
    }
    // /proc is read without the lock: it is the slow part. The sockets
    // first: any process that holds one of them is there to be found next.
    const auto on_port = port_ != 0 ? udp_sockets(port_) : std::vector<udp_socket_t>{};
    std::uint64_t rss = 0;
    std::vector<pid_t> live;
    for (const auto &p : descendants(harness_)) {
        if (!p.zombie && p.pid != tsflood) {
            rss += p.rss_kib;
            live.push_back(p.pid);
        }
    }
    std::vector<std::uint64_t> held;
    for (const pid_t pid : on_port.empty() ? std::vector<pid_t>{} : live) {
        const auto inodes = socket_inodes(pid);
        held.insert(held.end(), inodes.begin(), inodes.end());
    }
    std::map<std::uint64_t, std::string> others;
    for (const auto &s : on_port) {
        if (std::find(held.begin(), held.end(), s.inode) == held.end() &&
            sockets_.count(s.inode) == 0 && others_.count(s.inode) == 0) {
            others[s.inode] = holder_of(s.inode);
        }
    }
    const auto now = clock_type::now();

    const std::lock_guard<std::mutex> lock(mutex_);
    if (!live.empty()) {
        peak_kib_ = std::max(peak_kib_, rss);
        if (kept_.empty() || at(now) - kept_.back().first >= kept_period) {
            kept_.emplace_back(at(now), rss);
        }
        if (phase_ == phase_t::flooding && now - flood_began_ >= std::chrono::seconds(1)) {
            flooded_.emplace_back(at(now), static_cast<double>(rss));
        }
    }
    for (const auto &s : on_port) {
        if (sockets_.count(s.inode) == 0 &&
            std::find(held.begin(), held.end(), s.inode) != held.end()) {
            sockets_[s.inode] = {s.inode, s.ipv6, address_text(s), s.drops, std::nullopt};
        }
    }
    if (phase_ != phase_t::ended) {
        others_.insert(others.begin(), others.end());
    }
    update_sockets(on_port);
}

void sampler_t::update_sockets(const std::vector<udp_socket_t> &on_port) {
    const auto now = clock_type::now();
    open_.clear();
    for (auto &[inode, seen] : sockets_) {
        const std::uint64_t known = inode;
        const auto it = std::find_if(on_port.begin(), on_port.end(),
                                     [known](const auto &s) { return s.inode == known; });
        if (it != on_port.end()) {
            seen.drops = it->drops;
            open_.push_back(*it);
        } else if (!seen.closed_at && phase_ != phase_t::ended) {
            seen.closed_at = at(now);
        }
    }
}

std::vector<udp_socket_t> sampler_t::listening() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

void sampler_t::fill(row_t &row) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    row.peak_rss_kib = std::max(row.peak_rss_kib, peak_kib_);
    row.rss_kib = kept_;
    row.rss_growth_kib_per_min = growth();
    row.sockets.clear();
    for (const auto &[inode, seen] : sockets_) {
        row.sockets.push_back(seen);
    }
    row.other_sockets.clear();
    for (const auto &[inode, holder] : others_) {
        row.other_sockets.push_back(holder);
    }
}

// Least squares slope of the tree's memory over the flood, after its first
// second; nothing from less than half a second of samples.
std::optional<double> sampler_t::growth() const {
    const auto &s = flooded_;
    if (s.size() < 2 || s.back().first - s.front().first < 0.5) {
        return std::nullopt;
    }
    double mean_t = 0, mean_kib = 0;
    for (const auto &[t, kib] : s) {
        mean_t += t / static_cast<double>(s.size());
        mean_kib += kib / static_cast<double>(s.size());
    }
    double covariance = 0, variance = 0;
    for (const auto &[t, kib] : s) {
        covariance += (t - mean_t) * (kib - mean_kib);
        variance += (t - mean_t) * (t - mean_t);
    }
    return covariance / variance * 60;
}
