// SPDX-License-Identifier: MIT
// What the harness watches of its consumers' process trees while they run,
// on a thread of its own so that the flood never waits for /proc.
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

#include "posix.h"
#include "procfs.h"
#include "row.h"

// A consumer's sockets on the port, open at the last sample.
struct listening_sockets {
    std::vector<udp_socket> open;
    std::string unreadable; // why a process's sockets could not be read, if one's could not
    bool unknown = false;   // a socket on the port that no process seen holds
    bool listened = false;  // one of its own was open once
    bool alive = true;      // a process of it runs
    time_point alive_at;    // when the walk that found it so began
};

// What the samples tell of a tree, for its row.
struct tree_report {
    std::uint64_t peak_kib = 0;
    std::vector<std::pair<double, std::uint64_t>> rss_kib; // four a second
    std::optional<double> growth_kib_per_min;
    std::vector<seen_socket> sockets;
    std::vector<std::string> other_holders; // of sockets on the port no consumer holds
    double unwaited_cpu_seconds = 0; // of processes the kernel reaped, no one waiting for them
};

// The consumers' trees are every process below the harness but tsflood's.
// Each consumer runs in a session of its own, rooted at its first process;
// a process is its consumer's by that session or, if it left it, by the
// parent it had when it was first seen; with one consumer, every process is
// its. Every 50 ms the sampler reads the processes and, in UDP mode, the
// sockets on the port that they hold, with their drops, and those that
// other processes hold; the drops of the consumers' sockets are read again
// every 5 ms between. A socket is known by its inode; once gone it keeps
// its last count, and when it went during the flood.
//
// Memory growth counts what each process grew by while it lived: a process
// that starts or ends is not growth or shrinkage of the tree, nor is what a
// process gives back in its last sample period before it ends. CPU time is
// counted as processes are reaped (wait4), but a process whose parent
// ignores SIGCHLD is reaped by the kernel: its last sampled CPU time is
// counted here.
class tree_sampler {
  public:
    // `port` 0: no sockets to watch. The drops of the consumers' sockets so
    // far go to `dropped` too, if any.
    explicit tree_sampler(unsigned port, std::atomic<std::uint64_t> *dropped = nullptr);
    ~tree_sampler();

    // A consumer, its first process `root` started at `started`, from
    // which its times are counted. Returns its number, from 0.
    std::size_t add(pid_t root, time_point started);
    void flood_began(pid_t tsflood_pid);
    void flood_ended();
    void sample(); // one more sample, at once

    listening_sockets listening(std::size_t tree) const;
    tree_report report(std::size_t tree) const;
    // Which consumer's process `p` is, as it was first seen.
    std::optional<std::size_t> owner(const process_stat &p) const;

  private:
    struct tree;
    enum class phase_type { starting, flooding, ended };
    void run();
    void update_sockets(const std::vector<udp_socket> &on_port); // with the lock held
    std::optional<std::size_t> attribute(const process_stat &p,
                                         const std::map<pid_t, std::size_t> &owners) const;

    const unsigned port_;
    const pid_t harness_;
    std::atomic<std::uint64_t> *const dropped_;
    std::mutex sampling_;      // one sample at a time, the thread's or another's
    mutable std::mutex mutex_; // guards all below but the thread
    std::condition_variable stopping_;
    bool stop_ = false;
    phase_type phase_ = phase_type::starting;
    pid_t tsflood_ = 0;
    time_point flood_began_;
    std::vector<tree> trees_;
    // Each process's consumer, by pid and start, as first told.
    std::map<std::pair<pid_t, std::uint64_t>, std::size_t> known_;
    std::map<std::uint64_t, std::string> others_; // sockets no consumer holds, by inode: who
    bool unknown_ = false;
    std::thread thread_;
};
