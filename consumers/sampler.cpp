// SPDX-License-Identifier: MIT
#include "sampler.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <unistd.h>

namespace {

constexpr auto period = std::chrono::milliseconds(50);
constexpr int drop_reads = 10;       // of the consumers' sockets' drops, in a period
constexpr double kept_period = 0.25; // seconds between the samples a row carries

} // namespace

// One consumer's tree, as sampled.
struct tree_sampler::tree {
    pid_t root;
    time_point started;
    std::map<pid_t, process_stat> processes; // at the last sample
    std::map<pid_t, double> unconfirmed;     // each process's last change, not yet counted
    double grown_kib = 0; // by the processes that lived from one sample to the next
    std::uint64_t peak_kib = 0;
    std::vector<std::pair<double, std::uint64_t>> kept; // the row's samples, four a second
    std::vector<std::pair<double, double>> flooded; // (time, grown) after the flood's first second
    double unwaited_cpu = 0;
    std::map<std::uint64_t, seen_socket> sockets; // its own, by inode
    std::vector<udp_socket> open;                 // its own, open
    std::string unreadable;
    bool alive = false;  // a process of it runs
    time_point alive_at; // when the walk that found it so began

    double since_start(time_point t) const {
        return seconds_between(started, t);
    }

    // Its processes now: memory that grew or shrank, and the CPU of those
    // that the kernel reaped since the last sample.
    void take(std::map<pid_t, process_stat> now, pid_t harness, time_point at, bool flooding) {
        std::uint64_t rss = 0;
        std::map<pid_t, double> changed;
        for (const auto &[pid, p] : now) {
            rss += p.rss_kib;
            const auto before = processes.find(pid);
            if (before != processes.end() && before->second.start_ticks == p.start_ticks &&
                !p.zombie && !before->second.zombie) {
                // Alive still: its change before this one counts, and this
                // one waits to be seen followed by life, not by its end.
                const auto last = unconfirmed.find(pid);
                grown_kib += last != unconfirmed.end() ? last->second : 0;
                changed[pid] =
                    static_cast<double>(p.rss_kib) - static_cast<double>(before->second.rss_kib);
            }
        }
        unconfirmed = std::move(changed);
        for (const auto &[pid, p] : processes) {
            const auto after = now.find(pid);
            const auto parent = processes.find(p.ppid);
            if ((after == now.end() || after->second.start_ticks != p.start_ticks) &&
                p.ppid != harness && parent != processes.end() && parent->second.ignores_sigchld) {
                unwaited_cpu += p.cpu_seconds + p.children_cpu_seconds;
            }
        }
        processes = std::move(now);
        if (rss > 0) {
            peak_kib = std::max(peak_kib, rss);
            if (kept.empty() || since_start(at) - kept.back().first >= kept_period) {
                kept.emplace_back(since_start(at), rss);
            }
            if (flooding) {
                flooded.emplace_back(since_start(at), grown_kib);
            }
        }
    }

    // Least squares slope of the growth over the flood, after its first
    // second; nothing from less than half a second of samples.
    std::optional<double> growth() const {
        const auto &s = flooded;
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
};

tree_sampler::tree_sampler(unsigned port, std::atomic<std::uint64_t> *dropped)
    : port_(port), harness_(getpid()), dropped_(dropped), thread_(&tree_sampler::run, this) {}

tree_sampler::~tree_sampler() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    stopping_.notify_one();
    thread_.join();
}

std::size_t tree_sampler::add(pid_t root, time_point started) {
    const std::lock_guard<std::mutex> lock(mutex_);
    trees_.push_back({root, started, {}, {}, 0, 0, {}, {}, 0, {}, {}, {}, true, started});
    return trees_.size() - 1;
}

