// SPDX-License-Identifier: MIT
// The last phase of a consumer's run: its whole tree ended and reaped.
#include <algorithm>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include "phases.h"
#include "procfs.h"

namespace {

using std::chrono::milliseconds;

constexpr auto term_wait = std::chrono::seconds(1); // between TERM and KILL
constexpr auto kill_wait = std::chrono::seconds(5); // for KILLed processes to go

double cpu_seconds(const rusage &use) {
    return static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
           static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

// The consumer's processes: all below the harness but tsflood's tree.
std::vector<process_stat> consumer_tree(pid_t tsflood) {
    return descendants(getpid(), tsflood);
}

} // namespace

tree_result end_tree(run_context &ctx, pid_t tsflood_pid) {
    tree_result r;
    ctx.show(status_line::phase_type::ending);
    if (ctx.sampler) {
        ctx.sampler->sample(); // the sockets' last counts, before they close
    }
    // Collects what ended of the tree: the consumer, and what it left to
    // the harness as a subreaper. Their resource use is the tree's, as is
    // that of all they waited for.
    const auto reap = [&](const std::vector<process_stat> &tree) {
        for (const auto &p : tree) {
            rusage use{};
            int status;
            if (p.zombie && p.ppid == getpid() && p.pid != ctx.consumer.pid() &&
                wait4(p.pid, &status, WNOHANG, &use) == p.pid) {
                r.cpu_seconds += cpu_seconds(use);
                r.peak_rss_kib =
                    std::max(r.peak_rss_kib, static_cast<std::uint64_t>(use.ru_maxrss));
            }
        }
        ctx.consumer.reap(false);
        return consumer_tree(tsflood_pid);
    };
    auto tree = consumer_tree(tsflood_pid);
    // One that has ended, reaped or not, ended by itself.
    r.by_harness = std::any_of(tree.begin(), tree.end(),
                               [&](const process_stat &p) {
                                   return p.pid == ctx.consumer.pid() && !p.zombie;
                               }) &&
                   !ctx.consumer.reap(false);
    for (const auto &p : tree) {
        if (!p.zombie) {
            ++r.left_running;
            signal_process(p, SIGTERM);
            signal_process(p, SIGCONT); // one that is stopped takes it too
        }
    }
    const int stops = ctx.signals.count();
    const time_point kill_at = clock_type::now() + term_wait;
    while (!tree.empty() && clock_type::now() < kill_at && ctx.signals.count() == stops) {
        ctx.attend(ctx.wait(std::min(kill_at, clock_type::now() + milliseconds(20))));
        tree = reap(tree);
    }
    const time_point give_up = clock_type::now() + kill_wait;
    while (!tree.empty() && clock_type::now() < give_up) {
        for (const auto &p : tree) {
            signal_process(p, SIGKILL);
        }
        ctx.attend(ctx.wait(clock_type::now() + milliseconds(10)));
        tree = reap(tree);
    }
    r.would_not_end = static_cast<unsigned>(tree.size());
    if (const auto &ended = ctx.consumer.reap(false)) {
        r.cpu_seconds += cpu_seconds(ended->use);
        r.peak_rss_kib = std::max(r.peak_rss_kib, static_cast<std::uint64_t>(ended->use.ru_maxrss));
    }
    return r;
}
