// SPDX-License-Identifier: MIT
// How fast a consumer's memory grows while it is flooded: what each of its
// processes grew by while it lived. A process that starts, with the memory
// it has, is not growth; one that ends is not shrinkage, however slowly it
// gives its memory back: at its end, what it gave back since it last grew,
// and its last change, are taken back, and it keeps what it had grown by
// then.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "procfs.h"

class memory_growth {
  public:
    // The processes of `now` as they were at `at` (seconds), one more
    // sample of the flood; with `at` nothing, after the flood: only which
    // of them have ended.
    void sample(const std::map<pid_t, process_stat> &now, std::optional<double> at);
    // Least squares slope over the samples, KiB per minute; nothing from
    // less than half a second of them.
    std::optional<double> per_minute() const;

  private:
    struct process {
        std::uint64_t start_ticks;
        double base;     // its memory at its first sample, from which it grows
        double last = 0; // what it had grown by at its last counted sample
        double peak = 0; // ... at its last sample that grew
        std::vector<std::pair<std::size_t, double>> since_peak; // the counted samples after it
        std::pair<std::size_t, double> latest;                  // not counted until it lives on
    };
    static void count_latest(process &p);
    void ended(const process &p);

    std::map<pid_t, process> living_;
    std::vector<double> grown_, at_; // by all the processes, at each sample
    double kept_by_ended_ = 0;       // what the processes that ended had grown by
};
