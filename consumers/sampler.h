// SPDX-License-Identifier: MIT
// What the harness watches of its consumers' process trees while they run,
// on a thread of its own so that the flood never waits for /proc: their
// processes, memory and CPU time, and with a datagram flood the sockets on
// its port, from which each receiver's ledger is kept.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <utility>
#include <vector>

#include "ledger.h"
#include "posix.h"
#include "procfs.h"

// What a datagram transport knows of the sockets on its port: which of
// them receive the flood as the kernel delivers it now. Called from the
// sampler's thread.
class port_watch {
  public:
    struct look {
        std::vector<udp_socket> sockets; // on the port
        std::vector<reach> receiving;    // each of them, as the flood goes now
    };
    virtual ~port_watch() = default;
    virtual look look_at_port() const = 0;
};

// A socket as the row shows it.
struct seen_socket {
    std::uint64_t inode;
    bool ipv6;
    std::string address; // bound to
    std::uint64_t drops; // while the flood ran, as last seen
    std::optional<double>
        closed_at; // seconds after the consumer started, if before the flood ended
};

// A consumer's sockets on the port, at the last look.
struct listening_sockets {
    std::vector<udp_socket> open;
    std::vector<reach> receiving; // each of `open`: whether the flood would reach it now
    std::string unreadable;       // why a process's sockets could not be read, if one's could not
    bool unknown = false;         // a socket on the port that no process seen holds
    bool listened = false;        // one of its own was open once
    bool alive = true;            // a process of it runs
    time_point alive_at;          // when the walk that found it so began
};

// What the samples tell of a tree, for its row.
struct tree_report {
    std::uint64_t peak_kib = 0;
    std::vector<std::pair<double, std::uint64_t>> rss_kib; // four a second
    std::optional<double> growth_kib_per_min;
    std::vector<seen_socket> sockets;
    std::vector<std::string> other_holders; // of sockets on the port no consumer holds
    double unwaited_cpu_seconds = 0; // of processes the kernel reaped, no one waiting for them
    receiver_ledger ledger;          // with a datagram flood
};

// The consumers' trees are every process below the harness but tsflood's.
// Each consumer runs in a session of its own, rooted at its first process,
// and with its number in its environment (`tree_variable`), which all it
// starts inherits; a process is its consumer's by that session, by the
// parent it had when first seen, or by that number; with one consumer,
// every process is its. Every 50 ms the sampler reads the processes and the
// sockets that they hold; with a port to watch it looks at the port's
// sockets every 5 ms, and from the flood's start to its end keeps the runs
// of looks that found the same sockets receiving, each bracketed by the
// flood's count of datagrams begun. A socket is known by its inode; once
// gone it keeps its last counts.
//
// Memory growth is counted over the flood after its first second, and a
// process that ends by itself after it still takes back what it gave back
// as it ended (growth.h). CPU time is counted as processes are reaped
// (wait4), but a process whose parent ignores SIGCHLD is reaped by the
// kernel: its last sampled CPU time is counted here.
class tree_sampler {
  public:
    static constexpr const char *tree_variable = "TSFLOOD_CONSUMERS_TREE";

    // `watch` nothing: no sockets to look at. The drops of the consumers'
    // sockets so far go to `dropped` too, if any.
    explicit tree_sampler(const port_watch *watch, std::atomic<std::uint64_t> *dropped = nullptr);
    ~tree_sampler();

    // The value of tree_variable for consumer number `tree`.
    static std::string tree_marker(std::size_t tree);
    // A consumer, its first process `root` started at `started`, from
    // which its times are counted. Returns its number, from 0, in the order
    // added.
    std::size_t add(pid_t root, time_point started);
    // The flood starts: `begun` counts its datagrams as they are begun.
    // Takes the flood's first look at once, before any datagram.
    void flood_began(pid_t tsflood_pid, const std::atomic<std::uint64_t> *begun = nullptr);
    void flood_ended(); // its last look, at once, after every datagram
    void ending();      // the harness ends the trees: what ends now ends by it
    // `begun` is going, with the flood, however it ended: no look reads it
    // from then on.
    void flood_gone() noexcept;
    void sample(); // one more sample, at once; none once it has failed

    listening_sockets listening(std::size_t tree) const;
    // How many consumers the flood reached, or may have, at the last look.
    std::size_t reached() const;
    tree_report report(std::size_t tree) const;
    // Which consumer's process `p` is, as it was first seen.
    std::optional<std::size_t> owner(const process_stat &p) const;
    // What stopped the sampler, if anything did; its figures end there.
    std::string failure() const;

  private:
    struct tree;
    struct port_socket;
    enum class phase_type { starting, flooding, ended, ending };
    void run();
    // Runs `f` unless the sampler has failed; if `f` fails, the sampler has.
    template <typename F> void unless_failed(F f);
    void sample_now();
    void look(); // at the port's sockets, with the sampling lock held
    std::optional<std::size_t> attribute(const process_stat &p,
                                         const std::map<pid_t, std::size_t> &owners) const;
    std::optional<std::size_t> marked(pid_t pid) const;

    const port_watch *const watch_;
    const pid_t harness_;
    std::atomic<std::uint64_t> *const dropped_;
    std::mutex sampling_;      // one sample or look at a time, the thread's or another's
    mutable std::mutex mutex_; // guards all below but the thread
    std::condition_variable stopping_;
    bool stop_ = false;
    std::string failure_;
    phase_type phase_ = phase_type::starting;
    pid_t tsflood_ = 0;
    time_point flood_began_;
    const std::atomic<std::uint64_t> *begun_ = nullptr;
    std::uint64_t last_begun_ = 0; // at the end of the last look
    std::vector<tree> trees_;
    // Each process's consumer, by pid and start, as first told.
    std::map<std::pair<pid_t, std::uint64_t>, std::size_t> known_;
    std::map<std::uint64_t, port_socket> sockets_; // every one seen on the port, by inode
    std::map<std::uint64_t, std::string> others_;  // sockets no consumer holds, by inode: who
    std::vector<socket_run> runs_;                 // from the flood's first look to its last
    bool unknown_ = false;
    std::thread thread_;
};
