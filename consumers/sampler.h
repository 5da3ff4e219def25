// SPDX-License-Identifier: MIT
// What the harness watches of a consumer's process tree while it runs, on
// a thread of its own so that the flood never waits for /proc.
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

// The consumer's sockets on the port, open at the last sample.
struct listening_sockets {
    std::vector<udp_socket> open;
    std::string unreadable; // why a process's sockets could not be read, if one's could not
    bool unknown = false;   // a socket on the port that no process seen holds
};

// What the samples tell of the tree, for its row.
struct tree_report {
    std::uint64_t peak_kib = 0;
    std::vector<std::pair<double, std::uint64_t>> rss_kib; // four a second
    std::optional<double> growth_kib_per_min;
    std::vector<seen_socket> sockets;
    std::vector<std::string> other_holders; // of other processes' sockets on the port
    double unwaited_cpu_seconds = 0; // of processes the kernel reaped, no one waiting for them
};

// The consumer's tree is every process below the harness but tsflood's
// (those of its session). Every 50 ms the sampler reads the tree's
// processes and, in UDP mode, the sockets on the port that they hold, with
// their drops, and those that other processes hold; the drops of the
// consumer's sockets are read again every 5 ms between. A socket is known
// by its inode; once gone it keeps its last count, and when it went during
// the flood.
//
// Memory growth counts what each process grew by while it lived: a process
// that starts or ends is not growth or shrinkage of the tree, nor is what a
// process gives back in its last sample period before it ends. CPU time is
// counted as processes are reaped (wait4), but a process whose parent
// ignores SIGCHLD is reaped by the kernel: its last sampled CPU time is
// counted here.
class tree_sampler {
  public:
    // `port` 0: no sockets to watch. Times are counted from `started`. The
    // drops of the consumer's sockets so far go to `dropped` too, if any.
    tree_sampler(unsigned port, time_point started, std::atomic<std::uint64_t> *dropped = nullptr);
    ~tree_sampler();

    void flood_began(pid_t tsflood_pid);
    void flood_ended();
    void sample(); // one more sample, at once

    listening_sockets listening() const;
    tree_report report() const;

  private:
    enum class phase_type { starting, flooding, ended };
    void run();
    void update_sockets(const std::vector<udp_socket> &on_port); // with the lock held
    double since_start(time_point t) const;
    std::optional<double> growth() const;

    const unsigned port_;
    const pid_t harness_;
    const time_point started_;
    std::atomic<std::uint64_t> *const dropped_;
    std::mutex sampling_;      // one sample at a time, the thread's or another's
    mutable std::mutex mutex_; // guards all below but the thread
    std::condition_variable stopping_;
    bool stop_ = false;
    phase_type phase_ = phase_type::starting;
    pid_t tsflood_ = 0;
    time_point flood_began_;
    std::map<pid_t, process_stat> processes_; // at the last sample
    std::uint64_t peak_kib_ = 0;
    double grown_kib_ = 0;                // by the processes that lived from one sample to the next
    std::map<pid_t, double> unconfirmed_; // each process's last change, not yet counted
    std::vector<std::pair<double, std::uint64_t>> kept_; // the row's samples, four a second
    std::vector<std::pair<double, double>> flooded_; // (time, grown) after the flood's first second
    double unwaited_cpu_ = 0;
    std::map<std::uint64_t, seen_socket> sockets_; // the consumer's, by inode
    std::vector<udp_socket> open_;                 // the consumer's, open
    std::string unreadable_;
    bool unknown_ = false;
    std::map<std::uint64_t, std::string> others_; // other processes', by inode: who
    std::thread thread_;
};
