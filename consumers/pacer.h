// SPDX-License-Identifier: MIT
// The pace of a flood held to a rate: pieces of 7 packets, each due at an
// absolute time so that the pace does not drift; the thread that paces at
// real-time priority where the system allows it. Pieces far enough apart go
// one at a time: it sleeps until shortly before each is due and spins the
// rest, the stretch it spins learned from how late its sleeps end. Pieces
// due closer together than a wake-up can follow go a few at a time, each
// burst due at its first piece's time, and it sleeps between bursts without
// spinning. Its sleep says what woke it and attends to nothing: the flood's
// loop does.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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
// (root, CAP_SYS_NICE, or a nonzero RLIMIT_RTPRIO) and the time between its
// wake-ups leaves it time to sleep; else at ordinary priority, with a timer
// slack of a nanosecond so that its sleeps end when asked, not up to 50 µs
// later. Other threads, and what the thread starts, keep ordinary
// scheduling.
class pacing_priority {
  public:
    explicit pacing_priority(double wake_seconds);
    ~pacing_priority();
    pacing_priority(const pacing_priority &) = delete;
    pacing_priority &operator=(const pacing_priority &) = delete;
    bool realtime() const {
        return realtime_;
    }
    void give_up(); // back to ordinary priority

  private:
    bool realtime_ = false;
    int timer_slack_ = -1; // the thread's own, while this holds a shorter one
};

// How a paced flood went, for its row and for a search.
struct pace_report {
    double asked = 0;            // bits per second
    double gap = 0;              // seconds from one piece to the next
    std::uint64_t sent = 0;      // pieces
    std::uint64_t due = 0;       // pieces due before the flood ended
    std::uint64_t slept = 0;     // waits that slept before they spun
    std::uint64_t spun_only = 0; // waits too short to sleep in
    bool realtime = false;       // whether it paced at real-time priority
    bool left_realtime = false;  // gave it up, where it would have spun without pause
    std::uint64_t burst = 1;     // pieces that go back to back as the pace goes

    // What the pacer achieved: the rate asked, in the proportion of the
    // pieces due that it sent. Bits per second.
    double achieved() const {
        return due == 0 ? asked : asked * static_cast<double>(sent) / static_cast<double>(due);
    }
    bool fell_behind() const { // by more than a percent of what was due
        return sent * 100 < due * 99;
    }
    bool spun_without_pause() const {
        return spun_only > slept;
    }
    // What the row says of it: that it fell behind, spun or left real-time
    // priority; nothing when it kept its pace.
    std::vector<std::string> notes() const;
};

class pacer {
  public:
    // Pieces of `piece_bytes` at `bits_per_second`, the first due when
    // first asked, in bursts of at most `longest_burst` (see burst_for). Late
    // pieces go at once, at most `catch_up` back to back (or a burst, if
    // longer) and then a gap, until the flood has caught up.
    pacer(double bits_per_second, std::size_t piece_bytes, std::uint64_t longest_burst = 1);
    static constexpr std::uint64_t catch_up = 4;
    // Each wake-up costs some 20 µs of CPU on the project's virtual machine
    // whatever the pacer sleeps in: pieces due closer together than this
    // go in bursts of the fewest pieces that span it, so that the pacer
    // wakes at most some 6,000 times a second (about a tenth of a CPU),
    // and the gaps between bursts stay a fraction of iperf3's.
    static constexpr double burst_span = 160e-6; // seconds
    // The pieces of a burst at `gap` seconds between pieces: the fewest
    // that span burst_span, 1 to `most`.
    static std::uint64_t burst_for(double gap, std::uint64_t most);

    double gap() const { // seconds from one piece to the next
        return gap_;
    }
    std::uint64_t burst() const {
        return burst_;
    }
    // How many pieces may go at `now`: 0 until the next burst is due.
    std::uint64_t due(time_point now);
    void sent(std::uint64_t pieces, time_point now);
    time_point next_due() const;
    // When piece `n` of the flood falls due on the pace's even clock,
    // counting from its first; in a burst it goes at the first piece's.
    time_point due_of(std::uint64_t n) const;
    // After a stop of the harness: the next piece due now, the pace from
    // it; what was due while stopped is not sent in a burst, nor counted
    // as due.
    void restart(time_point now);

    // Waits until `until`: sleeps with `sleep(wake)`, which returns what
    // woke it (a `woken`), until the margin before it, then spins the
    // margin. Returns what woke the sleep early, if anything did; the
    // caller attends to it.
    template <typename Sleep> woken wait(time_point until, Sleep sleep) {
        // A burst is not worth a spin: it goes as the sleep ends.
        const spin_margin::duration before =
            burst_ > 1 ? spin_margin::duration::zero() : margin_.get();
        if (until - clock_type::now() > before) {
            const time_point wake = until - before;
            const woken w = sleep(wake);
            if (w.any()) {
                return w;
            }
            margin_.woke_late_by(clock_type::now() - wake);
            ++report_.slept;
        } else {
            ++report_.spun_only;
        }
        while (clock_type::now() < until) {
        }
        keep_priority();
        return {};
    }

    pace_report report(time_point end) const; // of the pace until `end`
    void finish();                            // back to ordinary priority

  private:
    void keep_priority();
    std::uint64_t due_by(time_point now) const; // pieces due from the start to `now`

    const double gap_;
    const std::uint64_t burst_;
    pacing_priority priority_;
    spin_margin margin_;
    pace_report report_;
    std::optional<time_point> start_; // of the pace, and of the pieces after a restart
    std::optional<time_point> last_sent_;
    std::uint64_t before_start_ = 0; // pieces sent before it
    std::uint64_t due_before_ = 0;   // and due, over the earlier stretches
    time_point after_burst_;         // when a catch-up burst has gone, the next may go
};
