// SPDX-License-Identifier: MIT
// What the harness watches of a consumer while it runs, on a thread of its
// own so that the flood never waits for /proc.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <sys/types.h>
#include <thread>
#include <utility>
#include <vector>

#include "procfs.h"
#include "row.h"

// Every 50 ms: the resident memory of the process tree below the harness
// (tsflood aside) and, in UDP mode, the sockets on the port that its
// processes hold, with their drops, and those that other processes hold.
// The drops of the consumer's sockets are read again every 5 ms between. A
// socket is known by its inode; once gone it keeps its last count, and when
// it went during the flood.
class sampler_t {
  public:
    using clock_type = std::chrono::steady_clock;

    // `port` 0: no sockets to watch. Times are counted from `started`.
    sampler_t(unsigned port, clock_type::time_point started);
    ~sampler_t();

    void flood_began(pid_t tsflood); // tsflood is not the consumer's
    void flood_ended();
    void sample(); // one more sample, at once

    // The consumer's sockets on the port, open at the last sample.
    std::vector<udp_socket_t> listening() const;
    // Memory, growth and sockets into the row.
    void fill(row_t &row) const;

  private:
    enum class phase_t { starting, flooding, ended };
    void run();
    void update_sockets(const std::vector<udp_socket_t> &on_port); // with the lock held
    double at(clock_type::time_point t) const;
    std::optional<double> growth() const;

    const unsigned port_;
    const pid_t harness_;
    const clock_type::time_point started_;
    std::mutex sampling_;      // one sample at a time, the thread's or another's
    mutable std::mutex mutex_; // guards all below but the thread
    std::condition_variable stopping_;
    bool stop_ = false;
    phase_t phase_ = phase_t::starting;
    pid_t tsflood_ = 0;
    clock_type::time_point flood_began_;
    std::uint64_t peak_kib_ = 0;
    std::vector<std::pair<double, std::uint64_t>> kept_; // the row's samples, four a second
    std::vector<std::pair<double, double>> flooded_;     // during the flood, after its first second
    std::map<std::uint64_t, socket_seen_t> sockets_;     // the consumer's, by inode
    std::vector<udp_socket_t> open_;                     // the consumer's, open
    std::map<std::uint64_t, std::string> others_;        // other processes', by inode: who
    std::thread thread_;
};
