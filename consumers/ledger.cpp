// SPDX-License-Identifier: MIT
#include "ledger.h"

#include <algorithm>

namespace {

// Whether `receiver` could receive the flood when `run` was seen: by a
// socket of its own, or not; unknown where a socket of its may have, or
// one that no process was seen to hold received it, which may have been
// its.
reach reach_of(std::size_t receiver, const socket_run &run,
               const std::vector<socket_tally> &sockets) {
    bool maybe = false;
    const auto whose = [&](std::uint64_t inode) {
        const auto s = std::find_if(sockets.begin(), sockets.end(),
                                    [inode](const socket_tally &t) { return t.inode == inode; });
        return s == sockets.end() ? std::nullopt : s->owner;
    };
    for (const std::uint64_t inode : run.receiving) {
        const auto owner = whose(inode);
        if (owner == receiver) {
            return reach::receiving;
        }
        maybe = maybe || !owner;
    }
    for (const std::uint64_t inode : run.unknown) {
        const auto owner = whose(inode);
        maybe = maybe || !owner || owner == receiver;
    }
    return maybe ? reach::unknown : reach::not_receiving;
}

// Datagrams numbered from `from` up to, not including, `to`.
struct window {
    std::uint64_t from, to;
};

// For each socket of `receiver` that was gone before the last run, the
// datagrams begun from the end of the look before its last sighting to
// the end of the first look that missed it, merged where they overlap.
std::vector<window> closed_windows(std::size_t receiver, const std::vector<socket_run> &runs,
                                   const std::vector<socket_tally> &sockets) {
    std::vector<window> windows;
    for (const socket_tally &s : sockets) {
        if (s.owner != receiver) {
            continue;
        }
        const auto seen = [&](const socket_run &run) {
            return std::binary_search(run.receiving.begin(), run.receiving.end(), s.inode) ||
                   std::binary_search(run.unknown.begin(), run.unknown.end(), s.inode);
        };
        const auto last_seen = std::find_if(runs.rbegin(), runs.rend(), seen);
        if (last_seen != runs.rend() && last_seen != runs.rbegin()) {
            windows.push_back({last_seen->before, std::prev(last_seen)->first});
        }
    }
    std::sort(windows.begin(), windows.end(),
              [](const window &a, const window &b) { return a.from < b.from; });
    std::vector<window> merged;
    for (const window &w : windows) {
        if (!merged.empty() && w.from <= merged.back().to) {
            merged.back().to = std::max(merged.back().to, w.to);
        } else {
            merged.push_back(w);
        }
    }
    return merged;
}

} // namespace

receiver_ledger receiver_ledger_of(std::size_t receiver, const std::vector<socket_run> &runs,
                                   const std::vector<socket_tally> &sockets, std::uint64_t sent) {
    receiver_ledger l;
    l.sent = sent;
    // The runs as this receiver saw them: those of one reach merged.
    struct stretch {
        reach how;
        std::uint64_t first, before;
        time_point first_at;
    };
    std::vector<stretch> stretches;
    for (const socket_run &run : runs) {
        const reach how = reach_of(receiver, run, sockets);
        if (stretches.empty() || stretches.back().how != how) {
            stretches.push_back({how, run.first, run.before, run.first_at});
        } else {
            stretches.back().before = run.before;
        }
    }
    // Each stretch's datagrams are certain but for those begun within a
    // look of its ends; those of a change are uncertain.
    std::uint64_t counted = 0, delivered = 0;
    std::vector<window> delivered_in; // the datagrams of the receiving stretches
    const auto count = [&](std::uint64_t until, std::uint64_t &into) {
        until = std::min(until, sent);
        if (until > counted) {
            into += until - counted;
            if (&into == &delivered) {
                delivered_in.push_back({counted, until});
            }
            counted = until;
        }
    };
    for (std::size_t t = 0; t < stretches.size(); ++t) {
        const stretch &s = stretches[t];
        const bool last = t + 1 == stretches.size();
        std::uint64_t &into = s.how == reach::receiving       ? delivered
                              : s.how == reach::not_receiving ? l.missed
                                                              : l.uncertain;
        count(last ? sent : s.before, into);
        if (!last) {
            count(stretches[t + 1].first, l.uncertain);
        }
        l.received = l.received || s.how == reach::receiving;
    }
    count(sent, l.uncertain); // none when the last look came after the last datagram
    // A socket of its own that closed while others of its own went on
    // receiving took datagrams up to its close that it may not have had
    // read: what was queued in it then is gone. Those begun within a look
    // of its last sighting are uncertain, though it never stopped receiving.
    for (const window &w : closed_windows(receiver, runs, sockets)) {
        for (const window &d : delivered_in) {
            const std::uint64_t from = std::max(w.from, d.from), to = std::min(w.to, d.to);
            if (from < to) {
                delivered -= to - from;
                l.uncertain += to - from;
                l.unread += to - from;
            }
        }
    }
    if (l.received && !stretches.empty() && stretches.back().how == reach::not_receiving) {
        l.stopped = stretches.back().first_at;
    }
    for (const socket_tally &s : sockets) {
        if (s.owner == receiver) {
            l.dropped += s.drops;
            l.uncertain += s.queued;
            l.unread += s.queued;
        }
    }
    // What reached it and was not dropped, whatever the samples could not tell.
    const std::uint64_t reached = delivered + l.uncertain;
    l.overdrawn = l.dropped > reached;
    l.dropped = std::min(l.dropped, sent - l.missed);
    l.read = sent - l.missed - l.dropped;
    l.uncertain = std::min(l.uncertain, l.read);
    l.unread = std::min(l.unread, l.uncertain);
    return l;
}
