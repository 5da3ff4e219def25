// SPDX-License-Identifier: MIT
// The last phase of a run: the consumers' whole trees ended and reaped.
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

// The consumers' processes: all below the harness but tsflood's tree.
std::vector<process_stat> consumer_tree(pid_t tsflood) {
    return descendants(getpid(), tsflood);
}

} // namespace

std::vector<tree_result> end_trees(run_context &ctx, pid_t tsflood_pid) {
    std::vector<tree_result> r(ctx.consumers.size());
    ctx.show(status_line::phase_type::ending);
    ctx.sampler->sample(); // the sockets' last counts, before they close
    ctx.sampler->ending();
    // The consumer whose process `p` is, by the sampler's reckoning.
    const auto whose = [&](const process_stat &p) -> tree_result * {
        const auto owner = ctx.sampler->owner(p);
        for (std::size_t k = 0; owner && k < ctx.consumers.size(); ++k) {
            if (ctx.consumers[k].tree == *owner) {
                return &r[k];
            }
        }
        return nullptr;
    };
    const auto is_first = [&](const process_stat &p) {
        return std::any_of(ctx.consumers.begin(), ctx.consumers.end(),
                           [&](const consumer_process &c) { return c.process.pid() == p.pid; });
    };
    // Collects what ended of the trees: the consumers, and what they left to
    // the harness as a subreaper. Their resource use is their tree's, as is
    // that of all they waited for.
    const auto reap = [&](const std::vector<process_stat> &trees) {
        for (const auto &p : trees) {
            rusage use{};
            int status;
            tree_result *const of = whose(p);
            if (p.zombie && p.ppid == getpid() && !is_first(p) &&
                wait4(p.pid, &status, WNOHANG, &use) == p.pid && of != nullptr) {
                of->cpu_seconds += cpu_seconds(use);
                of->peak_rss_kib =
                    std::max(of->peak_rss_kib, static_cast<std::uint64_t>(use.ru_maxrss));
            }
        }
        for (consumer_process &c : ctx.consumers) {
            c.process.reap(false);
        }
        return consumer_tree(tsflood_pid);
    };
    auto trees = consumer_tree(tsflood_pid);
    // One that has ended, reaped or not, ended by itself.
    for (std::size_t k = 0; k < ctx.consumers.size(); ++k) {
        consumer_process &c = ctx.consumers[k];
        r[k].by_harness = std::any_of(trees.begin(), trees.end(),
                                      [&](const process_stat &p) {
                                          return p.pid == c.process.pid() && !p.zombie;
                                      }) &&
                          !c.process.reap(false);
    }
    for (const auto &p : trees) {
        if (!p.zombie) {
            if (tree_result *const of = whose(p)) {
                ++of->left_running;
            }
            signal_process(p, SIGTERM);
            signal_process(p, SIGCONT); // one that is stopped takes it too
        }
    }
    const int stops = ctx.signals.count();
    const time_point kill_at = clock_type::now() + term_wait;
    while (!trees.empty() && clock_type::now() < kill_at && ctx.signals.count() == stops) {
        ctx.attend(ctx.wait(std::min(kill_at, clock_type::now() + milliseconds(20))));
        trees = reap(trees);
    }
    const time_point give_up = clock_type::now() + kill_wait;
    while (!trees.empty() && clock_type::now() < give_up) {
        for (const auto &p : trees) {
            signal_process(p, SIGKILL);
        }
        ctx.attend(ctx.wait(clock_type::now() + milliseconds(10)));
        trees = reap(trees);
    }
    for (const auto &p : trees) {
        if (tree_result *const of = whose(p)) {
            ++of->would_not_end;
        }
    }
    for (std::size_t k = 0; k < ctx.consumers.size(); ++k) {
        if (const auto &ended = ctx.consumers[k].process.reap(false)) {
            r[k].cpu_seconds += cpu_seconds(ended->use);
            r[k].peak_rss_kib =
                std::max(r[k].peak_rss_kib, static_cast<std::uint64_t>(ended->use.ru_maxrss));
        }
    }
    return r;
}