void tree_sampler::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        lock.unlock();
        sample();
        lock.lock();
        for (int read = 0; read < drop_reads && !stop_; ++read) {
            stopping_.wait_for(lock, period / drop_reads, [this] { return stop_; });
            const bool watched = std::any_of(trees_.begin(), trees_.end(),
                                             [](const tree &t) { return !t.sockets.empty(); });
            if (port_ != 0 && watched) {
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

std::optional<std::size_t>
tree_sampler::attribute(const process_stat &p, const std::map<pid_t, std::size_t> &owners) const {
    for (std::size_t i = 0; i < trees_.size(); ++i) {
        if (p.pid == trees_[i].root || p.session == trees_[i].root) {
            return i;
        }
    }
    const auto parent = owners.find(p.ppid);
    if (parent != owners.end()) {
        return parent->second;
    }
    return trees_.size() == 1 ? std::optional<std::size_t>(0) : std::nullopt;
}

std::optional<std::size_t> tree_sampler::owner(const process_stat &p) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto known = known_.find({p.pid, p.start_ticks});
    if (known != known_.end()) {
        return known->second;
    }
    return attribute(p, {});
}

void tree_sampler::sample() {
    const std::lock_guard<std::mutex> one_at_a_time(sampling_);
    const time_point walk_began = clock_type::now();
    pid_t tsflood;
    std::set<std::uint64_t> seen; // sockets already known
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        tsflood = tsflood_;
        for (const tree &t : trees_) {
            for (const auto &[inode, socket] : t.sockets) {
                seen.insert(inode);
            }
        }
        for (const auto &[inode, holder] : others_) {
            seen.insert(inode);
        }
    }
    // /proc is read without the lock: it is the slow part. The sockets
    // first: any process that holds one of them is there to be found next.
    const auto on_port = port_ != 0 ? udp_sockets(port_) : std::vector<udp_socket>{};
    const std::vector<process_stat> table = descendants(harness_, tsflood);
    // Each process's consumer: a parent comes before its children.
    std::map<pid_t, std::size_t> owners;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        std::map<std::pair<pid_t, std::uint64_t>, std::size_t> known;
        for (const auto &p : table) {
            const std::pair<pid_t, std::uint64_t> key{p.pid, p.start_ticks};
            const auto before = known_.find(key);
            const auto owner =
                before != known_.end() ? std::optional(before->second) : attribute(p, owners);
            if (owner) { // one not told yet may be once its consumer is added
                known[key] = *owner;
                owners[p.pid] = *owner;
            }
        }
        known_ = std::move(known);
    }
    std::map<pid_t, std::vector<std::uint64_t>> held; // by process
    std::map<pid_t, std::string> unreadable;
    for (const auto &p : table) {
        if (on_port.empty()) {
            break;
        }
        if (const auto inodes = socket_inodes(p.pid)) {
            held[p.pid] = *inodes;
        } else if (!p.zombie && (errno == EACCES || errno == EPERM)) {
            unreadable[p.pid] = "/proc/" + std::to_string(p.pid) + "/fd: " + std::strerror(errno);
        }
    }
    // Whether a process, of a consumer's (`owned`) or any, holds `inode`.
    const auto held_by = [&](std::uint64_t inode, bool owned) {
        return std::any_of(held.begin(), held.end(), [&](const auto &h) {
            return (!owned || owners.count(h.first) != 0) &&
                   std::find(h.second.begin(), h.second.end(), inode) != h.second.end();
        });
    };
    std::map<std::uint64_t, std::string> others;
    if (unreadable.empty()) { // else another's socket may be a consumer's
        for (const auto &s : on_port) {
            if (!held_by(s.inode, true) && seen.count(s.inode) == 0) {
                others[s.inode] = holder_of(s.inode);
            }
        }
    }
    const auto now = clock_type::now();

    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::map<pid_t, process_stat>> processes(trees_.size());
    for (const auto &p : table) {
        const auto owner = owners.find(p.pid);
        if (owner != owners.end()) {
            processes[owner->second][p.pid] = p;
        }
    }
    const bool flooding =
        phase_ == phase_type::flooding && now - flood_began_ >= std::chrono::seconds(1);
    for (std::size_t i = 0; i < trees_.size(); ++i) {
        tree &t = trees_[i];
        t.unreadable.clear();
        for (const auto &[pid, p] : processes[i]) {
            const auto cannot = unreadable.find(pid);
            if (cannot != unreadable.end()) {
                t.unreadable = cannot->second;
            }
            const auto inodes = held.find(pid);
            for (const auto &s : on_port) {
                if (inodes != held.end() && t.sockets.count(s.inode) == 0 &&
                    std::find(inodes->second.begin(), inodes->second.end(), s.inode) !=
                        inodes->second.end()) {
                    t.sockets[s.inode] = {s.inode, s.ipv6, address_text(s), s.drops, std::nullopt};
                }
            }
        }
        t.alive = std::any_of(processes[i].begin(), processes[i].end(),
                              [](const auto &p) { return !p.second.zombie; });
        t.alive_at = walk_began;
        t.take(std::move(processes[i]), harness_, now, flooding);
    }
    if (phase_ != phase_type::ended) {
        others_.insert(others.begin(), others.end());
    }
    unknown_ = std::any_of(on_port.begin(), on_port.end(),
                           [&](const udp_socket &s) { return !held_by(s.inode, false); });
    update_sockets(on_port);
}

void tree_sampler::update_sockets(const std::vector<udp_socket> &on_port) {
    const auto now = clock_type::now();
    std::uint64_t dropped = 0;
    for (tree &t : trees_) {
        t.open.clear();
        for (auto &[inode, seen] : t.sockets) {
            const std::uint64_t known = inode;
            const auto it = std::find_if(on_port.begin(), on_port.end(),
                                         [known](const auto &s) { return s.inode == known; });
            if (it != on_port.end()) {
                seen.drops = it->drops;
                t.open.push_back(*it);
            } else if (!seen.closed_at && phase_ != phase_type::ended) {
                seen.closed_at = t.since_start(now);
            }
            dropped += seen.drops;
        }
    }
    if (dropped_ != nullptr) {
        dropped_->store(dropped, std::memory_order_relaxed);
    }
}

listening_sockets tree_sampler::listening(std::size_t i) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const tree &t = trees_.at(i);
    return {t.open, t.unreadable, unknown_, !t.sockets.empty(), t.alive, t.alive_at};
}

tree_report tree_sampler::report(std::size_t i) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const tree &t = trees_.at(i);
    tree_report r;
    r.peak_kib = t.peak_kib;
    r.rss_kib = t.kept;
    r.growth_kib_per_min = t.growth();
    for (const auto &[inode, seen] : t.sockets) {
        r.sockets.push_back(seen);
    }
    for (const auto &[inode, holder] : others_) {
        if (std::find(r.other_holders.begin(), r.other_holders.end(), holder) ==
            r.other_holders.end()) {
            r.other_holders.push_back(holder);
        }
    }
    r.unwaited_cpu_seconds = t.unwaited_cpu;
    return r;
}
