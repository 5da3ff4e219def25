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
    std::uint64_t counted = 0;
    const auto count = [&](std::uint64_t until, std::uint64_t &into) {
        until = std::min(until, sent);
        if (until > counted) {
            into += until - counted;
            counted = until;
        }
    };
    std::uint64_t delivered = 0;
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
    if (l.received && !stretches.empty() && stretches.back().how == reach::not_receiving) {
        l.stopped = stretches.back().first_at;
    }
    for (const socket_tally &s : sockets) {
        if (s.owner == receiver) {
            l.dropped += s.drops;
            l.uncertain += s.queued;
        }
    }
    // What reached it and was not dropped, whatever the samples could not tell.
    const std::uint64_t reached = delivered + l.uncertain;
    l.overdrawn = l.dropped > reached;
    l.dropped = std::min(l.dropped, sent - l.missed);
    l.read = sent - l.missed - l.dropped;
    l.uncertain = std::min(l.uncertain, l.read);
    return l;
}
