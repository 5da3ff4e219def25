// SPDX-License-Identifier: MIT
#include "pacer.h"

#include <algorithm>
#include <cmath>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include "text.h"

namespace {

using std::chrono::microseconds;

constexpr int realtime_priority = 10; // above every ordinary thread, below the kernel's own
// The shortest time between the pacer's wake-ups at which it is given
// real-time priority: where it would spin without pause, the kernel's
// real-time throttling would stop it for 50 ms of every second.
constexpr double shortest_realtime_wake = 20e-6; // seconds

// Pieces due at `gap` from `start` before `end`: the first at `start`.
std::uint64_t due_between(time_point start, time_point end, double gap) {
    const double span = seconds_between(start, end);
    return span <= 0 ? 0 : static_cast<std::uint64_t>(std::ceil(span / gap));
}

} // namespace

spin_margin::spin_margin(bool realtime)
    : lowest_(realtime ? microseconds(3) : microseconds(15)),
      highest_(realtime ? microseconds(60) : microseconds(200)),
      margin_(realtime ? microseconds(10) : microseconds(30)) {}

void spin_margin::woke_late_by(duration late) {
    // A step up nine times the step down settles where one sleep in ten
    // ends later than the margin: the 90th percentile of the lateness.
    constexpr auto step = std::chrono::nanoseconds(250);
    margin_ = std::clamp(late > margin_ ? margin_ + 9 * step : margin_ - step, lowest_, highest_);
}

pacing_priority::pacing_priority(double wake_seconds) {
    // Ignored at real-time priority, where sleeps end as asked anyway.
    const int slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    if (slack > 1 && prctl(PR_SET_TIMERSLACK, 1, 0, 0, 0) == 0) {
        timer_slack_ = slack;
    }
    if (wake_seconds < shortest_realtime_wake) {
        return;
    }
    // Root or CAP_SYS_NICE may ask any priority; another user up to its
    // RLIMIT_RTPRIO.
    rlimit most{};
    getrlimit(RLIMIT_RTPRIO, &most);
    for (const rlim_t priority : {static_cast<rlim_t>(realtime_priority), most.rlim_cur}) {
        const sched_param param{static_cast<int>(std::min<rlim_t>(priority, realtime_priority))};
        if (param.sched_priority > 0 &&
            sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0) {
            realtime_ = true;
            return;
        }
    }
}

pacing_priority::~pacing_priority() {
    give_up();
    if (timer_slack_ > 0) {
        prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(timer_slack_), 0, 0, 0);
    }
}

void pacing_priority::give_up() {
    if (realtime_) {
        const sched_param ordinary{0};
        sched_setscheduler(0, SCHED_OTHER, &ordinary);
        realtime_ = false;
    }
}

std::vector<std::string> pace_report::notes() const {
    std::vector<std::string> notes;
    if (fell_behind()) {
        notes.push_back("the pacer reached " + bit_rate_text(achieved()) + " of the " +
                        bit_rate_text(asked) + " asked, " + std::to_string(due - sent) +
                        " of its pieces late: more than it paces here, or held up by a busy "
                        "machine");
    }
    if (spun_without_pause()) {
        notes.push_back("the pacer spun without pause: pieces were due every " +
                        fixed(gap * 1e6, 1) + " µs, too close to sleep between");
    }
    if (left_realtime) {
        notes.push_back("the pacer left real-time priority, where it would have spun without "
                        "pause");
    }
    return notes;
}

std::uint64_t pacer::burst_for(double gap, std::uint64_t most) {
    const auto spanning = static_cast<std::uint64_t>(std::ceil(burst_span / gap - 1e-9));
    return std::clamp<std::uint64_t>(spanning, 1, std::max<std::uint64_t>(most, 1));
}

pacer::pacer(double bits_per_second, std::size_t piece_bytes, std::uint64_t longest_burst)
    : gap_(static_cast<double>(piece_bytes) * 8 / bits_per_second),
      burst_(burst_for(gap_, longest_burst)), priority_(gap_ * static_cast<double>(burst_)),
      margin_(priority_.realtime()) {
    report_.asked = bits_per_second;
    report_.gap = gap_;
    report_.realtime = priority_.realtime();
    report_.burst = burst_;
}

std::uint64_t pacer::due(time_point now) {
    if (!start_) {
        start_ = now;
    }
    const std::uint64_t done = report_.sent - before_start_;
    const std::uint64_t by_now = due_by(now);
    if (by_now <= done || now < after_burst_) {
        return 0;
    }
    return std::min(by_now - done, std::max(burst_, catch_up));
}

std::uint64_t pacer::due_by(time_point now) const {
    // Every piece of each burst due by now.
    const double span = gap_ * static_cast<double>(burst_);
    return (static_cast<std::uint64_t>(seconds_between(*start_, now) / span) + 1) * burst_;
}

void pacer::sent(std::uint64_t pieces, time_point now) {
    report_.sent += pieces;
    last_sent_ = now;
    // After a burst, on time or late, the next piece waits a gap at least:
    // bursts never run into one another, and a late flood catches up in
    // bursts of a few, not in one long one. So does the next after a piece
    // that went when more were due, as when the thread was held up between
    // asking what was due and sending it.
    if (pieces > 1 || (pieces == 1 && start_ && due_by(now) > report_.sent - before_start_)) {
        after_burst_ = now + seconds_of(gap_);
    }
}

time_point pacer::next_due() const {
    if (!start_) {
        return clock_type::now();
    }
    const std::uint64_t done = report_.sent - before_start_;
    return std::max(after_burst_, due_of(report_.sent - done % burst_));
}

time_point pacer::due_of(std::uint64_t n) const {
    const double pieces = static_cast<double>(n) - static_cast<double>(before_start_);
    return start_.value_or(clock_type::now()) + seconds_of(gap_ * pieces);
}

void pacer::restart(time_point now) {
    if (start_) {
        // Due up to the last piece sent: nothing went while it was stopped.
        due_before_ += due_between(*start_, std::max(*start_, last_sent_.value_or(*start_)), gap_);
    }
    start_ = now;
    before_start_ = report_.sent;
    after_burst_ = {};
}

void pacer::keep_priority() {
    // Spinning at real-time priority for nearly all of each gap would
    // have the kernel's throttling stop the thread for 50 ms a second.
    if (burst_ == 1 && priority_.realtime() && margin_.get() * 10 > seconds_of(gap_) * 9) {
        priority_.give_up();
        report_.left_realtime = true;
    }
}

void pacer::finish() {
    priority_.give_up();
}

pace_report pacer::report(time_point end) const {
    pace_report r = report_;
    r.due = due_before_ + (start_ ? due_between(*start_, end, gap_) : 0);
    r.due = std::max(r.due, r.sent); // one due as the flood ended, sent as it was due
    return r;
}
