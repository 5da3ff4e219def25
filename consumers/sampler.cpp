// SPDX-License-Identifier: MIT
#include "sampler.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <set>
#include <unistd.h>

#include "growth.h"
#include "mover.h"

namespace {

constexpr auto period = std::chrono::milliseconds(50);
constexpr int looks_per_period = 10;                   // at the port's sockets
constexpr double kept_period = 0.25;                   // seconds between the samples a row carries
constexpr auto growth_delay = std::chrono::seconds(1); // of the flood, its start-up left out

} // namespace

// A socket on the port, as last seen.
struct tree_sampler::port_socket {
    udp_socket last{};
    std::optional<std::size_t> owner;
    std::uint64_t drops_before = 0; // when the flood began, if it was open then
    bool open = true;
    reach receiving = reach::not_receiving;
    std::optional<time_point> closed; // when first seen gone, during the flood
};

// One consumer's tree, as sampled.
struct tree_sampler::tree {
    pid_t root;
    time_point started;
    std::map<pid_t, process_stat> processes; // at the last sample
    std::uint64_t peak_kib = 0;
    std::vector<std::pair<double, std::uint64_t>> kept; // the row's samples, four a second
    double unwaited_cpu = 0;
    std::string unreadable;
    bool alive = true;   // a process of it runs
    time_point alive_at; // when the walk that found it so began

    memory_growth growth; // over the flood, after its first second

    double since_start(time_point t) const {
        return seconds_between(started, t);
    }

    // Its processes now: memory, and the CPU of those that the kernel
    // reaped since the last sample.
    // `flooding`: a sample of the flood, after its first second; false
    // after the flood; nothing before it, or while the harness ends the
    // trees.
    void take(std::map<pid_t, process_stat> now, pid_t harness, time_point at,
              std::optional<bool> flooding) {
        std::uint64_t rss = 0;
        for (const auto &[pid, p] : now) {
            rss += p.rss_kib;
        }
        for (const auto &[pid, p] : processes) {
            const auto after = now.find(pid);
            const auto parent = processes.find(p.ppid);
            if ((after == now.end() || after->second.start_ticks != p.start_ticks) &&
                p.ppid != harness && parent != processes.end() && parent->second.ignores_sigchld) {
                unwaited_cpu += p.cpu_seconds + p.children_cpu_seconds;
            }
        }
        if (flooding) {
            // After the flood, a process that ends by itself still takes
            // back what it gave back as it ended.
            growth.sample(now, *flooding ? std::optional(since_start(at)) : std::nullopt);
        }
        processes = std::move(now);
        if (rss > 0) {
            peak_kib = std::max(peak_kib, rss);
            if (kept.empty() || since_start(at) - kept.back().first >= kept_period) {
                kept.emplace_back(since_start(at), rss);
            }
        }
    }
};

tree_sampler::tree_sampler(const port_watch *watch, std::atomic<std::uint64_t> *dropped)
    : watch_(watch), harness_(getpid()), dropped_(dropped), thread_(&tree_sampler::run, this) {}

tree_sampler::~tree_sampler() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    stopping_.notify_one();
    thread_.join();
}

std::string tree_sampler::tree_marker(std::size_t tree) {
    return std::to_string(getpid()) + ":" + std::to_string(tree);
}

std::size_t tree_sampler::add(pid_t root, time_point started) {
    const std::lock_guard<std::mutex> lock(mutex_);
    trees_.push_back({root, started, {}, 0, {}, 0, {}, true, started, {}});
    return trees_.size() - 1;
}

template <typename F> void tree_sampler::unless_failed(F f) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!failure_.empty()) {
            return;
        }
    }
    try {
        f();
    } catch (const std::exception &e) {
        const std::lock_guard<std::mutex> lock(mutex_);
        failure_ = std::string("the sampler of the consumers' processes failed: ") + e.what();
    }
}

void tree_sampler::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        lock.unlock();
        sample();
        lock.lock();
        for (int n = 0; n < looks_per_period && !stop_; ++n) {
            stopping_.wait_for(lock, period / looks_per_period, [this] { return stop_; });
            if (watch_ != nullptr && !stop_) {
                // A closing socket takes its counts with it, and a change
                // of sockets leaves the datagrams around it uncertain: the
                // more often, the fewer.
                lock.unlock();
                unless_failed([this] {
                    const std::lock_guard<std::mutex> one_at_a_time(sampling_);
                    look();
                });
                lock.lock();
            }
        }
    }
}

