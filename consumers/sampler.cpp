// SPDX-License-Identifier: MIT
#include "sampler.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

constexpr auto period = std::chrono::milliseconds(50);
constexpr int drop_reads = 10;       // of the consumer's sockets' drops, in a period
constexpr double kept_period = 0.25; // seconds between the samples a row carries

} // namespace

tree_sampler::tree_sampler(unsigned port, time_point started, std::atomic<std::uint64_t> *dropped)
    : port_(port), harness_(getpid()), started_(started), dropped_(dropped),
      thread_(&tree_sampler::run, this) {}

tree_sampler::~tree_sampler() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    stopping_.notify_one();
    thread_.join();
}

double tree_sampler::since_start(time_point t) const {
    return seconds_between(started_, t);
}

void tree_sampler::run() {
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

void tree_sampler::flood_began(pid_t tsflood_pid) {
    const std::lock_guard<std::mutex> lock(mutex_);
    tsflood_ = tsflood_pid;
    flood_began_ = clock_type::now();
    phase_ = phase_type::flooding;
}

void tree_sampler::flood_ended() {
    sample(); // a socket that closed and so ended the flood closed during it
    const std::lock_guard<std::mutex> lock(mutex_);
    phase_ = phase_type::ended;
}

void tree_sampler::sample() {
    const std::lock_guard<std::mutex> one_at_a_time(sampling_);
    pid_t tsflood_pid;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        tsflood_pid = tsflood_;
    }
    // /proc is read without the lock: it is the slow part. The sockets
    // first: any process that holds one of them is there to be found next.
    const auto on_port = port_ != 0 ? udp_sockets(port_) : std::vector<udp_socket>{};
    std::map<pid_t, process_stat> tree;
    for (const auto &p : descendants(harness_, tsflood_pid)) {
        tree[p.pid] = p;
    }
    std::vector<std::uint64_t> held;
    std::string unreadable;
    for (const auto &[pid, p] : tree) {
        if (on_port.empty()) {
            break;
        }
        if (const auto inodes = socket_inodes(pid)) {
            held.insert(held.end(), inodes->begin(), inodes->end());
        } else if (!p.zombie && (errno == EACCES || errno == EPERM)) {
            unreadable = "/proc/" + std::to_string(pid) + "/fd: " + std::strerror(errno);
        }
    }
    const auto held_here = [&](std::uint64_t inode) {
        return std::find(held.begin(), held.end(), inode) != held.end();
    };
    std::map<std::uint64_t, std::string> others;
    if (unreadable.empty()) { // else another's socket may be the consumer's
        for (const auto &s : on_port) {
            if (!held_here(s.inode) && sockets_.count(s.inode) == 0 &&
                others_.count(s.inode) == 0) {
                others[s.inode] = holder_of(s.inode);
            }
        }
    }
    const auto now = clock_type::now();

    const std::lock_guard<std::mutex> lock(mutex_);
    std::uint64_t rss = 0;
    std::map<pid_t, double> unconfirmed;
    for (const auto &[pid, p] : tree) {
        rss += p.rss_kib;
        const auto before = processes_.find(pid);
        if (before != processes_.end() && before->second.start_ticks == p.start_ticks &&
            !p.zombie && !before->second.zombie) {
            // Alive still: its change before this one counts, and this one
            // waits to be seen followed by life, not by its end.
            const auto last = unconfirmed_.find(pid);
            grown_kib_ += last != unconfirmed_.end() ? last->second : 0;
            unconfirmed[pid] =
                static_cast<double>(p.rss_kib) - static_cast<double>(before->second.rss_kib);
        }
    }
    unconfirmed_ = std::move(unconfirmed);
    for (const auto &[pid, p] : processes_) {
        const auto after = tree.find(pid);
        const auto parent = processes_.find(p.ppid);
        if ((after == tree.end() || after->second.start_ticks != p.start_ticks) &&
            p.ppid != harness_ && parent != processes_.end() && parent->second.ignores_sigchld) {
            unwaited_cpu_ += p.cpu_seconds + p.children_cpu_seconds;
        }
    }
    processes_ = std::move(tree);
    if (rss > 0) {
        peak_kib_ = std::max(peak_kib_, rss);
        if (kept_.empty() || since_start(now) - kept_.back().first >= kept_period) {
            kept_.emplace_back(since_start(now), rss);
        }
        if (phase_ == phase_type::flooding && now - flood_began_ >= std::chrono::seconds(1)) {
            flooded_.emplace_back(since_start(now), grown_kib_);
        }
    }
    for (const auto &s : on_port) {
        if (sockets_.count(s.inode) == 0 && held_here(s.inode)) {
            sockets_[s.inode] = {s.inode, s.ipv6, address_text(s), s.drops, std::nullopt};
        }
    }
    if (phase_ != phase_type::ended) {
        others_.insert(others.begin(), others.end());
    }
    unreadable_ = unreadable;
    unknown_ = std::any_of(on_port.begin(), on_port.end(),
                           [&](const udp_socket &s) { return !held_here(s.inode); });
    update_sockets(on_port);
}

void tree_sampler::update_sockets(const std::vector<udp_socket> &on_port) {
    const auto now = clock_type::now();
    open_.clear();
    std::uint64_t dropped = 0;
    for (auto &[inode, seen] : sockets_) {
        const std::uint64_t known = inode;
        const auto it = std::find_if(on_port.begin(), on_port.end(),
                                     [known](const auto &s) { return s.inode == known; });
        if (it != on_port.end()) {
            seen.drops = it->drops;
            open_.push_back(*it);
        } else if (!seen.closed_at && phase_ != phase_type::ended) {
            seen.closed_at = since_start(now);
        }
        dropped += seen.drops;
    }
    if (dropped_ != nullptr) {
        dropped_->store(dropped, std::memory_order_relaxed);
    }
}

listening_sockets tree_sampler::listening() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return {open_, unreadable_, unknown_};
}

tree_report tree_sampler::report() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    tree_report r;
    r.peak_kib = peak_kib_;
    r.rss_kib = kept_;
    r.growth_kib_per_min = growth();
    for (const auto &[inode, seen] : sockets_) {
        r.sockets.push_back(seen);
    }
    for (const auto &[inode, holder] : others_) {
        if (std::find(r.other_holders.begin(), r.other_holders.end(), holder) ==
            r.other_holders.end()) {
            r.other_holders.push_back(holder);
        }
    }
    r.unwaited_cpu_seconds = unwaited_cpu_;
    return r;
}

// Least squares slope of the tree's growth over the flood, after its first
// second; nothing from less than half a second of samples.
std::optional<double> tree_sampler::growth() const {
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
