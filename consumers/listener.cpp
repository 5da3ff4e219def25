// SPDX-License-Identifier: MIT
// The wait until the consumers are ready for the flood: for those that
// listen, until a socket of each is one the flood would reach, as the
// transport tells.
#include <algorithm>

#include "phases.h"

namespace {

constexpr auto listen_wait = std::chrono::seconds(10); // not part of -s
// For a socket to be reached once it is open (a join follows a bind), or
// for a receiver that closed its socket to open another.
constexpr auto settle_wait = std::chrono::seconds(1);

} // namespace

ready_result wait_until_ready(run_context &ctx) {
    const std::size_t n = ctx.consumers.size();
    ready_result r;
    r.why_not.resize(n);
    if (!ctx.through.listens()) {
        r.output = ctx.through.open({});
        return r;
    }
    ctx.show(status_line::phase_type::listening);
    const time_point until = ctx.consumers.front().started + listen_wait;
    const std::string port = std::to_string(ctx.options.transport.port);
    std::vector<listening_sockets> heard(n);
    std::vector<std::optional<time_point>> settled_at(n); // of its last change of sockets
    std::vector<bool> was_open(n);
    for (bool waiting = true; waiting;) {
        waiting = false;
        const time_point now = clock_type::now();
        const bool late = now >= until;
        for (std::size_t k = 0; k < n; ++k) {
            heard[k] = ctx.sampler->listening(ctx.consumers[k].tree);
            const listening_sockets &l = heard[k];
            std::string &why = r.why_not[k];
            why.clear();
            if (l.open.empty() != !was_open[k] || !settled_at[k]) {
                settled_at[k] = now;
                was_open[k] = !l.open.empty();
            }
            const bool settling = !late && now < *settled_at[k] + settle_wait;
            // Its first process may end and leave another to listen: it has
            // ended only if a walk begun after the reap found none alive.
            const auto &reaped = ctx.consumers[k].process.ended();
            const bool ended = reaped && !l.alive && l.alive_at > reaped->at;
            if (ctx.signals.count() > 0) {
                why = "stopped by " + ctx.stop_text() + " before " +
                      (l.open.empty() ? "it listened" : "the flood");
            } else if (std::any_of(l.receiving.begin(), l.receiving.end(),
                                   [](reach how) { return how != reach::not_receiving; })) {
                continue; // ready, or as ready as can be told
            } else if (!l.open.empty()) {
                why = ctx.through.why_not_reached(l);
                waiting = waiting || (settling && !ended);
            } else if (!l.unreadable.empty() && (l.unknown || ended || late)) {
                // The socket on the port is likely its own, but its drops
                // could not be told apart from another's.
                why = "its sockets cannot be read: " + l.unreadable +
                      " (a process not dumpable, or another user's)";
            } else if (l.listened) {
                why = "it closed its socket on port " + port + " before it was flooded";
                waiting = waiting || (settling && !ended);
            } else if (ended || late) {
                why = (ended ? "never listened on port " : "not listening on port ") + port +
                      (ended ? "" : " after 10 s");
            } else {
                why = "not listening on port " + port;
                waiting = true;
            }
        }
        if (waiting) {
            ctx.attend(
                ctx.wait(std::min(until, clock_type::now() + std::chrono::milliseconds(20))));
        }
    }
    std::vector<listening_sockets> ready;
    for (std::size_t k = 0; k < n; ++k) {
        if (r.why_not[k].empty()) {
            ready.push_back(heard[k]);
        }
    }
    if (!ready.empty()) {
        r.output = ctx.through.open(ready);
    }
    return r;
}