void tree_sampler::flood_began(pid_t tsflood_pid, const std::atomic<std::uint64_t> *begun) {
    const std::lock_guard<std::mutex> one_at_a_time(sampling_);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        tsflood_ = tsflood_pid;
        flood_began_ = clock_type::now();
        phase_ = phase_type::flooding;
        begun_ = begun;
        last_begun_ = 0;
        runs_.clear();
    }
    if (watch_ != nullptr) {
        unless_failed([this] { look(); });
        const std::lock_guard<std::mutex> lock(mutex_);
        for (auto &[inode, s] : sockets_) {
            s.drops_before = s.open ? s.last.drops : 0;
        }
    }
}

void tree_sampler::ending() {
    const std::lock_guard<std::mutex> lock(mutex_);
    phase_ = phase_type::ending;
}

void tree_sampler::flood_ended() {
    sample(); // its last look: a socket that closed and so ended the flood closed during it
    const std::lock_guard<std::mutex> lock(mutex_);
    phase_ = phase_type::ended;
}

void tree_sampler::flood_gone() noexcept {
    const std::lock_guard<std::mutex> one_at_a_time(sampling_);
    const std::lock_guard<std::mutex> lock(mutex_);
    begun_ = nullptr;
}

void tree_sampler::look() {
    port_watch::look seen = watch_->look_at_port();
    // Loaded after the look: no datagram begun later met the sockets as seen.
    const std::uint64_t begun = begun_ != nullptr ? begun_->load(std::memory_order_acquire) : 0;
    const auto now = clock_type::now();
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::uint64_t> receiving, unknown;
    for (auto &[inode, s] : sockets_) {
        s.open = false;
    }
    for (std::size_t i = 0; i < seen.sockets.size(); ++i) {
        const udp_socket &u = seen.sockets[i];
        port_socket &s = sockets_[u.inode];
        s.last = u;
        s.open = true;
        s.receiving = seen.receiving[i];
        if (s.receiving != reach::not_receiving) {
            (s.receiving == reach::receiving ? receiving : unknown).push_back(u.inode);
        }
    }
    std::uint64_t dropped = 0;
    for (auto &[inode, s] : sockets_) {
        if (!s.open && !s.closed && phase_ == phase_type::flooding) {
            s.closed = now;
        }
        if (s.owner) {
            dropped += s.last.drops - std::min(s.last.drops, s.drops_before);
        }
    }
    if (dropped_ != nullptr) {
        dropped_->store(dropped, std::memory_order_relaxed);
    }
    if (phase_ != phase_type::flooding) {
        return;
    }
    std::sort(receiving.begin(), receiving.end());
    std::sort(unknown.begin(), unknown.end());
    if (!runs_.empty() && runs_.back().receiving == receiving && runs_.back().unknown == unknown) {
        runs_.back().before = runs_.back().last;
        runs_.back().last = begun;
    } else {
        runs_.push_back({receiving, unknown, begun, last_begun_, begun, now});
    }
    last_begun_ = begun;
}

std::optional<std::size_t> tree_sampler::marked(pid_t pid) const {
    // NUL-separated "NAME=VALUE"s, as the process was started.
    const auto environment = read_file("/proc/" + std::to_string(pid) + "/environ");
    if (!environment) {
        return std::nullopt;
    }
    const std::string mine = std::string(tree_variable) + "=" + std::to_string(harness_) + ":";
    for (std::size_t at = 0; at < environment->size();) {
        const std::size_t end = std::min(environment->find('\0', at), environment->size());
        if (environment->compare(at, mine.size(), mine) == 0) {
            const std::size_t number =
                std::strtoul(environment->c_str() + at + mine.size(), nullptr, 10);
            return number < trees_.size() ? std::optional(number) : std::nullopt;
        }
        at = end + 1;
    }
    return std::nullopt;
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
    if (trees_.size() == 1) {
        return 0;
    }
    return marked(p.pid); // one that left its session and its parent
}

std::optional<std::size_t> tree_sampler::owner(const process_stat &p) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto known = known_.find({p.pid, p.start_ticks});
    if (known != known_.end()) {
        return known->second;
    }
    return attribute(p, {});
}

std::string tree_sampler::failure() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
}

void tree_sampler::sample() {
    unless_failed([this] { sample_now(); });
}

