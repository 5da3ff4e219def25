// SPDX-License-Identifier: MIT
// How a paced flood waits for its next piece: the pacing thread at real-time
// priority where the system allows it, sleeping until shortly before the
// piece is due and spinning the rest, the stretch it spins learned from how
// late its sleeps end.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "posix.h"

// The stretch before a piece is due that is spun, not slept: how late the
// sleeps of the run end, nine in ten of them, within bounds. At real-time
// priority wake-ups are prompt, and the stretch short.
class spin_margin {
  public:
    using duration = std::chrono::nanoseconds;
    explicit spin_margin(bool realtime);
    duration get() const {
        return margin_;
    }
    void woke_late_by(duration late); // after a sleep that ran to its end
    duration lowest() const {
        return lowest_;
    }
    duration highest() const {
        return highest_;
    }

  private:
    duration lowest_, highest_, margin_;
};

// The calling thread, the one that paces, at SCHED_FIFO with
// SCHED_RESET_ON_FORK for as long as this lives, where the system allows it
// (root, CAP_SYS_NICE, or a nonzero RLIMIT_RTPRIO) and the gap between
// pieces leaves it time to sleep; else at ordinary priority. Other threads,
// and what the thread starts, keep ordinary scheduling.
class pacing_priority {
  public:
    explicit pacing_priority(double gap_seconds);
    ~pacing_priority();
    pacing_priority(const pacing_priority &) = delete;
    pacing_priority &operator=(const pacing_priority &) = delete;
    bool realtime() const {
        return realtime_;
    }
    void give_up(); // back to ordinary priority

  private:
    bool realtime_ = false;
};

// Counts how the pacer waited for its pieces, for the row to say when it
// could not sleep between them.
struct pacer_waits {
    std::uint64_t slept = 0, spun_only = 0;
    // "the pacer spun without pause: ..." when most waits were spun only.
    std::string note(double gap_seconds) const;
};
