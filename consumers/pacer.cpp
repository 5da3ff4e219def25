// SPDX-License-Identifier: MIT
#include "pacer.h"

#include <algorithm>
#include <sched.h>
#include <sys/resource.h>

#include "row.h"

namespace {

using std::chrono::microseconds;

constexpr int realtime_priority = 10; // above every ordinary thread, below the kernel's own
// The shortest gap between pieces at which the pacer is given real-time
// priority: where it would spin without pause, the kernel's real-time
// throttling would stop it for 50 ms of every second.
constexpr double shortest_realtime_gap = 20e-6; // seconds: about 526 Mbit/s

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

pacing_priority::pacing_priority(double gap_seconds) {
    if (gap_seconds < shortest_realtime_gap) {
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
}

void pacing_priority::give_up() {
    if (realtime_) {
        const sched_param ordinary{0};
        sched_setscheduler(0, SCHED_OTHER, &ordinary);
        realtime_ = false;
    }
}

std::string pacer_waits::note(double gap_seconds) const {
    if (spun_only <= slept) {
        return "";
    }
    return "the pacer spun without pause: pieces were due every " + fixed(gap_seconds * 1e6, 1) +
           " µs, too close to sleep between";
}