void tree_sampler::sample_now() {
    const std::lock_guard<std::mutex> one_at_a_time(sampling_);
    const time_point walk_began = clock_type::now();
    pid_t tsflood;
    bool port_held;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        tsflood = tsflood_;
        port_held = std::any_of(sockets_.begin(), sockets_.end(),
                                [](const auto &s) { return s.second.open; });
    }
    // /proc is read without the lock: it is the slow part. The sockets
    // first: any process that holds one of them is there to be found next.
    if (watch_ != nullptr) {
        look();
        const std::lock_guard<std::mutex> lock(mutex_);
        port_held = std::any_of(sockets_.begin(), sockets_.end(),
                                [](const auto &s) { return s.second.open; });
    }
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
    std::map<std::uint64_t, pid_t> holder; // of each socket of a process below the harness
    std::map<pid_t, std::string> unreadable;
    for (const auto &p : table) {
        if (!port_held) {
            break;
        }
        if (const auto inodes = socket_inodes(p.pid)) {
            for (const std::uint64_t inode : *inodes) {
                holder.emplace(inode, p.pid);
            }
        } else if (!p.zombie && (errno == EACCES || errno == EPERM)) {
            unreadable[p.pid] = "/proc/" + std::to_string(p.pid) + "/fd: " + std::strerror(errno);
        }
    }
    std::vector<std::uint64_t> strangers; // open on the port, held by no process below
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (auto &[inode, s] : sockets_) {
            const auto held = holder.find(inode);
            const auto owner = held != holder.end() ? owners.find(held->second) : owners.end();
            if (owner != owners.end() && !s.owner) {
                s.owner = owner->second;
            }
            if (s.open && held == holder.end() && !s.owner && others_.count(inode) == 0) {
                strangers.push_back(inode);
            }
        }
    }
    std::map<std::uint64_t, std::string> others;
    if (unreadable.empty()) { // else another's socket may be a consumer's
        for (const std::uint64_t inode : strangers) {
            others[inode] = holder_of(inode);
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
    const std::optional<bool> flooding =
        phase_ == phase_type::flooding && now - flood_began_ >= growth_delay ? std::optional(true)
        : phase_ == phase_type::ended                                        ? std::optional(false)
                                                                             : std::nullopt;
    for (std::size_t i = 0; i < trees_.size(); ++i) {
        tree &t = trees_[i];
        t.unreadable.clear();
        for (const auto &[pid, p] : processes[i]) {
            const auto cannot = unreadable.find(pid);
            if (cannot != unreadable.end()) {
                t.unreadable = cannot->second;
            }
        }
        t.alive = std::any_of(processes[i].begin(), processes[i].end(),
                              [](const auto &p) { return !p.second.zombie; });
        t.alive_at = walk_began;
        t.take(std::move(processes[i]), harness_, now, flooding);
    }
    if (phase_ == phase_type::starting || phase_ == phase_type::flooding) {
        others_.insert(others.begin(), others.end());
    }
    unknown_ = std::any_of(sockets_.begin(), sockets_.end(), [&](const auto &s) {
        return s.second.open && holder.count(s.first) == 0;
    });
}

listening_sockets tree_sampler::listening(std::size_t i) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const tree &t = trees_.at(i);
    listening_sockets l;
    for (const auto &[inode, s] : sockets_) {
        if (s.owner == i) {
            l.listened = true;
            if (s.open) {
                l.open.push_back(s.last);
                l.receiving.push_back(s.receiving);
            }
        }
    }
    l.unreadable = t.unreadable;
    l.unknown = unknown_;
    l.alive = t.alive;
    l.alive_at = t.alive_at;
    return l;
}

std::size_t tree_sampler::reached() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::set<std::size_t> reached;
    for (const auto &[inode, s] : sockets_) {
        if (s.open && s.receiving != reach::not_receiving && s.owner) {
            reached.insert(*s.owner);
        }
    }
    return reached.size();
}

tree_report tree_sampler::report(std::size_t i) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const tree &t = trees_.at(i);
    tree_report r;
    r.peak_kib = t.peak_kib;
    r.rss_kib = t.kept;
    r.growth_kib_per_min = t.growth.per_minute();
    std::vector<socket_tally> tallies;
    for (const auto &[inode, s] : sockets_) {
        const std::uint64_t drops = s.last.drops - std::min(s.last.drops, s.drops_before);
        tallies.push_back({inode, s.owner, drops, s.last.queued / flood_mover::datagram_size});
        if (s.owner == i) {
            const std::optional<double> closed =
                s.closed ? std::optional(t.since_start(*s.closed)) : std::nullopt;
            r.sockets.push_back({inode, s.last.ipv6, address_text(s.last), drops, closed});
        }
    }
    for (const auto &[inode, holder] : others_) {
        if (std::find(r.other_holders.begin(), r.other_holders.end(), holder) ==
            r.other_holders.end()) {
            r.other_holders.push_back(holder);
        }
    }
    r.unwaited_cpu_seconds = t.unwaited_cpu;
    if (!runs_.empty()) {
        r.ledger = receiver_ledger_of(i, runs_, tallies, last_begun_);
    }
    return r;
}
